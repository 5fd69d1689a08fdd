// build_art_idx: scans the text and writes one record per article to the index: a text
// of known size in blocks on several threads, any other streamed on one; either way in
// one pass.
#include "art_files.h"
#include "article_split.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"
#include "run_parts.h"

#include "chunk_copy.h"

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace art {

static constexpr size_t BLOCK_SIZE = size_t{128} << 10;  // stays in cache between read and scan
// Records go out in whole blocks this large, at offsets aligned to it, where the page
// cache keeps them in large folios that a later mapping of the index maps whole.
static constexpr size_t RECORDS_OUT = size_t{2} << 20;
// The most text that one thread splits before the writer takes its records.
static constexpr uint64_t PARALLEL_BLOCK = uint64_t{512} << 10;
static unsigned char block[BLOCK_SIZE];
static unsigned char records[RECORDS_OUT + BLOCK_SIZE * ART_RECORD_SIZE];

// Splits the text block by block and appends the records to the index a whole block of
// RECORDS_OUT bytes at a time.
class index_writer {
public:
    explicit index_writer(output_file& index) : index_(index) {}

    art_status split(const unsigned char* data, const size_t size) {
        used_ += split_block(&splitter_, data, size, records + used_) * ART_RECORD_SIZE;
        return used_ >= RECORDS_OUT ? flush(RECORDS_OUT) : ART_OK;
    }

    art_status finish() {
        split_end(&splitter_, records + used_);
        used_ += ART_RECORD_SIZE;
        return flush(used_);
    }

    uint64_t pos() const { return splitter_.pos; }
    uint64_t count() const { return splitter_.n; }

private:
    // Writes the first size bytes of the records; the rest move to the front.
    art_status flush(const size_t size) {
        const art_status s = index_.write(written_, records, size);
        written_ += size;
        used_ -= size;
        std::memmove(records, records + size, used_);
        return s;
    }

    output_file& index_;
    article_splitter splitter_{0, 0, 0};
    size_t used_ = 0;
    uint64_t written_ = 0;
};

// Reads the text into block, which stays in the processor's cache between the read and
// the scan, whatever the text's size and however the page cache holds it; a known size
// must hold from the first byte to the last.
static art_status scan(in_file* text, const uint64_t size, const bool known, index_writer& w) {
    for (;;) {
        size_t got = 0;
        if (const int err = in_read(text, block, BLOCK_SIZE, &got)) return status_of(TEXT_FILE, err);
        if (got == 0) return status_of(TEXT_FILE, known && w.pos() < size ? input_ended_early(text, size) : 0);
        if (known && w.pos() + got > size) return status_of(TEXT_FILE, ART_E_GREW);
        if (w.pos() + got >= ART_TEXT_LIMIT) return status_of(TEXT_FILE, ART_E_TOO_LARGE);
        if (const art_status s = w.split(block, got); !s.ok()) return s;
    }
}

// Reads bytes [from, to) of the text through buf, cap bytes at a time, and hands each
// piece to use(data, size). A text that ends before to is ART_E_SHORT_READ, which the
// calling thread turns into why (input_ended_early) once the threads are done.
template <typename Use>
static art_status read_range(in_file* text, uint64_t from, const uint64_t to, unsigned char* buf, const size_t cap,
                             Use&& use) {
    while (from < to) {
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(cap, to - from));
        if (const int err = in_read_at(text, from, buf, want, &got)) return status_of(TEXT_FILE, err);
        if (got == 0) return status_of(TEXT_FILE, ART_E_SHORT_READ);
        if (const art_status s = use(buf, got); !s.ok()) return s;
        from += got;
    }
    return ART_OK;
}

// Builds the index of a regular text of size bytes in one pass on several threads. The
// text is cut into blocks of block_size bytes, which the threads claim in order and
// split, each into the records of its delimiters, the first of which does not yet know
// where its article starts. Whichever thread finds the next block in index order ready
// becomes the writer for as long as blocks are ready: it gives each block's first record
// its start (just past the last delimiter before it), puts the records after the ones
// before them and writes the index in order, in whole blocks of RECORDS_OUT bytes. At
// most `slots` blocks are split ahead of the writer. Sets *n to the records.
class parallel_build {
public:
    parallel_build(in_file* text, const uint64_t size, const size_t threads, output_file& index)
        : text_(text), size_(size), threads_(threads), index_(index),
          block_size_(std::clamp<uint64_t>((size + 4 * threads - 1) / (4 * threads), 1, PARALLEL_BLOCK)),
          blocks_((size + block_size_ - 1) / block_size_), slots_(threads + 2),
          stage_(new unsigned char[RECORDS_OUT]) {}

    art_status run(uint64_t* n) {
        const art_status s = run_parts(threads_, INDEX_FILE, [this](size_t) { return work(); }, [](size_t) {});
        if (!status_.ok()) return status_;
        if (!s.ok()) return s;
        // The last article, which the end of the text closes.
        article_splitter last{start_, size_, 0};
        split_end(&last, stage_.get() + used_);
        used_ += ART_RECORD_SIZE;
        *n = records_ + 1;
        return used_ > 0 ? index_.write(written_, stage_.get(), used_) : ART_OK;
    }

private:
    struct slot {
        std::unique_ptr<unsigned char[]> records;
        uint64_t count = 0;
        uint64_t after_last = 0;  // just past the block's last delimiter, when it has one
        art_status status = ART_OK;
        bool ready = false;
    };

    art_status work() {
        const std::unique_ptr<unsigned char[]> buf(new unsigned char[PARALLEL_BLOCK]);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ++waiting_;
            changed_.wait(lock, [this] { return stop_ || claimed_ >= blocks_ || claimed_ < emitted_ + slots_.size(); });
            --waiting_;
            if (stop_ || claimed_ >= blocks_) return ART_OK;
            const uint64_t j = claimed_++;
            slot& mine = slots_[j % slots_.size()];
            lock.unlock();
            split(j, mine, buf.get());
            lock.lock();
            mine.ready = true;
            if (writing_) continue;
            writing_ = true;
            for (slot* next = &slots_[emitted_ % slots_.size()]; next->ready && !stop_;
                 next = &slots_[emitted_ % slots_.size()]) {
                lock.unlock();
                const art_status s = emit(*next);
                lock.lock();
                next->ready = false;
                ++emitted_;
                if (!s.ok()) {
                    status_ = s;
                    stop_ = true;
                }
                // Only a thread that may wait is woken: where waking costs a call to
                // the system (a mutex and condition under wine), most blocks need none.
                if (waiting_ > 0) changed_.notify_all();
            }
            writing_ = false;
        }
    }

    // The records of block j's delimiters; the first starts at 0 for now.
    void split(const uint64_t j, slot& out, unsigned char* buf) {
        const uint64_t from = j * block_size_, to = std::min(size_, from + block_size_);
        article_splitter splitter{0, from, 0};
        // Room for a record per byte, which a block never needs more than; left
        // uninitialized, so that only the pages that records are written to are touched
        // (fresh memory is dear).
        if (!out.records) out.records.reset(new unsigned char[static_cast<size_t>(block_size_) * ART_RECORD_SIZE]);
        // The block in one read (a positioned read is a call to the wine server under
        // wine), split BLOCK_SIZE bytes at a time, which stay in cache while they are.
        out.status = read_range(text_, from, to, buf, PARALLEL_BLOCK, [&](const unsigned char* data, const size_t got) {
            for (size_t at = 0; at < got; at += BLOCK_SIZE) {
                const size_t piece = std::min(BLOCK_SIZE, got - at);
                split_block(&splitter, data + at, piece, out.records.get() + splitter.n * ART_RECORD_SIZE);
            }
            return ART_OK;
        });
        out.count = splitter.n;
        out.after_last = splitter.start;
    }

    // A split block's records, after those of the blocks before it: only the writer runs it.
    art_status emit(slot& done) {
        if (!done.status.ok()) return done.status;
        if (done.count == 0) return ART_OK;
        encode_fixed32(done.records.get(), static_cast<uint32_t>(start_));
        start_ = done.after_last;
        records_ += done.count;
        const unsigned char* from = done.records.get();
        size_t left = static_cast<size_t>(done.count) * ART_RECORD_SIZE;
        while (left > 0) {
            const size_t part = std::min(left, RECORDS_OUT - used_);
            std::memcpy(stage_.get() + used_, from, part);
            used_ += part;
            from += part;
            left -= part;
            if (used_ == RECORDS_OUT) {
                if (const art_status s = index_.write(written_, stage_.get(), RECORDS_OUT); !s.ok()) return s;
                written_ += RECORDS_OUT;
                used_ = 0;
            }
        }
        return ART_OK;
    }

    in_file* const text_;
    const uint64_t size_;
    const size_t threads_;
    output_file& index_;
    const uint64_t block_size_;
    const uint64_t blocks_;

    std::mutex mutex_;  // guards the claims, the slots' ready flags, waiting_, writing_, stop_ and status_
    std::condition_variable changed_;
    std::vector<slot> slots_;
    uint64_t claimed_ = 0, emitted_ = 0;
    size_t waiting_ = 0;  // threads in changed_.wait
    bool writing_ = false, stop_ = false;
    art_status status_ = ART_OK;

    // The writer's: where the open article starts, the records and the stage.
    uint64_t start_ = 0, records_ = 0, written_ = 0;
    const std::unique_ptr<unsigned char[]> stage_;
    size_t used_ = 0;
};

static int build() {
    if (const int status = refuse_stdout_on(INDEX_FILE, {TEXT_FILE})) return status;
    in_file* f = nullptr;
    if (const art_status s = open_input(TEXT_FILE, &f); !s.ok()) return fail(s);
    const std::unique_ptr<in_file, void (*)(in_file*)> closer(f, in_close);
    if (const int status = refuse_if_written({TEXT_FILE, f})) return status;
    uint64_t size = 0;
    bool known = false;
    // A text of ART_TEXT_LIMIT bytes or more is refused before the index is touched.
    if (const art_status s = input_size(f, TEXT_FILE, &size, &known); !s.ok()) return fail(s);
    // A text of known size is checked once the index is written for a change of size.
    const loaded_file text{nullptr, size, known ? f : nullptr, TEXT_FILE};
    output_file index;
    if (const int status = create_output(index, INDEX_FILE, {{TEXT_FILE, f}})) return status;

    // A text of known size on as many threads as its size is worth; a text read to its
    // end, or an index written in order, streams on one.
    const copy_limits limits = machine_limits();
    const uint64_t worth = size / std::max<uint64_t>(limits.part_min, 1);
    const size_t parts = known && !index.in_order() ? static_cast<size_t>(std::min<uint64_t>(limits.threads, worth)) : 1;
    art_status s = ART_OK;
    uint64_t n = 0;
    if (parts > 1) {
        s = parallel_build(f, size, parts, index).run(&n);
        if (s.code == ART_E_SHORT_READ && s.file == TEXT_FILE) s = status_of(TEXT_FILE, input_ended_early(f, size));
    } else {
        index_writer writer(index);
        s = scan(f, size, known, writer);
        if (s.ok()) s = writer.finish();
        n = writer.count();
    }
    s = end_of_work(index, s, {&text});
    if (s.ok()) print("n=%" PRIu64 "\n", n);
    return finish_run(index, s);
}

}  // namespace art

int main() { return art::run_main("build_art_idx", art::build); }

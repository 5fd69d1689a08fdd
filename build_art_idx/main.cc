// build_art_idx: scans the text and writes one record per article to the index: a text
// of known size in blocks on several threads, any other streamed on one; either way in
// one pass.
#include "art_files.h"
#include "article_split.h"
#include "block_writer.h"
#include "ordered_ring.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"
#include "run_parts.h"
#include "sized_reader.h"
#include "threads.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <vector>

namespace art {

// The text is split this many bytes at a time, which stay in cache between read and scan.
static constexpr size_t SCAN_PIECE = size_t{128} << 10;
// The most text that one thread splits before the writer takes its records.
static constexpr uint64_t PARALLEL_BLOCK = uint64_t{512} << 10;
static unsigned char scan_buf[SCAN_PIECE];

// Reads the text in order through scan_buf, which stays in the processor's cache between
// the read and the scan, whatever the text's size and however the page cache holds it
// (a known size must hold from the first byte to the last), and splits it straight into
// the stage of the index's block writer. Sets *n to the records.
static art_status scan(in_file* text, const uint64_t size, const bool known, output_file& index, uint64_t* n) {
    sized_reader reader(text, TEXT_FILE, size, known);
    block_writer records(index, ART_BLOCK_SIZE, SCAN_PIECE * ART_RECORD_SIZE);
    article_splitter splitter{0, 0, 0};
    for (;;) {
        size_t got = 0;
        if (const art_status s = reader.read(scan_buf, SCAN_PIECE, &got); !s.ok()) return s;
        if (got == 0) break;
        const size_t made = split_block(&splitter, scan_buf, got, records.fill_end());
        if (const art_status s = records.filled(made * ART_RECORD_SIZE); !s.ok()) return s;
    }
    // The last article, which the end of the text closes.
    split_end(&splitter, records.fill_end());
    *n = splitter.n;
    if (const art_status s = records.filled(ART_RECORD_SIZE); !s.ok()) return s;
    return records.write_filled();
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
// text is cut into blocks of block_size bytes, which the threads of an ordered ring split,
// each into the records of its delimiters, the first of which does not yet know where its
// article starts. The ring's writer gives each block's first record its start (just past
// the last delimiter before it) and appends the records to the index in order, through a
// block writer. The ring has two slots more than there are threads: so many blocks at
// most are split ahead of the writer.
class parallel_build {
public:
    parallel_build(in_file* text, const uint64_t size, const size_t threads, output_file& index)
        : text_(text), size_(size), threads_(threads),
          block_size_(std::clamp<uint64_t>((size + 4 * threads - 1) / (4 * threads), 1, PARALLEL_BLOCK)),
          ring_((size + block_size_ - 1) / block_size_, threads + 2, INDEX_FILE), slots_(ring_.slots()),
          records_(index) {}

    // Sets *n to the records.
    art_status run(uint64_t* n) {
        const art_status s = run_parts(threads_, INDEX_FILE, [this](size_t) { return work(); }, [](size_t) {});
        if (const art_status ring = ring_.status(); !ring.ok()) return ring;
        if (!s.ok()) return s;
        // The last article, which the end of the text closes.
        article_splitter last{start_, size_, 0};
        split_end(&last, records_.fill_end());
        *n = count_ + 1;
        if (const art_status f = records_.filled(ART_RECORD_SIZE); !f.ok()) return f;
        return records_.write_filled();
    }

private:
    struct slot {
        std::unique_ptr<unsigned char[]> records;
        uint64_t count = 0;
        uint64_t after_last = 0;  // just past the block's last delimiter, when it has one
    };

    art_status work() {
        const std::unique_ptr<unsigned char[]> buf(new unsigned char[PARALLEL_BLOCK]);
        ring_.work([](uint64_t, size_t) {},
                   [&](const uint64_t j, const size_t k) { return split(j, slots_[k], buf.get()); },
                   [&](uint64_t, const size_t k) { return append(slots_[k]); });
        return ART_OK;
    }

    // The records of block j's delimiters; the first starts at 0 for now.
    art_status split(const uint64_t j, slot& out, unsigned char* buf) {
        const uint64_t from = j * block_size_, to = std::min(size_, from + block_size_);
        article_splitter splitter{0, from, 0};
        // Room for a record per byte, which a block never needs more than; left
        // uninitialized, so that only the pages that records are written to are touched
        // (fresh memory is dear).
        if (!out.records) out.records.reset(new unsigned char[static_cast<size_t>(block_size_) * ART_RECORD_SIZE]);
        // The block in one read (a positioned read is a call to the wine server under
        // wine), split SCAN_PIECE bytes at a time, which stay in cache while they are.
        const art_status s = read_range(text_, from, to, buf, PARALLEL_BLOCK, [&](const unsigned char* data, const size_t got) {
            for (size_t at = 0; at < got; at += SCAN_PIECE) {
                const size_t piece = std::min(SCAN_PIECE, got - at);
                split_block(&splitter, data + at, piece, out.records.get() + splitter.n * ART_RECORD_SIZE);
            }
            return ART_OK;
        });
        out.count = splitter.n;
        out.after_last = splitter.start;
        return s;
    }

    // A split block's records, after those of the blocks before it: only the ring's writer runs it.
    art_status append(slot& done) {
        if (done.count == 0) return ART_OK;
        encode_fixed32(done.records.get(), static_cast<uint32_t>(start_));
        start_ = done.after_last;
        count_ += done.count;
        return records_.append(done.records.get(), static_cast<size_t>(done.count) * ART_RECORD_SIZE);
    }

    in_file* const text_;
    const uint64_t size_;
    const size_t threads_;
    const uint64_t block_size_;
    ordered_ring ring_;
    std::vector<slot> slots_;

    // The writer's: where the open article starts, the records so far, the index's writer.
    uint64_t start_ = 0, count_ = 0;
    block_writer records_;
};

static int build() {
    if (const int status = refuse_stdout_on(INDEX_FILE, {TEXT_FILE})) return status;
    in_file* f = nullptr;
    if (const art_status s = open_input(TEXT_FILE, &f); !s.ok()) return fail(s);
    const std::unique_ptr<in_file, void (*)(in_file*)> closer(f, close_input);
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
    const thread_limits machine = machine_threads();
    const size_t parts = known && !index.in_order() ? parts_for(size, machine.threads, machine.part_min) : 1;
    art_status s = ART_OK;
    uint64_t n = 0;
    if (parts > 1) {
        s = parallel_build(f, size, parts, index).run(&n);
        if (s.code == ART_E_SHORT_READ && s.file == TEXT_FILE) s = status_of(TEXT_FILE, input_ended_early(f, size));
    } else {
        s = scan(f, size, known, index, &n);
    }
    s = end_of_work(index, s, {&text});
    if (s.ok()) print("n=%" PRIu64 "\n", n);
    return finish_run(index, s);
}

}  // namespace art

// What --help prints.
static const char* const USAGE =
    "usage: build_art_idx\n"
    "Writes enwik_art_idx, the index of the articles of enwik_text2_vok: one 8-byte record\n"
    "(start, end) per article, in text order; prints n=COUNT.\n"
    "Its files are in the working directory. --help: this; --version: the version. Any other\n"
    "argument is ignored.\n";

int main(int argc, char** argv) { return art::run_main("build_art_idx", art::build, argc, argv, USAGE); }

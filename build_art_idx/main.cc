// build_art_idx: scans the text and writes one record per article to the index: a text
// of known size in parts on several threads, any other streamed once on one.
#include "art_files.h"
#include "article_split.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"
#include "run_parts.h"

#include "chunk_copy.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

static constexpr size_t BLOCK_SIZE = size_t{128} << 10;  // stays in cache between read and scan
// Records go out in whole blocks this large, at offsets aligned to it, where the page
// cache keeps them in large folios that a later mapping of the index maps whole.
static constexpr size_t RECORDS_OUT = size_t{2} << 20;
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

// Reads bytes [from, to) of the text through block, BLOCK_SIZE bytes at a time, and hands
// each piece to use(data, size). A text that ends before to is ART_E_SHORT_READ, which
// the calling thread turns into why (input_ended_early) once the parts are done.
template <typename Use>
static art_status read_range(in_file* text, uint64_t from, const uint64_t to, unsigned char* buf, Use&& use) {
    while (from < to) {
        size_t got = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(BLOCK_SIZE, to - from));
        if (const int err = in_read_at(text, from, buf, want, &got)) return status_of(TEXT_FILE, err);
        if (got == 0) return status_of(TEXT_FILE, ART_E_SHORT_READ);
        if (const art_status s = use(buf, got); !s.ok()) return s;
        from += got;
    }
    return ART_OK;
}

// One part of a text split among threads: its bytes [from, to), the index of its first
// record and where that record starts, and how many delimiters it holds (not counted
// for the last part).
struct text_part {
    uint64_t from, to;
    uint64_t first_record;
    uint64_t start;
    uint64_t delimiters;
};

// A piece of the index that a part made but did not write: it shares its 2 MiB block
// with another part's records.
struct edge_piece {
    uint64_t offset;
    std::vector<unsigned char> bytes;
};

// Encodes the records of one part and writes every whole block of RECORDS_OUT bytes of
// the index that they alone fill; keeps the rest (at most the first and the last block
// it touches) for the ordered stitch.
class part_writer {
public:
    part_writer(output_file& index, const uint64_t first_record, const bool last)
        : index_(index), at_(first_record * ART_RECORD_SIZE), last_(last),
          stage_(new unsigned char[RECORDS_OUT + BLOCK_SIZE * ART_RECORD_SIZE]) {}

    unsigned char* free_space() { return stage_.get() + used_; }

    // size bytes of records were made at free_space().
    art_status made(const size_t size) {
        used_ += size;
        for (;;) {
            const uint64_t block_end = at_ - at_ % RECORDS_OUT + RECORDS_OUT;
            if (at_ + used_ < block_end) return ART_OK;
            if (const art_status s = put(static_cast<size_t>(block_end - at_), false); !s.ok()) return s;
        }
    }

    // The rest: for the last part, the end of the index.
    art_status finish() { return used_ > 0 ? put(used_, last_) : ART_OK; }

    std::vector<edge_piece>& edges() { return edges_; }

private:
    // Sends out the first size bytes of the stage, which end at or before a block's end,
    // or at the end of the index.
    art_status put(const size_t size, const bool index_end) {
        const uint64_t at = at_;
        const bool whole = at % RECORDS_OUT == 0 && (size == RECORDS_OUT || index_end);
        art_status s = ART_OK;
        if (whole) {
            s = index_.write(at, stage_.get(), size);
        } else {
            edges_.push_back({at, std::vector<unsigned char>(stage_.get(), stage_.get() + size)});
        }
        at_ += size;
        used_ -= size;
        std::memmove(stage_.get(), stage_.get() + size, used_);
        return s;
    }

    output_file& index_;
    uint64_t at_;  // the index offset of the stage's first byte
    const bool last_;
    const std::unique_ptr<unsigned char[]> stage_;
    size_t used_ = 0;
    std::vector<edge_piece> edges_;
};

// Builds the index of a regular text of size bytes on parts of it at once: pass 1 counts
// the delimiters of every part but the last (each thread counts a slice of each, so that
// all share the pass), which gives each part its first record and that record's start;
// pass 2 encodes each part's records and writes them at their offsets; the blocks that
// two or more parts share are then written, whole, in order. Sets *n to the records.
static art_status build_in_parts(in_file* text, const uint64_t size, const size_t parts, output_file& index,
                                 uint64_t* n) {
    std::vector<text_part> plan(parts);
    for (size_t k = 0; k < parts; ++k) plan[k] = {size * k / parts, size * (k + 1) / parts, 0, 0, 0};
    // Pass 1: slice t of each part but the last, counted by thread t.
    struct tally {
        uint64_t count = 0;
        uint64_t after_last = 0;  // past the last delimiter; 0 when none
    };
    std::vector<tally> tallies((parts - 1) * parts);
    const auto slice_from = [&](const size_t k, const size_t t) {
        return plan[k].from + (plan[k].to - plan[k].from) * t / parts;
    };
    art_status s = run_parts(parts, INDEX_FILE, [&](const size_t t) {
        const std::unique_ptr<unsigned char[]> buf(new unsigned char[BLOCK_SIZE]);
        for (size_t k = 0; k + 1 < parts; ++k) {
            tally& mine = tallies[k * parts + t];
            uint64_t at = slice_from(k, t);
            const art_status r = read_range(text, at, slice_from(k, t + 1), buf.get(),
                                            [&](const unsigned char* data, const size_t got) {
                size_t after = 0;
                const size_t found = count_delimiters(data, got, &after);
                if (found > 0) mine.after_last = at + after;
                mine.count += found;
                at += got;
                return ART_OK;
            });
            if (!r.ok()) return r;
        }
        return ART_OK;
    }, [](size_t) {});
    if (!s.ok()) return s;
    for (size_t k = 0; k + 1 < parts; ++k) {
        uint64_t start = plan[k].start;
        for (size_t t = 0; t < parts; ++t) {
            plan[k].delimiters += tallies[k * parts + t].count;
            if (tallies[k * parts + t].after_last > 0) start = tallies[k * parts + t].after_last;
        }
        plan[k + 1].first_record = plan[k].first_record + plan[k].delimiters;
        plan[k + 1].start = start;
    }
    // Pass 2: the records of part k, the first of them at record plan[k].first_record.
    std::vector<std::vector<edge_piece>> edges(parts);
    uint64_t last_count = 0;
    s = run_parts(parts, INDEX_FILE, [&](const size_t k) {
        const text_part& p = plan[k];
        const bool last = k + 1 == parts;
        part_writer out(index, p.first_record, last);
        article_splitter splitter{p.start, p.from, 0};
        const std::unique_ptr<unsigned char[]> buf(new unsigned char[BLOCK_SIZE]);
        art_status r = read_range(text, p.from, p.to, buf.get(), [&](const unsigned char* data, const size_t got) {
            const size_t made = split_block(&splitter, data, got, out.free_space());
            // The text changed since it was counted: no record may land in another part's.
            if (!last && splitter.n > p.delimiters) return status_of(TEXT_FILE, ART_E_CHANGED);
            return out.made(made * ART_RECORD_SIZE);
        });
        if (!r.ok()) return r;
        if (last) {
            split_end(&splitter, out.free_space());
            if (r = out.made(ART_RECORD_SIZE); !r.ok()) return r;
            last_count = splitter.n;
        } else if (splitter.n != p.delimiters || splitter.start != plan[k + 1].start) {
            return status_of(TEXT_FILE, ART_E_CHANGED);
        }
        r = out.finish();
        edges[k] = std::move(out.edges());
        return r;
    }, [](size_t) {});
    if (!s.ok()) return s;
    *n = plan.back().first_record + last_count;
    // The stitch: the pieces, in index order, each block's written at once.
    std::unique_ptr<unsigned char[]> joined;
    uint64_t joined_block = UINT64_MAX, from = 0;
    size_t used = 0;
    const auto flush = [&] { return used > 0 ? index.write(from, joined.get(), used) : ART_OK; };
    for (const std::vector<edge_piece>& pieces : edges) {
        for (const edge_piece& e : pieces) {
            if (e.offset / RECORDS_OUT != joined_block) {
                if (s = flush(); !s.ok()) return s;
                if (!joined) joined.reset(new unsigned char[RECORDS_OUT]);
                joined_block = e.offset / RECORDS_OUT;
                from = e.offset;
                used = 0;
            }
            std::memcpy(joined.get() + used, e.bytes.data(), e.bytes.size());
            used += e.bytes.size();
        }
    }
    return flush();
}

static int build() {
    if (const int status = refuse_stdout_on(INDEX_FILE, {TEXT_FILE})) return status;
    in_file* f = nullptr;
    if (const art_status s = open_input(TEXT_FILE, &f); !s.ok()) return fail(s);
    const std::unique_ptr<in_file, void (*)(in_file*)> closer(f, in_close);
    uint64_t size = 0;
    bool known = false;
    // A text of ART_TEXT_LIMIT bytes or more is refused before the index is touched.
    if (const art_status s = input_size(f, TEXT_FILE, &size, &known); !s.ok()) return fail(s);
    // A text of known size is checked once the index is written for a change of size.
    const loaded_file text{nullptr, size, known ? f : nullptr, TEXT_FILE};
    output_file index;
    if (const int status = create_output(index, INDEX_FILE, {TEXT_FILE})) return status;

    // Parts of a text of known size at once, each for a worthwhile share of it; a text
    // read to its end, or an index written in order, streams on one thread.
    const copy_limits limits = machine_limits();
    const uint64_t worth = size / std::max<uint64_t>(limits.part_min, 1);
    const size_t parts = known && !index.in_order() ? static_cast<size_t>(std::min<uint64_t>(limits.threads, worth)) : 1;
    art_status s = ART_OK;
    uint64_t n = 0;
    if (parts > 1) {
        s = build_in_parts(f, size, parts, index, &n);
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

int main() { return run_main("build_art_idx", build); }

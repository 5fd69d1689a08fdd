#include "index_coverage.h"

#include "run_parts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <new>

// Coverage is found in one sweep over the text in ascending order, with the reach of the
// chunks that start before the point swept. Each chunk goes to the block of 64 KiB of the
// text where it starts (a counting sort, with no comparisons), as 4 bytes: its first and
// last byte within that block; the block keeps the end of the chunk that reaches
// furthest. Each block is then swept 64 bytes at a time: a mask of the bytes covered by
// the chunks that start among them, and the reach of those that run past them.
//
// Fed as the index is read, the entries go to chains of pages, one chain per block. An
// index held whole is sorted in two passes over its records instead, each of its parts
// on a thread: one counts the entries of each block, the next puts them in their places
// in one array; the blocks are then swept in runs, one run per thread, each with the
// reach of the blocks before it, and their gaps joined in text order.

namespace {

constexpr unsigned BLOCK_BITS = 16;
constexpr uint64_t BLOCK = uint64_t{1} << BLOCK_BITS;
constexpr unsigned CELLS = BLOCK / 64;
// A block's chain is of pages of 63 entries and the number of the next page, taken in
// order from slabs allocated as they are needed: at most one page partly filled per
// block, 16 MiB in all for a text of 4 GiB.
constexpr uint32_t PAGE = 64;
constexpr uint32_t SLAB_PAGES = 4096;  // 1 MiB
// The most records that an index below ART_TEXT_LIMIT bytes holds.
constexpr uint64_t MOST_RECORDS = ART_TEXT_LIMIT / ART_RECORD_SIZE;
// Enough slabs for the pages of MOST_RECORDS records and of partly filled pages.
constexpr uint32_t SLABS = 4096;
constexpr uint32_t NO_PAGE = UINT32_MAX;
// The most parts that an index held whole is checked in.
constexpr unsigned MOST_PARTS = 64;

// Bits [from, to) of a mask; from <= to <= 64.
uint64_t bits(const uint64_t from, const uint64_t to) {
    if (from == 64) return 0;
    const uint64_t below_to = to == 64 ? ~uint64_t{0} : (uint64_t{1} << to) - 1;
    return below_to & ~((uint64_t{1} << from) - 1);
}

unsigned lowest_bit(const uint64_t mask) { return static_cast<unsigned>(__builtin_ctzll(mask)); }

// The uncovered bytes, given in ascending order: how many, in how many runs, and the
// first run.
class gap_tally {
public:
    // Bytes [from, to) are uncovered.
    void range(const uint64_t from, const uint64_t to) {
        if (from >= to) return;
        if (from != end_ && ++r_.gaps == 1) r_.first_gap = from;
        if (r_.gaps == 1) r_.first_gap_end = to;
        r_.uncovered += to - from;
        end_ = to;
    }

    // The bytes of the 64 from base whose bits are set in mask are uncovered. Each run
    // but the last of a text ends where a chunk starts: runs cost as records do.
    void cell(const uint64_t base, uint64_t mask) {
        while (mask != 0) {
            const unsigned from = lowest_bit(mask);
            const uint64_t rest = mask >> from;
            const unsigned length = rest == ~uint64_t{0} ? 64 : lowest_bit(~rest);
            range(base + from, base + from + length);
            mask &= ~bits(0, from + length);
        }
    }

    // The tally of bytes that all lie after these: a run that goes on across the point
    // where one tally ends and the next begins is one run.
    void append(const gap_tally& later) {
        if (later.r_.gaps == 0) return;
        if (r_.gaps == 0) {
            *this = later;
            return;
        }
        const bool joined = later.r_.first_gap == end_;
        if (joined && r_.gaps == 1) r_.first_gap_end = later.r_.first_gap_end;
        r_.gaps += later.r_.gaps - (joined ? 1 : 0);
        r_.uncovered += later.r_.uncovered;
        end_ = later.end_;
    }

    // checked with the gaps counted.
    coverage_result result(coverage_result checked) const {
        checked.first_gap = r_.first_gap;
        checked.first_gap_end = r_.first_gap_end;
        checked.uncovered = r_.uncovered;
        checked.gaps = r_.gaps;
        return checked;
    }

private:
    coverage_result r_{0, {breach_kind::none, 0, {0, 0}}, 0, 0, 0, 0};
    uint64_t end_ = UINT64_MAX;  // where the last run ended
};

// The entry of the chunk [start, end), not empty, in the block at base where it starts.
uint32_t entry_of(const uint64_t start, const uint64_t end, const uint64_t base) {
    const uint64_t last = std::min(end, base + BLOCK) - 1 - base;
    return static_cast<uint32_t>((start - base) << 16 | last);
}

// What the chunks that start in one block of size bytes cover of it, cell by cell.
class block_cover {
public:
    explicit block_cover(const uint64_t size) : cells_((size + 63) / 64) {
        std::fill(mask_, mask_ + cells_, 0);
        std::fill(ends_, ends_ + cells_, 0);
    }

    void add(const uint32_t* const entries, const uint64_t count) {
        for (uint64_t k = 0; k < count; ++k) {
            const uint32_t first = entries[k] >> 16, last = entries[k] & 0xFFFF, cell = first / 64;
            if (last / 64 == cell) {
                mask_[cell] |= bits(first % 64, last % 64 + 1);
            } else {
                mask_[cell] |= bits(first % 64, 64);
                ends_[cell] = std::max(ends_[cell], last + 1);
            }
        }
    }

    // Tallies the bytes of the block, of size bytes at base, that neither its chunks
    // nor those that start before it (up to carry) cover.
    void sweep(const uint64_t base, const uint64_t size, const uint64_t carry, gap_tally& gaps) const {
        uint64_t covered_to = carry > base ? carry - base : 0;
        for (uint64_t cell = 0; cell < cells_; ++cell) {
            const uint64_t at = cell * 64;
            const uint64_t before = covered_to > at ? bits(0, std::min<uint64_t>(covered_to - at, 64)) : 0;
            const uint64_t in_text = bits(0, std::min<uint64_t>(size - at, 64));
            gaps.cell(base + at, ~(mask_[cell] | before) & in_text);
            covered_to = std::max<uint64_t>(covered_to, ends_[cell]);
        }
    }

private:
    const uint64_t cells_;
    uint64_t mask_[CELLS];  // bytes covered by the chunks that start in each cell
    uint32_t ends_[CELLS];  // the end in the block of those that run past it
};

// Sweeps blocks [from, to) of a text of text_size bytes in ascending order, with carry
// the end of the chunks that start before block from. reach[b] is the furthest end of
// the chunks that start in block b, 0 where none does; entries(b, cover) adds theirs to
// cover.
template <typename Entries>
void sweep_blocks(const uint64_t from, const uint64_t to, const uint64_t text_size, uint64_t carry,
                  const uint32_t* const reach, const Entries& entries, gap_tally& gaps) {
    for (uint64_t b = from; b < to; ++b) {
        const uint64_t base = b << BLOCK_BITS, size = std::min(BLOCK, text_size - base);
        if (carry >= base + size) {
            // covered whole by chunks that start before it
        } else if (reach[b] == 0) {
            gaps.range(std::max(carry, base), base + size);
        } else {
            block_cover cover(size);
            entries(b, cover);
            cover.sweep(base, size, carry, gaps);
        }
        carry = std::max<uint64_t>(carry, reach[b]);
    }
}

// The first record of part k of n records cut in parts of sizes that differ by 1 at most.
uint64_t part_start(const uint64_t n, const size_t parts, const size_t k) {
    return n / parts * k + std::min<uint64_t>(k, n % parts);
}

// The check of an index held whole, in parts: records [part_start(k), part_start(k + 1))
// are part k's.
class held_check {
public:
    held_check(const unsigned char* index, const uint64_t n, const uint64_t text_size, const size_t parts)
        : index_(index), n_(n), text_size_(text_size), parts_(parts), blocks_((text_size + BLOCK - 1) >> BLOCK_BITS),
          row_(blocks_ + 1),
          next_(new (std::nothrow) uint32_t[parts * row_]()),
          reach_(new (std::nothrow) uint32_t[parts * row_]()),
          starts_(new (std::nothrow) uint32_t[row_]),
          part_(new (std::nothrow) part[parts]) {}

    coverage_result run() {
        coverage_result result{0, {breach_kind::none, 0, {0, 0}}, 0, 0, 0, 0};
        if (!next_ || !reach_ || !starts_ || !part_) {
            result.error = ENOMEM;
            return result;
        }
        in_parts([this](const size_t k) { count(k); });
        for (size_t k = 0; k < parts_; ++k)
            if (part_[k].breach.kind != breach_kind::none) {
                result.breach = part_[k].breach;
                return result;
            }
        const uint64_t total = places();
        entries_.reset(new (std::nothrow) uint32_t[std::max<uint64_t>(total, 1)]);
        if (!entries_) {
            result.error = ENOMEM;
            return result;
        }
        in_parts([this](const size_t k) { place(k); });
        plan_sweep();
        in_parts([this](const size_t k) { sweep(k); });
        gap_tally gaps;
        for (size_t k = 0; k < parts_; ++k) gaps.append(part_[k].gaps);
        return gaps.result(result);
    }

private:
    struct part {
        index_breach breach{breach_kind::none, 0, {0, 0}};  // its first
        uint64_t first_block = 0;  // the blocks that it sweeps start here, and run to the next part's
        uint64_t carry = 0;        // the end of the chunks that start before them
        gap_tally gaps;            // of the blocks that it sweeps
    };

    template <typename Work>
    void in_parts(const Work& work) {
        art::run_parts(parts_, nullptr, [&](const size_t k) {
            work(k);
            return ART_OK;
        }, [](size_t) {});
    }

    // Part k's records: the first that gather refuses, or else the entries and reach of
    // each block. A part gives up once a part before it has met a refusal.
    void count(const size_t k) {
        uint32_t* const counts = next_.get() + k * row_;
        uint32_t* const reach = reach_.get() + k * row_;
        const uint64_t from = part_start(n_, parts_, k), to = part_start(n_, parts_, k + 1);
        for (uint64_t i = from; i < to; ++i) {
            if ((i - from) % 65536 == 0 && refused_.load(std::memory_order_relaxed) < k) return;
            const art_record r = index_record(index_, i);
            const uint64_t length = exact_chunk_length(r, i, n_);
            if (const breach_kind kind = gather_breach(r, length, text_size_); kind != breach_kind::none) {
                part_[k].breach = {kind, i, r};
                size_t low = refused_.load();
                while (k < low && !refused_.compare_exchange_weak(low, k)) {
                }
                return;
            }
            if (length == 0) continue;
            const uint64_t b = r.start >> BLOCK_BITS;
            ++counts[b];
            reach[b] = std::max(reach[b], static_cast<uint32_t>(r.start + length));
        }
    }

    // Turns the counts into the place of each part's first entry in each block, blocks in
    // text order and, within one, parts in index order, and merges the parts' reach into
    // part 0's; returns the entries in all.
    uint64_t places() {
        uint64_t total = 0;
        for (uint64_t b = 0; b < blocks_; ++b) {
            starts_[b] = static_cast<uint32_t>(total);
            for (size_t k = 0; k < parts_; ++k) {
                const uint32_t count = next_[k * row_ + b];
                next_[k * row_ + b] = static_cast<uint32_t>(total);
                total += count;
                reach_[b] = std::max(reach_[b], reach_[k * row_ + b]);
            }
        }
        starts_[blocks_] = static_cast<uint32_t>(total);
        return total;
    }

    // Part k's entries, each in its place.
    void place(const size_t k) {
        uint32_t* const next = next_.get() + k * row_;
        for (uint64_t i = part_start(n_, parts_, k), to = part_start(n_, parts_, k + 1); i < to; ++i) {
            const art_record r = index_record(index_, i);
            const uint64_t length = exact_chunk_length(r, i, n_);
            if (length == 0) continue;
            const uint64_t b = r.start >> BLOCK_BITS;
            entries_[next[b]++] = entry_of(r.start, r.start + length, b << BLOCK_BITS);
        }
    }

    // Cuts the blocks into runs of about equal work, one per part: a block's entries and
    // its cells; and finds the carry of each run.
    void plan_sweep() {
        const auto work = [this](const uint64_t b) { return starts_[b] + b * CELLS; };
        uint64_t b = 0, carry = 0;
        for (size_t k = 0; k < parts_; ++k) {
            const uint64_t target = work(blocks_) / parts_ * k;
            for (; b < blocks_ && work(b) < target; ++b) carry = std::max<uint64_t>(carry, reach_[b]);
            part_[k].first_block = b;
            part_[k].carry = carry;
        }
    }

    void sweep(const size_t k) {
        const uint64_t to = k + 1 < parts_ ? part_[k + 1].first_block : blocks_;
        sweep_blocks(part_[k].first_block, to, text_size_, part_[k].carry, reach_.get(),
                     [this](const uint64_t b, block_cover& cover) {
                         cover.add(entries_.get() + starts_[b], starts_[b + 1] - starts_[b]);
                     },
                     part_[k].gaps);
    }

    const unsigned char* const index_;
    const uint64_t n_, text_size_;
    const size_t parts_;
    const uint64_t blocks_, row_;
    // Per part, a row of row_ per block: its entries, then the place of its next one.
    const std::unique_ptr<uint32_t[]> next_;
    // Per part, a row per block: the furthest end of its chunks that start there; part
    // 0's row then holds that of all parts.
    const std::unique_ptr<uint32_t[]> reach_;
    const std::unique_ptr<uint32_t[]> starts_;  // per block: the place of its first entry
    const std::unique_ptr<part[]> part_;
    std::unique_ptr<uint32_t[]> entries_;  // of all blocks, in text order
    std::atomic<size_t> refused_{SIZE_MAX};  // the first part that met a refusal
};

}  // namespace

// The chunks' entries, by block.
struct coverage_check::lists {
    struct chain {
        uint32_t head = NO_PAGE, tail = NO_PAGE;
        uint32_t fill = 0;  // entries in the tail page
    };

    explicit lists(const uint64_t text_size)
        : blocks((text_size + BLOCK - 1) >> BLOCK_BITS),
          of_block(new (std::nothrow) chain[blocks + 1]),
          reach(new (std::nothrow) uint32_t[blocks + 1]()),
          slabs(new (std::nothrow) std::unique_ptr<uint32_t[]>[SLABS]) {}

    bool ok() const { return of_block && reach && slabs; }

    uint32_t* page(const uint32_t p) const { return slabs[p / SLAB_PAGES].get() + p % SLAB_PAGES * PAGE; }

    // Takes the next page; false when its slab cannot be had.
    bool take_page(uint32_t* p) {
        if (pages % SLAB_PAGES == 0) {
            if (pages / SLAB_PAGES == SLABS) return false;
            slabs[pages / SLAB_PAGES].reset(new (std::nothrow) uint32_t[SLAB_PAGES * PAGE]);
            if (!slabs[pages / SLAB_PAGES]) return false;
        }
        *p = pages++;
        return true;
    }

    // The chunk [start, end), not empty, inside the text; false when no memory can be had.
    bool add(const uint64_t start, const uint64_t end) {
        const uint64_t b = start >> BLOCK_BITS;
        chain& c = of_block[b];
        if (c.fill == PAGE - 1 || c.head == NO_PAGE) {
            uint32_t p = 0;
            if (!take_page(&p)) return false;
            page(p)[PAGE - 1] = NO_PAGE;
            (c.head == NO_PAGE ? c.head : page(c.tail)[PAGE - 1]) = p;
            c.tail = p;
            c.fill = 0;
        }
        page(c.tail)[c.fill++] = entry_of(start, end, b << BLOCK_BITS);
        reach[b] = std::max(reach[b], static_cast<uint32_t>(end));
        return true;
    }

    // The sweep of the whole text, block by block.
    void sweep(const uint64_t text_size, gap_tally& gaps) const {
        sweep_blocks(0, blocks, text_size, 0, reach.get(),
                     [this](const uint64_t b, block_cover& cover) {
                         for (uint32_t p = of_block[b].head; p != NO_PAGE; p = page(p)[PAGE - 1])
                             cover.add(page(p), p == of_block[b].tail ? of_block[b].fill : PAGE - 1);
                     },
                     gaps);
    }

    const uint64_t blocks;
    const std::unique_ptr<chain[]> of_block;
    const std::unique_ptr<uint32_t[]> reach;  // per block: the furthest end of its chunks
    const std::unique_ptr<std::unique_ptr<uint32_t[]>[]> slabs;
    uint32_t pages = 0;  // taken
};

coverage_check::coverage_check(const uint64_t text_size)
    : text_size_(text_size), lists_(new (std::nothrow) lists(text_size)) {
    if (!lists_ || !lists_->ok()) result_.error = ENOMEM;
}

coverage_check::~coverage_check() = default;

void coverage_check::add(const unsigned char* records, const uint64_t count) {
    if (result_.error != 0 || result_.breach.kind != breach_kind::none) {
        position_ += count;  // the verdict is known
        return;
    }
    for (uint64_t k = 0; k < count; ++k) {
        if (position_ > 0) take(pending_, false);
        pending_ = decode_record(records + k * ART_RECORD_SIZE);
        ++position_;
    }
}

// Record position_ - 1, pending_ until the next one came or the index ended.
void coverage_check::take(const art_record r, const bool last) {
    if (result_.error != 0 || result_.breach.kind != breach_kind::none) return;
    const uint64_t i = position_ - 1;
    const uint64_t length = exact_chunk_length(r, i, last ? i + 1 : i + 2);
    if (const breach_kind kind = gather_breach(r, length, text_size_); kind != breach_kind::none)
        result_.breach = {kind, i, r};
    else if (length > 0 && !lists_->add(r.start, r.start + length))
        result_.error = ENOMEM;
}

coverage_result coverage_check::finish() {
    if (position_ > 0) take(pending_, true);
    if (result_.error != 0 || result_.breach.kind != breach_kind::none) return result_;
    gap_tally gaps;
    lists_->sweep(text_size_, gaps);
    return gaps.result(result_);
}

coverage_result check_coverage(const unsigned char* index, const uint64_t n, const uint64_t text_size,
                               const unsigned threads) {
    if (n > MOST_RECORDS) {
        // More than a program meets: the chains tell when they run out.
        coverage_check check(text_size);
        check.add(index, n);
        return check.finish();
    }
    return held_check(index, n, text_size, std::clamp(threads, 1u, MOST_PARTS)).run();
}

std::string describe_gaps(const coverage_result& r, const char* text) {
    char line[512];
    const bool one = r.first_gap_end - r.first_gap == 1;
    const int used = one ? std::snprintf(line, sizeof line,
                                         "byte %" PRIu64 " of %s is in no record: it would come back as a zero",
                                         r.first_gap, text)
                         : std::snprintf(line, sizeof line, "bytes %" PRIu64 "-%" PRIu64
                                         " of %s are in no record: they would come back as zeros",
                                         r.first_gap, r.first_gap_end - 1, text);
    const size_t at = used > 0 ? std::min(static_cast<size_t>(used), sizeof line - 1) : 0;
    std::snprintf(line + at, sizeof line - at, " (%" PRIu64 " byte%s in %" PRIu64 " range%s in all)", r.uncovered,
                  r.uncovered == 1 ? "" : "s", r.gaps, r.gaps == 1 ? "" : "s");
    return line;
}

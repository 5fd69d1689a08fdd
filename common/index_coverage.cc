#include "index_coverage.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <new>

// Coverage is found in one sweep over the text in ascending order, with the reach of the
// chunks that start before the point swept. As the records come, each chunk goes to the
// list of the block of 64 KiB of the text where it starts (a counting sort, with no
// comparisons), as 4 bytes: its first and last byte within that block; the block keeps
// the end of the chunk that reaches furthest. Each block is then swept 64 bytes at a
// time: a mask of the bytes covered by the chunks that start among them, and the reach
// of those that run past them.

namespace {

constexpr unsigned BLOCK_BITS = 16;
constexpr uint64_t BLOCK = uint64_t{1} << BLOCK_BITS;
constexpr unsigned CELLS = BLOCK / 64;
// A block's list is a chain of pages of 63 entries and the number of the next page,
// taken in order from slabs allocated as they are needed: at most one page partly filled
// per block, 16 MiB in all for a text of 4 GiB.
constexpr uint32_t PAGE = 64;
constexpr uint32_t SLAB_PAGES = 4096;  // 1 MiB
// Enough slabs for the pages of 2^29 records, the most that an index below
// ART_TEXT_LIMIT bytes holds, and of partly filled pages.
constexpr uint32_t SLABS = 4096;
constexpr uint32_t NO_PAGE = UINT32_MAX;

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
        const uint64_t b = start >> BLOCK_BITS, base = b << BLOCK_BITS;
        chain& c = of_block[b];
        if (c.fill == PAGE - 1 || c.head == NO_PAGE) {
            uint32_t p = 0;
            if (!take_page(&p)) return false;
            page(p)[PAGE - 1] = NO_PAGE;
            (c.head == NO_PAGE ? c.head : page(c.tail)[PAGE - 1]) = p;
            c.tail = p;
            c.fill = 0;
        }
        const uint64_t last = std::min(end, base + BLOCK) - 1 - base;
        page(c.tail)[c.fill++] = static_cast<uint32_t>((start - base) << 16 | last);
        reach[b] = std::max(reach[b], static_cast<uint32_t>(end));
        return true;
    }

    // Sweeps the size bytes of block b, with the reach of the chunks that start before it.
    void sweep_block(const uint64_t b, const uint64_t size, const uint64_t carry, gap_tally& gaps) const {
        uint64_t mask[CELLS];   // bytes covered by the chunks that start in each cell
        uint32_t ends[CELLS];   // the end in the block of those that run past it
        const uint64_t cells = (size + 63) / 64, base = b << BLOCK_BITS;
        std::fill(mask, mask + cells, 0);
        std::fill(ends, ends + cells, 0);
        for (uint32_t p = of_block[b].head; p != NO_PAGE; p = page(p)[PAGE - 1]) {
            const uint32_t* const in = page(p);
            for (uint32_t k = 0, count = p == of_block[b].tail ? of_block[b].fill : PAGE - 1; k < count; ++k) {
                const uint32_t first = in[k] >> 16, last = in[k] & 0xFFFF, cell = first / 64;
                if (last / 64 == cell) {
                    mask[cell] |= bits(first % 64, last % 64 + 1);
                } else {
                    mask[cell] |= bits(first % 64, 64);
                    ends[cell] = std::max(ends[cell], last + 1);
                }
            }
        }
        uint64_t covered_to = carry > base ? carry - base : 0;
        for (uint64_t cell = 0; cell < cells; ++cell) {
            const uint64_t at = cell * 64;
            const uint64_t before = covered_to > at ? bits(0, std::min<uint64_t>(covered_to - at, 64)) : 0;
            const uint64_t in_text = bits(0, std::min<uint64_t>(size - at, 64));
            gaps.cell(base + at, ~(mask[cell] | before) & in_text);
            covered_to = std::max<uint64_t>(covered_to, ends[cell]);
        }
    }

    // The sweep of the whole text, block by block.
    void sweep(const uint64_t text_size, gap_tally& gaps) const {
        uint64_t carry = 0;  // the end of the chunks that start before the block
        for (uint64_t b = 0; b < blocks; ++b) {
            const uint64_t base = b << BLOCK_BITS, size = std::min(BLOCK, text_size - base);
            if (carry >= base + size) {
                // covered whole by chunks that start before it
            } else if (of_block[b].head == NO_PAGE) {
                gaps.range(std::max(carry, base), base + size);
            } else {
                sweep_block(b, size, carry, gaps);
            }
            carry = std::max<uint64_t>(carry, reach[b]);
        }
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

coverage_result check_coverage(const unsigned char* index, const uint64_t n, const uint64_t text_size) {
    coverage_check check(text_size);
    check.add(index, n);
    return check.finish();
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

#include "index_coverage.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>

// Coverage is found in one sweep over the text in ascending order, with the reach of the
// chunks that start before the point swept. An index whose chunk starts never decrease
// is swept as it stands. Any other is first sorted into blocks of 64 KiB of the text by
// its starts, with a counting pass and a placing pass (no comparisons); each block is
// then swept 64 bytes at a time: a mask of the bytes covered by the chunks that start
// among them, and the reach of those that run past them.

namespace {

constexpr unsigned BLOCK_BITS = 16;
constexpr uint64_t BLOCK = uint64_t{1} << BLOCK_BITS;
constexpr unsigned CELLS = BLOCK / 64;

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

    coverage_result result(const coverage_result& checked) const {
        coverage_result r = r_;
        r.error = checked.error;
        r.breach = checked.breach;
        return r;
    }

private:
    coverage_result r_{0, {breach_kind::none, 0, {0, 0}}, 0, 0, 0, 0};
    uint64_t end_ = UINT64_MAX;  // where the last run ended
};

// The sweep of an index whose chunk starts never decrease (empty chunks aside), in index
// order; false at the first start below the one before.
bool sweep_in_order(const unsigned char* index, const uint64_t n, const uint64_t text_size, gap_tally& gaps) {
    uint64_t reach = 0, last_start = 0;
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        const uint64_t start = c.record().start, end = start + c.length();
        if (start == end) continue;
        if (start < last_start) return false;
        gaps.range(reach, start);
        reach = std::max(reach, end);
        last_start = start;
    }
    gaps.range(reach, text_size);
    return true;
}

// A chunk's bytes within the block where it starts, as one 32-bit entry: the offset of
// its first byte in the block, then of its last.
uint32_t block_entry(const uint64_t start, const uint64_t end) {
    const uint64_t base = start >> BLOCK_BITS << BLOCK_BITS;
    const uint64_t last = std::min(end, base + BLOCK) - 1 - base;
    return static_cast<uint32_t>((start - base) << 16 | last);
}

// Sweeps the size bytes of the block at base, with the entries of the chunks that start
// in it and the reach of those that start before it.
void sweep_block(const uint32_t* entries, const uint64_t count, const uint64_t base, const uint64_t size,
                 const uint64_t carry, gap_tally& gaps) {
    uint64_t mask[CELLS];    // bytes covered by the chunks that start in each cell
    uint32_t reach[CELLS];   // the end in the block of those that run past it
    const uint64_t cells = (size + 63) / 64;
    std::fill(mask, mask + cells, 0);
    std::fill(reach, reach + cells, 0);
    for (uint64_t k = 0; k < count; ++k) {
        const uint32_t first = entries[k] >> 16, last = entries[k] & 0xFFFF;
        const uint32_t cell = first / 64;
        if (last / 64 == cell) {
            mask[cell] |= bits(first % 64, last % 64 + 1);
        } else {
            mask[cell] |= bits(first % 64, 64);
            reach[cell] = std::max(reach[cell], last + 1);
        }
    }
    uint64_t covered_to = carry > base ? carry - base : 0;
    for (uint64_t cell = 0; cell < cells; ++cell) {
        const uint64_t at = cell * 64;
        const uint64_t before = covered_to > at ? bits(0, std::min<uint64_t>(covered_to - at, 64)) : 0;
        const uint64_t in_text = bits(0, std::min<uint64_t>(size - at, 64));
        gaps.cell(base + at, ~(mask[cell] | before) & in_text);
        covered_to = std::max<uint64_t>(covered_to, reach[cell]);
    }
}

// The sweep of any index, block by block; false when its memory could not be had.
bool sweep_by_block(const unsigned char* index, const uint64_t n, const uint64_t text_size, gap_tally& gaps) {
    const uint64_t blocks = (text_size + BLOCK - 1) >> BLOCK_BITS;
    // Per block: where its entries go, then where they end; the reach of its chunks.
    const std::unique_ptr<uint64_t[]> next(new (std::nothrow) uint64_t[blocks + 1]());
    const std::unique_ptr<uint32_t[]> reach(new (std::nothrow) uint32_t[blocks + 1]());
    if (!next || !reach) return false;
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        const uint64_t start = c.record().start, end = start + c.length();
        if (start == end) continue;
        const uint64_t b = start >> BLOCK_BITS;
        ++next[b + 1];
        reach[b] = std::max(reach[b], static_cast<uint32_t>(end));
    }
    for (uint64_t b = 0; b < blocks; ++b) next[b + 1] += next[b];
    const std::unique_ptr<uint32_t[]> entries(new (std::nothrow) uint32_t[next[blocks]]);
    if (!entries) return false;
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        const uint64_t start = c.record().start, end = start + c.length();
        if (start != end) entries[next[start >> BLOCK_BITS]++] = block_entry(start, end);
    }
    // Block b's entries now end at next[b] and begin where block b - 1's end.
    uint64_t carry = 0;
    for (uint64_t b = 0; b < blocks; ++b) {
        const uint64_t base = b << BLOCK_BITS, size = std::min(BLOCK, text_size - base);
        const uint64_t from = b == 0 ? 0 : next[b - 1], to = next[b];
        if (carry >= base + size) {
            // covered whole by chunks that start before it
        } else if (from == to) {
            gaps.range(std::max(carry, base), base + size);
        } else {
            sweep_block(entries.get() + from, to - from, base, size, carry, gaps);
        }
        carry = std::max<uint64_t>(carry, reach[b]);
    }
    return true;
}

}  // namespace

coverage_result check_coverage(const unsigned char* index, const uint64_t n, const uint64_t text_size) {
    coverage_result checked{0, check_gather_index(index, n, text_size), 0, 0, 0, 0};
    if (checked.breach.kind != breach_kind::none) return checked;
    gap_tally in_order;
    if (sweep_in_order(index, n, text_size, in_order)) return in_order.result(checked);
    gap_tally by_block;
    if (!sweep_by_block(index, n, text_size, by_block)) checked.error = ENOMEM;
    return by_block.result(checked);
}

std::string describe_gaps(const coverage_result& r, const char* text) {
    char line[512];
    const bool one = r.first_gap_end - r.first_gap == 1;
    const int used = one ? std::snprintf(line, sizeof line, "byte %" PRIu64 " of %s is in no record: it would come back as a zero",
                                   r.first_gap, text)
                   : std::snprintf(line, sizeof line, "bytes %" PRIu64 "-%" PRIu64
                                   " of %s are in no record: they would come back as zeros",
                                   r.first_gap, r.first_gap_end - 1, text);
    const size_t at = used > 0 ? std::min(static_cast<size_t>(used), sizeof line - 1) : 0;
    std::snprintf(line + at, sizeof line - at, " (%" PRIu64 " byte%s in %" PRIu64 " range%s in all)", r.uncovered,
                  r.uncovered == 1 ? "" : "s", r.gaps, r.gaps == 1 ? "" : "s");
    return line;
}

#include "chunk_copy.h"

#include "art_index.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Pieces for one vectored write; a piece that continues the previous one in memory is
// merged into it, so chunks that lie back to back cost nothing extra.
struct piece_batch {
    static constexpr size_t CAPACITY = 1024;
    io_piece pieces[CAPACITY];
    size_t count = 0;

    // False when the batch is full and p does not continue its last piece.
    bool add(const unsigned char* p, const size_t size) {
        if (count > 0 && pieces[count - 1].data + pieces[count - 1].size == p) {
            pieces[count - 1].size += size;
            return true;
        }
        if (count == CAPACITY) return false;
        pieces[count++] = {p, size};
        return true;
    }
};

// A chunk of nonzero length: where it lies in the gathered text and where it goes.
struct placed_chunk {
    uint64_t source;
    uint32_t target;
    uint32_t size;
};

// Plans beyond this many chunks (64 MiB) are not built; the chunks are then written one
// by one in index order.
constexpr uint64_t PLAN_LIMIT = uint64_t{1} << 22;

// Fills plan with the nonzero chunks in index order; returns how many.
size_t plan_chunks(const unsigned char* index, const uint64_t n, placed_chunk* plan) {
    size_t made = 0;
    uint64_t cursor = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(index, i);
        const uint32_t len = chunk_length(r, i, n);
        if (len != 0) plan[made++] = {cursor, r.start, len};
        cursor += len;
    }
    return made;
}

bool overlaps(const placed_chunk* sorted, const size_t count) {
    for (size_t j = 1; j < count; ++j)
        if (sorted[j].target < uint64_t{sorted[j - 1].target} + sorted[j - 1].size) return true;
    return false;
}

// Writes chunks that do not overlap front to back, one vectored write per run of chunks
// that meet in the output.
int write_runs(const unsigned char* gathered, const placed_chunk* sorted, const size_t count,
               chunk_sink& out) {
    piece_batch batch;
    uint64_t batch_offset = 0;
    uint64_t batch_end = 0;
    for (size_t j = 0; j < count; ++j) {
        const placed_chunk& c = sorted[j];
        const unsigned char* const p = gathered + c.source;
        if (batch.count > 0 && (c.target != batch_end || !batch.add(p, c.size))) {
            if (const int err = out.write_at(batch_offset, batch.pieces, batch.count)) return err;
            batch.count = 0;
        }
        if (batch.count == 0) {
            batch_offset = c.target;
            batch.add(p, c.size);
        }
        batch_end = uint64_t{c.target} + c.size;
    }
    return batch.count == 0 ? 0 : out.write_at(batch_offset, batch.pieces, batch.count);
}

// Writes every chunk at its offset in index order, so that a later chunk overwrites an
// earlier one it overlaps.
int write_in_index_order(const unsigned char* gathered, const unsigned char* index,
                         const uint64_t n, chunk_sink& out) {
    const unsigned char* cursor = gathered;
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(index, i);
        const uint32_t len = chunk_length(r, i, n);
        if (len == 0) continue;
        const io_piece piece{cursor, len};
        if (const int err = out.write_at(r.start, &piece, 1)) return err;
        cursor += len;
    }
    return 0;
}

}  // namespace

int gather_chunks(const unsigned char* text, const unsigned char* index, const uint64_t n,
                  chunk_sink& out) {
    piece_batch batch;
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(index, i);
        const uint32_t len = chunk_length(r, i, n);
        if (len == 0 || batch.add(text + r.start, len)) continue;
        if (const int err = out.append(batch.pieces, batch.count)) return err;
        batch.count = 0;
        batch.add(text + r.start, len);
    }
    return batch.count == 0 ? 0 : out.append(batch.pieces, batch.count);
}

int scatter_chunks(const unsigned char* gathered, const unsigned char* index, const uint64_t n,
                   chunk_sink& out) {
    auto* const plan = n <= PLAN_LIMIT
        ? static_cast<placed_chunk*>(std::malloc(sizeof(placed_chunk) * (n ? n : 1)))
        : nullptr;
    if (plan == nullptr) return write_in_index_order(gathered, index, n, out);
    const size_t count = plan_chunks(index, n, plan);
    const auto by_target = [](const placed_chunk& a, const placed_chunk& b) {
        return a.target < b.target;
    };
    if (!std::is_sorted(plan, plan + count, by_target)) std::sort(plan, plan + count, by_target);
    const int err = overlaps(plan, count) ? write_in_index_order(gathered, index, n, out)
                                          : write_runs(gathered, plan, count, out);
    std::free(plan);
    return err;
}

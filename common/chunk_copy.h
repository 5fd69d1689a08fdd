// Moving chunks: gather writes them in index order, scatter puts them back at their
// offsets. Both require the index to have passed its check (index_check.h) and return
// the sink's first failure, if any. Cost grows with the bytes plus the records, whatever their
// order: short pieces are staged in one small buffer and go out a block at a time; runs
// of copy_min bytes or more that continue in both files go out as one copy.
#ifndef ART_CHUNK_COPY_H
#define ART_CHUNK_COPY_H

#include "chunk_sink.h"

#include <cstddef>
#include <cstdint>

struct copy_limits {
    // The staging buffer; scatter fills the output a window at a time, the largest
    // power of two that fits in it.
    size_t stage_size = size_t{1} << 20;
    // Runs at least this long go to the sink's copy instead of through the stage.
    uint64_t copy_min = uint64_t{1} << 20;
    // The most pieces that scatter plans at once (12 bytes each); beyond it, one pass
    // over the index for each group of windows whose pieces fit.
    size_t plan_budget = size_t{4} << 20;
};

// Writes the chunk of each record 0 to n - 1 of index, taken from text, back to back in
// that order.
art_status gather_chunks(const loaded_file& text, const unsigned char* index, uint64_t n,
                                chunk_sink& out, const copy_limits& limits = copy_limits());

// Takes the chunks of records 0 to n - 1 from gathered, back to back, and writes each at
// its record's start; where chunks overlap, the later record wins. When every chunk
// starts at or past the end of the one before, they stream in index order; otherwise
// the output is built one window at a time from a plan that lists, per window, the
// pieces that fall in it in index order.
art_status scatter_chunks(const loaded_file& gathered, const unsigned char* index, uint64_t n,
                                 chunk_sink& out, const copy_limits& limits = copy_limits());

#endif

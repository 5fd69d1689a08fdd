// Moving chunks: gather writes them in index order, scatter puts them back at their
// offsets. Both require the index to have passed its check (index_check.h) and return
// the sink's first failure, if any; a record that no longer passes it when it is copied
// (another process wrote to the index) is ART_E_CHANGED on the index, and nothing is
// read outside the input. Cost grows with the bytes plus the records, whatever
// their order: every byte goes out through a stage (block_writer.h), in blocks aligned to
// the stage's size in the output (so that the page cache keeps the output in large
// folios). Where chunks go out in index order (gather, and scatter of an index whose
// chunks ascend), the stage is filled from the input's mapping for short pieces and by
// reads of the input's file for runs of copy_min bytes or more that continue in both
// files; scatter's windows are filled from the mapping only. Work that memory latency
// bounds runs on up to `threads` threads, each with its own stage and its own part of
// the output; files, statuses and the order of failures are those of one thread.
#ifndef ART_CHUNK_COPY_H
#define ART_CHUNK_COPY_H

#include "platform/sys_io.h"
#include "chunk_sink.h"
#include "file_loader.h"
#include "threads.h"

#include <cstddef>
#include <cstdint>

namespace art {

struct copy_limits {
    // The stage, and the output block that writes are aligned to; scatter fills the
    // output a window at a time, the largest power of two that fits in it.
    size_t stage_size = ART_BLOCK_SIZE;
    // Where chunks go out in index order, runs at least this long are read through the
    // input's file, not its mapping.
    uint64_t copy_min = uint64_t{1} << 20;
    // The most pieces that scatter plans at once (12 bytes each); beyond it, one pass
    // over the index for each group of windows whose pieces fit.
    size_t plan_budget = size_t{4} << 20;
    // The most threads that copy at once (usable_cores() in the programs).
    unsigned threads = 1;
    // A thread is started only for at least this much work, in bytes plus 64 per piece.
    uint64_t part_min = PART_MIN;
};

// The limits with the machine's threads (machine_threads).
copy_limits machine_limits();

// Writes the chunk of each record of index, taken from text, back to back in index order.
art_status gather_chunks(const loaded_file& text, const loaded_file& index, chunk_sink& out,
                         const copy_limits& limits = copy_limits());

// Takes the chunks of the records of index from gathered, back to back, and writes each
// at its record's start; where chunks overlap, the later record wins. When every chunk
// starts at or past the end of the one before, they stream in index order; otherwise
// the output is built one window at a time, windows in ascending order, from a plan that
// lists, per window, the pieces that fall in it in index order (window_scatter.h). Either
// way the output is written in ascending order of offsets within each thread's part.
art_status scatter_chunks(const loaded_file& gathered, const loaded_file& index, chunk_sink& out,
                          const copy_limits& limits = copy_limits());

}  // namespace art

#endif

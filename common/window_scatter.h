// Scatter of an index whose chunks do not come in ascending order of their starts.
#ifndef ART_WINDOW_SCATTER_H
#define ART_WINDOW_SCATTER_H

#include "art_status.h"
#include "chunk_copy.h"
#include "chunk_sink.h"
#include "file_loader.h"

namespace art {

// Builds scatter's output one window at a time, in ascending order: a window is the
// largest power of two that fits in limits.stage_size, at an offset aligned to its size.
// A pass over the index counts the pieces that fall in each window (parts of chunks cut
// at the windows' edges); then, for each group of windows whose pieces fit in
// limits.plan_budget, another pass lists them, per window, in index order (the plan), and
// the windows are filled from the plan, zeros where no piece falls, and written, in parts
// of consecutive windows on as many threads as the work is worth. A window with more
// pieces than a plan may hold is filled straight from a pass of its own. Windows that no
// piece falls in are not written. Statuses as scatter_chunks's.
art_status scatter_windows(const loaded_file& gathered, const loaded_file& index, chunk_sink& out,
                           const copy_limits& limits);

}  // namespace art

#endif

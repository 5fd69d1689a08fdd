// The run guard: how a run ends when something outside stops it. Set up first in every
// main: SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or a file size limit comes
// back as a failed write and reaches the program's checks; SIGINT, SIGTERM and SIGHUP
// (on Windows a console Ctrl-C, Ctrl-Break or close) take back the output that the run
// created or truncated, then end the process as the signal would, unless they were
// ignored at start (nohup), which they then stay; a read through a mapped input
// (mapped_inputs.h) that its shortened file no longer backs (SIGBUS, or the Windows
// page-in error) is reported as that input ending early: status 1, the output taken back.
//
// The output is taken back once, whichever thread, handler or failure does it, and no
// write lands after it: every operation on the output (its creation and registration,
// each write, its close) is a pass through the guard. A take-back first closes the guard,
// so that no pass starts after it, then waits until the passes in flight on other
// threads have ended, and only then removes or empties the output. A handler that ends
// the run never returns, so a pass that its own thread was in never writes.
#ifndef ART_RUN_GUARD_H
#define ART_RUN_GUARD_H

#include <cstddef>
#include <cstdint>

namespace art {

// Sets up the guard and the platform's handlers (platform/run_handlers.h); its own
// diagnostics name program.
void guard_run(const char* program);

// A pass: between guard_enter and guard_leave the calling thread may create, write or
// close the output. guard_enter returns false, and no pass is open, once a take-back
// has begun. With held, the interrupting signals are kept from the thread during the
// pass, so that no handler runs on a thread in it, and an output is never created
// without being registered. Passes on an output that is no regular file are not held:
// a write to a FIFO that nobody reads may never end, and a take-back neither waits for
// them nor touches the file.
bool guard_enter(bool held = true);
void guard_leave(bool held = true);

// The output that a take-back removes, the handle that still writes it (-1 once
// closed), whether the run created it new (remove_partial_output) and whether it is a
// regular file; registered during the pass that created it. Anything but a regular file
// (a FIFO, a device) has nothing to take back: an interruption then ends the run at
// once, without waiting for a write that may never end. name must stay valid until
// process exit.
void guard_output(const char* name, intptr_t handle, bool created, bool regular);
// The output is complete and stays: an interruption now leaves it. False when a
// take-back has already claimed it.
bool guard_output_kept();

// Takes back the registered output, once: closes the guard, waits for the passes in
// flight, then calls remove_partial_output. Returns its result, or 0 when there was
// nothing to take back. When another thread is taking the output back, waits until it
// has. From the main thread or from a handler.
int guard_take_back();

// Never returns: for a run whose output a take-back has claimed, which the process ends.
[[noreturn]] void guard_wait_for_end();

}  // namespace art

#endif

// The run guard: how a run ends when something outside stops it. Set up first in every
// main: SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or a file size limit comes
// back as a failed write and reaches the program's checks; SIGINT, SIGTERM and SIGHUP
// (on Windows a console Ctrl-C, Ctrl-Break or close) take back the output that the run
// created or truncated, then end the process as the signal would, unless they were
// ignored at start (nohup), which they then stay; a read through a mapped
// input that its shortened file no longer backs (SIGBUS, or the Windows page-in error)
// is reported as that input ending early: status 1, the output taken back.
#ifndef ART_RUN_GUARD_H
#define ART_RUN_GUARD_H

#include <cstddef>
#include <cstdint>

// Sets up the guard; its own diagnostics name program_name (report.h).
void guard_run();

// The interrupting signals are held between guard_hold and guard_release, so that an
// output is never created without being registered.
void guard_hold();
void guard_release();

// The output that an interruption takes back, the handle that still writes it (-1 once
// closed) and whether the run created it new (remove_partial_output); name must stay
// valid until guard_output_closed, which the run calls once its output is complete or
// already taken back.
void guard_output(const char* name, intptr_t handle, bool created);
void guard_output_closed();

// A mapped input, named in the diagnostic when a read through its mapping fails.
void guard_input(const char* name, const void* base, uint64_t size);
// For the platform's handlers: when address lies in a mapped input, writes the line
// "PROGRAM: INPUT: reason" and line_end into line (cap bytes) and returns its length;
// else 0. Async-signal-safe.
size_t shortened_input_line(const void* address, const char* line_end, char* line, size_t cap);

#endif

// The platform's half of the run guard: the handlers of interrupting signals (on Windows,
// console events) and of faults, and what a guard needs from the platform to keep them
// from a thread and to wait. The handlers know nothing of outputs or inputs: they reach
// the guard's policy (run_guard.h) only through the callbacks it installs.
#ifndef ART_RUN_HANDLERS_H
#define ART_RUN_HANDLERS_H

#include <cstddef>

namespace art {

struct run_handlers {
    // An interruption: called once per handler; the platform then ends the process as
    // the interruption would have.
    void (*on_interrupt)();
    // A fault at address: writes the line that reports it, ended by line_end, into line
    // (cap bytes) and returns its length; the platform writes it to standard error and
    // ends the process with status 1. 0 when the fault is no concern of the run (a fault
    // of the program itself), which then ends the process as the fault would.
    size_t (*on_fault)(const void* address, const char* line_end, char* line, size_t cap);
};

// Installs the handlers (an interruption ignored at start, as nohup leaves it, stays
// ignored); SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or a file size limit
// comes back as a failed write; closed standard streams are held by the null device, so
// that no file of the run is opened in their place.
void install_run_handlers(const run_handlers& handlers);

// Keeps the interrupting signals from the calling thread, and lets them through again;
// nothing where no handler runs on a thread that it interrupts (Windows).
// Async-signal-safe.
void hold_interrupts();
void release_interrupts();
// A short wait, and waiting for the end of the process. Async-signal-safe.
void pause_briefly();
[[noreturn]] void wait_for_end();

}  // namespace art

#endif

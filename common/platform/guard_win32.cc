// The run guard on Windows: a console control handler, which the system runs on a thread
// of its own, and a vectored exception handler for reads through mapped inputs. No
// handler runs on a thread that it interrupts, so there are no signals to keep from a
// thread.
#include "run_handlers.h"

#include <windows.h>

namespace art {

namespace {

run_handlers installed{nullptr, nullptr};

// Takes back the output, then ends the process as the system's own handler would, with
// its status (wine's own handler would end it with status 0).
BOOL WINAPI on_console_event(DWORD) {
    installed.on_interrupt();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// A read through a mapped input that its shortened file no longer backs: Windows says
// so with a page-in error, wine with an access violation, each at the address read.
LONG WINAPI on_exception(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD& r = *e->ExceptionRecord;
    if ((r.ExceptionCode != EXCEPTION_IN_PAGE_ERROR && r.ExceptionCode != EXCEPTION_ACCESS_VIOLATION) ||
        r.NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    char line[512];
    const size_t size =
        installed.on_fault(reinterpret_cast<const void*>(r.ExceptionInformation[1]), "\r\n", line, sizeof line);
    if (size == 0) return EXCEPTION_CONTINUE_SEARCH;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(size), &written, nullptr);
    ExitProcess(1);
}

}  // namespace

void install_run_handlers(const run_handlers& handlers) {
    installed = handlers;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    AddVectoredExceptionHandler(1, on_exception);
}

void hold_interrupts() {}
void release_interrupts() {}
void pause_briefly() { Sleep(1); }

void wait_for_end() {
    for (;;) Sleep(INFINITE);
}

}  // namespace art

// The run guard on Windows: a console control handler, which the system runs on a thread
// of its own, and a vectored exception handler for reads through mapped inputs.
#include "run_guard.h"

#include "sys_io.h"

#include <windows.h>

namespace {

const char* output_name = nullptr;
intptr_t output_handle = -1;
bool output_created = false;
CRITICAL_SECTION lock;

void take_back_output() {
    if (output_name == nullptr) return;
    remove_partial_output(output_name, output_handle, output_created);
    output_name = nullptr;
}

// Takes back the output; the system's own handler then ends the process as usual.
BOOL WINAPI on_console_event(DWORD) {
    EnterCriticalSection(&lock);
    take_back_output();
    return FALSE;
}

LONG WINAPI on_exception(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD& r = *e->ExceptionRecord;
    if (r.ExceptionCode != EXCEPTION_IN_PAGE_ERROR || r.NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    char line[512];
    const size_t size = shortened_input_line(reinterpret_cast<const void*>(r.ExceptionInformation[1]), "\r\n",
                                             line, sizeof line);
    if (size == 0) return EXCEPTION_CONTINUE_SEARCH;
    EnterCriticalSection(&lock);
    take_back_output();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(size), &written, nullptr);
    ExitProcess(1);
}

}  // namespace

void guard_run() {
    InitializeCriticalSection(&lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    AddVectoredExceptionHandler(1, on_exception);
}

void guard_hold() { EnterCriticalSection(&lock); }
void guard_release() { LeaveCriticalSection(&lock); }

void guard_output(const char* name, const intptr_t handle, const bool created) {
    guard_hold();
    output_handle = handle;
    output_created = created;
    output_name = name;
    guard_release();
}

void guard_output_closed() {
    guard_hold();
    output_name = nullptr;
    guard_release();
}

// The run guard on Windows: a console control handler, which the system runs on a thread
// of its own, and a vectored exception handler for reads through mapped inputs.
#include "run_guard.h"

#include "art_error.h"
#include "sys_io.h"

#include <cstring>
#include <windows.h>

namespace {

const char* guard_program = "art";
const char* output_name = nullptr;
intptr_t output_handle = -1;
CRITICAL_SECTION lock;

void put(const char* s) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), s, static_cast<DWORD>(std::strlen(s)), &written, nullptr);
}

void take_back_output() {
    if (output_name == nullptr) return;
    remove_partial_output(output_name, output_handle);
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
    const char* const input = guarded_input_at(reinterpret_cast<const void*>(r.ExceptionInformation[1]));
    if (input == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    EnterCriticalSection(&lock);
    take_back_output();
    put(guard_program);
    put(": ");
    put(input);
    put(": ");
        put(art_strerror(ART_E_SHORT_READ));
        put("\r\n");
    ExitProcess(1);
}

}  // namespace

void guard_run(const char* program) {
    guard_program = program;
    InitializeCriticalSection(&lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    AddVectoredExceptionHandler(1, on_exception);
}

void guard_hold() { EnterCriticalSection(&lock); }
void guard_release() { LeaveCriticalSection(&lock); }

void guard_output(const char* name, const intptr_t handle) {
    guard_hold();
    output_handle = handle;
    output_name = name;
    guard_release();
}

void guard_output_closed() {
    guard_hold();
    output_name = nullptr;
    guard_release();
}

// The run guard on POSIX systems: signal handlers that do only async-signal-safe work.
#include "run_guard.h"

#include "sys_io.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace {

const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

const char* volatile output_name = nullptr;
volatile intptr_t output_handle = -1;
volatile bool output_created = false;

void take_back_output() {
    const char* const name = output_name;
    if (name == nullptr) return;
    output_name = nullptr;
    remove_partial_output(name, output_handle, output_created);
}

// Set by the first handler that ends the run; lock-free, so a handler may use it.
std::atomic<bool> ending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the handlers need a lock-free flag");

// Returns in the one thread that ends the run; any other thread that meets a fault or a
// signal meanwhile waits here for the process to end.
void end_once() {
    if (!ending.exchange(true))
        return;
    for (;;) pause();
}

void end_as_signal(const int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

void on_interrupt(const int sig) {
    end_once();
    take_back_output();
    end_as_signal(sig);
}

void on_bus_error(const int sig, siginfo_t* info, void*) {
    char line[512];
    if (const size_t size = shortened_input_line(info->si_addr, "\n", line, sizeof line)) {
        end_once();
        take_back_output();
        for (size_t done = 0; done < size;) {
            const ssize_t w = write(STDERR_FILENO, line + done, size - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        _exit(1);
    }
    end_as_signal(sig);  // not an input's mapping: a fault of the program itself
}

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : INTERRUPTS) sigaddset(&set, sig);
    return set;
}

}  // namespace

void guard_run() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction act {};
    act.sa_handler = on_interrupt;
    act.sa_mask = interrupt_set();
    // A signal ignored at start (nohup, a background job of a script) stays ignored.
    for (const int sig : INTERRUPTS) {
        struct sigaction was {};
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler == SIG_IGN) continue;
        sigaction(sig, &act, nullptr);
    }
    struct sigaction bus {};
    bus.sa_sigaction = on_bus_error;
    bus.sa_flags = SA_SIGINFO;
    bus.sa_mask = interrupt_set();
    sigaction(SIGBUS, &bus, nullptr);
}

void guard_hold() {
    const sigset_t set = interrupt_set();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void guard_release() {
    const sigset_t set = interrupt_set();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void guard_output(const char* name, const intptr_t handle, const bool created) {
    output_handle = handle;
    output_created = created;
    output_name = name;
}

void guard_output_closed() { output_name = nullptr; }

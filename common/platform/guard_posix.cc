// The run guard's handlers on POSIX systems: signal handlers that do only
// async-signal-safe work.
#include "run_handlers.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace art {

namespace {

const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : INTERRUPTS) sigaddset(&set, sig);
    return set;
}

void end_as_signal(const int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
}

// Ends the process with status at once, from a handler: nothing of the runtime's exit,
// nor of a tool's interception of it, runs in a process stopped half-way through its work
// with threads that cannot be joined.
[[noreturn]] void end_with_status(const int status) {
#ifdef __linux__
    syscall(SYS_exit_group, status);
#endif
    _exit(status);
}

run_handlers installed{nullptr, nullptr};

void on_interrupt(const int sig) {
    installed.on_interrupt();
    end_as_signal(sig);
}

void on_bus_error(const int sig, siginfo_t* info, void*) {
    char line[512];
    if (const size_t size = installed.on_fault(info->si_addr, "\n", line, sizeof line)) {
        for (size_t done = 0; done < size;) {
            const ssize_t w = write(STDERR_FILENO, line + done, size - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
        }
        end_with_status(1);
    }
    end_as_signal(sig);  // not an input's mapping: a fault of the program itself
}

}  // namespace

void install_run_handlers(const run_handlers& handlers) {
    installed = handlers;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != fd) break;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction act {};
    act.sa_handler = on_interrupt;
    act.sa_mask = interrupt_set();
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

void hold_interrupts() {
    const sigset_t set = interrupt_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
    const sigset_t set = interrupt_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void pause_briefly() {
    const timespec wait{0, 20000};
    nanosleep(&wait, nullptr);
}

void wait_for_end() {
    for (;;) pause();
}

}  // namespace art

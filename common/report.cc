#include "report.h"

#include "platform/sys_io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace art {

const char* program_name = "art";

namespace {

int stdout_error = 0;

void note_stdout(const int err) {
    if (err != 0 && stdout_error == 0) stdout_error = err;
}

int stream_failed(const bool failed) { return !failed ? 0 : errno != 0 ? errno : EIO; }

}  // namespace

void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    errno = 0;
    note_stdout(stream_failed(std::vprintf(format, args) < 0));
    va_end(args);
}

void print_lines(const char* data, const size_t size) { note_stdout(stdout_write_raw(data, size)); }

namespace {

// Shows what was printed at once, on a terminal, a pipe or a file alike.
void show() {
    errno = 0;
    note_stdout(stream_failed(std::fflush(stdout) != 0));
}

}  // namespace

void announce_load(const char* name) {
    print("Loading %s... ", name);
    show();
}

void announce_done() {
    print("\b\b Done.\n");
    show();
}

art_status stdout_status() {
    errno = 0;
    note_stdout(stream_failed(std::fflush(stdout) != 0 || std::ferror(stdout)));
    return status_of("standard output", stdout_error);
}

int fail(const art_status& s) {
    // A file that cannot be opened ends the run silently; a failed allocation is said.
    if (s.not_opened && s.code != ENOMEM) return 1;
    return fail(s.file, art_strerror(s.code));
}

int fail(const char* file, const char* reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", program_name, file, reason);
    return 1;
}

}  // namespace art

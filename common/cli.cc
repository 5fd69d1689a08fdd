#include "cli.h"

#include "art_error.h"
#include "file_loader.h"

#include <cerrno>
#include <cstdio>
#include <string>

const char* cli_program = "art";

void announce_load(const char* name) {
    std::printf("Loading %s... ", name);
    std::fflush(stdout);
}

void announce_done() { std::fputs("\b\b Done.\n", stdout); }

int fail(const char* file, const char* reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", cli_program, file, reason);
    return 1;
}

int fail_code(const char* file, const int code) { return fail(file, art_strerror(code)); }

int load_failed(const char* name) { return load_error == 0 ? 1 : fail_code(name, load_error); }

int refuse_overwrite(const char* output, const char* input1, const char* input2) {
    for (const char* input : {input1, input2}) {
        if (same_file(output, input))
            return fail(output, (std::string("is the same file as the input ") + input).c_str());
    }
    return 0;
}

int close_output(out_file* out, const char* name, const int err) {
    if (err != 0) {
        out_discard(out);
        return fail_code(name, err);
    }
    if (const int close_err = out_close(out)) {
        remove_partial_output(name);
        return fail_code(name, close_err);
    }
    return 0;
}

int finish_stdout(const char* output) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    const int err = errno != 0 ? errno : EIO;
    remove_partial_output(output);
    return fail_code("standard output", err);
}

int finish_run(out_file* out, const char* name, const int err) {
    if (const int status = close_output(out, name, err)) return status;
    return finish_stdout(name);
}

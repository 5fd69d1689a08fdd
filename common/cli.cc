#include "cli.h"

#include "art_error.h"
#include "art_files.h"
#include "file_loader.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

const char* cli_program = "art";

static int stdout_error = 0;

static void note_stdout(const bool failed) {
    if (failed && stdout_error == 0) stdout_error = errno != 0 ? errno : EIO;
}

void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    errno = 0;
    note_stdout(std::vprintf(format, args) < 0);
    va_end(args);
}

void print_bytes(const char* data, const size_t size) {
    errno = 0;
    note_stdout(std::fwrite(data, 1, size, stdout) != size);
}

void announce_load(const char* name) {
    print("Loading %s... ", name);
    errno = 0;
    note_stdout(std::fflush(stdout) != 0);
}

void announce_done() { print("\b\b Done.\n"); }

int fail(const char* file, const char* reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", cli_program, file, reason);
    return 1;
}

int fail_code(const char* file, const int code) { return fail(file, art_strerror(code)); }

int load_failed(const char* name) { return load_error == 0 ? 1 : fail_code(name, load_error); }

int refuse_overwrite(const char* output, const char* input) {
    if (!same_file(output, input)) return 0;
    return fail(output, (std::string("is the same file as the input ") + input).c_str());
}

int load_inputs(const char* text_name, loaded_inputs* in) {
    announce_load(text_name);
    in->text = load_whole_file(text_name, load_use::copied);
    if (in->text == nullptr) return load_failed(text_name);
    in->text_size = loaded_size;
    announce_done();

    announce_load(INDEX_FILE);
    in->index = load_whole_file(INDEX_FILE);
    if (in->index == nullptr) return load_failed(INDEX_FILE);
    announce_done();
    in->n = record_count(loaded_size);
    return 0;
}

int open_output(const char* name, const char* text_name, const loaded_inputs& in,
                const index_breach& breach, out_file** out) {
    if (breach.kind != breach_kind::none)
        return fail(INDEX_FILE, describe_breach(breach, text_name, in.text_size).c_str());
    if (refuse_overwrite(name, text_name) || refuse_overwrite(name, INDEX_FILE)) return 1;
    return out_open(name, out) == 0 ? 0 : 1;
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
    note_stdout(std::fflush(stdout) != 0 || std::ferror(stdout));
    if (stdout_error == 0) return 0;
    remove_partial_output(output);
    return fail_code("standard output", stdout_error);
}

int finish_run(out_file* out, const char* name, const int err) {
    if (const int status = close_output(out, name, err)) return status;
    return finish_stdout(name);
}

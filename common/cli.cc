#include "cli.h"

#include "art_error.h"
#include "art_files.h"
#include "file_loader.h"
#include "run_guard.h"

#include <cerrno>
#ifdef _WIN32
#include <windows.h>
#endif
#include <cstdarg>
#include <cstdio>
#include <string>

const char* cli_program = "art";

static int stdout_error = 0;

void start_run(const char* program) {
    cli_program = program;
    guard_run(program);
}

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

void print_lines(const char* data, const size_t size) {
    errno = 0;
#ifdef _WIN32
    // The runtime's text stream would translate, and write, a few bytes at a time.
    note_stdout(std::fflush(stdout) != 0);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    for (size_t done = 0; done < size;) {
        DWORD written = 0;
        const DWORD part = size - done < (DWORD{1} << 30) ? static_cast<DWORD>(size - done) : DWORD{1} << 30;
        if (!WriteFile(out, data + done, part, &written, nullptr) || written == 0) {
            if (stdout_error == 0) stdout_error = GetLastError() == ERROR_NO_DATA ? EPIPE : EIO;
            return;
        }
        done += written;
    }
#else
    note_stdout(std::fwrite(data, 1, size, stdout) != size);
#endif
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
    in->text_name = text_name;
    announce_load(text_name);
    in->text.data = load_whole_file(text_name, &in->text.file);
    if (in->text.data == nullptr) return load_failed(text_name);
    in->text.size = loaded_size;
    announce_done();

    announce_load(INDEX_FILE);
    in->index = load_whole_file(INDEX_FILE, &in->index_file);
    if (in->index == nullptr) return load_failed(INDEX_FILE);
    announce_done();
    in->index_size = loaded_size;
    in->n = record_count(loaded_size);
    return 0;
}

// The input that no longer has the size it was loaded with, if any, and why.
static const char* changed_input(const loaded_inputs& in, int* err) {
    const struct { const char* name; in_file* file; uint64_t size; } inputs[] = {
        {in.text_name, in.text.file, in.text.size}, {INDEX_FILE, in.index_file, in.index_size}};
    for (const auto& input : inputs) {
        *err = input.file != nullptr ? in_check_size(input.file, input.size) : 0;
        if (*err != 0) return input.name;
    }
    return nullptr;
}

int open_output(const char* name, const loaded_inputs& in, const index_breach& breach, out_file** out) {
    if (breach.kind != breach_kind::none) {
        int err = 0;
        if (const char* const changed = changed_input(in, &err)) return fail_code(changed, err);
        return fail(INDEX_FILE, describe_breach(breach, in.text_name, in.text.size).c_str());
    }
    if (refuse_overwrite(name, in.text_name) || refuse_overwrite(name, INDEX_FILE)) return 1;
    return out_open(name, out) == 0 ? 0 : 1;
}

// The diagnostic after a failure err, once the output was taken back; removal_err is
// why it could only be emptied, if so.
static int fail_taken_back(const char* file, const int err, const char* output, const int removal_err) {
    guard_output_closed();
    if (removal_err == 0) return fail_code(file, err);
    return fail(file, (std::string(art_strerror(err)) + "; " + output + " could not be removed (" +
                       art_strerror(removal_err) + ") and was emptied instead").c_str());
}

int fail_discarding(out_file* out, const char* file, const int err) {
    const char* const output = out_name(out);
    return fail_taken_back(file, err, output, out_discard(out));
}

int close_output(out_file* out, const char* name, const int err) {
    if (err != 0) return fail_discarding(out, name, err);
    if (const int close_err = out_close(out))
        return fail_taken_back(name, close_err, name, remove_partial_output(name, -1));
    return 0;
}

int finish_stdout(const char* output) {
    errno = 0;
    note_stdout(std::fflush(stdout) != 0 || std::ferror(stdout));
    if (stdout_error == 0) {
        guard_output_closed();
        return 0;
    }
    return fail_taken_back("standard output", stdout_error, output, remove_partial_output(output, -1));
}

int finish_run(out_file* out, const char* name, const loaded_inputs& in, const int err) {
    int changed_err = 0;
    if (const char* const changed = changed_input(in, &changed_err)) return fail_discarding(out, changed, changed_err);
    if (err == ART_E_SHORT_READ) return fail_discarding(out, in.text_name, err);
    if (const int status = close_output(out, name, err)) return status;
    return finish_stdout(name);
}

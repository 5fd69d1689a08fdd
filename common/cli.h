// What the three programs' main routines share: progress lines, one-line diagnostics
// "PROGRAM: FILE: reason" on standard error, and the checked end of a run. Only the
// mains call these; the rest of the library never prints.
#ifndef ART_CLI_H
#define ART_CLI_H

#include "index_check.h"
#include "sys_io.h"

#include <cstddef>
#include <cstdint>

// The PROGRAM of every diagnostic.
extern const char* cli_program;

// Each main's first step: names the program and sets up the run guard (run_guard.h).
void start_run(const char* program);

// printf to standard output that remembers the first failure for finish_stdout.
void print(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Standard output is a text stream: on Windows each "\n" goes out as "\r\n".
#ifdef _WIN32
constexpr bool CRLF_LINES = true;
#else
constexpr bool CRLF_LINES = false;
#endif

// Writes a block of whole lines that already end as the text stream ends them ("\r\n"
// where CRLF_LINES), untranslated and in one request where the runtime allows; remembers
// the first failure for finish_stdout.
void print_lines(const char* data, size_t size);

// Prints "Loading NAME... " and shows it at once.
void announce_load(const char* name);
// Completes the line of announce_load.
void announce_done();

// Prints the diagnostic "PROGRAM: file: reason"; returns exit status 1.
int fail(const char* file, const char* reason);
// fail with the description of code (art_strerror).
int fail_code(const char* file, int code);
// After load_whole_file returned null: status 1, silent when the file could not be opened.
int load_failed(const char* name);

// Refuses (status 1, with a diagnostic) an output name that resolves to the input;
// returns 0 when the output may be opened.
int refuse_overwrite(const char* output, const char* input);

// What gather and scatter load: a text whose chunks they copy, and the index, each
// kept open so that a change by another process during the run can be seen.
struct loaded_inputs {
    const char* text_name;
    loaded_input text;
    const unsigned char* index;
    in_file* index_file;
    uint64_t index_size;
    uint64_t n;  // records in the index
};

// Loads text_name, then the index, each with its progress line; returns 0, or the exit
// status after a failure.
int load_inputs(const char* text_name, loaded_inputs* in);

// Refuses an index breach (with the diagnostic that names its record, or the input that
// another process shortened) and an output that is one of the inputs, then opens the
// output; returns 0, or the exit status.
int open_output(const char* name, const loaded_inputs& in, const index_breach& breach, out_file** out);

// Discards the output after the failure err and prints "PROGRAM: file: reason", which
// also says when the output could only be emptied, not removed; returns exit status 1.
int fail_discarding(out_file* out, const char* file, int err);
// Closes the output when err is 0, else discards it; returns the exit status, with a
// diagnostic naming the output after a failure.
int close_output(out_file* out, const char* name, int err);
// Ends a run whose output is written and closed: checks that all of standard output
// went out, and removes the output when it did not. Returns the exit status.
int finish_stdout(const char* output);
// Ends a run that copied chunks of the inputs to the output: fails, naming the input,
// when an input came up short or no longer has its loaded size (bytes a shortened file no
// longer backs may have read as zeros); else close_output, then finish_stdout.
int finish_run(out_file* out, const char* name, const loaded_inputs& in, int err);

#endif

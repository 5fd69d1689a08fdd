// What the programs print: progress lines on standard output, and one-line diagnostics
// "PROGRAM: FILE: reason" on standard error. Only the mains and the run's life (run.h)
// print; the rest of the library returns statuses.
#ifndef ART_REPORT_H
#define ART_REPORT_H

#include "art_status.h"

#include <cstddef>

namespace art {

// The PROGRAM of every diagnostic.
extern const char* program_name;

// printf to standard output that remembers the first failure for stdout_status.
void print(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes a block of whole lines that already end as the text stream ends them ("\r\n"
// where CRLF_LINES), untranslated and in one request where the platform allows;
// remembers the first failure for stdout_status.
void print_lines(const char* data, size_t size);

// Prints "Loading NAME... " and shows it at once.
void announce_load(const char* name);
// Completes the line of announce_load and shows it at once.
void announce_done();

// Flushes standard output: the first failure of anything printed to it, naming
// "standard output".
art_status stdout_status();

// Reports the failure s, "PROGRAM: FILE: reason", silent for a file that could not be
// opened; returns exit status 1.
int fail(const art_status& s);
// Reports "PROGRAM: file: reason"; returns exit status 1. Allocates nothing.
int fail(const char* file, const char* reason);

}  // namespace art

#endif

// The run's life, which every main follows: run_main; the inputs (load_inputs, or the
// program's own reads, each held with a shared lock, and refused while another run
// writes it); open_output or
// create_output, which check everything that can be checked before the output is
// touched, then open, lock, compare and empty it; the work; end_of_work, the checks once
// the work is done; finish_run, which commits the output or takes it back and reports
// the one failure that ended the run.
#ifndef ART_RUN_H
#define ART_RUN_H

#include "art_status.h"
#include "file_loader.h"
#include "index_check.h"
#include "index_coverage.h"
#include "output_file.h"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace art {

// Each main is body run by run_main: it names the program, sets up the run guard
// (run_guard.h) and runs body. A failed allocation anywhere is status 1 and the
// diagnostic "Cannot allocate memory" for the file that the run was working on, with
// the output taken back. Among the arguments, "--help" prints usage and "--version" the
// program's name and version, and the run ends there, with status 0 once printed,
// touching no file; any other argument is left to the program (which ignores it).
int run_main(const char* program, int (*body)(), int argc = 0, char** argv = nullptr, const char* usage = nullptr);

// What gather and scatter load, each with its progress line: the source whose chunks
// they copy (the text for gather, the gathered text for scatter) and the index.
struct loaded_inputs {
    loaded_file source;
    loaded_file index;
    uint64_t n;  // records in the index
};

// Refuses (status 1, with a diagnostic) a standard output that is the output or one of
// the inputs, by file identity, before anything is printed: the lines would land in
// that file; output is null for a run that writes none. Returns 0 when standard output
// is elsewhere.
int refuse_stdout_on(const char* output, std::initializer_list<const char*> inputs);

// refuse_stdout_on, then loads source_name and the index; returns 0, or the exit status
// after a failure.
int load_inputs(const char* source_name, const char* output, loaded_inputs* in);

// An input that the output must not be: its name, and the file that the run holds it
// open on, if any (else it is known by name alone).
struct run_input {
    const char* name;
    const in_file* file;
};

// Refuses (status 1, with a diagnostic) an index whose check r against a text of
// text_size bytes says that gather then scatter would not give the text back: gather's
// refusal, or the bytes that no record covers; what comes before the reason.
int refuse_unless_whole(const coverage_result& r, uint64_t text_size, const std::string& what = "");

// Opens the output, then refuses (status 1, with a diagnostic) one that another run is
// writing or that counts as one file with an input (sys_io.h), leaving it as it was;
// then empties it. Returns 0, or the exit status.
int create_output(output_file& out, const char* name, std::initializer_list<run_input> inputs);

// Refuses an index breach (with the diagnostic that names its record, or the input that
// another process shortened), then create_output; returns 0, or the exit status.
int open_output(output_file& out, const char* name, const loaded_inputs& in, const index_breach& breach);

// The first failure once the work is done: an input that no longer has its loaded size
// and times, or whose name another file took (check_unchanged: bytes that a shortened
// file no longer backs may have read as zeros, whatever the work returned), or that the
// output is to take the place of and another run reads (ART_E_BEING_READ); else the
// work's own, else the output's close. The output is closed before the inputs are
// checked, so that nothing that may wait stands between the checks and finish_run.
art_status end_of_work(output_file& out, art_status work, std::initializer_list<const loaded_file*> inputs);

// Ends the run: with status ok and all of standard output written, commits the output
// and returns 0; otherwise takes the output back and reports the failure (saying when
// the output could only be emptied), returning 1.
int finish_run(output_file& out, art_status status);

}  // namespace art

#endif

// The run's life, which every main follows: start_run; the inputs; open_output, which
// checks everything that can be checked before the output is created, then creates it;
// the work; end_of_work, the checks once the work is done; finish_run, which commits the
// output or takes it back and reports the one failure that ended the run.
#ifndef ART_RUN_H
#define ART_RUN_H

#include "art_status.h"
#include "file_loader.h"
#include "index_check.h"
#include "output_file.h"

#include <cstdint>
#include <initializer_list>

// Each main's first step: names the program and sets up the run guard (run_guard.h).
void start_run(const char* program);

// What gather and scatter load, each with its progress line: the source whose chunks
// they copy (the text for gather, the gathered text for scatter) and the index.
struct loaded_inputs {
    loaded_file source;
    loaded_file index;
    uint64_t n;  // records in the index
};

// Loads source_name, then the index; returns 0, or the exit status after a failure.
int load_inputs(const char* source_name, loaded_inputs* in);

// Refuses (status 1, with a diagnostic) an output name that resolves to the input;
// returns 0 when the output may be created.
int refuse_overwrite(const char* output, const char* input);

// Refuses an index breach (with the diagnostic that names its record, or the input that
// another process shortened) and an output that is one of the inputs, then creates the
// output; returns 0, or the exit status.
int open_output(output_file& out, const char* name, const loaded_inputs& in, const index_breach& breach);

// The first failure once the work is done: an input that no longer has its loaded size
// (bytes that a shortened file no longer backs may have read as zeros, whatever the work
// returned), else the work's own, else the output's close.
art_status end_of_work(output_file& out, art_status work, std::initializer_list<const loaded_file*> inputs);

// Ends the run: with status ok and all of standard output written, commits the output
// and returns 0; otherwise takes the output back and reports the failure (saying when
// the output could only be emptied), returning 1.
int finish_run(output_file& out, art_status status);

#endif

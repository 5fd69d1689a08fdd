// The whole-file loader: reads a file into memory that lives until process exit.
#ifndef ART_FILE_LOADER_H
#define ART_FILE_LOADER_H

#include <cstdint>

// Size of the file that the most recent successful load_whole_file returned; 0 at start.
extern uint64_t loaded_size;

// Why the most recent load_whole_file returned null: 0 when the file could not be
// opened (the failure that the programs keep silent), else a code for art_strerror.
extern int load_error;

struct in_file;

// Returns exactly the bytes of the file name (a valid, non-null buffer when it is
// empty) and sets loaded_size; null on failure, leaving loaded_size as it was. Files of
// ART_TEXT_LIMIT bytes or more are refused. The buffer is read-only and never released.
// With kept, the file stays open and *kept receives it, so that runs of it can be
// copied file to file; otherwise it is closed at once.
const unsigned char* load_whole_file(const char* name, in_file** kept = nullptr);

#endif

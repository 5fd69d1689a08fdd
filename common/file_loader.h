// The whole-file loader: reads a file into memory that the caller holds until it releases
// it (the programs never do: it lives until process exit).
#ifndef ART_FILE_LOADER_H
#define ART_FILE_LOADER_H

#include "art_status.h"

#include <cstddef>
#include <cstdint>

struct in_file;

// An input held whole until release_loaded: exactly its bytes (a valid, non-null buffer
// when it is empty), and the regular file they came from, kept open so that long runs
// of it can be read in order through the kernel and a change by another process can be
// seen (null for a pipe, or for bytes that are no file's).
struct loaded_file {
    const unsigned char* data;
    uint64_t size;
    in_file* file;
    const char* name = nullptr;  // for diagnostics; must stay valid
    bool mapped = false;         // data is a mapping of file, which reads would fault in
};

// Opens name for reading and holds a shared lock on it until it is closed, so that no
// run writes it meanwhile; a failure is the open's errno, marked not_opened (a directory,
// where the platform cannot open one, is EISDIR, a failure like any other), or
// ART_E_LOCKED when another run is writing it.
art_status open_input(const char* name, in_file** f);
// Closes what open_input opened; nothing for null.
void close_input(in_file* f);

// The size of an open input, when it says one (*sized): a regular file whose size reads
// more than 0. A pipe, and a file whose size reads 0 whatever it holds (files of /proc),
// say none and are read to their end. A size of ART_TEXT_LIMIT or more is refused.
art_status input_size(in_file* f, const char* name, uint64_t* size, bool* sized);

// Why a regular input of size bytes ended before them: ART_E_SHORT_READ when another
// process shortened it, ART_E_CHANGED or ART_E_GREW, or ART_E_FEWER_BYTES when the file
// is as it was and never held that many (files of /sys say a size they do not hold).
int input_ended_early(in_file* f, uint64_t size);

// Size of the file that the most recent successful load_whole_file loaded; 0 at start.
extern uint64_t loaded_size;

// Loads the file name whole into *loaded and sets loaded_size. A failure leaves
// loaded_size as it was; a file that cannot be opened is its open's errno, marked
// not_opened. Files of ART_TEXT_LIMIT bytes or more are refused. The bytes are read-only.
art_status load_whole_file(const char* name, loaded_file* loaded);
// Gives back the memory and the file of a loaded input; its data is then null. Nothing
// for one whose load failed or that was released.
void release_loaded(loaded_file* loaded);

// Copies bytes [from, from + size) of a loaded input into buf: read through its file
// where its data is a mapping (in order, through the kernel, with no page of the mapping
// touched), else copied from its data. ART_E_SHORT_READ, naming it, when the file ended
// before them. Safe from several threads at once.
art_status read_loaded(const loaded_file& input, uint64_t from, unsigned char* buf, size_t size);

// Whether a loaded input is as it was when it was opened: its size, its modification
// and change times, and that its name still leads to it; ART_E_SHORT_READ, ART_E_GREW
// or ART_E_CHANGED, naming it, when another process changed it or put another file in
// its place. A change that leaves the size and both times as they were (within the file
// system's clock) cannot be seen.
art_status check_unchanged(const loaded_file& input);

#endif

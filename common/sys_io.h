// The platform layer: the file operations whose fast forms differ by platform. The
// POSIX form loads lazily and writes with kernel copies and vectored, positioned calls;
// the portable form (ART_PORTABLE_IO) uses only the C runtime's buffered streams.
// Functions that can fail return 0 or a code that art_strerror describes.
#ifndef ART_SYS_IO_H
#define ART_SYS_IO_H

#include <cstddef>
#include <cstdint>

// A run of bytes to write.
struct io_piece {
    const unsigned char* data;
    size_t size;
};

struct in_file;
struct out_file;

// Opens name for binary reading. On failure *f is null and the open's errno is returned.
int in_open(const char* name, in_file** f);
// The size of an open input. EISDIR for a directory, ART_E_NOT_REGULAR when the input
// has no size to know (a pipe, a device).
int in_size(in_file* f, uint64_t* size);
// Reads up to cap bytes into buf; *got is 0 only at the end of the input.
int in_read(in_file* f, unsigned char* buf, size_t cap, size_t* got);
// The whole of a regular input of size (> 0) bytes, read-only until process exit; null
// with *err set on failure. When copied_only (the caller never reads the bytes itself,
// only writes them out), the POSIX form maps a large input without reading it: a long
// piece of it is then copied file to file by the kernel, and the first short piece
// written from it reads it whole into huge pages at the same address.
const unsigned char* in_load(in_file* f, uint64_t size, bool copied_only, int* err);
void in_close(in_file* f);

// Creates or truncates name for binary writing, as fopen "wb" does.
int out_open(const char* name, out_file** f);
// Writes the pieces back to back after everything appended so far.
int out_append(out_file* f, const io_piece* pieces, size_t count);
// Writes the pieces back to back from offset; a gap left past the end reads as zeros.
int out_write_at(out_file* f, uint64_t offset, const io_piece* pieces, size_t count);
// Flushes and closes; f is released whatever the result.
int out_close(out_file* f);
// Closes after a failure and takes back what the run wrote (remove_partial_output).
void out_discard(out_file* f);

// True when both names exist and resolve to one file, through hard or symbolic links.
bool same_file(const char* a, const char* b);
// Takes back a half-written output: a regular file is deleted, the target of a symbolic
// link is emptied, and anything else (a device) is left alone.
void remove_partial_output(const char* name);

#endif

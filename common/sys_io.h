// The platform layer: the file operations whose fast forms differ by platform. The
// POSIX form maps inputs read-only and copies long runs file to file in the kernel; the
// portable form (ART_PORTABLE_IO) uses only the C runtime's buffered streams.
// Functions that can fail return 0 or a code that art_strerror describes.
#ifndef ART_SYS_IO_H
#define ART_SYS_IO_H

#include <cstddef>
#include <cstdint>

struct in_file;
struct out_file;

// An input held whole until process exit, and the file it was loaded from, kept open so
// that runs of it can be copied file to file (null for bytes that are no file's).
struct loaded_input {
    const unsigned char* data;
    uint64_t size;
    in_file* file;
};

// Opens name for binary reading. On failure *f is null and the open's errno is returned.
int in_open(const char* name, in_file** f);
// The size of an open input. EISDIR for a directory, ART_E_NOT_REGULAR for anything
// else that is not a regular file (a pipe, a device), whose size cannot be known.
int in_size(in_file* f, uint64_t* size);
// Reads up to cap bytes into buf; *got is 0 only at the end of the input.
int in_read(in_file* f, unsigned char* buf, size_t cap, size_t* got);
// A read-only mapping of the whole of a regular input of size (> 0) bytes, until process
// exit; null where the platform maps no files or cannot map this one. A read through it
// after another process shortened the file ends the run (run_guard.h), naming name.
const unsigned char* in_map(in_file* f, const char* name, uint64_t size);
// After size bytes of the input were read or loaded: whether it still has exactly that
// many, 0, ART_E_SHORT_READ or ART_E_GREW.
int in_check_size(in_file* f, uint64_t size);
// Maps in advance every page of a loaded input that is about to be read in no order,
// where a fault per page would cost more than the reads; nothing where inputs are read
// whole into memory.
void in_prepare_random_reads(const loaded_input& input);
void in_close(in_file* f);

// Creates or truncates name for binary writing, as fopen "wb" does, and registers it
// with the run guard, which takes it back if the run is interrupted; name must stay
// valid until process exit.
int out_open(const char* name, out_file** f);
// The name that f was opened with.
const char* out_name(const out_file* f);
// Writes size bytes from data at offset; a gap left past the end reads as zeros.
int out_write(out_file* f, uint64_t offset, const unsigned char* data, size_t size);
// Writes bytes [from, from + size) of input at offset: file to file in the kernel where
// the platform can, else from input.data.
int out_copy(out_file* f, uint64_t offset, const loaded_input& input, uint64_t from, uint64_t size);
// Flushes and closes; f is released whatever the result.
int out_close(out_file* f);
// Takes back what the run wrote (remove_partial_output), then closes. Returns 0, or the
// failure to remove it, after which the output was at least emptied.
int out_discard(out_file* f);

// True when both names exist and resolve to one file, through hard or symbolic links.
bool same_file(const char* a, const char* b);
// Takes back a half-written output that handle (an open descriptor or HANDLE of it, or
// -1) still writes: a regular file is deleted, the target of a symbolic link is emptied,
// and anything else (a device) is left alone. When it cannot be deleted it is emptied
// through the handle, and the failure is returned. Async-signal-safe on POSIX.
int remove_partial_output(const char* name, intptr_t handle);

#endif

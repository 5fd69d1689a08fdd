// The platform layer: the primitives whose forms differ by platform. Each form is one
// file: io_posix.cc maps inputs and reads and writes with positioned requests;
// io_win32.cc does the same with the Windows calls; io_stdio.cc (the portable
// form, ART_PORTABLE_IO) uses only the C runtime's buffered streams. sys_posix.cc and
// sys_win32.cc hold what every form of one platform shares: file identity, taking back
// an output, raw standard output. The policy above these primitives (how an output is
// created, registered, closed and taken back) is output_file.cc's, the same for all.
// Functions that can fail return 0 or a code that art_strerror describes.
#ifndef ART_SYS_IO_H
#define ART_SYS_IO_H

#include <cstddef>
#include <cstdint>

struct in_file;

namespace art {

struct out_file;

// Outputs go out in whole blocks of this many bytes, at offsets aligned to it, so that
// the page cache keeps them in folios of this size, which a later mapping of the file
// maps whole; inputs are mapped at addresses aligned to it for the same reason.
constexpr size_t ART_BLOCK_SIZE = size_t{2} << 20;

// The most that one read or write request asks for: the systems' counts are 32-bit.
constexpr size_t ART_REQUEST_MAX = size_t{1} << 30;
inline size_t request_size(const uint64_t left) {
    return left < ART_REQUEST_MAX ? static_cast<size_t>(left) : ART_REQUEST_MAX;
}

// Opens name for binary reading. On failure *f is null and the open's errno is returned
// (EISDIR for a directory, where the platform opens none).
int in_open(const char* name, in_file** f);
// The size of an open input. EISDIR for a directory, ART_E_NOT_REGULAR for anything
// else that is not a regular file (a pipe, a device), whose size cannot be known.
int in_size(in_file* f, uint64_t* size);
// Reads up to cap bytes into buf; *got is 0 only at the end of the input.
int in_read(in_file* f, unsigned char* buf, size_t cap, size_t* got);
// Reads up to cap bytes at offset of a regular input into buf, leaving the input's own
// position alone; *got is 0 only at the end of the input. Safe from several threads.
int in_read_at(in_file* f, uint64_t offset, unsigned char* buf, size_t cap, size_t* got);
// A read-only mapping of the whole of a regular input of size (> 0) bytes, until
// in_unmap; null where the platform maps no files or cannot map this one. A read through
// it after another process shortened the file faults (platform/run_handlers.h).
const unsigned char* in_map(in_file* f, uint64_t size);
void in_unmap(const unsigned char* mapped, uint64_t size);
// After size bytes of the input were read or loaded: 0 when it still has exactly that
// many and has not been written to since it was opened (its modification and change
// times are those it had then), else ART_E_SHORT_READ, ART_E_GREW or ART_E_CHANGED.
int in_check_unchanged(in_file* f, uint64_t size);
// Maps in advance every page of bytes [from, from + size) of a mapping that in_map made,
// about to be read in no order, where a fault per page would cost more than the reads.
void in_prepare_random_reads(const unsigned char* mapped, uint64_t from, uint64_t size);
void in_close(in_file* f);

// Opens name for binary writing without truncating it: creates it as new where the name
// is free (*created), else opens the file that is there, as it is, so that nothing is
// lost before the caller has decided that the file may be written. Opens so that the
// file can be taken back while open (remove_partial_output). Never waits: an existing
// FIFO that nobody reads yet is ENXIO. With own, a symbolic link (or other reparse
// point) of that name is not followed, and nothing is created through it: ART_E_NOT_OWN.
int out_open(const char* name, out_file** f, bool* created, bool own = false);
// Opens name, an existing file that out_open could not open at once (a FIFO that
// nobody reads yet), for writing, waiting as long as it takes; creates nothing.
int out_open_waiting(const char* name, out_file** f);
// Takes an advisory write lock on the regular file open in f, without waiting, and holds
// it until out_release: ART_E_LOCKED when another open file holds one (another run
// writes the file), ART_E_BEING_READ when others hold shared ones (in_lock_shared: runs
// read it). ART_E_NO_LOCKS where the file system takes no locks: the file stays open as
// it would with the lock.
int out_lock(out_file* f);
// Empties the file open in f.
int out_truncate(out_file* f);
// The descriptor or HANDLE that writes the output, or once it is closed the one that
// holds it (out_lock), else -1: what remove_partial_output may empty the file through.
intptr_t out_handle(const out_file* f);
// Writes size bytes from data at offset; a gap left past the end reads as zeros.
int out_write(out_file* f, uint64_t offset, const unsigned char* data, size_t size);
// Flushes what was written to the storage itself, so that it outlasts a power loss.
int out_sync(out_file* f);
// Flushes and closes the handle that writes; the file stays held until out_release.
int out_close(out_file* f);
// Lets the file go (its lock with it) and releases f.
void out_release(out_file* f);

// The descriptor or HANDLE of an open input.
intptr_t in_handle(const in_file* f);
// Takes a shared lock on the regular input open in f, the kind that out_lock's excludes,
// without waiting, and holds it until f is closed: ART_E_LOCKED when a run writes the
// file. Every run holds one on each input that it reads. 0 also where the file system
// takes no locks.
int in_lock_shared(in_file* f);
// Whether another run holds a lock on the regular input open in f, besides the shared
// one of f itself: ART_E_BEING_READ for a shared one (another run reads it),
// ART_E_LOCKED for a write lock, else 0. Where the platform can (Linux), f's shared lock
// then gives way to a write lock, held until f is closed, so that no run starts to read
// the file after the answer; elsewhere no lock is taken.
int in_being_read(in_file* f);

// Puts the file named from in the place of the one named to, in one step: a reader sees
// the one or the other, whole; the new name is then made durable (the folder synced).
// Where the system can swap two names in one step (Linux), to must still lead to the file
// open on handle expected (-1: any file): else nothing is changed, and ART_E_CHANGED;
// elsewhere the caller checks it just before.
int replace_file(const char* from, const char* to, intptr_t expected = -1);
// Whether the file that replace_file would replace may be written by this process: no
// write permission at all, or none for it, is read-only.
bool file_read_only(const char* name);
// Gives the file open on handle the permissions and, where the process may set them, the
// owner and group of the file named name; nothing when name cannot be read.
void take_attributes(intptr_t handle, const char* name);
// Whether the file that replace_file puts another in the place of must be closed first,
// its locks let go with it (Windows refuses to replace a file that is open).
#ifdef _WIN32
constexpr bool REPLACE_NEEDS_TARGET_CLOSED = true;
#else
constexpr bool REPLACE_NEEDS_TARGET_CLOSED = false;
#endif

// What the open descriptor or HANDLE is: 0 for a regular file, EISDIR for a directory,
// ART_E_NOT_REGULAR for anything else (a pipe, a device).
int handle_type(intptr_t handle);
// Identity: two files count as one when they are one (through hard or symbolic links),
// and also when they cannot be told apart: files of two devices with the same size and
// the same modification and change times, as one file shows through an overlay (under
// the overlay's device, with its lower layer's inode number even once copied up) and
// through the path of its layer; empty ones only with one inode number as well.
//
// True when the files open on handles a and b count as one.
bool same_open_file(intptr_t a, intptr_t b);
// True when both names exist and resolve to files that count as one.
bool same_file(const char* a, const char* b);
// True when name leads to the very file open on handle (no rule of counting as one).
bool name_leads_to(const char* name, intptr_t handle);
// True when name is itself the regular file open on handle, with no other name: no
// symbolic link, FIFO or device, no hard link; a file that can take another's place.
bool file_of_its_own(const char* name, intptr_t handle);
// True when standard output is a regular file (or a FIFO) and name resolves to a file
// that counts as one with it.
bool stdout_is(const char* name);
// Takes back a half-written output that handle (an open descriptor or HANDLE of it, or
// -1) still writes; created says whether the run created it new. A regular file with no
// other name is deleted; a file that other names lead to (the target of a symbolic link,
// a file with other hard links) is emptied, every name kept; anything else (a device, a
// pipe) is left alone. When it cannot be deleted it is emptied through the handle, and
// the failure is returned. A file written through handle that name no longer leads to is
// left alone while any name leads to it (another run may have made it its own). Async-
// signal-safe on POSIX.
int remove_partial_output(const char* name, intptr_t handle, bool created);

// How many threads the process may run at once (its processor affinity); at least 1.
unsigned usable_cores();

// Standard output is a text stream: on Windows each "\n" goes out as "\r\n".
#ifdef _WIN32
constexpr bool CRLF_LINES = true;
#else
constexpr bool CRLF_LINES = false;
#endif
// Writes whole lines that already end as the text stream ends them, untranslated and
// in as few requests as the platform allows, after what the runtime's stdout buffered.
int stdout_write_raw(const char* data, size_t size);

}  // namespace art

#endif

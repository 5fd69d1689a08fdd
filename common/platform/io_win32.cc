// Windows form of the platform layer: inputs mapped read-only, reads and writes in
// requests of at most 1 GiB (the system's counts are 32-bit), outputs positioned by the
// offsets of each request, never by a seek of their own.
#include "sys_io.h"

#include "art_status.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <windows.h>

struct in_file {
    HANDLE handle;
    FILE_BASIC_INFO opened;  // when it was last written to and changed, as opened
};

namespace art {

struct out_file {
    HANDLE handle;  // INVALID_HANDLE_VALUE once closed
    HANDLE hold;    // keeps the lock until released; INVALID_HANDLE_VALUE when none was taken
};

namespace {

DWORD request(const uint64_t left) { return static_cast<DWORD>(request_size(left)); }

// The errno value closest to the last system error.
int last_error() {
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
        return ENOMEM;
    case ERROR_DIRECTORY:
        return EISDIR;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    default:
        return EIO;
    }
}

OVERLAPPED at_offset(const uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

int file_size(const HANDLE h, uint64_t* size) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(h, &s)) return last_error();
    *size = static_cast<uint64_t>(s.QuadPart);
    return 0;
}

}  // namespace

int in_open(const char* name, in_file** f) {
    *f = nullptr;
    const HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A directory takes no such open; it is said as a directory, as on POSIX.
        const int err = last_error();
        const DWORD attributes = GetFileAttributesA(name);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EISDIR : err;
    }
    *f = new (std::nothrow) in_file{h, {}};
    if (*f == nullptr) {
        CloseHandle(h);
        return ENOMEM;
    }
    GetFileInformationByHandleEx(h, FileBasicInfo, &(*f)->opened, sizeof (*f)->opened);
    return 0;
}

int in_size(in_file* f, uint64_t* size) {
    if (GetFileType(f->handle) != FILE_TYPE_DISK) return ART_E_NOT_REGULAR;
    return file_size(f->handle, size);
}

int in_read(in_file* f, unsigned char* buf, const size_t cap, size_t* got) {
    DWORD n = 0;
    if (!ReadFile(f->handle, buf, request(cap), &n, nullptr)) {
        const DWORD e = GetLastError();
        if (e != ERROR_HANDLE_EOF && e != ERROR_BROKEN_PIPE) return last_error();
        n = 0;
    }
    *got = n;
    return 0;
}

int in_read_at(in_file* f, const uint64_t offset, unsigned char* buf, const size_t cap, size_t* got) {
    OVERLAPPED o = at_offset(offset);
    DWORD n = 0;
    if (!ReadFile(f->handle, buf, request(cap), &n, &o)) {
        if (GetLastError() != ERROR_HANDLE_EOF) return last_error();
        n = 0;
    }
    *got = n;
    return 0;
}

// An address where a view of size bytes fits, aligned to 2 MiB so that large pages of
// the system's file cache can back it whole (as they can under wine on Linux); null to
// let the system choose.
void* aligned_place(const uint64_t size) {
    constexpr uintptr_t ALIGN = ART_BLOCK_SIZE;
    void* const probe = VirtualAlloc(nullptr, static_cast<SIZE_T>(size + ALIGN), MEM_RESERVE, PAGE_NOACCESS);
    if (probe == nullptr) return nullptr;
    VirtualFree(probe, 0, MEM_RELEASE);
    return reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(probe) + ALIGN - 1) & ~(ALIGN - 1));
}

const unsigned char* in_map(in_file* f, const uint64_t size) {
    const HANDLE mapping = CreateFileMappingA(f->handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return nullptr;
    void* view = MapViewOfFileEx(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size), aligned_place(size));
    if (view == nullptr) view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    CloseHandle(mapping);  // the view keeps the mapping
    return static_cast<const unsigned char*>(view);
}

void in_unmap(const unsigned char* mapped, uint64_t) { UnmapViewOfFile(mapped); }

int in_check_unchanged(in_file* f, const uint64_t size) {
    uint64_t now = 0;
    if (const int err = file_size(f->handle, &now)) return err;
    if (now != size) return now < size ? ART_E_SHORT_READ : ART_E_GREW;
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(f->handle, FileBasicInfo, &info, sizeof info)) return last_error();
    return info.LastWriteTime.QuadPart == f->opened.LastWriteTime.QuadPart &&
                   info.ChangeTime.QuadPart == f->opened.ChangeTime.QuadPart
               ? 0
               : ART_E_CHANGED;
}

void in_prepare_random_reads(const unsigned char* mapped, const uint64_t from, const uint64_t size) {
    // A read of one byte a page, in order, maps the view ahead of the reads in no order.
    unsigned char sum = 0;
    for (uint64_t at = from - from % 4096; at < from + size; at += 4096)
        sum ^= static_cast<const volatile unsigned char*>(mapped)[at];
    (void)sum;
}

void in_close(in_file* f) {
    CloseHandle(f->handle);
    delete f;
}

intptr_t in_handle(const in_file* f) { return reinterpret_cast<intptr_t>(f->handle); }

// Opens name for writing with disposition, so that it can be deleted while still open:
// the run guard may take it back from its console handler. With own, a reparse point
// (a symbolic link) is opened itself, not followed, and refused.
static int open_output(const char* name, const DWORD disposition, out_file** f, const bool own = false) {
    *f = nullptr;
    const HANDLE h = CreateFileA(name, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | (own ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    BY_HANDLE_FILE_INFORMATION info;
    if (own && GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseHandle(h);
        return ART_E_NOT_OWN;
    }
    *f = new (std::nothrow) out_file{h, INVALID_HANDLE_VALUE};
    if (*f == nullptr) {
        CloseHandle(h);
        return ENOMEM;
    }
    return 0;
}

int out_open(const char* name, out_file** f, bool* created, const bool own) {
    *created = true;
    const int err = open_output(name, CREATE_NEW, f, own);
    if (err != EEXIST) return err;
    *created = false;
    return open_output(name, OPEN_EXISTING, f, own);
}

int out_open_waiting(const char* name, out_file** f) { return open_output(name, OPEN_EXISTING, f); }

// The lock is one byte far past any end of file that the programs write, so that it
// keeps no reader from the file's bytes (a lock on Windows is no mere advice), and apart
// from the byte that the identity test of sys_win32.cc locks for a moment.
// The lock is one byte far past any end of file that the programs write, so that it
// keeps no reader from the file's bytes (a lock on Windows is no mere advice), and apart
// from the byte that the identity test of sys_win32.cc locks for a moment.
constexpr uint64_t LOCK_BYTE = 0x7FFFFFFFFFFFFFE0u;

static int lock_byte(const HANDLE h, const DWORD exclusive) {
    OVERLAPPED at = at_offset(LOCK_BYTE);
    if (!LockFileEx(h, exclusive | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) && GetLastError() == ERROR_LOCK_VIOLATION)
        return ART_E_LOCKED;
    return 0;
}

static void unlock_byte(const HANDLE h) {
    OVERLAPPED at = at_offset(LOCK_BYTE);
    UnlockFileEx(h, 0, 1, 0, &at);
}

// Who holds the lock that kept an exclusive one from h: runs that read the file when a
// shared one can still be had (it is let go at once), else a run that writes it.
static int holder(const HANDLE h) {
    if (lock_byte(h, 0) != 0) return ART_E_LOCKED;
    unlock_byte(h);
    return ART_E_BEING_READ;
}

int in_lock_shared(in_file* f) { return lock_byte(f->handle, 0); }

// The handle's own shared lock is let go for the test and taken again after it.
int in_being_read(in_file* f) {
    unlock_byte(f->handle);
    const int err = lock_byte(f->handle, LOCKFILE_EXCLUSIVE_LOCK);
    if (err == 0) unlock_byte(f->handle);
    const int held = err == 0 ? 0 : holder(f->handle);
    lock_byte(f->handle, 0);
    return held;
}

int out_lock(out_file* f) {
    if (lock_byte(f->handle, LOCKFILE_EXCLUSIVE_LOCK) != 0) return holder(f->handle);
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, f->handle, self, &f->hold, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        f->hold = INVALID_HANDLE_VALUE;
        return last_error();
    }
    return 0;
}

int out_truncate(out_file* f) {
    uint64_t size = 0;
    if (const int err = file_size(f->handle, &size)) return err;
    LARGE_INTEGER zero{};
    // Under wine on ext4, truncating even an empty file makes its close write the whole
    // output back.
    if (size == 0 || (SetFilePointerEx(f->handle, zero, nullptr, FILE_BEGIN) && SetEndOfFile(f->handle))) return 0;
    return last_error();
}

intptr_t out_handle(const out_file* f) {
    return reinterpret_cast<intptr_t>(f->handle != INVALID_HANDLE_VALUE ? f->handle : f->hold);
}

int out_write(out_file* f, uint64_t offset, const unsigned char* data, size_t size) {
    while (size > 0) {
        OVERLAPPED o = at_offset(offset);
        DWORD written = 0;
        if (!WriteFile(f->handle, data, request(size), &written, &o)) return last_error();
        if (written == 0) return EIO;
        data += written;
        size -= written;
        offset += written;
    }
    return 0;
}

int out_sync(out_file* f) { return FlushFileBuffers(f->handle) ? 0 : last_error(); }

int out_close(out_file* f) {
    const int err = CloseHandle(f->handle) ? 0 : last_error();
    f->handle = INVALID_HANDLE_VALUE;
    return err;
}

void out_release(out_file* f) {
    if (f->handle != INVALID_HANDLE_VALUE) CloseHandle(f->handle);
    if (f->hold != INVALID_HANDLE_VALUE) CloseHandle(f->hold);
    delete f;
}

}  // namespace art

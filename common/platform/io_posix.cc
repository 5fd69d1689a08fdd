// POSIX form of the platform layer: inputs mapped read-only from the page cache, read in
// order through the kernel where they can be, positioned writes.
#include "sys_io.h"

#include "art_status.h"
#include "posix_files.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

struct in_file {
    int fd;
    art::posix_stamp opened;
    int alone = -1;  // holds the write lock that in_being_read took, if any
};

namespace art {

struct out_file {
    int fd;           // -1 once closed
    bool positioned;  // false for a pipe or a device
    int hold;         // keeps the lock until released; -1 when none was taken
};

namespace {

constexpr uintptr_t HUGE_PAGE = ART_BLOCK_SIZE;

// Maps the file read-only at an address aligned to a huge page, where the page cache's
// large folios can be mapped whole; null when the file cannot be mapped.
const unsigned char* map_aligned(const int fd, const size_t size) {
    const size_t span = size + HUGE_PAGE;
    if (span < size) return nullptr;
    void* const reserved = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    const uintptr_t lo = reinterpret_cast<uintptr_t>(reserved);
    const uintptr_t at = (lo + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    void* const p = mmap(reinterpret_cast<void*>(at), size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0);
    if (p == MAP_FAILED) {
        munmap(reserved, span);
        return nullptr;
    }
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t end = (at + size + page - 1) & ~(page - 1);
    if (at > lo) munmap(reserved, at - lo);
    if (lo + span > end) munmap(reinterpret_cast<void*>(end), lo + span - end);
    return static_cast<const unsigned char*>(p);
}

// Writes all of data at offset, or in order where the output cannot be positioned (a
// pipe, a device): the caller then keeps offsets in order.
int write_fully(const int fd, const bool positioned, uint64_t offset, const unsigned char* data, uint64_t size) {
    while (size > 0) {
        const ssize_t w = positioned ? pwrite(fd, data, request_size(size), static_cast<off_t>(offset))
                                     : write(fd, data, request_size(size));
        if (w < 0 && errno == EINTR) continue;
        // The kernel reports a mapped input that no longer backs the bytes as EFAULT.
        if (w < 0) return errno == EFAULT ? ART_E_SHORT_READ : errno;
        if (w == 0) return EIO;
        data += w;
        size -= static_cast<uint64_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return 0;
}

}  // namespace

int in_open(const char* name, in_file** f) {
    *f = nullptr;
    int fd;
    do fd = open(name, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    *f = new (std::nothrow) in_file{fd, posix_stamp_of(fd), -1};
    if (*f == nullptr) {
        close(fd);
        return ENOMEM;
    }
    return 0;
}

int in_size(in_file* f, uint64_t* size) {
    struct stat st;
    if (fstat(f->fd, &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return ART_E_NOT_REGULAR;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

int in_read(in_file* f, unsigned char* buf, const size_t cap, size_t* got) {
    ssize_t r;
    do r = read(f->fd, buf, cap);
    while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    *got = static_cast<size_t>(r);
    return 0;
}

int in_read_at(in_file* f, const uint64_t offset, unsigned char* buf, const size_t cap, size_t* got) {
    ssize_t r;
    do r = pread(f->fd, buf, request_size(cap), static_cast<off_t>(offset));
    while (r < 0 && errno == EINTR);
    if (r < 0) return errno;
    *got = static_cast<size_t>(r);
    return 0;
}

const unsigned char* in_map(in_file* f, const uint64_t size) {
    return size > SIZE_MAX ? nullptr : map_aligned(f->fd, static_cast<size_t>(size));
}

void in_unmap(const unsigned char* mapped, const uint64_t size) {
    munmap(const_cast<unsigned char*>(mapped), static_cast<size_t>(size));
}

void in_prepare_random_reads(const unsigned char* mapped, const uint64_t from, const uint64_t size) {
#ifdef MADV_POPULATE_READ
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t lo = reinterpret_cast<uintptr_t>(mapped + from) & ~(page - 1);
    const uintptr_t hi = reinterpret_cast<uintptr_t>(mapped + from + size);
    if (size > 0) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_POPULATE_READ);
#else
    (void)mapped;
    (void)from;
    (void)size;
#endif
}

int in_check_unchanged(in_file* f, const uint64_t size) { return posix_check_unchanged(f->fd, size, f->opened); }

void in_close(in_file* f) {
    close(f->fd);
    if (f->alone >= 0) close(f->alone);
    delete f;
}

intptr_t in_handle(const in_file* f) { return f->fd; }

int in_being_read(in_file* f) { return posix_being_read(f->fd, &f->alone); }

int in_lock_shared(in_file* f) {
    const int err = posix_lock(f->fd, false, nullptr);
    return err == ART_E_NO_LOCKS ? 0 : err;
}

// An output open on fd, or ENOMEM.
int out_from_fd(const int fd, out_file** f) {
    *f = new (std::nothrow) out_file{fd, handle_type(fd) == 0, -1};
    if (*f != nullptr) return 0;
    close(fd);
    return ENOMEM;
}

int out_lock(out_file* f) { return posix_lock(f->fd, true, &f->hold); }

int out_truncate(out_file* f) { return posix_empty(f->fd); }

intptr_t out_handle(const out_file* f) { return f->fd >= 0 ? f->fd : f->hold; }

int out_write(out_file* f, const uint64_t offset, const unsigned char* data, const size_t size) {
    return write_fully(f->fd, f->positioned, offset, data, size);
}

int out_sync(out_file* f) { return fsync(f->fd) == 0 || errno == EINVAL ? 0 : errno; }

int out_close(out_file* f) {
    const int err = close(f->fd) == 0 ? 0 : errno;
    f->fd = -1;
    return err;
}

void out_release(out_file* f) {
    if (f->fd >= 0) close(f->fd);
    if (f->hold >= 0) close(f->hold);
    delete f;
}

}  // namespace art

// POSIX form of the platform layer: mapped inputs, vectored and positioned writes.
#include "sys_io.h"

#include "art_error.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

struct in_file {
    int fd;
};

struct out_file {
    int fd;
    std::string name;
};

int in_open(const char* name, in_file** f) {
    *f = nullptr;
    int fd;
    do fd = open(name, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    *f = new in_file{fd};
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

const unsigned char* in_map(in_file* f, const uint64_t size) {
    if (size == 0 || size > SIZE_MAX) return nullptr;
    int flags = MAP_PRIVATE;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;
#endif
    void* const p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, flags, f->fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(p);
}

void in_close(in_file* f) {
    close(f->fd);
    delete f;
}

int out_open(const char* name, out_file** f) {
    *f = nullptr;
    int fd;
    do fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    *f = new out_file{fd, name};
    return 0;
}

// Writes every byte of the pieces with as few calls as IOV_MAX allows, at offset when
// positioned, else at the file position; resumes after short writes.
static int write_pieces(const int fd, const bool positioned, uint64_t offset,
                        const io_piece* pieces, const size_t count) {
    constexpr size_t BATCH = IOV_MAX < 1024 ? IOV_MAX : 1024;
    iovec iov[BATCH];
    size_t i = 0;
    size_t done_in_first = 0;  // bytes of pieces[i] already written
    for (;;) {
        while (i < count && pieces[i].size == done_in_first) {
            ++i;
            done_in_first = 0;
        }
        if (i == count) return 0;
        int k = 0;
        for (size_t j = i; j < count && k < static_cast<int>(BATCH); ++j) {
            const size_t skip = j == i ? done_in_first : 0;
            if (pieces[j].size == skip) continue;
            iov[k].iov_base = const_cast<unsigned char*>(pieces[j].data + skip);
            iov[k].iov_len = pieces[j].size - skip;
            ++k;
        }
        const ssize_t w = positioned ? pwritev(fd, iov, k, static_cast<off_t>(offset))
                                     : writev(fd, iov, k);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        offset += static_cast<uint64_t>(w);
        size_t left = static_cast<size_t>(w);
        while (left > 0) {
            const size_t rest = pieces[i].size - done_in_first;
            if (left < rest) {
                done_in_first += left;
                break;
            }
            left -= rest;
            ++i;
            done_in_first = 0;
        }
    }
}

int out_append(out_file* f, const io_piece* pieces, const size_t count) {
    return write_pieces(f->fd, false, 0, pieces, count);
}

int out_write_at(out_file* f, const uint64_t offset, const io_piece* pieces, const size_t count) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
    return write_pieces(f->fd, true, offset, pieces, count);
}

int out_close(out_file* f) {
    const int err = close(f->fd) == 0 ? 0 : errno;
    delete f;
    return err;
}

void out_discard(out_file* f) {
    close(f->fd);
    remove_partial_output(f->name.c_str());
    delete f;
}

// POSIX form of the platform layer: lazily loaded inputs, kernel file-to-file copies,
// vectored and positioned writes.
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

namespace {

// Inputs at least this large are mapped and read only when a short piece needs them.
constexpr uint64_t LAZY_MIN = uint64_t{64} << 20;
// Pieces at least this long are copied by the kernel straight from a lazy input's file.
constexpr size_t COPY_MIN = size_t{1} << 20;
constexpr uint64_t HUGE_PAGE = uint64_t{2} << 20;

// A large input: mapped at base, its file still open, and read into memory at base the
// first time a short piece of it is written.
struct lazy_input {
    const unsigned char* base;
    uint64_t size;
    int fd;
    bool in_memory;
};
lazy_input lazy_inputs[4];
size_t lazy_count = 0;

int read_fully(const int fd, unsigned char* buf, const uint64_t size) {
    uint64_t have = 0;
    while (have < size) {
        const ssize_t r = pread(fd, buf + have, static_cast<size_t>(size - have), static_cast<off_t>(have));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return errno;
        if (r == 0) return ART_E_SHORT_READ;
        have += static_cast<uint64_t>(r);
    }
    return 0;
}

// Anonymous memory for size bytes, backed by huge pages and populated before it is read
// into: cheaper here than touching a file mapping. When at is given, it replaces exactly
// the mapping of size bytes there, and nothing beyond it.
unsigned char* alloc_memory(void* at, const uint64_t size) {
    const uint64_t span = at != nullptr ? size : (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (span > SIZE_MAX) return nullptr;
    const int fixed = at != nullptr ? MAP_FIXED : 0;
    void* const p = mmap(at, static_cast<size_t>(span), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | fixed, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(p, static_cast<size_t>(span), MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    if (madvise(p, static_cast<size_t>(span), MADV_POPULATE_WRITE) != 0 && errno == ENOMEM) {
        if (at == nullptr) munmap(p, static_cast<size_t>(span));
        return nullptr;
    }
#endif
    return static_cast<unsigned char*>(p);
}

int materialize(lazy_input& in) {
    auto* const at = const_cast<unsigned char*>(in.base);
    if (alloc_memory(at, in.size) == nullptr) return ENOMEM;
    if (const int err = read_fully(in.fd, at, in.size)) return err;
    in.in_memory = true;
    return 0;
}

lazy_input* lazy_source(const io_piece& p) {
    for (size_t i = 0; i < lazy_count; ++i) {
        lazy_input& in = lazy_inputs[i];
        if (p.data >= in.base && p.data < in.base + in.size) return in.in_memory ? nullptr : &in;
    }
    return nullptr;
}

// Writes the pieces, all in memory, with as few calls as IOV_MAX allows; resumes after
// short writes.
int write_memory(const int fd, const bool positioned, uint64_t* offset, const io_piece* pieces,
                 const size_t count) {
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
        const ssize_t w = positioned ? pwritev(fd, iov, k, static_cast<off_t>(*offset))
                                     : writev(fd, iov, k);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        *offset += static_cast<uint64_t>(w);
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

// Copies a long piece of a lazy input file to file in the kernel. Where the kernel
// cannot (another file system, a device), reads the input into memory instead and
// reports EAGAIN so that the piece is written from there.
int copy_from_file(const int fd, const bool positioned, uint64_t* offset, lazy_input& in,
                   const io_piece& p) {
    auto from = static_cast<off_t>(p.data - in.base);
    size_t left = p.size;
    while (left > 0) {
        auto to = static_cast<off_t>(*offset);
        const ssize_t c = copy_file_range(in.fd, &from, fd, positioned ? &to : nullptr, left, 0);
        if (c < 0 && errno == EINTR) continue;
        if (c < 0 && left == p.size &&
            (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
            const int err = materialize(in);
            return err != 0 ? err : EAGAIN;
        }
        if (c < 0) return errno;
        if (c == 0) return ART_E_SHORT_READ;
        left -= static_cast<size_t>(c);
        *offset += static_cast<uint64_t>(c);
    }
    return 0;
}

int write_pieces(const int fd, const bool positioned, uint64_t offset, const io_piece* pieces,
                 const size_t count) {
    size_t from = 0;  // pieces[from, i) are in memory and not written yet
    for (size_t i = 0; i < count; ++i) {
        lazy_input* const in = lazy_source(pieces[i]);
        if (in == nullptr) continue;
        if (pieces[i].size < COPY_MIN) {
            if (const int err = materialize(*in)) return err;
            continue;
        }
        if (const int err = write_memory(fd, positioned, &offset, pieces + from, i - from)) return err;
        const int err = copy_from_file(fd, positioned, &offset, *in, pieces[i]);
        from = err == EAGAIN ? i : i + 1;
        if (err != 0 && err != EAGAIN) return err;
    }
    return write_memory(fd, positioned, &offset, pieces + from, count - from);
}

}  // namespace

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

const unsigned char* in_load(in_file* f, const uint64_t size, const bool copied_only, int* err) {
    if (copied_only && size >= LAZY_MIN && size <= SIZE_MAX &&
        lazy_count < sizeof lazy_inputs / sizeof lazy_inputs[0]) {
        void* const p = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, f->fd, 0);
        const int fd = p == MAP_FAILED ? -1 : fcntl(f->fd, F_DUPFD_CLOEXEC, 0);
        if (fd >= 0) {
            lazy_inputs[lazy_count++] = {static_cast<const unsigned char*>(p), size, fd, false};
            return static_cast<const unsigned char*>(p);
        }
        if (p != MAP_FAILED) munmap(p, static_cast<size_t>(size));
    }
    unsigned char* const buf = alloc_memory(nullptr, size);
    *err = buf == nullptr ? ENOMEM : read_fully(f->fd, buf, size);
    return *err == 0 ? buf : nullptr;
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

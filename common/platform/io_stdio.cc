// Portable form of the platform layer: the C runtime's streams, with 64-bit positions.
// The platform's own part (sys_posix.cc) tells regular files from devices and pipes,
// opens outputs and sees inputs change. Outputs are unbuffered: the copies' stage is
// their buffer, and a stream holds no bytes that could reach the file after it was
// taken back.
#include "sys_io.h"

#include "art_status.h"
#include "posix_files.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unistd.h>

struct in_file {
    FILE* stream;
    art::posix_stamp opened;
    std::mutex lock;  // a positioned read is a seek and a read
    int alone = -1;   // holds the write lock that in_being_read took, if any
};

namespace art {

struct out_file {
    FILE* stream;       // null once closed
    uint64_t position;  // where the stream stands, so that writes in sequence need no seek
    std::mutex lock;    // a positioned write is a seek and a write
    int hold;           // keeps the file's lock until released; -1 when none was taken
};

namespace {

int stream_error(const int fallback) { return errno != 0 ? errno : fallback; }

intptr_t stream_handle(FILE* s) { return fileno(s); }

}  // namespace

int in_open(const char* name, in_file** f) {
    *f = nullptr;
    errno = 0;
    FILE* const s = std::fopen(name, "rb");
    if (s == nullptr) return stream_error(ENOENT);
    *f = new (std::nothrow) in_file{s, posix_stamp_of(fileno(s)), {}, -1};
    if (*f == nullptr) {
        std::fclose(s);
        return ENOMEM;
    }
    return 0;
}

int in_size(in_file* f, uint64_t* size) {
    if (const int err = handle_type(stream_handle(f->stream))) return err;
    errno = 0;
    if (fseeko(f->stream, 0, SEEK_END) != 0) return stream_error(EIO);
    const auto end = ftello(f->stream);
    if (end < 0 || fseeko(f->stream, 0, SEEK_SET) != 0) return stream_error(EIO);
    *size = static_cast<uint64_t>(end);
    return 0;
}

int in_read(in_file* f, unsigned char* buf, const size_t cap, size_t* got) {
    errno = 0;
    *got = std::fread(buf, 1, request_size(cap), f->stream);
    if (*got == 0 && std::ferror(f->stream)) return stream_error(EIO);
    return 0;
}

int in_read_at(in_file* f, const uint64_t offset, unsigned char* buf, const size_t cap, size_t* got) {
    const std::lock_guard<std::mutex> hold(f->lock);
    errno = 0;
    if (fseeko(f->stream, static_cast<off_t>(offset), SEEK_SET) != 0) return stream_error(EIO);
    return in_read(f, buf, cap, got);
}

const unsigned char* in_map(in_file*, uint64_t) { return nullptr; }

void in_unmap(const unsigned char*, uint64_t) {}

void in_prepare_random_reads(const unsigned char*, uint64_t, uint64_t) {}

int in_check_unchanged(in_file* f, const uint64_t size) {
    errno = 0;
    std::clearerr(f->stream);
    if (fseeko(f->stream, 0, SEEK_END) != 0) return stream_error(EIO);
    const auto end = ftello(f->stream);
    if (end < 0) return stream_error(EIO);
    const auto now = static_cast<uint64_t>(end);
    if (now != size) return now < size ? ART_E_SHORT_READ : ART_E_GREW;
    return posix_check_unchanged(fileno(f->stream), size, f->opened);
}

void in_close(in_file* f) {
    std::fclose(f->stream);
    if (f->alone >= 0) close(f->alone);
    delete f;
}

intptr_t in_handle(const in_file* f) { return stream_handle(f->stream); }

int in_being_read(in_file* f) { return posix_being_read(fileno(f->stream), &f->alone); }

int in_lock_shared(in_file* f) {
    const int err = posix_lock(fileno(f->stream), false, nullptr);
    return err == ART_E_NO_LOCKS ? 0 : err;
}

// An unbuffered output stream on fd, or the failure.
int out_from_fd(const int fd, out_file** f) {
    errno = 0;
    FILE* const s = fdopen(fd, "wb");
    if (s == nullptr) {
        const int err = stream_error(EIO);
        close(fd);
        return err;
    }
    std::setvbuf(s, nullptr, _IONBF, 0);
    *f = new (std::nothrow) out_file{s, 0, {}, -1};
    if (*f != nullptr) return 0;
    std::fclose(s);
    return ENOMEM;
}

int out_lock(out_file* f) { return posix_lock(fileno(f->stream), true, &f->hold); }

int out_truncate(out_file* f) { return posix_empty(fileno(f->stream)); }

intptr_t out_handle(const out_file* f) { return f->stream != nullptr ? stream_handle(f->stream) : f->hold; }

int out_write(out_file* f, const uint64_t offset, const unsigned char* data, size_t size) {
    const std::lock_guard<std::mutex> hold(f->lock);
    if (offset != f->position) {
        errno = 0;
        if (fseeko(f->stream, static_cast<off_t>(offset), SEEK_SET) != 0) return stream_error(EIO);
        f->position = offset;
    }
    while (size > 0) {
        const size_t part = request_size(size);
        errno = 0;
        if (std::fwrite(data, 1, part, f->stream) != part) return stream_error(EIO);
        data += part;
        size -= part;
        f->position += part;
    }
    return 0;
}

int out_sync(out_file* f) {
    errno = 0;
    if (std::fflush(f->stream) != 0) return stream_error(EIO);
    return fsync(fileno(f->stream)) == 0 || errno == EINVAL ? 0 : errno;
}

int out_close(out_file* f) {
    errno = 0;
    int err = std::fflush(f->stream) == 0 ? 0 : stream_error(EIO);
    if (std::fclose(f->stream) != 0 && err == 0) err = stream_error(EIO);
    f->stream = nullptr;
    return err;
}

void out_release(out_file* f) {
    if (f->stream != nullptr) std::fclose(f->stream);
    if (f->hold >= 0) close(f->hold);
    delete f;
}

}  // namespace art

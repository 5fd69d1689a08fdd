// Portable form of the platform layer: the C runtime's buffered streams, with 64-bit
// positions; the runtime's file type query tells regular files from devices and pipes.
#include "sys_io.h"

#include "art_error.h"
#include "run_guard.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define art_fseek _fseeki64
#define art_ftell _ftelli64
#else
#include <sys/stat.h>
#define art_fseek fseeko
#define art_ftell ftello
#endif

struct in_file {
    FILE* stream;
};

struct out_file {
    FILE* stream;
    const char* name;
    uint64_t position;  // where the stream stands, so that writes in sequence need no seek
};

namespace {

// The most that one read or write request asks for: the runtimes' counts are 32-bit.
constexpr size_t REQUEST_MAX = size_t{1} << 30;

int stream_error(const int fallback) { return errno != 0 ? errno : fallback; }

intptr_t stream_handle(FILE* s) {
#ifdef _WIN32
    return _get_osfhandle(_fileno(s));
#else
    return fileno(s);
#endif
}

// 0 for a regular file, EISDIR for a directory, ART_E_NOT_REGULAR for the rest.
int file_type(FILE* s) {
#ifdef _WIN32
    const auto h = reinterpret_cast<HANDLE>(stream_handle(s));
    return GetFileType(h) == FILE_TYPE_DISK ? 0 : ART_E_NOT_REGULAR;
#else
    struct stat st;
    if (fstat(fileno(s), &st) != 0) return errno;
    return S_ISREG(st.st_mode) ? 0 : S_ISDIR(st.st_mode) ? EISDIR : ART_E_NOT_REGULAR;
#endif
}

// fopen "wb"; on Windows the file is opened so that it can be deleted while still open,
// which the run guard needs to take it back from its console handler.
FILE* open_for_writing(const char* name) {
#ifdef _WIN32
    const HANDLE h = CreateFileA(name, GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* const s = _fdopen(fd, "wb");
    if (s == nullptr) _close(fd);
    return s;
#else
    return std::fopen(name, "wb");
#endif
}

int write_stream(out_file* f, const unsigned char* data, uint64_t size) {
    while (size > 0) {
        const size_t part = size < REQUEST_MAX ? static_cast<size_t>(size) : REQUEST_MAX;
        errno = 0;
        if (std::fwrite(data, 1, part, f->stream) != part) return stream_error(EIO);
        data += part;
        size -= part;
        f->position += part;
    }
    return 0;
}

}  // namespace

int in_open(const char* name, in_file** f) {
    *f = nullptr;
    errno = 0;
    FILE* const s = std::fopen(name, "rb");
    if (s == nullptr) return stream_error(ENOENT);
    *f = new in_file{s};
    return 0;
}

int in_size(in_file* f, uint64_t* size) {
    if (const int err = file_type(f->stream)) return err;
    errno = 0;
    if (art_fseek(f->stream, 0, SEEK_END) != 0) return stream_error(EIO);
    const auto end = art_ftell(f->stream);
    if (end < 0 || art_fseek(f->stream, 0, SEEK_SET) != 0) return stream_error(EIO);
    *size = static_cast<uint64_t>(end);
    return 0;
}

int in_read(in_file* f, unsigned char* buf, const size_t cap, size_t* got) {
    errno = 0;
    *got = std::fread(buf, 1, cap < REQUEST_MAX ? cap : REQUEST_MAX, f->stream);
    if (*got == 0 && std::ferror(f->stream)) return stream_error(EIO);
    return 0;
}

const unsigned char* in_map(in_file*, const char*, uint64_t) { return nullptr; }

void in_prepare_random_reads(const loaded_input&) {}

int in_check_size(in_file* f, uint64_t) {
    unsigned char probe = 0;
    std::clearerr(f->stream);
    size_t got = 0;
    if (const int err = in_read(f, &probe, 1, &got)) return err;
    return got != 0 ? ART_E_GREW : 0;
}

void in_close(in_file* f) {
    std::fclose(f->stream);
    delete f;
}

int out_open(const char* name, out_file** f) {
    *f = nullptr;
    guard_hold();
    errno = 0;
    FILE* const s = open_for_writing(name);
    const int err = s == nullptr ? stream_error(EACCES) : 0;
    if (s != nullptr) {
        *f = new out_file{s, name, 0};
        guard_output(name, stream_handle(s));
    }
    guard_release();
    return err;
}

const char* out_name(const out_file* f) { return f->name; }

int out_write(out_file* f, const uint64_t offset, const unsigned char* data, const size_t size) {
    if (offset > static_cast<uint64_t>(INT64_MAX) - size) return EFBIG;
    if (offset != f->position) {
        errno = 0;
        if (art_fseek(f->stream, static_cast<int64_t>(offset), SEEK_SET) != 0) return stream_error(EIO);
        f->position = offset;
    }
    return write_stream(f, data, size);
}

int out_copy(out_file* f, const uint64_t offset, const loaded_input& input, const uint64_t from,
             const uint64_t size) {
    return size > SIZE_MAX ? EFBIG : out_write(f, offset, input.data + from, static_cast<size_t>(size));
}

int out_close(out_file* f) {
    guard_hold();
    errno = 0;
    int err = std::fflush(f->stream) == 0 ? 0 : stream_error(EIO);
    if (std::fclose(f->stream) != 0 && err == 0) err = stream_error(EIO);
    guard_output(f->name, -1);
    guard_release();
    delete f;
    return err;
}

int out_discard(out_file* f) {
    const int err = remove_partial_output(f->name, stream_handle(f->stream));
    std::fclose(f->stream);
    guard_output_closed();
    delete f;
    return err;
}

// Portable form of the platform layer: the C runtime's buffered streams only.
#include "sys_io.h"

#include "art_error.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#define art_fseek _fseeki64
#define art_ftell _ftelli64
#else
#define art_fseek fseeko
#define art_ftell ftello
#endif

struct in_file {
    FILE* stream;
};

struct out_file {
    FILE* stream;
    std::string name;
};

static int stream_error(const int fallback) { return errno != 0 ? errno : fallback; }

int in_open(const char* name, in_file** f) {
    *f = nullptr;
    errno = 0;
    FILE* const s = std::fopen(name, "rb");
    if (s == nullptr) return stream_error(ENOENT);
    *f = new in_file{s};
    return 0;
}

int in_size(in_file* f, uint64_t* size) {
    // A directory that the runtime let open shows itself by failing its first read.
    errno = 0;
    const int c = std::getc(f->stream);
    if (c == EOF && std::ferror(f->stream)) return stream_error(EIO);
    if (c != EOF && std::ungetc(c, f->stream) == EOF) return EIO;
    if (art_fseek(f->stream, 0, SEEK_END) != 0) return ART_E_NOT_REGULAR;
    const auto end = art_ftell(f->stream);
    if (end < 0 || art_fseek(f->stream, 0, SEEK_SET) != 0) return ART_E_NOT_REGULAR;
    *size = static_cast<uint64_t>(end);
    return 0;
}

int in_read(in_file* f, unsigned char* buf, const size_t cap, size_t* got) {
    errno = 0;
    *got = std::fread(buf, 1, cap, f->stream);
    if (*got == 0 && std::ferror(f->stream)) return stream_error(EIO);
    return 0;
}

const unsigned char* in_load(in_file* f, const uint64_t size, bool, int* err) {
    auto* const buf = size > SIZE_MAX ? nullptr : static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
    if (buf == nullptr) {
        *err = ENOMEM;
        return nullptr;
    }
    uint64_t have = 0;
    while (have < size) {
        size_t got = 0;
        *err = in_read(f, buf + have, static_cast<size_t>(size - have), &got);
        if (*err == 0 && got == 0) *err = ART_E_SHORT_READ;
        if (*err != 0) {
            std::free(buf);
            return nullptr;
        }
        have += got;
    }
    return buf;
}

void in_close(in_file* f) {
    std::fclose(f->stream);
    delete f;
}

int out_open(const char* name, out_file** f) {
    *f = nullptr;
    errno = 0;
    FILE* const s = std::fopen(name, "wb");
    if (s == nullptr) return stream_error(EACCES);
    *f = new out_file{s, name};
    return 0;
}

int out_append(out_file* f, const io_piece* pieces, const size_t count) {
    for (size_t i = 0; i < count; ++i) {
        errno = 0;
        if (std::fwrite(pieces[i].data, 1, pieces[i].size, f->stream) != pieces[i].size)
            return stream_error(EIO);
    }
    return 0;
}

int out_write_at(out_file* f, const uint64_t offset, const io_piece* pieces, const size_t count) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return EFBIG;
    errno = 0;
    if (art_fseek(f->stream, static_cast<int64_t>(offset), SEEK_SET) != 0) return stream_error(EIO);
    return out_append(f, pieces, count);
}

int out_close(out_file* f) {
    errno = 0;
    int err = std::fflush(f->stream) == 0 ? 0 : stream_error(EIO);
    if (std::fclose(f->stream) != 0 && err == 0) err = stream_error(EIO);
    delete f;
    return err;
}

void out_discard(out_file* f) {
    std::fclose(f->stream);
    remove_partial_output(f->name.c_str());
    delete f;
}

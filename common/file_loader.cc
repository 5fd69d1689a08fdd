#include "file_loader.h"

#include "art_error.h"
#include "art_index.h"
#include "sys_io.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

uint64_t loaded_size = 0;
int load_error = 0;

static const unsigned char EMPTY_FILE[1] = {0};

// Reads an input that has no size to know (a pipe) to its end, growing the buffer.
static const unsigned char* read_to_end(in_file* f, uint64_t* size, int* err) {
    unsigned char* buf = nullptr;
    size_t cap = 0;
    size_t have = 0;
    for (;;) {
        if (have == cap) {
            const size_t grown = cap == 0 ? size_t{1} << 16 : cap * 2;
            auto* const bigger = static_cast<unsigned char*>(std::realloc(buf, grown));
            if (bigger == nullptr) {
                std::free(buf);
                *err = ENOMEM;
                return nullptr;
            }
            buf = bigger;
            cap = grown;
        }
        size_t got = 0;
        *err = in_read(f, buf + have, cap - have, &got);
        if (*err == 0 && got == 0) break;
        have += got;
        if (*err == 0 && have >= ART_TEXT_LIMIT) *err = ART_E_TOO_LARGE;
        if (*err != 0) {
            std::free(buf);
            return nullptr;
        }
    }
    *size = have;
    return have == 0 ? (std::free(buf), EMPTY_FILE) : buf;
}

// Reads the size (> 0) bytes of a regular input into memory, where it cannot be mapped.
static const unsigned char* read_whole(in_file* f, const uint64_t size, int* err) {
    auto* const buf = size > SIZE_MAX ? nullptr : static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
    *err = buf == nullptr ? ENOMEM : 0;
    for (uint64_t have = 0; *err == 0 && have < size;) {
        size_t got = 0;
        *err = in_read(f, buf + have, static_cast<size_t>(size - have), &got);
        if (*err == 0 && got == 0) *err = ART_E_SHORT_READ;
        have += got;
    }
    if (*err == 0) return buf;
    std::free(buf);
    return nullptr;
}

const unsigned char* load_whole_file(const char* name, in_file** kept) {
    in_file* f = nullptr;
    if (in_open(name, &f) != 0) {
        load_error = 0;
        return nullptr;
    }
    uint64_t size = 0;
    const unsigned char* data = nullptr;
    int err = in_size(f, &size);
    const bool regular = err != ART_E_NOT_REGULAR;
    if (!regular) {
        data = read_to_end(f, &size, &err);
    } else if (err == 0 && size >= ART_TEXT_LIMIT) {
        err = ART_E_TOO_LARGE;
    } else if (err == 0 && size == 0) {
        data = EMPTY_FILE;
    } else if (err == 0) {
        data = in_map(f, name, size);
        if (data == nullptr) data = read_whole(f, size, &err);
    }
    const bool keep = data != nullptr && regular && kept != nullptr;
    if (!keep) in_close(f);
    if (kept != nullptr) *kept = keep ? f : nullptr;
    if (data == nullptr) {
        load_error = err;
        return nullptr;
    }
    loaded_size = size;
    return data;
}

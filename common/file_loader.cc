#include "file_loader.h"

#include "art_index.h"
#include "mapped_inputs.h"
#include "platform/sys_io.h"
#include "sized_reader.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace art;

uint64_t loaded_size = 0;

namespace {

const unsigned char EMPTY_FILE[1] = {0};

// Reads an input that has no size to know (a pipe) to its end, growing the buffer.
const unsigned char* read_to_end(in_file* f, const char* name, uint64_t* size, int* err) {
    sized_reader reader(f, name, 0, false);
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
        *err = reader.read(buf + have, cap - have, &got).code;
        if (*err != 0) {
            std::free(buf);
            return nullptr;
        }
        if (got == 0) break;
        have += got;
    }
    *size = have;
    return have == 0 ? (std::free(buf), EMPTY_FILE) : buf;
}

// Reads the size (> 0) bytes of a regular input into memory, where it cannot be mapped.
const unsigned char* read_whole(in_file* f, const char* name, const uint64_t size, int* err) {
    auto* const buf = size > SIZE_MAX ? nullptr : static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
    *err = buf == nullptr ? ENOMEM : 0;
    sized_reader reader(f, name, size, true);
    while (*err == 0 && reader.done() < size) {
        size_t got = 0;
        *err = reader.read(buf + reader.done(), static_cast<size_t>(size - reader.done()), &got).code;
    }
    if (*err == 0) return buf;
    std::free(buf);
    return nullptr;
}

}  // namespace

void close_input(in_file* f) {
    if (f != nullptr) in_close(f);
}

void release_loaded(loaded_file* loaded) {
    if (loaded->data == nullptr) return;
    if (loaded->mapped) {
        art::mapped_input_remove(loaded->data);
        in_unmap(loaded->data, loaded->size);
    } else if (loaded->data != EMPTY_FILE) {
        std::free(const_cast<unsigned char*>(loaded->data));
    }
    close_input(loaded->file);
    *loaded = {nullptr, 0, nullptr, loaded->name};
}

art_status open_input(const char* name, in_file** f) {
    // A directory is no file that cannot be opened, wherever the platform says so.
    const int err = in_open(name, f);
    if (err != 0) return err == EISDIR ? status_of(name, err) : open_failed(name, err);
    // What another run is writing may be half of what it will be. Only that refuses the
    // input: a file that takes no lock is read all the same.
    if (in_lock_shared(*f) == ART_E_LOCKED) {
        in_close(*f);
        *f = nullptr;
        return status_of(name, ART_E_LOCKED);
    }
    return ART_OK;
}

art_status input_size(in_file* f, const char* name, uint64_t* size, bool* sized) {
    *size = 0;
    int err = in_size(f, size);
    *sized = err == 0 && *size > 0;
    if (err == ART_E_NOT_REGULAR) err = 0;
    if (*sized && *size >= ART_TEXT_LIMIT) err = ART_E_TOO_LARGE;
    return status_of(name, err);
}

int input_ended_early(in_file* f, const uint64_t size) {
    const int now = in_check_unchanged(f, size);
    return now == 0 ? ART_E_FEWER_BYTES : now;
}

art_status load_whole_file(const char* name, loaded_file* loaded) {
    *loaded = {nullptr, 0, nullptr, name};
    in_file* f = nullptr;
    if (const art_status s = open_input(name, &f); !s.ok()) return s;
    uint64_t size = 0;
    bool sized = false;
    const unsigned char* data = nullptr;
    bool mapped = false;
    art_status s = input_size(f, name, &size, &sized);
    int err = s.code;
    if (s.ok() && !sized) {
        data = read_to_end(f, name, &size, &err);
    } else if (s.ok()) {
        data = in_map(f, size);
        mapped = data != nullptr;
        if (mapped) art::mapped_input_add(name, data, size);
        if (data == nullptr) data = read_whole(f, name, size, &err);
    }
    // Kept where the size can be checked again: a file that said its size, or a regular
    // file that said 0 and held nothing.
    uint64_t now = 0;
    if (data == nullptr || !(sized || (size == 0 && in_size(f, &now) == 0))) {
        in_close(f);
        f = nullptr;
    }
    if (data == nullptr) return status_of(name, err);
    *loaded = {data, size, f, name, mapped};
    loaded_size = size;
    return ART_OK;
}

art_status read_loaded(const loaded_file& input, uint64_t from, unsigned char* buf, size_t size) {
    if (!input.mapped) {
        std::memcpy(buf, input.data + from, size);
        return ART_OK;
    }
    while (size > 0) {
        size_t got = 0;
        if (const int err = in_read_at(input.file, from, buf, size, &got)) return status_of(input.name, err);
        if (got == 0) return status_of(input.name, ART_E_SHORT_READ);
        from += got;
        buf += got;
        size -= got;
    }
    return ART_OK;
}

art_status check_unchanged(const loaded_file& input) {
    if (input.file == nullptr) return ART_OK;
    if (const int err = in_check_unchanged(input.file, input.size)) return status_of(input.name, err);
    // Another file renamed into its place leaves the file read as it was, but what the run
    // made from it would then stand beside another file of that name.
    return status_of(input.name, name_leads_to(input.name, in_handle(input.file)) ? 0 : ART_E_CHANGED);
}

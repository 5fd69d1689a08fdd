// Where gather and scatter send chunks: an output file, or memory in tests.
#ifndef ART_CHUNK_SINK_H
#define ART_CHUNK_SINK_H

#include "sys_io.h"

struct chunk_sink {
    // Writes size bytes from data at offset; a gap left past the end reads as zeros.
    virtual int write(uint64_t offset, const unsigned char* data, size_t size) = 0;
    // Writes bytes [from, from + size) of input at offset.
    virtual int copy(uint64_t offset, const loaded_input& input, uint64_t from, uint64_t size) = 0;

protected:
    ~chunk_sink() = default;
};

struct file_sink final : chunk_sink {
    explicit file_sink(out_file* f) : file(f) {}
    int write(uint64_t offset, const unsigned char* data, size_t size) override {
        return out_write(file, offset, data, size);
    }
    int copy(uint64_t offset, const loaded_input& input, uint64_t from, uint64_t size) override {
        return out_copy(file, offset, input, from, size);
    }
    out_file* const file;
};

#endif

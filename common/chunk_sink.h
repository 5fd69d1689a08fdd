// Where gather and scatter send chunks: an output file (output_file.h), or memory in tests.
#ifndef ART_CHUNK_SINK_H
#define ART_CHUNK_SINK_H

#include "art_status.h"
#include "file_loader.h"

#include <cstddef>
#include <cstdint>

struct chunk_sink {
    // Writes size bytes from data at offset; a gap left past the end reads as zeros.
    virtual art_status write(uint64_t offset, const unsigned char* data, size_t size) = 0;
    // Writes bytes [from, from + size) of input at offset.
    virtual art_status copy(uint64_t offset, const loaded_file& input, uint64_t from, uint64_t size) = 0;

protected:
    ~chunk_sink() = default;
};

#endif

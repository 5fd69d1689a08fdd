// A chunk_sink that writes into memory, with the file semantics of the real output.
#ifndef ART_TESTS_MEMORY_SINK_H
#define ART_TESTS_MEMORY_SINK_H

#include "chunk_sink.h"

#include <cstring>
#include <vector>

struct memory_sink final : chunk_sink {
    std::vector<unsigned char> bytes;
    uint64_t write_calls = 0;  // writes and copies

    art_status write(uint64_t offset, const unsigned char* data, size_t size) override {
        ++write_calls;
        if (size == 0) return ART_OK;
        if (bytes.size() < offset + size) bytes.resize(offset + size);
        std::memcpy(bytes.data() + offset, data, size);
        return ART_OK;
    }
    art_status copy(uint64_t offset, const loaded_file& input, uint64_t from, uint64_t size) override {
        return write(offset, input.data + from, size);
    }
};

#endif

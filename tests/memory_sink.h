// A chunk_sink that writes into memory, with the file semantics of the real output.
#ifndef ART_TESTS_MEMORY_SINK_H
#define ART_TESTS_MEMORY_SINK_H

#include "chunk_sink.h"

#include <cstring>
#include <vector>

struct memory_sink final : chunk_sink {
    std::vector<unsigned char> bytes;
    uint64_t write_calls = 0;  // writes and copies

    int write(uint64_t offset, const unsigned char* data, size_t size) override {
        ++write_calls;
        if (size == 0) return 0;
        if (bytes.size() < offset + size) bytes.resize(offset + size);
        std::memcpy(bytes.data() + offset, data, size);
        return 0;
    }
    int copy(uint64_t offset, const loaded_input& input, uint64_t from, uint64_t size) override {
        return write(offset, input.data + from, size);
    }
};

#endif

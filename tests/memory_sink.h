// A chunk_sink that writes into memory, with the file semantics of the real output.
#ifndef ART_TESTS_MEMORY_SINK_H
#define ART_TESTS_MEMORY_SINK_H

#include "chunk_sink.h"

#include <cstring>
#include <vector>

struct memory_sink final : chunk_sink {
    std::vector<unsigned char> bytes;
    uint64_t write_calls = 0;

    int append(const io_piece* pieces, size_t count) override {
        return write_at(bytes.size(), pieces, count);
    }
    int write_at(uint64_t offset, const io_piece* pieces, size_t count) override {
        ++write_calls;
        for (size_t i = 0; i < count; ++i) {
            if (pieces[i].size == 0) continue;
            if (bytes.size() < offset + pieces[i].size) bytes.resize(offset + pieces[i].size);
            std::memcpy(bytes.data() + offset, pieces[i].data, pieces[i].size);
            offset += pieces[i].size;
        }
        return 0;
    }
};

#endif

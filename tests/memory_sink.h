// A chunk_sink that writes into memory, with the file semantics of the real output; safe
// from several threads, as an output file is.
#ifndef ART_TESTS_MEMORY_SINK_H
#define ART_TESTS_MEMORY_SINK_H

#include "chunk_sink.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

struct memory_sink final : art::chunk_sink {
    std::vector<unsigned char> bytes;
    uint64_t write_calls = 0;
    // A write that reaches fail_at fails with EIO (a bad place on a disk), one that
    // starts at or past fail_late with ENOSPC.
    uint64_t fail_at = UINT64_MAX, fail_late = UINT64_MAX;

    art_status write(uint64_t offset, const unsigned char* data, size_t size) override {
        const std::lock_guard<std::mutex> hold(lock);
        ++write_calls;
        if (offset >= fail_late) return status_of(name(), ENOSPC);
        if (offset + size > fail_at) return status_of(name(), EIO);
        if (size == 0) return ART_OK;
        if (bytes.size() < offset + size) bytes.resize(offset + size);
        std::memcpy(bytes.data() + offset, data, size);
        return ART_OK;
    }
    const char* name() const override { return "memory"; }

    std::mutex lock;
};

#endif

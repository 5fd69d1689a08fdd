// Splits a fuzz input into a text and an index, each in a heap block of exactly its own
// size, so that any read past either end is caught.
#ifndef ART_FUZZ_INPUT_H
#define ART_FUZZ_INPUT_H

#include "art_index.h"
#include "chunk_copy.h"
#include "memory_sink.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct fuzz_input {
    std::unique_ptr<unsigned char[]> text, index;
    size_t text_size = 0, index_size = 0;
    uint64_t n = 0;
};

// The limits' byte and two bytes of the text's length come first (fuzz_limits); the text
// follows, the index after it.
inline fuzz_input split_input(const uint8_t* data, size_t size) {
    fuzz_input in;
    if (size < 3) return in;
    ++data;
    --size;
    const size_t wanted = size_t{data[0]} | size_t{data[1]} << 8;
    data += 2;
    size -= 2;
    in.text_size = wanted < size ? wanted : size;
    in.index_size = size - in.text_size;
    in.text.reset(new unsigned char[in.text_size + (in.text_size == 0)]);
    in.index.reset(new unsigned char[in.index_size + (in.index_size == 0)]);
    std::copy(data, data + in.text_size, in.text.get());
    std::copy(data + in.text_size, data + size, in.index.get());
    in.n = record_count(in.index_size);
    return in;
}

// Scattering into memory is skipped for records that reach past this offset.
constexpr uint64_t FUZZ_OUTPUT_LIMIT = uint64_t{1} << 20;

inline bool output_fits(const fuzz_input& in) {
    for (uint64_t i = 0; i < in.n; ++i) {
        const art_record r = index_record(in.index.get(), i);
        if (r.start + exact_chunk_length(r, i, in.n) > FUZZ_OUTPUT_LIMIT) return false;
    }
    return true;
}

// What scatter must write: each chunk at its start, in index order, later over earlier.
inline std::vector<unsigned char> scatter_model(const unsigned char* gathered, const fuzz_input& in) {
    memory_sink out;
    const unsigned char* cursor = gathered;
    for (uint64_t i = 0; i < in.n; ++i) {
        const art_record r = index_record(in.index.get(), i);
        const uint32_t len = chunk_length(r, i, in.n);
        out.write(r.start, cursor, len);
        cursor += len;
    }
    return out.bytes;
}

// Staging, window and plan sizes small enough for a fuzz input's few bytes to cross
// their edges, chosen by the input's first byte.
inline art::copy_limits fuzz_limits(const uint8_t* data, const size_t size) {
    art::copy_limits limits;
    if (size == 0) return limits;
    const size_t stages[] = {1, 3, 16, 64, size_t{1} << 20};
    limits.stage_size = stages[data[0] % 5];
    limits.copy_min = uint64_t{1} << (data[0] / 5 % 8);
    limits.plan_budget = size_t{1} << (data[0] / 40 % 7);
    return limits;
}

#endif

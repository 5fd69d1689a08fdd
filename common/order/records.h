// What every stage of the ordering reads: the text, the index as given, and the threads
// it may use; and the two parallel helpers that keep every result the same on any
// number of threads.
#ifndef ART_ORDER_RECORDS_H
#define ART_ORDER_RECORDS_H

#include "art_index.h"
#include "run_parts.h"

#include <cstdint>
#include <vector>

namespace art::ordering {

constexpr uint32_t NONE = UINT32_MAX;
// Below this many items a pass runs on one thread: a thread would cost more than it saves.
constexpr uint64_t PART_MIN = 4096;

// An order: record numbers of the index as given, the last record last.
using record_order = std::vector<uint32_t>;

struct records {
    const unsigned char* text;
    uint64_t text_size;
    const unsigned char* index;
    uint64_t n;
    unsigned threads;

    art_record rec(const uint64_t i) const { return index_record(index, i); }
    uint64_t length(const uint64_t i) const {
        const art_record r = rec(i);
        return r.end - r.start;
    }
    const unsigned char* bytes(const uint64_t i) const { return text + rec(i).start; }
    // b starts one byte past a's end: in a compressed index, b after a costs next to nothing.
    bool follows_in_text(const uint32_t a, const uint32_t b) const { return uint64_t{rec(a).end} + 1 == rec(b).start; }
};

inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

// Runs f(first, last) over fixed parts of [0, count), each part on a thread of its own.
template <typename F>
void in_parts(const unsigned threads, const uint64_t count, F&& f) {
    const uint64_t parts = count < PART_MIN || threads < 2 ? 1 : threads;
    const art_status s = run_parts(static_cast<size_t>(parts), nullptr,
                                   [&](const size_t k) {
                                       f(count * k / parts, count * (k + 1) / parts);
                                       return ART_OK;
                                   },
                                   [](size_t) {});
    if (!s.ok()) throw std::bad_alloc();
}

// Sorts keys whose values lie below limit: split in place into ranges of values, one per
// thread, each then sorted on its own thread. The keys are distinct, so the result is
// the one order whatever the split.
void sort_keys(std::vector<uint64_t>& keys, unsigned threads, uint64_t limit);

// The records by their start in the text, the last one last.
void text_order(const records& r, record_order& order);

}  // namespace art::ordering

#endif

// Stage 1 of the ordering, what is read of each article: a MinHash signature of its
// shingles, for likeness, and its leading bytes, for the sort by them.
#ifndef ART_ORDER_FEATURES_H
#define ART_ORDER_FEATURES_H

#include "order/records.h"

#include <cstdint>
#include <vector>

namespace art::ordering {

constexpr unsigned MAX_SLOTS = 32;
// Leading bytes compared by the sort by leading bytes.
constexpr unsigned LEADING_BYTES = 64;

// slots 16-bit values per record. Every shingle of an article is hashed, however short
// the article; one-permutation MinHash keeps the least hash in each slot, a shingle's
// slot chosen by its hash's top bits, and an empty slot borrows from the next filled one
// (rotation), so that a short article fills every slot. An article shorter than a
// shingle is one shingle; empty articles all have the same signature.
struct signatures {
    unsigned slots = 0;
    std::vector<uint16_t> values;

    const uint16_t* of(const uint32_t i) const { return &values[size_t{i} * slots]; }
    // Slots on which a and b agree.
    unsigned matches(const uint32_t a, const uint32_t b) const {
        const uint16_t* x = of(a);
        const uint16_t* y = of(b);
        unsigned m = 0;
        for (unsigned k = 0; k < slots; ++k) m += x[k] == y[k];
        return m;
    }
};

// The signatures of every record, with shingles of `shingle` bytes (1 to 8) in `slots`
// slots (16 or 32), on r.threads threads.
void sign_all(const records& r, unsigned shingle, unsigned slots, signatures& out);

// The first 8 bytes of record i, the first in the top byte, zeros past its end: records
// in the order of these keys are in the order of their leading bytes, up to 8.
uint64_t leading_key(const records& r, uint32_t i);

// Compares the first LEADING_BYTES bytes of records a and b, a shorter one first where
// one is the start of the other: less than 0, 0 or more than 0.
int leading_compare(const records& r, uint32_t a, uint32_t b);
// leading_compare, ties by record number: a total order.
inline bool leading_less(const records& r, const uint32_t a, const uint32_t b) {
    const int c = leading_compare(r, a, b);
    return c != 0 ? c < 0 : a < b;
}

}  // namespace art::ordering

#endif

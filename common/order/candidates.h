// Stage 2 of the ordering: candidate neighbours found without comparing all pairs, and
// the chains that the best of them make.
//
// Candidates of a record: its neighbours in the start order and in the text, and those
// near it in the sorted order of each band of two slots of the signatures (records that
// agree on both slots of a band sit together, in record order; each is compared with
// the next `window` of its own band only, so that a huge band of alike records costs
// linear time). Each record keeps its KEEP best by worth: the bytes shared, estimated
// from the slots agreeing, plus the index's jump saved for text neighbours; the lists
// are the best under a total order, so they are the same whatever the order of offers.
//
// Chains: candidate pairs from the most worth down join two chain ends of different
// chains; the last record stays an end. Later rounds join the ends left, compared slot
// by slot, where one agreeing slot is enough, until a round joins none.
#ifndef ART_ORDER_CANDIDATES_H
#define ART_ORDER_CANDIDATES_H

#include "order/features.h"
#include "order/records.h"

#include <cstdint>
#include <vector>

namespace art::ordering {

struct chain_options {
    unsigned window = 4;       // neighbours compared on each side in a band's order
    unsigned min_matches = 2;  // slots that must agree before two articles count as alike
    bool text_neighbours = true;  // text neighbours are candidates, worth an index jump
    bool rounds = true;        // later rounds between chain ends (keeps the signatures)
};

// Two neighbours per record, NONE where an end is free: chains, each a path.
struct chains {
    std::vector<uint32_t> link;

    int free_ends(const uint32_t a) const {
        return link[size_t{a} * 2] == NONE ? 2 : link[size_t{a} * 2 + 1] == NONE ? 1 : 0;
    }
    // The neighbour of at other than from.
    uint32_t next(const uint32_t at, const uint32_t from) const {
        const uint32_t x = link[size_t{at} * 2];
        return x != from ? x : link[size_t{at} * 2 + 1];
    }
};

// The chains of r's records by the candidates of sig. Releases sig's values once they
// are no longer needed.
void make_chains(const records& r, signatures& sig, const chain_options& o, chains& out);

}  // namespace art::ordering

#endif

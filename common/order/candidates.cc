#include "order/candidates.h"

#include <algorithm>

namespace art::ordering {

namespace {

// Best candidate neighbours kept per record.
constexpr unsigned KEEP = 3;
// Records compared in one block of a band's sorted order.
constexpr uint64_t COMPARED_AT_ONCE = uint64_t{1} << 20;
// Bits that a byte shared with the article next to it is taken to save.
constexpr uint64_t MATCH_BITS = 2;

class chain_maker {
public:
    chain_maker(const records& r, signatures& sig, const chain_options& o, chains& out)
        : r_(r), sig_(sig), o_(o), window_(std::max(1u, std::min(8u, o.window))), min_matches_(o.min_matches),
          link_(out.link) {
        uint64_t bits = 0;
        while (bits < 64 && (uint64_t{1} << bits) < r.n) ++bits;
        index_bits_ = o.text_neighbours ? bits + 8 : 0;
    }

    void run() {
        find_candidates();
        if (!o_.rounds) std::vector<uint16_t>().swap(sig_.values);
        chain();
        if (o_.rounds) join_ends();
        std::vector<uint16_t>().swap(sig_.values);
    }

private:
    bool follows_in_text(const uint32_t a, const uint32_t b) const {
        return o_.text_neighbours && r_.follows_in_text(a, b);
    }
    // Bits saved by the bytes that a and b share, estimated from m of the slots agreeing:
    // a Jaccard similarity J of the shingle sets shares J (|a| + |b|) / (1 + J) bytes.
    uint64_t content(const uint32_t a, const uint32_t b, const unsigned m) const {
        if (m < min_matches_ || m == 0) return 0;
        const uint64_t la = r_.length(a), lb = r_.length(b);
        const uint64_t shared = std::min(m * (la + lb) / (sig_.slots + m), std::min(la, lb));
        return shared * MATCH_BITS;
    }
    // A pair's worth as neighbours in either direction: what the chaining ranks by.
    uint64_t pair_worth(const uint32_t a, const uint32_t b, const unsigned m) const {
        return content(a, b, m) + (follows_in_text(a, b) || follows_in_text(b, a) ? index_bits_ : 0);
    }
    void offer(uint32_t a, uint32_t b, unsigned m);
    void offer_pair(const uint32_t a, const uint32_t b, const unsigned m) {
        offer(a, b, m);
        offer(b, a, m);
    }
    void find_candidates();
    uint64_t chain();
    void join_ends();
    uint32_t root(uint32_t a);
    int free_ends(const uint32_t a) const {
        return link_[size_t{a} * 2] == NONE ? 2 : link_[size_t{a} * 2 + 1] == NONE ? 1 : 0;
    }

    const records& r_;
    signatures& sig_;
    chain_options o_;
    unsigned window_, min_matches_;
    uint64_t index_bits_;
    std::vector<uint32_t> best_;    // KEEP candidates per record, best first, NONE after the last
    std::vector<uint8_t> best_m_;   // their agreeing slots
    std::vector<uint32_t>& link_;   // two neighbours per record in the chains, NONE where free
    std::vector<uint32_t> parent_;  // the chains as disjoint sets
};

// Keeps b among a's best candidates when it beats one of them: by worth, then by the
// lower record number, a total order, so the lists end the same whatever the order of
// the offers.
void chain_maker::offer(const uint32_t a, const uint32_t b, const unsigned m) {
    uint32_t* list = &best_[size_t{a} * KEEP];
    uint8_t* list_m = &best_m_[size_t{a} * KEEP];
    for (unsigned k = 0; k < KEEP; ++k)
        if (list[k] == b) return;
    const uint64_t worth = pair_worth(a, b, m);
    if (worth == 0) return;
    const auto beats = [&](const unsigned k) {
        if (list[k] == NONE) return true;
        const uint64_t w = pair_worth(a, list[k], list_m[k]);
        return worth > w || (worth == w && b < list[k]);
    };
    if (!beats(KEEP - 1)) return;
    unsigned at = KEEP - 1;
    for (; at > 0 && beats(at - 1); --at) {
        list[at] = list[at - 1];
        list_m[at] = list_m[at - 1];
    }
    list[at] = b;
    list_m[at] = static_cast<uint8_t>(m);
}

void chain_maker::find_candidates() {
    const uint64_t n = r_.n;
    const unsigned threads = r_.threads;
    best_.assign(size_t(n) * KEEP, NONE);
    best_m_.assign(size_t(n) * KEEP, 0);
    {
        std::vector<uint8_t> start_m(size_t(n), 0);  // slots agreeing between records i and i + 1
        in_parts(threads, n - 1, [&](const uint64_t first, const uint64_t last) {
            for (uint64_t i = first; i < last; ++i) start_m[i] = static_cast<uint8_t>(sig_.matches(uint32_t(i), uint32_t(i + 1)));
        });
        for (uint32_t i = 0; i + 1 < n; ++i) offer_pair(i, i + 1, start_m[i]);
    }
    std::vector<uint64_t> keys(static_cast<size_t>(n));
    std::vector<uint8_t> found(static_cast<size_t>(std::min(n, COMPARED_AT_ONCE)) * window_);
    // Compares each record in keys' order with the next `window` that share its key's
    // top bits, a block of records at a time on every thread; then offers the pairs of
    // the block in that order on one.
    const auto compare_sorted = [&](const unsigned key_shift, const bool text_order) {
        for (uint64_t block = 0; block < n; block += COMPARED_AT_ONCE) {
            const uint64_t size = std::min(COMPARED_AT_ONCE, n - block);
            in_parts(threads, size, [&](const uint64_t first, const uint64_t last) {
                for (uint64_t i = first; i < last; ++i) {
                    const uint64_t p = block + i;
                    for (unsigned d = 1; d <= window_; ++d) {
                        uint8_t& m = found[size_t(i) * window_ + d - 1];
                        m = 0;
                        if (p + d >= n || (key_shift < 64 && (keys[p] >> key_shift) != (keys[p + d] >> key_shift))) continue;
                        const uint32_t a = uint32_t(keys[p]), b = uint32_t(keys[p + d]);
                        if (text_order && !follows_in_text(a, b)) continue;
                        m = static_cast<uint8_t>(sig_.matches(a, b) + 1);
                    }
                }
            });
            // Each thread keeps the lists of its own range of records.
            in_parts(threads, n, [&](const uint64_t from, const uint64_t to) {
                for (uint64_t i = 0; i < size; ++i) {
                    for (unsigned d = 1; d <= window_; ++d) {
                        const uint8_t m = found[size_t(i) * window_ + d - 1];
                        if (m == 0) continue;
                        const uint32_t a = uint32_t(keys[block + i]), b = uint32_t(keys[block + i + d]);
                        if (a >= from && a < to) offer(a, b, m - 1u);
                        if (b >= from && b < to) offer(b, a, m - 1u);
                    }
                }
            });
        }
    };
    if (o_.text_neighbours) {
        // In order of start: a record and the next one both start where nothing else does.
        for (uint64_t i = 0; i < n; ++i) keys[i] = uint64_t{r_.rec(i).start} << 32 | i;
        sort_keys(keys, threads, r_.text_size << 32);
        compare_sorted(64, true);
    }
    for (unsigned band = 0; band < sig_.slots / 2; ++band) {
        for (uint64_t i = 0; i < n; ++i) {
            const uint16_t* s = sig_.of(uint32_t(i)) + 2 * band;
            keys[i] = (uint64_t{s[0]} << 16 | s[1]) << 32 | i;
        }
        sort_keys(keys, threads, UINT64_MAX);
        compare_sorted(32, false);
    }
}

uint32_t chain_maker::root(uint32_t a) {
    while (parent_[a] != a) {
        parent_[a] = parent_[parent_[a]];
        a = parent_[a];
    }
    return a;
}

// Greedy chaining: candidate pairs from the most worth down (start neighbours first at
// equal worth, then by record number) join two chain ends of different chains; the
// last record stays an end.
uint64_t chain_maker::chain() {
    const uint64_t n = r_.n;
    // Each pair once, from the list of its lower record where both lists hold it.
    const auto listed_twice = [this](const uint32_t a, const uint32_t b) {
        if (b > a) return false;
        for (unsigned j = 0; j < KEEP; ++j)
            if (best_[size_t{b} * KEEP + j] == a) return true;
        return false;
    };
    size_t count = 0;
    for (uint64_t e = 0; e < best_.size(); ++e) count += best_[e] != NONE && !listed_twice(uint32_t(e / KEEP), best_[e]);
    std::vector<uint64_t> edges;
    edges.reserve(count);
    for (uint64_t a = 0; a < n; ++a) {
        for (unsigned k = 0; k < KEEP; ++k) {
            const size_t e = size_t(a) * KEEP + k;
            const uint32_t b = best_[e];
            if (b == NONE) break;
            if (listed_twice(uint32_t(a), b)) continue;
            const uint64_t worth = std::min<uint64_t>(pair_worth(uint32_t(a), b, best_m_[e]), (uint64_t{1} << 31) - 1);
            const uint64_t ranked = worth * 2 + (a + 1 == b || uint64_t{b} + 1 == a ? 1 : 0);
            edges.push_back((UINT32_MAX - ranked) << 32 | e);
        }
    }
    std::sort(edges.begin(), edges.end());
    if (link_.empty()) {
        link_.assign(size_t(n) * 2, NONE);
        parent_.resize(size_t(n));
        for (uint64_t i = 0; i < n; ++i) parent_[i] = uint32_t(i);
    }
    const uint32_t last = uint32_t(n - 1);
    uint64_t joined = 0;
    for (const uint64_t edge : edges) {
        const size_t e = size_t(edge & UINT32_MAX);
        const uint32_t a = uint32_t(e / KEEP), b = best_[e];
        const int fa = free_ends(a), fb = free_ends(b);
        if (fa == 0 || fb == 0 || (a == last && fa < 2) || (b == last && fb < 2)) continue;
        const uint32_t ra = root(a), rb = root(b);
        if (ra == rb) continue;
        parent_[std::max(ra, rb)] = std::min(ra, rb);
        link_[size_t{a} * 2 + (fa == 2 ? 0 : 1)] = b;
        link_[size_t{b} * 2 + (fb == 2 ? 0 : 1)] = a;
        ++joined;
    }
    return joined;
}

// Later rounds of chaining, between chain ends only, each compared with the ends near
// it in the sorted order of each single slot: weaker likeness, one agreeing slot, is
// enough for two ends that have nothing better. Until a round joins no chains.
void chain_maker::join_ends() {
    const uint64_t n = r_.n;
    std::vector<uint32_t> ends;
    min_matches_ = 1;
    const uint32_t last = uint32_t(n - 1);
    std::vector<uint64_t> keys;
    for (unsigned round = 0; round < 8; ++round) {
        ends.clear();
        for (uint32_t a = 0; a < n; ++a)
            if (free_ends(a) > (a == last ? 1 : 0)) ends.push_back(a);
        if (ends.size() < 2) break;
        best_.assign(size_t(n) * KEEP, NONE);
        best_m_.assign(size_t(n) * KEEP, 0);
        keys.resize(ends.size());
        for (unsigned slot = 0; slot < sig_.slots; ++slot) {
            for (size_t i = 0; i < ends.size(); ++i) keys[i] = uint64_t{sig_.of(ends[i])[slot]} << 32 | ends[i];
            sort_keys(keys, r_.threads, UINT64_MAX);
            for (size_t p = 0; p < keys.size(); ++p) {
                for (size_t q = p + 1; q <= p + window_ && q < keys.size() && keys[q] >> 32 == keys[p] >> 32; ++q) {
                    const uint32_t a = uint32_t(keys[p]), b = uint32_t(keys[q]);
                    if (root(a) != root(b)) offer_pair(a, b, sig_.matches(a, b));
                }
            }
        }
        if (chain() == 0) break;
    }
    min_matches_ = o_.min_matches;
}

}  // namespace

void make_chains(const records& r, signatures& sig, const chain_options& o, chains& out) {
    out.link.clear();
    chain_maker(r, sig, o, out).run();
}

}  // namespace art::ordering

#include "article_order.h"

#include "art_index.h"
#include "run_parts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

using art::run_parts;

namespace {

constexpr uint32_t NONE = UINT32_MAX;
// Best candidate neighbours kept per record.
constexpr unsigned KEEP = 3;
constexpr unsigned MAX_SLOTS = 32;
// Up to this many records get 32 slots: their extra 32 bytes stay within 32 MiB.
constexpr uint64_t WIDE_SIGNATURES_UP_TO = uint64_t{1} << 20;
// The cost model's sampling: one shingle in 2^SAMPLE_BITS, a table of 2^TABLE_BITS
// shingles per thread, the gathered text read in SEGMENTS parts.
constexpr unsigned SAMPLE_BITS = 5;
constexpr unsigned TABLE_BITS = 18;
constexpr uint64_t SEGMENTS = 16;
constexpr uint64_t POSITION_MASK = (uint64_t{1} << 40) - 1;
// Up to this many records the signatures stay for later rounds of chaining: with the
// second set of candidate lists, the chain ends and their edges, 143 bytes a record.
constexpr uint64_t ROUNDS_UP_TO = uint64_t{1} << 19;
// Records compared in one block of a band's sorted order.
constexpr uint64_t COMPARED_AT_ONCE = uint64_t{1} << 20;
// Below this many items a pass runs on one thread: a thread would cost more than it saves.
constexpr uint64_t PART_MIN = 4096;

inline uint64_t bit_length(uint64_t x) {
    uint64_t bits = 0;
    for (; x != 0; x >>= 1) ++bits;
    return bits;
}

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
    run_parts(static_cast<size_t>(parts), nullptr,
              [&](const size_t k) {
                  f(count * k / parts, count * (k + 1) / parts);
                  return ART_OK;
              },
              [](size_t) {});
}

// Sorts keys whose values lie below limit: split in place into ranges of values, one per
// thread, each then sorted on its own thread. The keys are distinct, so the result is
// the one order whatever the split.
void sort_keys(std::vector<uint64_t>& keys, const unsigned threads, const uint64_t limit) {
    std::vector<uint64_t*> bounds{keys.data()};
    const unsigned parts = keys.size() < PART_MIN ? 1 : std::max(1u, std::min(threads, 64u));
    for (unsigned k = 1; k < parts; ++k) {
        const uint64_t pivot = limit / parts * k;
        bounds.push_back(std::partition(bounds.back(), keys.data() + keys.size(),
                                        [pivot](const uint64_t v) { return v < pivot; }));
    }
    bounds.push_back(keys.data() + keys.size());
    run_parts(parts, nullptr,
              [&](const size_t k) {
                  std::sort(bounds[k], bounds[k + 1]);
                  return ART_OK;
              },
              [](size_t) {});
}

class orderer {
public:
    orderer(const unsigned char* text, const uint64_t text_size, const unsigned char* index, const uint64_t n,
            const order_options& o)
        : text_(text), text_size_(text_size), index_(index), n_(n), o_(o) {
        slots_ = o.slots == 16 || o.slots == 32 ? o.slots : n <= WIDE_SIGNATURES_UP_TO ? 32 : 16;
        slot_bits_ = slots_ == 32 ? 5 : 4;
        shingle_ = std::max(1u, std::min(8u, o.shingle));
        window_ = std::max(1u, std::min(8u, o.window));
        threads_ = std::max(1u, std::min(64u, o.threads));
        min_matches_ = o.min_matches;
        uint64_t bits = 0;
        while (bits < 64 && (uint64_t{1} << bits) < n) ++bits;
        index_bits_ = o.text_neighbours ? bits + 8 : 0;
    }

    order_result run(unsigned char* out);

private:
    art_record rec(const uint64_t i) const { return index_record(index_, i); }
    uint64_t length(const uint64_t i) const {
        const art_record r = rec(i);
        return r.end - r.start;
    }
    bool follows_in_text(const uint32_t a, const uint32_t b) const {
        return o_.text_neighbours && uint64_t{rec(a).end} + 1 == rec(b).start;
    }

    void sign(uint64_t i, uint16_t* s) const;
    unsigned matches(const uint32_t a, const uint32_t b) const {
        const uint16_t* x = &sig_[size_t{a} * slots_];
        const uint16_t* y = &sig_[size_t{b} * slots_];
        unsigned m = 0;
        for (unsigned k = 0; k < slots_; ++k) m += x[k] == y[k];
        return m;
    }
    // Bits saved by the bytes that a and b share, estimated from m of the slots agreeing:
    // a Jaccard similarity J of the shingle sets shares J (|a| + |b|) / (1 + J) bytes.
    uint64_t content(const uint32_t a, const uint32_t b, const unsigned m) const {
        if (m < min_matches_ || m == 0) return 0;
        const uint64_t la = length(a), lb = length(b);
        const uint64_t shared = std::min(m * (la + lb) / (slots_ + m), std::min(la, lb));
        return shared * o_.match_bits;
    }
    // A pair's worth as neighbours in either direction: what the greedy chaining ranks by.
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
    uint64_t worth(const std::vector<uint32_t>& order) const;
    void text_order(std::vector<uint32_t>& order) const;
    void chain_order(std::vector<uint32_t>& order, bool by_text) const;
    void move_order(const std::vector<uint32_t>& base, std::vector<uint32_t>& order);

    const unsigned char* text_;
    uint64_t text_size_;
    const unsigned char* index_;
    uint64_t n_;
    order_options o_;
    unsigned slots_, slot_bits_, shingle_, window_, threads_, min_matches_;
    uint64_t index_bits_;

    std::vector<uint16_t> sig_;      // slots_ per record
    std::vector<uint8_t> start_m_;   // slots agreeing between records i and i + 1
    std::vector<uint32_t> best_;     // KEEP candidates per record, best first, NONE after the last
    std::vector<uint8_t> best_m_;    // their agreeing slots
    std::vector<uint32_t> link_;     // two neighbours per record in the chains, NONE where free
    std::vector<uint32_t> parent_;   // the chains as disjoint sets
    std::vector<uint32_t> at_;       // each record's offset in the gathered text of the base order
    std::vector<uint32_t> target_;   // where a record moves to, NONE where it stays
};

// The one-permutation MinHash of every shingle of record i: each shingle's hash falls in
// one slot by its top bits, which keeps the least; empty slots borrow from the next
// filled one (rotation), so short articles fill every slot. An article shorter than a
// shingle is one shingle; empty articles all have the same signature.
void orderer::sign(const uint64_t i, uint16_t* s) const {
    const art_record r = rec(i);
    const unsigned char* p = text_ + r.start;
    const uint64_t len = r.end - r.start;
    // Which slots hold a hash: any value, the largest too, may be a shingle's.
    uint64_t least[MAX_SLOTS];
    uint32_t filled = 0;
    const unsigned shift = 64 - slot_bits_;
    const auto keep = [&](const uint64_t h) {
        const unsigned k = unsigned(h >> shift);
        if ((filled >> k & 1) == 0 || h < least[k]) least[k] = h;
        filled |= uint32_t{1} << k;
    };
    if (len >= shingle_) {
        const uint64_t mask = shingle_ == 8 ? UINT64_MAX : (uint64_t{1} << (8 * shingle_)) - 1;
        uint64_t x = 0;
        for (uint64_t j = 0; j + 1 < shingle_; ++j) x = x << 8 | p[j];
        for (uint64_t j = shingle_ - 1; j < len; ++j) {
            x = (x << 8 | p[j]) & mask;
            keep(mix64(x * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL));
        }
    } else if (len > 0) {
        uint64_t x = len << 56;
        for (uint64_t j = 0; j < len; ++j) x = x << 8 | p[j];
        keep(mix64(x * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL));
    } else {
        std::fill(s, s + slots_, uint16_t{0});
        return;
    }
    for (unsigned k = 0; k < slots_; ++k) {
        unsigned t = 0;
        while ((filled >> ((k + t) % slots_) & 1) == 0) ++t;
        s[k] = static_cast<uint16_t>(mix64(least[(k + t) % slots_] + t * 0xA24BAED4963EE407ULL) >> 48);
    }
}

// Keeps b among a's best candidates when it beats one of them: by worth, then by the
// lower record number, a total order, so the lists end the same whatever the order of
// the offers.
void orderer::offer(const uint32_t a, const uint32_t b, const unsigned m) {
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

// Candidates of each record: its neighbours in the start order and in the text, and
// those near it in the sorted order of each band of two slots (records that agree on
// both slots of a band sit together, in record order; each is compared with the next
// `window` of its own band only, so a huge band of alike records costs linear time).
void orderer::find_candidates() {
    sig_.resize(size_t(n_) * slots_);
    in_parts(threads_, n_, [this](const uint64_t first, const uint64_t last) {
        for (uint64_t i = first; i < last; ++i) sign(i, &sig_[size_t(i) * slots_]);
    });
    best_.assign(size_t(n_) * KEEP, NONE);
    best_m_.assign(size_t(n_) * KEEP, 0);
    start_m_.assign(size_t(n_), 0);
    in_parts(threads_, n_ - 1, [this](const uint64_t first, const uint64_t last) {
        for (uint64_t i = first; i < last; ++i)
            start_m_[i] = static_cast<uint8_t>(matches(uint32_t(i), uint32_t(i + 1)));
    });
    for (uint32_t i = 0; i + 1 < n_; ++i) offer_pair(i, i + 1, start_m_[i]);

    std::vector<uint64_t> keys(static_cast<size_t>(n_));
    std::vector<uint8_t> found(static_cast<size_t>(std::min(n_, COMPARED_AT_ONCE)) * window_);
    // Compares each record in keys' order with the next `window` that share its key's
    // top bits, a block of records at a time on every thread; then offers the pairs of
    // the block in that order on one.
    const auto compare_sorted = [&](const unsigned key_shift, const bool text_order) {
        for (uint64_t block = 0; block < n_; block += COMPARED_AT_ONCE) {
            const uint64_t size = std::min(COMPARED_AT_ONCE, n_ - block);
            in_parts(threads_, size, [&](const uint64_t first, const uint64_t last) {
                for (uint64_t i = first; i < last; ++i) {
                    const uint64_t p = block + i;
                    for (unsigned d = 1; d <= window_; ++d) {
                        uint8_t& m = found[size_t(i) * window_ + d - 1];
                        m = 0;
                        if (p + d >= n_ || (key_shift < 64 && (keys[p] >> key_shift) != (keys[p + d] >> key_shift))) continue;
                        const uint32_t a = uint32_t(keys[p]), b = uint32_t(keys[p + d]);
                        if (text_order && !follows_in_text(a, b)) continue;
                        m = static_cast<uint8_t>(matches(a, b) + 1);
                    }
                }
            });
            // Each thread keeps the lists of its own range of records.
            in_parts(threads_, n_, [&](const uint64_t from, const uint64_t to) {
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
        for (uint64_t i = 0; i < n_; ++i) keys[i] = uint64_t{rec(i).start} << 32 | i;
        sort_keys(keys, threads_, text_size_ << 32);
        compare_sorted(64, true);
    }
    for (unsigned band = 0; band < slots_ / 2; ++band) {
        for (uint64_t i = 0; i < n_; ++i) {
            const uint16_t* s = &sig_[size_t(i) * slots_ + 2 * band];
            keys[i] = (uint64_t{s[0]} << 16 | s[1]) << 32 | i;
        }
        sort_keys(keys, threads_, UINT64_MAX);
        compare_sorted(32, false);
    }
}

uint32_t orderer::root(uint32_t a) {
    while (parent_[a] != a) {
        parent_[a] = parent_[parent_[a]];
        a = parent_[a];
    }
    return a;
}

// Greedy chaining: candidate pairs from the most worth down (start neighbours first at
// equal worth, then by record number) join two chain ends of different chains; the
// last record stays an end.
uint64_t orderer::chain() {
    // Each pair once, from the list of its lower record where both lists hold it.
    const auto listed_twice = [this](const uint32_t a, const uint32_t b) {
        if (b > a) return false;
        for (unsigned j = 0; j < KEEP; ++j)
            if (best_[size_t{b} * KEEP + j] == a) return true;
        return false;
    };
    size_t count = 0;
    for (uint64_t e = 0; e < best_.size(); ++e)
        count += best_[e] != NONE && !listed_twice(uint32_t(e / KEEP), best_[e]);
    std::vector<uint64_t> edges;
    edges.reserve(count);
    for (uint64_t a = 0; a < n_; ++a) {
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
        link_.assign(size_t(n_) * 2, NONE);
        parent_.resize(size_t(n_));
        for (uint64_t i = 0; i < n_; ++i) parent_[i] = uint32_t(i);
    }
    const uint32_t last = uint32_t(n_ - 1);
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
void orderer::join_ends() {
    std::vector<uint32_t> kept_best, ends;
    std::vector<uint8_t> kept_m;
    kept_best.swap(best_);
    kept_m.swap(best_m_);
    const unsigned min_matches = min_matches_;
    min_matches_ = 1;
    const uint32_t last = uint32_t(n_ - 1);
    std::vector<uint64_t> keys;
    for (unsigned round = 0; round < 8; ++round) {
        ends.clear();
        for (uint32_t a = 0; a < n_; ++a)
            if (free_ends(a) > (a == last ? 1 : 0)) ends.push_back(a);
        if (ends.size() < 2) break;
        best_.assign(size_t(n_) * KEEP, NONE);
        best_m_.assign(size_t(n_) * KEEP, 0);
        keys.resize(ends.size());
        for (unsigned slot = 0; slot < slots_; ++slot) {
            for (size_t i = 0; i < ends.size(); ++i) keys[i] = uint64_t{sig_[size_t{ends[i]} * slots_ + slot]} << 32 | ends[i];
            sort_keys(keys, threads_, UINT64_MAX);
            for (size_t p = 0; p < keys.size(); ++p) {
                for (size_t q = p + 1; q <= p + window_ && q < keys.size() && keys[q] >> 32 == keys[p] >> 32; ++q) {
                    const uint32_t a = uint32_t(keys[p]), b = uint32_t(keys[q]);
                    if (root(a) != root(b)) offer_pair(a, b, matches(a, b));
                }
            }
        }
        if (chain() == 0) break;
    }
    min_matches_ = min_matches;
    best_.swap(kept_best);
    best_m_.swap(kept_m);
}

}  // namespace

// The cost model: what an order saves, in bits. The gathered text of the order is read
// as an LZ compressor with a window of `reach` bytes would see it: one 8-byte shingle in
// 32, chosen by its content, is looked up among those seen before it within reach, and
// each found counts for 32 bytes that need not be stored again, less the bits of its
// distance, which a match pays for; each record right after the one before it in the
// text saves the index a jump. The gathered text is read in a
// fixed number of segments, each from an empty table, on as many threads as allowed.
uint64_t orderer::worth(const std::vector<uint32_t>& order) const {
    std::vector<uint64_t> first(SEGMENTS + 1, n_);
    uint64_t total = 0;
    for (uint64_t k = 0; k < n_; ++k) total += length(order[k]) + 1;
    uint64_t steps = 0;
    for (uint64_t k = 0, offset = 0, s = 0; k < n_; ++k) {
        while (s < SEGMENTS && offset >= total / SEGMENTS * s) first[s++] = k;
        offset += length(order[k]) + 1;
        if (k > 0 && follows_in_text(order[k - 1], order[k])) ++steps;
    }
    std::vector<uint64_t> found(SEGMENTS, 0);
    const uint64_t per_hit = (uint64_t{1} << SAMPLE_BITS) * o_.match_bits;
    const size_t parts = std::min<size_t>(threads_, 8);
    const art_status s = run_parts(parts, nullptr, [&](const size_t part) {
        std::vector<uint64_t> table(size_t{1} << TABLE_BITS);
        for (size_t segment = part; segment < SEGMENTS; segment += parts) {
            std::fill(table.begin(), table.end(), 0);
            uint64_t at = 1, hits = 0;  // hits in bits saved
            for (uint64_t k = first[segment]; k < first[segment + 1]; ++k) {
                const art_record r = rec(order[k]);
                const unsigned char* p = text_ + r.start;
                for (uint64_t j = 0; j + 8 <= r.end - r.start; ++j) {
                    uint64_t x;
                    std::memcpy(&x, p + j, 8);
                    const uint64_t h = x * 0x9E3779B97F4A7C15ULL;
                    if (h >> (64 - SAMPLE_BITS)) continue;
                    uint64_t& slot = table[(h >> (64 - SAMPLE_BITS - TABLE_BITS)) & ((size_t{1} << TABLE_BITS) - 1)];
                    const uint64_t print = (h >> 8 & 0xFFFFFF) << 40;
                    const uint64_t distance = at + j - (slot & POSITION_MASK);
                    if (slot != 0 && (slot & ~POSITION_MASK) == print && distance <= o_.reach)
                        hits += per_hit - std::min<uint64_t>(per_hit, bit_length(distance));
                    slot = print | ((at + j) & POSITION_MASK);
                }
                at += r.end - r.start + 1;
            }
            found[segment] = hits;
        }
        return ART_OK;
    }, [](size_t) {});
    if (!s.ok()) throw std::bad_alloc();
    uint64_t hits = 0;
    for (const uint64_t f : found) hits += f;
    return hits + steps * index_bits_;
}

// The records by their start in the text, the last one last.
void orderer::text_order(std::vector<uint32_t>& order) const {
    std::vector<uint64_t> keys(static_cast<size_t>(n_ - 1));
    for (uint64_t i = 0; i + 1 < n_; ++i) keys[i] = uint64_t{rec(i).start} << 32 | i;
    sort_keys(keys, threads_, text_size_ << 32);
    order.resize(static_cast<size_t>(n_));
    for (uint64_t i = 0; i + 1 < n_; ++i) order[i] = uint32_t(keys[i]);
    order[n_ - 1] = uint32_t(n_ - 1);
}

namespace {
struct fragment {
    uint32_t head, tail;  // in the direction it is laid out
    uint32_t first_record, first_start;  // the least record number and text offset in it
};
}  // namespace

// The chains laid out one after another: each in the direction that has more records
// right after the one before them in the text, then in the start order, else from its
// lower end; the chains by their first record in the start order (by_text false) or by
// their first byte in the text.
void orderer::chain_order(std::vector<uint32_t>& order, const bool by_text) const {
    const auto next_of = [this](const uint32_t at, const uint32_t from) {
        const uint32_t x = link_[size_t{at} * 2];
        return x != from ? x : link_[size_t{at} * 2 + 1];
    };
    std::vector<fragment> fragments;
    uint64_t ends = 0;
    for (uint32_t a = 0; a < n_; ++a) ends += unsigned(free_ends(a));
    fragments.reserve(size_t(ends / 2));
    fragment last_fragment{NONE, NONE, 0, 0};
    const uint32_t last = uint32_t(n_ - 1);
    std::vector<bool> seen(static_cast<size_t>(n_));
    for (uint32_t a = 0; a < n_; ++a) {
        if (seen[a] || link_[size_t{a} * 2 + 1] != NONE) continue;  // seen, or inside a chain
        fragment f{a, a, a, rec(a).start};
        int64_t forward = 0, forward_in_start = 0;
        bool has_last = a == last;
        seen[a] = true;
        for (uint32_t from = NONE, at = a, next = link_[size_t{a} * 2]; next != NONE;) {
            forward += int64_t(follows_in_text(at, next)) - int64_t(follows_in_text(next, at));
            forward_in_start += int64_t(uint64_t{at} + 1 == next) - int64_t(uint64_t{next} + 1 == at);
            f.tail = next;
            f.first_record = std::min(f.first_record, next);
            f.first_start = std::min(f.first_start, rec(next).start);
            has_last |= next == last;
            seen[next] = true;
            from = at;
            at = next;
            next = next_of(at, from);
        }
        if (forward == 0) forward = forward_in_start;  // a is the lower end: kept first on a tie
        if (has_last ? f.tail != last : forward < 0) std::swap(f.head, f.tail);
        if (has_last)
            last_fragment = f;
        else
            fragments.push_back(f);
    }
    std::sort(fragments.begin(), fragments.end(), [by_text](const fragment& x, const fragment& y) {
        return by_text && x.first_start != y.first_start ? x.first_start < y.first_start
                                                         : x.first_record < y.first_record;
    });
    fragments.push_back(last_fragment);
    order.clear();
    for (const fragment& f : fragments) {
        for (uint32_t from = NONE, at = f.head;;) {
            order.push_back(at);
            if (at == f.tail) break;
            const uint32_t next = next_of(at, from);
            from = at;
            at = next;
        }
    }
}

// The base order with only the records moved that have no candidate as good as their
// best within reach of them, each to right after that best one (before it, for the last
// record); the records moved to one place follow it in record order.
void orderer::move_order(const std::vector<uint32_t>& base, std::vector<uint32_t>& order) {
    uint32_t offset = 0;  // the gathered text is as long as the text: below 2^32 bytes
    for (uint64_t k = 0; k < n_; ++k) {
        at_[base[k]] = offset;
        offset += uint32_t(length(base[k]) + 1);
    }
    std::vector<uint32_t>& target = target_;
    const uint32_t last = uint32_t(n_ - 1);
    for (uint32_t b = 0; b < n_; ++b) {
        target[b] = NONE;
        if (b == last) continue;
        uint64_t top = 0, near = 0;
        uint32_t to = NONE;
        for (unsigned k = 0; k < KEEP && best_[size_t{b} * KEEP + k] != NONE; ++k) {
            const uint32_t a = best_[size_t{b} * KEEP + k];
            const uint64_t c = content(a, b, best_m_[size_t{b} * KEEP + k]);
            if (c > top) {
                top = c;
                to = a;
            }
            const uint64_t gap = at_[a] > at_[b] ? at_[a] - at_[b] : at_[b] - at_[a];  // no wrap: see above
            if (gap <= o_.reach) near = std::max(near, c);
        }
        // A move costs up to three jumps in the index.
        if (to != NONE && top > near + 3 * index_bits_) target[b] = to;
    }
    // Cycles of targets stay where the least record of the cycle is.
    std::vector<uint8_t> state(static_cast<size_t>(n_), 0);  // 1 on the current walk, 2 done
    for (uint32_t b = 0; b < n_; ++b) {
        uint32_t x = b;
        while (x != NONE && state[x] == 0) {
            state[x] = 1;
            x = target[x];
        }
        uint32_t least = NONE;
        if (x != NONE && state[x] == 1) {
            least = x;
            for (uint32_t y = target[x]; y != x; y = target[y]) least = std::min(least, y);
        }
        for (x = b; x != NONE && state[x] == 1; x = target[x]) state[x] = 2;
        if (least != NONE) target[least] = NONE;
    }
    // The moved records of each place, in record order: first[t] .. first[t + 1].
    std::vector<uint32_t> first(static_cast<size_t>(n_) + 1, 0), moved;
    for (uint32_t b = 0; b < n_; ++b)
        if (target[b] != NONE) ++first[target[b] + 1];
    for (uint64_t t = 0; t < n_; ++t) first[t + 1] += first[t];
    moved.resize(first[n_]);
    {
        std::vector<uint32_t> fill(first.begin(), first.end() - 1);
        for (uint32_t b = 0; b < n_; ++b)
            if (target[b] != NONE) moved[fill[target[b]]++] = b;
    }
    order.clear();
    std::vector<uint32_t> stack;
    const auto put_moved_after = [&](const uint32_t root) {
        for (uint32_t k = first[root + 1]; k > first[root]; --k) stack.push_back(moved[k - 1]);
        while (!stack.empty()) {
            const uint32_t x = stack.back();
            stack.pop_back();
            order.push_back(x);
            for (uint32_t k = first[x + 1]; k > first[x]; --k) stack.push_back(moved[k - 1]);
        }
    };
    for (uint64_t k = 0; k < n_; ++k) {
        const uint32_t x = base[k];
        if (target[x] != NONE) continue;
        if (x != last) order.push_back(x);
        put_moved_after(x);
        if (x == last) order.push_back(x);
    }
}

order_result orderer::run(unsigned char* out) {
    find_candidates();
    // The signatures stay for the later rounds only where they fit the memory bound.
    const bool rounds = n_ <= ROUNDS_UP_TO;
    if (!rounds) std::vector<uint16_t>().swap(sig_);
    chain();
    if (rounds) join_ends();
    std::vector<uint16_t>().swap(sig_);
    std::vector<uint32_t>().swap(parent_);
    at_.resize(static_cast<size_t>(n_));
    target_.resize(static_cast<size_t>(n_));

    // The orders weighed: the start; the text's; the chains, laid out two ways; the best
    // of the start and the text's with the records moved that gain by it.
    std::vector<uint32_t> best_order(static_cast<size_t>(n_)), order;
    order.reserve(static_cast<size_t>(n_));
    for (uint64_t i = 0; i < n_; ++i) best_order[i] = uint32_t(i);
    const uint64_t start_worth = worth(best_order);
    uint64_t best = start_worth;
    // Fingerprints of the orders weighed: an order made twice is weighed once.
    const auto fingerprint = [](const std::vector<uint32_t>& o) {
        uint64_t h = 0;
        for (const uint32_t x : o) h = mix64(h + x);
        return h;
    };
    std::vector<uint64_t> weighed{fingerprint(best_order)};
    const auto weigh = [&]() {
        const uint64_t f = fingerprint(order);
        if (std::find(weighed.begin(), weighed.end(), f) != weighed.end()) return;
        weighed.push_back(f);
        const uint64_t w = worth(order);
        if (w > best) {
            best = w;
            best_order.swap(order);
        }
    };
    if (o_.text_neighbours) {
        text_order(order);
        weigh();
    }
    std::vector<uint32_t> base = best_order;
    move_order(base, order);
    std::vector<uint32_t>().swap(base);
    weigh();
    for (const bool by_text : {false, true}) {
        if (by_text && !o_.text_neighbours) break;
        chain_order(order, by_text);
        weigh();
    }

    order_result result{0, false, 0, 0.0};
    for (uint64_t k = 0; k < n_; ++k) {
        std::memcpy(out + k * ART_RECORD_SIZE, index_ + uint64_t{best_order[k]} * ART_RECORD_SIZE, ART_RECORD_SIZE);
        result.moved += best_order[k] != k;
    }
    result.changed = best > start_worth;
    result.estimated_gain = double(best - start_worth) / 8.0;
    return result;
}

order_result order_articles(const unsigned char* text, const uint64_t text_size, const unsigned char* index,
                            const uint64_t n, unsigned char* out, const order_options& options) {
    order_result result{0, false, 0, 0.0};
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(index, i);
        if (r.start > r.end || r.end > text_size) {
            result.error = EINVAL;
            return result;
        }
    }
    if (n < 3) {
        if (n > 0) std::memcpy(out, index, size_t(n) * ART_RECORD_SIZE);
        return result;
    }
    // Chain edges are numbered KEEP per record in 32 bits.
    if (n >= UINT32_MAX / KEEP) {
        result.error = ENOMEM;
        return result;
    }
    try {
        orderer o(text, text_size, index, n, options);
        return o.run(out);
    } catch (const std::bad_alloc&) {
        result.error = ENOMEM;
        return result;
    }
}

#include "order/orders.h"

#include "order/features.h"

#include <algorithm>

namespace art::ordering {

namespace {

// Sorts items by less, a total order that agrees with their keys' order, split in place
// by key into ranges of values, each sorted on a thread of its own.
template <typename Item, typename Less>
void sort_by_ranges(std::vector<Item>& items, const unsigned threads, Less&& less) {
    std::vector<Item*> bounds{items.data()};
    const unsigned parts = items.size() < PART_MIN ? 1 : std::max(1u, std::min(threads, 64u));
    for (unsigned k = 1; k < parts; ++k) {
        const uint64_t pivot = UINT64_MAX / parts * k;
        bounds.push_back(std::partition(bounds.back(), items.data() + items.size(),
                                        [pivot](const Item& v) { return v.key < pivot; }));
    }
    bounds.push_back(items.data() + items.size());
    const art_status s = run_parts(parts, nullptr,
                                   [&](const size_t k) {
                                       std::sort(bounds[k], bounds[k + 1], less);
                                       return ART_OK;
                                   },
                                   [](size_t) {});
    if (!s.ok()) throw std::bad_alloc();
}

struct keyed {
    uint64_t key;
    uint32_t record;
    uint32_t rank;
};

struct fragment {
    uint32_t head, tail;  // in the direction it is laid out
    uint32_t first_record, first_start;  // the least record number and text offset in it
};

}  // namespace

void leading_order(const records& r, const record_order& base, record_order& order) {
    std::vector<keyed> items;
    items.reserve(size_t(r.n - 1));
    const uint32_t last = uint32_t(r.n - 1);
    for (uint64_t k = 0; k < r.n; ++k) {
        const uint32_t i = base.empty() ? uint32_t(k) : base[k];
        if (i != last) items.push_back({leading_key(r, i), i, uint32_t(k)});
    }
    sort_by_ranges(items, r.threads, [&r](const keyed& a, const keyed& b) {
        if (a.key != b.key) return a.key < b.key;
        const int c = leading_compare(r, a.record, b.record);
        return c != 0 ? c < 0 : a.rank < b.rank;
    });
    order.resize(size_t(r.n));
    for (uint64_t i = 0; i + 1 < r.n; ++i) order[i] = items[i].record;
    order[r.n - 1] = uint32_t(r.n - 1);
}

void leading_groups(const records& r, const record_order& base, const unsigned group_bytes, record_order& order) {
    const unsigned shift = 8 * (8 - std::max(1u, std::min(8u, group_bytes)));
    std::vector<keyed> items;
    items.reserve(size_t(r.n - 1));
    const uint32_t last = uint32_t(r.n - 1);
    for (uint64_t k = 0; k < r.n; ++k)
        if (base[k] != last) items.push_back({leading_key(r, base[k]) >> shift << shift, base[k], uint32_t(k)});
    sort_by_ranges(items, r.threads,
                   [](const keyed& a, const keyed& b) { return a.key != b.key ? a.key < b.key : a.rank < b.rank; });
    order.resize(size_t(r.n));
    for (uint64_t i = 0; i + 1 < r.n; ++i) order[i] = items[i].record;
    order[r.n - 1] = last;
}

void chain_order(const records& r, const chains& c, const chain_layout layout, record_order& order) {
    const uint64_t n = r.n;
    std::vector<fragment> fragments;
    uint64_t ends = 0;
    for (uint32_t a = 0; a < n; ++a) ends += unsigned(c.free_ends(a));
    fragments.reserve(size_t(ends / 2));
    fragment last_fragment{NONE, NONE, 0, 0};
    const uint32_t last = uint32_t(n - 1);
    std::vector<bool> seen(static_cast<size_t>(n));
    for (uint32_t a = 0; a < n; ++a) {
        if (seen[a] || c.link[size_t{a} * 2 + 1] != NONE) continue;  // seen, or inside a chain
        fragment f{a, a, a, r.rec(a).start};
        int64_t forward = 0, forward_in_start = 0;
        bool has_last = a == last;
        seen[a] = true;
        for (uint32_t from = NONE, at = a, next = c.link[size_t{a} * 2]; next != NONE;) {
            forward += int64_t(r.follows_in_text(at, next)) - int64_t(r.follows_in_text(next, at));
            forward_in_start += int64_t(uint64_t{at} + 1 == next) - int64_t(uint64_t{next} + 1 == at);
            f.tail = next;
            f.first_record = std::min(f.first_record, next);
            f.first_start = std::min(f.first_start, r.rec(next).start);
            has_last |= next == last;
            seen[next] = true;
            from = at;
            at = next;
            next = c.next(at, from);
        }
        if (forward == 0) forward = forward_in_start;  // a is the lower end: kept first on a tie
        const bool reverse = has_last ? f.tail != last
                             : layout == chain_layout::by_leading ? leading_less(r, f.tail, f.head)
                                                                  : forward < 0;
        if (reverse) std::swap(f.head, f.tail);
        if (has_last)
            last_fragment = f;
        else
            fragments.push_back(f);
    }
    std::sort(fragments.begin(), fragments.end(), [&r, layout](const fragment& x, const fragment& y) {
        if (layout == chain_layout::by_leading) return leading_less(r, x.head, y.head);
        return layout == chain_layout::by_text && x.first_start != y.first_start ? x.first_start < y.first_start
                                                                                 : x.first_record < y.first_record;
    });
    fragments.push_back(last_fragment);
    order.clear();
    order.reserve(size_t(n));
    for (const fragment& f : fragments) {
        for (uint32_t from = NONE, at = f.head;;) {
            order.push_back(at);
            if (at == f.tail) break;
            const uint32_t next = c.next(at, from);
            from = at;
            at = next;
        }
    }
}

}  // namespace art::ordering

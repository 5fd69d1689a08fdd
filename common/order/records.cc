#include "order/records.h"

#include <algorithm>

namespace art::ordering {

void sort_keys(std::vector<uint64_t>& keys, const unsigned threads, const uint64_t limit) {
    std::vector<uint64_t*> bounds{keys.data()};
    const unsigned parts = keys.size() < PART_MIN ? 1 : std::max(1u, std::min(threads, 64u));
    for (unsigned k = 1; k < parts; ++k) {
        const uint64_t pivot = limit / parts * k;
        bounds.push_back(std::partition(bounds.back(), keys.data() + keys.size(),
                                        [pivot](const uint64_t v) { return v < pivot; }));
    }
    bounds.push_back(keys.data() + keys.size());
    const art_status s = run_parts(parts, nullptr,
                                   [&](const size_t k) {
                                       std::sort(bounds[k], bounds[k + 1]);
                                       return ART_OK;
                                   },
                                   [](size_t) {});
    if (!s.ok()) throw std::bad_alloc();
}

void text_order(const records& r, record_order& order) {
    std::vector<uint64_t> keys(static_cast<size_t>(r.n - 1));
    for (uint64_t i = 0; i + 1 < r.n; ++i) keys[i] = uint64_t{r.rec(i).start} << 32 | i;
    sort_keys(keys, r.threads, r.text_size << 32);
    order.resize(static_cast<size_t>(r.n));
    for (uint64_t i = 0; i + 1 < r.n; ++i) order[i] = uint32_t(keys[i]);
    order[r.n - 1] = uint32_t(r.n - 1);
}

}  // namespace art::ordering

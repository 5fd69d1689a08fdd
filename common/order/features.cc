#include "order/features.h"

#include <algorithm>
#include <cstring>

namespace art::ordering {

namespace {

void sign(const records& r, const uint64_t i, const unsigned shingle, const unsigned slots, uint16_t* s) {
    const unsigned char* p = r.bytes(i);
    const uint64_t len = r.length(i);
    // Which slots hold a hash: any value, the largest too, may be a shingle's.
    uint64_t least[MAX_SLOTS];
    uint32_t filled = 0;
    const unsigned shift = 64 - (slots == 32 ? 5 : 4);
    const auto keep = [&](const uint64_t h) {
        const unsigned k = unsigned(h >> shift);
        if ((filled >> k & 1) == 0 || h < least[k]) least[k] = h;
        filled |= uint32_t{1} << k;
    };
    if (len >= shingle) {
        const uint64_t mask = shingle == 8 ? UINT64_MAX : (uint64_t{1} << (8 * shingle)) - 1;
        uint64_t x = 0;
        for (uint64_t j = 0; j + 1 < shingle; ++j) x = x << 8 | p[j];
        for (uint64_t j = shingle - 1; j < len; ++j) {
            x = (x << 8 | p[j]) & mask;
            keep(mix64(x * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL));
        }
    } else if (len > 0) {
        uint64_t x = len << 56;
        for (uint64_t j = 0; j < len; ++j) x = x << 8 | p[j];
        keep(mix64(x * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL));
    } else {
        std::fill(s, s + slots, uint16_t{0});
        return;
    }
    for (unsigned k = 0; k < slots; ++k) {
        unsigned t = 0;
        while ((filled >> ((k + t) % slots) & 1) == 0) ++t;
        s[k] = static_cast<uint16_t>(mix64(least[(k + t) % slots] + t * 0xA24BAED4963EE407ULL) >> 48);
    }
}

}  // namespace

void sign_all(const records& r, const unsigned shingle, const unsigned slots, signatures& out) {
    out.slots = slots;
    out.values.resize(size_t(r.n) * slots);
    in_parts(r.threads, r.n, [&](const uint64_t first, const uint64_t last) {
        for (uint64_t i = first; i < last; ++i) sign(r, i, shingle, slots, &out.values[size_t(i) * slots]);
    });
}

uint64_t leading_key(const records& r, const uint32_t i) {
    const unsigned char* p = r.bytes(i);
    const uint64_t len = std::min<uint64_t>(r.length(i), 8);
    uint64_t key = 0;
    for (uint64_t j = 0; j < 8; ++j) key = key << 8 | (j < len ? p[j] : 0);
    return key;
}

int leading_compare(const records& r, const uint32_t a, const uint32_t b) {
    const uint64_t la = std::min<uint64_t>(r.length(a), LEADING_BYTES), lb = std::min<uint64_t>(r.length(b), LEADING_BYTES);
    const int c = std::min(la, lb) == 0 ? 0 : std::memcmp(r.bytes(a), r.bytes(b), size_t(std::min(la, lb)));
    if (c != 0) return c;
    return la == lb ? 0 : la < lb ? -1 : 1;
}

}  // namespace art::ordering

#include "article_split.h"

#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace art {

namespace {

// Closes the open article at the delimiter or text end at offset end.
inline unsigned char* close_article(article_splitter* s, const uint64_t end, unsigned char* record) {
    assert(end < ART_TEXT_LIMIT);
    encode_record({static_cast<uint32_t>(s->start), static_cast<uint32_t>(end)}, record);
    s->start = end + 1;
    ++s->n;
    return record + ART_RECORD_SIZE;
}

// Closes an article at every delimiter in block[from, size) with memchr; returns the end
// of the records written.
unsigned char* split_scalar(article_splitter* s, const unsigned char* block, const size_t from,
                            const size_t size, unsigned char* out) {
    const unsigned char* p = block + from;
    const unsigned char* const stop = block + size;
    while (const void* hit = std::memchr(p, ART_DELIMITER, static_cast<size_t>(stop - p))) {
        const auto* const delim = static_cast<const unsigned char*>(hit);
        out = close_article(s, s->pos + static_cast<uint64_t>(delim - block), out);
        p = delim + 1;
    }
    return out;
}

// Asks for the bytes a page ahead of the scan, which the hardware's own prefetch, stopping
// at page boundaries, would fetch late.
inline void prefetch_ahead(const unsigned char* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p + 4096);
#else
    (void)p;
#endif
}

}  // namespace

// Stores the record {start, end} at out: one 8-byte store on a little-endian host.
inline void store_record(unsigned char* out, const uint32_t start, const uint32_t end) {
    if (ART_HOST_LITTLE_ENDIAN) {
        const uint64_t both = uint64_t{start} | uint64_t{end} << 32;
        std::memcpy(out, &both, 8);
    } else {
        encode_record({start, end}, out);
    }
}

size_t split_block(article_splitter* s, const unsigned char* block, const size_t size,
                   unsigned char* records) {
    unsigned char* out = records;
    size_t at = 0;
#if defined(__SSE2__)
    // 64 bytes at a time: a mask of their delimiters, one record per set bit. Four are
    // stored whatever the mask holds, so that no branch depends on how many it holds up to
    // four; a store past its count lands just past the records made (a round with fewer
    // than four leaves room for them), to be overwritten or ignored. More take a loop.
    // Offsets fit in 32 bits (the caller keeps the text below ART_TEXT_LIMIT). The scan
    // state stays in locals, which the stores of the records cannot alias.
    const __m128i delimiter = _mm_set1_epi8(static_cast<char>(ART_DELIMITER));
    const auto mask16 = [&](const unsigned char* p) {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), delimiter))));
    };
    auto start = static_cast<uint32_t>(s->start);
    const uint64_t pos = s->pos;
    for (; at + 64 <= size; at += 64) {
        const unsigned char* const p = block + at;
        prefetch_ahead(p);
        const uint64_t mask = mask16(p) | mask16(p + 16) << 16 | mask16(p + 32) << 32 | mask16(p + 48) << 48;
        if (mask == 0) continue;  // most rounds of a text of long articles
        const auto base = static_cast<uint32_t>(pos + at);
        uint64_t left = mask;
        uint32_t from = start;
        // The record of the lowest delimiter left, stored where out points; out moves past
        // it only when there was one. The top bit stands in once the mask is spent (ctz of
        // 0 is undefined).
        const auto store_lowest = [&] {
            const uint32_t end = base + static_cast<uint32_t>(__builtin_ctzll(left | uint64_t{1} << 63));
            store_record(out, from, end);
            out += left != 0 ? ART_RECORD_SIZE : 0;
            from = end + 1;
            left &= left - 1;
        };
        store_lowest();
        store_lowest();
        store_lowest();
        store_lowest();
        while (left != 0) store_lowest();
        start = base + 64 - static_cast<uint32_t>(__builtin_clzll(mask));
    }
    s->start = start;
    s->n += static_cast<uint64_t>(out - records) / ART_RECORD_SIZE;
#endif
    out = split_scalar(s, block, at, size, out);
    s->pos += size;
    return static_cast<size_t>(out - records) / ART_RECORD_SIZE;
}

void split_end(article_splitter* s, unsigned char* record) { close_article(s, s->pos, record); }

}  // namespace art

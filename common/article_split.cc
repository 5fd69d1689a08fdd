#include "article_split.h"

#include <cassert>
#include <cstring>

static void close_article(article_splitter* s, const uint64_t end, unsigned char* record) {
    assert(end < ART_TEXT_LIMIT);
    encode_record({static_cast<uint32_t>(s->start), static_cast<uint32_t>(end)}, record);
    s->start = end + 1;
    ++s->n;
}

size_t split_block(article_splitter* s, const unsigned char* block, const size_t size,
                   unsigned char* records) {
    size_t made = 0;
    const unsigned char* p = block;
    const unsigned char* const stop = block + size;
    while (const void* hit = std::memchr(p, ART_DELIMITER, static_cast<size_t>(stop - p))) {
        const auto* const delim = static_cast<const unsigned char*>(hit);
        close_article(s, s->pos + static_cast<uint64_t>(delim - block),
                      records + ART_RECORD_SIZE * made++);
        p = delim + 1;
    }
    s->pos += size;
    return made;
}

void split_end(article_splitter* s, unsigned char* record) { close_article(s, s->pos, record); }

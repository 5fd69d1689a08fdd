// Splitting a text into articles as it streams past, one block at a time.
#ifndef ART_ARTICLE_SPLIT_H
#define ART_ARTICLE_SPLIT_H

#include "art_index.h"

#include <cstddef>

namespace art {

// Where the scan stands: the open article begins at start; pos bytes were seen; n
// records were made.
struct article_splitter {
    uint64_t start;
    uint64_t pos;
    uint64_t n;
};

// Encodes into records the record of every article that a delimiter in block closes and
// returns how many; records must have room for size records. The caller keeps pos + size
// below ART_TEXT_LIMIT.
size_t split_block(article_splitter* s, const unsigned char* block, size_t size,
                   unsigned char* records);

// Encodes the record of the last article, which the end of the text closes.
void split_end(article_splitter* s, unsigned char* record);

}  // namespace art

#endif

// A new order for an index's records that puts articles of similar content next to each
// other, so that a compressor of the gathered text finds more repetition, without
// paying for it in the compressed index more than it gains in the text.
#ifndef ART_ARTICLE_ORDER_H
#define ART_ARTICLE_ORDER_H

#include <cstdint>

struct order_options {
    // Threads for the signatures, sorts and comparisons; the order found is the same for
    // any number.
    unsigned threads = 1;
    // Bytes per shingle: every shingle of an article is hashed, however short it is.
    unsigned shingle = 8;
    // MinHash slots per article (16 or 32); 0 takes 32 up to 1,048,576 records, else 16,
    // so that the signatures fit the memory bound.
    unsigned slots = 0;
    // Neighbours compared on each side of a record in each band's sorted order.
    unsigned window = 4;
    // Slots that must agree before two articles count as alike.
    unsigned min_matches = 2;
    // Bits that a byte shared with the article next to it is taken to save.
    unsigned match_bits = 2;
    // Records that follow each other in the text are candidate neighbours, and the index
    // is counted: a record right after the one before it in the text costs next to
    // nothing in a compressed index, a jump about log2(records) + 8 bits.
    bool text_neighbours = true;
    // How far back in the gathered text a compressor is taken to find shared bytes.
    uint64_t reach = uint64_t{4} << 20;
};

struct order_result {
    int error;               // 0, ENOMEM, or EINVAL for a record outside the text
    bool changed;            // false: out holds the start order
    uint64_t moved;          // records not at their start position
    double estimated_gain;   // bytes less to compress, by the cost model
};

// Writes into out (n * 8 bytes, not overlapping index) a new order of exactly the n
// records of index (as stored), the last record last, grouping articles of text with
// similar content. The cost model counts, for each pair of neighbours, the bytes they
// share (estimated from MinHash signatures) and the index's cost of the jump between
// them; the start order is kept where no order found beats it by that model. Records are
// ranges [start, end) of the text; any may be empty or equal to another. The same bytes
// in give the same bytes out whatever the number of threads. Working memory, besides the
// inputs: at most 64 MiB plus 64 bytes per record. Prints nothing.
order_result order_articles(const unsigned char* text, uint64_t text_size, const unsigned char* index, uint64_t n,
                            unsigned char* out, const order_options& options = order_options());

#endif

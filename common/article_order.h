// A new order for an index's records that puts articles of similar content next to each
// other, so that a compressor of the gathered text finds more repetition, judged by a
// real compressor: of the orders made, the one whose gathered text and index zstd
// compresses smallest is kept, and the start order wherever none beats it by a margin.
//
// The ordering runs in stages (common/order/):
//   features    a MinHash signature of each article's shingles; its leading bytes
//   candidates  likely neighbours by bands of the signatures, without comparing all
//               pairs, and the chains that the best of them make
//   orders      the candidate orders: the text's, the sort by leading bytes, the chains
//               laid out by their first record, by the text or by leading bytes, groups
//               of like leading bytes ordered inside by the chains, and the sort by
//               leading bytes with its ties in the chains' order
//   judge       zstd of each order's gathered text and index, whole or of a fixed sample
//               of the articles, with fixed parameters
#ifndef ART_ARTICLE_ORDER_H
#define ART_ARTICLE_ORDER_H

#include <cstdint>

struct order_options {
    // Threads for every stage; the order found and the sizes judged are the same for any
    // number.
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
    // Not read: the judge measures what a model of the compressor once estimated. Kept,
    // where they stood, for tools built against 1.1.
    unsigned match_bits = 2;
    // Records that follow each other in the text are candidate neighbours, and the text's
    // own order is a candidate order.
    bool text_neighbours = true;
    uint64_t reach = uint64_t{4} << 20;  // not read, as match_bits
    // No chains are made above this many records, nor where the articles average fewer
    // than chain_mean_bytes bytes (their cost goes with the records, about 7 us each,
    // and short articles gain next to nothing by them): the orders left are the text's
    // and by leading bytes.
    uint64_t chains_up_to = uint64_t{1} << 23;
    uint64_t chain_mean_bytes = 1024;

    // The judge: zstd at this level, with a window of 2^judge_window_log bytes (23: 8 MiB,
    // as zstd -19's), on the whole gathered text up to 4 MiB, else on a fixed sample of
    // the articles of judge_sample bytes or a third of the text, whichever is smaller
    // (judge_sample 0: always the whole text), with the window made smaller in the
    // sample's proportion: the judge's work for all orders is about two passes of zstd.
    int judge_level = 3;
    unsigned judge_window_log = 23;
    uint64_t judge_sample = uint64_t{32} << 20;
    // The start order is kept unless an order is judged smaller than it by more than this
    // fraction of its size. A negative margin, for measurements only, lets the smallest
    // candidate win even where it is judged larger than the start by less than that.
    double margin = 0.01;
    // Candidate orders made and judged (a mask of order_kind bits); the start is always.
    unsigned kinds = ~0u;

    // Called on the calling thread as each step begins, where not null: the step's name
    // and, while orders are judged, how many have been of how many.
    void (*progress)(void* context, const char* step, unsigned done, unsigned total) = nullptr;
    void* progress_context = nullptr;
};

// The candidate orders, as bits of order_options::kinds and values of order_result::kind.
enum order_kind : unsigned {
    ORDER_START = 0,                  // the order given (always judged, never a bit)
    ORDER_TEXT = 1u << 0,             // by start in the text
    ORDER_LEADING = 1u << 1,          // by leading bytes
    ORDER_CHAINS = 1u << 2,           // chains by their first record
    ORDER_CHAINS_IN_TEXT = 1u << 3,   // chains by their first byte in the text
    ORDER_CHAINS_BY_LEADING = 1u << 4,  // chains by the leading bytes of their first record
    ORDER_GROUPS_OF_CHAINS = 1u << 5,   // groups of like leading bytes, the chains' order inside
    ORDER_LEADING_THEN_CHAINS = 1u << 6,  // by leading bytes, ties in the chains' order
};

// The name of an order_kind, as the program prints it.
const char* order_kind_name(unsigned kind);

struct order_result {
    int error;               // 0, ENOMEM, or EINVAL for a record outside the text or a setting zstd refuses
    bool changed;            // false: out holds the start order
    uint64_t moved;          // records not at their start position
    double estimated_gain;   // before - after: bytes less, as the judge measured them
    unsigned kind;           // the order in out (ORDER_START where unchanged)
    unsigned judged;         // orders judged, the start included
    uint64_t before, after;  // the judge's sizes, in bytes, of the start and of the order in out
    uint64_t judged_bytes;   // bytes of gathered text that the judge compressed for each order
    uint64_t total_bytes;    // bytes of the whole gathered text
    unsigned window_log;     // the judge's window on the bytes judged: smaller on a sample
};

// Writes into out (n * 8 bytes, not overlapping index) a new order of exactly the n
// records of index (as stored), the last record last, grouping articles of text with
// similar content; the start order is kept where the judge finds no order smaller by
// the margin, so the order kept is never one the judge measured larger than the start.
// Records are ranges [start, end) of the text; any may be empty or equal to another.
// The same bytes in give the same bytes out, and the same sizes, whatever the number of
// threads. Working memory, besides the inputs: at most 64 MiB plus 64 bytes per record,
// plus zstd's state for each thread that judges (about 12 MiB at level 3 with an 8 MiB
// window). Prints nothing.
order_result order_articles(const unsigned char* text, uint64_t text_size, const unsigned char* index, uint64_t n,
                            unsigned char* out, const order_options& options = order_options());

#endif

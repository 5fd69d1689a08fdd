// The bounds check: which indexes gather and scatter may follow without reading outside
// the loaded text. Offsets are summed in 64 bits, so no record can wrap past the check.
#ifndef ART_INDEX_CHECK_H
#define ART_INDEX_CHECK_H

#include "art_index.h"

#include <string>

enum class breach_kind { none, start_after_end, past_end };

// The first record of an index that must be refused, and why; kind none when there is none.
struct index_breach {
    breach_kind kind;
    uint64_t position;
    art_record record;
};

// Why gather refuses a record whose chunk is length bytes long (exact_chunk_length), or
// none: it needs start <= end and the chunk inside a text of text_size bytes.
inline breach_kind gather_breach(const art_record r, const uint64_t length, const uint64_t text_size) {
    if (r.start > r.end) return breach_kind::start_after_end;
    return r.start + length > text_size ? breach_kind::past_end : breach_kind::none;
}

// For gather: the first record that gather_breach refuses.
index_breach check_gather_index(const unsigned char* index, uint64_t n, uint64_t text_size);

// For scatter: every record has start <= end, and the chunks of records 0 to n - 1, back
// to back, fit in a gathered text of gathered_size bytes.
index_breach check_scatter_index(const unsigned char* index, uint64_t n, uint64_t gathered_size);

// One line for a diagnostic, e.g. "record 3 (start 10, end 4): start is past end";
// source names the file that the chunks are taken from, source_size its size.
std::string describe_breach(const index_breach& b, const char* source, uint64_t source_size);

#endif

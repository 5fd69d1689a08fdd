// The round trip, proven before it is run: whether gather then scatter with an index give
// a text back whole, whatever bytes it holds. They do exactly when the index passes
// gather's check against the text and the chunks, each at its record's start, together
// cover every byte of it; overlaps are harmless, and records need not be whole articles.
#ifndef ART_INDEX_COVERAGE_H
#define ART_INDEX_COVERAGE_H

#include "index_check.h"

#include <cstdint>
#include <string>

struct coverage_result {
    int error;                          // 0, or ENOMEM when the working memory could not be had
    index_breach breach;                // gather's refusal; kind none when the index passes it
    uint64_t first_gap, first_gap_end;  // the first run of bytes that no chunk covers, [from, end)
    uint64_t uncovered;                 // bytes that no chunk covers, in all
    uint64_t gaps;                      // runs of them
    bool whole() const { return error == 0 && breach.kind == breach_kind::none && uncovered == 0; }
};

// Checks records 0 to n - 1 of index against a text of text_size bytes (below
// ART_TEXT_LIMIT). The gaps are only looked for once the index passes gather's check.
// Cost: linear in the records plus text_size / 64, with no comparison sort; three passes
// over the index. Memory: none for an index whose starts never decrease (the builder's);
// otherwise 4 bytes per record plus 768 KiB.
coverage_result check_coverage(const unsigned char* index, uint64_t n, uint64_t text_size);

// One line for a diagnostic about the gaps of r, whose uncovered is not 0, e.g.
// "bytes 1200-1259 of TEXT are in no record: they would come back as zeros (60 bytes in
// 1 range in all)"; text names the text.
std::string describe_gaps(const coverage_result& r, const char* text);

#endif

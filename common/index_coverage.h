// The round trip, proven before it is run: whether gather then scatter with an index give
// a text back whole, whatever bytes it holds. They do exactly when the index passes
// gather's check against the text and the chunks, each at its record's start, together
// cover every byte of it; overlaps are harmless, and records need not be whole articles.
#ifndef ART_INDEX_COVERAGE_H
#define ART_INDEX_COVERAGE_H

#include "index_check.h"

#include <cstdint>
#include <memory>
#include <string>

struct coverage_result {
    int error;                          // 0, or ENOMEM when the working memory could not be had
    index_breach breach;                // gather's refusal; kind none when the index passes it
    uint64_t first_gap, first_gap_end;  // the first run of bytes that no chunk covers, [from, end)
    uint64_t uncovered;                 // bytes that no chunk covers, in all
    uint64_t gaps;                      // runs of them
    bool whole() const { return error == 0 && breach.kind == breach_kind::none && uncovered == 0; }
};

// The check fed an index as it is read, whole records at a time, in index order: one
// pass over the index, which need not be held. The gaps are only looked for once the
// index passes gather's check. Cost: linear in the records plus text_size / 64, with no
// comparison sort. Memory, taken as the records come: 4.1 bytes per record whose chunk is
// not empty, plus at most 256 bytes per 64 KiB of text (16 MiB for 4 GiB) and 2 MiB.
class coverage_check {
public:
    // Against a text of text_size bytes (below ART_TEXT_LIMIT).
    explicit coverage_check(uint64_t text_size);
    ~coverage_check();
    coverage_check(const coverage_check&) = delete;
    coverage_check& operator=(const coverage_check&) = delete;

    // The next count records of the index, as stored (ART_RECORD_SIZE bytes each).
    void add(const unsigned char* records, uint64_t count);
    // The verdict, once the index's records are all added (the last one added is its
    // last); call once.
    coverage_result finish();

private:
    struct lists;
    void take(art_record r, bool last);

    uint64_t text_size_;
    uint64_t position_ = 0;  // records added
    art_record pending_{0, 0};  // the last record added: the index's last, unless more come
    coverage_result result_{0, {breach_kind::none, 0, {0, 0}}, 0, 0, 0, 0};
    std::unique_ptr<lists> lists_;
};

// The check of records 0 to n - 1 of an index held whole, on up to threads threads (at
// most 64; 1: on the calling thread alone), its records cut into that many parts. The
// result is the same whatever the number. Memory: 4 bytes per record whose chunk is not
// empty, plus 8 bytes per 64 KiB of text (512 KiB for 4 GiB) for each thread and 4 once.
coverage_result check_coverage(const unsigned char* index, uint64_t n, uint64_t text_size, unsigned threads = 1);

// One line for a diagnostic about the gaps of r, whose uncovered is not 0, e.g.
// "bytes 1200-1259 of TEXT are in no record: they would come back as zeros (60 bytes in
// 1 range in all)"; text names the text.
std::string describe_gaps(const coverage_result& r, const char* text);

#endif

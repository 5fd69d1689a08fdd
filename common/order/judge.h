// Stage 4 of the ordering: the judge, a real compressor. The size of an order is what
// zstd, with fixed parameters, makes of its gathered text and of its index.
//
// Up to `sample` bytes of text, the whole gathered text is judged. Above, a fixed sample
// of the articles, the same for every order (chosen by a hash of the record number, a
// share s of the records), is gathered in the order's order and judged with a window
// s times the size: it then reaches as many articles back as the full window does in
// the whole text. Either is cut into segments of 4 windows in the judged bytes, each
// compressed on its own, its text and its records in two frames, so that the sizes are
// the same on any number of threads.
#ifndef ART_ORDER_JUDGE_H
#define ART_ORDER_JUDGE_H

#include "order/records.h"

#include <cstdint>
#include <vector>

namespace art::ordering {

struct judge_settings {
    int level = 3;                          // zstd's compression level
    unsigned window_log = 23;               // zstd's window: 2^window_log bytes
    uint64_t sample = uint64_t{32} << 20;  // bytes judged at most; 0: the whole text
};

// Whether zstd takes the level and window of s.
bool settings_valid(const judge_settings& s);

class judge {
public:
    // Fails with std::bad_alloc where zstd has no memory.
    judge(const records& r, const judge_settings& s);

    // The compressed size of order's judged bytes, text and records.
    uint64_t size(const record_order& order) const;
    // Bytes of gathered text judged for each order, of the whole gathered text's.
    uint64_t judged_bytes() const { return judged_; }
    uint64_t total_bytes() const { return total_; }
    // The window on the bytes judged: the full one, or the sample's.
    unsigned window_log() const { return window_log_; }

private:
    bool in_sample(const uint32_t i) const { return all_ || (sampled_[i >> 6] >> (i & 63) & 1) != 0; }
    uint64_t compress(const record_order& order, uint64_t first, uint64_t last, void* cctx,
                      std::vector<unsigned char>& in, std::vector<unsigned char>& out) const;

    const records& r_;
    judge_settings s_;
    bool all_ = true;
    std::vector<uint64_t> sampled_;  // a bit per record, where not all
    uint64_t total_ = 0, judged_ = 0;
    unsigned window_log_;
};

}  // namespace art::ordering

#endif

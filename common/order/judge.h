// Stage 4 of the ordering: the judge, a real compressor. The size of an order is what
// zstd, with fixed parameters, makes of its gathered text and of its index: of the whole
// text, or of a fixed sample of segments of it, the same places of the gathered text
// for every order. Each segment is compressed on its own, its text and its records in
// two frames, so the sizes are the same on any number of threads.
#ifndef ART_ORDER_JUDGE_H
#define ART_ORDER_JUDGE_H

#include "order/records.h"

#include <cstdint>
#include <vector>

namespace art::ordering {

struct judge_settings {
    int level = 3;                             // zstd's compression level
    unsigned window_log = 23;                  // zstd's window: 2^window_log bytes
    uint64_t sample = uint64_t{64} << 20;      // bytes of gathered text judged; 0: the whole text
    uint64_t segment = uint64_t{16} << 20;     // bytes of one segment
};

// Whether zstd takes the level and window of s.
bool settings_valid(const judge_settings& s);

class judge {
public:
    // Fails with std::bad_alloc where zstd refuses the settings or has no memory.
    judge(const records& r, const judge_settings& s);

    // The compressed size of order's segments, text and records.
    uint64_t size(const record_order& order) const;
    // Bytes of gathered text in the segments judged.
    uint64_t judged_bytes() const { return judged_; }
    // Bytes of the whole gathered text.
    uint64_t total_bytes() const { return total_; }

private:
    struct place {
        uint64_t offset, size;  // in the gathered text: from the first record at or past offset, size bytes
    };
    uint64_t compress(const record_order& order, const place& p, void* cctx, std::vector<unsigned char>& in,
                      std::vector<unsigned char>& out) const;

    const records& r_;
    judge_settings s_;
    std::vector<place> places_;
    uint64_t total_ = 0, judged_ = 0;
};

}  // namespace art::ordering

#endif

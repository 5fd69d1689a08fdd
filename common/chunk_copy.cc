#include "chunk_copy.h"

#include "art_index.h"
#include "platform/sys_io.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// How many records ahead the copy loops ask for the source bytes they will need, so
// that the misses of short random pieces overlap.
constexpr uint64_t PREFETCH_AHEAD = 16;

void prefetch(const unsigned char* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// memcpy, with pieces of up to 64 bytes copied inline: most pieces of a text of
// sentence-sized articles are that short, and a runtime's memcpy may cost more than the
// copy. Reads and writes only [src, src + n) and [dst, dst + n).
inline void copy_bytes(unsigned char* dst, const unsigned char* src, const size_t n) {
    if (n > 64) {
        std::memcpy(dst, src, n);
    } else if (n >= 16) {
        for (size_t at = 0; at + 16 < n; at += 16) std::memcpy(dst + at, src + at, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else {
        for (size_t at = 0; at < n; ++at) dst[at] = src[at];
    }
}

// Sends pieces of one input to the output. A piece that continues the previous one in
// both the input and the output extends it into a run; a run of copy_min bytes or more
// goes out as one copy, a shorter one is staged and written with its neighbours in the
// output a stage at a time.
class staged_output {
public:
    staged_output(const loaded_file& in, chunk_sink& out, const copy_limits& limits)
        : in_(in), out_(out), limits_(limits), stage_(new unsigned char[limits.stage_size]) {}

    art_status put(const uint64_t target, const uint64_t from, const uint64_t size) {
        if (run_size_ > 0 && target == run_target_ + run_size_ && from == run_from_ + run_size_) {
            run_size_ += size;
            return ART_OK;
        }
        const art_status s = emit_run();
        run_target_ = target;
        run_from_ = from;
        run_size_ = size;
        return s;
    }

    art_status finish() {
        if (const art_status s = emit_run(); !s.ok()) return s;
        return flush_stage();
    }

private:
    art_status emit_run() {
        if (run_size_ == 0) return ART_OK;
        const uint64_t target = run_target_, from = run_from_, size = run_size_;
        run_size_ = 0;
        if (prepared_ && size < limits_.copy_min && size <= limits_.stage_size - used_ &&
            (used_ == 0 || stage_target_ + used_ == target)) {
            if (used_ == 0) stage_target_ = target;
            copy_bytes(stage_.get() + used_, in_.data + from, static_cast<size_t>(size));
            used_ += static_cast<size_t>(size);
            return ART_OK;
        }
        if (size >= limits_.copy_min) {
            if (const art_status s = flush_stage(); !s.ok()) return s;
            return out_.copy(target, in_, from, size);
        }
        if (used_ > 0 && stage_target_ + used_ != target) {
            if (const art_status s = flush_stage(); !s.ok()) return s;
        }
        if (!prepared_) {
            in_prepare_random_reads(in_);
            prepared_ = true;
        }
        for (uint64_t done = 0; done < size;) {
            if (used_ == 0) stage_target_ = target + done;
            const size_t part = static_cast<size_t>(std::min<uint64_t>(size - done, limits_.stage_size - used_));
            std::memcpy(stage_.get() + used_, in_.data + from + done, part);
            used_ += part;
            done += part;
            if (used_ == limits_.stage_size) {
                if (const art_status s = flush_stage(); !s.ok()) return s;
            }
        }
        return ART_OK;
    }

    art_status flush_stage() {
        if (used_ == 0) return ART_OK;
        const size_t size = used_;
        used_ = 0;
        return out_.write(stage_target_, stage_.get(), size);
    }

    const loaded_file& in_;
    chunk_sink& out_;
    const copy_limits& limits_;
    const std::unique_ptr<unsigned char[]> stage_;
    size_t used_ = 0;
    uint64_t stage_target_ = 0;
    bool prepared_ = false;  // whether the input is ready for reads in no order
    uint64_t run_target_ = 0, run_from_ = 0, run_size_ = 0;
};

// One piece of a window's plan: size bytes of the gathered text from source, placed
// at offset within the window.
struct planned_piece {
    uint32_t source;
    uint32_t offset;
    uint32_t size;
};

// Calls visit(target, source, length) for every chunk of nonzero length, in index order:
// its record's start, its place in the gathered text and its length.
template <typename Visit>
void for_each_chunk(const unsigned char* index, const uint64_t n, Visit&& visit) {
    for (chunk_cursor c(index, n); !c.done(); c.next())
        if (c.length() != 0) visit(uint64_t{c.record().start}, c.source(), c.length());
}

// Calls cut(window, offset_in_window, source, size) for each part of a chunk at target
// that falls in a window of 2^shift bytes.
template <typename Cut>
void cut_by_window(const uint64_t target, const uint64_t source, const uint64_t size,
                   const unsigned shift, Cut&& cut) {
    const uint64_t window = uint64_t{1} << shift;
    for (uint64_t done = 0; done < size;) {
        const uint64_t at = target + done;
        const uint64_t offset = at & (window - 1);
        const uint64_t part = std::min<uint64_t>(size - done, window - offset);
        cut(at >> shift, offset, source + done, part);
        done += part;
    }
}

// The largest power of two that is at most size, as a shift.
unsigned floor_log2(size_t size) {
    unsigned shift = 0;
    while (size >> (shift + 1) != 0) ++shift;
    return shift;
}

class window_scatter {
public:
    window_scatter(const loaded_file& gathered, const unsigned char* index, const uint64_t n,
                   chunk_sink& out, const copy_limits& limits, const uint64_t end)
        : gathered_(gathered), index_(index), n_(n), out_(out), shift_(floor_log2(limits.stage_size)),
          window_(size_t{1} << shift_), budget_(std::max<size_t>(limits.plan_budget, 1)), end_(end),
          stage_(new unsigned char[window_]), counts_((end + window_ - 1) / window_, 0) {}

    art_status run() {
        in_prepare_random_reads(gathered_);
        for_each_chunk(index_, n_, [&](uint64_t target, uint64_t source, uint64_t size) {
            cut_by_window(target, source, size, shift_,
                          [&](uint64_t w, uint64_t, uint64_t, uint64_t) { ++counts_[w]; });
        });
        for (uint64_t first = 0; first < counts_.size();) {
            if (counts_[first] == 0) {
                ++first;
            } else if (counts_[first] > budget_) {
                if (const art_status s = fill_by_scan(first); !s.ok()) return s;
                ++first;
            } else {
                uint64_t last = first, planned = 0;
                while (last < counts_.size() && planned + counts_[last] <= budget_) planned += counts_[last++];
                if (const art_status s = fill_from_plan(first, last, planned); !s.ok()) return s;
                first = last;
            }
        }
        return ART_OK;
    }

private:
    // Windows [first, last), whose pieces number planned: one pass over the index lists
    // each window's pieces in index order, then each window is filled and written.
    art_status fill_from_plan(const uint64_t first, const uint64_t last, const uint64_t planned) {
        if (plan_.size() < planned) plan_.resize(static_cast<size_t>(planned));
        std::vector<uint64_t> next(static_cast<size_t>(last - first + 1), 0);
        for (uint64_t w = first; w < last; ++w) next[w - first + 1] = next[w - first] + counts_[w];
        const std::vector<uint64_t> begin = next;
        for_each_chunk(index_, n_, [&](uint64_t target, uint64_t source, uint64_t size) {
            if (target + size <= first * window_ || target >= last * window_) return;
            cut_by_window(target, source, size, shift_, [&](uint64_t w, uint64_t offset, uint64_t from, uint64_t part) {
                if (w < first || w >= last) return;
                plan_[next[w - first]++] = {static_cast<uint32_t>(from), static_cast<uint32_t>(offset),
                                            static_cast<uint32_t>(part)};
            });
        });
        for (uint64_t w = first; w < last; ++w) {
            const uint64_t lo = begin[w - first], hi = begin[w - first + 1];
            if (lo == hi) continue;
            clear_stage();
            for (uint64_t j = lo; j < hi; ++j) {
                if (j + PREFETCH_AHEAD < hi) prefetch(gathered_.data + plan_[j + PREFETCH_AHEAD].source);
                const planned_piece& p = plan_[j];
                copy_bytes(stage_.get() + p.offset, gathered_.data + p.source, p.size);
            }
            if (const art_status s = write_window(w); !s.ok()) return s;
        }
        return ART_OK;
    }

    // A window with more pieces than a plan may hold (chunks piled on one place): filled
    // straight from a pass over the index.
    art_status fill_by_scan(const uint64_t w) {
        clear_stage();
        const uint64_t lo = w * window_, hi = lo + window_;
        for_each_chunk(index_, n_, [&](uint64_t target, uint64_t source, uint64_t size) {
            const uint64_t from = std::max(target, lo), to = std::min(target + size, hi);
            if (from < to)
                std::memcpy(stage_.get() + (from - lo), gathered_.data + source + (from - target), to - from);
        });
        return write_window(w);
    }

    void clear_stage() { std::memset(stage_.get(), 0, window_); }

    art_status write_window(const uint64_t w) {
        const uint64_t at = w * window_;
        return out_.write(at, stage_.get(), static_cast<size_t>(std::min<uint64_t>(window_, end_ - at)));
    }

    const loaded_file& gathered_;
    const unsigned char* const index_;
    const uint64_t n_;
    chunk_sink& out_;
    const unsigned shift_;
    const size_t window_;  // the output is built 2^shift_ bytes at a time
    const size_t budget_;
    const uint64_t end_;  // the farthest end of a chunk: the output's size
    const std::unique_ptr<unsigned char[]> stage_;
    std::vector<uint64_t> counts_;  // pieces per window
    std::vector<planned_piece> plan_;
};

}  // namespace

art_status gather_chunks(const loaded_file& text, const unsigned char* index, const uint64_t n,
                         chunk_sink& out, const copy_limits& limits) {
    staged_output staged(text, out, limits);
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        if (c.position() + PREFETCH_AHEAD < n)
            prefetch(text.data + index_record(index, c.position() + PREFETCH_AHEAD).start);
        if (c.length() == 0) continue;
        if (const art_status s = staged.put(c.source(), c.record().start, c.length()); !s.ok()) return s;
    }
    return staged.finish();
}

art_status scatter_chunks(const loaded_file& gathered, const unsigned char* index, const uint64_t n,
                          chunk_sink& out, const copy_limits& limits) {
    bool in_order = true;
    uint64_t end = 0;
    for_each_chunk(index, n, [&](uint64_t target, uint64_t, uint64_t size) {
        if (target < end) in_order = false;
        end = std::max(end, target + size);
    });
    if (!in_order) return window_scatter(gathered, index, n, out, limits, end).run();
    staged_output staged(gathered, out, limits);
    art_status s = ART_OK;
    for_each_chunk(index, n, [&](uint64_t target, uint64_t source, uint64_t size) {
        if (s.ok()) s = staged.put(target, source, size);
    });
    return s.ok() ? staged.finish() : s;
}

#include "window_scatter.h"

#include "art_index.h"
#include "block_writer.h"
#include "copy_parts.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace art {
namespace {

// One piece of a window's plan: size bytes of the gathered text from gathered_offset,
// placed at offset within the window. A text's offsets fit in 32 bits.
struct planned_piece {
    uint32_t gathered_offset;
    uint32_t offset;
    uint32_t size;
};

// Calls visit(target, gathered_offset, length) for every chunk of nonzero length, in
// index order: its record's start, its place in the gathered text and its length. Stops
// and returns false at a chunk that does not lie inside the gathered text: then the
// index changed since its check, and a pass over it might not end before its chunks'
// lengths, summed, ran far past the text.
template <typename Visit>
bool for_each_chunk(const unsigned char* index, const uint64_t n, const uint64_t gathered_size, Visit&& visit) {
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        if (c.length() == 0) continue;
        if (!chunk_inside(c, c.gathered_offset(), gathered_size)) return false;
        visit(uint64_t{c.record().start}, c.gathered_offset(), c.length());
    }
    return true;
}

// Calls cut(window, offset_in_window, gathered_offset, size) for each part of a chunk at
// target that falls in a window of 2^shift bytes.
template <typename Cut>
void cut_by_window(const uint64_t target, const uint64_t gathered_offset, const uint64_t size,
                   const unsigned shift, Cut&& cut) {
    const uint64_t window = uint64_t{1} << shift;
    if (likely(target >> shift == (target + size - 1) >> shift)) {
        cut(target >> shift, target & (window - 1), gathered_offset, size);
        return;
    }
    for (uint64_t done = 0; done < size;) {
        const uint64_t at = target + done;
        const uint64_t offset = at & (window - 1);
        const uint64_t part = std::min<uint64_t>(size - done, window - offset);
        cut(at >> shift, offset, gathered_offset + done, part);
        done += part;
    }
}

// The largest power of two that is at most size, as a shift.
unsigned floor_log2(size_t size) {
    unsigned shift = 0;
    while (size >> (shift + 1) != 0) ++shift;
    return shift;
}

// One scatter of windows (scatter_windows): the pieces counted per window, the plan of
// the group of windows being built, and for each part on a thread its view of the output
// and a block writer whose stage is one window.
class window_scatter {
public:
    window_scatter(const loaded_file& gathered, const loaded_file& index, chunk_sink& out, const copy_limits& limits)
        : shared_(gathered, out, limits), gathered_(gathered), index_(index), n_(record_count(index.size)),
          out_(out), shift_(floor_log2(limits.stage_size)), window_(size_t{1} << shift_),
          budget_(std::max<size_t>(limits.plan_budget, 1)), limits_(limits) {}

    art_status run() {
        shared_.prepare();
        // One pass counts the pieces per window and finds the output's size.
        const bool inside = for_each_chunk(index_.data, n_, gathered_.size, [&](uint64_t target, uint64_t from, uint64_t size) {
            end_ = std::max(end_, target + size);
            if (const uint64_t last = (target + size - 1) >> shift_; last >= counts_.size())
                counts_.resize(static_cast<size_t>(std::max<uint64_t>(last + 1, 2 * counts_.size())), 0);
            cut_by_window(target, from, size, shift_, [&](uint64_t w, uint64_t, uint64_t, uint64_t) { ++counts_[w]; });
        });
        if (!inside) return index_changed(index_);
        counts_.resize(static_cast<size_t>((end_ + window_ - 1) / window_));
        // The plan is allocated once, for the largest group it may hold.
        uint64_t pieces = 0;
        for (const uint64_t c : counts_) pieces += c <= budget_ ? c : 0;
        plan_.reserve(static_cast<size_t>(std::min<uint64_t>(pieces, budget_)));
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
    // What part k of a group writes through: refused once a part before it failed.
    struct window_part {
        window_part(const shared_copy& shared, chunk_sink& out, const size_t k, const size_t window)
            : sink(shared, out, k), writer(sink, window) {}
        part_sink sink;
        block_writer writer;
    };

    block_writer& writer_of(const size_t k) { return parts_[k]->writer; }

    // Windows [first, last), whose pieces number planned: one pass over the index lists
    // each window's pieces in index order, then the windows are filled and written, in
    // parts of consecutive windows on as many threads as the work is worth.
    art_status fill_from_plan(const uint64_t first, const uint64_t last, const uint64_t planned) {
        if (plan_.size() < planned) plan_.resize(static_cast<size_t>(planned));
        std::vector<uint64_t> next(static_cast<size_t>(last - first + 1), 0);
        for (uint64_t w = first; w < last; ++w) next[w - first + 1] = next[w - first] + counts_[w];
        const std::vector<uint64_t> begin = next;
        // The pieces must be those that were counted: another process may have written to
        // the index since.
        bool counted = true;
        planned_piece* const plan = plan_.data();
        const bool inside = for_each_chunk(index_.data, n_, gathered_.size, [&](uint64_t target, uint64_t from, uint64_t size) {
            if (target + size <= first * window_ || target >= last * window_) return;
            cut_by_window(target, from, size, shift_, [&](uint64_t w, uint64_t offset, uint64_t piece_from, uint64_t part) {
                if (w < first || w >= last) return;
                uint64_t& at = next[w - first];
                if (at == planned) {
                    counted = false;
                    return;
                }
                plan[at++] = {static_cast<uint32_t>(piece_from), static_cast<uint32_t>(offset), static_cast<uint32_t>(part)};
            });
        });
        // Each window got exactly the pieces counted for it only if each ended where the next begins.
        for (uint64_t w = first; w < last; ++w) counted = counted && next[w - first] == begin[w - first + 1];
        if (!inside || !counted) return index_changed(index_);
        const uint64_t work = (last - first) * window_ + planned * RECORD_WEIGHT;
        const size_t parts =
            out_.in_order() ? 1 : std::min<size_t>(copy_parts_for(work, limits_), static_cast<size_t>(last - first));
        while (parts_.size() < parts)
            parts_.push_back(std::make_unique<window_part>(shared_, out_, parts_.size(), window_));
        return shared_.run(parts, [&](const size_t k) {
            // Part k takes the windows from where k / parts of the pieces are planned.
            const auto window_at = [&](const size_t j) {
                return static_cast<uint64_t>(std::upper_bound(begin.begin(), begin.end() - 1, planned * j / parts) -
                                             begin.begin() - 1) + first;
            };
            const uint64_t lo = k == 0 ? first : window_at(k), hi = k + 1 == parts ? last : window_at(k + 1);
            block_writer& writer = writer_of(k);
            for (uint64_t w = lo; w < hi; ++w) {
                const uint64_t from = begin[w - first], to = begin[w - first + 1];
                if (from == to) continue;
                const art_status s = put_window(writer, w, [&](unsigned char* stage) {
                    for (uint64_t j = from; j < to; ++j) {
                        if (j + PREFETCH_AHEAD < to) prefetch(gathered_.data + plan_[j + PREFETCH_AHEAD].gathered_offset);
                        const planned_piece& p = plan_[j];
                        copy_bytes(stage + p.offset, gathered_.data + p.gathered_offset, p.size);
                    }
                    return ART_OK;
                });
                if (!s.ok()) return s;
            }
            return writer.write_filled();
        });
    }

    // A window with more pieces than a plan may hold (chunks piled on one place): filled
    // straight from a pass over the index.
    art_status fill_by_scan(const uint64_t w) {
        if (parts_.empty()) parts_.push_back(std::make_unique<window_part>(shared_, out_, 0, window_));
        block_writer& writer = writer_of(0);
        const uint64_t lo = w * window_, hi = lo + window_;
        const art_status s = put_window(writer, w, [&](unsigned char* stage) {
            const bool inside = for_each_chunk(index_.data, n_, gathered_.size, [&](uint64_t target, uint64_t from, uint64_t size) {
                const uint64_t begin = std::max(target, lo), end = std::min(target + size, hi);
                if (begin < end) std::memcpy(stage + (begin - lo), gathered_.data + from + (begin - target), end - begin);
            });
            return inside ? ART_OK : index_changed(index_);
        });
        return s.ok() ? writer.write_filled() : s;
    }

    // Puts window w, zeros and then what fill(stage) copies into them, through writer:
    // the window goes out whole, or up to the output's end.
    template <typename Fill>
    art_status put_window(block_writer& writer, const uint64_t w, Fill&& fill) {
        const uint64_t at = w * window_;
        return writer.put(at, std::min<uint64_t>(window_, end_ - at), [&](unsigned char* stage, uint64_t, const size_t size) {
            std::memset(stage, 0, size);
            return fill(stage);
        });
    }

    shared_copy shared_;
    const loaded_file& gathered_;
    const loaded_file& index_;
    const uint64_t n_;
    chunk_sink& out_;
    const unsigned shift_;
    const size_t window_;  // the output is built 2^shift_ bytes at a time
    const size_t budget_;
    const copy_limits& limits_;
    uint64_t end_ = 0;  // the farthest end of a chunk: the output's size
    std::vector<uint64_t> counts_;  // pieces per window
    std::vector<planned_piece> plan_;
    std::vector<std::unique_ptr<window_part>> parts_;  // one per part, each with its window
};

}  // namespace

art_status scatter_windows(const loaded_file& gathered, const loaded_file& index, chunk_sink& out,
                           const copy_limits& limits) {
    return window_scatter(gathered, index, out, limits).run();
}

}  // namespace art

#include "chunk_copy.h"

#include "art_index.h"
#include "file_loader.h"
#include "platform/sys_io.h"
#include "run_parts.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace art {

namespace {

// How many records ahead the copy loops ask for the source bytes they will need, so
// that the misses of short random pieces overlap.
constexpr uint64_t PREFETCH_AHEAD = 16;

// The work of one record beside its bytes, in bytes: a random piece costs about as much
// as copying this many more.
constexpr uint64_t RECORD_WEIGHT = 64;

// Marks a condition as almost always true, for the compiler's layout of hot loops.
inline bool likely(const bool condition) {
#if defined(__GNUC__)
    return __builtin_expect(condition, 1);
#else
    return condition;
#endif
}

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

// Whether the chunk at c, taken from offset from of an input of size bytes, lies inside
// it. Every chunk is checked as it is copied, record by record, whatever the index's
// check found: another process may write to the index during the run.
inline bool chunk_inside(const chunk_cursor& c, const uint64_t from, const uint64_t size) {
    return likely((c.record().start <= c.record().end) & (from + c.length() <= size));
}

// The status of a copy that met a record that its index's check would have refused.
#if defined(__GNUC__)
__attribute__((cold, noinline))
#endif
art_status index_changed(const loaded_file& index) {
    return status_of(index.name, ART_E_CHANGED);
}

// How many parts work of this size is worth, at most limits.threads.
size_t parts_for(const uint64_t work, const copy_limits& limits) {
    const uint64_t worth = work / std::max<uint64_t>(limits.part_min, 1);
    return static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(limits.threads, worth)));
}

// What the parts of one copy share: the input, made ready for reads in no order the first
// time a part needs it, and the first part (in part order) that failed, after which the
// parts behind it stop early.
class shared_copy {
public:
    shared_copy(const loaded_file& in, const chunk_sink& out, const copy_limits& limits)
        : in_(in), out_(out), limits_(limits) {}

    const loaded_file& input() const { return in_; }

    // Maps in every page of the input once, on as many threads as the size is worth.
    void prepare() {
        std::call_once(prepared_, [this] {
            const size_t slices = parts_for(in_.size, limits_);
            run(slices, [this, slices](const size_t k) {
                const uint64_t from = in_.size * k / slices, to = in_.size * (k + 1) / slices;
                if (in_.mapped) in_prepare_random_reads(in_.data, from, to - from);
                return ART_OK;
            });
        });
    }

    bool stopped(const size_t part) const { return first_failed_.load(std::memory_order_relaxed) < part; }

    // run_parts, on the sink's name; a part that fails stops the parts behind it.
    template <typename Work>
    art_status run(const size_t parts, Work&& work) {
        return run_parts(parts, out_.name(), work, [this](const size_t k) {
            size_t seen = first_failed_.load();
            while (k < seen && !first_failed_.compare_exchange_weak(seen, k)) {
            }
        });
    }

private:
    const loaded_file& in_;
    const chunk_sink& out_;
    const copy_limits& limits_;
    std::once_flag prepared_;
    std::atomic<size_t> first_failed_{SIZE_MAX};
};

// Sends pieces of one input to the output through a stage that covers one block of the
// output, aligned to the stage's size, and goes out whole where the pieces fill it. A
// piece that continues the previous one in both the input and the output extends it
// into a run; a run of copy_min bytes or more is read into the stage through the input's
// file, a shorter one is copied from the input's mapping.
class staged_output {
public:
    staged_output(shared_copy& shared, chunk_sink& out, const copy_limits& limits, const size_t part)
        : shared_(shared), in_(shared.input()), out_(out), limits_(limits), part_(part),
          stage_(new unsigned char[limits.stage_size]) {}

    // Puts the chunk of every record from c up to position stop: piece(c) gives where it
    // goes in the output and where it comes from in the input. With prefetch_starts, the
    // input is asked ahead for the pieces at the records' starts (gather's reads in no
    // order). The pending run and the stage's fill stay in locals across the common case,
    // a short run copied from the ready mapping to where the stage's filled part ends.
    template <typename Piece>
    art_status put_chunks(chunk_cursor c, const uint64_t stop, const loaded_file& index, const bool prefetch_starts,
                          Piece&& piece) {
        const unsigned char* const data = in_.data;
        const uint64_t size = in_.size, copy_min = limits_.copy_min, room = limits_.stage_size;
        unsigned char* const stage = stage_.get();
        uint64_t target = run_target_, from = run_from_, length = run_size_, block = block_;
        size_t end = end_;
        bool prepared = prepared_;
        const auto save = [&] {
            run_target_ = target;
            run_from_ = from;
            run_size_ = length;
            end_ = end;
        };
        for (; c.position() < stop; c.next()) {
            if (prefetch_starts && c.position() + PREFETCH_AHEAD < stop)
                prefetch(data + index_record(index.data, c.position() + PREFETCH_AHEAD).start);
            if (c.length() == 0) continue;
            const auto [to, at] = piece(c);
            if (!chunk_inside(c, at, size)) {
                save();
                return index_changed(index);
            }
            if (length > 0 && to == target + length && at == from + length) {
                length += c.length();
                continue;
            }
            if (likely(prepared & (length < copy_min) & (target == block + end) & (length < room - end))) {
                copy_bytes(stage + end, data + from, static_cast<size_t>(length));
                end += static_cast<size_t>(length);
            } else {
                save();
                if (const art_status s = emit_run(); !s.ok()) return s;
                block = block_;
                end = end_;
                prepared = prepared_;
            }
            target = to;
            from = at;
            length = c.length();
        }
        save();
        return ART_OK;
    }

    art_status finish() {
        if (const art_status s = emit_run(); !s.ok()) return s;
        return flush();
    }

private:
    art_status emit_run() {
        uint64_t target = run_target_, from = run_from_, size = run_size_;
        run_size_ = 0;
        const bool read = size >= limits_.copy_min;
        if (size > 0 && !read && !prepared_) {
            shared_.prepare();
            prepared_ = true;
        }
        while (size > 0) {
            if (end_ > begin_ && target != block_ + end_) {
                if (const art_status s = flush(); !s.ok()) return s;
            }
            if (end_ == begin_) {
                block_ = target - target % limits_.stage_size;
                begin_ = end_ = static_cast<size_t>(target - block_);
            }
            const size_t part = static_cast<size_t>(std::min<uint64_t>(size, limits_.stage_size - end_));
            if (read) {
                if (const art_status s = read_loaded(in_, from, stage_.get() + end_, part); !s.ok()) return s;
            } else {
                copy_bytes(stage_.get() + end_, in_.data + from, part);
            }
            end_ += part;
            target += part;
            from += part;
            size -= part;
            if (end_ == limits_.stage_size) {
                if (const art_status s = flush(); !s.ok()) return s;
            }
        }
        return ART_OK;
    }

    art_status flush() {
        if (end_ == begin_) return ART_OK;
        const size_t begin = begin_, end = end_;
        begin_ = end_ = 0;
        if (shared_.stopped(part_)) return status_of(out_.name(), ECANCELED);
        return out_.write(block_ + begin, stage_.get() + begin, end - begin);
    }

    shared_copy& shared_;
    const loaded_file& in_;
    chunk_sink& out_;
    const copy_limits& limits_;
    const size_t part_;
    const std::unique_ptr<unsigned char[]> stage_;
    bool prepared_ = false;           // whether the input is ready for reads in no order
    uint64_t block_ = 0;              // the output offset of the stage's first byte
    size_t begin_ = 0, end_ = 0;      // the part of the stage filled
    uint64_t run_target_ = 0, run_from_ = 0, run_size_ = 0;
};

// Where each part of about equal work begins among n records: as many parts as the work
// is worth, at most limits.threads; one for an output written in order. bytes is about what the chunks hold (the input's size); the parts
// are split by what they really hold.
std::vector<chunk_cursor> split_records(const unsigned char* index, const uint64_t n, const uint64_t bytes,
                                        const chunk_sink& out, const copy_limits& limits) {
    const uint64_t work = bytes + RECORD_WEIGHT * n;
    const size_t parts = out.in_order() ? 1 : parts_for(work, limits);
    std::vector<chunk_cursor> starts{chunk_cursor(index, n)};
    uint64_t done = 0;
    for (chunk_cursor at(index, n); !at.done() && starts.size() < parts; at.next()) {
        if (done >= work * starts.size() / parts && at.position() > starts.back().position()) starts.push_back(at);
        done += at.length() + RECORD_WEIGHT;
    }
    return starts;
}

// One piece of a window's plan: size bytes of the gathered text from source, placed
// at offset within the window.
struct planned_piece {
    uint32_t source;
    uint32_t offset;
    uint32_t size;
};

// Calls visit(target, source, length) for every chunk of nonzero length, in index order:
// its record's start, its place in the gathered text and its length. Stops and returns
// false at a chunk that does not lie inside the gathered text: then the index changed
// since its check, and a pass over it might not end before its chunks' lengths, summed,
// ran far past the text.
template <typename Visit>
bool for_each_chunk(const unsigned char* index, const uint64_t n, const uint64_t gathered_size, Visit&& visit) {
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        if (c.length() == 0) continue;
        if (!chunk_inside(c, c.source(), gathered_size)) return false;
        visit(uint64_t{c.record().start}, c.source(), c.length());
    }
    return true;
}

// Calls cut(window, offset_in_window, source, size) for each part of a chunk at target
// that falls in a window of 2^shift bytes.
template <typename Cut>
void cut_by_window(const uint64_t target, const uint64_t source, const uint64_t size,
                   const unsigned shift, Cut&& cut) {
    const uint64_t window = uint64_t{1} << shift;
    if (likely(target >> shift == (target + size - 1) >> shift)) {
        cut(target >> shift, target & (window - 1), source, size);
        return;
    }
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
    window_scatter(shared_copy& shared, const loaded_file& index, chunk_sink& out, const copy_limits& limits)
        : shared_(shared), gathered_(shared.input()), index_(index), n_(record_count(index.size)), out_(out),
          shift_(floor_log2(limits.stage_size)), window_(size_t{1} << shift_),
          budget_(std::max<size_t>(limits.plan_budget, 1)), limits_(limits) {}

    art_status run() {
        shared_.prepare();
        // One pass counts the pieces per window and finds the output's size.
        const bool inside = for_each_chunk(index_.data, n_, gathered_.size, [&](uint64_t target, uint64_t source, uint64_t size) {
            end_ = std::max(end_, target + size);
            if (const uint64_t last = (target + size - 1) >> shift_; last >= counts_.size())
                counts_.resize(static_cast<size_t>(std::max<uint64_t>(last + 1, 2 * counts_.size())), 0);
            cut_by_window(target, source, size, shift_, [&](uint64_t w, uint64_t, uint64_t, uint64_t) { ++counts_[w]; });
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
        const bool inside = for_each_chunk(index_.data, n_, gathered_.size, [&](uint64_t target, uint64_t source, uint64_t size) {
            if (target + size <= first * window_ || target >= last * window_) return;
            cut_by_window(target, source, size, shift_, [&](uint64_t w, uint64_t offset, uint64_t from, uint64_t part) {
                if (w < first || w >= last) return;
                uint64_t& at = next[w - first];
                if (at == planned) {
                    counted = false;
                    return;
                }
                plan[at++] = {static_cast<uint32_t>(from), static_cast<uint32_t>(offset), static_cast<uint32_t>(part)};
            });
        });
        // Each window got exactly the pieces counted for it only if each ended where the next begins.
        for (uint64_t w = first; w < last; ++w) counted = counted && next[w - first] == begin[w - first + 1];
        if (!inside || !counted) return index_changed(index_);
        const uint64_t work = (last - first) * window_ + planned * RECORD_WEIGHT;
        const size_t parts = out_.in_order() ? 1 : std::min<size_t>(parts_for(work, limits_), static_cast<size_t>(last - first));
        while (stages_.size() < parts) stages_.emplace_back(new unsigned char[window_]);
        return shared_.run(parts, [&](const size_t k) {
            // Part k takes the windows from where k / parts of the pieces are planned.
            const auto window_at = [&](const size_t j) {
                return static_cast<uint64_t>(std::upper_bound(begin.begin(), begin.end() - 1, planned * j / parts) -
                                             begin.begin() - 1) + first;
            };
            const uint64_t lo = k == 0 ? first : window_at(k), hi = k + 1 == parts ? last : window_at(k + 1);
            unsigned char* const stage = stages_[k].get();
            for (uint64_t w = lo; w < hi; ++w) {
                const uint64_t from = begin[w - first], to = begin[w - first + 1];
                if (from == to) continue;
                if (shared_.stopped(k)) return status_of(out_.name(), ECANCELED);
                std::memset(stage, 0, window_);
                for (uint64_t j = from; j < to; ++j) {
                    if (j + PREFETCH_AHEAD < to) prefetch(gathered_.data + plan_[j + PREFETCH_AHEAD].source);
                    const planned_piece& p = plan_[j];
                    copy_bytes(stage + p.offset, gathered_.data + p.source, p.size);
                }
                if (const art_status s = write_window(w, stage); !s.ok()) return s;
            }
            return ART_OK;
        });
    }

    // A window with more pieces than a plan may hold (chunks piled on one place): filled
    // straight from a pass over the index.
    art_status fill_by_scan(const uint64_t w) {
        if (stages_.empty()) stages_.emplace_back(new unsigned char[window_]);
        unsigned char* const stage = stages_[0].get();
        std::memset(stage, 0, window_);
        const uint64_t lo = w * window_, hi = lo + window_;
        const bool inside = for_each_chunk(index_.data, n_, gathered_.size, [&](uint64_t target, uint64_t source, uint64_t size) {
            const uint64_t from = std::max(target, lo), to = std::min(target + size, hi);
            if (from < to) std::memcpy(stage + (from - lo), gathered_.data + source + (from - target), to - from);
        });
        return inside ? write_window(w, stage) : index_changed(index_);
    }

    art_status write_window(const uint64_t w, const unsigned char* stage) {
        const uint64_t at = w * window_;
        return out_.write(at, stage, static_cast<size_t>(std::min<uint64_t>(window_, end_ - at)));
    }

    shared_copy& shared_;
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
    std::vector<std::unique_ptr<unsigned char[]>> stages_;  // one window each, per part
};

// Sends the chunk of every record, in index order, through the stage of its part (see
// staged_output::put_chunks for piece and prefetch_starts); a part is a run of records
// (split_records).
template <typename Piece>
art_status stage_parts(shared_copy& shared, const loaded_file& index, chunk_sink& out, const copy_limits& limits,
                       const bool prefetch_starts, Piece&& piece) {
    const uint64_t n = record_count(index.size);
    const std::vector<chunk_cursor> starts = split_records(index.data, n, shared.input().size, out, limits);
    return shared.run(starts.size(), [&](const size_t k) {
        staged_output staged(shared, out, limits, k);
        const uint64_t stop = k + 1 < starts.size() ? starts[k + 1].position() : n;
        if (const art_status s = staged.put_chunks(starts[k], stop, index, prefetch_starts, piece); !s.ok()) return s;
        return staged.finish();
    });
}

}  // namespace

copy_limits machine_limits() {
    copy_limits limits;
    limits.threads = usable_cores();
    // A fixed number of threads, however little work each has: for tests of several
    // threads on small inputs.
    if (const char* const threads = std::getenv("ART_THREADS")) {
        const unsigned long count = std::strtoul(threads, nullptr, 10);
        if (count >= 1 && count <= 64) {
            limits.threads = static_cast<unsigned>(count);
            limits.part_min = 1;
        }
    }
    return limits;
}

art_status gather_chunks(const loaded_file& text, const loaded_file& index, chunk_sink& out,
                         const copy_limits& limits) {
    shared_copy shared(text, out, limits);
    return stage_parts(shared, index, out, limits, true, [](const chunk_cursor& c) {
        return std::pair<uint64_t, uint64_t>{c.source(), c.record().start};
    });
}

art_status scatter_chunks(const loaded_file& gathered, const loaded_file& index, chunk_sink& out,
                          const copy_limits& limits) {
    // In order while every chunk starts at or past the end of the one before; the first
    // that does not ends this pass, and the window scatter's own pass takes over.
    const uint64_t n = record_count(index.size);
    chunk_cursor at(index.data, n);
    for (uint64_t end = 0; !at.done(); at.next()) {
        if (at.length() == 0) continue;
        if (!chunk_inside(at, at.source(), gathered.size)) return index_changed(index);
        if (at.record().start < end) break;
        end = at.record().start + at.length();
    }
    shared_copy shared(gathered, out, limits);
    if (!at.done()) return window_scatter(shared, index, out, limits).run();
    return stage_parts(shared, index, out, limits, false, [](const chunk_cursor& c) {
        return std::pair<uint64_t, uint64_t>{c.record().start, c.source()};
    });
}

}  // namespace art

// What gather's stages and scatter's windows share (chunk_copy.cc, window_scatter.cc):
// the byte copy, the check of each chunk as it is copied, and the parts of one copy on
// threads with the first of them that failed.
#ifndef ART_COPY_PARTS_H
#define ART_COPY_PARTS_H

#include "art_index.h"
#include "chunk_copy.h"
#include "chunk_sink.h"
#include "file_loader.h"
#include "platform/sys_io.h"
#include "run_parts.h"
#include "threads.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace art {

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

inline void prefetch(const unsigned char* p) {
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
inline art_status index_changed(const loaded_file& index) {
    return status_of(index.name, ART_E_CHANGED);
}

// How many parts a copy of this much work is worth, at most limits.threads.
inline size_t copy_parts_for(const uint64_t work, const copy_limits& limits) {
    return parts_for(work, limits.threads, limits.part_min);
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
            const size_t slices = copy_parts_for(in_.size, limits_);
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

// The output as one part of a copy sees it: once a part before it has failed, every
// write is refused (ECANCELED), so that nothing behind the first failure goes out.
class part_sink final : public chunk_sink {
public:
    part_sink(const shared_copy& shared, chunk_sink& out, const size_t part)
        : shared_(shared), out_(out), part_(part) {}

    art_status write(const uint64_t offset, const unsigned char* data, const size_t size) override {
        if (shared_.stopped(part_)) return status_of(out_.name(), ECANCELED);
        return out_.write(offset, data, size);
    }
    const char* name() const override { return out_.name(); }
    bool in_order() const override { return out_.in_order(); }

private:
    const shared_copy& shared_;
    chunk_sink& out_;
    const size_t part_;
};

}  // namespace art

#endif

#include "order/judge.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace art::ordering {

namespace {

// Bytes copied at a time into zstd's input.
constexpr size_t STAGE = size_t{1} << 20;

struct cctx_deleter {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

void check(const size_t code) {
    if (ZSTD_isError(code)) throw std::bad_alloc();
}

}  // namespace

bool settings_valid(const judge_settings& s) {
    const ZSTD_bounds level = ZSTD_cParam_getBounds(ZSTD_c_compressionLevel);
    const ZSTD_bounds window = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    return !ZSTD_isError(level.error) && !ZSTD_isError(window.error) && s.level >= level.lowerBound &&
           s.level <= level.upperBound && int64_t{s.window_log} >= window.lowerBound &&
           int64_t{s.window_log} <= window.upperBound;
}

judge::judge(const records& r, const judge_settings& s) : r_(r), s_(s) {
    for (uint64_t i = 0; i < r.n; ++i) total_ += r.length(i) + (i + 1 < r.n ? 1 : 0);
    const uint64_t segment = std::max<uint64_t>(s.segment, 1);
    if (s.sample == 0 || s.sample >= total_) {
        const uint64_t count = std::max<uint64_t>(1, (total_ + segment - 1) / segment);
        for (uint64_t k = 0; k < count; ++k)
            places_.push_back({total_ * k / count, total_ * (k + 1) / count - total_ * k / count});
    } else {
        const uint64_t count = std::max<uint64_t>(1, s.sample / segment);
        const uint64_t size = s.sample / count;
        for (uint64_t k = 0; k < count; ++k) places_.push_back({(total_ - size) * k / std::max<uint64_t>(1, count - 1), size});
        if (count == 1) places_[0].offset = (total_ - size) / 2;
    }
    for (const place& p : places_) judged_ += p.size;
    // The settings are tried once here, so that size() fails only for want of memory.
    const std::unique_ptr<ZSTD_CCtx, cctx_deleter> c(ZSTD_createCCtx());
    if (!c) throw std::bad_alloc();
    check(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, s.level));
    check(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, int(s.window_log)));
}

// The records whose gathered bytes start in [p.offset, p.offset + p.size), compressed:
// their bytes each followed by the delimiter (but the text's last), then their records.
uint64_t judge::compress(const record_order& order, const place& p, void* context, std::vector<unsigned char>& in,
                         std::vector<unsigned char>& out) const {
    ZSTD_CCtx* const c = static_cast<ZSTD_CCtx*>(context);
    uint64_t k = 0, at = 0;
    // The first record at or past the offset: offsets grow with k.
    for (; k < r_.n && at < p.offset; ++k) at += r_.length(order[k]) + 1;
    const uint64_t first = k;
    uint64_t last = first, bytes = 0;
    for (; last < r_.n && at < p.offset + p.size; ++last) {
        const uint64_t step = r_.length(order[last]) + (last + 1 < r_.n ? 1 : 0);
        at += step;
        bytes += step;
    }
    uint64_t compressed = 0;
    const auto frame = [&](const uint64_t source_size, auto&& fill) {
        check(ZSTD_CCtx_reset(c, ZSTD_reset_session_only));
        check(ZSTD_CCtx_setPledgedSrcSize(c, source_size));
        size_t used = 0;
        const auto flush = [&](const ZSTD_EndDirective mode) {
            ZSTD_inBuffer input{in.data(), used, 0};
            for (;;) {
                ZSTD_outBuffer output{out.data(), out.size(), 0};
                const size_t left = ZSTD_compressStream2(c, &output, &input, mode);
                check(left);
                compressed += output.pos;
                if (mode == ZSTD_e_end ? left == 0 : input.pos == input.size) break;
            }
            used = 0;
        };
        fill([&](const unsigned char* data, uint64_t size) {
            while (size > 0) {
                const size_t take = size_t(std::min<uint64_t>(size, in.size() - used));
                std::memcpy(in.data() + used, data, take);
                used += take;
                data += take;
                size -= take;
                if (used == in.size()) flush(ZSTD_e_continue);
            }
        });
        flush(ZSTD_e_end);
    };
    frame(bytes, [&](auto&& put) {
        for (uint64_t j = first; j < last; ++j) {
            const uint64_t length = r_.length(order[j]);
            if (length > 0) put(r_.bytes(order[j]), length);
            if (j + 1 < r_.n) put(&ART_DELIMITER, 1);
        }
    });
    frame((last - first) * ART_RECORD_SIZE, [&](auto&& put) {
        for (uint64_t j = first; j < last; ++j) put(r_.index + uint64_t{order[j]} * ART_RECORD_SIZE, ART_RECORD_SIZE);
    });
    return compressed;
}

uint64_t judge::size(const record_order& order) const {
    std::vector<uint64_t> sizes(places_.size(), 0);
    const size_t parts = std::max<size_t>(1, std::min<size_t>(r_.threads, places_.size()));
    const art_status s = run_parts(parts, nullptr, [&](const size_t part) {
        const std::unique_ptr<ZSTD_CCtx, cctx_deleter> c(ZSTD_createCCtx());
        if (!c) throw std::bad_alloc();
        check(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, s_.level));
        check(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, int(s_.window_log)));
        std::vector<unsigned char> in(STAGE), out(ZSTD_CStreamOutSize());
        for (size_t k = part; k < places_.size(); k += parts) sizes[k] = compress(order, places_[k], c.get(), in, out);
        return ART_OK;
    }, [](size_t) {});
    if (!s.ok()) throw std::bad_alloc();
    uint64_t total = 0;
    for (const uint64_t z : sizes) total += z;
    return total;
}

}  // namespace art::ordering

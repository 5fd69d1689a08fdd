#include "order/judge.h"

#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

namespace art::ordering {

namespace {

// Bytes copied at a time into zstd's input.
constexpr size_t STAGE = size_t{1} << 20;
// The smallest window on a sample.
constexpr unsigned LEAST_WINDOW_LOG = 16;

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

judge::judge(const records& r, const judge_settings& s) : r_(r), s_(s), window_log_(s.window_log) {
    for (uint64_t i = 0; i < r.n; ++i) total_ += r.length(i) + (i + 1 < r.n ? 1 : 0);
    judged_ = total_;
    if (s.sample != 0 && total_ > s.sample) {
        all_ = false;
        const double share = double(s.sample) / double(total_);
        const auto limit = uint64_t(share * 9007199254740992.0);  // share * 2^53
        sampled_.assign(size_t((r.n + 63) / 64), 0);
        judged_ = 0;
        for (uint64_t i = 0; i < r.n; ++i)
            if (mix64(i + 0x9E3779B97F4A7C15ULL) >> 11 < limit) {
                sampled_[i >> 6] |= uint64_t{1} << (i & 63);
                judged_ += r.length(i) + 1;
            }
        const auto smaller = unsigned(std::lround(std::log2(1.0 / share)));
        window_log_ = std::max(LEAST_WINDOW_LOG, s.window_log > smaller ? s.window_log - smaller : 0);
        window_log_ = std::min(window_log_, s.window_log);
    }
}

// The records order[first, last) of the sample, compressed: their bytes each followed by
// the delimiter (but the text's last), then their records.
uint64_t judge::compress(const record_order& order, const uint64_t first, const uint64_t last, void* context,
                         std::vector<unsigned char>& in, std::vector<unsigned char>& out) const {
    ZSTD_CCtx* const c = static_cast<ZSTD_CCtx*>(context);
    uint64_t compressed = 0;
    const auto frame = [&](auto&& fill) {
        check(ZSTD_CCtx_reset(c, ZSTD_reset_session_only));
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
    frame([&](auto&& put) {
        for (uint64_t k = first; k < last; ++k) {
            if (!in_sample(order[k])) continue;
            const uint64_t length = r_.length(order[k]);
            if (length > 0) put(r_.bytes(order[k]), length);
            if (k + 1 < r_.n) put(&ART_DELIMITER, 1);
        }
    });
    frame([&](auto&& put) {
        for (uint64_t k = first; k < last; ++k)
            if (in_sample(order[k])) put(r_.index + uint64_t{order[k]} * ART_RECORD_SIZE, ART_RECORD_SIZE);
    });
    return compressed;
}

uint64_t judge::size(const record_order& order) const {
    // Segments of 4 windows of judged bytes: where each begins in the order.
    const uint64_t segment = uint64_t{4} << window_log_;
    const uint64_t count = std::max<uint64_t>(1, (judged_ + segment - 1) / segment);
    std::vector<uint64_t> bounds{0};
    for (uint64_t k = 0, at = 0; k < r_.n; ++k) {
        if (!in_sample(order[k])) continue;
        while (bounds.size() < count && at >= judged_ * bounds.size() / count) bounds.push_back(k);
        at += r_.length(order[k]) + 1;
    }
    while (bounds.size() <= count) bounds.push_back(r_.n);
    bounds.back() = r_.n;
    std::vector<uint64_t> sizes(size_t(count), 0);
    const size_t parts = size_t(std::max<uint64_t>(1, std::min<uint64_t>(r_.threads, count)));
    const art_status s = run_parts(parts, nullptr, [&](const size_t part) {
        const std::unique_ptr<ZSTD_CCtx, cctx_deleter> c(ZSTD_createCCtx());
        if (!c) throw std::bad_alloc();
        check(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, s_.level));
        check(ZSTD_CCtx_setParameter(c.get(), ZSTD_c_windowLog, int(window_log_)));
        std::vector<unsigned char> in(STAGE), out(ZSTD_CStreamOutSize());
        for (size_t k = part; k < count; k += parts) sizes[k] = compress(order, bounds[k], bounds[k + 1], c.get(), in, out);
        return ART_OK;
    }, [](size_t) {});
    if (!s.ok()) throw std::bad_alloc();
    uint64_t total = 0;
    for (const uint64_t z : sizes) total += z;
    return total;
}

}  // namespace art::ordering

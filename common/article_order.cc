// The ordering's pipeline: features, candidates and chains, candidate orders, and the
// judge that keeps the smallest (article_order.h).
#include "article_order.h"

#include "art_index.h"
#include "order/candidates.h"
#include "order/features.h"
#include "order/judge.h"
#include "order/orders.h"
#include "order/records.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

using namespace art::ordering;

namespace {

// Up to this many records the signatures have 32 slots: their extra 32 bytes stay
// within 32 MiB.
constexpr uint64_t WIDE_SIGNATURES_UP_TO = uint64_t{1} << 20;
// Up to this many records the signatures stay for later rounds of chaining: with the
// second set of candidate lists and the chain edges, 143 bytes a record.
constexpr uint64_t ROUNDS_UP_TO = uint64_t{1} << 19;
// Texts judged whole whatever the sample.
constexpr uint64_t WHOLE_UP_TO = uint64_t{4} << 20;
// Bytes of a group of like beginnings.
constexpr unsigned GROUP_BYTES = 4;

void report(const order_options& o, const char* step, const unsigned done = 0, const unsigned total = 0) {
    if (o.progress != nullptr) o.progress(o.progress_context, step, done, total);
}

order_result run(const records& r, unsigned char* out, const order_options& o) {
    const uint64_t sample = o.judge_sample == 0 ? 0 : std::min(o.judge_sample, std::max(r.text_size / 3, WHOLE_UP_TO));
    const judge j(r, {o.judge_level, o.judge_window_log, sample});
    const bool chained = r.n <= o.chains_up_to && r.n * o.chain_mean_bytes <= r.text_size &&
                         (o.kinds & (ORDER_CHAINS | ORDER_CHAINS_IN_TEXT | ORDER_CHAINS_BY_LEADING | ORDER_GROUPS_OF_CHAINS |
                                    ORDER_LEADING_THEN_CHAINS));
    chains c;
    if (chained) {
        report(o, "signatures");
        signatures sig;
        const unsigned slots = o.slots == 16 || o.slots == 32 ? o.slots : r.n <= WIDE_SIGNATURES_UP_TO ? 32 : 16;
        sign_all(r, std::max(1u, std::min(8u, o.shingle)), slots, sig);
        report(o, "chains");
        make_chains(r, sig, {o.window, o.min_matches, o.text_neighbours, r.n <= ROUNDS_UP_TO}, c);
    }

    // The orders judged, in this order; an order made twice is judged once.
    std::vector<unsigned> kinds;
    if (o.text_neighbours) kinds.push_back(ORDER_TEXT);
    kinds.push_back(ORDER_LEADING);
    if (chained) {
        kinds.push_back(ORDER_CHAINS);
        if (o.text_neighbours) kinds.push_back(ORDER_CHAINS_IN_TEXT);
        kinds.push_back(ORDER_CHAINS_BY_LEADING);
        kinds.push_back(ORDER_GROUPS_OF_CHAINS);
        kinds.push_back(ORDER_LEADING_THEN_CHAINS);
    }
    kinds.erase(std::remove_if(kinds.begin(), kinds.end(), [&o](const unsigned k) { return (o.kinds & k) == 0; }),
                kinds.end());
    const auto total = unsigned(kinds.size() + 1);

    record_order best(static_cast<size_t>(r.n)), order, chained_order;
    for (uint64_t i = 0; i < r.n; ++i) best[i] = uint32_t(i);
    report(o, "judging", 0, total);
    order_result result{0, false, 0, 0.0, ORDER_START, 1, j.size(best), 0, j.judged_bytes(), j.total_bytes(), j.window_log()};
    result.after = result.before;
    uint64_t smallest = UINT64_MAX;  // of the candidates
    unsigned smallest_kind = ORDER_START;
    const auto fingerprint = [](const record_order& x) {
        uint64_t h = 0;
        for (const uint32_t v : x) h = mix64(h + v);
        return h;
    };
    std::vector<uint64_t> judged{fingerprint(best)};
    for (const unsigned kind : kinds) {
        switch (kind) {
            case ORDER_TEXT: text_order(r, order); break;
            case ORDER_LEADING: leading_order(r, {}, order); break;
            case ORDER_CHAINS: chain_order(r, c, chain_layout::by_start, order); break;
            case ORDER_CHAINS_IN_TEXT: chain_order(r, c, chain_layout::by_text, order); break;
            case ORDER_CHAINS_BY_LEADING: chain_order(r, c, chain_layout::by_leading, order); break;
            default:
                if (chained_order.empty()) chain_order(r, c, chain_layout::by_start, chained_order);
                if (kind == ORDER_GROUPS_OF_CHAINS)
                    leading_groups(r, chained_order, GROUP_BYTES, order);
                else
                    leading_order(r, chained_order, order);
                break;
        }
        if (kind == ORDER_CHAINS) chained_order = order;
        report(o, "judging", result.judged, total);
        const uint64_t f = fingerprint(order);
        if (std::find(judged.begin(), judged.end(), f) != judged.end()) continue;
        judged.push_back(f);
        ++result.judged;
        const uint64_t size = j.size(order);
        if (size < smallest) {
            smallest = size;
            smallest_kind = kind;
            best.swap(order);
        }
    }
    report(o, "judging", total, total);
    // The start wins ties, and gains below the margin.
    if (smallest_kind != ORDER_START && double(smallest) < double(result.before) * (1.0 - o.margin)) {
        result.changed = true;
        result.kind = smallest_kind;
        result.after = smallest;
        result.estimated_gain = double(result.before - smallest);
    } else {
        for (uint64_t i = 0; i < r.n; ++i) best[i] = uint32_t(i);
    }
    for (uint64_t k = 0; k < r.n; ++k) {
        std::memcpy(out + k * ART_RECORD_SIZE, r.index + uint64_t{best[k]} * ART_RECORD_SIZE, ART_RECORD_SIZE);
        result.moved += best[k] != k;
    }
    return result;
}

}  // namespace

const char* order_kind_name(const unsigned kind) {
    switch (kind) {
        case ORDER_START: return "the order given";
        case ORDER_TEXT: return "the text's order";
        case ORDER_LEADING: return "by leading bytes";
        case ORDER_CHAINS: return "chains of alike articles";
        case ORDER_CHAINS_IN_TEXT: return "chains in text order";
        case ORDER_CHAINS_BY_LEADING: return "chains by leading bytes";
        case ORDER_GROUPS_OF_CHAINS: return "leading-byte groups ordered by chains";
        case ORDER_LEADING_THEN_CHAINS: return "by leading bytes, ties by chains";
        default: return "?";
    }
}

order_result order_articles(const unsigned char* text, const uint64_t text_size, const unsigned char* index,
                            const uint64_t n, unsigned char* out, const order_options& options) {
    order_result result{0, false, 0, 0.0, ORDER_START, 0, 0, 0, 0, 0, 0};
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(index, i);
        if (r.start > r.end || r.end > text_size) {
            result.error = EINVAL;
            return result;
        }
    }
    if (!settings_valid({options.judge_level, options.judge_window_log, options.judge_sample})) {
        result.error = EINVAL;
        return result;
    }
    if (n < 3) {
        if (n > 0) std::memcpy(out, index, size_t(n) * ART_RECORD_SIZE);
        return result;
    }
    // Chain edges are numbered 3 per record in 32 bits.
    if (n >= UINT32_MAX / 3) {
        result.error = ENOMEM;
        return result;
    }
    try {
        const records r{text, text_size, index, n, std::max(1u, std::min(64u, options.threads))};
        return run(r, out, options);
    } catch (const std::bad_alloc&) {
        result.error = ENOMEM;
        return result;
    }
}

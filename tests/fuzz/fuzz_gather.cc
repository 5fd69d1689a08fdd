// Gather's check and copy on arbitrary texts and indexes. An accepted index must gather
// and scatter back exactly the text bytes that its chunks cover, which are those that
// the coverage check counts; nothing may be read outside the text or the index.
#include "chunk_copy.h"
#include "fuzz_input.h"
#include "index_check.h"
#include "index_coverage.h"

#include <algorithm>
#include <cstdlib>

using namespace art;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_input in = split_input(data, size);
    const copy_limits limits = fuzz_limits(data, size);
    const index_breach breach = check_gather_index(in.index.get(), in.n, in.text_size);
    const coverage_result verdict = check_coverage(in.index.get(), in.n, in.text_size);
    if (verdict.breach.kind != breach.kind || verdict.breach.position != breach.position) std::abort();
    if (breach.kind != breach_kind::none) return 0;
    memory_sink gathered;
    if (!gather_chunks({in.text.get(), in.text_size, nullptr}, {in.index.get(), in.n * ART_RECORD_SIZE, nullptr}, gathered, limits).ok()) std::abort();
    if (check_scatter_index(in.index.get(), in.n, gathered.bytes.size()).kind != breach_kind::none)
        std::abort();
    memory_sink scattered;
    if (!scatter_chunks({gathered.bytes.data(), gathered.bytes.size(), nullptr}, {in.index.get(), in.n * ART_RECORD_SIZE, nullptr}, scattered, limits).ok()) std::abort();
    std::vector<bool> covered(in.text_size, false);
    uint64_t end = 0;
    for (uint64_t i = 0; i < in.n; ++i) {
        const art_record r = index_record(in.index.get(), i);
        const uint32_t len = chunk_length(r, i, in.n);
        for (uint64_t p = r.start; p < uint64_t{r.start} + len; ++p) covered[p] = true;
        if (len > 0 && r.start + len > end) end = r.start + len;
    }
    if (scattered.bytes.size() != end) std::abort();
    if (verdict.uncovered != static_cast<uint64_t>(std::count(covered.begin(), covered.end(), false))) std::abort();
    for (uint64_t p = 0; p < end; ++p)
        if (scattered.bytes[p] != (covered[p] ? in.text[p] : 0)) std::abort();
    return 0;
}

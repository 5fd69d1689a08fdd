// Scatter's check and copy on arbitrary gathered texts and indexes. An accepted index must
// give what writing each chunk at its start in index order gives, whichever way the
// chunks are planned; nothing may be read outside the gathered text or the index.
#include "chunk_copy.h"
#include "fuzz_input.h"
#include "index_check.h"

#include <cstdlib>

using namespace art;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz_input in = split_input(data, size);
    const copy_limits limits = fuzz_limits(data, size);
    if (check_scatter_index(in.index.get(), in.n, in.text_size).kind != breach_kind::none) return 0;
    if (!output_fits(in)) return 0;
    memory_sink scattered;
    if (!scatter_chunks({in.text.get(), in.text_size, nullptr}, {in.index.get(), in.n * ART_RECORD_SIZE, nullptr}, scattered, limits).ok()) std::abort();
    if (scattered.bytes != scatter_model(in.text.get(), in)) std::abort();
    return 0;
}

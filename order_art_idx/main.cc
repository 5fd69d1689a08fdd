// order_art_idx: reorders the index so that articles of similar content sit together in
// the gathered text; the new index replaces the old one only once it is proven whole.
#include "art_files.h"
#include "article_order.h"
#include "chunk_copy.h"
#include "file_loader.h"
#include "index_coverage.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

static int fail(const char* file, const char* reason) {
    std::fprintf(stderr, "order_art_idx: %s: %s\n", file, reason);
    return 1;
}

int main() {
    loaded_file text{}, index{};
    if (!load_whole_file(TEXT_FILE, &text).ok() || !load_whole_file(INDEX_FILE, &index).ok()) return 1;
    const uint64_t n = record_count(index.size);
    if (!check_coverage(index.data, n, text.size).whole()) return fail(INDEX_FILE, "does not give the text back");
    std::printf("n=%" PRIu64 "\n", n);

    std::vector<unsigned char> ordered(size_t(n) * ART_RECORD_SIZE);
    order_options options;
    options.threads = machine_limits().threads;
    const order_result r = order_articles(text.data, text.size, index.data, n, ordered.data(), options);
    if (r.error != 0) return fail(INDEX_FILE, std::strerror(r.error));
    if (!check_coverage(ordered.data(), n, text.size).whole()) return fail(INDEX_FILE, "the new order lost a record");
    if (!r.changed) {
        std::printf("n=%" PRIu64 ": the order given is kept: no better one found\n", n);
        return 0;
    }

    const char* const temporary = "enwik_art_idx.order.tmp";
    FILE* const f = std::fopen(temporary, "wb");
    if (f == nullptr) return fail(temporary, std::strerror(errno));
    const bool written = std::fwrite(ordered.data(), 1, ordered.size(), f) == ordered.size();
    if (std::fclose(f) != 0 || !written || std::rename(temporary, INDEX_FILE) != 0) {
        const int err = errno;
        std::remove(temporary);
        return fail(INDEX_FILE, std::strerror(err));
    }
    std::printf("n=%" PRIu64 ": %" PRIu64 " records moved, an estimated %.1f MB less to compress\n", n, r.moved,
                r.estimated_gain / 1e6);
    return 0;
}

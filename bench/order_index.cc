// order_index: orders an index as order_art_idx does, with the method's knobs set on the
// command line, for comparing its variants and its candidate orders; the text and index
// are read whole. kinds=MASK makes and judges only those orders (article_order.h), and
// margin=-1 keeps the smallest of them even where the start is judged smaller.
//
//   order_index TEXT INDEX OUTPUT [NAME=VALUE...]
//   names: threads shingle slots window min_matches text_neighbours chains_up_to
//          chain_mean_bytes level window_log sample margin kinds
#include "article_order.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static bool read_file(const char* name, std::vector<unsigned char>& out) {
    FILE* const f = std::fopen(name, "rb");
    if (f == nullptr) return false;
    unsigned char block[1 << 16];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + got);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: order_index TEXT INDEX OUTPUT [NAME=VALUE...]\n");
        return 2;
    }
    order_options o;
    for (int i = 4; i < argc; ++i) {
        const char* const eq = std::strchr(argv[i], '=');
        if (eq == nullptr) return 2;
        const std::string name(argv[i], size_t(eq - argv[i]));
        const unsigned long long v = std::strtoull(eq + 1, nullptr, 10);
        if (name == "threads") o.threads = unsigned(v);
        else if (name == "shingle") o.shingle = unsigned(v);
        else if (name == "slots") o.slots = unsigned(v);
        else if (name == "window") o.window = unsigned(v);
        else if (name == "min_matches") o.min_matches = unsigned(v);
        else if (name == "text_neighbours") o.text_neighbours = v != 0;
        else if (name == "chains_up_to") o.chains_up_to = v;
        else if (name == "chain_mean_bytes") o.chain_mean_bytes = v;
        else if (name == "level") o.judge_level = std::atoi(eq + 1);
        else if (name == "window_log") o.judge_window_log = unsigned(v);
        else if (name == "sample") o.judge_sample = v;
        else if (name == "margin") o.margin = std::atof(eq + 1);
        else if (name == "kinds") o.kinds = unsigned(v);
        else {
            std::fprintf(stderr, "order_index: unknown option %s\n", name.c_str());
            return 2;
        }
    }
    std::vector<unsigned char> text, index;
    if (!read_file(argv[1], text) || !read_file(argv[2], index)) {
        std::perror("order_index");
        return 1;
    }
    const uint64_t n = index.size() / 8;
    std::vector<unsigned char> out(index.size() - index.size() % 8);
    const order_result r = order_articles(text.data(), text.size(), index.data(), n, out.data(), o);
    if (r.error != 0) {
        std::fprintf(stderr, "order_index: %s\n", std::strerror(r.error));
        return 1;
    }
    FILE* const f = std::fopen(argv[3], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() || std::fclose(f) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    std::printf("n=%llu: %llu records moved, %s, judged %llu -> %llu on %llu of %llu bytes, %u orders\n",
                (unsigned long long)n, (unsigned long long)r.moved, order_kind_name(r.kind),
                (unsigned long long)r.before, (unsigned long long)r.after, (unsigned long long)r.judged_bytes,
                (unsigned long long)r.total_bytes, r.judged);
    return 0;
}

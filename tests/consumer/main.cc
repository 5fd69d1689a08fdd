// reverse_articles FOLDER: writes a text and, with the format's codec, an index that lists
// its articles last to first but for the text's last one; loads the index back and proves
// it with the coverage check, orders it and proves the order; then proves that one
// without its first record is refused.
// Its own same_file, print and program_name keep to it, and it loads and releases more
// files than it may hold open at once.
#include <art_common/art_index.h>
#include <art_common/article_order.h>
#include <art_common/file_loader.h>
#include <art_common/index_coverage.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <vector>

// Names that a tool may well have of its own.
const char* program_name = "reverse_articles";
bool same_file(const char* a, const char* b) { return std::string(a) == b; }
void print(const char* line) { std::printf("%s: %s\n", program_name, line); }

namespace {

bool write_file(const std::string& name, const std::string& bytes) {
    FILE* const f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

// Loads the index written to name and checks it against a text of text_size bytes.
coverage_result load_and_check(const std::string& name, const std::string& index, const uint64_t text_size) {
    loaded_file loaded{};
    if (!write_file(name, index) || !load_whole_file(name.c_str(), &loaded).ok() || loaded.size != index.size())
        return {EIO, {}, 0, 0, 0, 0};
    return check_coverage(loaded.data, record_count(loaded.size), text_size);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? std::string(argv[1]) + "/" : "";
    const std::string text = std::string("first") + char(ART_DELIMITER) + "second" + char(ART_DELIMITER) + "third";
    std::vector<art_record> records;
    uint32_t start = 0;
    for (uint32_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || static_cast<unsigned char>(text[at]) == ART_DELIMITER) {
            records.push_back({start, at});
            start = at + 1;
        }
    }
    std::vector<art_record> reordered(records.rbegin() + 1, records.rend());
    reordered.push_back(records.back());
    std::string index(reordered.size() * ART_RECORD_SIZE, '\0');
    for (size_t i = 0; i < reordered.size(); ++i)
        encode_record(reordered[i], reinterpret_cast<unsigned char*>(&index[i * ART_RECORD_SIZE]));
    if (!write_file(folder + "text", text)) return 1;

    const coverage_result whole = load_and_check(folder + "reversed_idx", index, text.size());
    std::printf("%zu records reversed: %s\n", records.size(), whole.whole() ? "the text comes back whole" : "LOST");
    const coverage_result lost = load_and_check(folder + "short_idx", index.substr(ART_RECORD_SIZE), text.size());
    std::printf("without record 0: %s\n", describe_gaps(lost, "text").c_str());
    if (!whole.whole() || lost.whole() || lost.first_gap != 6 || lost.first_gap_end != 13) return 1;

    // The library's ordering of the reversed index: the same records, the last one last.
    std::string ordered(index.size(), '\0');
    const auto* const text_bytes = reinterpret_cast<const unsigned char*>(text.data());
    const order_result r = order_articles(text_bytes, text.size(), reinterpret_cast<const unsigned char*>(index.data()),
                                          reordered.size(), reinterpret_cast<unsigned char*>(&ordered[0]));
    const auto* const out = reinterpret_cast<const unsigned char*>(ordered.data());
    if (r.error != 0 || !check_coverage(out, reordered.size(), text.size()).whole() ||
        index_record(out, reordered.size() - 1).start != reordered.back().start) {
        print("the ordering lost a record or moved the last one");
        return 1;
    }
    std::printf("ordered: %llu records moved\n", static_cast<unsigned long long>(r.moved));

    // Under a limit of 32 open files, 200 loads each released; then loads kept until one
    // fails, which must say why.
    const rlimit few{32, 32};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0) return 1;
    for (int k = 0; k < 200; ++k) {
        loaded_file f{};
        if (!load_whole_file((folder + "text").c_str(), &f).ok() || f.size != text.size()) {
            print("a load failed although every earlier one was released");
            return 1;
        }
        release_loaded(&f);
    }
    std::vector<loaded_file> kept(64);
    art_status failed = ART_OK;
    for (loaded_file& f : kept)
        if (failed.ok()) failed = load_whole_file((folder + "text").c_str(), &f);
    for (loaded_file& f : kept) release_loaded(&f);
    if (!failed.not_opened || failed.code != EMFILE) {
        print(("too many open files, said as: " + std::string(art_strerror(failed.code))).c_str());
        return 1;
    }
    std::printf("200 loads released under a limit of 32 open files; more kept: %s\n", art_strerror(failed.code));
    return same_file("a", "a") ? 0 : 1;
}

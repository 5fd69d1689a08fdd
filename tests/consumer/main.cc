// reverse_articles FOLDER: writes a text and, with the format's codec, an index that lists
// its articles last to first but for the text's last one; loads the index back and proves
// it with the coverage check; then proves that one without its first record is refused.
#include <art_common/art_index.h>
#include <art_common/file_loader.h>
#include <art_common/index_coverage.h>

#include <cstdio>
#include <string>
#include <vector>

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
    return whole.whole() && !lost.whole() && lost.first_gap == 6 && lost.first_gap_end == 13 ? 0 : 1;
}

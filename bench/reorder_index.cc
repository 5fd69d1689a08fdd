// reorder_index: shuffles the records of an article index, keeping the last record last,
// as a reordering step between gather and scatter would.
//
//   reorder_index INPUT OUTPUT [SEED=1]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: reorder_index INPUT OUTPUT [SEED]\n");
        return 2;
    }
    FILE* const in = std::fopen(argv[1], "rb");
    if (in == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<uint64_t> records;  // each the 8 bytes of one record, order kept as stored
    uint64_t r = 0;
    while (std::fread(&r, sizeof r, 1, in) == 1) records.push_back(r);
    std::fclose(in);
    std::mt19937_64 rng(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1);
    for (size_t i = records.size() > 1 ? records.size() - 2 : 0; i > 0; --i)
        std::swap(records[i], records[rng() % (i + 1)]);
    FILE* const out = std::fopen(argv[2], "wb");
    if (out == nullptr || std::fwrite(records.data(), sizeof r, records.size(), out) != records.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    return 0;
}

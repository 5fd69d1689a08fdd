#include "art_status.h"
#include "art_index.h"
#include "article_order.h"
#include "article_split.h"
#include "block_writer.h"
#include "chunk_copy.h"
#include "file_loader.h"
#include "index_check.h"
#include "index_coverage.h"
#include "memory_sink.h"
#include "ordered_ring.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <sys/stat.h>
#include <vector>

using namespace art;

namespace {

using bytes = std::vector<unsigned char>;

bytes encode_all(const std::vector<art_record>& records) {
    bytes out(records.size() * ART_RECORD_SIZE);
    for (size_t i = 0; i < records.size(); ++i) encode_record(records[i], &out[i * ART_RECORD_SIZE]);
    return out;
}

bytes to_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// The records of text, split block by block with the given block size.
bytes split_in_blocks(const bytes& text, const size_t block) {
    article_splitter s{0, 0, 0};
    bytes index;
    for (size_t at = 0; at < text.size(); at += block) {
        const size_t size = std::min(block, text.size() - at);
        bytes records(size * ART_RECORD_SIZE);
        const size_t made = split_block(&s, text.data() + at, size, records.data());
        index.insert(index.end(), records.begin(), records.begin() + long(made * ART_RECORD_SIZE));
    }
    bytes last(ART_RECORD_SIZE);
    split_end(&s, last.data());
    index.insert(index.end(), last.begin(), last.end());
    EXPECT_EQ(s.n, index.size() / ART_RECORD_SIZE);
    return index;
}

TEST(RecordCodec, StoresLittleEndianWhateverTheHost) {
    const struct { art_record record; bytes stored; } cases[] = {
        {{1, 2}, {1, 0, 0, 0, 2, 0, 0, 0}},
        {{0x12345678, 0xFFFFFFFE}, {0x78, 0x56, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF}},
        {{0x80000000, 0x00010000}, {0, 0, 0, 0x80, 0, 0, 1, 0}},
    };
    for (const auto& c : cases) {
        bytes out(8);
        encode_record(c.record, out.data());
        EXPECT_EQ(out, c.stored);
        const art_record back = decode_record(c.stored.data());
        EXPECT_EQ(back.start, c.record.start);
        EXPECT_EQ(back.end, c.record.end);
    }
}

TEST(RecordCount, IgnoresTrailingPartialRecord) {
    const struct { uint64_t size, count; } cases[] = {
        {0, 0}, {7, 0}, {8, 1}, {13, 1}, {16, 2}, {uint64_t{1} << 35, uint64_t{1} << 32}};
    for (const auto& c : cases) EXPECT_EQ(record_count(c.size), c.count) << c.size;
}

TEST(ChunkLength, AddsDelimiterExceptLastAndWrapsIn32Bits) {
    const struct { art_record r; uint64_t i, n; uint32_t length; } cases[] = {
        {{0, 2}, 0, 2, 3},                    // article and its delimiter
        {{3, 5}, 1, 2, 2},                    // the last record has no delimiter
        {{0, 0}, 0, 1, 0},                    // empty text
        {{4, 4}, 0, 2, 1},                    // empty article: the delimiter alone
        {{5, 3}, 1, 2, 0xFFFFFFFE},           // start past end wraps
        {{5, 4}, 0, 2, 0},                    // ... and can wrap to 0
        {{0, 0xFFFFFFFF}, 0, 2, 0},           // 2^32 - 1 byte article plus delimiter
        {{0, 0xFFFFFFFF}, 1, 2, 0xFFFFFFFF},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chunk_length(c.r, c.i, c.n), c.length) << c.r.start << ".." << c.r.end;
}

TEST(ArticleSplit, SameRecordsWhateverTheBlockSize) {
    std::mt19937 rng(5);
    bytes text(3000);
    for (auto& b : text) b = rng() % 6 == 0 ? ART_DELIMITER : static_cast<unsigned char>(rng());
    const bytes whole = split_in_blocks(text, text.size());
    for (const size_t block : {1, 2, 7, 64, 1000}) EXPECT_EQ(split_in_blocks(text, block), whole);
    // Every article ends at a delimiter, the last at the end of the text.
    const uint64_t n = record_count(whole.size());
    uint64_t expected_start = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(whole.data(), i);
        EXPECT_EQ(r.start, expected_start);
        if (i + 1 < n) {
            EXPECT_EQ(text[r.end], ART_DELIMITER);
        } else {
            EXPECT_EQ(r.end, text.size());
        }
        EXPECT_EQ(std::count(text.begin() + r.start, text.begin() + r.end, ART_DELIMITER), 0);
        expected_start = uint64_t{r.end} + 1;
    }
}

// A folder of this test's own, in this build's scratch root, so that tests run in
// parallel, and builds run at once, never share one.
struct loader_files : ::testing::Test {
    void SetUp() override {
        dir = std::string(ART_SCRATCH_ROOT) + "/" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        mkdir(ART_SCRATCH_ROOT, 0755);
        mkdir(dir.c_str(), 0755);
        write("empty", "");
        write("five", "ab\x01" "cd");
    }
    void write(const char* name, const std::string& content) {
        FILE* const f = std::fopen((dir + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    std::string path(const char* name) const { return dir + "/" + name; }
    std::string dir;
};

TEST_F(loader_files, LoadsExactBytesAndTracksSize) {
    loaded_file five{}, empty{}, missing{};
    ASSERT_EQ(load_whole_file(path("five").c_str(), &five).code, 0);
    ASSERT_NE(five.data, nullptr);
    EXPECT_EQ(loaded_size, 5u);
    EXPECT_EQ(five.size, 5u);
    EXPECT_EQ(bytes(five.data, five.data + 5), to_bytes("ab\x01" "cd"));

    EXPECT_EQ(load_whole_file(path("empty").c_str(), &empty).code, 0);
    EXPECT_NE(empty.data, nullptr);
    EXPECT_EQ(loaded_size, 0u);  // two loads in a row: the second size wins

    release_loaded(&five);
    EXPECT_EQ(five.data, nullptr);
    load_whole_file(path("five").c_str(), &five);
    const art_status s = load_whole_file(path("missing").c_str(), &missing);
    EXPECT_EQ(missing.data, nullptr);
    EXPECT_TRUE(s.not_opened && s.code == ENOENT);  // not opened, with its errno: the silent failure
    EXPECT_EQ(loaded_size, 5u);
    for (loaded_file* f : {&five, &empty, &missing}) release_loaded(f);
}

TEST_F(loader_files, DirectoryIsAReadFailureNotAnEmptyFile) {
    loaded_file five{}, directory{};
    load_whole_file(path("five").c_str(), &five);
    const art_status s = load_whole_file(dir.c_str(), &directory);
    EXPECT_EQ(directory.data, nullptr);
    EXPECT_EQ(s.code, EISDIR);
    EXPECT_STREQ(s.file, dir.c_str());
    EXPECT_EQ(loaded_size, 5u);
    release_loaded(&five);
}

struct check_case {
    const char* name;
    std::vector<art_record> index;
    uint64_t data_size;
    breach_kind kind;
    uint64_t position;
};

template <size_t N>
void expect_breaches(const check_case (&cases)[N],
                     index_breach (*check)(const unsigned char*, uint64_t, uint64_t)) {
    for (const auto& c : cases) {
        const bytes index = encode_all(c.index);
        const index_breach b = check(index.data(), c.index.size(), c.data_size);
        EXPECT_EQ(b.kind, c.kind) << c.name;
        if (c.kind != breach_kind::none) {
            EXPECT_EQ(b.position, c.position) << c.name;
        }
    }
}

TEST(IndexCheck, GatherRefusesRecordsOutsideTheText) {
    const check_case cases[] = {
        {"builder's index", {{0, 2}, {3, 5}}, 5, breach_kind::none, 0},
        {"reordered, last kept last", {{3, 4}, {0, 2}, {5, 7}}, 7, breach_kind::none, 0},
        {"no records", {}, 0, breach_kind::none, 0},
        {"start past end", {{0, 2}, {4, 3}}, 5, breach_kind::start_after_end, 1},
        {"last record not last", {{3, 5}, {0, 2}}, 5, breach_kind::past_end, 0},
        {"end past the text", {{0, 2}, {3, 6}}, 5, breach_kind::past_end, 1},
        {"32-bit wrap of the length", {{0, 0xFFFFFFFF}, {0, 0}}, 5, breach_kind::past_end, 0},
        {"start far past the text", {{0xFFFFFFF0, 0xFFFFFFFF}}, 5, breach_kind::past_end, 0},
    };
    expect_breaches(cases, check_gather_index);
}

TEST(IndexCheck, ScatterRefusesChunksPastTheGatheredText) {
    const check_case cases[] = {
        {"builder's index", {{0, 2}, {3, 5}}, 5, breach_kind::none, 0},
        {"offsets past the gathered size are fine", {{100, 102}, {0, 2}}, 5, breach_kind::none, 0},
        {"start past end", {{4, 3}, {0, 1}}, 5, breach_kind::start_after_end, 0},
        {"last record not last, yet inside", {{3, 5}, {0, 2}}, 5, breach_kind::none, 0},
        {"lengths sum past the size", {{0, 2}, {3, 5}}, 4, breach_kind::past_end, 1},
        {"32-bit wrap of the length", {{0, 0xFFFFFFFF}, {0, 0}}, 5, breach_kind::past_end, 0},
    };
    expect_breaches(cases, check_scatter_index);
}

TEST(IndexCheck, DescribesTheRecord) {
    EXPECT_EQ(describe_breach({breach_kind::start_after_end, 3, {10, 4}}, "t", 5),
              "record 3 (start 10, end 4): start is past end");
    EXPECT_EQ(describe_breach({breach_kind::past_end, 7, {3, 4294967295u}}, "t", 5),
              "record 7 (start 3, end 4294967295): chunk runs past the end of t (5 bytes)");
}

struct coverage_case {
    const char* name;
    std::vector<art_record> index;
    uint64_t text_size;
    uint64_t first_gap, first_gap_end, uncovered, gaps;  // all 0: the text comes back whole
};

// The numbers of threads that an index held whole is checked on: the verdict is that of one.
const unsigned COVERAGE_THREADS[] = {1, 2, 3, 5};

// Blocks of 64 KiB and masks of 64 bytes: gaps and chunks at and across their edges, and
// across the edges of the parts that the blocks are swept in on 3 threads.
TEST(IndexCoverage, FindsTheBytesThatNoChunkCovers) {
    const coverage_case cases[] = {
        {"builder's index", {{0, 2}, {3, 5}}, 5, 0, 0, 0, 0},
        {"reordered, last kept last", {{3, 4}, {0, 2}, {5, 7}}, 7, 0, 0, 0, 0},
        {"empty text, no records", {}, 0, 0, 0, 0, 0},
        {"empty text, one empty record", {{0, 0}}, 0, 0, 0, 0, 0},
        {"no records", {}, 5, 0, 5, 5, 1},
        {"a record missing", {{0, 2}, {6, 8}}, 8, 3, 6, 3, 1},
        {"a record replaced by a copy of another", {{0, 2}, {0, 2}, {7, 8}}, 8, 3, 7, 4, 1},
        {"last record not the text's last", {{3, 5}, {0, 2}}, 8, 2, 3, 3, 2},
        {"overlaps", {{2, 6}, {0, 4}, {7, 9}}, 9, 0, 0, 0, 0},
        {"split articles", {{1, 2}, {0, 0}, {3, 5}}, 5, 0, 0, 0, 0},
        {"one-byte gaps in one mask", {{10, 10}, {0, 0}, {12, 12}, {14, 15}}, 16, 1, 10, 12, 4},
        {"a gap across masks", {{100, 199}, {0, 9}}, 200, 9, 100, 91, 1},
        {"reordered across blocks", {{65536, 131071}, {0, 65535}, {131072, 200000}}, 200000, 0, 0, 0, 0},
        {"gap at a block's last byte", {{65536, 131071}, {0, 65534}, {131072, 200000}}, 200000, 65535, 65536, 1, 1},
        {"gap over whole blocks", {{300000, 399999}, {0, 9}}, 400000, 9, 300000, 299991, 1},
        {"a chunk reaching over blocks", {{100, 150000}, {0, 99}, {150001, 160000}}, 160000, 0, 0, 0, 0},
        {"the byte after it", {{100, 150000}, {0, 99}, {150002, 160000}}, 160000, 150001, 150002, 1, 1},
        {"text of one block, last byte", {{32768, 65533}, {0, 32767}, {65534, 65535}}, 65536, 65535, 65536, 1, 1},
        {"one gap over every part", {}, 400000, 0, 400000, 400000, 1},
        {"the first gap runs into the next part, another in the last",
         {{300000, 350000}, {0, 9}, {360000, 400000}}, 400000, 10, 300000, 309989, 2},
        {"a gap from one part's last byte", {{0, 196606}, {196608, 400000}}, 400000, 196607, 196608, 1, 1},
        {"a gap to the next part's first byte", {{0, 196606}, {196609, 400000}}, 400000, 196607, 196609, 2, 1},
        {"a chunk that covers a whole part", {{100, 399999}, {0, 99}, {400000, 400000}}, 400000, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const bytes index = encode_all(c.index);
        for (const unsigned threads : COVERAGE_THREADS) {
            const coverage_result r = check_coverage(index.data(), c.index.size(), c.text_size, threads);
            const std::string label = std::string(c.name) + ", " + std::to_string(threads) + " threads";
            EXPECT_EQ(r.breach.kind, breach_kind::none) << label;
            EXPECT_EQ(r.whole(), c.uncovered == 0) << label;
            EXPECT_EQ(r.first_gap, c.first_gap) << label;
            EXPECT_EQ(r.first_gap_end, c.first_gap_end) << label;
            EXPECT_EQ(r.uncovered, c.uncovered) << label;
            EXPECT_EQ(r.gaps, c.gaps) << label;
        }
    }
}

// The first record that gather refuses, wherever the parts of the index are cut: on 3
// threads, records 0-3, 4-6 and 7-9 are the parts.
TEST(IndexCoverage, TheFirstRefusalWhateverTheThreads) {
    const struct { const char* name; std::vector<art_record> index; breach_kind kind; uint64_t position; } cases[] = {
        {"one in each of two parts", {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {11, 10}, {12, 13}, {14, 15}, {99, 200},
                                      {18, 20}},
         breach_kind::start_after_end, 5},
        {"one in each part", {{0, 1}, {9, 8}, {4, 5}, {6, 7}, {8, 9}, {11, 10}, {12, 13}, {14, 15}, {99, 200},
                              {18, 20}},
         breach_kind::start_after_end, 1},
        {"the last part's first record", {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}, {12, 13}, {14, 20},
                                          {16, 17}, {18, 20}},
         breach_kind::past_end, 7},
        {"the last record not last", {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}, {10, 11}, {12, 13}, {14, 15},
                                      {16, 17}, {18, 19}},
         breach_kind::none, 0},
    };
    for (const auto& c : cases) {
        const bytes index = encode_all(c.index);
        ASSERT_EQ(check_gather_index(index.data(), c.index.size(), 20).position, c.position) << c.name;
        for (const unsigned threads : COVERAGE_THREADS) {
            const coverage_result r = check_coverage(index.data(), c.index.size(), 20, threads);
            const std::string label = std::string(c.name) + ", " + std::to_string(threads) + " threads";
            EXPECT_EQ(r.error, 0) << label;
            EXPECT_EQ(r.breach.kind, c.kind) << label;
            EXPECT_EQ(r.breach.position, c.position) << label;
            if (c.kind == breach_kind::none) {
                EXPECT_EQ(r.first_gap, uint64_t{19}) << label;
                EXPECT_EQ(r.gaps, uint64_t{1}) << label;
            }
        }
    }
}

// Whether each byte of a text of text_size bytes is in a chunk of index, byte by byte.
std::vector<bool> covered_bytes(const bytes& index, const uint64_t text_size) {
    std::vector<bool> covered(text_size);
    for (chunk_cursor c(index.data(), record_count(index.size())); !c.done(); c.next())
        std::fill_n(covered.begin() + c.record().start, c.length(), true);
    return covered;
}

// Indexes of every kind for random texts without zero bytes: the verdict is whole exactly
// when gather then scatter give the text back, and its gaps are those counted byte by byte.
TEST(IndexCoverage, VerdictAgreesWithTheRoundTrip) {
    std::mt19937 rng(12);
    int whole = 0, lost = 0;
    for (int k = 0; k < 120; ++k) {
        bytes text(k % 3 == 0 ? rng() % 300 : 100000 + rng() % 200000);
        const unsigned odds = k % 2 == 0 ? 30 : 20000;
        for (auto& b : text) b = rng() % odds == 0 ? ART_DELIMITER : static_cast<unsigned char>(1 + rng() % 255);
        std::vector<art_record> records;
        const bytes built = split_in_blocks(text, 4096);
        for (uint64_t i = 0; i < record_count(built.size()); ++i) records.push_back(index_record(built.data(), i));
        const auto fitting = [&] {  // a record whose chunk lies in the text, not last
            const uint32_t start = static_cast<uint32_t>(rng() % text.size());
            return art_record{start, static_cast<uint32_t>(std::min<uint64_t>(text.size() - 1, start + rng() % 90))};
        };
        switch (text.empty() ? 0 : k % 5) {
        case 0:  // the builder's, in order or reordered
            if (k % 10 != 0) std::shuffle(records.begin(), records.end() - 1, rng);
            break;
        case 1:  // a record dropped or replaced by a copy of another
            if (records.size() > 1) {
                const size_t at = rng() % (records.size() - 1);
                if (k % 2 == 0) records.erase(records.begin() + long(at));
                else records[at] = records[rng() % records.size()];
            }
            std::shuffle(records.begin(), records.end() - 1, rng);
            break;
        case 2:  // articles split in two, with overlapping records added
            for (size_t i = 0; i + 1 < records.size(); ++i) {
                const art_record r = records[i];
                if (r.end == r.start || rng() % 2 == 0) continue;
                const uint32_t split = r.start + 1 + static_cast<uint32_t>(rng() % (r.end - r.start));
                records[i] = {r.start, split - 1};
                records.insert(records.begin() + long(i) + 1, art_record{split, r.end});
            }
            for (int extra = 0; extra < 20; ++extra) records.insert(records.begin(), fitting());
            std::shuffle(records.begin(), records.end() - 1, rng);
            break;
        case 3:  // records anywhere
            records.clear();
            for (size_t i = 0; i < text.size() / 30; ++i) records.push_back(fitting());
            break;
        default:  // the last record moved: gather refuses it
            std::shuffle(records.begin(), records.end(), rng);
        }
        const bytes index = encode_all(records);
        const uint64_t n = records.size();
        const coverage_result r = check_coverage(index.data(), n, text.size());
        ASSERT_EQ(r.error, 0);
        const coverage_result threaded = check_coverage(index.data(), n, text.size(), 3);
        EXPECT_EQ(threaded.error, 0) << k;
        EXPECT_EQ(threaded.breach.kind, r.breach.kind) << k;
        EXPECT_EQ(threaded.breach.position, r.breach.position) << k;
        EXPECT_EQ(threaded.first_gap, r.first_gap) << k;
        EXPECT_EQ(threaded.first_gap_end, r.first_gap_end) << k;
        EXPECT_EQ(threaded.uncovered, r.uncovered) << k;
        EXPECT_EQ(threaded.gaps, r.gaps) << k;
        coverage_check in_pieces(text.size());  // as a program reads the index
        for (uint64_t at = 0, piece = 0; at < n; at += piece) {
            piece = std::min<uint64_t>(n - at, rng() % 3 == 0 ? 0 : 1 + rng() % 50);
            in_pieces.add(index.data() + at * ART_RECORD_SIZE, piece);
        }
        const coverage_result pieces = in_pieces.finish();
        EXPECT_EQ(pieces.breach.position, r.breach.position) << k;
        EXPECT_EQ(pieces.whole(), r.whole()) << k;
        EXPECT_EQ(pieces.first_gap, r.first_gap) << k;
        EXPECT_EQ(pieces.first_gap_end, r.first_gap_end) << k;
        EXPECT_EQ(pieces.uncovered, r.uncovered) << k;
        EXPECT_EQ(pieces.gaps, r.gaps) << k;
        const index_breach breach = check_gather_index(index.data(), n, text.size());
        EXPECT_EQ(r.breach.kind, breach.kind) << k;
        EXPECT_EQ(r.breach.position, breach.position) << k;
        bool back = false;
        if (breach.kind == breach_kind::none) {
            memory_sink gathered, scattered;
            const loaded_file as_loaded{index.data(), index.size(), nullptr};
            ASSERT_TRUE(gather_chunks({text.data(), text.size(), nullptr}, as_loaded, gathered).ok());
            ASSERT_TRUE(scatter_chunks({gathered.bytes.data(), gathered.bytes.size(), nullptr}, as_loaded, scattered).ok());
            back = scattered.bytes == text;
            const std::vector<bool> covered = covered_bytes(index, text.size());
            const auto gap = std::find(covered.begin(), covered.end(), false);
            EXPECT_EQ(r.uncovered, uint64_t(std::count(covered.begin(), covered.end(), false))) << k;
            EXPECT_EQ(r.first_gap, gap == covered.end() ? 0 : uint64_t(gap - covered.begin())) << k;
            EXPECT_EQ(r.first_gap_end, uint64_t(std::find(gap, covered.end(), true) - covered.begin()) * (r.gaps > 0))
                << k;
            uint64_t gaps = 0;
            for (size_t p = 0; p < covered.size(); ++p) gaps += !covered[p] && (p == 0 || covered[p - 1]);
            EXPECT_EQ(r.gaps, gaps) << k;
        }
        EXPECT_EQ(r.whole(), back) << k;
        (back ? whole : lost) += 1;
    }
    EXPECT_GT(whole, 30);
    EXPECT_GT(lost, 30);
}

bytes scatter(const bytes& gathered, const std::vector<art_record>& records) {
    const bytes index = encode_all(records);
    EXPECT_EQ(check_scatter_index(index.data(), records.size(), gathered.size()).kind,
              breach_kind::none);
    memory_sink out;
    EXPECT_EQ(scatter_chunks({gathered.data(), gathered.size(), nullptr}, {index.data(), index.size(), nullptr}, out).code, 0);
    return out.bytes;
}

TEST(ChunkCopy, ScatterFillsGapsWithZerosAndLaterRecordWins) {
    EXPECT_EQ(scatter(to_bytes("abcde"), {{10, 12}, {0, 2}}),
              to_bytes(std::string("de") + std::string(8, '\0') + "abc"));
    EXPECT_EQ(scatter(to_bytes("ABCDxy"), {{0, 3}, {1, 3}}), to_bytes("AxyD"));
    EXPECT_EQ(scatter(to_bytes("xyABCD"), {{1, 2}, {0, 4}}), to_bytes("ABCD"));
    EXPECT_EQ(scatter(to_bytes("a\x01"), {{0, 1}, {9, 9}}), to_bytes("a\x01"));  // empty chunk
}

// Small staging, window and plan sizes make a small text cross all their edges: runs split
// over stages, reads through the file, several passes over the index, windows too full to
// plan; pieces that fill a stage exactly, and runs just short of and at the length read
// through the file. Each runs on one thread and on several, with a thread for any work.
const copy_limits LIMITS[] = {copy_limits(), {7, 5, 3}, {64, 1u << 30, 1}, {1, 1, 2}, {16, 15, 2}, {64, 64, 1}};
const unsigned THREADS[] = {1, 3};

copy_limits with_threads(copy_limits limits, const unsigned threads) {
    limits.threads = threads;
    if (threads > 1) limits.part_min = 1;
    return limits;
}

TEST(ChunkCopy, GatherThenScatterGivesTheTextBack) {
    std::mt19937 rng(9);
    for (const int delimiter_odds : {2, 50, 5000}) {
        bytes text(20000 + rng() % 1000);
        for (auto& b : text) b = rng() % delimiter_odds == 0 ? ART_DELIMITER : static_cast<unsigned char>(rng());
        const bytes builder_index = split_in_blocks(text, 4096);
        const uint64_t n = record_count(builder_index.size());
        std::vector<art_record> records;
        for (uint64_t i = 0; i < n; ++i) records.push_back(index_record(builder_index.data(), i));
        std::shuffle(records.begin(), records.end() - 1, rng);
        for (const copy_limits& base : LIMITS) {
          for (const unsigned threads : THREADS) {
            const copy_limits limits = with_threads(base, threads);
            for (const bytes& index : {builder_index, encode_all(records)}) {
                ASSERT_EQ(check_gather_index(index.data(), n, text.size()).kind, breach_kind::none);
                memory_sink gathered;
                ASSERT_EQ(gather_chunks({text.data(), text.size(), nullptr}, {index.data(), index.size(), nullptr}, gathered, limits).code, 0);
                ASSERT_EQ(gathered.bytes.size(), text.size());
                if (index == builder_index) {
                    EXPECT_EQ(gathered.bytes, text);
                    if (limits.stage_size == copy_limits().stage_size && threads == 1) {
                        EXPECT_EQ(gathered.write_calls, 1u);  // neighbouring chunks merge into one write
                    }
                }
                ASSERT_EQ(check_scatter_index(index.data(), n, text.size()).kind, breach_kind::none);
                memory_sink scattered;
                ASSERT_EQ(scatter_chunks({gathered.bytes.data(), gathered.bytes.size(), nullptr},
                                         {index.data(), index.size(), nullptr}, scattered, limits).code, 0);
                EXPECT_EQ(scattered.bytes, text) << "records " << n << ", stage " << limits.stage_size
                                                 << ", threads " << threads;
            }
          }
        }
    }
}

// A text of articles of 40 to 300 bytes, each made of the words of one of `vocabularies`
// vocabularies that share no word; vocabulary_of[i] is that of article i, in text order.
// grouped: the articles of one vocabulary follow each other; else in random order.
bytes vocabulary_text(const size_t articles, const unsigned vocabularies, const bool grouped,
                      std::vector<unsigned>& vocabulary_of, const unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<std::string>> words(vocabularies);
    for (unsigned v = 0; v < vocabularies; ++v)
        for (int w = 0; w < 40; ++w) {
            std::string word = std::to_string(v) + "_";  // no word in two vocabularies
            for (size_t k = 3 + rng() % 6; k > 0; --k) word += char('a' + rng() % 26);
            words[v].push_back(word);
        }
    vocabulary_of.resize(articles);
    for (size_t i = 0; i < articles; ++i) vocabulary_of[i] = unsigned(grouped ? i * vocabularies / articles : rng() % vocabularies);
    bytes text;
    for (size_t i = 0; i < articles; ++i) {
        const size_t length = 40 + rng() % 261;
        std::string article;
        while (article.size() < length) article += words[vocabulary_of[i]][rng() % 40] + " ";
        article.resize(length);
        if (i > 0) text.push_back(ART_DELIMITER);
        text.insert(text.end(), article.begin(), article.end());
    }
    return text;
}

// The records of index in order, as numbers of the builder's records (their order in text).
std::vector<uint64_t> as_text_positions(const bytes& index) {
    std::vector<uint64_t> starts, positions;
    for (uint64_t i = 0; i < record_count(index.size()); ++i) starts.push_back(index_record(index.data(), i).start);
    std::vector<uint64_t> sorted = starts;
    std::sort(sorted.begin(), sorted.end());
    for (const uint64_t s : starts) positions.push_back(uint64_t(std::lower_bound(sorted.begin(), sorted.end(), s) - sorted.begin()));
    return positions;
}

bytes shuffled_keeping_last(const bytes& index, const unsigned seed) {
    std::vector<art_record> records;
    for (uint64_t i = 0; i < record_count(index.size()); ++i) records.push_back(index_record(index.data(), i));
    std::mt19937 rng(seed);
    if (records.size() > 1) std::shuffle(records.begin(), records.end() - 1, rng);
    return encode_all(records);
}

// The judge keeps no order that it measured larger than the start, nor one smaller by
// less than the margin.
void expect_judged_smaller(const order_result& r, const std::string& name) {
    if (r.changed)
        EXPECT_LT(double(r.after), double(r.before) * (1 - order_options().margin)) << name;
    else
        EXPECT_EQ(r.after, r.before) << name;
}

// What zstd -19 makes of the text gathered by index, plus the index.
size_t compressed_net(const bytes& text, const bytes& index) {
    bytes gathered;
    for (uint64_t i = 0; i < record_count(index.size()); ++i) {
        const art_record r = index_record(index.data(), i);
        if (i > 0) gathered.push_back(ART_DELIMITER);
        gathered.insert(gathered.end(), text.begin() + r.start, text.begin() + r.end);
    }
    size_t total = 0;
    for (const bytes* b : {static_cast<const bytes*>(&gathered), &index}) {
        bytes out(ZSTD_compressBound(b->size()));
        const size_t z = ZSTD_compress(out.data(), out.size(), b->data(), b->size(), 19);
        EXPECT_FALSE(ZSTD_isError(z));
        total += z;
    }
    return total;
}

// Orders index within a budget of ORDER_SECONDS: a run that does not end by then fails
// the test binary, so that a row that hangs is reported rather than waited for.
constexpr int ORDER_SECONDS = 10;
bytes ordered(const bytes& text, const bytes& index, order_result& r, const unsigned threads = 1,
              const bool chains = false) {
    bytes out(index.size());
    order_options o;
    o.threads = threads;
    if (chains) o.chain_mean_bytes = 0;  // chains made for short articles too
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(ORDER_SECONDS), [&] { return done; })) {
            std::fprintf(stderr, "order_articles did not end within %d s\n", ORDER_SECONDS);
            std::_Exit(1);
        }
    });
    r = order_articles(text.data(), text.size(), index.data(), record_count(index.size()), out.data(), o);
    {
        const std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();
    return out;
}

// Whatever the text, the new index holds exactly the start's records, the last one last,
// and gives the text back.
TEST(ArticleOrder, APermutationWithTheLastRecordLast) {
    std::mt19937 rng(12);
    std::string mixed;  // short and long articles, empty ones, copies of one another
    for (int i = 0; i < 600; ++i) {
        const int kind = int(rng() % 4);
        mixed += kind == 0 ? std::string() : kind == 1 ? std::string("the same article") : std::string(rng() % 400, char('a' + rng() % 3));
        mixed += '\x01';
    }
    const struct { const char* name; std::string text; } cases[] = {
        {"empty text", ""},
        {"one article", "one article, no delimiter"},
        {"only delimiters", "\x01\x01\x01\x01"},
        {"identical articles", "abcdefghij\x01" "abcdefghij\x01" "abcdefghij\x01" "abcdefghij"},
        {"shorter than a shingle", "ab\x01" "cd\x01" "ab\x01" "e"},
        {"one shingle hashed to the largest value", "first article\x01" "\x6b\x12\x1e\x1c\x84\x42\xfd\x8d\x01" "third article\x01" "fourth article"},
        {"ends with a delimiter", "first article\x01second article\x01"},
        {"mixed", mixed},
    };
    for (const auto& c : cases) {
        const bytes text = to_bytes(c.text);
        const bytes built = split_in_blocks(text, 4096);
        for (const bytes& start : {built, shuffled_keeping_last(built, 3)}) {
          for (const bool chains : {false, true}) {
            order_result r{};
            const bytes out = ordered(text, start, r, 1, chains);
            ASSERT_EQ(r.error, 0) << c.name;
            const uint64_t n = record_count(start.size());
            EXPECT_TRUE(check_coverage(out.data(), n, text.size()).whole()) << c.name;
            EXPECT_TRUE(std::equal(out.end() - ART_RECORD_SIZE, out.end(), start.end() - ART_RECORD_SIZE)) << c.name;
            std::vector<uint64_t> a(n), b(n);
            for (uint64_t i = 0; i < n; ++i) {
                std::memcpy(&a[i], &start[i * ART_RECORD_SIZE], ART_RECORD_SIZE);
                std::memcpy(&b[i], &out[i * ART_RECORD_SIZE], ART_RECORD_SIZE);
            }
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            EXPECT_EQ(a, b) << c.name;
            uint64_t moved = 0;
            for (uint64_t i = 0; i < n; ++i) moved += index_record(out.data(), i).start != index_record(start.data(), i).start;
            EXPECT_EQ(r.changed, out != start) << c.name;
            EXPECT_LE(moved, r.moved) << c.name;
            expect_judged_smaller(r, c.name);
          }
        }
    }
    const bytes text = to_bytes("abc\x01" "def");
    const bytes outside = encode_all({{0, 3}, {4, 8}});
    order_result r{};
    ordered(text, outside, r);
    EXPECT_EQ(r.error, EINVAL);
}

// Records from per-topic vocabularies: shuffled or with the topics mixed in text order,
// they come out grouped, and smaller for zstd -19 with their index; grouped already,
// they stay as grouped and never grow; the same index and sizes on any number of threads.
TEST(ArticleOrder, GroupsArticlesOfOneVocabulary) {
    const struct {
        const char* name;
        size_t articles;
        unsigned vocabularies;
        bool grouped_text, shuffled_start;
        double least_shared;
        bool smaller;  // than the start, by zstd -19 of the gathered text and the index
        bool chains;   // made for these short articles too
    } cases[] = {
        {"text in random order, the builder's index", 5000, 20, false, false, 0.90, true, false},
        {"text in random order, a shuffled index", 3000, 20, false, true, 0.90, true, false},
        {"grouped text, a shuffled index", 3000, 20, true, true, 0.90, true, false},
        {"grouped text, the builder's index", 3000, 20, true, false, 0.99, false, false},
        {"4 topics mixed in text order", 8000, 4, false, false, 0.90, true, false},
        {"2 topics mixed in text order", 8000, 2, false, false, 0.90, true, false},
        {"60 topics mixed in text order", 6000, 60, false, false, 0.80, true, false},
        {"text in random order, the builder's index, with chains", 5000, 20, false, false, 0.90, true, true},
        {"grouped text, the builder's index, with chains", 3000, 20, true, false, 0.99, false, true},
        {"4 topics mixed in text order, with chains", 8000, 4, false, false, 0.90, true, true},
    };
    for (const auto& c : cases) {
        std::vector<unsigned> vocabulary_of;
        const bytes text = vocabulary_text(c.articles, c.vocabularies, c.grouped_text, vocabulary_of, 13);
        const bytes built = split_in_blocks(text, 4096);
        const bytes start = c.shuffled_start ? shuffled_keeping_last(built, 4) : built;
        order_result r{};
        const bytes out = ordered(text, start, r, 1, c.chains);
        ASSERT_EQ(r.error, 0) << c.name;
        expect_judged_smaller(r, c.name);
        const std::vector<uint64_t> order = as_text_positions(out);
        size_t shared = 0;
        for (size_t i = 1; i < order.size(); ++i) shared += vocabulary_of[order[i - 1]] == vocabulary_of[order[i]];
        EXPECT_GE(double(shared) / double(order.size() - 1), c.least_shared) << c.name;
        const size_t before = compressed_net(text, start), after = compressed_net(text, out);
        EXPECT_LE(after, before) << c.name;
        if (c.smaller) {
            EXPECT_LT(double(after), 0.95 * double(before)) << c.name;
        }
        for (const unsigned threads : {2u, 3u}) {
            order_result t{};
            EXPECT_TRUE(ordered(text, start, t, threads, c.chains) == out) << c.name << ", threads " << threads;
            EXPECT_EQ(t.before, r.before) << c.name << ", threads " << threads;
            EXPECT_EQ(t.after, r.after) << c.name << ", threads " << threads;
        }
    }
}

// Where parts of the output fail, on several threads, the failure is the one a single
// thread would have met first; the parts before it are written whole.
TEST(ChunkCopy, FailuresComeInOutputOrderWhateverTheThreads) {
    std::mt19937 rng(10);
    bytes text(40000);
    for (auto& b : text) b = rng() % 40 == 0 ? ART_DELIMITER : static_cast<unsigned char>(rng());
    const bytes built = split_in_blocks(text, 4096);
    bytes reordered = built;
    std::shuffle(reinterpret_cast<uint64_t*>(reordered.data()),
                 reinterpret_cast<uint64_t*>(reordered.data() + reordered.size()) - 1, rng);
    // changed_from: the records from there on were overwritten with ones far outside the
    // text after the index's check, as another process may do mid-run: nothing outside
    // the text may be read.
    const struct { const char* name; uint64_t fail_at, fail_late; int code; size_t changed_from; bool reorder; } cases[] = {
        {"the second part fails", 30000, UINT64_MAX, EIO, 0, false},
        {"both parts fail", 5000, 25000, EIO, 0, false},
        {"nothing fails", UINT64_MAX, UINT64_MAX, 0, 0, false},
        {"the index changed after its check", UINT64_MAX, UINT64_MAX, ART_E_CHANGED, 600, false},
        {"a reordered index changed after its check", UINT64_MAX, UINT64_MAX, ART_E_CHANGED, 600, true},
    };
    for (const auto& c : cases) {
        bytes index = c.reorder ? reordered : built;
        for (size_t i = c.changed_from; c.changed_from > 0 && i < record_count(index.size()); ++i)
            encode_record({0, 0xEEEEEEEE}, index.data() + i * ART_RECORD_SIZE);
        for (const unsigned threads : THREADS) {
            const copy_limits limits = with_threads({64, 1u << 30, 1}, threads);
            memory_sink gathered, scattered;
            gathered.fail_at = scattered.fail_at = c.fail_at;
            gathered.fail_late = scattered.fail_late = c.fail_late;
            EXPECT_EQ(gather_chunks({text.data(), text.size(), nullptr}, {index.data(), index.size(), nullptr}, gathered, limits).code, c.code)
                << c.name << ", threads " << threads;
            EXPECT_EQ(scatter_chunks({text.data(), text.size(), nullptr}, {index.data(), index.size(), nullptr}, scattered, limits).code,
                      c.code) << c.name << ", threads " << threads;
            for (const memory_sink* out : {&gathered, &scattered}) {
                if (c.changed_from > 0) break;
                const size_t whole = std::min<uint64_t>(c.fail_at, text.size()) / 64 * 64;
                ASSERT_GE(out->bytes.size(), whole) << c.name;
                EXPECT_TRUE(std::equal(text.begin(), text.begin() + long(whole), out->bytes.begin())) << c.name;
            }
        }
    }
}

// A memory_sink that also keeps where each write went and how long it was.
struct recording_sink final : chunk_sink {
    memory_sink memory;
    std::vector<std::pair<uint64_t, size_t>> writes;

    art_status write(const uint64_t offset, const unsigned char* data, const size_t size) override {
        writes.emplace_back(offset, size);
        return memory.write(offset, data, size);
    }
    const char* name() const override { return "recording"; }
};

// Pieces put at offsets that continue each other go out in whole blocks aligned to the
// block's size; a block goes out in part only before a gap and at the end.
TEST(BlockWriter, WritesWholeAlignedBlocksAndPartsOnlyAtGapsAndAtTheEnd) {
    recording_sink out;
    art::block_writer writer(out, 16);
    bytes expected(103, 0);
    const auto put = [&](const uint64_t at, const size_t size) {
        for (size_t k = 0; k < size; ++k) expected[at + k] = static_cast<unsigned char>(at + k);
        return writer.put(at, size, [&](unsigned char* dst, const uint64_t done, const size_t part) {
            for (size_t k = 0; k < part; ++k) dst[k] = static_cast<unsigned char>(at + done + k);
            return ART_OK;
        });
    };
    ASSERT_EQ(put(5, 30).code, 0);
    ASSERT_EQ(put(35, 4).code, 0);
    ASSERT_EQ(put(100, 3).code, 0);
    ASSERT_EQ(writer.write_filled().code, 0);
    const std::vector<std::pair<uint64_t, size_t>> writes{{5, 11}, {16, 16}, {32, 7}, {100, 3}};
    EXPECT_EQ(out.writes, writes);
    EXPECT_EQ(out.memory.bytes, expected);
}

// A filler that writes into the stage itself, past the block's end into the spare bytes:
// whole blocks go out and what ran past them begins the next.
TEST(BlockWriter, FilledStageGoesOutInWholeBlocks) {
    recording_sink out;
    art::block_writer writer(out, 16, 8);
    bytes expected;
    for (const size_t size : {20, 12, 5, 19, 3}) {  // each at most the block's rest and the spare bytes
        unsigned char* const at = writer.fill_end();
        for (size_t k = 0; k < size; ++k) {
            at[k] = static_cast<unsigned char>(expected.size());
            expected.push_back(at[k]);
        }
        ASSERT_EQ(writer.filled(size).code, 0);
    }
    ASSERT_EQ(writer.append(expected.data(), 9).code, 0);
    expected.insert(expected.end(), expected.begin(), expected.begin() + 9);
    ASSERT_EQ(writer.write_filled().code, 0);
    const std::vector<std::pair<uint64_t, size_t>> writes{{0, 16}, {16, 16}, {32, 16}, {48, 16}, {64, 4}};
    EXPECT_EQ(out.writes, writes);
    EXPECT_EQ(out.memory.bytes, expected);
}

// Blocks made on any number of threads, with any number of slots, are written in order
// by one writer at a time; the first failure in block order, of a make or of a write,
// ends the writes, whichever thread meets it and whatever failed after it.
TEST(OrderedRing, WritesInOrderAndStopsAtTheFirstFailureInOrder) {
    constexpr uint64_t BLOCKS = 300, NONE = UINT64_MAX;
    const struct { const char* name; uint64_t make_fails, write_fails, make_throws; uint64_t written; int code; } cases[] = {
        {"nothing fails", NONE, NONE, NONE, BLOCKS, 0},
        {"a make fails", 57, NONE, NONE, 57, EIO},
        {"a write fails", NONE, 57, NONE, 58, ENOSPC},
        {"a write fails before a make", 120, 57, NONE, 58, ENOSPC},
        {"a make fails before a write", 57, 120, NONE, 57, EIO},
        {"a make runs out of memory", NONE, NONE, 30, 30, ENOMEM},
    };
    for (const auto& c : cases) {
        for (const size_t threads : {1, 2, 5}) {
            for (const size_t slots : {1, 3, 8}) {
                art::ordered_ring ring(BLOCKS, slots, "alloc");
                std::vector<uint64_t> claimed, made(slots, NONE), written;
                const auto work = [&](const unsigned seed) {
                    std::mt19937 rng(seed);
                    ring.work([&](const uint64_t j, size_t) { claimed.push_back(j); },
                              [&](const uint64_t j, const size_t k) {
                                  for (unsigned spin = rng() % 4; spin > 0; --spin) std::this_thread::yield();
                                  if (j == c.make_throws) throw std::bad_alloc();
                                  made[k] = j;
                                  return status_of("text", j == c.make_fails ? EIO : 0);
                              },
                              [&](const uint64_t j, const size_t k) {
                                  EXPECT_EQ(made[k], j);
                                  written.push_back(j);
                                  return status_of("out", j == c.write_fails ? ENOSPC : 0);
                              });
                };
                std::vector<std::thread> others;
                for (unsigned t = 1; t < threads; ++t) others.emplace_back(work, t);
                work(0);
                for (std::thread& t : others) t.join();
                const std::string label = std::string(c.name) + ", threads " + std::to_string(threads) + ", slots " +
                                          std::to_string(slots);
                EXPECT_EQ(ring.status().code, c.code) << label;
                EXPECT_EQ(written.size(), c.written) << label;
                for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], i) << label;
                for (size_t i = 0; i < claimed.size(); ++i) EXPECT_EQ(claimed[i], i) << label;
            }
        }
    }
}

// Writes each chunk at its start in index order: what scatter must give.
bytes scatter_one_by_one(const bytes& gathered, const bytes& index) {
    const uint64_t n = record_count(index.size());
    memory_sink out;
    uint64_t cursor = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const art_record r = index_record(index.data(), i);
        const uint32_t len = chunk_length(r, i, n);
        out.write(r.start, gathered.data() + cursor, len);
        cursor += len;
    }
    return out.bytes;
}

// Past 2^22 records, reordered or piled on one place, scatter still writes the output a
// window at a time, never a record at a time.
TEST(ChunkCopy, ScatterOfMillionsOfRecordsWritesWindowsNotRecords) {
    constexpr uint32_t N = (1u << 22) + 100000;
    std::mt19937 rng(11);
    std::vector<art_record> shuffled;  // one-byte chunks, all of a text of N delimiters
    for (uint32_t i = 0; i < N; ++i) shuffled.push_back({i, i});
    shuffled.push_back({N, N});
    std::shuffle(shuffled.begin(), shuffled.end() - 1, rng);
    std::vector<art_record> piled;  // every chunk within the first 4 KiB, overlapping
    for (uint32_t i = 0; i < N; ++i) {
        const uint32_t at = rng() % 4096;
        piled.push_back({at, at + static_cast<uint32_t>(rng() % 3)});
    }
    bytes gathered(uint64_t{N} * 3);
    for (auto& b : gathered) b = static_cast<unsigned char>(rng());
    for (const auto& records : {shuffled, piled}) {
        const bytes index = encode_all(records);
        ASSERT_EQ(check_scatter_index(index.data(), records.size(), gathered.size()).kind, breach_kind::none);
        const bytes expected = scatter_one_by_one(gathered, index);
      for (const unsigned threads : THREADS) {
        memory_sink out;
        ASSERT_EQ(scatter_chunks({gathered.data(), gathered.size(), nullptr}, {index.data(), index.size(), nullptr}, out,
                                 with_threads(copy_limits(), threads)).code, 0);
        EXPECT_TRUE(out.bytes == expected);
        EXPECT_LE(out.write_calls, expected.size() / copy_limits().stage_size + 1);
      }
    }
}

}  // namespace

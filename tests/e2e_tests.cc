// The four programs, run for real: their files, standard output and exit status.
#include "art_index.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <random>
#include <cstddef>

namespace {

const std::string LOADING_TEXT = "Loading enwik_text2_vok... ";
const std::string LOADING_GATHERED = "Loading enwik_text2_vok_r... ";
const std::string LOADING_INDEX = "Loading enwik_art_idx... ";
const std::string DONE = "\b\b Done.\n";
const std::string GATHER_OUT = LOADING_TEXT + DONE + LOADING_INDEX + DONE;
const std::string SCATTER_HEAD = LOADING_GATHERED + DONE + LOADING_INDEX + DONE;

// check_art_idx's standard output when the round trip gives the text back.
std::string check_passes(const size_t n, const size_t text_size) {
    return LOADING_INDEX + DONE + "n=" + std::to_string(n) + ": the records cover all " + std::to_string(text_size) +
           " bytes of enwik_text2_vok: gather then scatter give it back\n";
}

uint32_t length_of(const std::vector<art_record>& index, const size_t i) {
    return chunk_length(index[i], i, index.size());
}

// The gathered text that index makes of text, chunk after chunk.
std::string gathered_by(const std::string& text, const std::vector<art_record>& index) {
    std::string out;
    for (size_t i = 0; i < index.size(); ++i) out += text.substr(index[i].start, length_of(index, i));
    return out;
}

// Scatter's standard output, byte for byte as one thread prints it: the two load lines,
// then "%06i %08X %08X" per record (position, address, length), each address the
// previous one plus the previous length, from the address that the first line gives.
void expect_scatter_stdout(const std::string& out, const std::vector<art_record>& index,
                           const std::string& label = "") {
    const std::string head = lines(SCATTER_HEAD);
    ASSERT_EQ(out.substr(0, head.size()), head) << label;
    uint64_t address = 0;
    if (!index.empty()) {
        const size_t at = out.find(' ', head.size());
        ASSERT_NE(at, std::string::npos) << label;
        address = std::stoull(out.substr(at + 1, 16), nullptr, 16);
    }
    std::string expected = head;
    char line[64];
    for (size_t i = 0; i < index.size(); ++i) {
        const int size = std::snprintf(line, sizeof line, "%06zu %08" PRIX64 " %08" PRIX32 "%s", i, address,
                                       length_of(index, i), target_windows() ? "\r\n" : "\n");
        expected.append(line, static_cast<size_t>(size));
        address += length_of(index, i);
    }
    if (out == expected) return;
    const size_t differ = static_cast<size_t>(
        std::mismatch(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), expected.size())),
                      expected.begin()).first - out.begin());
    const size_t from = expected.rfind('\n', differ == 0 ? 0 : differ - 1);
    const size_t begin = from == std::string::npos ? 0 : from + 1;
    ADD_FAILURE() << label << ": standard output of " << out.size() << " bytes, expected " << expected.size()
                  << "; first difference at byte " << differ << ", in the line\n"
                  << out.substr(begin, expected.find('\n', differ) - begin) << "\nexpected\n"
                  << expected.substr(begin, expected.find('\n', differ) - begin);
}

// The thread counts that scatter's lines are printed with in the tests: the output must
// be the same.
const char* const LINE_THREADS[] = {"ART_THREADS=1", "ART_THREADS=3"};

std::string random_text(const size_t size, const unsigned delimiter_odds, const unsigned seed) {
    std::mt19937 rng(seed);
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>(rng() % delimiter_odds == 0 ? 1 : rng() % 256);
    return text;
}

// The records of text, one delimiter at a time.
std::vector<art_record> articles_of(const std::string& text) {
    std::vector<art_record> index;
    uint32_t start = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\x01') continue;
        index.push_back({start, static_cast<uint32_t>(at)});
        start = static_cast<uint32_t>(at + 1);
    }
    index.push_back({start, static_cast<uint32_t>(text.size())});
    return index;
}

// On one thread, and on three splitting blocks of at most 512 KiB (a 9-byte text is nine
// blocks of one byte): records that cross blocks, blocks with no delimiter, delimiters
// on both sides of block edges, and records that fill the index's 2 MiB blocks exactly.
TEST(Builder, WritesOneRecordPerArticle) {
    const std::string dense = random_text(6000000, 2, 11);
    const std::string mixed = random_text(1500000, 2, 12) + random_text(1500000, 1u << 30, 13) +
                              random_text(1500000, 2, 14);
    std::string edges((size_t{12} << 19) + 1, 'e');  // thirteen 512 KiB blocks on three threads
    for (size_t at = size_t{1} << 19; at < edges.size(); at += size_t{1} << 19) edges[at - 1] = edges[at] = '\x01';
    const std::string stage(size_t{2} << 17, '\x01');  // records that fill 2 MiB, then the last
    const struct { const char* name; std::string text; std::vector<art_record> index; } cases[] = {
        {"empty", "", {{0, 0}}},
        {"no delimiter", "abc", {{0, 3}}},
        {"two articles", "ab\x01" "cd", {{0, 2}, {3, 5}}},
        {"trailing delimiter", "ab\x01", {{0, 2}, {3, 3}}},
        {"leading delimiter", "\x01" "ab", {{0, 0}, {1, 3}}},
        {"adjacent delimiters", "a\x01\x01" "b", {{0, 1}, {2, 2}, {3, 4}}},
        {"0xFF 0x00 0x1A are data", std::string("\xFF\x00\x1A\x01\xFF", 5), {{0, 3}, {4, 5}}},
        {"delimiters before and at part edges", "ab\x01\x01" "c\x01\x01" "d\x01",
         {{0, 2}, {3, 3}, {4, 5}, {6, 6}, {7, 8}, {9, 9}}},
        {"only delimiters", "\x01\x01\x01\x01\x01\x01", {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 6}}},
        {"an article across three parts", "x\x01" + std::string(4000, 'a') + "\x01" "y",
         {{0, 1}, {2, 4002}, {4003, 4004}}},
        {"no delimiter, long", std::string(5000, 'z'), {{0, 5000}}},
        {"many short articles", dense, articles_of(dense)},
        {"a part with few records between dense ones", mixed, articles_of(mixed)},
        {"delimiters on both sides of 512 KiB block edges", edges, articles_of(edges)},
        {"records that fill the index's 2 MiB block exactly, then one more", stage, articles_of(stage)},
        {"one article across many 512 KiB blocks", std::string(size_t{7} << 20, 'a') + "\x01",
         {{0, 7u << 20}, {(7u << 20) + 1, (7u << 20) + 1}}},
    };
  for (const std::string threads : {"1", "3"}) {
    for (const auto& c : cases) {
        const std::string label = std::string(c.name) + ", threads " + threads;
        const scratch s(std::string(c.name) + "." + threads);
        s.write(TEXT, c.text);
        const program_run r = s.run("build_art_idx", "ignored arguments", "export ART_THREADS=" + threads + "; ");
        EXPECT_EQ(r.status, 0) << label;
        EXPECT_EQ(r.out, lines("n=" + std::to_string(c.index.size()) + "\n")) << label;
        EXPECT_EQ(r.err, "") << label;
        EXPECT_TRUE(s.read(INDEX) == encode_index(c.index)) << label;
    }
  }
}

// Builds the index, then gathers and scatters with it, with reorderings of it that keep
// the last record last, and with what the ordering makes of each; each must give the
// text back. The ordering's index holds the records it was given, the last one last, and
// is the same on one thread and on three.
TEST(RoundTrip, GivesTheTextBackWithBuilderAndReorderedIndexes) {
    std::string same;
    for (int k = 0; k < 60; ++k) same += "the same words, article after article\x01";
    const struct { const char* name; std::string text; } cases[] = {
        {"empty", ""},
        {"no delimiter", "one article and nothing else"},
        {"three articles", "first\x01second article\x01third"},
        {"trailing delimiter", "ab\x01"},
        {"only delimiters", "\x01\x01\x01"},
        {"identical articles", same + "the same words, article after article"},
        {"every byte value", random_text(3000, 256, 1)},
        {"many short articles", random_text(200000, 3, 2)},
        {"long articles", random_text(300000, 20000, 3)},
    };
    for (const auto& c : cases) {
        const scratch s(c.name);
        s.write(TEXT, c.text);
        ASSERT_EQ(s.run("build_art_idx").status, 0) << c.name;
        const std::vector<art_record> built = decode_index(s.read(INDEX));
        std::vector<std::vector<art_record>> orders{built};
        std::mt19937 rng(7);
        for (int k = 0; k < 2 && built.size() > 2; ++k) {
            orders.push_back(built);
            std::shuffle(orders.back().begin(), orders.back().end() - 1, rng);
        }
        for (size_t k = 0, starts = orders.size(); k < starts; ++k) {
            std::string made[2], said[2];
            for (int t = 0; t < 2; ++t) {
                s.write(INDEX, encode_index(orders[k]));
                const program_run o = s.run("order_art_idx", "", LINE_THREADS[t]);
                const std::string label = std::string(c.name) + ", start " + std::to_string(k) + ", " + LINE_THREADS[t];
                EXPECT_EQ(o.status, 0) << label << ": " << o.err;
                EXPECT_EQ(o.err, "") << label;
                const std::string head = lines("n=" + std::to_string(built.size()) + "\n");
                EXPECT_EQ(o.out.substr(0, head.size()), head) << label;
                EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 2) << label << ": " << o.out;
                EXPECT_FALSE(s.exists(INDEX + ".new")) << label;
                made[t] = s.read(INDEX);
                said[t] = o.out;
            }
            EXPECT_TRUE(made[0] == made[1]) << c.name << ", start " << k;
            EXPECT_EQ(said[0], said[1]) << c.name << ", start " << k;  // the judged sizes too
            const std::vector<art_record> ordered = decode_index(made[0]);
            const auto sorted = [](std::vector<art_record> records) {
                std::sort(records.begin(), records.end(), [](const art_record& a, const art_record& b) {
                    return a.start != b.start ? a.start < b.start : a.end < b.end;
                });
                return encode_index(records);
            };
            ASSERT_EQ(ordered.size(), built.size()) << c.name;
            EXPECT_EQ(encode_index({ordered.back()}), encode_index({orders[k].back()})) << c.name << ", start " << k;
            EXPECT_TRUE(sorted(ordered) == sorted(orders[k])) << c.name << ", start " << k;
            orders.push_back(ordered);
        }
        for (const auto& index : orders) {
            s.write(INDEX, encode_index(index));
            const program_run check = s.run("check_art_idx");
            EXPECT_EQ(check.status, 0) << c.name << ": " << check.err;
            EXPECT_EQ(check.out, lines(check_passes(index.size(), c.text.size()))) << c.name;
            const program_run g = s.run("gather_arts");
            EXPECT_EQ(g.status, 0) << c.name;
            EXPECT_EQ(g.out, lines(GATHER_OUT)) << c.name;
            EXPECT_EQ(g.err, "") << c.name;
            EXPECT_EQ(s.read(GATHERED), gathered_by(c.text, index)) << c.name;
            for (const char* threads : LINE_THREADS) {
                const program_run sc = s.run("scatter_arts", "", threads);
                EXPECT_EQ(sc.status, 0) << c.name << ", " << threads;
                EXPECT_EQ(sc.err, "") << c.name << ", " << threads;
                expect_scatter_stdout(sc.out, index, std::string(c.name) + ", " + threads);
                EXPECT_EQ(s.read(SCATTERED), c.text) << c.name << ", " << threads;
            }
        }
    }
}

// Inputs of 64 MiB and more run on two threads: long runs are read through the file,
// short pieces copied from the mapping. Articles of a few MB and a cluster of short ones
// mix both in one run.
TEST(RoundTrip, LargeInputsMixFileReadsAndMappedCopies) {
    const scratch s;
    std::string text = random_text(80u << 20, 1u << 30, 4);
    std::mt19937 rng(8);
    for (int k = 0; k < 12; ++k) text[rng() % text.size()] = '\x01';
    for (size_t at = 40u << 20; at < (40u << 20) + 200000; at += 1 + rng() % 200) text[at] = '\x01';
    s.write(TEXT, text);
    ASSERT_EQ(s.run("build_art_idx").status, 0);
    const std::vector<art_record> built = decode_index(s.read(INDEX));
    // Reordered, with the longest article first: gather reads it through the file before
    // the first short piece has the text mapped in; scatter builds its output by windows.
    std::vector<art_record> reordered = built;
    std::shuffle(reordered.begin(), reordered.end() - 1, rng);
    const auto longest = std::max_element(reordered.begin(), reordered.end() - 1,
        [](const art_record& a, const art_record& b) { return a.end - a.start < b.end - b.start; });
    std::iter_swap(reordered.begin(), longest);
    for (const auto& index : {built, reordered}) {
        s.write(INDEX, encode_index(index));
        const program_run g = s.run("gather_arts");
        ASSERT_EQ(g.status, 0) << g.err;
        EXPECT_TRUE(s.read(GATHERED) == gathered_by(text, index));
        const program_run sc = s.run("scatter_arts", ">/dev/null");
        ASSERT_EQ(sc.status, 0) << sc.err;
        EXPECT_TRUE(s.read(SCATTERED) == text);
    }
    if (target_windows()) return;
    // An output that cannot be positioned (a device) takes the same run in order, on one part.
    s.write(INDEX, encode_index(built));
    ASSERT_EQ(s.shell("ln -sf /dev/null " + SCATTERED), 0);
    EXPECT_EQ(s.run("scatter_arts", ">/dev/null").status, 0);
    // Runs of this size go on two threads, or on three: a signal, a failure, or an input
    // changed during the run is handled as on one, whichever thread meets it, and nothing
    // is written after the output is taken back. A take-back slowed as on a loaded
    // machine leaves the other threads time to write: "other", another name of the
    // output, must be left empty (a write through a symbolic link is a write to "other").
    ASSERT_EQ(s.shell("cp " + GATHERED + " gathered.reordered && rm -f " + SCATTERED), 0);
    const std::string slow = "ART_THREADS=3 ART_SLOW_TAKE_BACK_MS=300 ";
    const std::string hard_link = "echo OLD >other && ln -f other ", symbolic_link = "echo OLD >other && ln -sf other ";
    const std::string shortened =
        "gather_arts: enwik_text2_vok: input ended before its full size was read (shortened during the run?)\n";
    const struct { const char* program; std::string output, setup, fault; int status; std::string err; } faults[] = {
        {"scatter_arts", SCATTERED, "", "ART_SIGNAL_FILE=" + SCATTERED + " ART_SIGNAL=15", 128 + 15, ""},
        {"gather_arts", GATHERED, "", "ART_SIGNAL_FILE=" + GATHERED + " ART_SIGNAL=2", 128 + 2, ""},
        {"gather_arts", GATHERED, hard_link, slow + "ART_SIGNAL_FILE=" + GATHERED + " ART_SIGNAL=15", 128 + 15, ""},
        {"gather_arts", GATHERED, symbolic_link,
         slow + "ART_SIGNAL_FILE=other ART_SIGNAL=15 ART_SIGNAL_AFTER=12", 128 + 15, ""},
        {"scatter_arts", SCATTERED, hard_link, slow + "ART_SIGNAL_FILE=" + SCATTERED + " ART_SIGNAL=1", 128 + 1, ""},
        {"scatter_arts", SCATTERED, symbolic_link,
         slow + "ART_SIGNAL_FILE=other ART_SIGNAL=1 ART_SIGNAL_AFTER=12", 128 + 1, ""},
        {"gather_arts", GATHERED, hard_link, "ulimit -f 40000; ART_THREADS=3", 1,
         "gather_arts: enwik_text2_vok_r: File too large\n"},
        {"scatter_arts", SCATTERED, symbolic_link, "ulimit -f 40000; ART_THREADS=3", 1,
         "scatter_arts: enwik_text2_vok_u: File too large\n"},
        // The index overwritten mid-copy with records far outside the text.
        {"gather_arts", GATHERED, "", "ART_THREADS=3 ART_CHANGE_FILE=" + INDEX + " ART_CHANGE=scramble ART_CHANGE_AFTER_WRITE_TO=" + GATHERED,
         1, "gather_arts: enwik_art_idx: input changed during the run\n"},
        {"scatter_arts", SCATTERED, "", "ART_THREADS=3 ART_CHANGE_FILE=" + INDEX + " ART_CHANGE=scramble ART_CHANGE_AFTER_WRITE_TO=" + SCATTERED,
         1, "scatter_arts: enwik_art_idx: input changed during the run\n"},
        {"gather_arts", GATHERED, hard_link,
         slow + "ART_CHANGE_FILE=" + TEXT + " ART_CHANGE=shrink ART_CHANGE_AFTER_WRITE_TO=" + GATHERED, 1, shortened},
        {"gather_arts", GATHERED, "", "ART_CHANGE_FILE=" + TEXT + " ART_CHANGE=shrink", 1, shortened},
    };
    for (const auto& f : faults) {
        // Each starts from the inputs as they were; the faults change them.
        s.write(INDEX, encode_index(reordered));
        if (f.fault.find("FILE=" + TEXT) != std::string::npos) s.write(TEXT, text);
        ASSERT_EQ(s.shell("touch -d @946684800 " + INDEX + " && rm -f other " + GATHERED + " " + SCATTERED +
                          (f.output == SCATTERED ? " && cp gathered.reordered " + GATHERED : std::string()) + " && " +
                          (f.setup.empty() ? std::string(":") : f.setup + f.output)), 0) << f.fault;
        const program_run r = s.run(f.program, ">/dev/null", std::string("export LD_PRELOAD=") + ART_FAULT_INJECT_LIB +
                                                                 "; export ASAN_OPTIONS=verify_asan_link_order=0; " + f.fault);
        const std::string label = f.setup + f.output + ", " + f.fault;
        EXPECT_EQ(r.status, f.status) << label << ": " << r.err;
        if (f.status == 1) {
            EXPECT_EQ(r.err, f.err) << label;
        } else {
            EXPECT_EQ(r.err.find(f.program), std::string::npos) << label << ": " << r.err;  // only the shell's word
        }
        if (f.setup.empty()) {
            EXPECT_FALSE(s.exists(f.output)) << label;
        } else {
            EXPECT_TRUE(s.exists(f.output)) << label;
            EXPECT_TRUE(s.exists("other")) << label;
            EXPECT_EQ(s.read("other").size(), 0u) << label;
        }
    }
}

// Files that cannot be positioned or that do not say their size: outputs that are pipes
// are written in order, whatever the index's order (a reader that takes the gathered text
// as it is made, a compressor say), and a text whose size reads 0 is read to its end.
TEST(RoundTrip, PipesAndFilesWithoutASize) {
    const std::string text = random_text(300000, 50, 12);
    const struct { const char* name; const char* setup; std::string program, output, expected; bool reorder; } cases[] = {
        {"gather into a pipe", "mkfifo " "enwik_text2_vok_r", "gather_arts", GATHERED, text, false},
        {"gather into a pipe, reordered", "mkfifo enwik_text2_vok_r", "gather_arts", GATHERED, "", true},
        {"scatter into a pipe", "mkfifo enwik_text2_vok_u", "scatter_arts", SCATTERED, text, false},
        {"scatter into a pipe, reordered", "mkfifo enwik_text2_vok_u", "scatter_arts", SCATTERED, text, true},
    };
    for (const auto& c : cases) {
        if (target_windows()) break;  // a FIFO is no Windows named pipe
        const scratch s(c.name);
        s.write(TEXT, text);
        ASSERT_EQ(s.run("build_art_idx").status, 0) << c.name;
        std::vector<art_record> index = decode_index(s.read(INDEX));
        if (c.reorder) std::shuffle(index.begin(), index.end() - 1, std::mt19937(13));
        s.write(INDEX, encode_index(index));
        if (c.program == "scatter_arts") {
            ASSERT_EQ(s.run("gather_arts").status, 0) << c.name;
        }
        ASSERT_EQ(s.shell(c.setup), 0) << c.name;
        const program_run r = s.run(c.program, "; status=$?; wait; exit $status", "cat " + c.output + " >received &");
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_TRUE(s.read("received") == (c.expected.empty() ? gathered_by(text, index) : c.expected)) << c.name;
    }
    if (target_windows()) return;
    // " Done." reaches a file as soon as each input is loaded: here while the output, a
    // FIFO, still waits for its reader, which comes once both lines are there (or after 5 s).
    const scratch d("done-first");
    d.write(TEXT, text);
    ASSERT_EQ(d.run("build_art_idx").status, 0);
    ASSERT_EQ(d.shell("mkfifo " + GATHERED), 0);
    const program_run loading = d.run("gather_arts", "; status=$?; wait; exit $status",
        "{ for t in $(seq 500); do [ \"$(grep -c Done \"../${PWD##*/}.stdout\")\" = 2 ] && touch seen && break; "
        "sleep 0.01; done; cat " + GATHERED + " >received; } &");
    EXPECT_EQ(loading.status, 0) << loading.err;
    EXPECT_EQ(loading.out, GATHER_OUT);
    EXPECT_TRUE(d.exists("seen"));
    EXPECT_TRUE(d.read("received") == text);
    // A text whose size reads 0 but that has bytes: a file of /proc.
    const scratch s("proc file");
    ASSERT_EQ(s.shell("ln -s /proc/version " + TEXT + " && cat /proc/version >expected"), 0);
    ASSERT_EQ(s.run("build_art_idx").status, 0);
    const program_run g = s.run("gather_arts");
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_NE(s.read("expected"), "");
    EXPECT_EQ(s.read(GATHERED), s.read("expected"));
    const size_t size = s.read("expected").size(), n = decode_index(s.read(INDEX)).size();
    EXPECT_EQ(s.run("check_art_idx").out, check_passes(n, size));
    // check_art_idx reads a text that is a pipe to its end for its size.
    ASSERT_EQ(s.shell("rm " + TEXT + " && mkfifo " + TEXT), 0);
    const program_run check = s.run("check_art_idx", "; status=$?; wait; exit $status", "cat expected >" + TEXT + " &");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, check_passes(n, size));
    // ... and an index that is a pipe, written in pieces that cut records.
    const scratch p("index a pipe");
    p.write(TEXT, text);
    ASSERT_EQ(p.run("build_art_idx").status, 0);
    std::vector<art_record> index = decode_index(p.read(INDEX));
    std::shuffle(index.begin(), index.end() - 1, std::mt19937(18));
    p.write("index", encode_index(index));
    ASSERT_EQ(p.shell("rm " + INDEX + " && mkfifo " + INDEX), 0);
    const program_run piped = p.run("check_art_idx", "; status=$?; wait; exit $status",
                                    "dd if=index of=" + INDEX + " bs=1001 status=none &");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, check_passes(index.size(), text.size()));
}

TEST(RoundTrip, ThreeArticlesInOrderOneZeroTwo) {
    const scratch s;
    s.write(TEXT, "aa\x01" "bbb\x01" "c");
    s.write(INDEX, encode_index({{3, 6}, {0, 2}, {7, 8}}));
    EXPECT_EQ(s.run("gather_arts").status, 0);
    EXPECT_EQ(s.read(GATHERED), "bbb\x01" "aa\x01" "c");
    EXPECT_EQ(s.run("scatter_arts").status, 0);
    EXPECT_EQ(s.read(SCATTERED), "aa\x01" "bbb\x01" "c");
}

TEST(RoundTrip, IndexesOfNoRecordsGiveEmptyOutputs) {
    for (const std::string& index : {std::string(), std::string(7, 'x')}) {
        const scratch s(std::to_string(index.size()));
        s.write(TEXT, "abc");
        s.write(INDEX, index);
        // Outputs left by an earlier run are replaced whole.
        s.write(GATHERED, "an earlier gathered text");
        s.write(SCATTERED, "an earlier scattered text");
        const program_run g = s.run("gather_arts");
        EXPECT_EQ(g.status, 0);
        EXPECT_EQ(s.read(GATHERED), "");
        for (const char* threads : LINE_THREADS) {
            s.write(SCATTERED, "an earlier scattered text");
            const program_run sc = s.run("scatter_arts", "", threads);
            EXPECT_EQ(sc.status, 0) << threads;
            EXPECT_EQ(sc.out, lines(SCATTER_HEAD)) << threads;
            EXPECT_TRUE(s.exists(SCATTERED)) << threads;
            EXPECT_EQ(s.read(SCATTERED), "") << threads;
        }
    }
}

TEST(RoundTrip, PositionsOfSevenDigitsPrintInFull) {
    const scratch s;
    s.write(TEXT, std::string(1000000, '\x01'));
    const program_run b = s.run("build_art_idx");
    EXPECT_EQ(b.out, lines("n=1000001\n"));
    ASSERT_EQ(s.run("gather_arts").status, 0);
    const std::vector<art_record> index = decode_index(s.read(INDEX));
    for (const char* threads : LINE_THREADS) {
        const program_run sc = s.run("scatter_arts", "", threads);
        ASSERT_EQ(sc.status, 0) << threads;
        const std::string nl = lines("\n");
        EXPECT_NE(sc.out.find(nl + "999999 "), std::string::npos) << threads;
        EXPECT_NE(sc.out.find(nl + "1000000 "), std::string::npos) << threads;
        expect_scatter_stdout(sc.out, index, threads);
        EXPECT_EQ(s.read(SCATTERED), std::string(1000000, '\x01')) << threads;
    }
}

// The ordering's judge as the command line sets it: its line says how it judged; --help
// tells the options; a value the judge cannot take fails before anything is read; other
// arguments are ignored.
TEST(Options, SetTheOrderingsJudge) {
    std::string text;
    for (int k = 0; k < 300; ++k) text += std::string(k % 2 ? "alpha beta gamma " : "one two three ") + std::to_string(k % 7) + "\x01";
    const struct { const char* name; std::string args; int status; std::string out, err; } cases[] = {
        {"defaults", "ignored arguments", 0, "zstd level 3 with a window of 8192 KiB", ""},
        {"level and window", "--level=9 --window=1M other", 0, "zstd level 9 with a window of 1024 KiB", ""},
        {"window in bytes", "--window=65536", 0, "with a window of 64 KiB", ""},
        {"help", "--help", 0, "usage: order_art_idx [--level=N] [--window=SIZE]", ""},
        {"a level zstd has not", "--level=23", 1, "", "order_art_idx: --level=23: not a zstd level\n"},
        {"no level", "--level=", 1, "", "order_art_idx: --level=: not a zstd level\n"},
        {"a window not a power of two", "--window=3M", 1, "",
         "order_art_idx: --window=3M: not a window of 1K to 2G, a power of two\n"},
    };
    for (const auto& c : cases) {
        const scratch s(c.name);
        s.write(TEXT, text);
        ASSERT_EQ(s.run("build_art_idx").status, 0) << c.name;
        const std::string built = s.read(INDEX);
        const program_run o = s.run("order_art_idx", c.args);
        EXPECT_EQ(o.status, c.status) << c.name << ": " << o.err;
        EXPECT_NE(o.out.find(c.out), std::string::npos) << c.name << ": " << o.out;
        if (c.status != 0 || c.args == "--help") {
            EXPECT_TRUE(s.read(INDEX) == built) << c.name;
        }
        EXPECT_EQ(o.err, lines(c.err)) << c.name;
    }
}

// --help and --version print and end the run, whatever else is given, and no file is
// touched: an index that took minutes to order stays.
TEST(Options, HelpAndVersionTouchNoFile) {
    const char* const programs[] = {"build_art_idx", "gather_arts", "scatter_arts", "check_art_idx", "order_art_idx"};
    const struct { const char* name; std::string args; bool help; } cases[] = {
        {"help", "--help", true},
        {"version", "--version", false},
        {"help among other arguments", "other --help", true},
        {"version after an option out of range", "--level=99 --version", false},
        {"help into the text", "--help >>" + TEXT, true},
    };
    for (const char* program : programs) {
        for (const auto& c : cases) {
            // Wine's standard handles on a Unix file answer no file queries.
            if (target_windows() && c.args.find(">>") != std::string::npos) continue;
            const scratch s(std::string(program) + "." + c.name);
            s.write(TEXT, "one\x01two\x01three");
            s.write(INDEX, encode_index({{4, 7}, {0, 3}, {8, 13}}));
            s.write(GATHERED, "kept as it is");
            const program_run r = s.run(program, c.args);
            const std::string label = std::string(program) + ", " + c.name;
            const std::string first = r.out.substr(0, r.out.find('\n'));
            if (c.args.find(">>") != std::string::npos) {
                EXPECT_EQ(r.status, 1) << label;
                EXPECT_EQ(r.err, lines(std::string(program) + ": standard output: is the same file as " + TEXT + "\n"))
                    << label;
            } else if (c.help) {
                EXPECT_EQ(r.status, 0) << label;
                EXPECT_EQ(r.err, "") << label;
                EXPECT_EQ(r.out.rfind("usage: " + std::string(program), 0), 0u) << label << ": " << r.out;
            } else {
                EXPECT_EQ(r.status, 0) << label;
                EXPECT_EQ(r.err, "") << label;
                EXPECT_EQ(first.rfind(std::string(program) + " 1.", 0), 0u) << label << ": " << r.out;
            }
            EXPECT_EQ(s.read(TEXT), "one\x01two\x01three") << label;
            EXPECT_TRUE(s.read(INDEX) == encode_index({{4, 7}, {0, 3}, {8, 13}})) << label;
            EXPECT_EQ(s.read(GATHERED), "kept as it is") << label;
            EXPECT_FALSE(s.exists(SCATTERED)) << label;
            EXPECT_FALSE(s.exists(INDEX + ".new")) << label;
        }
    }
}

// Inputs that cannot be opened: status 1, no message, and the output left as it was.
TEST(Failure, MissingInputLeavesOutputUntouched) {
    const struct { const char* program; std::vector<std::string> present; std::string out, output; } cases[] = {
        {"build_art_idx", {}, "", INDEX},
        {"gather_arts", {INDEX}, LOADING_TEXT, GATHERED},
        {"gather_arts", {TEXT}, LOADING_TEXT + DONE + LOADING_INDEX, GATHERED},
        {"scatter_arts", {INDEX}, LOADING_GATHERED, SCATTERED},
        {"scatter_arts", {GATHERED}, LOADING_GATHERED + DONE + LOADING_INDEX, SCATTERED},
        {"check_art_idx", {INDEX}, "", GATHERED},  // it writes no file: the gathered text stays as it is
        {"check_art_idx", {TEXT}, LOADING_INDEX, GATHERED},
        {"order_art_idx", {}, "", INDEX},  // the index it would replace stays as it is
        {"order_art_idx", {TEXT}, "", INDEX + ".new"},
    };
    for (const auto& c : cases) {
        const scratch s(std::string(c.program) + "." + std::to_string(c.present.size() + c.out.size()));
        for (const auto& name : c.present) s.write(name, name == INDEX ? encode_index({{0, 3}}) : "abc");
        s.write(c.output, "keep");
        const program_run r = s.run(c.program);
        EXPECT_EQ(r.status, 1) << c.program;
        EXPECT_EQ(r.out, lines(c.out)) << c.program;
        EXPECT_EQ(r.err, "") << c.program;
        EXPECT_EQ(s.read(c.output), "keep") << c.program;
    }
}

TEST(Failure, OutputThatCannotBeOpenedIsSilent) {
    const struct { const char* program; std::string output, out; } cases[] = {
        {"build_art_idx", INDEX, ""},
        {"gather_arts", GATHERED, GATHER_OUT},
        {"scatter_arts", SCATTERED, SCATTER_HEAD},
    };
    for (const auto& c : cases) {
        const scratch s(c.program);
        s.write(TEXT, "abc");
        if (c.output == SCATTERED) s.write(GATHERED, "abc");
        if (c.output != INDEX) s.write(INDEX, encode_index({{0, 3}}));
        ASSERT_EQ(s.shell("mkdir " + c.output), 0);
        const program_run r = s.run(c.program);
        EXPECT_EQ(r.status, 1) << c.program;
        EXPECT_EQ(r.out, lines(c.out)) << c.program;
        EXPECT_EQ(r.err, "") << c.program;
    }
}

// Indexes that would read outside the loaded text are refused before the output is
// opened; a 13-byte index (one record and a partial one) is fine.
TEST(Failure, MalformedIndexesAreRefused) {
    const std::string text = "ab\x01" "cd";
    const struct { const char* program; std::string index; std::string err; } cases[] = {
        {"gather_arts", encode_index({{0, 2}, {4, 3}}), "record 1 (start 4, end 3): start is past end"},
        {"gather_arts", encode_index({{3, 5}, {0, 2}}),
         "record 0 (start 3, end 5): chunk runs past the end of enwik_text2_vok (5 bytes)"},
        {"gather_arts", encode_index({{0, 2}, {3, 9}}),
         "record 1 (start 3, end 9): chunk runs past the end of enwik_text2_vok (5 bytes)"},
        {"gather_arts", encode_index({{0, 0xFFFFFFFF}, {0, 0}}),
         "record 0 (start 0, end 4294967295): chunk runs past the end of enwik_text2_vok (5 bytes)"},
        {"gather_arts", encode_index({{0, 5}}) + "12345", ""},
        {"scatter_arts", encode_index({{5, 4}, {0, 1}}), "record 0 (start 5, end 4): start is past end"},
        {"scatter_arts", encode_index({{0, 2}, {3, 6}}),
         "record 1 (start 3, end 6): chunk runs past the end of enwik_text2_vok_r (5 bytes)"},
        {"scatter_arts", encode_index({{0, 0xFFFFFFFF}, {0, 0}}),
         "record 0 (start 0, end 4294967295): chunk runs past the end of enwik_text2_vok_r (5 bytes)"},
        {"scatter_arts", encode_index({{0, 5}}) + "12345", ""},
    };
    int k = 0;
    for (const auto& c : cases) {
        const scratch s(std::to_string(k++));
        const bool gather = std::string(c.program) == "gather_arts";
        const std::string output = gather ? GATHERED : SCATTERED;
        s.write(gather ? TEXT : GATHERED, text);
        s.write(INDEX, c.index);
        const program_run r = s.run(c.program);
        if (c.err.empty()) {
            EXPECT_EQ(r.status, 0) << c.program;
            EXPECT_EQ(s.read(output), text);
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.out, lines(gather ? GATHER_OUT : SCATTER_HEAD)) << c.err;
        EXPECT_EQ(r.err, lines(std::string(c.program) + ": enwik_art_idx: " + c.err + "\n"));
        EXPECT_FALSE(s.exists(output)) << c.err;
        s.write(output, "keep");
        EXPECT_EQ(s.run(c.program).status, 1);
        EXPECT_EQ(s.read(output), "keep") << c.err;
    }
}

// check_art_idx on one text, "aa|bbb|c": the verdict on standard output, or the first
// problem as a diagnostic; no file written, no input changed.
TEST(CheckIndex, SaysWhetherGatherThenScatterGiveTheTextBack) {
    const std::string text = "aa\x01" "bbb\x01" "c";
    const struct { const char* name; std::string text, index, err; } cases[] = {
        {"builder's index", text, encode_index({{0, 2}, {3, 6}, {7, 8}}), ""},
        {"reordered", text, encode_index({{3, 6}, {0, 2}, {7, 8}}), ""},
        {"overlaps and split articles", text, encode_index({{0, 4}, {3, 3}, {4, 6}, {0, 0}, {7, 8}}), ""},
        {"trailing partial record", text, encode_index({{0, 2}, {3, 6}, {7, 8}}) + "xyz", ""},
        {"empty text, no records", "", "", ""},
        {"empty text, builder's index", "", encode_index({{0, 0}}), ""},
        {"no records", text, "", "bytes 0-7 of enwik_text2_vok are in no record: they would come back as zeros "
                                 "(8 bytes in 1 range in all)"},
        {"a record missing", text, encode_index({{0, 2}, {7, 8}}),
         "bytes 3-6 of enwik_text2_vok are in no record: they would come back as zeros (4 bytes in 1 range in all)"},
        {"a record replaced by another", text, encode_index({{0, 2}, {0, 2}, {7, 8}}),
         "bytes 3-6 of enwik_text2_vok are in no record: they would come back as zeros (4 bytes in 1 range in all)"},
        {"a record shortened", text, encode_index({{3, 5}, {0, 2}, {7, 8}}),
         "byte 6 of enwik_text2_vok is in no record: it would come back as a zero (1 byte in 1 range in all)"},
        {"the text's last article missing", text, encode_index({{3, 6}, {0, 2}}),
         "byte 2 of enwik_text2_vok is in no record: it would come back as a zero (2 bytes in 2 ranges in all)"},
        {"last record misplaced", text, encode_index({{7, 8}, {0, 2}, {3, 6}}),
         "record 0 (start 7, end 8): chunk runs past the end of enwik_text2_vok (8 bytes)"},
        {"out of bounds", text, encode_index({{0, 2}, {3, 6}, {7, 9}}),
         "record 2 (start 7, end 9): chunk runs past the end of enwik_text2_vok (8 bytes)"},
        {"start past end", text, encode_index({{0, 2}, {6, 3}, {7, 8}}), "record 1 (start 6, end 3): start is past end"},
    };
    for (const auto& c : cases) {
        const scratch s(c.name);
        s.write(TEXT, c.text);
        s.write(INDEX, c.index);
        for (const char* threads : LINE_THREADS) {
            const program_run r = s.run("check_art_idx", "ignored arguments", threads);
            const std::string label = std::string(c.name) + ", " + threads;
            EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << label;
            EXPECT_EQ(r.out, lines(c.err.empty() ? check_passes(c.index.size() / 8, c.text.size()) : LOADING_INDEX + DONE))
                << label;
            EXPECT_EQ(r.err, c.err.empty() ? "" : lines("check_art_idx: enwik_art_idx: " + c.err + "\n")) << label;
        }
        EXPECT_EQ(s.read(TEXT), c.text) << c.name;
        EXPECT_EQ(s.read(INDEX), c.index) << c.name;
        EXPECT_EQ(s.shell("test $(ls | wc -l) = 2"), 0) << c.name;
        // The ordering refuses what the check refuses, in its words, and leaves the index.
        if (c.err.empty()) continue;
        const program_run o = s.run("order_art_idx");
        EXPECT_EQ(o.status, 1) << c.name;
        EXPECT_EQ(o.out, "") << c.name;
        EXPECT_EQ(o.err, lines("order_art_idx: enwik_art_idx: " + c.err + "\n")) << c.name;
        EXPECT_EQ(s.read(INDEX), c.index) << c.name;
        EXPECT_EQ(s.shell("test $(ls | wc -l) = 2"), 0) << c.name;
    }
}

// Failures as the other programs meet them, with a reordered index of 8,600 records; each
// needs Linux means (a standard output that is a Unix file, LD_PRELOAD, /sys). A case
// whose prefix exits 77 is one the machine cannot make.
TEST(CheckIndex, FailsAsTheOtherProgramsDo) {
    const std::string preload = std::string("export LD_PRELOAD=") + ART_FAULT_INJECT_LIB +
                                "; ASAN_OPTIONS=verify_asan_link_order=0 ";
    const struct { const char* name; std::string prefix, suffix, out, err; } cases[] = {
        {"standard output is an input", "", ">>" + INDEX, "",
         "standard output: is the same file as the input enwik_art_idx"},
        {"index shortened during the run", preload + "ART_CHANGE_FILE=" + INDEX + " ART_CHANGE=shrink", "",
         LOADING_INDEX, "enwik_art_idx: input ended before its full size was read (shortened during the run?)"},
        // A file of /sys says 4096 bytes and holds a few: not an input shortened during the run.
        {"index holds fewer bytes than its size says (a /sys file)",
         "{ test -r /sys/devices/system/cpu/online || exit 77; } && rm " + INDEX +
             " && ln -s /sys/devices/system/cpu/online " + INDEX + " && ",
         "", LOADING_INDEX, "enwik_art_idx: holds fewer bytes than its size says (not an ordinary file?)"},
#ifndef ART_SANITIZE_BUILD
        {"no memory", preload + "ART_NOMEM_FILE=" + INDEX, "", LOADING_INDEX + DONE,
         "enwik_art_idx: Cannot allocate memory"},
#endif
        // A builder elsewhere writes the index through a link and waits for its text, a
        // FIFO fed by nothing for 5 s: it holds the index it has emptied.
        {"index held by a builder that waits for its text",
         "mkdir h && mkfifo h/" + TEXT + " && ln -s ../" + INDEX + " h/" + INDEX + " && { sleep 5 >h/" + TEXT +
             " 2>/dev/null & } && { (cd h && exec " + command_of("build_art_idx") + ") >/dev/null 2>&1 & } && " +
             "for t in $(seq 1000); do [ -s " + INDEX + " ] || break; sleep 0.01; done && ",
         "", LOADING_INDEX, "enwik_art_idx: is being written by another run"},
    };
    for (const auto& c : cases) {
        if (target_windows()) break;
        const scratch s(c.name);
        s.write(TEXT, random_text(300000, 40, 14));
        ASSERT_EQ(s.run("build_art_idx").status, 0);
        std::vector<art_record> index = decode_index(s.read(INDEX));
        std::shuffle(index.begin(), index.end() - 1, std::mt19937(15));
        s.write(INDEX, encode_index(index));
        const program_run r = s.run("check_art_idx", c.suffix, c.prefix);
        if (r.status == 77) {
            std::cout << "[ SKIPPED  ] " << c.name << ": the machine cannot make it\n";
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "check_art_idx: " + c.err + "\n") << c.name;
    }
}

}  // namespace

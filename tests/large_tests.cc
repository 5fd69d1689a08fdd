// Texts near the format's 4 GiB limit, as sparse files that the programs only read.
// Label "large": about 9 GB of disk and a minute or two; run with ctest --preset large.
#include "art_index.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

namespace {

const uint64_t GIB2 = uint64_t{1} << 31, GIB4 = uint64_t{1} << 32;
const std::string TOO_LARGE = "4294967296 bytes or more, past the index format's 32-bit offsets";

// A sparse text of size bytes, zeros but for delimiters at the given offsets.
void sparse_text(const scratch& s, const uint64_t size, const std::vector<uint64_t>& delimiters) {
    ASSERT_EQ(s.shell("truncate -s " + std::to_string(size) + " enwik_text2_vok"), 0);
    for (const uint64_t at : delimiters)
        ASSERT_EQ(s.shell("printf '\\001' | dd of=enwik_text2_vok bs=1 seek=" + std::to_string(at) +
                            " conv=notrunc status=none"), 0);
}

TEST(Large, TextsPast2GiBGoThroughTheRoundTrip) {
    for (const uint64_t size : {GIB2 + 4096, GIB4 - 1}) {
        const scratch s(std::to_string(size));
        const std::vector<uint64_t> delimiters{1000, GIB2 - 1, GIB2 + 10, size - 2};
        sparse_text(s, size, delimiters);
        const program_run b = s.run("build_art_idx");
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(b.out, lines("n=5\n"));
        const std::vector<art_record> built = decode_index(s.read("enwik_art_idx"));
        ASSERT_EQ(built.size(), 5u);
        EXPECT_EQ(built[2].start, GIB2);
        EXPECT_EQ(built[3].start, GIB2 + 11);
        EXPECT_EQ(built[4].end, size);

        std::vector<art_record> reordered{built[3], built[0], built[2], built[1], built[4]};
        for (const auto& index : {built, reordered}) {
            s.write("enwik_art_idx", encode_index(index));
            const program_run g = s.run("gather_arts");
            ASSERT_EQ(g.status, 0) << g.err;
            const program_run sc = s.run("scatter_arts", ">/dev/null");
            ASSERT_EQ(sc.status, 0) << sc.err;
            EXPECT_EQ(s.shell("cmp enwik_text2_vok enwik_text2_vok_u"), 0) << size;
        }
        EXPECT_EQ(s.shell("rm -f enwik_text2_vok_r enwik_text2_vok_u"), 0);
    }
}

TEST(Large, TextsOf4GiBAreRefusedWithoutAWrappedRecord) {
    const scratch s;
    sparse_text(s, GIB4, {10});
    program_run r = s.run("build_art_idx");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lines("build_art_idx: enwik_text2_vok: " + TOO_LARGE + "\n"));
    EXPECT_FALSE(s.exists("enwik_art_idx"));

    s.write("enwik_art_idx", encode_index({{0, 10}, {11, 20}}));
    r = s.run("gather_arts");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lines("gather_arts: enwik_text2_vok: " + TOO_LARGE + "\n"));
    EXPECT_FALSE(s.exists("enwik_text2_vok_r"));

    // A streamed text has no size to check first: the builder stops at the limit.
    ASSERT_EQ(s.shell("rm enwik_text2_vok enwik_art_idx && mkfifo enwik_text2_vok"), 0);
    r = s.run("build_art_idx", "", "(head -c 4294967296 /dev/zero > enwik_text2_vok &);");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, lines("build_art_idx: enwik_text2_vok: " + TOO_LARGE + "\n"));
    EXPECT_FALSE(s.exists("enwik_art_idx"));
}

}  // namespace

// gather_floor: the least a program pays for a gather, for comparison in the benchmark
// only. In the current folder it maps enwik_text2_vok, reads enwik_art_idx whole and
// copies each record's chunk (the article, plus its delimiter byte unless the record is
// the last) into a 2 MiB stage, written to enwik_text2_vok_r whenever full and at the
// end. No checks but the one that keeps a read inside the text: a record out of bounds
// is skipped.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

uint32_t le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool write_all(const int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int fail(const char* what) {
    std::perror(what);
    return 1;
}

}  // namespace

int main() {
    struct stat st {};
    const int text_fd = open("enwik_text2_vok", O_RDONLY);
    if (text_fd < 0 || fstat(text_fd, &st) != 0) return fail("enwik_text2_vok");
    const uint64_t text_size = static_cast<uint64_t>(st.st_size);
    const unsigned char* text = nullptr;
    if (text_size > 0) {
        void* const m = mmap(nullptr, static_cast<size_t>(text_size), PROT_READ, MAP_PRIVATE, text_fd, 0);
        if (m == MAP_FAILED) return fail("enwik_text2_vok");
        text = static_cast<const unsigned char*>(m);
    }

    const int index_fd = open("enwik_art_idx", O_RDONLY);
    if (index_fd < 0 || fstat(index_fd, &st) != 0) return fail("enwik_art_idx");
    std::vector<unsigned char> index(static_cast<size_t>(st.st_size));
    for (size_t got = 0; got < index.size();) {
        const ssize_t r = read(index_fd, index.data() + got, index.size() - got);
        if (r <= 0) return fail("enwik_art_idx");
        got += static_cast<size_t>(r);
    }
    const size_t n = index.size() / 8;

    const int out = open("enwik_text2_vok_r", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return fail("enwik_text2_vok_r");
    constexpr size_t stage_size = size_t{2} << 20;
    std::vector<unsigned char> stage(stage_size);
    size_t fill = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i + 16 < n) {
            const uint32_t ahead = le32(&index[8 * (i + 16)]);
            if (ahead < text_size) __builtin_prefetch(text + ahead);
        }
        const uint64_t start = le32(&index[8 * i]);
        const uint64_t end = le32(&index[8 * i + 4]);
        const uint64_t length = end - start + (i + 1 < n ? 1 : 0);
        if (start > end || start + length > text_size) continue;
        if (length > stage_size - fill) {
            if (!write_all(out, stage.data(), fill)) return fail("enwik_text2_vok_r");
            fill = 0;
        }
        if (length > stage_size) {
            if (!write_all(out, text + start, static_cast<size_t>(length))) return fail("enwik_text2_vok_r");
            continue;
        }
        std::memcpy(stage.data() + fill, text + start, static_cast<size_t>(length));
        fill += static_cast<size_t>(length);
    }
    if (!write_all(out, stage.data(), fill) || close(out) != 0) return fail("enwik_text2_vok_r");
    return 0;
}

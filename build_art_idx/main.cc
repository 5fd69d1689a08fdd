// build_art_idx: streams the text once and writes one record per article to the index.
#include "art_error.h"
#include "art_files.h"
#include "article_split.h"
#include "cli.h"

#include <cinttypes>
#include <memory>

static constexpr size_t BLOCK_SIZE = size_t{128} << 10;  // stays in cache between read and scan
static constexpr size_t RECORDS_OUT = size_t{1} << 20;   // records are written in requests this large
static unsigned char block[BLOCK_SIZE];
static unsigned char records[RECORDS_OUT + BLOCK_SIZE * ART_RECORD_SIZE];

// The text's size when it is a regular file (known = true); a text of ART_TEXT_LIMIT bytes
// or more is refused before the index is touched.
static int text_size(in_file* text, uint64_t* size, bool* known) {
    const int err = in_size(text, size);
    *known = err == 0;
    if (err == ART_E_NOT_REGULAR) return 0;
    if (err != 0) return err;
    return *size >= ART_TEXT_LIMIT ? ART_E_TOO_LARGE : 0;
}

// Splits the text block by block (from its mapping, or read into block) and appends
// the records to the index a request at a time. A known size must hold from the first
// byte to the last: a text that ends early or grows past it is a failure.
class index_writer {
public:
    explicit index_writer(out_file* index) : index_(index) {}

    int split(const unsigned char* data, const size_t size) {
        used_ += split_block(&splitter_, data, size, records + used_) * ART_RECORD_SIZE;
        return used_ >= RECORDS_OUT ? flush() : 0;
    }

    int finish() {
        split_end(&splitter_, records + used_);
        used_ += ART_RECORD_SIZE;
        return flush();
    }

    uint64_t pos() const { return splitter_.pos; }
    uint64_t count() const { return splitter_.n; }
    // Whether the failure that split returned was the index's, not the text's.
    bool write_failed() const { return write_failed_; }

private:
    int flush() {
        const int err = out_write(index_, written_, records, used_);
        written_ += used_;
        used_ = 0;
        write_failed_ = err != 0;
        return err;
    }

    out_file* const index_;
    article_splitter splitter_{0, 0, 0};
    size_t used_ = 0;
    uint64_t written_ = 0;
    bool write_failed_ = false;
};

static int scan_mapped(in_file* text, const unsigned char* mapped, const uint64_t size, index_writer& w) {
    for (uint64_t at = 0; at < size; at += BLOCK_SIZE) {
        const size_t part = static_cast<size_t>(size - at < BLOCK_SIZE ? size - at : BLOCK_SIZE);
        if (const int err = w.split(mapped + at, part)) return err;
    }
    return in_check_size(text, size);
}

static int scan_read(in_file* text, const uint64_t size, const bool known, index_writer& w) {
    for (;;) {
        size_t got = 0;
        if (const int err = in_read(text, block, BLOCK_SIZE, &got)) return err;
        if (got == 0) return known && w.pos() < size ? ART_E_SHORT_READ : 0;
        if (known && w.pos() + got > size) return ART_E_GREW;
        if (w.pos() + got >= ART_TEXT_LIMIT) return ART_E_TOO_LARGE;
        if (const int err = w.split(block, got)) return err;
    }
}

int main() {
    start_run("build_art_idx");
    in_file* text = nullptr;
    if (in_open(TEXT_FILE, &text) != 0) return 1;
    const std::unique_ptr<in_file, void (*)(in_file*)> text_closer(text, in_close);
    uint64_t size = 0;
    bool known = false;
    if (const int err = text_size(text, &size, &known)) return fail_code(TEXT_FILE, err);
    if (refuse_overwrite(INDEX_FILE, TEXT_FILE)) return 1;
    out_file* index = nullptr;
    if (out_open(INDEX_FILE, &index) != 0) return 1;

    index_writer writer(index);
    const unsigned char* const mapped = known && size > 0 ? in_map(text, TEXT_FILE, size) : nullptr;
    const int err = mapped != nullptr ? scan_mapped(text, mapped, size, writer) : scan_read(text, size, known, writer);
    if (err != 0) return fail_discarding(index, writer.write_failed() ? INDEX_FILE : TEXT_FILE, err);
    if (const int status = close_output(index, INDEX_FILE, writer.finish())) return status;
    print("n=%" PRIu64 "\n", writer.count());
    return finish_stdout(INDEX_FILE);
}

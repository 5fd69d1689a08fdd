// build_art_idx: streams the text once and writes one record per article to the index.
#include "art_files.h"
#include "article_split.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"

#include <cinttypes>
#include <cstring>
#include <memory>

static constexpr size_t BLOCK_SIZE = size_t{128} << 10;  // stays in cache between read and scan
// Records go out in whole blocks this large, at offsets aligned to it, where the page
// cache keeps them in large folios that a later mapping of the index maps whole.
static constexpr size_t RECORDS_OUT = size_t{2} << 20;
static unsigned char block[BLOCK_SIZE];
static unsigned char records[RECORDS_OUT + BLOCK_SIZE * ART_RECORD_SIZE];

// Splits the text block by block and appends the records to the index a whole block of
// RECORDS_OUT bytes at a time.
class index_writer {
public:
    explicit index_writer(output_file& index) : index_(index) {}

    art_status split(const unsigned char* data, const size_t size) {
        used_ += split_block(&splitter_, data, size, records + used_) * ART_RECORD_SIZE;
        return used_ >= RECORDS_OUT ? flush(RECORDS_OUT) : ART_OK;
    }

    art_status finish() {
        split_end(&splitter_, records + used_);
        used_ += ART_RECORD_SIZE;
        return flush(used_);
    }

    uint64_t pos() const { return splitter_.pos; }
    uint64_t count() const { return splitter_.n; }

private:
    // Writes the first size bytes of the records; the rest move to the front.
    art_status flush(const size_t size) {
        const art_status s = index_.write(written_, records, size);
        written_ += size;
        used_ -= size;
        std::memmove(records, records + size, used_);
        return s;
    }

    output_file& index_;
    article_splitter splitter_{0, 0, 0};
    size_t used_ = 0;
    uint64_t written_ = 0;
};

// Reads the text into block, which stays in the processor's cache between the read and
// the scan, whatever the text's size and however the page cache holds it; a known size
// must hold from the first byte to the last.
static art_status scan(in_file* text, const uint64_t size, const bool known, index_writer& w) {
    for (;;) {
        size_t got = 0;
        if (const int err = in_read(text, block, BLOCK_SIZE, &got)) return status_of(TEXT_FILE, err);
        if (got == 0) return status_of(TEXT_FILE, known && w.pos() < size ? input_ended_early(text, size) : 0);
        if (known && w.pos() + got > size) return status_of(TEXT_FILE, ART_E_GREW);
        if (w.pos() + got >= ART_TEXT_LIMIT) return status_of(TEXT_FILE, ART_E_TOO_LARGE);
        if (const art_status s = w.split(block, got); !s.ok()) return s;
    }
}

static int build() {
    if (const int status = refuse_stdout_on(INDEX_FILE, {TEXT_FILE})) return status;
    in_file* f = nullptr;
    if (const art_status s = open_input(TEXT_FILE, &f); !s.ok()) return fail(s);
    const std::unique_ptr<in_file, void (*)(in_file*)> closer(f, in_close);
    uint64_t size = 0;
    bool known = false;
    // A text of ART_TEXT_LIMIT bytes or more is refused before the index is touched.
    if (const art_status s = input_size(f, TEXT_FILE, &size, &known); !s.ok()) return fail(s);
    // A text of known size is checked once the index is written for a change of size.
    const loaded_file text{nullptr, size, known ? f : nullptr, TEXT_FILE};
    output_file index;
    if (const int status = create_output(index, INDEX_FILE, {TEXT_FILE})) return status;

    index_writer writer(index);
    art_status s = scan(f, size, known, writer);
    if (s.ok()) s = writer.finish();
    s = end_of_work(index, s, {&text});
    if (s.ok()) print("n=%" PRIu64 "\n", writer.count());
    return finish_run(index, s);
}

int main() { return run_main("build_art_idx", build); }

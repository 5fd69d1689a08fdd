// build_art_idx: streams the text once and writes one record per article to the index.
#include "art_error.h"
#include "art_files.h"
#include "article_split.h"
#include "cli.h"

#include <cinttypes>
#include <memory>

static constexpr size_t BLOCK_SIZE = size_t{128} << 10;  // stays in cache between read and scan
static unsigned char block[BLOCK_SIZE];
static unsigned char records[BLOCK_SIZE * ART_RECORD_SIZE];

// A text whose size is known is refused before the index is touched.
static int check_text(in_file* text) {
    uint64_t size = 0;
    const int err = in_size(text, &size);
    if (err == ART_E_NOT_REGULAR) return 0;
    if (err != 0) return err;
    return size >= ART_TEXT_LIMIT ? ART_E_TOO_LARGE : 0;
}

static int append_records(out_file* index, const size_t count) {
    const io_piece piece{records, count * ART_RECORD_SIZE};
    return out_append(index, &piece, 1);
}

// Streams the text into records appended to the index, then closes it; returns the exit
// status, the index discarded and a diagnostic printed after a failure.
static int write_index(in_file* text, out_file* index, article_splitter* splitter) {
    for (;;) {
        size_t got = 0;
        if (const int err = in_read(text, block, BLOCK_SIZE, &got)) {
            out_discard(index);
            return fail_code(TEXT_FILE, err);
        }
        if (got == 0) break;
        if (splitter->pos + got >= ART_TEXT_LIMIT) {
            out_discard(index);
            return fail_code(TEXT_FILE, ART_E_TOO_LARGE);
        }
        const size_t made = split_block(splitter, block, got, records);
        if (const int err = append_records(index, made)) return close_output(index, INDEX_FILE, err);
    }
    split_end(splitter, records);
    return close_output(index, INDEX_FILE, append_records(index, 1));
}

int main() {
    cli_program = "build_art_idx";
    in_file* text = nullptr;
    if (in_open(TEXT_FILE, &text) != 0) return 1;
    const std::unique_ptr<in_file, void (*)(in_file*)> text_closer(text, in_close);
    if (const int err = check_text(text)) return fail_code(TEXT_FILE, err);
    if (refuse_overwrite(INDEX_FILE, TEXT_FILE)) return 1;
    out_file* index = nullptr;
    if (out_open(INDEX_FILE, &index) != 0) return 1;

    article_splitter splitter{0, 0, 0};
    if (const int status = write_index(text, index, &splitter)) return status;
    print("n=%" PRIu64 "\n", splitter.n);
    return finish_stdout(INDEX_FILE);
}

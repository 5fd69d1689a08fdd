// gather_arts: writes the chunk of every record, in index order, to the gathered text.
#include "art_files.h"
#include "chunk_copy.h"
#include "cli.h"
#include "file_loader.h"
#include "index_check.h"

int main() {
    cli_program = "gather_arts";
    announce_load(TEXT_FILE);
    const unsigned char* const text = load_whole_file(TEXT_FILE, load_use::copied);
    if (text == nullptr) return load_failed(TEXT_FILE);
    const uint64_t text_size = loaded_size;
    announce_done();

    announce_load(INDEX_FILE);
    const unsigned char* const index = load_whole_file(INDEX_FILE);
    if (index == nullptr) return load_failed(INDEX_FILE);
    announce_done();
    const uint64_t n = record_count(loaded_size);

    const index_breach breach = check_gather_index(index, n, text_size);
    if (breach.kind != breach_kind::none)
        return fail(INDEX_FILE, describe_breach(breach, TEXT_FILE, text_size).c_str());
    if (refuse_overwrite(GATHERED_FILE, TEXT_FILE) || refuse_overwrite(GATHERED_FILE, INDEX_FILE))
        return 1;
    out_file* gathered = nullptr;
    if (out_open(GATHERED_FILE, &gathered) != 0) return 1;

    file_sink sink(gathered);
    return finish_run(gathered, GATHERED_FILE, gather_chunks(text, index, n, sink));
}

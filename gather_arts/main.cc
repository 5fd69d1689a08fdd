// gather_arts: writes the chunk of every record, in index order, to the gathered text.
#include "art_files.h"
#include "chunk_copy.h"
#include "cli.h"

int main() {
    start_run("gather_arts");
    static loaded_inputs in{};  // held until process exit, as the loaded buffers are
    if (const int status = load_inputs(TEXT_FILE, &in)) return status;

    const index_breach breach = check_gather_index(in.index, in.n, in.text.size);
    out_file* gathered = nullptr;
    if (const int status = open_output(GATHERED_FILE, in, breach, &gathered))
        return status;

    file_sink sink(gathered);
    return finish_run(gathered, GATHERED_FILE, in, gather_chunks(in.text, in.index, in.n, sink));
}

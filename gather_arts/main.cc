// gather_arts: writes the chunk of every record, in index order, to the gathered text.
#include "art_files.h"
#include "chunk_copy.h"
#include "run.h"

namespace art {

static int gather() {
    static loaded_inputs in{};  // held until process exit, as the loaded buffers are
    if (const int status = load_inputs(TEXT_FILE, GATHERED_FILE, &in)) return status;

    const index_breach breach = check_gather_index(in.index.data, in.n, in.source.size);
    output_file gathered;
    if (const int status = open_output(gathered, GATHERED_FILE, in, breach)) return status;

    const art_status work = gather_chunks(in.source, in.index, gathered, machine_limits());
    return finish_run(gathered, end_of_work(gathered, work, {&in.source, &in.index}));
}

}  // namespace art

// What --help prints.
static const char* const USAGE =
    "usage: gather_arts\n"
    "Writes enwik_text2_vok_r: every article of enwik_text2_vok with its delimiter, in the\n"
    "order of the records of enwik_art_idx.\n"
    "Its files are in the working directory. --help: this; --version: the version. Any other\n"
    "argument is ignored.\n";

int main(int argc, char** argv) { return art::run_main("gather_arts", art::gather, argc, argv, USAGE); }

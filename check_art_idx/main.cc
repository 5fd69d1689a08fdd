// check_art_idx: says, before they are run, whether gather then scatter with the index
// give the text back byte for byte: the index passes gather's check, and its chunks,
// each at its record's start, cover every byte of the text.
#include "art_files.h"
#include "index_coverage.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"

#include <cinttypes>
#include <memory>

static unsigned char block[size_t{128} << 10];

// The text's size: the one that it says, else (a pipe, a file whose size reads 0) what
// reading it to its end gives. A size that was said is kept in *text to be checked again.
static art_status measure_text(in_file* f, loaded_file* text) {
    uint64_t size = 0;
    bool sized = false;
    if (const art_status s = input_size(f, TEXT_FILE, &size, &sized); !s.ok()) return s;
    for (size_t got = 1; !sized && got > 0; size += got) {
        if (const int err = in_read(f, block, sizeof block, &got)) return status_of(TEXT_FILE, err);
        if (size + got >= ART_TEXT_LIMIT) return status_of(TEXT_FILE, ART_E_TOO_LARGE);
    }
    *text = {nullptr, size, sized ? f : nullptr, TEXT_FILE};
    return ART_OK;
}

static int check() {
    if (const int status = refuse_stdout_on(nullptr, {TEXT_FILE, INDEX_FILE})) return status;
    in_file* f = nullptr;
    if (const art_status s = open_input(TEXT_FILE, &f); !s.ok()) return fail(s);
    const std::unique_ptr<in_file, void (*)(in_file*)> closer(f, in_close);
    loaded_file text{};
    if (const art_status s = measure_text(f, &text); !s.ok()) return fail(s);
    static loaded_file index{};  // held until process exit, as the loaded buffer is
    announce_load(INDEX_FILE);
    if (const art_status s = load_whole_file(INDEX_FILE, &index); !s.ok()) return fail(s);
    announce_done();
    const uint64_t n = record_count(index.size);

    const coverage_result r = check_coverage(index.data, n, text.size);
    for (const loaded_file* input : {&text, &index})
        if (const art_status s = check_unchanged(*input); !s.ok()) return fail(s);
    if (r.error != 0) return fail(status_of(INDEX_FILE, r.error));
    if (r.breach.kind != breach_kind::none)
        return fail(INDEX_FILE, describe_breach(r.breach, TEXT_FILE, text.size).c_str());
    if (!r.whole()) return fail(INDEX_FILE, describe_gaps(r, TEXT_FILE).c_str());
    print("n=%" PRIu64 ": the records cover all %" PRIu64 " bytes of %s: gather then scatter give it back\n", n,
          text.size, TEXT_FILE);
    const art_status out = stdout_status();
    return out.ok() ? 0 : fail(out);
}

int main() { return run_main("check_art_idx", check); }

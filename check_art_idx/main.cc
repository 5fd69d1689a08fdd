// check_art_idx: says, before they are run, whether gather then scatter with the index
// give the text back byte for byte: the index passes gather's check, and its chunks,
// each at its record's start, cover every byte of the text.
#include "art_files.h"
#include "index_coverage.h"
#include "mapped_inputs.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"
#include "sized_reader.h"
#include "threads.h"

#include <cinttypes>
#include <cstring>
#include <memory>

namespace art {

static unsigned char block[size_t{1} << 20];

using input = std::unique_ptr<in_file, void (*)(in_file*)>;

// Reads an input to its end through block, handing whole records of it to check where
// there is one. A size that it said must hold from its first byte to its last; *size
// is the size said, then the bytes read.
static art_status read_input(in_file* f, const char* name, const bool sized, uint64_t* size, coverage_check* check) {
    sized_reader reader(f, name, *size, sized);
    size_t held = 0;  // the first bytes of a record that the last read cut
    for (;;) {
        size_t got = 0;
        const art_status s = reader.read(block + held, sizeof block - held, &got);
        *size = reader.done();
        if (!s.ok() || got == 0) return s;
        if (check == nullptr) continue;
        held += got;
        check->add(block, held / ART_RECORD_SIZE);
        std::memmove(block, block + held / ART_RECORD_SIZE * ART_RECORD_SIZE, held % ART_RECORD_SIZE);
        held %= ART_RECORD_SIZE;
    }
}

// An input, open, with the size it says (sized), if any.
struct opened {
    input file{nullptr, close_input};
    uint64_t size = 0;
    bool sized = false;
    // As end_of_work checks an input: a size said must still hold at the end.
    loaded_file as_loaded(const char* name) const { return {nullptr, size, sized ? file.get() : nullptr, name}; }
};

static art_status open_sized(const char* name, opened* in) {
    in_file* f = nullptr;
    if (const art_status s = open_input(name, &f); !s.ok()) return s;
    in->file.reset(f);
    return input_size(f, name, &in->size, &in->sized);
}

// Checks the index against a text of text_size bytes: mapped whole where it says a size
// and can be mapped, its records cut into parts for as many threads as their number is
// worth; else read once in order, each record checked as it comes. A size said fails
// alike both ways when the index no longer has it.
static art_status check_index(opened* index, const uint64_t text_size, coverage_result* r) {
    const unsigned char* const mapped = index->sized ? in_map(index->file.get(), index->size) : nullptr;
    if (mapped == nullptr) {
        coverage_check check(text_size);
        const art_status s = read_input(index->file.get(), INDEX_FILE, index->sized, &index->size, &check);
        if (s.ok()) *r = check.finish();
        return s;
    }
    mapped_input_add(INDEX_FILE, mapped, index->size);
    const int now = in_check_unchanged(index->file.get(), index->size);
    if (now == ART_E_SHORT_READ || now == ART_E_GREW) return status_of(INDEX_FILE, now);
    const thread_limits limits = machine_threads();
    const size_t parts = parts_for(index->size, limits.threads, limits.part_min);
    *r = check_coverage(mapped, record_count(index->size), text_size, static_cast<unsigned>(parts));
    return ART_OK;
}

static int check() {
    if (const int status = refuse_stdout_on(nullptr, {TEXT_FILE, INDEX_FILE})) return status;
    // Of the text, only its size: read to its end where it says none.
    opened text;
    art_status s = open_sized(TEXT_FILE, &text);
    if (s.ok() && !text.sized) s = read_input(text.file.get(), TEXT_FILE, false, &text.size, nullptr);
    if (!s.ok()) return fail(s);
    opened index;
    announce_load(INDEX_FILE);
    s = open_sized(INDEX_FILE, &index);
    coverage_result r{};
    if (s.ok()) s = check_index(&index, text.size, &r);
    if (!s.ok()) return fail(s);
    announce_done();

    for (const loaded_file& in : {text.as_loaded(TEXT_FILE), index.as_loaded(INDEX_FILE)})
        if (const art_status changed = check_unchanged(in); !changed.ok()) return fail(changed);
    if (const int status = refuse_unless_whole(r, text.size)) return status;
    print("n=%" PRIu64 ": the records cover all %" PRIu64 " bytes of %s: gather then scatter give it back\n",
          record_count(index.size), text.size, TEXT_FILE);
    s = stdout_status();
    return s.ok() ? 0 : fail(s);
}

}  // namespace art

// What --help prints.
static const char* const USAGE =
    "usage: check_art_idx\n"
    "Says whether gather then scatter with enwik_art_idx give enwik_text2_vok back, byte for\n"
    "byte; writes nothing.\n"
    "Its files are in the working directory. --help: this; --version: the version. Any other\n"
    "argument is ignored.\n";

int main(int argc, char** argv) { return art::run_main("check_art_idx", art::check, argc, argv, USAGE); }

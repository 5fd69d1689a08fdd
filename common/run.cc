#include "run.h"

#include "art_files.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run_guard.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace art {

namespace {

// The file that a failed allocation is reported on: the input being loaded, then the
// output.
const char* working_on = "";

// The diagnostic of the same-file rule: file is the same file as the role other.
int refuse(const char* file, const char* role, const char* other) {
    return fail(file, ("is the same file as the " + std::string(role) + " " + other).c_str());
}

}  // namespace

int run_main(const char* program, int (*body)(), const int argc, char** argv, const char* usage) {
    program_name = program;
    for (int i = 1; i < argc; ++i) {
        const bool help = std::strcmp(argv[i], "--help") == 0;
        if (!help && std::strcmp(argv[i], "--version") != 0) continue;
        // Not into a file of the suite, as no run prints into one.
        for (const char* file : {TEXT_FILE, INDEX_FILE, GATHERED_FILE, SCATTERED_FILE})
            if (stdout_is(file)) return fail("standard output", (std::string("is the same file as ") + file).c_str());
        if (help) print("%s", usage != nullptr ? usage : "");
        else print("%s %s\n", program, ART_VERSION);
        const art_status s = stdout_status();
        return s.ok() ? 0 : fail(s);
    }
    guard_run(program);
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(status_of(working_on, ENOMEM));
    } catch (const std::exception& e) {
        return fail(working_on, e.what());
    }
}

int refuse_stdout_on(const char* output, std::initializer_list<const char*> inputs) {
    if (output != nullptr && stdout_is(output)) return refuse("standard output", "output", output);
    for (const char* input : inputs)
        if (stdout_is(input)) return refuse("standard output", "input", input);
    return 0;
}

int load_inputs(const char* source_name, const char* output, loaded_inputs* in) {
    if (const int status = refuse_stdout_on(output, {source_name, INDEX_FILE})) return status;
    for (const auto& [name, loaded] : {std::pair{source_name, &in->source}, std::pair{INDEX_FILE, &in->index}}) {
        working_on = name;
        announce_load(name);
        if (const art_status s = load_whole_file(name, loaded); !s.ok()) return fail(s);
        announce_done();
    }
    in->n = record_count(loaded_size);
    return 0;
}

int refuse_unless_whole(const coverage_result& r, const uint64_t text_size, const std::string& what) {
    if (r.error != 0) return fail(status_of(INDEX_FILE, r.error));
    if (r.breach.kind != breach_kind::none)
        return fail(INDEX_FILE, (what + describe_breach(r.breach, TEXT_FILE, text_size)).c_str());
    return r.whole() ? 0 : fail(INDEX_FILE, (what + describe_gaps(r, TEXT_FILE)).c_str());
}

int create_output(output_file& out, const char* name, std::initializer_list<run_input> inputs) {
    // Inputs are known by name, and those that the run holds open also by what their open
    // files and the output's say, before the output is changed at all: opening a file of
    // an overlay for writing may make it another file (its copy in the upper layer).
    for (const run_input& input : inputs)
        if (same_file(name, input.name)) return refuse(name, "input", input.name);
    working_on = name;
    if (const art_status opened = out.open(name); !opened.ok()) return fail(opened);
    for (const run_input& input : inputs)
        if (input.file != nullptr && out.is(input.file)) return refuse(name, "input", input.name);
    const art_status begun = out.begin();
    return begun.ok() ? 0 : fail(begun);
}

int open_output(output_file& out, const char* name, const loaded_inputs& in, const index_breach& breach) {
    if (breach.kind != breach_kind::none) {
        for (const loaded_file* input : {&in.source, &in.index})
            if (const art_status s = check_unchanged(*input); !s.ok()) return fail(s);
        return fail(INDEX_FILE, describe_breach(breach, in.source.name, in.source.size).c_str());
    }
    return create_output(out, name, {{in.source.name, in.source.file}, {in.index.name, in.index.file}});
}

art_status end_of_work(output_file& out, const art_status work, std::initializer_list<const loaded_file*> inputs) {
    // Closed (or made durable) first, so that nothing that may take long comes between
    // the checks of the inputs and the output's commit.
    const art_status closed = work.ok() ? out.close() : ART_OK;
    for (const loaded_file* input : inputs) {
        if (const art_status s = check_unchanged(*input); !s.ok()) return s;
        // The file that the output is to take the place of is another run's input still.
        if (input->file != nullptr && out.target() != nullptr && std::strcmp(input->name, out.target()) == 0)
            if (const int err = in_being_read(input->file)) return status_of(input->name, err);
    }
    return work.ok() ? closed : work;
}

int finish_run(output_file& out, art_status status) {
    if (status.ok()) status = stdout_status();
    if (status.ok()) status = out.commit();
    if (status.ok()) return 0;
    const int removal = out.take_back();
    if (removal == 0) return fail(status);
    if (removal == ART_E_NOT_EMPTIED)
        return fail(status.file, (std::string(art_strerror(status.code)) + "; " + out.name() +
                                  " could be neither removed nor emptied: it is left as written").c_str());
    return fail(status.file, (std::string(art_strerror(status.code)) + "; " + out.name() + " could not be removed (" +
                              art_strerror(removal) + ") and was emptied instead").c_str());
}

}  // namespace art

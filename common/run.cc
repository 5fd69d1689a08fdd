#include "run.h"

#include "art_files.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run_guard.h"

#include <string>

void start_run(const char* program) {
    program_name = program;
    guard_run();
}

int load_inputs(const char* source_name, loaded_inputs* in) {
    announce_load(source_name);
    if (const art_status s = load_whole_file(source_name, &in->source); !s.ok()) return fail(s);
    announce_done();
    announce_load(INDEX_FILE);
    if (const art_status s = load_whole_file(INDEX_FILE, &in->index); !s.ok()) return fail(s);
    announce_done();
    in->n = record_count(loaded_size);
    return 0;
}

int refuse_overwrite(const char* output, const char* input) {
    if (!same_file(output, input)) return 0;
    return fail(output, std::string("is the same file as the input ") + input);
}

int open_output(output_file& out, const char* name, const loaded_inputs& in, const index_breach& breach) {
    if (breach.kind != breach_kind::none) {
        for (const loaded_file* input : {&in.source, &in.index})
            if (const art_status s = check_unchanged(*input); !s.ok()) return fail(s);
        return fail(INDEX_FILE, describe_breach(breach, in.source.name, in.source.size));
    }
    if (refuse_overwrite(name, in.source.name) || refuse_overwrite(name, in.index.name)) return 1;
    const art_status created = out.create(name);
    return created.ok() ? 0 : fail(created);
}

art_status end_of_work(output_file& out, const art_status work, std::initializer_list<const loaded_file*> inputs) {
    for (const loaded_file* input : inputs)
        if (const art_status s = check_unchanged(*input); !s.ok()) return s;
    if (!work.ok()) return work;
    return out.close();
}

int finish_run(output_file& out, art_status status) {
    if (status.ok()) status = stdout_status();
    if (status.ok()) {
        out.commit();
        return 0;
    }
    const int removal = out.take_back();
    if (removal == 0) return fail(status);
    return fail(status.file, std::string(art_strerror(status.code)) + "; " + out.name() + " could not be removed (" +
                                 art_strerror(removal) + ") and was emptied instead");
}

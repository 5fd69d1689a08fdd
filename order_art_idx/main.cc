// order_art_idx: puts the index's records in an order that groups articles of similar
// content, so that a compressor of the gathered text finds more of what it has seen. The
// new index is proven to give the text back, written beside the old one and put in its
// place in one step; where no better order is found, the index is left as it was.
#include "art_files.h"
#include "article_order.h"
#include "index_coverage.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"
#include "threads.h"

#include <cinttypes>
#include <memory>
#include <new>
#include <string>

namespace art {

// Where the new index is written before it takes the old one's place.
constexpr const char* NEW_INDEX_FILE = "enwik_art_idx.new";

static int order() {
    if (const int status = refuse_stdout_on(NEW_INDEX_FILE, {TEXT_FILE, INDEX_FILE})) return status;
    static loaded_file text{}, index{};  // held until process exit, as the programs hold what they load
    for (const auto& [name, loaded] : {std::pair{TEXT_FILE, &text}, std::pair{INDEX_FILE, &index}})
        if (const art_status s = load_whole_file(name, loaded); !s.ok()) return fail(s);
    // The new index's file is made first, so that a second ordering, an index that may not
    // be replaced and a new index that is no file of its own are refused before the work,
    // and one that an earlier run left behind goes with any run's end.
    output_file out;
    out.replace_at(INDEX_FILE, index.file != nullptr ? in_handle(index.file) : -1);
    if (const int status = create_output(out, NEW_INDEX_FILE, {{TEXT_FILE, text.file}, {INDEX_FILE, index.file}}))
        return status;
    // The check stops at the first record that gather refuses, and may not read the index
    // to its end: an index that another process cut short is found here.
    if (const art_status s = check_unchanged(index); s.code == ART_E_SHORT_READ) return fail(s);
    const uint64_t n = record_count(index.size);
    const thread_limits limits = machine_threads();
    const auto check_threads = static_cast<unsigned>(parts_for(index.size, limits.threads, limits.part_min));
    if (const int status = refuse_unless_whole(check_coverage(index.data, n, text.size, check_threads), text.size))
        return status;

    const std::unique_ptr<unsigned char[]> ordered(new (std::nothrow) unsigned char[n * ART_RECORD_SIZE]);
    if (!ordered) return fail(status_of(INDEX_FILE, ENOMEM));
    order_options options;
    options.threads = limits.threads;
    const order_result r = order_articles(text.data, text.size, index.data, n, ordered.get(), options);
    if (r.error != 0) return fail(status_of(INDEX_FILE, r.error));
    if (!r.changed) {
        // Nothing is written: the index stays byte for byte.
        out.take_back();
        for (const loaded_file* input : {&text, &index})
            if (const art_status s = check_unchanged(*input); !s.ok()) return fail(s);
        print("n=%" PRIu64 "\nthe order given is kept: no better one was found\n", n);
        const art_status s = stdout_status();
        return s.ok() ? 0 : fail(s);
    }
    // The new index is proven before it is written.
    if (const int status = refuse_unless_whole(check_coverage(ordered.get(), n, text.size, check_threads), text.size,
                                               "the new order would not give the text back, and is not written: "))
        return status;

    const art_status work = out.write(0, ordered.get(), static_cast<size_t>(n * ART_RECORD_SIZE));
    // The new index is made from the files loaded, and proven against them: it takes the
    // old one's place only where both still are what the names lead to, and no other run
    // reads the old one. The lock on the old index keeps builders from it until then;
    // where the system refuses to replace an open file, it is let go just before.
    const art_status s = end_of_work(out, work, {&text, &index});
    if (REPLACE_NEEDS_TARGET_CLOSED) release_loaded(&index);
    if (const int status = finish_run(out, s)) return status;
    // Said once it is true; a failure to say it is said as what it is.
    print("n=%" PRIu64 "\n%" PRIu64 " records moved: the cost model expects %.0f bytes less to compress\n", n,
          r.moved, r.estimated_gain);
    const art_status printed = stdout_status();
    if (printed.ok()) return 0;
    return fail(printed.file, (std::string(art_strerror(printed.code)) + "; " + INDEX_FILE +
                               " is the new index all the same").c_str());
}

}  // namespace art

int main() { return art::run_main("order_art_idx", art::order); }

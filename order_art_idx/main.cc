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

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace art {

// Where the new index is written before it takes the old one's place.
constexpr const char* NEW_INDEX_FILE = "enwik_art_idx.new";

// The judge's settings, from the command line.
order_options judge_options;

// The line that tells what the ordering did and how it was judged.
static std::string said(const order_result& r) {
    char how[200], line[360];
    const int said_how = std::snprintf(how, sizeof how, "judged by zstd level %d with a window of %" PRIu64
                                       " KiB on %" PRIu64 " of %" PRIu64 " bytes of gathered text",
                                       judge_options.judge_level, (uint64_t{1} << judge_options.judge_window_log) >> 10,
                                       r.judged_bytes, r.total_bytes);
    if (r.window_log != judge_options.judge_window_log && said_how > 0 && size_t(said_how) < sizeof how)
        std::snprintf(how + said_how, sizeof how - size_t(said_how), " (a sample of the articles, with a window of %" PRIu64 " KiB)",
                      (uint64_t{1} << r.window_log) >> 10);
    if (r.judged == 0)
        std::snprintf(line, sizeof line, "the order given is kept: fewer than 3 records");
    else if (r.changed)
        std::snprintf(line, sizeof line, "%" PRIu64 " records moved (%s): %" PRIu64 " bytes before, %" PRIu64 " after, %s",
                      r.moved, order_kind_name(r.kind), r.before, r.after, how);
    else
        std::snprintf(line, sizeof line, "the order given is kept: %" PRIu64 " bytes, none of %u orders smaller by %.1f%%, %s",
                      r.before, r.judged - 1, 100 * judge_options.margin, how);
    return line;
}

// Progress on a terminal, once the run has taken a second; erased by progress_done.
struct progress_state {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool shown = false;
};
static void show_progress(void* context, const char* step, const unsigned done, const unsigned total) {
    auto* const p = static_cast<progress_state*>(context);
    if (std::chrono::steady_clock::now() - p->start < std::chrono::seconds(1)) return;
    // Padded to one width, which any terminal can overwrite.
    if (total == 0)
        std::fprintf(stderr, "\r%-60.60s", (std::string(program_name) + ": " + step + "...").c_str());
    else
        std::fprintf(stderr, "\r%-60.60s", (std::string(program_name) + ": " + step + ", " + std::to_string(done) + " of " +
                                           std::to_string(total) + " orders...").c_str());
    std::fflush(stderr);
    p->shown = true;
}
static void progress_done(const progress_state& p) {
    if (p.shown) std::fprintf(stderr, "\r%60s\r", "");
}

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
    order_options options = judge_options;
    options.threads = limits.threads;
    progress_state progress;
    if (isatty(fileno(stderr))) {
        options.progress = show_progress;
        options.progress_context = &progress;
    }
    const order_result r = order_articles(text.data, text.size, index.data, n, ordered.get(), options);
    progress_done(progress);
    if (r.error != 0) return fail(status_of(INDEX_FILE, r.error));
    if (!r.changed) {
        // Nothing is written: the index stays byte for byte.
        out.take_back();
        for (const loaded_file* input : {&text, &index})
            if (const art_status s = check_unchanged(*input); !s.ok()) return fail(s);
        print("n=%" PRIu64 "\n%s\n", n, said(r).c_str());
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
    print("n=%" PRIu64 "\n%s\n", n, said(r).c_str());
    const art_status printed = stdout_status();
    if (printed.ok()) return 0;
    return fail(printed.file, (std::string(art_strerror(printed.code)) + "; " + INDEX_FILE +
                               " is the new index all the same").c_str());
}

}  // namespace art

// --level=N and --window=SIZE set the judge; --help says so; other arguments are ignored.
static const char* const USAGE =
    "usage: order_art_idx [--level=N] [--window=SIZE]\n"
    "Reorders enwik_art_idx so that articles of similar content of enwik_text2_vok sit together,\n"
    "keeping the order given unless zstd compresses the gathered text and index of another\n"
    "order smaller by more than 1%.\n"
    "  --level=N      the judge's zstd level (default 3)\n"
    "  --window=SIZE  the judge's window, a power of two, in bytes or with K, M or G (default 8M)\n"
    "Its files are in the working directory. --help: this; --version: the version. Any other\n"
    "argument is ignored.\n";

int main(int argc, char** argv) {
    // --help and --version come first, whatever else is given.
    bool only_said = false;
    for (int i = 1; i < argc; ++i) only_said |= std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "--version") == 0;
    for (int i = 1; i < argc && !only_said; ++i) {
        const char* const a = argv[i];
        char* end = nullptr;
        if (std::strncmp(a, "--level=", 8) == 0) {
            const long v = std::strtol(a + 8, &end, 10);
            if (end == a + 8 || *end != '\0' || v < -131072 || v > 22)
                return std::fprintf(stderr, "order_art_idx: %s: not a zstd level\n", a), 1;
            art::judge_options.judge_level = int(v);
        } else if (std::strncmp(a, "--window=", 9) == 0) {
            unsigned long long v = std::strtoull(a + 9, &end, 10);
            const int shift = *end == 'K' ? 10 : *end == 'M' ? 20 : *end == 'G' ? 30 : 0;
            if (shift != 0) ++end;
            unsigned log = 0;
            while (log < 40 && (1ULL << log) < (v << shift)) ++log;
            if (end == a + 9 || *end != '\0' || v == 0 || (1ULL << log) != (v << shift) || log < 10 || log > 31)
                return std::fprintf(stderr, "order_art_idx: %s: not a window of 1K to 2G, a power of two\n", a), 1;
            art::judge_options.judge_window_log = log;
        }
    }
    return art::run_main("order_art_idx", art::order, argc, argv, USAGE);
}

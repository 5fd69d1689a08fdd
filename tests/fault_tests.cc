// Faults around the real programs: a full disk, a file size limit, unwritable standard
// output, outputs linked to inputs, unreadable inputs. Each must end with status 1 and
// one diagnostic, leave the inputs as they were, and leave no half-written output.
#include "art_index.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <random>
#include <sys/wait.h>

namespace {

struct program_files {
    const char* program;
    std::string output;
    std::vector<std::string> inputs;
    std::string kept_as;  // the file that the output becomes when the run succeeds
};
// The ordering writes its index beside the one it reads, then puts it in that one's place.
const program_files PROGRAMS[] = {
    {"build_art_idx", INDEX, {TEXT}, INDEX},
    {"gather_arts", GATHERED, {TEXT, INDEX}, GATHERED},
    {"scatter_arts", SCATTERED, {GATHERED, INDEX}, SCATTERED},
    {"order_art_idx", INDEX + ".new", {TEXT, INDEX}, INDEX},
};

// 1 MB of 40-byte articles: outputs large enough to pass a 50 KB size limit, and inputs
// past the 100 KB after which a read fails; 560 KB for the ordering, the slowest under
// the sanitizers, whose output is an index. The index lists them shuffled, its last
// record last, so that the ordering has work to write.
void write_inputs(const scratch& s, const program_files& p) {
    const size_t size = p.output == p.kept_as ? 1000000 : 560000;
    const std::vector<std::string>& inputs = p.inputs;
    std::string text;
    std::vector<art_record> index;
    while (text.size() < size) {
        const uint32_t start = static_cast<uint32_t>(text.size());
        text += std::string(39, 'a' + char(start % 26)) + '\x01';
        index.push_back({start, start + 39});
    }
    text += "end";
    std::shuffle(index.begin(), index.end(), std::mt19937(5));
    index.push_back({static_cast<uint32_t>(text.size() - 3), static_cast<uint32_t>(text.size())});
    for (const std::string& name : inputs) s.write(name, name == INDEX ? encode_index(index) : text);
}

// What the run leaves of its output: nothing; whatever a link leads to (not checked);
// an empty file; a whole one.
enum class left { nothing, link, empty, whole };

// Builds that a fault cannot be made in (fault::skip_in).
constexpr int PORTABLE_BUILD = 1;   // reads through fread, whose own reads cannot be intercepted
constexpr int SANITIZED_BUILD = 2;  // the sanitizers' allocator cannot be made to fail

constexpr const char* WINE_STDOUT = "wine's standard handles on a Unix file answer no file queries";
constexpr const char* SHORTENED = "input ended before its full size was read (shortened during the run?)";
constexpr const char* CHANGED = "input changed during the run";
constexpr const char* NOT_OWN = "is a link, a pipe or a device, or has other names: it cannot take another file's place";
constexpr const char* NO_LOCKS =
    "cannot be locked on its file system, so no other run can be kept from it: it does not take another file's place";
// The ordering's index as a run of its own (in ref/) makes it.
#define REF_RUN "mkdir ref && cp enwik_* ref/ && (cd ref && sh -c \"$PROG\" >/dev/null)"
#define SAME_AS_REF "cmp \"$KEPT\" ref/\"$KEPT\""
// Starts the ordering in the background with the fault injector, stopped just before it
// renames its new index over the old one, and waits until it is.
#define ORDERING_STOPPED_BEFORE_RENAME(locks) ORDERING_STOPPED(locks " ART_SIGNAL_BEFORE_RENAME=19")
// The same, stopped once it has written its new index, before its last checks.
#define ORDERING_STOPPED_AT_ITS_WRITE ORDERING_STOPPED("ART_SIGNAL_FILE=enwik_art_idx.new ART_SIGNAL=19")
#define ORDERING_STOPPED(how) \
    "{ sh -c \"export ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=$INJECT " how "; " \
    "exec $PROG\" & echo $! >holder.pid; wait $!; echo $? >holder.st; mv holder.st holder.status; } >/dev/null 2>&1 & " \
    "( " HOLDER_STOPPED " )"
// Lets the stopped run go on, and checks that it ended with status 0.
#define HOLDER_ENDS_WELL \
    "kill -CONT $(cat holder.pid) && while [ ! -e holder.status ]; do sleep 0.01; done && [ \"$(cat holder.status)\" = 0 ]"

// Rows whose output is a link, a FIFO, a device or another file's name, which the
// ordering refuses to put in its index's place, rows where no lock can be had, which it
// refuses to run without, and rows whose standard output fails, which the ordering finds
// only once its new index is in place (rows of their own below).
const char* const NOT_FOR_THE_ORDERING[] = {
    "full disk", "output on another tmpfs, of the same inode number as an input", "output with another hard link",
    "output a symbolic link on a full disk", "output a FIFO that nobody reads, interrupted",
    "output a FIFO that its reader does not read, interrupted",
    "standard streams closed, input shortened while the output is written", "no lock can be had",
    "stdout unwritable", "stdout a pipe with no reader", "output a dangling symbolic link",
    "output a dangling symbolic link, then a file size limit", "output a chain of symbolic links leading nowhere, then a file size limit",
};
// Inputs last written long ago: a change during the run is then later than the file
// system's clock can tell apart.
#define OLD_INPUT "touch -d @946684800 \"$IN\""
// Unmounts each folder named, waiting up to 10 s for it to be free: under wine the server
// closes a finished program's files a moment after it has gone.
#define UMOUNT(folders) \
    "for m in " folders "; do for t in $(seq 200); do umount $m 2>/dev/null && break; sleep 0.05; done; done; " \
    "! mount | grep -q \"$PWD/\""
// Waits until the run whose process holder.pid names is stopped (for up to a minute: a
// sanitized build runs many times slower).
#define HOLDER_STOPPED \
    "for t in $(seq 6000); do [ -s holder.pid ] && grep -q '^[0-9]* ([^)]*) T' /proc/$(cat holder.pid)/stat && " \
    "exit 0; sleep 0.01; done; exit 1"
// Mounts the overlay of o/lower and o/upper on o/m, where root and the overlay module
// allow it (else the fault is skipped). The paths are relative: a folder's name may hold
// a comma, which the mount's options would split at.
#define OVERLAY \
    "{ mount -t overlay overlay -o lowerdir=o/lower,upperdir=o/upper,workdir=o/work o/m 2>/dev/null || exit 77; }"

struct fault {
    const char* name;
    const char* setup;    // sh command run in the scratch folder; OUT and IN name the files
    const char* prefix;   // before the program's command line; OUT and IN are replaced
    const char* suffix;   // after it
    const char* file;     // the diagnostic's FILE: OUT, IN, or a fixed name; null: no diagnostic
    const char* reason;   // OUT and IN are replaced
    int status;
    left output_left;
    bool preload;         // the fault is made by tests/fault_inject.cc, preloaded
    int skip_in;          // builds it cannot be made in: PORTABLE_BUILD, SANITIZED_BUILD
    const char* only;     // the one program that the fault applies to, if so
    const char* cleanup;  // sh command run in the scratch folder afterwards; a setup that
                          // exits 77 skips the fault where the machine cannot make it
    const char* not_on_windows;  // why the fault cannot be made for a Windows build, if so
    bool input_written = false;  // another run writes an input: the inputs are not compared
};

const fault FAULTS[] = {
    {"full disk", "ln -s /dev/full \"$OUT\"", "", "", "OUT", "No space left on device", 1, left::link,
     false, false, nullptr, nullptr, "needs /dev/full"},
    // SIGXFSZ at its default disposition, as a shell leaves it.
    {"file size limit", "", "ulimit -f 100;", ">/dev/null", "OUT", "File too large", 1, left::nothing,
     false, false, nullptr, nullptr, "needs ulimit and SIGXFSZ"},
    {"stdout unwritable", "", "", ">/dev/full", "standard output", "No space left on device", 1,
     left::nothing, false, false, nullptr, nullptr, "needs /dev/full"},
    // SIGPIPE at its default disposition: a reader that has gone, as in "| head". The
    // shell opens the pipe and waits until the reader has closed it; then the program
    // starts.
    {"stdout a pipe with no reader", "mkfifo pipe", "{ (: <pipe) & }; exec 3>pipe; wait;", ">&3",
     "standard output", "Broken pipe", 1, left::nothing, false, false, nullptr, nullptr, "needs POSIX signals"},
    {"output hard link to input", "ln \"$IN\" \"$OUT\"", "", "", "OUT",
     "is the same file as the input IN", 1, left::link, false, false, nullptr, nullptr, nullptr},
    {"output symlink to input", "ln -s \"$IN\" \"$OUT\"", "", "", "OUT",
     "is the same file as the input IN", 1, left::link, false, false, nullptr, nullptr, nullptr},
    // Under wine the volume serial number of a file comes from the drive letter that its
    // path (links followed) falls under: one file reached under drive_c and outside it has
    // two. In a native run the folder is only another folder.
    {"output a symbolic link to a hard link of an input under drive_c",
     "d=\"${WINEPREFIX:-$PWD/prefix}/drive_c/art-tests/${PWD##*/}\" && mkdir -p \"$d\" && "
     "{ ln \"$IN\" \"$d/file\" || exit 77; } && ln -s \"$d/file\" \"$OUT\"",
     "", "", "OUT", "is the same file as the input IN", 1, left::link, false, false, nullptr,
     "rm -r \"${WINEPREFIX:-$PWD/prefix}/drive_c/art-tests/${PWD##*/}\"", nullptr},
    {"input a symbolic link under drive_c, output a hard link of it",
     "d=\"${WINEPREFIX:-$PWD/prefix}/drive_c/art-tests/${PWD##*/}\" && mkdir -p \"$d\" && mv \"$IN\" \"$d/file\" && "
     "ln -s \"$d/file\" \"$IN\" && { ln \"$d/file\" \"$OUT\" || exit 77; }",
     "", "", "OUT", "is the same file as the input IN", 1, left::link, false, false, nullptr,
     "rm -r \"${WINEPREFIX:-$PWD/prefix}/drive_c/art-tests/${PWD##*/}\"", nullptr},
    // Two files of one inode number on two file systems are two files (under wine, files
    // of file systems that hold no drive's folder have one volume serial number, 0).
    {"output on another tmpfs, of the same inode number as an input",
     "mkdir m1 m2 && { mount -t tmpfs tmpfs m1 2>/dev/null || exit 77; } && "
     "{ mount -t tmpfs tmpfs m2 2>/dev/null || { umount m1; exit 77; }; } && mv \"$IN\" m1/file && "
     "ln -s m1/file \"$IN\" && echo OLD > m2/file && ln -s m2/file \"$OUT\" && "
     "{ [ \"$(stat -c %i m1/file)\" = \"$(stat -c %i m2/file)\" ] || { umount m1 m2; exit 77; }; }",
     "", "", nullptr, "", 0, left::whole, false, false, nullptr, UMOUNT("m1 m2"), nullptr},
    {"input is a directory", "rm \"$IN\" && mkdir \"$IN\"", "", "", "IN", "Is a directory", 1,
     left::nothing, false, false, nullptr, nullptr, nullptr},
    {"input is a device", "rm \"$IN\" && ln -s /dev/zero \"$IN\"", "", "", "IN",
     "4294967296 bytes or more, past the index format's 32-bit offsets", 1, left::nothing, false, false,
     "build_art_idx", nullptr, "needs /dev/zero"},
    {"read fails part-way", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_FAIL_FILE=IN ART_FAIL_AFTER=100000",
     "", "IN", "Input/output error", 1, left::nothing, true, true, nullptr, nullptr, "needs LD_PRELOAD"},
    {"input shortened during the run", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=shrink",
     "", "IN", SHORTENED, 1, left::nothing, true, false, nullptr, nullptr, "needs LD_PRELOAD"},
    {"text grows during the run", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=grow",
     "", "IN", "input grew while it was read (changed during the run?)", 1, left::nothing, true, false,
     "build_art_idx", nullptr, "needs LD_PRELOAD"},
    // Interrupted once the output is written to: no diagnostic, the signal's own status.
    {"SIGINT during the run", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_SIGNAL_FILE=OUT ART_SIGNAL=2", "",
     nullptr, "", 128 + 2, left::nothing, true, false, nullptr, nullptr, "needs POSIX signals"},
    {"SIGTERM during the run", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_SIGNAL_FILE=OUT ART_SIGNAL=15", "",
     nullptr, "", 128 + 15, left::nothing, true, false, nullptr, nullptr, "needs POSIX signals"},
    {"SIGHUP during the run", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_SIGNAL_FILE=OUT ART_SIGNAL=1", "",
     nullptr, "", 128 + 1, left::nothing, true, false, nullptr, nullptr, "needs POSIX signals"},
    // Root may write to any folder, but not delete from an immutable one.
    {"output cannot be removed", "touch \"$OUT\" && chattr +i .", "ulimit -f 100;", ">/dev/null", "OUT",
     "File too large; OUT could not be removed (Operation not permitted) and was emptied instead", 1,
     left::empty, false, false, nullptr, "chattr -i .", "needs chattr and ulimit"},
    // Other names of the output keep their file, emptied.
    {"output with another hard link", "echo OLD > other && ln other \"$OUT\"", "ulimit -f 100;", ">/dev/null",
     "OUT", "File too large", 1, left::empty, false, false, nullptr, "test ! -s other", "needs ulimit"},
    {"output a symbolic link on a full disk",
     "mkdir small && { mount -t tmpfs -o size=64k tmpfs small 2>/dev/null || exit 77; } && echo OLD > small/file && "
     "ln -s small/file \"$OUT\"",
     "", "", "OUT", "No space left on device", 1, left::empty, false, false, nullptr, UMOUNT("small"), nullptr},
    // A signal ignored at start, as nohup or a background job of a script leaves it, stays ignored.
    {"SIGHUP ignored at start (nohup)", "", "trap '' 1; ASAN_OPTIONS=verify_asan_link_order=0 ART_SIGNAL_FILE=OUT ART_SIGNAL=1",
     "", nullptr, "", 0, left::whole, true, false, nullptr, nullptr, "needs POSIX signals"},
    {"SIGINT ignored at start (background job)", "",
     "trap '' 2; ASAN_OPTIONS=verify_asan_link_order=0 ART_SIGNAL_FILE=OUT ART_SIGNAL=2", "", nullptr, "", 0,
     left::whole, true, false, nullptr, nullptr, "needs POSIX signals"},
    // Standard output on a file of the run: refused before anything is written.
    {"standard output is the output", "", "", ">OUT", "standard output", "is the same file as the output OUT", 1,
     left::empty, false, false, nullptr, nullptr, WINE_STDOUT},
    {"standard output is an input", "", "", ">>IN", "standard output", "is the same file as the input IN", 1,
     left::nothing, false, false, nullptr, nullptr, WINE_STDOUT},
    {"input shortened while the output is written", "",
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=shrink ART_CHANGE_AFTER_WRITE_TO=OUT", "",
     "IN", SHORTENED, 1, left::nothing, true, false, nullptr, nullptr, "needs LD_PRELOAD"},
    {"text whose size reads 0 (a /proc file)", "rm \"$IN\" && ln -s /proc/self/maps \"$IN\"", "", "", nullptr, "", 0,
     left::whole, false, false, "build_art_idx", nullptr, "needs /proc"},
    {"allocations fail once the output is open", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_NOMEM_FILE=OUT", "",
     "OUT", "Cannot allocate memory", 1, left::nothing, true, SANITIZED_BUILD, "gather_arts", nullptr, "needs LD_PRELOAD"},
    {"allocations fail once the output is open", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_NOMEM_FILE=OUT", "",
     "OUT", "Cannot allocate memory", 1, left::nothing, true, SANITIZED_BUILD, "scatter_arts", nullptr, "needs LD_PRELOAD"},
    // Another process writes over an input at the same size: a reordering tool writing its
    // result in place, or the same bytes again; the copies never read outside the text.
    {"input rewritten during the run", OLD_INPUT,
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=rewrite ART_CHANGE_AFTER_WRITE_TO=OUT", "",
     "IN", CHANGED, 1, left::nothing, true, false, nullptr, nullptr, "needs LD_PRELOAD"},
    {"input scrambled during the run", OLD_INPUT,
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=scramble ART_CHANGE_AFTER_WRITE_TO=OUT", "",
     "IN", CHANGED, 1, left::nothing, true, false, nullptr, nullptr, "needs LD_PRELOAD"},
    // The open of a FIFO that nobody reads waits; an interruption ends it at once. (A
    // background job starts with SIGINT ignored; the shell kills it after 5 s.)
    {"output a FIFO that nobody reads, interrupted", "mkfifo \"$OUT\"", "",
     "& pid=$!; sleep 0.3; kill -TERM $pid; (sleep 5; kill -KILL $pid) 2>/dev/null & wait $pid", nullptr, "",
     128 + 15, left::link, false, false, nullptr, nullptr, "a FIFO is no Windows named pipe"},
    // A reader that holds the FIFO open (read and write: its open never waits, so it
    // never outlives a run that ends before it opens the FIFO) but does not read: the
    // writes wait, and an interruption still ends the run at once.
    {"output a FIFO that its reader does not read, interrupted", "mkfifo \"$OUT\"", "{ sleep 8 <>OUT & }; ",
     "& pid=$!; sleep 0.5; kill -TERM $pid; (sleep 5; kill -KILL $pid) 2>/dev/null & wait $pid", nullptr, "",
     128 + 15, left::link, false, false, nullptr, nullptr, "a FIFO is no Windows named pipe"},
    {"standard output is the output, a FIFO", "mkfifo \"$OUT\"", "{ cat OUT >/dev/null & }; ", ">OUT",
     "standard output", "is the same file as the output OUT", 1, left::link, false, false, nullptr, nullptr,
     "a FIFO is no Windows named pipe"},
    // Another file renamed into the output's place during the run is not the run's to
    // take back; the file written is emptied.
    {"another file put in the output's place, then SIGTERM", "echo OLD > precious",
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_SIGNAL_FILE=OUT ART_SIGNAL=15 ART_SIGNAL_RENAME='precious OUT'", "",
     nullptr, "", 128 + 15, left::whole, true, false, nullptr, "test \"$(cat \"$OUT\")\" = OLD", "needs POSIX signals"},
    // A copy renamed over an input leaves the file that the run reads as it was, but what
    // the run made of it would stand beside another file of that name.
    {"input replaced by a renamed copy during the run", OLD_INPUT,
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=replace ART_CHANGE_AFTER_WRITE_TO=OUT", "",
     "IN", CHANGED, 1, left::nothing, true, false, nullptr, nullptr, "needs LD_PRELOAD"},
    // An output that can be neither removed nor emptied is said to be left as written.
    {"output can be neither removed nor emptied", "touch \"$OUT\" && chattr +i .",
     "ulimit -f 100; ASAN_OPTIONS=verify_asan_link_order=0 ART_FAIL_TRUNCATE=1", ">/dev/null", "OUT",
     "File too large; OUT could be neither removed nor emptied: it is left as written", 1, left::whole, true, false,
     nullptr, "chattr -i .", "needs chattr, ulimit and LD_PRELOAD"},
    // With the standard streams closed, no file of the run takes their place: the
    // diagnostic of a shortened input never lands in the output.
    {"standard streams closed, input shortened while the output is written", "echo OLD > other && ln -f other \"$OUT\"",
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_CHANGE_FILE=IN ART_CHANGE=shrink ART_CHANGE_AFTER_WRITE_TO=OUT",
     "<&- >&- 2>&-",
     nullptr, "", 1, left::empty, true, false, nullptr, "test ! -s other", "needs LD_PRELOAD"},
    // An overlay shows a file under its own device with the inode number of its layer's
    // file: the output led to the layer's path of an input is that input.
    {"output the layer's path of an input seen through an overlay (lower layer)",
     "mkdir -p o/lower o/upper o/work o/m && mv \"$IN\" o/lower/ && " OVERLAY " && ln -s o/m/\"$IN\" \"$IN\" && "
     "ln -s o/lower/\"$IN\" \"$OUT\"",
     "", "", "OUT", "is the same file as the input IN", 1, left::link, false, false, nullptr, UMOUNT("o/m"), nullptr},
    {"output the layer's path of an input seen through an overlay (upper layer)",
     "mkdir -p o/lower o/upper o/work o/m && mv \"$IN\" o/upper/ && " OVERLAY " && ln -s o/m/\"$IN\" \"$IN\" && "
     "ln -s o/upper/\"$IN\" \"$OUT\"",
     "", "", "OUT", "is the same file as the input IN", 1, left::link, false, false, nullptr, UMOUNT("o/m"), nullptr},
    // A builder elsewhere writes the output through a link, waiting for its text, a FIFO
    // fed by nothing yet: once it has emptied the output it holds it, and this run is
    // refused. Fed nothing, it then ends with the index of an empty text.
    {"output held by a builder that waits for its text",
     "echo OLD >\"$OUT\" && mkdir h && mkfifo h/enwik_text2_vok && ln -s ../\"$OUT\" h/enwik_art_idx && "
     "{ sleep 60 >h/enwik_text2_vok 2>/dev/null & echo $! >feeder.pid; } && "
     "{ (cd h && sh -c \"exec $BUILD\"); echo $? >holder.st; mv holder.st holder.status; } >/dev/null 2>&1 & "
     "for t in $(seq 6000); do [ -f \"$OUT\" ] && [ ! -s \"$OUT\" ] && exit 0; sleep 0.01; done; exit 1",
     "", "", "OUT", "is being written by another run", 1, left::empty, false, false, nullptr,
     "kill $(cat feeder.pid) && while [ ! -e holder.status ]; do sleep 0.01; done && "
     "[ \"$(cat holder.status)\" = 0 ] && [ \"$(od -An -tx1 \"$OUT\" | tr -d ' \\n')\" = 0000000000000000 ]",
     nullptr},
    // Once copied up, a file of an overlay keeps its lower layer's inode number in the
    // overlay, and its copy in the upper layer has another: one size and the same times
    // remain, which the output is refused on, both ways round.
    {"output the upper layer's path of an input copied up in an overlay",
     "mkdir -p o/lower o/upper o/work o/m && mv \"$IN\" o/lower/ && " OVERLAY " && chmod 600 o/m/\"$IN\" && "
     "ln -s o/m/\"$IN\" \"$IN\" && ln -s o/upper/\"$IN\" \"$OUT\"",
     "", "", "OUT", "is the same file as the input IN", 1, left::link, false, false, nullptr, UMOUNT("o/m"), nullptr},
    {"input read through the upper layer's path and output its copied-up file in the overlay",
     "mkdir -p o/lower o/upper o/work o/m && mv \"$IN\" o/lower/ && " OVERLAY " && chmod 600 o/m/\"$IN\" && "
     "ln -s o/upper/\"$IN\" \"$IN\" && ln -s o/m/\"$IN\" \"$OUT\"",
     "", "", "OUT", "is the same file as the input IN", 1, left::link, false, false, nullptr, UMOUNT("o/m"), nullptr},
    // The lock's second descriptor cannot be had: the new output goes, and the failure is
    // said (gather has three files open by then, the builder two, past the standard ones
    // and whatever the test's own process left open).
    {"no descriptor left for the output's lock", "", "sh -c 'exec 3>&- 4>&- 5>&-; ulimit -n 6; exec \"$0\"'", "", "OUT", "Too many open files", 1,
     left::nothing, false, SANITIZED_BUILD, "gather_arts", nullptr, "needs ulimit"},
    {"no descriptor left for the output's lock", "", "sh -c 'exec 3>&- 4>&- 5>&-; ulimit -n 5; exec \"$0\"'", "", "OUT", "Too many open files", 1,
     left::nothing, false, SANITIZED_BUILD, "build_art_idx", nullptr, "needs ulimit"},
    // A gather stopped half-way through the gathered text: scatter does not read it.
    {"input being written by another run",
     "cp enwik_text2_vok_r enwik_text2_vok && { sh -c \"export ASAN_OPTIONS=verify_asan_link_order=0 "
     "LD_PRELOAD=$INJECT ART_THREADS=3 ART_SIGNAL_FILE=enwik_text2_vok_r ART_SIGNAL=19; exec $GATHER\" "
     ">/dev/null 2>&1 & echo $! >holder.pid; } && " HOLDER_STOPPED,
     "", "", "enwik_text2_vok_r", "is being written by another run", 1, left::nothing, false, false, "scatter_arts",
     "kill -CONT $(cat holder.pid) && while kill -0 $(cat holder.pid) 2>/dev/null; do sleep 0.01; done",
     "needs LD_PRELOAD and POSIX signals", true},
    // Another run of the program writes the same output and is stopped half-way: this one
    // is refused before it touches the output, and the other then ends with its whole
    // output, as a run of its own (ref) makes it. The wait for the stop spans ref's run
    // and the other run's way to its first write: seconds each under ThreadSanitizer.
    {"output being written by another run",
     "mkdir ref && cp enwik_* ref/ && (cd ref && sh -c \"$PROG\" >/dev/null) && "
     "{ sh -c \"export ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=$INJECT ART_SIGNAL_FILE=$OUT ART_SIGNAL=19; "
     "exec $PROG\" & echo $! >holder.pid; wait $!; echo $? >holder.st; mv holder.st holder.status; } >/dev/null 2>&1 & "
     HOLDER_STOPPED,
     "", "", "OUT", "is being written by another run", 1, left::whole, false, false, nullptr,
     "kill -CONT $(cat holder.pid) && while [ ! -e holder.status ]; do sleep 0.01; done && "
     "[ \"$(cat holder.status)\" = 0 ] && cmp \"$KEPT\" ref/\"$KEPT\"",
     "needs LD_PRELOAD and POSIX signals"},
    // The ordering's new index is to take the old one's place: one that is a link, a FIFO
    // or a device is refused before anything is written (a rename would put the link in
    // the index's place), and so is an input that another file took the place of.
    {"new index a link to a device", "ln -s /dev/null \"$OUT\"", "", "", "OUT", NOT_OWN, 1, left::link, false, false,
     "order_art_idx", "test -f \"$KEPT\" && test ! -L \"$KEPT\"", "needs /dev/null"},
    // The reader may not have reached the FIFO before the run refuses it, and would then
    // wait for a writer: it keeps none of the test's streams, and the cleanup ends it.
    {"new index a FIFO with a reader", "mkfifo \"$OUT\"", "{ cat OUT >/dev/null 2>&1 & echo $! >reader.pid; }; ", "",
     "OUT", NOT_OWN, 1, left::link, false, false, "order_art_idx",
     "kill $(cat reader.pid) 2>/dev/null; test -f \"$KEPT\" && test ! -p \"$KEPT\"", "a FIFO is no Windows named pipe"},
    {"new index a hard link of another file", "echo OLD > other && ln other \"$OUT\"", "", "", "OUT", NOT_OWN, 1,
     left::whole, false, false, "order_art_idx", "test \"$(cat other)\" = OLD", nullptr},
    // An output that is a symbolic link that leads nowhere yet is written through it; what
    // a failed run made there goes, the link stays.
    {"output a dangling symbolic link", "mkdir elsewhere && ln -s elsewhere/file \"$OUT\"", "", "", nullptr, "", 0,
     left::whole, false, false, nullptr, "test -s elsewhere/file", "needs symbolic links that wine does not follow"},
    {"output a dangling symbolic link, then a file size limit", "mkdir elsewhere && ln -s elsewhere/file \"$OUT\"",
     "ulimit -f 100;", ">/dev/null", "OUT", "File too large", 1, left::link, false, false, nullptr,
     "test ! -e elsewhere/file && test -L \"$OUT\"", "needs symbolic links that wine does not follow"},
    {"output a chain of symbolic links leading nowhere, then a file size limit",
     "mkdir elsewhere && ln -s elsewhere/a \"$OUT\" && ln -s b elsewhere/a", "ulimit -f 100;", ">/dev/null", "OUT",
     "File too large", 1, left::link, false, false, nullptr, "test ! -e elsewhere/b && test -L elsewhere/a",
     "needs symbolic links that wine does not follow"},
    // Where no lock can be had, an output is written as ever, but the ordering's would
    // take another file's place with nothing to keep another run from it.
    {"no lock can be had", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_LOCKS=none", "", nullptr, "", 0, left::whole,
     true, false, nullptr, nullptr, "needs LD_PRELOAD"},
    {"no lock can be had", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_LOCKS=none", "", "OUT", NO_LOCKS, 1,
     left::nothing, true, false, "order_art_idx", nullptr, "needs LD_PRELOAD"},
    // With only the locks of processes (a kernel before the locks of open files), a second
    // ordering is refused while the first is on its way to its rename, and the first then
    // ends as a run of its own does: its new index is held open, and so locked, until then.
    {"another ordering on its way to its rename, with only the locks of processes",
     REF_RUN " && " ORDERING_STOPPED_BEFORE_RENAME("ART_LOCKS=process"),
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_LOCKS=process", "", "enwik_art_idx", "is being written by another run", 1,
     left::whole, true, false, "order_art_idx", HOLDER_ENDS_WELL " && " SAME_AS_REF, "needs LD_PRELOAD and POSIX signals"},
    // An ordering holds the old index until it has put the new one in its place: a builder
    // while it reads the index is refused, and so are a builder and a gather from its last
    // checks to the rename, when it holds the index alone; none loses anything to it.
    {"a builder while another ordering reads the index",
     REF_RUN " && " ORDERING_STOPPED_AT_ITS_WRITE " && "
     "{ sh -c \"exec $BUILD\" >/dev/null 2>build.err; echo $? >build.status; }",
     "", "", "OUT", "is being written by another run", 1, left::whole, false, false, "order_art_idx",
     HOLDER_ENDS_WELL " && [ \"$(cat build.status)\" = 1 ] && "
     "[ \"$(cat build.err)\" = 'build_art_idx: enwik_art_idx: is being read by another run' ] && " SAME_AS_REF,
     "needs LD_PRELOAD and POSIX signals"},
    {"a builder and a gather while another ordering is on its way to its rename",
     REF_RUN " && " ORDERING_STOPPED_BEFORE_RENAME("") " && "
     "{ sh -c \"exec $BUILD\" >/dev/null 2>build.err; echo $? >build.status; } && "
     "{ sh -c \"exec $GATHER\" >/dev/null 2>gather.err; echo $? >gather.status; }",
     "", "", "enwik_art_idx", "is being written by another run", 1, left::whole, false, false, "order_art_idx",
     HOLDER_ENDS_WELL " && [ \"$(cat build.status)\" = 1 ] && [ \"$(cat gather.status)\" = 1 ] && "
     "[ \"$(cat build.err)\" = 'build_art_idx: enwik_art_idx: is being written by another run' ] && "
     "[ \"$(cat gather.err)\" = 'gather_arts: enwik_art_idx: is being written by another run' ] && "
     "test ! -e enwik_text2_vok_r && " SAME_AS_REF,
     "needs LD_PRELOAD and POSIX signals"},
    // A gather that has loaded the index and waits for the reader of its output holds the
    // index: the ordering does not take it from under it, and the gather then ends well.
    {"the index read by a gather that waits for its reader",
     "rm -f enwik_text2_vok_r && mkfifo enwik_text2_vok_r && "
     "{ sh -c \"exec $GATHER >holder.out 2>&1\"; echo $? >holder.st; mv holder.st holder.status; } >/dev/null 2>&1 & "
     "for t in $(seq 6000); do [ \"$(grep -o Done holder.out | wc -l)\" = 2 ] && exit 0; sleep 0.01; done; exit 1",
     "", "", "enwik_art_idx", "is being read by another run", 1, left::nothing, false, false, "order_art_idx",
     "cat enwik_text2_vok_r >/dev/null && while [ ! -e holder.status ]; do sleep 0.01; done && "
     "[ \"$(cat holder.status)\" = 0 ]", "a FIFO is no Windows named pipe"},
    // An index of another's renamed over the old one in the moment before the rename is
    // not replaced: the names are swapped in one step, and swapped back when the file
    // swapped out is not the index that was ordered.
    {"another index renamed over the index just before the rename",
     "cp \"$KEPT\" theirs && echo THEIRS >>theirs && cp theirs theirs.copy",
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_RENAME_BEFORE_RENAME='theirs enwik_art_idx'", "", "enwik_art_idx",
     CHANGED, 1, left::nothing, true, false, "order_art_idx", "cmp \"$KEPT\" theirs.copy && test ! -e theirs",
     "needs LD_PRELOAD", true},
    // A link of any kind as the new index creates nothing through it, a dangling one too.
    {"new index a dangling symbolic link", "mkdir elsewhere && ln -s elsewhere/file \"$OUT\"", "", "", "OUT", NOT_OWN,
     1, left::link, false, false, "order_art_idx", "test ! -e elsewhere/file && test -f \"$KEPT\" && test ! -L \"$KEPT\"",
     "needs symbolic links that wine does not follow"},
    // An index that may not be written is not replaced; one that may keeps its owner and
    // its permissions.
    {"index read-only", "chmod 444 \"$KEPT\"", "", "", "enwik_art_idx", "is read-only", 1, left::nothing, false, false,
     "order_art_idx", "[ \"$(stat -c %a \"$KEPT\")\" = 444 ]", "needs POSIX permissions"},
    {"index of another owner, with permissions of its own", "chown 1234:1234 \"$KEPT\" && chmod 640 \"$KEPT\"", "",
     "", nullptr, "", 0, left::whole, false, false, "order_art_idx",
     "[ \"$(stat -c %u:%g:%a \"$KEPT\")\" = 1234:1234:640 ]", "needs POSIX owners"},
    // A new index that an earlier run left behind (killed) goes with the next run, even
    // one that refuses its index.
    {"new index left by a killed run, then an index refused", "echo STALE >\"$OUT\" && : >\"$KEPT\"", "", "",
     "enwik_art_idx", "bytes 0-560002 of enwik_text2_vok are in no record: they would come back as zeros "
     "(560003 bytes in 1 range in all)", 1, left::nothing, false, false, "order_art_idx", nullptr, nullptr},
    // The new index reaches the storage before its rename, and the rename after it.
    {"the new index synced before its rename, the folder after it", "",
     "ASAN_OPTIONS=verify_asan_link_order=0 ART_TRACE=trace", "", nullptr, "", 0, left::whole, true, false,
     "order_art_idx",
     "[ \"$(sed -n 1p trace)\" = 'fsync enwik_art_idx.new' ] && "
     "[ \"$(sed -n 2p trace)\" = 'rename enwik_art_idx.new enwik_art_idx' ] && "
     "[ \"$(sed -n 3p trace)\" = \"fsync ${PWD##*/}\" ] && [ \"$(wc -l <trace)\" = 3 ]", "needs LD_PRELOAD"},
    // Standard output that fails once the new index is in place: the failure says so.
    {"stdout unwritable", REF_RUN, "", ">/dev/full", "standard output",
     "No space left on device; enwik_art_idx is the new index all the same", 1, left::nothing, false, false,
     "order_art_idx", SAME_AS_REF, "needs /dev/full", true},
    {"stdout a pipe with no reader", "mkfifo pipe && " REF_RUN, "{ (: <pipe) & }; exec 3>pipe; wait;", ">&3",
     "standard output", "Broken pipe; enwik_art_idx is the new index all the same", 1, left::nothing, false, false,
     "order_art_idx", SAME_AS_REF, "needs POSIX signals", true},
    // A file of /sys says 4096 bytes and holds a few: not an input shortened during the run.
    {"input holds fewer bytes than its size says (a /sys file)",
     "test -r /sys/devices/system/cpu/online || exit 77; rm \"$IN\" && ln -s /sys/devices/system/cpu/online \"$IN\"",
     "", "", "IN", "holds fewer bytes than its size says (not an ordinary file?)", 1, left::nothing, false, false,
     nullptr, nullptr, "needs /sys"},
};

const int THIS_BUILD =
#ifdef ART_PORTABLE_IO_BUILD
    PORTABLE_BUILD |
#endif
#ifdef ART_SANITIZE_BUILD
    SANITIZED_BUILD |
#endif
    0;

// s with every OUT and IN replaced by the file names.
std::string substitute(std::string s, const std::string& out, const std::string& in) {
    for (const auto& [token, name] : {std::pair<std::string, std::string>{"OUT", out}, {"IN", in}}) {
        for (size_t at = s.find(token); at != std::string::npos; at = s.find(token, at + name.size()))
            s.replace(at, token.size(), name);
    }
    return s;
}

// Each fault is made with the copies on one thread and on three, each with a part of
// the output.
TEST(Fault, EndsWithStatusOneAndLeavesNoHalfWrittenOutput) {
  for (const std::string threads : {"1", "3"}) {
    for (const fault& f : FAULTS) {
        if (f.skip_in & THIS_BUILD) continue;
        if (target_windows() && f.not_on_windows != nullptr) {
            std::cout << "[ SKIPPED  ] " << f.name << ": " << f.not_on_windows << "\n";
            continue;
        }
        for (const program_files& p : PROGRAMS) {
            if (f.only != nullptr && std::string(f.only) != p.program) continue;
            if (f.only == nullptr && p.output != p.kept_as &&
                std::find_if(std::begin(NOT_FOR_THE_ORDERING), std::end(NOT_FOR_THE_ORDERING),
                             [&](const char* name) { return std::string(name) == f.name; }) !=
                    std::end(NOT_FOR_THE_ORDERING))
                continue;
            for (const std::string& in : p.inputs) {
                const scratch s(std::string(f.name) + "." + p.program + "." + in + "." + threads);
                write_inputs(s, p);
                const std::string vars = "OUT=" + p.output + " KEPT=" + p.kept_as + " IN=" + in + " PROG=\"" + command_of(p.program) +
                                         "\" BUILD=\"" + command_of("build_art_idx") + "\" GATHER=\"" +
                                         command_of("gather_arts") + "\" INJECT=" + ART_FAULT_INJECT_LIB + "; ";
                const std::string setup = vars + f.setup;
                const int made = s.shell(setup);
                if (WIFEXITED(made) && WEXITSTATUS(made) == 77) {
                    std::cout << "[ SKIPPED  ] " << f.name << ": the machine cannot make it\n";
                    break;
                }
                if (made != 0) {
                    ADD_FAILURE() << setup;
                    if (f.cleanup != nullptr) s.shell(vars + f.cleanup);
                    continue;
                }
                const bool input_changed = f.input_written || std::string(f.setup).find("rm \"$IN\"") != std::string::npos ||
                                           std::string(f.prefix).find("ART_CHANGE") != std::string::npos;
                std::vector<std::string> before;
                if (!input_changed)
                    for (const auto& name : p.inputs) before.push_back(s.read(name));

                const std::string prefix = "export ART_THREADS=" + threads + "; " + substitute(f.prefix, p.output, in);
                const program_run r = s.run(p.program, substitute(f.suffix, p.output, in),
                    f.preload ? std::string("export LD_PRELOAD=") + ART_FAULT_INJECT_LIB + "; " + prefix : prefix);
                const std::string label = std::string(f.name) + ", " + p.program + ", " + in + ", threads " + threads;
                EXPECT_EQ(r.status, f.status) << label;
                if (f.file != nullptr) {
                    EXPECT_EQ(r.err, lines(std::string(p.program) + ": " + substitute(f.file, p.output, in) +
                                           ": " + substitute(f.reason, p.output, in) + "\n"))
                        << label;
                } else {
                    // Only the shell's word on the signal, if any.
                    EXPECT_EQ(r.err.find(p.program), std::string::npos) << label << ": " << r.err;
                }
                for (size_t i = 0; i < before.size(); ++i) {
                    if (r.status == 0 && p.inputs[i] == p.kept_as) continue;  // replaced, as it should be
                    EXPECT_EQ(s.read(p.inputs[i]), before[i]) << label << ": " << p.inputs[i];
                }
                if (f.output_left == left::nothing) {
                    EXPECT_FALSE(s.exists(p.output)) << label;
                } else if (f.output_left == left::empty) {
                    EXPECT_TRUE(s.exists(p.output)) << label;
                    EXPECT_EQ(s.read(p.output), "") << label;
                } else if (f.output_left == left::whole) {
                    EXPECT_NE(s.read(r.status == 0 ? p.kept_as : p.output), "") << label;
                }
                if (f.cleanup != nullptr) {
                    EXPECT_EQ(s.shell(vars + f.cleanup), 0) << label << ": " << f.cleanup;
                }
                // Faults that do not depend on which input is picked run once.
                if (std::string(f.setup).find("IN") == std::string::npos &&
                    std::string(f.prefix).find("IN") == std::string::npos)
                    break;
            }
        }
    }
  }
}

}  // namespace

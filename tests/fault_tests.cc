// Faults around the real programs: a full disk, a file size limit, unwritable standard
// output, outputs linked to inputs, unreadable inputs. Each must end with status 1 and
// one diagnostic, leave the inputs as they were, and leave no half-written output.
#include "art_index.h"
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

struct program_files {
    const char* program;
    std::string output;
    std::vector<std::string> inputs;
};
const program_files PROGRAMS[] = {
    {"build_art_idx", INDEX, {TEXT}},
    {"gather_arts", GATHERED, {TEXT, INDEX}},
    {"scatter_arts", SCATTERED, {GATHERED, INDEX}},
};

// 1 MB of 40-byte articles: outputs large enough to pass a 50 KB size limit.
void write_inputs(const scratch& s, const std::vector<std::string>& inputs) {
    std::string text;
    std::vector<art_record> index;
    while (text.size() < 1000000) {
        const uint32_t start = static_cast<uint32_t>(text.size());
        text += std::string(39, 'a' + char(start % 26)) + '\x01';
        index.push_back({start, start + 39});
    }
    text += "end";
    index.push_back({static_cast<uint32_t>(text.size() - 3), static_cast<uint32_t>(text.size())});
    for (const std::string& name : inputs) s.write(name, name == INDEX ? encode_index(index) : text);
}

enum class left { nothing, link };

struct fault {
    const char* name;
    const char* setup;   // sh command run in the scratch folder; OUT and IN name the files
    const char* prefix;  // before the program's command line
    const char* suffix;  // after it
    const char* file;    // the diagnostic's FILE: OUT, IN, or a fixed name
    const char* reason;
    left output_left;
    bool inject_read_failure;  // preload the library that fails reads of IN part-way
    const char* not_on_windows;  // why the fault cannot be made for a Windows build, if so
};

const fault FAULTS[] = {
    {"full disk", "ln -s /dev/full \"$OUT\"", "", "", "OUT", "No space left on device", left::link, false, "needs /dev/full"},
    {"file size limit", "", "trap '' XFSZ; ulimit -f 100;", ">/dev/null", "OUT", "File too large",
     left::nothing, false, "needs ulimit and SIGXFSZ"},
    {"stdout unwritable", "", "", ">/dev/full", "standard output", "No space left on device",
     left::nothing, false, "needs /dev/full"},
    {"output hard link to input", "ln \"$IN\" \"$OUT\"", "", "", "OUT",
     "is the same file as the input IN", left::link, false, nullptr},
    {"output symlink to input", "ln -s \"$IN\" \"$OUT\"", "", "", "OUT",
     "is the same file as the input IN", left::link, false, nullptr},
    {"input is a directory", "rm \"$IN\" && mkdir \"$IN\"", "", "", "IN", "Is a directory",
     left::nothing, false, "the Windows runtime cannot open a directory: a silent failure there"},
    {"read fails part-way", "", "ASAN_OPTIONS=verify_asan_link_order=0 ART_FAIL_AFTER=100000", "",
     "IN", "Input/output error", left::nothing, true, "needs LD_PRELOAD"},
};

// Where the read failure is injected: fread's own reads cannot be intercepted.
const bool CAN_INJECT_READ_FAILURE =
#ifdef ART_PORTABLE_IO_BUILD
    false;
#else
    true;
#endif

std::string substitute(std::string s, const std::string& out, const std::string& in) {
    if (s == "OUT") return out;
    if (s == "IN") return in;
    const size_t at = s.find(" IN");
    if (at != std::string::npos && at + 3 == s.size()) s.replace(at + 1, 2, in);
    return s;
}

TEST(Fault, EndsWithStatusOneAndLeavesNoHalfWrittenOutput) {
    for (const fault& f : FAULTS) {
        if (f.inject_read_failure && !CAN_INJECT_READ_FAILURE) continue;
        if (target_windows() && f.not_on_windows != nullptr) {
            std::cout << "[ SKIPPED  ] " << f.name << ": " << f.not_on_windows << "\n";
            continue;
        }
        for (const program_files& p : PROGRAMS) {
            for (const std::string& in : p.inputs) {
                const scratch s(std::string(f.name) + "." + p.program + "." + in);
                write_inputs(s, p.inputs);
                const std::string setup = "OUT=" + p.output + " IN=" + in + "; " + f.setup;
                ASSERT_EQ(s.shell(setup), 0) << setup;
                std::vector<std::string> before;
                for (const auto& name : p.inputs) before.push_back(s.read(name));

                const std::string prefix =
                    f.inject_read_failure
                        ? std::string("LD_PRELOAD=") + ART_FAULT_INJECT_LIB + " ART_FAIL_FILE=" + in + " " + f.prefix
                        : f.prefix;
                const program_run r = s.run(p.program, f.suffix, prefix);
                const std::string label = std::string(f.name) + ", " + p.program + ", " + in;
                EXPECT_EQ(r.status, 1) << label;
                EXPECT_EQ(r.err, lines(std::string(p.program) + ": " + substitute(f.file, p.output, in) +
                                           ": " + substitute(f.reason, p.output, in) + "\n"))
                    << label;
                if (std::string(f.setup).find("mkdir") == std::string::npos) {
                    for (size_t i = 0; i < p.inputs.size(); ++i)
                        EXPECT_EQ(s.read(p.inputs[i]), before[i]) << label << ": " << p.inputs[i];
                }
                if (f.output_left == left::nothing) {
                    EXPECT_FALSE(s.exists(p.output)) << label;
                }
                // Faults that do not depend on which input is picked run once.
                if (std::string(f.setup).find("IN") == std::string::npos && !f.inject_read_failure) break;
            }
        }
    }
}

}  // namespace

// Running the suite's real programs, each test case in a fresh scratch folder.
// ART_PROGRAM_DIR, ART_PROGRAM_SUFFIX and ART_LAUNCHER in the environment select other
// builds of the programs (a Windows build under wine); ART_TARGET_WINDOWS=1 says that
// their standard output ends lines with "\r\n".
#ifndef ART_TESTS_E2E_SUPPORT_H
#define ART_TESTS_E2E_SUPPORT_H

#include <string>
#include <vector>

struct art_record;

// The suite's fixed file names, as the programs must use them.
const std::string TEXT = "enwik_text2_vok", INDEX = "enwik_art_idx";
const std::string GATHERED = "enwik_text2_vok_r", SCATTERED = "enwik_text2_vok_u";

struct program_run {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A fresh, empty folder named after the running test and label.
struct scratch {
    explicit scratch(const std::string& label = "");
    std::string path(const std::string& name) const;
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Runs command in sh in this folder; returns its raw status, 0 on success.
    int shell(const std::string& command) const;
    // Runs program in this folder as "PREFIX PROGRAM SUFFIX" in sh; SUFFIX may add
    // arguments or redirections, PREFIX environment settings.
    program_run run(const std::string& program, const std::string& suffix = "",
                    const std::string& prefix = "") const;
    std::string dir;
};

// The command line that runs program: its launcher, if any, and its path, quoted.
std::string command_of(const std::string& program);

// True when the programs under test are a Windows build.
bool target_windows();
// expected standard output: "\n" becomes "\r\n" for a Windows build.
std::string lines(const std::string& text);

std::string encode_index(const std::vector<art_record>& records);
std::vector<art_record> decode_index(const std::string& index);

#endif

#include "e2e_support.h"

#include "art_index.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace {

// The programs start with every signal at its default disposition, as a shell starts
// them, whatever this test process inherited.
const bool signals_reset = [] {
    for (const int sig : {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGBUS}) std::signal(sig, SIG_DFL);
    return true;
}();

std::string env_or(const char* name, const std::string& fallback) {
    const char* const value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

std::string shell_quoted(const std::string& s) {
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

}  // namespace

scratch::scratch(const std::string& label) {
    const auto* const info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    if (!label.empty()) name += "." + label;
    for (char& c : name)
        if (c == '/' || c == ' ' || c == '\'') c = '_';
    dir = env_or("ART_SCRATCH_ROOT", ART_SCRATCH_ROOT) + "/" + name;
    const std::string cmd = "rm -rf " + shell_quoted(dir) + " && mkdir -p " + shell_quoted(dir);
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

std::string scratch::path(const std::string& name) const { return dir + "/" + name; }

void scratch::write(const std::string& name, const std::string& content) const {
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out << content;
    EXPECT_TRUE(out.good()) << path(name);
}

std::string scratch::read(const std::string& name) const { return slurp(path(name)); }

// The start of every command run in the folder: nothing runs anywhere else, whatever
// the command's own ";" and "&&".
static std::string in_folder(const std::string& dir) { return "cd " + shell_quoted(dir) + " || exit 125; "; }

int scratch::shell(const std::string& command) const { return std::system((in_folder(dir) + command).c_str()); }

bool scratch::exists(const std::string& name) const {
    return std::ifstream(path(name)).good();
}

std::string command_of(const std::string& program) {
    const std::string exe = env_or("ART_PROGRAM_DIR", ART_PROGRAM_DIR) + "/" + program +
                            env_or("ART_PROGRAM_SUFFIX", "");
    return env_or("ART_LAUNCHER", "") + " " + shell_quoted(exe);
}

program_run scratch::run(const std::string& program, const std::string& suffix,
                         const std::string& prefix) const {
    const std::string out = dir + ".stdout", err = dir + ".stderr";
    const std::string cmd = in_folder(dir) + prefix + " " + command_of(program) + " >" + shell_quoted(out) +
                            " 2>" + shell_quoted(err) + " " + suffix;
    const int raw = std::system(cmd.c_str());
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return {status, slurp(out), slurp(err)};
}

bool target_windows() { return env_or("ART_TARGET_WINDOWS", "") == "1"; }

std::string lines(const std::string& text) {
    if (!target_windows()) return text;
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

std::string encode_index(const std::vector<art_record>& records) {
    std::string out(records.size() * ART_RECORD_SIZE, '\0');
    for (size_t i = 0; i < records.size(); ++i)
        encode_record(records[i], reinterpret_cast<unsigned char*>(&out[i * ART_RECORD_SIZE]));
    return out;
}

std::vector<art_record> decode_index(const std::string& index) {
    std::vector<art_record> records;
    for (size_t at = 0; at + ART_RECORD_SIZE <= index.size(); at += ART_RECORD_SIZE)
        records.push_back(decode_record(reinterpret_cast<const unsigned char*>(&index[at])));
    return records;
}

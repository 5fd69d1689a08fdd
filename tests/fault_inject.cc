// Preloaded into a program under test to make the faults that another process, the
// system or the user would make during a run. Each is selected by environment variables
// that name a file of the run (the last part of its path):
//   ART_FAIL_FILE, ART_FAIL_AFTER  the file cannot be mapped, and reads from it fail with
//                                  EIO once ART_FAIL_AFTER bytes have been delivered;
//   ART_CHANGE_FILE, ART_CHANGE    just before the program first maps, reads or copies
//                                  the file, it is cut to half its size (shrink), grows
//                                  by 4096 bytes (grow), has every byte overwritten in
//                                  place with 0xEE (scramble: an index whose records all
//                                  lie far outside the text), its own bytes written
//                                  over it again (rewrite: same size, same bytes) or a
//                                  copy of it renamed over it (replace: a new file in
//                                  its place, the old one unchanged); with
//                                  ART_CHANGE_AFTER_WRITE_TO, only once the program has
//                                  written to that file;
//   ART_NOMEM_FILE                 once the program has opened the file, every allocation
//                                  of 4096 bytes or more fails;
//   ART_SIGNAL_FILE, ART_SIGNAL    once the program has written to the file (as many
//                                  times as ART_SIGNAL_AFTER says, 1 if unset), signal
//                                  number ART_SIGNAL is raised, as a user's Ctrl-C or a
//                                  scheduler's kill would arrive mid-run;
//                                  With ART_SIGNAL_RENAME="FROM TO", the file FROM is
//                                  first renamed to TO, as another process may put a
//                                  file in the output's place;
//   ART_SLOW_TAKE_BACK_MS          each truncation or removal of a file takes that many
//                                  milliseconds longer, as on a loaded machine: the other
//                                  threads of a run that is being taken back go on;
//   ART_FAIL_TRUNCATE              every truncation fails with EPERM (an append-only file);
//   ART_LOCKS                      "process": the locks of open files fail with EINVAL, as
//                                  on kernels before them, and only the process's own work;
//                                  "none": every lock fails with ENOLCK, as on a file system
//                                  that takes none;
//   ART_SIGNAL_BEFORE_RENAME       signal number ART_SIGNAL_BEFORE_RENAME is raised just
//                                  before the program renames a file (or swaps two names);
//   ART_RENAME_BEFORE_RENAME       "FROM TO": just before that, the file FROM is renamed
//                                  to TO, as another process may in that moment;
//   ART_TRACE                      a line is appended to that file for each sync ("fsync
//                                  NAME", the last part of the synced file's path) and each
//                                  rename ("rename FROM TO"), in the order they are made.
#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <new>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace {

// Reads from several threads at once (a text scanned in parts) count here.
std::atomic<uint64_t> delivered{0};
std::atomic<bool> changed{false};
std::atomic<unsigned> writes_to_signal_file{0};
bool allocations_fail = false;

// Whether fd is open on the file that the variable `which` names.
bool is_file(const int fd, const char* which) {
    const char* const name = std::getenv(which);
    if (name == nullptr || fd < 0) return false;
    char link[4096];
    const std::string fd_path = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(fd_path.c_str(), link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = '\0';
    const size_t len = std::strlen(name);
    return static_cast<size_t>(n) > len && link[n - static_cast<ssize_t>(len) - 1] == '/' &&
           std::strcmp(link + n - len, name) == 0;
}

// How much of a read of want bytes may go through; 0 means it must fail.
size_t allowed(const int fd, const size_t want) {
    if (!is_file(fd, "ART_FAIL_FILE")) return want;
    const uint64_t limit = std::strtoull(std::getenv("ART_FAIL_AFTER"), nullptr, 10);
    const uint64_t so_far = delivered.load();
    return so_far >= limit ? 0 : static_cast<size_t>(std::min<uint64_t>(want, limit - so_far));
}

void count_delivered(const int fd, const ssize_t r) {
    if (r > 0 && is_file(fd, "ART_FAIL_FILE")) delivered.fetch_add(static_cast<uint64_t>(r));
}

// Makes the change that ART_CHANGE says to the file at path.
void change(const char* path) {
    const char* const how = std::getenv("ART_CHANGE");
    struct stat st;
    if (stat(path, &st) != 0) std::abort();
    const bool scramble = std::strcmp(how, "scramble") == 0;
    if (std::strcmp(how, "replace") == 0) {
        const std::string copy = std::string(path) + ".copy";
        const std::string command = "cp '" + std::string(path) + "' '" + copy + "'";
        if (std::system(command.c_str()) != 0 || rename(copy.c_str(), path) != 0) std::abort();
    } else if (scramble || std::strcmp(how, "rewrite") == 0) {
        const int fd = open(path, O_RDWR);
        std::string bytes(static_cast<size_t>(st.st_size), '\xEE');
        if (fd < 0 || (!scramble && pread(fd, &bytes[0], bytes.size(), 0) != st.st_size) ||
            pwrite(fd, bytes.data(), bytes.size(), 0) != st.st_size)
            std::abort();
        close(fd);
    } else if (truncate(path, std::strcmp(how, "grow") == 0 ? st.st_size + 4096 : st.st_size / 2) != 0) {
        std::abort();
    }
}

void change_before_use(const int fd) {
    if (std::getenv("ART_CHANGE_AFTER_WRITE_TO") != nullptr || !is_file(fd, "ART_CHANGE_FILE") || changed.exchange(true))
        return;
    // The program opened it read-only: change it by name, the name that its descriptor
    // leads to here (a program that change() runs has a /proc/self of its own).
    char path[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    if (n <= 0) std::abort();
    path[n] = '\0';
    change(path);
}

void after_write(const int fd, const ssize_t w) {
    if (w <= 0) return;
    if (is_file(fd, "ART_SIGNAL_FILE")) {
        const char* const after = std::getenv("ART_SIGNAL_AFTER");
        if (writes_to_signal_file.fetch_add(1) + 1 == (after != nullptr ? std::strtoul(after, nullptr, 10) : 1)) {
            if (const char* const names = std::getenv("ART_SIGNAL_RENAME")) {
                const std::string both = names;
                const size_t space = both.find(' ');
                if (rename(both.substr(0, space).c_str(), both.substr(space + 1).c_str()) != 0) std::abort();
            }
            raise(std::atoi(std::getenv("ART_SIGNAL")));
        }
    }
    if (is_file(fd, "ART_CHANGE_AFTER_WRITE_TO") && !changed.exchange(true)) change(std::getenv("ART_CHANGE_FILE"));
}

// After a truncation or removal, the wait that ART_SLOW_TAKE_BACK_MS asks for.
void slow_take_back() {
    if (const char* const ms = std::getenv("ART_SLOW_TAKE_BACK_MS")) {
        const long wait = std::strtol(ms, nullptr, 10);
        const timespec t{wait / 1000, wait % 1000 * 1000000};
        nanosleep(&t, nullptr);
    }
}

void note_open(const int fd) {
    if (is_file(fd, "ART_NOMEM_FILE")) allocations_fail = true;
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Appends line to the file that ART_TRACE names.
void trace(const std::string& line) {
    const char* const path = std::getenv("ART_TRACE");
    if (path == nullptr) return;
    if (FILE* const f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

// The last part of the path of the file open on fd.
std::string base_name(const int fd) {
    char link[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    const std::string path(link, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(path.rfind('/') + 1);
}

// The failure that ART_LOCKS makes of the lock command cmd, or 0.
int lock_failure(const int cmd) {
    const char* const locks = std::getenv("ART_LOCKS");
    if (locks == nullptr) return 0;
    const bool open_file_lock = cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW || cmd == F_OFD_GETLK;
    if (open_file_lock) return EINVAL;
    const bool process_lock = cmd == F_SETLK || cmd == F_SETLKW || cmd == F_GETLK;
    return process_lock && std::strcmp(locks, "none") == 0 ? ENOLCK : 0;
}

int fcntl_as_asked(const char* name, const int fd, const int cmd, va_list args) {
    using call = int (*)(int, int, ...);
    static const call next_fcntl = real<call>("fcntl");
    static const call next_fcntl64 = real<call>("fcntl64");
    const call next = std::strcmp(name, "fcntl64") == 0 && next_fcntl64 != nullptr ? next_fcntl64 : next_fcntl;
    if (const int err = lock_failure(cmd)) {
        errno = err;
        return -1;
    }
    // Every command that takes an argument takes an int or a pointer.
    void* const arg = va_arg(args, void*);
    return next(fd, cmd, arg);
}

}  // namespace

extern "C" int fcntl(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    const int r = fcntl_as_asked("fcntl", fd, cmd, args);
    va_end(args);
    return r;
}

extern "C" int fcntl64(int fd, int cmd, ...) {
    va_list args;
    va_start(args, cmd);
    const int r = fcntl_as_asked("fcntl64", fd, cmd, args);
    va_end(args);
    return r;
}

extern "C" int fsync(int fd) {
    static const auto next = real<int (*)(int)>("fsync");
    trace("fsync " + base_name(fd));
    return next(fd);
}

namespace {

// What ART_SIGNAL_BEFORE_RENAME, ART_RENAME_BEFORE_RENAME and ART_TRACE make of the
// program's rename of from to to, before it is made.
void before_rename(const char* from, const char* to) {
    static const auto real_rename = real<int (*)(const char*, const char*)>("rename");
    if (const char* const signal = std::getenv("ART_SIGNAL_BEFORE_RENAME")) raise(std::atoi(signal));
    if (const char* const names = std::getenv("ART_RENAME_BEFORE_RENAME")) {
        const std::string both = names;
        const size_t space = both.find(' ');
        if (real_rename(both.substr(0, space).c_str(), both.substr(space + 1).c_str()) != 0) std::abort();
    }
    trace(std::string("rename ") + from + " " + to);
}

}  // namespace

extern "C" int rename(const char* from, const char* to) {
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    before_rename(from, to);
    return next(from, to);
}

// A swap of two names is traced as the rename that it stands for; the swap back, and the
// one made to undo it, are not.
extern "C" int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
    static const auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    static std::atomic<bool> swapped{false};
    if (!swapped.exchange(true)) before_rename(from, to);
    return next(from_dir, from, to_dir, to, flags);
}

extern "C" ssize_t read(int fd, void* buf, size_t count) {
    static const auto next = real<ssize_t (*)(int, void*, size_t)>("read");
    change_before_use(fd);
    const size_t n = allowed(fd, count);
    if (n == 0 && count > 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t r = next(fd, buf, n);
    count_delivered(fd, r);
    return r;
}

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    change_before_use(fd);
    const size_t n = allowed(fd, count);
    if (n == 0 && count > 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t r = next(fd, buf, n, offset);
    count_delivered(fd, r);
    return r;
}

extern "C" size_t fread(void* buf, size_t size, size_t count, FILE* stream) {
    static const auto next = real<size_t (*)(void*, size_t, size_t, FILE*)>("fread");
    change_before_use(fileno(stream));
    return next(buf, size, count, stream);
}

extern "C" void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto next = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap64");
    if (fd >= 0 && is_file(fd, "ART_FAIL_FILE")) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void* const p = next(addr, length, prot, flags, fd, offset);
    if (p != MAP_FAILED && fd >= 0) change_before_use(fd);
    return p;
}

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t w = next(fd, buf, count);
    after_write(fd, w);
    return w;
}

extern "C" ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    const ssize_t w = next(fd, buf, count, offset);
    after_write(fd, w);
    return w;
}

extern "C" size_t fwrite(const void* buf, size_t size, size_t count, FILE* stream) {
    static const auto next = real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
    const size_t w = next(buf, size, count, stream);
    after_write(fileno(stream), static_cast<ssize_t>(w));
    return w;
}

// A truncation or removal of the take-back, as ART_FAIL_TRUNCATE and
// ART_SLOW_TAKE_BACK_MS make it.
template <typename Call>
int take_back_step(const bool truncation, Call&& call) {
    if (truncation && std::getenv("ART_FAIL_TRUNCATE") != nullptr) {
        errno = EPERM;
        return -1;
    }
    const int r = call();
    const int err = errno;
    slow_take_back();
    errno = err;
    return r;
}

extern "C" int ftruncate64(int fd, off_t length) {
    static const auto next = real<int (*)(int, off_t)>("ftruncate64");
    return take_back_step(true, [&] { return next(fd, length); });
}

extern "C" int truncate64(const char* path, off_t length) {
    static const auto next = real<int (*)(const char*, off_t)>("truncate64");
    return take_back_step(true, [&] { return next(path, length); });
}

extern "C" int unlink(const char* path) {
    static const auto next = real<int (*)(const char*)>("unlink");
    return take_back_step(false, [&] { return next(path); });
}

extern "C" int open64(const char* path, int flags, ...) {
    static const auto next = real<int (*)(const char*, int, ...)>("open64");
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    const int fd = next(path, flags, mode);
    note_open(fd);
    return fd;
}

extern "C" FILE* fopen64(const char* path, const char* mode) {
    static const auto next = real<FILE* (*)(const char*, const char*)>("fopen64");
    FILE* const f = next(path, mode);
    if (f != nullptr) note_open(fileno(f));
    return f;
}

// The sanitizers bring their own allocator, which these cannot stand in for.
#ifndef ART_SANITIZE_BUILD
void* operator new(const size_t size) {
    if (allocations_fail && size >= 4096) throw std::bad_alloc();
    if (void* const p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* operator new[](const size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
#endif

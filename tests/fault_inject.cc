// Preloaded into a program under test: the file named by ART_FAIL_FILE cannot be mapped,
// and reads from it fail with EIO once ART_FAIL_AFTER bytes of it have been delivered;
// with ART_SHRINK_FILE, that file is cut to half its size when a kernel copy from it
// begins, as another process might do during a run.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

uint64_t delivered = 0;

bool is_target(const int fd) {
    const char* const name = std::getenv("ART_FAIL_FILE");
    if (name == nullptr) return false;
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
    if (!is_target(fd)) return want;
    const uint64_t limit = std::strtoull(std::getenv("ART_FAIL_AFTER"), nullptr, 10);
    return delivered >= limit ? 0 : static_cast<size_t>(std::min<uint64_t>(want, limit - delivered));
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t count) {
    static const auto next = real<ssize_t (*)(int, void*, size_t)>("read");
    const size_t n = allowed(fd, count);
    if (n == 0 && count > 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t r = next(fd, buf, n);
    if (r > 0 && is_target(fd)) delivered += static_cast<uint64_t>(r);
    return r;
}

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    const size_t n = allowed(fd, count);
    if (n == 0 && count > 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t r = next(fd, buf, n, offset);
    if (r > 0 && is_target(fd)) delivered += static_cast<uint64_t>(r);
    return r;
}

extern "C" ssize_t copy_file_range(int fd_in, off64_t* off_in, int fd_out, off64_t* off_out,
                                   size_t len, unsigned flags) {
    static const auto next =
        real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
    const char* const shrink = std::getenv("ART_SHRINK_FILE");
    struct stat st;
    if (shrink != nullptr && fstat(fd_in, &st) == 0 && truncate(shrink, st.st_size / 2) != 0)
        return -1;
    return next(fd_in, off_in, fd_out, off_out, len, flags);
}

extern "C" void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto next = real<void* (*)(void*, size_t, int, int, int, off_t)>("mmap64");
    if (fd >= 0 && is_target(fd)) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return next(addr, length, prot, flags, fd, offset);
}

// File identity and clean-up on POSIX systems.
#include "sys_io.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

bool same_file(const char* a, const char* b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

static int empty_file(const char* name, const intptr_t handle) {
    const int r = handle >= 0 ? ftruncate(static_cast<int>(handle), 0) : truncate(name, 0);
    return r == 0 ? 0 : errno;
}

int remove_partial_output(const char* name, const intptr_t handle) {
    struct stat link, target;
    if (lstat(name, &link) != 0) return 0;
    if (S_ISREG(link.st_mode)) {
        if (unlink(name) == 0) return 0;
        const int err = errno;
        empty_file(name, handle);
        return err;
    }
    if (S_ISLNK(link.st_mode) && stat(name, &target) == 0 && S_ISREG(target.st_mode))
        return empty_file(name, handle);
    return 0;
}

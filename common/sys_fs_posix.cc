// File identity and clean-up on POSIX systems.
#include "sys_io.h"

#include <sys/stat.h>
#include <unistd.h>

bool same_file(const char* a, const char* b) {
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void remove_partial_output(const char* name) {
    struct stat link, target;
    if (lstat(name, &link) != 0) return;
    if (S_ISREG(link.st_mode)) {
        unlink(name);
    } else if (S_ISLNK(link.st_mode) && stat(name, &target) == 0 && S_ISREG(target.st_mode)) {
        if (truncate(name, 0) != 0) return;
    }
}

// What the POSIX forms of the platform layer (io_posix.cc, io_stdio.cc) share beyond
// sys_io.h: how an output is opened, and how an input's change is seen.
#ifndef ART_POSIX_FILES_H
#define ART_POSIX_FILES_H

#include <cstdint>
#include <ctime>

// out_create's and out_open_waiting's open, as a descriptor.
int posix_create(const char* name, bool replace, int* fd);
int posix_open_waiting(const char* name, int* fd);

// When an input was last written to and last changed, as its descriptor says.
struct posix_stamp {
    timespec modified;
    timespec changed;
};
posix_stamp posix_stamp_of(int fd);

// in_check_unchanged for the input open on fd, stamped when it was opened.
int posix_check_unchanged(int fd, uint64_t size, const posix_stamp& opened);

#endif

// What the POSIX forms of the platform layer (io_posix.cc, io_stdio.cc) and their shared
// part (sys_posix.cc) give each other beyond sys_io.h: outputs opened as descriptors,
// and how an input's change is seen.
#ifndef ART_POSIX_FILES_H
#define ART_POSIX_FILES_H

#include <cstdint>
#include <ctime>

namespace art {

struct out_file;

// The form's output on the descriptor fd that out_open or out_open_waiting opened;
// closes fd on failure.
int out_from_fd(int fd, out_file** f);

// out_lock on the descriptor fd (exclusive) or in_lock_shared (not); *hold, if given,
// is then a descriptor of the same open file, which keeps the lock once fd is closed.
int posix_lock(int fd, bool exclusive, int* hold);
// in_being_read on the descriptor fd; *alone is then the descriptor that holds the
// write lock taken, where one could be.
int posix_being_read(int fd, int* alone);
// out_truncate on the descriptor fd; a file that is already empty is left alone.
int posix_empty(int fd);

// When an input was last written to and last changed, as its descriptor says.
struct posix_stamp {
    timespec modified;
    timespec changed;
};
posix_stamp posix_stamp_of(int fd);

// in_check_unchanged for the input open on fd, stamped when it was opened.
int posix_check_unchanged(int fd, uint64_t size, const posix_stamp& opened);

}  // namespace art

#endif

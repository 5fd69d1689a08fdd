// The outcome of a step that can fail: a code, and the file that the failure concerns.
#ifndef ART_STATUS_H
#define ART_STATUS_H

#include <cerrno>

// The library's own codes, beside errno values (all negative).
enum : int {
    ART_E_TOO_LARGE = -1,    // a text or file of ART_TEXT_LIMIT bytes or more
    ART_E_SHORT_READ = -2,   // a file ended before the size it had when opened
    ART_E_NOT_REGULAR = -3,  // an input whose size cannot be known (a pipe or device)
    ART_E_GREW = -4,         // a file grew past the size it had when opened
    ART_E_NOT_OPENED = -5,   // no longer returned: a failed open keeps its errno (art_status::not_opened)
    ART_E_CHANGED = -6,      // a file written to by another process during the run
    ART_E_FEWER_BYTES = -7,  // an unchanged file that holds fewer bytes than its size says
    ART_E_NOT_EMPTIED = -8,  // an output that could be neither removed nor emptied
    ART_E_LOCKED = -9,       // a file that another run is writing
    ART_E_REPLACED = -10,    // an output whose name another file took during the run
    ART_E_NOT_OWN = -11,     // an output that is to take another file's place but is no file of its own
    ART_E_BEING_READ = -12,  // a file that another run is reading
    ART_E_READ_ONLY = -13,   // a file that is to be replaced but may not be written
    ART_E_NO_LOCKS = -14,    // a file that cannot be locked, where the run needs the lock
    ART_E_NOT_SWAPPED_BACK = -15,  // a file changed in the moment of its replacement, left under the new one's name
};

struct art_status {
    int code;          // 0 on success, an errno value, or one of the codes above
    const char* file;  // the file that a failure concerns
    bool not_opened = false;  // the failure is the file's open (code is its errno)
    bool ok() const { return code == 0; }
};

constexpr art_status ART_OK{0, nullptr};

// The status of a step on file that ended with code.
inline art_status status_of(const char* file, const int code) { return {code, code == 0 ? nullptr : file}; }

// The status of a failed open of file, with the open's errno.
inline art_status open_failed(const char* file, const int err) { return {err, file, true}; }

// A one-line description of code, for diagnostics; a constant text for the library's
// own codes, so that a signal handler may ask for one.
const char* art_strerror(int code);

#endif

#include "art_status.h"

#include <cstring>

const char* art_strerror(const int code) {
    switch (code) {
    case ART_E_TOO_LARGE:
        return "4294967296 bytes or more, past the index format's 32-bit offsets";
    case ART_E_SHORT_READ:
        return "input ended before its full size was read (shortened during the run?)";
    case ART_E_GREW:
        return "input grew while it was read (changed during the run?)";
    case ART_E_CHANGED:
        return "input changed during the run";
    case ART_E_FEWER_BYTES:
        return "holds fewer bytes than its size says (not an ordinary file?)";
    case ART_E_NOT_EMPTIED:
        return "could be neither removed nor emptied";
    case ART_E_LOCKED:
        return "is being written by another run";
    case ART_E_BEING_READ:
        return "is being read by another run";
    case ART_E_READ_ONLY:
        return "is read-only";
    case ART_E_NO_LOCKS:
        return "cannot be locked on its file system, so no other run can be kept from it: it does not take another file's place";
    case ART_E_NOT_SWAPPED_BACK:
        return "input changed during the run, in the moment it was replaced, and could not be given its name back: "
               "it stands under the new file's name";
    case ART_E_NOT_OWN:
        return "is a link, a pipe or a device, or has other names: it cannot take another file's place";
    case ART_E_REPLACED:
        return "another file took its name during the run; what was written is not kept under it";
    case ART_E_NOT_REGULAR:
        return "not a regular file; its size cannot be known";
    case ART_E_NOT_OPENED:
        return "cannot be opened";
    default:
        return std::strerror(code);
    }
}

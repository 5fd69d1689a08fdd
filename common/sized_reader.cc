#include "sized_reader.h"

#include "art_index.h"
#include "file_loader.h"
#include "platform/sys_io.h"

namespace art {

art_status sized_reader::read(unsigned char* buf, const size_t cap, size_t* got) {
    *got = 0;
    if (const int err = in_read(f_, buf, cap, got)) return status_of(name_, err);
    if (*got == 0) return status_of(name_, sized_ && done_ < size_ ? input_ended_early(f_, size_) : 0);
    if (sized_ && done_ + *got > size_) return status_of(name_, ART_E_GREW);
    done_ += *got;
    return status_of(name_, done_ >= ART_TEXT_LIMIT ? ART_E_TOO_LARGE : 0);
}

}  // namespace art

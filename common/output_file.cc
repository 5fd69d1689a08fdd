#include "output_file.h"

#include "platform/sys_io.h"
#include "run_guard.h"

#include <cerrno>
#include <cstdint>

namespace {

const unsigned char ZEROS[64 << 10] = {};

}  // namespace

output_file::~output_file() { take_back(); }

art_status output_file::create(const char* name) {
    guard_hold();
    int err = out_create(name, false, &file_);
    created_ = err == 0;
    if (err == EEXIST) err = out_create(name, true, &file_);
    if (err == 0) {
        name_ = name;
        registered_ = true;
        in_order_ = handle_type(out_handle(file_)) != 0;
        guard_output(name, out_handle(file_), created_);
    }
    guard_release();
    return status_of(name, err == 0 ? 0 : open_failure(err));
}

int output_file::place(const uint64_t offset, const uint64_t size) {
    // File positions are signed 64-bit: a write that would end past them is refused.
    if (offset > static_cast<uint64_t>(INT64_MAX) - size) return EFBIG;
    if (!in_order_) return 0;
    if (offset < next_) return ESPIPE;
    while (next_ < offset) {
        const size_t part = offset - next_ < sizeof ZEROS ? static_cast<size_t>(offset - next_) : sizeof ZEROS;
        if (const int err = out_write(file_, next_, ZEROS, part)) return err;
        next_ += part;
    }
    next_ = offset + size;
    return 0;
}

art_status output_file::write(const uint64_t offset, const unsigned char* data, const size_t size) {
    int err = place(offset, size);
    if (err == 0) err = out_write(file_, offset, data, size);
    return status_of(name_, err);
}

art_status output_file::close() {
    guard_hold();
    const int err = out_close(file_);
    file_ = nullptr;
    guard_output(name_, -1, created_);
    guard_release();
    return status_of(name_, err);
}

void output_file::commit() {
    guard_output_closed();
    registered_ = false;
}

int output_file::take_back() {
    if (!registered_) return 0;
    guard_hold();
    const int err = remove_partial_output(name_, file_ != nullptr ? out_handle(file_) : -1, created_);
    if (file_ != nullptr) out_close(file_);
    file_ = nullptr;
    guard_output_closed();
    registered_ = false;
    guard_release();
    return err;
}

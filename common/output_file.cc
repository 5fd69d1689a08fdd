#include "output_file.h"

#include "platform/run_handlers.h"
#include "platform/sys_io.h"
#include "run_guard.h"

#include <cerrno>
#include <cstdint>

namespace art {

namespace {

const unsigned char ZEROS[64 << 10] = {};

}  // namespace

output_file::~output_file() { take_back(); }

void output_file::enroll() {
    registered_ = true;
    guard_output(name_, out_handle(file_), created_, !in_order_);
}

art_status output_file::open(const char* name) {
    name_ = name;
    if (!guard_enter()) return status_of(name, ECANCELED);
    int err = 0;
    bool opened = false;
    // A run that held the file may remove it between its open and its lock here: the lock
    // counts only on the file that the name still leads to.
    for (int attempt = 0; attempt < 3; ++attempt) {
        err = out_open(name, &file_, &created_);
        opened = err == 0;
        if (err != 0) break;
        in_order_ = handle_type(out_handle(file_)) != 0;
        if (in_order_ && target_ != nullptr) err = ART_E_NOT_OWN;
        if (in_order_) break;
        err = out_lock(file_);
        if (err == 0 && target_ != nullptr && !file_of_its_own(name, out_handle(file_))) err = ART_E_NOT_OWN;
        if (err == 0 && name_leads_to(name, out_handle(file_))) break;
        if (err == 0) err = ART_E_LOCKED;
        // A file created here that no other run has locked goes, whatever kept it from
        // being locked here.
        if (created_ && err != ART_E_LOCKED) remove_partial_output(name, out_handle(file_), true);
        let_go();
        if (err != ART_E_LOCKED) break;
    }
    // Only a file that nobody else could have had is taken back before it is begun.
    if (err == 0 && created_) enroll();
    guard_leave();
    if (err == ENXIO && target_ != nullptr) {
        // A FIFO, which cannot take another file's place.
        opened = true;
        err = ART_E_NOT_OWN;
    }
    if (err == ENXIO) {
        // Opening it creates nothing, so there is nothing to take back while it waits.
        err = out_open_waiting(name, &file_);
        if (err == 0 && !guard_enter()) {
            let_go();
            err = ECANCELED;
        } else if (err == 0) {
            in_order_ = true;
            enroll();
            guard_leave();
        }
    }
    return opened || err == ECANCELED ? status_of(name, err) : open_failed(name, err);
}

bool output_file::is(const in_file* f) const { return same_open_file(out_handle(file_), in_handle(f)); }

art_status output_file::begin() {
    if (!guard_enter()) return status_of(name_, ECANCELED);
    const int err = in_order_ || created_ ? 0 : out_truncate(file_);
    if (err == 0 && !registered_) enroll();
    guard_leave();
    return status_of(name_, err);
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
    if (!guard_enter(!in_order_)) return status_of(name_, ECANCELED);
    int err = place(offset, size);
    if (err == 0) err = out_write(file_, offset, data, size);
    guard_leave(!in_order_);
    return status_of(name_, err);
}

art_status output_file::close() {
    if (!guard_enter(!in_order_)) return status_of(name_, ECANCELED);
    const int err = out_close(file_);
    guard_output(name_, out_handle(file_), created_, !in_order_);
    guard_leave(!in_order_);
    return status_of(name_, err);
}

void output_file::let_go() {
    if (file_ != nullptr) out_release(file_);
    file_ = nullptr;
}

art_status output_file::commit() {
    // Another file put in the output's place during the run is not what the run wrote: a
    // success then would leave the other file as the output.
    if (!in_order_ && !name_leads_to(name_, out_handle(file_))) return status_of(name_, ART_E_REPLACED);
    if (target_ != nullptr) {
        // In one pass: no take-back can claim the output between its move and its being
        // kept, nor remove it under its new name. Once it has taken the other file's
        // place the run has succeeded, and interruptions are kept from it until it ends.
        hold_interrupts();
        if (!guard_enter(false)) guard_wait_for_end();
        const int err = replace_file(name_, target_);
        const bool kept = err == 0 && guard_output_kept();
        guard_leave(false);
        if (err != 0) {
            release_interrupts();
            return status_of(target_, err);
        }
        if (!kept) guard_wait_for_end();
    } else if (!guard_output_kept()) {
        guard_wait_for_end();
    }
    registered_ = false;
    let_go();
    return ART_OK;
}

int output_file::take_back() {
    if (!registered_) {
        let_go();
        return 0;
    }
    registered_ = false;
    hold_interrupts();
    const int err = guard_take_back();
    let_go();
    release_interrupts();
    return err;
}

}  // namespace art

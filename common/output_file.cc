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

namespace {

// Another run holds the file.
bool held_elsewhere(const int err) { return err == ART_E_LOCKED || err == ART_E_BEING_READ; }

}  // namespace

art_status output_file::open(const char* name) {
    name_ = name;
    // A file that may not be written is not replaced either, whatever the folder allows.
    if (target_ != nullptr && file_read_only(target_)) return status_of(target_, ART_E_READ_ONLY);
    if (!guard_enter()) return status_of(name, ECANCELED);
    int err = 0;
    bool opened = false;
    const bool own = target_ != nullptr;
    // A run that held the file may remove it between its open and its lock here: the lock
    // counts only on the file that the name still leads to.
    for (int attempt = 0; attempt < 3; ++attempt) {
        err = out_open(name, &file_, &created_, own);
        opened = err == 0 || err == ART_E_NOT_OWN;
        if (err != 0) break;
        in_order_ = handle_type(out_handle(file_)) != 0;
        if (in_order_ && own) err = ART_E_NOT_OWN;
        if (in_order_) break;
        err = out_lock(file_);
        // Where the file system takes no locks, an output is written all the same, but
        // none takes another file's place: nothing could keep two runs from one name.
        if (err == ART_E_NO_LOCKS && !own) err = 0;
        if (err == 0 && own && !file_of_its_own(name, out_handle(file_))) err = ART_E_NOT_OWN;
        const bool leads = err == 0 && name_leads_to(name, out_handle(file_));
        // A file that is to take another's place is one of the run's own making: one that
        // an earlier run left behind (no run holds it) is removed, and made anew.
        // Where it cannot be removed, it is the run's all the same: it holds its lock.
        const bool stale = leads && own && !created_;
        if (leads && (!stale || remove_partial_output(name, out_handle(file_), true) != 0)) break;
        if (err == 0) err = ART_E_LOCKED;
        // A file created here that no other run has locked goes, whatever kept it from
        // being locked here.
        if (created_ && !held_elsewhere(err)) remove_partial_output(name, out_handle(file_), true);
        let_go();
        if (!stale && !held_elsewhere(err)) break;
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
    // The new file keeps what the old one's owner set.
    if (target_ != nullptr) take_attributes(out_handle(file_), target_);
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
    // A file that is to take another's place is made durable before it does, and kept
    // open until then: where the only locks are the process's, a close lets go of them.
    const int err = target_ != nullptr ? out_sync(file_) : out_close(file_);
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
        // In one pass, with interruptions held: no take-back can claim the output between
        // its move and its being kept, nor remove it under its new name.
        hold_interrupts();
        if (!guard_enter(false)) guard_wait_for_end();
        const int err = replace_file(name_, target_, REPLACE_NEEDS_TARGET_CLOSED ? -1 : target_file_);
        const bool kept = err == 0 && guard_output_kept();
        guard_leave(false);
        release_interrupts();
        if (err != 0) return status_of(target_, err);
        // From here an interruption leaves the new file in place, and ends the process.
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

// An output's whole life, the same on every platform: opened and locked, then emptied and
// registered with the run guard in one pass through it, so that an interruption always
// takes it back; written and copied to, each write a pass through the guard, so that none
// lands after a take-back; closed; then committed once the run has succeeded (put in
// another file's place, where one is set), or taken back. One that is neither when it is
// destroyed is taken back. A process has one output.
#ifndef ART_OUTPUT_FILE_H
#define ART_OUTPUT_FILE_H

#include "chunk_sink.h"

#include <cstdint>

struct in_file;

namespace art {

struct out_file;

class output_file final : public chunk_sink {
public:
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    // Opens name for writing, as fopen "wb" does, in two steps, so that nothing is lost
    // before the run has decided that the file may be written: open creates it as new
    // where the name is free, else opens the file that is there and leaves it as it was;
    // begin empties it. A regular file is locked from open until it is committed or taken
    // back: ART_E_LOCKED when another run holds it, the file left alone. A file that
    // cannot be opened is its open's errno, marked as not opened (art_status.h). name
    // must stay valid until process exit. An output that cannot be positioned (a pipe, a
    // device) is written in order: a gap goes out as zeros, and a write before the end of
    // the last one is ESPIPE. A FIFO that nobody reads yet is waited for outside the
    // guard, so that an interruption ends the wait at once.
    art_status open(const char* name);
    // Whether the open output counts as one file with the input open on f (sys_io.h).
    bool is(const in_file* f) const;
    art_status begin();
    const char* name() const override { return name_; }
    // The file that the output is to take the place of, or null.
    const char* target() const { return target_; }
    bool in_order() const override { return in_order_; }

    art_status write(uint64_t offset, const unsigned char* data, size_t size) override;
    // Flushes and closes; the output stays registered until commit or take_back. One that
    // is to take another file's place is synced to storage instead, and stays open (its
    // lock held) until it has.
    art_status close();

    // Puts the output, on commit, in the place of the file named target (which must stay
    // valid), in one step (replace_file): a reader sees the old file or the new one whole.
    // Set before open, which then refuses a target that is read-only (ART_E_READ_ONLY),
    // a name that is a link of any kind, a FIFO, a device or a file with other names
    // (ART_E_NOT_OWN), before any file is created through it, and a file system that
    // takes no locks (ART_E_NO_LOCKS); removes a file of its own that an earlier run left
    // there and no run holds, and creates the output anew; begin gives it the target's
    // permissions and owner.
    // target_file is the handle of the target as the run read it, which it must still be
    // when the output takes its place (replace_file), or -1.
    void replace_at(const char* target, intptr_t target_file = -1) {
        target_ = target;
        target_file_ = target_file;
    }
    // The run succeeded: the output stays (put in its target's place, if one is set), and
    // is let go; an interruption after that ends the process and leaves it. A failure to
    // put it there leaves it registered, to be taken back. Never returns when an
    // interruption is taking the output back: the process ends by it.
    art_status commit();
    // The run failed: removes what it wrote (remove_partial_output), closes and lets it
    // go. Returns 0, or why the output could not be removed, after which it was at least
    // emptied. An output that was opened but never begun is only let go.
    int take_back();

private:
    // Checks where a write of size bytes at offset may go, and for an output written in
    // order, writes the gap before it.
    int place(uint64_t offset, uint64_t size);
    // Registers the open output with the run guard; in a pass.
    void enroll();
    // Closes what is still open and lets the file go.
    void let_go();

    out_file* file_ = nullptr;  // held from open until committed or taken back
    const char* name_ = nullptr;
    const char* target_ = nullptr;  // the file that the output replaces on commit, if any
    intptr_t target_file_ = -1;     // the handle that target_ must still lead to then
    bool created_ = false;      // new, not an existing file replaced
    bool registered_ = false;   // with the run guard, until commit or take_back
    bool in_order_ = false;     // cannot be positioned
    uint64_t next_ = 0;         // where the next write of an in-order output goes
};

}  // namespace art

#endif

// An output's whole life, the same on every platform: created and registered with the
// run guard in one pass through it, so that an interruption always takes it back;
// written and copied to, each write a pass through the guard, so that none lands after a
// take-back; closed; then committed once the run has succeeded, or taken back. One that
// is neither when it is destroyed is taken back. A process has one output.
#ifndef ART_OUTPUT_FILE_H
#define ART_OUTPUT_FILE_H

#include "chunk_sink.h"

struct out_file;

class output_file final : public chunk_sink {
public:
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    // Creates name, or replaces the file that it names, as fopen "wb" does; a new file is
    // created as new, never truncated. ART_E_NOT_OPENED when it cannot be. name must
    // stay valid until process exit. An output that cannot be positioned (a pipe, a
    // device) is written in order: a gap goes out as zeros, and a write before the end
    // of the last one is ESPIPE. A FIFO that nobody reads yet is waited for outside the
    // guard, so that an interruption ends the wait at once.
    art_status create(const char* name);
    const char* name() const override { return name_; }
    bool in_order() const override { return in_order_; }

    art_status write(uint64_t offset, const unsigned char* data, size_t size) override;
    // Flushes and closes; the output stays registered until commit or take_back.
    art_status close();

    // The run succeeded: the output stays. Never returns when an interruption is taking
    // the output back: the process ends by it.
    void commit();
    // The run failed: removes what it wrote (remove_partial_output) and closes. Returns
    // 0, or why the output could not be removed, after which it was at least emptied.
    int take_back();

private:
    // Checks where a write of size bytes at offset may go, and for an output written in
    // order, writes the gap before it.
    int place(uint64_t offset, uint64_t size);
    // Registers the open output with the run guard; in a pass.
    void enroll();

    out_file* file_ = nullptr;  // null once closed
    const char* name_ = nullptr;
    bool created_ = false;      // new, not an existing file replaced
    bool registered_ = false;   // with the run guard, until commit or take_back
    bool in_order_ = false;     // cannot be positioned
    uint64_t next_ = 0;         // where the next write of an in-order output goes
};

#endif

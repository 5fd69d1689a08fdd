// An output's whole life, the same on every platform: created with the interrupting
// signals held and registered with the run guard at once, so that an interruption always
// takes it back; written and copied to; closed; then committed once the run has
// succeeded, or taken back. One that is neither when it is destroyed is taken back.
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
    // stay valid until process exit.
    art_status create(const char* name);
    const char* name() const { return name_; }

    art_status write(uint64_t offset, const unsigned char* data, size_t size) override;
    // A failure names input when input ended before the bytes, else the output.
    art_status copy(uint64_t offset, const loaded_file& input, uint64_t from, uint64_t size) override;
    // Flushes and closes; the output stays registered until commit or take_back.
    art_status close();

    // The run succeeded: the output stays.
    void commit();
    // The run failed: removes what it wrote (remove_partial_output) and closes. Returns
    // 0, or why the output could not be removed, after which it was at least emptied.
    int take_back();

private:
    out_file* file_ = nullptr;  // null once closed
    const char* name_ = nullptr;
    bool registered_ = false;   // with the run guard, until commit or take_back
};

#endif

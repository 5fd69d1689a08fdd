// Reading an input to its end, a piece at a time, held to the size it said.
#ifndef ART_SIZED_READER_H
#define ART_SIZED_READER_H

#include "art_status.h"

#include <cstddef>
#include <cstdint>

struct in_file;

namespace art {

// Reads an open input in order. Where it said a size (input_size), it must hold that
// many bytes, no more (ART_E_GREW) and no fewer (input_ended_early: shortened during
// the run, or a file that never held them); any input ends before ART_TEXT_LIMIT bytes
// (ART_E_TOO_LARGE). Each failure names the input.
class sized_reader {
public:
    sized_reader(in_file* f, const char* name, const uint64_t size, const bool sized)
        : f_(f), name_(name), size_(size), sized_(sized) {}

    // Reads up to cap bytes into buf; *got is 0 only at the end of the input.
    art_status read(unsigned char* buf, size_t cap, size_t* got);

    // The bytes read so far.
    uint64_t done() const { return done_; }

private:
    in_file* const f_;
    const char* const name_;
    const uint64_t size_;
    const bool sized_;
    uint64_t done_ = 0;
};

}  // namespace art

#endif

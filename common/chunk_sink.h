// Where gather and scatter send chunks: an output file (output_file.h), or memory in tests.
#ifndef ART_CHUNK_SINK_H
#define ART_CHUNK_SINK_H

#include "art_status.h"

#include <cstddef>
#include <cstdint>

namespace art {

struct chunk_sink {
    // Writes size bytes from data at offset; a gap left past the end reads as zeros.
    // Called from several threads at once for parts of the output that do not overlap,
    // unless in_order.
    virtual art_status write(uint64_t offset, const unsigned char* data, size_t size) = 0;
    // The name that a failure of the sink itself (a failed allocation) is reported on.
    virtual const char* name() const = 0;
    // Whether writes must come in ascending order of offsets, from one thread.
    virtual bool in_order() const { return false; }

protected:
    ~chunk_sink() = default;
};

}  // namespace art

#endif

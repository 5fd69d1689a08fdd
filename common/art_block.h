// The block that outputs are written in.
#ifndef ART_BLOCK_H
#define ART_BLOCK_H

#include <cstddef>

namespace art {

// Outputs go out in whole blocks of this many bytes, at offsets aligned to it, so that
// the page cache keeps them in folios of this size, which a later mapping of the file
// maps whole; inputs are mapped at addresses aligned to it for the same reason.
constexpr size_t ART_BLOCK_SIZE = size_t{2} << 20;

}  // namespace art

#endif

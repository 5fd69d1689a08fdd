// How many threads the programs' work runs on.
#ifndef ART_THREADS_H
#define ART_THREADS_H

#include <cstddef>
#include <cstdint>

namespace art {

// The least work, in bytes, that a thread is started for by default: many times what its
// start and its fresh buffers cost.
constexpr uint64_t PART_MIN = uint64_t{32} << 20;

struct thread_limits {
    unsigned threads;   // the most threads that work at once
    uint64_t part_min;  // the least work that a thread is started for
};

// As many threads as the process may use (usable_cores()), each for PART_MIN of work or
// more; or as many as ART_THREADS in the environment says (1 to 64), each for any
// amount of work, which tests use to run small inputs on several threads.
thread_limits machine_threads();

// How many parts work is worth: one for each part_min of it, at least 1, at most threads.
size_t parts_for(uint64_t work, unsigned threads, uint64_t part_min);

}  // namespace art

#endif

#include "threads.h"

#include "platform/sys_io.h"

#include <algorithm>
#include <cstdlib>

namespace art {

thread_limits machine_threads() {
    thread_limits limits{usable_cores(), PART_MIN};
    if (const char* const threads = std::getenv("ART_THREADS")) {
        const unsigned long count = std::strtoul(threads, nullptr, 10);
        if (count >= 1 && count <= 64) limits = {static_cast<unsigned>(count), 1};
    }
    return limits;
}

size_t parts_for(const uint64_t work, const unsigned threads, const uint64_t part_min) {
    const uint64_t worth = work / std::max<uint64_t>(part_min, 1);
    return static_cast<size_t>(std::max<uint64_t>(1, std::min<uint64_t>(threads, worth)));
}

}  // namespace art

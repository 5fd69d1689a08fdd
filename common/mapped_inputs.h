// The inputs that a process reads through mappings, by address: a read through one that
// faults (its file was shortened by another process) is reported as that input, not as
// a crash. Registered and removed by the loader; looked up from a fault handler.
#ifndef ART_MAPPED_INPUTS_H
#define ART_MAPPED_INPUTS_H

#include <cstdint>

namespace art {

// The mapping of size bytes at base holds the input name (copied). Inputs past the first
// few are not registered: a fault in one is then reported as a fault.
void mapped_input_add(const char* name, const void* base, uint64_t size);
// The mapping at base is gone.
void mapped_input_remove(const void* base);
// The name of the mapped input that address lies in, or null. Async-signal-safe.
const char* mapped_input_at(const void* address);

}  // namespace art

#endif

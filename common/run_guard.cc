#include "run_guard.h"

#include <cstring>

namespace {

struct mapped_input {
    char name[256];
    const unsigned char* base;
    uint64_t size;
};
mapped_input inputs[8];
volatile int input_count = 0;

}  // namespace

void guard_input(const char* name, const void* base, const uint64_t size) {
    if (input_count == sizeof inputs / sizeof inputs[0]) return;
    mapped_input& in = inputs[input_count];
    std::strncpy(in.name, name, sizeof in.name - 1);
    in.base = static_cast<const unsigned char*>(base);
    in.size = size;
    input_count = input_count + 1;
}

const char* guarded_input_at(const void* address) {
    const auto* const at = static_cast<const unsigned char*>(address);
    for (int i = 0; i < input_count; ++i) {
        const mapped_input& in = inputs[i];
        if (at >= in.base && static_cast<uint64_t>(at - in.base) < in.size) return in.name;
    }
    return nullptr;
}

#include "run_guard.h"

#include "art_status.h"
#include "report.h"

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

size_t shortened_input_line(const void* address, const char* line_end, char* line, const size_t cap) {
    const auto* const at = static_cast<const unsigned char*>(address);
    for (int i = 0; i < input_count; ++i) {
        const mapped_input& in = inputs[i];
        if (at < in.base || static_cast<uint64_t>(at - in.base) >= in.size) continue;
        const char* const parts[] = {program_name, ": ", in.name, ": ", art_strerror(ART_E_SHORT_READ), line_end};
        size_t used = 0;
        for (const char* part : parts)
            for (; *part != '\0' && used < cap; ++part) line[used++] = *part;
        return used;
    }
    return 0;
}

#include "mapped_inputs.h"

#include <atomic>
#include <cstring>

namespace art {

namespace {

// A slot is claimed by one thread at a time; a handler reads a slot only once its base
// is set, after its name and size, and a slot is free again once its base is null.
struct mapped_input {
    std::atomic<bool> claimed{false};
    char name[256];
    std::atomic<uint64_t> size{0};
    std::atomic<const unsigned char*> base{nullptr};
};
mapped_input inputs[8];

static_assert(std::atomic<const unsigned char*>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free,
              "a fault handler needs lock-free atomics");

}  // namespace

void mapped_input_add(const char* name, const void* base, const uint64_t size) {
    for (mapped_input& in : inputs) {
        if (in.claimed.exchange(true)) continue;
        std::strncpy(in.name, name, sizeof in.name - 1);
        in.name[sizeof in.name - 1] = '\0';
        in.size.store(size);
        in.base.store(static_cast<const unsigned char*>(base));
        return;
    }
}

void mapped_input_remove(const void* base) {
    for (mapped_input& in : inputs) {
        const unsigned char* expected = static_cast<const unsigned char*>(base);
        if (base != nullptr && in.base.compare_exchange_strong(expected, nullptr)) in.claimed.store(false);
    }
}

const char* mapped_input_at(const void* address) {
    const auto* const at = static_cast<const unsigned char*>(address);
    for (const mapped_input& in : inputs) {
        const unsigned char* const base = in.base.load();
        if (base != nullptr && at >= base && static_cast<uint64_t>(at - base) < in.size.load()) return in.name;
    }
    return nullptr;
}

}  // namespace art

#include "run_guard.h"

#include "art_status.h"
#include "mapped_inputs.h"
#include "platform/run_handlers.h"
#include "platform/sys_io.h"

#include <atomic>

namespace art {

namespace {

const char* program_name = "";

// The output's state: none registered (or kept), registered, being taken back, taken back.
enum : int { NO_OUTPUT, REGISTERED, TAKING_BACK, TAKEN_BACK };
std::atomic<int> output_state{NO_OUTPUT};
std::atomic<const char*> output_name{nullptr};
std::atomic<intptr_t> output_handle{-1};
std::atomic<bool> output_created{false};
std::atomic<bool> output_regular{false};

// Passes in flight, on every thread; once closed, no pass starts.
std::atomic<int> in_flight{0};
std::atomic<bool> closed{false};

std::atomic<bool> ending{false};

// True in the one caller that ends the run; any other caller never returns (its passes
// are given up first, so that a take-back does not wait for them).
bool end_once() {
    if (!ending.exchange(true)) return true;
    wait_for_end();
}

void on_interrupt() {
    end_once();
    guard_take_back();
}

// "PROGRAM: INPUT: reason" for a fault in a mapped input, after the take-back.
size_t on_fault(const void* address, const char* line_end, char* line, const size_t cap) {
    const char* const input = art::mapped_input_at(address);
    if (input == nullptr) return 0;
    end_once();
    guard_take_back();
    const char* const parts[] = {program_name, ": ", input, ": ", art_strerror(ART_E_SHORT_READ), line_end};
    size_t used = 0;
    for (const char* part : parts)
        for (; *part != '\0' && used < cap; ++part) line[used++] = *part;
    return used;
}

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<intptr_t>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free,
              "handlers need lock-free atomics");

// Whether a pass in flight may still write to a file that a take-back removes: not when
// the output is registered and is no regular file, whose writes may never end (a FIFO
// that nobody reads) and which has nothing to take back.
bool passes_matter() {
    return !(output_state.load() == REGISTERED && !output_regular.load());
}

}  // namespace

void guard_run(const char* program) {
    program_name = program;
    install_run_handlers({on_interrupt, on_fault});
}

bool guard_enter(const bool held) {
    if (held) hold_interrupts();
    in_flight.fetch_add(1);
    if (!closed.load()) return true;
    in_flight.fetch_sub(1);
    if (held) release_interrupts();
    return false;
}

void guard_leave(const bool held) {
    in_flight.fetch_sub(1);
    if (held) release_interrupts();
}

void guard_output(const char* name, const intptr_t handle, const bool created, const bool regular) {
    output_name.store(name);
    output_handle.store(handle);
    output_created.store(created);
    output_regular.store(regular);
    output_state.store(REGISTERED);
}

bool guard_output_kept() {
    int registered = REGISTERED;
    return output_state.compare_exchange_strong(registered, NO_OUTPUT) || registered == NO_OUTPUT;
}

int guard_take_back() {
    closed.store(true);
    while (in_flight.load() > 0 && passes_matter()) pause_briefly();
    int registered = REGISTERED;
    if (!output_state.compare_exchange_strong(registered, TAKING_BACK)) {
        while (output_state.load() == TAKING_BACK) pause_briefly();
        return 0;
    }
    const int err = output_regular.load()
                        ? remove_partial_output(output_name.load(), output_handle.load(), output_created.load())
                        : 0;
    output_state.store(TAKEN_BACK);
    return err;
}

void guard_wait_for_end() { wait_for_end(); }

}  // namespace art

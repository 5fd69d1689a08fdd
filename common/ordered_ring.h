// Blocks of work made on any number of threads and written in order, one writer at a time.
#ifndef ART_ORDERED_RING_H
#define ART_ORDERED_RING_H

#include "art_status.h"

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

namespace art {

// Blocks 0 to blocks - 1, each made into a slot of a ring and written in block order.
// Every thread that runs work() claims the next block, makes it, and goes on; whichever
// thread finds the next block in order made becomes the writer for as long as blocks are
// ready. At most `slots` blocks are claimed ahead of the writer, and block j always has
// slot j % slots(). What the threads share is behind one mutex, which hands a slot over
// from the thread that makes it to the one that writes it.
//
// The first failure in block order, of a make or of a write, stops the ring: no block is
// begun or written after it, and status() returns it, as one thread doing the blocks in
// turn would have met it. So does stop(), from any thread: at most the block being
// written goes out after it.
class ordered_ring {
public:
    // A ring that cannot allocate its slots runs with one: each block made, then written.
    // A failed allocation in a make or a write is ENOMEM on alloc_file.
    ordered_ring(const uint64_t blocks, const size_t slots, const char* alloc_file)
        : blocks_(blocks), slots_(slots > 1 ? new (std::nothrow) slot[slots] : nullptr),
          count_(slots_ ? slots : 1), alloc_file_(alloc_file) {}

    size_t slots() const { return count_; }

    // Takes part in the work until no block is left to claim or the ring stops:
    //   claim(j, k): block j was claimed into slot k; under the mutex, in block order (for
    //     what block j takes from the blocks before it);
    //   make(j, k) -> art_status: makes block j in slot k, outside the mutex;
    //   write(j, k) -> art_status: writes block j from slot k, outside the mutex, in block
    //     order, on one thread at a time.
    template <typename Claim, typename Make, typename Write>
    void work(Claim&& claim, Make&& make, Write&& write) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (stop_) return;
            if (!writing_ && at(written_).ready) {
                write_ready(lock, write);
            } else if (claimed_ >= blocks_) {
                return;
            } else if (claimed_ >= written_ + count_) {
                ++waiting_;
                changed_.wait(lock);
                --waiting_;
            } else {
                const uint64_t j = claimed_++;
                const size_t k = static_cast<size_t>(j % count_);
                claim(j, k);
                lock.unlock();
                const art_status made = guarded(make, j, k);
                lock.lock();
                at(j) = {made, true};
            }
        }
    }

    void stop() {
        const std::lock_guard<std::mutex> hold(mutex_);
        stop_ = true;
        wake();
    }

    // The first failure in block order; once every work() has returned.
    art_status status() {
        const std::lock_guard<std::mutex> hold(mutex_);
        return status_;
    }

private:
    struct slot {
        art_status made = ART_OK;
        bool ready = false;  // made, not yet written
    };

    slot& at(const uint64_t block) { return slots_ ? slots_[block % count_] : single_; }

    // Only a thread that may wait is woken: where waking costs a call to the system (a
    // mutex and condition under wine), most blocks need none.
    void wake() {
        if (waiting_ > 0) changed_.notify_all();
    }

    template <typename Step>
    art_status guarded(Step& step, const uint64_t j, const size_t k) {
        try {
            return step(j, k);
        } catch (const std::bad_alloc&) {
            return status_of(alloc_file_, ENOMEM);
        }
    }

    // As the writer, under the mutex: writes the blocks that are ready, in order.
    template <typename Write>
    void write_ready(std::unique_lock<std::mutex>& lock, Write& write) {
        writing_ = true;
        while (!stop_ && at(written_).ready) {
            const uint64_t j = written_;
            slot& next = at(j);
            art_status s = next.made;
            if (s.ok()) {
                lock.unlock();
                s = guarded(write, j, static_cast<size_t>(j % count_));
                lock.lock();
            }
            next.ready = false;
            ++written_;
            if (!s.ok()) {
                status_ = s;
                stop_ = true;
            }
            wake();
        }
        writing_ = false;
    }

    const uint64_t blocks_;
    const std::unique_ptr<slot[]> slots_;
    const size_t count_;
    const char* const alloc_file_;
    slot single_;

    std::mutex mutex_;  // guards all below, and the slots' states
    std::condition_variable changed_;
    uint64_t claimed_ = 0, written_ = 0;
    size_t waiting_ = 0;  // threads in changed_.wait
    bool writing_ = false, stop_ = false;
    art_status status_ = ART_OK;
};

}  // namespace art

#endif

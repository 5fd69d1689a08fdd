// Work split into parts that run at once, each but the first on a thread of its own, with
// the statuses and failures of one thread.
#ifndef ART_RUN_PARTS_H
#define ART_RUN_PARTS_H

#include "art_status.h"

#include <cerrno>
#include <exception>
#include <new>
#include <thread>
#include <vector>

namespace art {

// Runs work(k) for parts 0 to parts - 1, each but the first on a thread of its own (on the
// calling thread where one cannot be started), and returns the status of the first part
// that failed, in part order: the failure one thread would have met first. A failed
// allocation in a part is ENOMEM on alloc_file. failed(k) is called on part k's thread
// as soon as it has failed.
template <typename Work, typename Failed>
art_status run_parts(const size_t parts, const char* alloc_file, Work&& work, Failed&& failed) {
    std::vector<art_status> status(parts, ART_OK);
    const auto one = [&](const size_t k) {
        try {
            status[k] = work(k);
        } catch (const std::bad_alloc&) {
            status[k] = status_of(alloc_file, ENOMEM);
        }
        if (!status[k].ok()) failed(k);
    };
    std::vector<std::thread> threads;
    threads.reserve(parts);
    for (size_t k = 1; k < parts; ++k) {
        try {
            threads.emplace_back(one, k);
        } catch (const std::exception&) {
            one(k);
        }
    }
    one(0);
    for (std::thread& t : threads) t.join();
    for (const art_status& s : status)
        if (!s.ok()) return s;
    return ART_OK;
}

}  // namespace art

#endif

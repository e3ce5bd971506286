// Retrying a call that may find the settings file busy: the one back-off
// that the waiting variants of OpenKey and CloseKey, and the tool, share.
#pragma once

#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

namespace qorvane::store {

// Calls attempt(busy) until it returns with busy == false or about waitMs
// milliseconds have passed (waitMs <= 0: one call), pausing a random 5-25 ms
// between calls so that processes that collide do not keep colliding in
// step. attempt sets `busy` (it starts false for every call) when its result
// is worth another try. Returns the result of the last call.
// The calling thread's generator for the pauses, seeded afresh in every
// process: a worker forked after its parent drew from it would otherwise
// draw the parent's pauses and keep colliding with it in step.
inline std::minstd_rand& PauseRandom()
{
    struct Seeded {
        pid_t pid = -1;
        std::minstd_rand rng;
    };
    static thread_local Seeded seeded;
    const pid_t pid = ::getpid();
    if (seeded.pid != pid) {
        seeded.rng.seed(std::random_device{}() ^ static_cast<unsigned>(pid));
        seeded.pid = pid;
    }
    return seeded.rng;
}

template <class Attempt>
int RetryWhileBusy(int waitMs, Attempt&& attempt)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs > 0 ? waitMs : 0);
    std::minstd_rand& rng = PauseRandom();
    std::uniform_int_distribution<int> pauseMs(5, 25);
    for (;;) {
        bool busy = false;
        const int rc = attempt(busy);
        const auto now = Clock::now();
        if (!busy || now >= deadline) return rc;
        const auto pause = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(pauseMs(rng)));
        std::this_thread::sleep_for(pause < deadline - now ? pause : deadline - now);
    }
}

}  // namespace qorvane::store

// Retrying a call that may find the settings file busy: the one wait that
// the waiting variants of OpenKey and CloseKey, and the tool, share.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>

#include "sync/SharedCounter.h"

namespace qorvane::store {

// The calling thread's generator for the naps, seeded afresh in every
// process: a worker forked after its parent drew from it would otherwise
// draw the parent's naps and keep colliding with it in step.
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

// Whether a result is worth another try: the counter turned the caller
// away (-3 for a read, -1 for a write) and can serve, or another holder of
// the file's lock was in the way (-4 / -2 with `lockBusy`).
inline bool ReadIsBusy(int result, bool lockBusy)
{
    return (result == -3 && !sync::CounterIsWrong()) || (result == -4 && lockBusy);
}
inline bool WriteIsBusy(int result, bool lockBusy)
{
    return (result == -1 && !sync::CounterIsWrong()) || (result == -2 && lockBusy);
}

// Calls attempt(busy) until it returns with busy == false or about waitMs
// milliseconds have passed (waitMs <= 0: one call). attempt sets `busy` (it
// starts false for every call) when its result is worth another try.
// Returns the result of the last call.
//
// The first call is made at once. After a busy one the caller sleeps until
// what stood in its way leaves: a writer's leave wakes every waiter, a
// reader's leave one reader waiting for the file's lock (a library reader
// or writer holds that lock only inside its entry, so its leave frees it).
// Every sleep is also cut to a random 5-25 ms, so that a holder that wakes
// nobody (another program's lock, another build of the library) is looked
// at again, and callers that collide do not keep colliding in step.
// A reader's tries, the first included, are refused without touching the
// counter while a writer has queued, and a reader that waits counts as
// waiting, so that the next writer lets it in first (AccessCounter.h has
// the order).
template <class Attempt>
int RetryWhileBusy(int waitMs, sync::LeaveWaiter::Role role, Attempt&& attempt)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs > 0 ? waitMs : 0);
    std::optional<sync::WaitingReaderScope> readerTries;
    std::optional<sync::WaitingWriterScope> writerTries;
    if (role == sync::LeaveWaiter::Role::Reader && waitMs > 0) readerTries.emplace();
    if (role == sync::LeaveWaiter::Role::Writer && waitMs > 0) writerTries.emplace(deadline);
    bool busy = false;
    int rc = attempt(busy);
    if (!busy || Clock::now() >= deadline) return rc;

    const auto patient = Clock::now() + sync::kReaderPatience;
    sync::LeaveWaiter waiter(role);
    std::minstd_rand& rng = PauseRandom();
    std::uniform_int_distribution<int> napMs(5, 25);
    for (;;) {
        // Armed before the try, so that a leave after it is not missed.
        waiter.ArmForLock();
        const bool holdOff = waiter.HoldOff();
        if (!holdOff) {
            busy = false;
            rc = attempt(busy);
            if (!busy) return rc;
        }
        const auto now = Clock::now();
        if (now >= deadline) return rc;
        if (role == sync::LeaveWaiter::Role::Reader && now >= patient) waiter.CountAsWaiting();
        const auto nap = std::min<Clock::duration>(
            std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(napMs(rng))), deadline - now);
        if (holdOff || (role == sync::LeaveWaiter::Role::Reader ? rc == -3 : rc == -1)) {
            waiter.SleepForWriter(nap);
        } else if (role == sync::LeaveWaiter::Role::Reader) {
            waiter.SleepForLock(nap);  // -4: another reader holds the file's lock, or another program
        } else {
            sync::LeaveWaiter::Nap(nap);  // -2: another program holds the file's lock
        }
    }
}

}  // namespace qorvane::store

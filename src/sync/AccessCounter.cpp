#include "sync/AccessCounter.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <thread>

namespace qorvane::sync {

namespace {

class SteadyClock final : public WaitClock {
public:
    WaitClockType::time_point Now() override { return WaitClockType::now(); }
    void Sleep(WaitClockType::duration d) override { std::this_thread::sleep_for(d); }
};

}  // namespace

WaitClock& RealClock()
{
    static SteadyClock clock;
    return clock;
}

bool EnterReader(CounterWord& word, HolderLock& lock)
{
    if (!lock.TryShared()) return false;
    for (int attempt = 0;; ++attempt) {
        const std::int32_t r = word.fetch_add(kReader) + kReader;
        if (r < kWriter) return true;
        word.fetch_sub(kReader);
        if (attempt == 1 || !lock.TryExclusive()) break;
        // No live process holds weight: whatever is left is stale.
        word.store(0);
        lock.Downgrade();
    }
    lock.Release();
    return false;
}

void LeaveReader(CounterWord& word, HolderLock& lock)
{
    [[maybe_unused]] const std::int32_t before = word.fetch_sub(kReader);
    assert(before >= kReader && "reader leaving a counter that holds no reader weight");
    lock.Release();
}

bool EnterWriter(CounterWord& word, HolderLock& lock, WaitClock& clock)
{
    const WaitClockType::time_point deadline = clock.Now() + kWriterWait;
    // Sleeps at most `step`, never past the deadline; false once it is over.
    const auto sleepUpTo = [&](WaitClockType::duration step) {
        const WaitClockType::duration left = deadline - clock.Now();
        if (left <= WaitClockType::duration::zero()) return false;
        clock.Sleep(std::min(step, left));
        return true;
    };

    while (!lock.TryShared() || !lock.TryWriterSlot()) {
        if (!sleepUpTo(kWriterPoll)) {
            lock.Release();
            return false;
        }
    }
    // Readers inside would cost a full pause after announcing, while their
    // reads take microseconds: give them a few polls to leave first. Readers
    // still enter meanwhile, so this never waits for long.
    for (int courtesy = 0; courtesy < kCourtesyPolls && word.load() != 0; ++courtesy) {
        if (!sleepUpTo(kWriterPoll)) break;
    }
    std::int32_t v = word.fetch_add(kWriter) + kWriter;
    for (int pauses = 0;;) {
        if (v <= kWriter) return true;
        if (pauses == kWriterPauses || !sleepUpTo(kWriterPause)) break;
        ++pauses;
        if (pauses == kWriterPauses) break;  // the value after the fifth pause is not tested
        v = word.load();
    }
    if (lock.TryExclusive()) {
        // No live process holds weight but us: keep only our own.
        word.store(kWriter);
        lock.Downgrade();
        if (word.load() <= kWriter) return true;
    }
    word.fetch_sub(kWriter);
    lock.Release();
    return false;
}

void LeaveWriter(CounterWord& word, HolderLock& lock)
{
    [[maybe_unused]] const std::int32_t before = word.fetch_sub(kWriter);
    assert(before >= kWriter && "writer leaving a counter that holds no writer weight");
    lock.Release();
}

}  // namespace qorvane::sync

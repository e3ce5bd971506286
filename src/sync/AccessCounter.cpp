#include "sync/AccessCounter.h"

#include <cassert>
#include <chrono>
#include <thread>

namespace qorvane::sync {

void SleepPause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void SleepPoll()
{
    std::this_thread::sleep_for(std::chrono::microseconds(200));
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

bool EnterWriter(CounterWord& word, HolderLock& lock, const Pause& pause, const Pause& poll)
{
    int polls = 0;
    while (!lock.TryShared() || !lock.TryWriterSlot()) {
        if (polls == kWriterPauses * kPollsPerPause) {
            lock.Release();
            return false;
        }
        poll();
        ++polls;
    }
    // Readers inside would cost a full pause after announcing, while their
    // reads take microseconds: give them a few polls to leave first. Readers
    // still enter meanwhile, so this never waits for long.
    for (int courtesy = 0; courtesy < kCourtesyPolls && word.load() != 0; ++courtesy) {
        if (polls == kWriterPauses * kPollsPerPause) break;
        poll();
        ++polls;
    }
    int pauses = polls / kPollsPerPause;
    std::int32_t v = word.fetch_add(kWriter) + kWriter;
    for (;;) {
        if (pauses == kWriterPauses) break;
        if (v <= kWriter) return true;
        pause();
        ++pauses;
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

// The access counter that keeps a rewrite of the settings file apart from
// every read and every other rewrite, across all processes of the machine.
//
// The counter is one 32-bit word holding a sum of weights: 1 for each reader
// inside its read, kWriter (0x8000) for each writer that has announced
// itself.
//
//   value            meaning                        reader enter   writer test
//   0                nobody                         in             in
//   1 .. 0x7FFF      readers only                   in             wait
//   0x8000           one writer, nobody else        refused        in
//   > 0x8000         a writer and someone else      refused        wait
//
// Readers never wait. A writer adds its weight first (turning away every
// later reader), then tests the value; while it is above kWriter it pauses
// 10 ms and reads it again, at most five pauses; the value read after the
// fifth pause is not tested, the writer gives up and takes its weight back.
//
// Writers queue among themselves before they announce: a writer first takes
// the writer slot (an exclusive lock that one writer holds at a time),
// polling for it every 200 us while another writer has it, so a writer gets
// in soon after the one before it leaves. Holding the slot, it gives
// readers that are inside a few polls to leave before it announces itself:
// a read takes microseconds, a pause 10 ms. So two writers never announce
// together and block each other until both give up, and readers are turned
// away only while one writer is announced.
//
// One deadline bounds the whole wait: 50 ms (five pauses' worth) from the
// moment the writer starts waiting covers the slot polls, the courtesy
// polls and the pauses, and no sleep runs past it. Counting polls instead
// let the overshoot of every sleep add up. Within the deadline the writer
// still tests at most five times and pauses at most five times, as above.
//
// Recovery from a holder that died: each entrant holds a shared OFD lock on
// the counter's shared-memory object (through a descriptor of its own) from
// before it adds its weight until after it removes it; the kernel drops the
// lock of a dead process. A reader about to be refused, or a writer about to
// give up, tries to turn its lock into an exclusive one without waiting.
// Success proves that no live process holds weight, so all weight but its
// own is stale: it clears it while exclusive, returns to a shared lock and
// tries its entry once more. An entrant that cannot take its shared lock
// because a recovery is under way counts that as refused (a reader) or as a
// failed poll (a writer).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qorvane::sync {

inline constexpr std::int32_t kReader = 1;
inline constexpr std::int32_t kWriter = 0x8000;
inline constexpr int kWriterPauses = 5;

using CounterWord = std::atomic<std::int32_t>;

// The holder lock of one entrant (see the recovery paragraph above).
class HolderLock {
public:
    virtual ~HolderLock() = default;
    // Takes the shared lock; false if a recovery holds it exclusively.
    virtual bool TryShared() = 0;
    // Turns the shared lock into an exclusive one without waiting; on
    // failure the shared lock is kept.
    virtual bool TryExclusive() = 0;
    // Turns the exclusive lock back into a shared one.
    virtual void Downgrade() = 0;
    // Takes the writer slot without waiting; false while another writer
    // holds it.
    virtual bool TryWriterSlot() { return true; }
    // Drops the lock and the writer slot.
    virtual void Release() = 0;
};

// A holder lock for a counter that no other process can see (tests, or a
// private word): always admits, never recovers.
class NoRecovery final : public HolderLock {
public:
    bool TryShared() override { return true; }
    bool TryExclusive() override { return false; }
    void Downgrade() override {}
    void Release() override {}
};

using WaitClockType = std::chrono::steady_clock;
inline constexpr std::chrono::milliseconds kWriterPause{10};
inline constexpr std::chrono::microseconds kWriterPoll{200};
inline constexpr std::chrono::milliseconds kWriterWait = kWriterPauses * kWriterPause;
// Polls a writer that holds the slot gives readers inside to leave before it
// announces itself.
inline constexpr int kCourtesyPolls = 10;

// The writer's clock: the steady clock and real sleeps in production; tests
// drive their own.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    virtual WaitClockType::time_point Now() = 0;
    // Sleeps `d`, a pause (kWriterPause) or a poll (kWriterPoll), either cut
    // short by the deadline.
    virtual void Sleep(WaitClockType::duration d) = 0;
};
WaitClock& RealClock();

// The protocol over a word. Enter* take the holder lock's shared lock and
// add the entrant's weight; Leave* remove the weight and drop the lock.
// Each returns true if the entrant is in; on false nothing is held.
bool EnterReader(CounterWord& word, HolderLock& lock);
void LeaveReader(CounterWord& word, HolderLock& lock);
bool EnterWriter(CounterWord& word, HolderLock& lock, WaitClock& clock = RealClock());
void LeaveWriter(CounterWord& word, HolderLock& lock);

}  // namespace qorvane::sync

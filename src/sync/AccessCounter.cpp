#include "sync/AccessCounter.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>

namespace qorvane::sync {

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "the futex word must be a plain 32-bit word");

long Futex(std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout) noexcept
{
    // Not FUTEX_PRIVATE_FLAG: the word is shared between processes.
    return ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

void SleepOn(std::atomic<std::uint32_t>& word, std::uint32_t seen, std::chrono::nanoseconds d) noexcept;

class SteadyClock final : public WaitClock {
public:
    WaitClockType::time_point Now() override { return WaitClockType::now(); }
    void Sleep(WaitClockType::duration d) override { std::this_thread::sleep_for(d); }
    void AwaitDone(HandOff& h, std::uint32_t seen, WaitClockType::duration d) override
    {
        SleepOn(h.readersDone, seen, d);
    }
    void AwaitLine(HandOff& h, std::uint32_t seen, std::uint16_t number, WaitClockType::duration d) override
    {
        SleepInLine(h, seen, number, d);
    }
    void AwaitLeave(HandOff* h, std::uint32_t seen, WaitClockType::duration d) override
    {
        if (h != nullptr) {
            SleepOnTurn(*h, seen, d);
        } else {
            Sleep(d);
        }
    }
};

}  // namespace

std::uint32_t ArmWait(HandOff& h) noexcept
{
    return h.turn.fetch_or(kSleeping) | kSleeping;
}

void WakeWaiters(HandOff& h) noexcept
{
    std::uint32_t t = h.turn.load();
    while ((t & kSleeping) != 0) {
        // Bumping the count as the flag goes keeps a sleeper that armed
        // before this leave from sleeping on a value that only looks the same.
        if (h.turn.compare_exchange_weak(t, (t + 1) & ~kSleeping)) {
            Futex(h.turn, FUTEX_WAKE, INT_MAX, nullptr);
            return;
        }
    }
}

namespace {

void SleepOn(std::atomic<std::uint32_t>& word, std::uint32_t seen, std::chrono::nanoseconds d) noexcept
{
    if (d <= std::chrono::nanoseconds::zero()) return;
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    const timespec timeout{static_cast<std::time_t>(s.count()), static_cast<long>((d - s).count())};
    // EAGAIN (the word moved), ETIMEDOUT and EINTR all mean: look again.
    Futex(word, FUTEX_WAIT, seen, &timeout);
}

}  // namespace

void SleepOnTurn(HandOff& h, std::uint32_t seen, std::chrono::nanoseconds d) noexcept
{
    SleepOn(h.turn, seen, d);
}

void SleepOnLockTurn(HandOff& h, std::uint32_t seen, std::chrono::nanoseconds d) noexcept
{
    SleepOn(h.lockTurn, seen, d);
}

void CountReaderDone(HandOff& h) noexcept
{
    const std::uint32_t done = h.readersDone.fetch_add(1) + 1;
    const std::uint32_t target = h.gapTarget.load();
    if (target != 0 && done == target) Futex(h.readersDone, FUTEX_WAKE, INT_MAX, nullptr);
}

std::uint16_t TakeTicket(HandOff& h) noexcept
{
    return static_cast<std::uint16_t>(h.writerLine.fetch_add(1u << 16) >> 16);
}

void MarkInLine(HandOff& h, std::uint16_t number) noexcept
{
    h.lineMarks[number % kLineMarks].store(kInLine | number);
}

void UnmarkInLine(HandOff& h, std::uint16_t number) noexcept
{
    std::uint32_t mine = kInLine | number;
    h.lineMarks[number % kLineMarks].compare_exchange_strong(mine, 0);
}

bool MarkedInLine(const HandOff& h, std::uint16_t number) noexcept
{
    return h.lineMarks[number % kLineMarks].load() == (kInLine | number);
}

void ServeNext(HandOff& h, std::uint16_t served) noexcept
{
    std::uint32_t line = h.writerLine.load();
    for (;;) {
        if ((line & 0xFFFFu) != served) return;  // served or passed over already
        if ((line >> 16) == served) return;      // not handed out: the line is empty
        const auto next = static_cast<std::uint16_t>(served + 1);
        const std::uint32_t moved = (line & 0xFFFF0000u) | next;
        if (!h.writerLine.compare_exchange_weak(line, moved)) continue;
        line = moved;
        // Nobody holds `next` yet: no wake (no system call) for a writer alone.
        if (static_cast<std::uint16_t>(line >> 16) == next) return;
        if (MarkedInLine(h, next)) break;
        served = next;  // its holder is not waiting: pass it over too
    }
    const auto next = static_cast<std::uint16_t>(line & 0xFFFFu);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&h.writerLine), FUTEX_WAKE_BITSET, INT_MAX, nullptr,
              nullptr, 1u << (next & 31u));
}

void SleepInLine(HandOff& h, std::uint32_t seen, std::uint16_t number, std::chrono::nanoseconds d) noexcept
{
    if (d <= std::chrono::nanoseconds::zero()) return;
    // FUTEX_WAIT_BITSET takes an absolute time on the monotonic clock.
    timespec at{};
    ::clock_gettime(CLOCK_MONOTONIC, &at);
    const long long ns = at.tv_nsec + std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    at.tv_sec += static_cast<std::time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&h.writerLine), FUTEX_WAIT_BITSET, seen, &at, nullptr,
              1u << (number & 31u));
}

void WakeLockWaiter(HandOff& h) noexcept
{
    if (h.lockWaiters.load() <= 0) return;
    h.lockTurn.fetch_add(1);
    Futex(h.lockTurn, FUTEX_WAKE, 1, nullptr);
}

void WaitClock::AwaitLeave(HandOff*, std::uint32_t, WaitClockType::duration d)
{
    Sleep(d);
}

void WaitClock::AwaitDone(HandOff&, std::uint32_t, WaitClockType::duration d)
{
    Sleep(std::min<WaitClockType::duration>(d, kWriterPoll));
}

void WaitClock::AwaitLine(HandOff&, std::uint32_t, std::uint16_t, WaitClockType::duration d)
{
    Sleep(std::min<WaitClockType::duration>(d, kWriterPoll));
}

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

void LeaveReader(CounterWord& word, HolderLock& lock, HandOff* handOff)
{
    [[maybe_unused]] const std::int32_t before = word.fetch_sub(kReader);
    assert(before >= kReader && "reader leaving a counter that holds no reader weight");
    lock.Release();
    if (handOff != nullptr) WakeWaiters(*handOff);
}

bool EnterWriter(CounterWord& word, HolderLock& lock, WaitClock& clock, HandOff* handOff, WriterTicket* ticket)
{
    using Duration = WaitClockType::duration;
    WaitClockType::time_point deadline = clock.Now() + kWriterWait;
    // Sleeps at most `step`, never past `end` or the deadline; false once
    // either is over. A leave after `seen` was armed ends it early.
    const auto awaitUpTo = [&](Duration step, std::uint32_t seen, WaitClockType::time_point end) {
        const Duration left = std::min(deadline, end) - clock.Now();
        if (left <= Duration::zero()) return false;
        clock.AwaitLeave(handOff, seen, std::min(step, left));
        return true;
    };
    // The protocol's pause: a plain sleep, never cut short by a leave.
    const auto pauseUpTo = [&](Duration step) {
        const Duration left = deadline - clock.Now();
        if (left <= Duration::zero()) return false;
        clock.Sleep(std::min(step, left));
        return true;
    };
    const auto arm = [&] { return handOff != nullptr ? ArmWait(*handOff) : 0u; };
    if (handOff == nullptr) ticket = nullptr;
    // The ticket's mark, from the moment it waits until the writer holds
    // the slot or gives up.
    struct LineMark {
        HandOff* h = nullptr;
        std::uint16_t number = 0;
        void Drop() noexcept
        {
            if (h != nullptr) UnmarkInLine(*h, number);
            h = nullptr;
        }
        ~LineMark() { Drop(); }
    } mark;
    const auto giveUp = [&] {
        mark.Drop();
        if (handOff != nullptr) handOff->writerQueued.store(0);
        lock.Release();
        if (handOff != nullptr) WakeWaiters(*handOff);
        // A served ticket's turn passes on (a later try of the same waiting
        // call comes after it, as a passed-over writer).
        if (ticket != nullptr && TicketServed(*handOff, ticket->number)) ServeNext(*handOff, ticket->number);
        return false;
    };

    if (ticket != nullptr) {
        if (ticket->line != handOff) {
            ticket->number = TakeTicket(*handOff);
            ticket->line = handOff;
        }
        const std::uint32_t taken = handOff->writerLine.load();
        std::uint16_t watched = static_cast<std::uint16_t>(taken & 0xFFFFu);
        if (TicketWaits(taken, ticket->number) || watched == ticket->number) {  // waiting, or its turn
            MarkInLine(*handOff, ticket->number);
            mark.h = handOff;
            mark.number = ticket->number;
        }
        WaitClockType::time_point since = clock.Now();
        bool waitedInLine = false;
        for (;;) {
            // One load for the test and the sleep: a serve after it changes
            // the word, so the sleep cannot miss the wake addressed to us.
            const std::uint32_t line = handOff->writerLine.load();
            if (!TicketWaits(line, ticket->number)) break;
            const auto served = static_cast<std::uint16_t>(line & 0xFFFFu);
            if (served != watched) {
                watched = served;
                since = clock.Now();
            } else if ((!MarkedInLine(*handOff, served) || clock.Now() - since >= kLineStall) && !lock.WriterSlotTaken()) {
                // The served writer is not waiting, or has not come for the
                // free slot (it died): pass it over.
                ServeNext(*handOff, served);
                since = clock.Now();
                continue;
            }
            const Duration left = std::max(deadline, ticket->until) - clock.Now();
            if (left <= Duration::zero()) return giveUp();
            waitedInLine = true;
            clock.AwaitLine(*handOff, line, ticket->number, std::min<Duration>(left, kLineStall));
        }
        if (waitedInLine) deadline = clock.Now() + kWriterWait;  // the wait proper starts at the turn
    }

    // Armed only once the slot was found taken, and looked at once more
    // then, so that an uncontended entry leaves no wake to its leave.
    std::uint32_t seen = 0;
    bool armed = handOff == nullptr;
    while (!lock.TryShared() || !lock.TryWriterSlot()) {
        if (!armed) {
            seen = arm();
            armed = true;
            continue;
        }
        if (!awaitUpTo(kWriterPoll, seen, deadline)) return giveUp();
        armed = handOff == nullptr;
    }
    mark.Drop();
    // Holding the slot, no other writer is queued: a flag still set was
    // left by one that died, and would hold off the readers let in below.
    if (handOff != nullptr) handOff->writerQueued.store(0);
    if (const std::int32_t waiting = handOff != nullptr ? handOff->readersWaiting.load() : 0; waiting > 0) {
        // Readers that waited through the writer before us get in first:
        // as many as were waiting now, those that come later do not count.
        // The reader that brings the count of readers done to the target
        // wakes us, so this sleeps about once.
        const std::uint32_t doneBefore = handOff->readersDone.load();
        std::uint32_t target = doneBefore + static_cast<std::uint32_t>(waiting);
        if (target == 0) target = 1;  // 0 means "nobody waits"; a wrap costs one reader its turn
        handOff->gapTarget.store(target);
        const WaitClockType::time_point gapEnd = clock.Now() + kReaderGap;
        for (;;) {
            const std::uint32_t done = handOff->readersDone.load();
            if (static_cast<std::int32_t>(done - target) >= 0 || handOff->readersWaiting.load() <= 0) break;
            const Duration left = std::min(deadline, gapEnd) - clock.Now();
            if (left <= Duration::zero()) {
                // A whole gap and still counted: unless a live process
                // counts (it holds the waiters' lock), the count is a dead
                // waiter's.
                if (lock.TryWaitersExclusive()) {
                    handOff->readersWaiting.store(0);
                    handOff->lockWaiters.store(0);
                    lock.DropWaiters();
                }
                break;
            }
            clock.AwaitDone(*handOff, done, left);
        }
        handOff->gapTarget.store(0);
    }
    if (handOff != nullptr) handOff->writerQueued.store(1);

    // Readers inside would cost a full pause after announcing, while their
    // reads take microseconds: give them a few polls to leave first (a
    // leave ends a poll early), and announce into an empty counter (adding
    // kWriter to 0, atomically). Plain readers still enter meanwhile, so
    // this never waits for long.
    std::int32_t v = 0;
    const WaitClockType::time_point courtesyEnd = clock.Now() + kCourtesyPolls * kWriterPoll;
    for (;;) {
        std::int32_t empty = 0;
        if (word.compare_exchange_strong(empty, kWriter)) {
            v = kWriter;
            break;
        }
        const std::uint32_t armedAt = arm();
        if (word.load() == 0) continue;
        if (!awaitUpTo(kWriterPoll, armedAt, courtesyEnd)) {
            v = word.fetch_add(kWriter) + kWriter;
            break;
        }
    }
    for (int pauses = 0;;) {
        if (v <= kWriter) return true;
        if (pauses == kWriterPauses || !pauseUpTo(kWriterPause)) break;
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
    return giveUp();
}

void LeaveWriter(CounterWord& word, HolderLock& lock, HandOff* handOff, const WriterTicket* ticket)
{
    [[maybe_unused]] const std::int32_t before = word.fetch_sub(kWriter);
    assert(before >= kWriter && "writer leaving a counter that holds no writer weight");
    if (handOff != nullptr) handOff->writerQueued.store(0);
    lock.Release();
    if (handOff == nullptr) return;
    if (ticket != nullptr && ticket->line == handOff) ServeNext(*handOff, ticket->number);
    WakeWaiters(*handOff);
}

}  // namespace qorvane::sync

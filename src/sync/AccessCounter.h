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
//
// Hand-off (only where the counter has the hand-off words beside it, see
// HandOff): a writer's waits before it announces itself, and the waiting
// calls' waits between tries, sleep on futexes that leaves wake, instead of
// polling. The order in which waiters get in:
//   - writers take the slot in the order they came (WriterTicket): a leave
//     serves the next ticket and wakes that writer alone;
//   - a writer that takes the slot first lets in as many waiting readers
//     as were counted as waiting at that moment (a reader in a waiting call
//     counts once it has waited kReaderPatience; at most kReaderGap;
//     readers that come later do not extend it; meanwhile waiting readers
//     that do not count hold off, so that those that do find the
//     processors and the file's lock free and the gap ends as soon as they
//     are in), then queues:
//     from then until it has left, waiting readers hold off, so a stream of
//     new readers cannot keep it out; readers inside leave within
//     microseconds;
//   - the queued writer announces itself only into an empty counter (the
//     add of kWriter done as a compare-and-swap from 0), so it is in at its
//     first test and never pauses for a reader it could have waited for;
//     after kCourtesyPolls polls' worth (each leave ends a poll early) it
//     announces whatever the value, and the protocol above takes over
//     unchanged, five pauses and all;
//   - its leave wakes the waiting readers, which try, and the next writer
//     in line, which lets them in before it queues.
// So a waiting reader waits for at most one writer's turn (and the reads of
// the readers before it), and a writer for the writers ahead of it in line
// and, at each turn, at most one gap of readers and the readers inside. Readers waiting for the settings file's lock, which
// one reader holds at a time, are woken one at a time by the leave of the
// reader that held it. Processes that never wake anyone (other builds)
// still let waiters in: every sleep is also bounded, by the poll or nap it
// replaces.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace qorvane::sync {

inline constexpr std::int32_t kReader = 1;
inline constexpr std::int32_t kWriter = 0x8000;
inline constexpr int kWriterPauses = 5;

using CounterWord = std::atomic<std::int32_t>;

// The words that let entrants and waiting calls sleep until a leave wakes
// them. They only shorten waits: a process that never touches them still
// gets in, later. All start at 0.
struct HandOff {
    // Bits 0-30: bumped by a leave that finds kSleeping set; the futex word.
    // kSleeping: someone sleeps on this word, or is about to.
    std::atomic<std::uint32_t> turn;
    // 1 from the moment a writer holding the slot queues until it leaves or
    // gives up: waiting readers hold off meanwhile.
    std::atomic<std::int32_t> writerQueued;
    // Readers in a waiting call that were turned away and are not in yet.
    std::atomic<std::int32_t> readersWaiting;
    // Counted readers that stopped waiting (got in, or gave up), wrapping.
    std::atomic<std::uint32_t> readersDone;
    // The futex word of readers waiting for the settings file's lock, which
    // one reader holds at a time: a reader's leave bumps it and wakes one
    // of them, if any counts in `lockWaiters`, so that they take turns
    // instead of all waking for one lock.
    std::atomic<std::uint32_t> lockTurn;
    std::atomic<std::int32_t> lockWaiters;
    // The value of readersDone that a writer letting waiting readers in
    // sleeps for (on readersDone), or 0 when no writer does; the reader
    // that makes readersDone reach it wakes the writer, once.
    std::atomic<std::uint32_t> gapTarget;
    // The writers' line for the slot: bits 16-31 the next ticket to hand
    // out, bits 0-15 the ticket being served (both wrapping). See
    // WriterTicket.
    std::atomic<std::uint32_t> writerLine;
    // Who waits in that line: entry number % kLineMarks holds
    // kInLine | number while the holder of ticket `number` waits for its
    // turn or for the slot, and 0 (or another ticket's mark) otherwise.
    std::atomic<std::uint32_t> lineMarks[32];
};
static_assert(sizeof(HandOff) == 160, "the hand-off words are part of the segment's layout");
inline constexpr std::size_t kLineMarks = 32;
inline constexpr std::uint32_t kInLine = 0x10000u;
inline constexpr std::uint32_t kSleeping = 0x80000000u;

// True while a reader in a waiting call should not try: a writer has
// queued, or a writer is letting the counted waiting readers in and this
// reader is not one of them (`counted`), so that those find the processors
// and the file's lock free and the gap ends as soon as they are in.
inline bool HoldsReadersOff(const HandOff& h, bool counted) noexcept
{
    return h.writerQueued.load() != 0 || (!counted && h.gapTarget.load() != 0);
}

// Marks the caller as about to sleep on `h.turn` and returns the value to
// sleep on. Check the condition after this, then sleep: a leave that
// changes the condition after the check also changes the word, so the sleep
// cannot miss it.
std::uint32_t ArmWait(HandOff& h) noexcept;
// Wakes every sleeper if one armed; nothing (no system call) otherwise.
void WakeWaiters(HandOff& h) noexcept;
// Wakes one reader waiting for the file's lock, if one counts.
void WakeLockWaiter(HandOff& h) noexcept;
// Counts a waiting reader as done waiting, and wakes a writer that waits
// for that count.
void CountReaderDone(HandOff& h) noexcept;
// Sleeps while `h.turn` still holds `seen`, at most `d` (a process-shared
// futex: it wakes across processes). May return early.
void SleepOnTurn(HandOff& h, std::uint32_t seen, std::chrono::nanoseconds d) noexcept;
// The same on `h.lockTurn`.
void SleepOnLockTurn(HandOff& h, std::uint32_t seen, std::chrono::nanoseconds d) noexcept;

// A writer's place in the line for the writer slot. Writers that find the
// slot taken would otherwise all wake at each leave and race for it, and a
// writer could lose that race again and again. So each writer takes a
// ticket and tries the slot only once its ticket is served (or passed);
// the writer that leaves the slot serves the next ticket and wakes its
// holder alone. A writer marks its ticket while it waits in line or for the
// slot (HandOff::lineMarks), so a ticket without a mark (its waiting call
// is between tries, or over) is passed over at once, by the writer that
// serves it or by those behind it; a marked one whose holder does not take
// the free slot within kLineStall (it died) is passed over then. A
// passed-over holder tries the slot as soon as it looks again. More than
// kLineMarks writers in line share marks: one may then be passed over
// early, and races for the slot. Writers of other builds, and plain (not waiting) calls,
// take no ticket and race for the slot as before.
// A waiting call keeps its ticket across its tries, and waits in line up to
// its own deadline (`until`); a writer's 50 ms wait (the slot, the readers,
// the pauses) starts when its turn comes.
struct WriterTicket {
    HandOff* line = nullptr;  // the words it was taken from; null: none taken
    std::uint16_t number = 0;
    std::chrono::steady_clock::time_point until{};  // when the waiting call gives up
};
inline constexpr std::chrono::milliseconds kLineStall{1};

// The ticket being served.
inline std::uint16_t ServedTicket(const HandOff& h) noexcept
{
    return static_cast<std::uint16_t>(h.writerLine.load() & 0xFFFFu);
}
// True while `number` waits in the line that reads `line`: it lies after
// the served ticket and before the next one to hand out. Any other ticket
// is served or was passed, however many tickets went out since: the
// numbers wrap, but a ticket never falls back into the window.
inline bool TicketWaits(std::uint32_t line, std::uint16_t number) noexcept
{
    const auto served = static_cast<std::uint16_t>(line & 0xFFFFu);
    const auto next = static_cast<std::uint16_t>(line >> 16);
    const auto ahead = static_cast<std::uint16_t>(number - served);
    return ahead != 0 && ahead < static_cast<std::uint16_t>(next - served);
}
// True once `number` is served or passed.
inline bool TicketServed(const HandOff& h, std::uint16_t number) noexcept
{
    return !TicketWaits(h.writerLine.load(), number);
}
std::uint16_t TakeTicket(HandOff& h) noexcept;
// The mark of a waiting ticket (see WriterTicket).
void MarkInLine(HandOff& h, std::uint16_t number) noexcept;
void UnmarkInLine(HandOff& h, std::uint16_t number) noexcept;
bool MarkedInLine(const HandOff& h, std::uint16_t number) noexcept;
// Moves the line from `served` to the next ticket whose holder waits
// (passing over unmarked ones), if it still serves `served`, and wakes that
// ticket's holder.
void ServeNext(HandOff& h, std::uint16_t served) noexcept;
// Sleeps while the line still reads `seen`, at most `d`, unless the ticket
// `number` is served meanwhile (the wake is addressed to it).
void SleepInLine(HandOff& h, std::uint32_t seen, std::uint16_t number, std::chrono::nanoseconds d) noexcept;

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
    // Takes the waiters' lock exclusively without waiting: true proves that
    // no live process counts in HandOff::readersWaiting (each holds that
    // lock shared while it counts). DropWaiters lets it go.
    virtual bool TryWaitersExclusive() { return false; }
    virtual void DropWaiters() {}
    // True while some writer holds the writer slot.
    virtual bool WriterSlotTaken() { return false; }
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
// How long a writer holding the slot lets waiting readers in before it
// queues (hand-off only).
inline constexpr std::chrono::milliseconds kReaderGap{2};
// How long a reader in a waiting call waits before it counts as waiting,
// so that the next writer lets it in first: most readers get in between
// two writers on their own, and a writer that waited for each of them
// would lose its rate on a busy machine.
inline constexpr std::chrono::milliseconds kReaderPatience{1};

// The writer's clock: the steady clock and real sleeps in production; tests
// drive their own.
class WaitClock {
public:
    virtual ~WaitClock() = default;
    virtual WaitClockType::time_point Now() = 0;
    // Sleeps `d`, a pause (kWriterPause) or a poll (kWriterPoll), either cut
    // short by the deadline.
    virtual void Sleep(WaitClockType::duration d) = 0;
    // A poll that a leave may end early: with hand-off words, sleeps on
    // them (see SleepOnTurn); without, Sleep(d).
    virtual void AwaitLeave(HandOff* h, std::uint32_t seen, WaitClockType::duration d);
    // Sleeps while h.readersDone holds `seen`, at most `d` (tests: a poll).
    virtual void AwaitDone(HandOff& h, std::uint32_t seen, WaitClockType::duration d);
    // Waits in the writers' line (SleepInLine), at most `d` (tests: a poll).
    virtual void AwaitLine(HandOff& h, std::uint32_t seen, std::uint16_t number, WaitClockType::duration d);
};
WaitClock& RealClock();

// The protocol over a word. Enter* take the holder lock's shared lock and
// add the entrant's weight; Leave* remove the weight, drop the lock and wake
// whoever waits on `handOff` (when given). Each returns true if the entrant
// is in; on false nothing is held.
bool EnterReader(CounterWord& word, HolderLock& lock);
void LeaveReader(CounterWord& word, HolderLock& lock, HandOff* handOff = nullptr);
// With hand-off words and a `ticket` (a waiting call's), a writer waits in
// the line for the slot (taking a ticket if it holds none from these
// words), and its leave serves the next ticket; without a ticket it races
// for the slot.
bool EnterWriter(CounterWord& word, HolderLock& lock, WaitClock& clock = RealClock(), HandOff* handOff = nullptr,
                 WriterTicket* ticket = nullptr);
void LeaveWriter(CounterWord& word, HolderLock& lock, HandOff* handOff = nullptr, const WriterTicket* ticket = nullptr);

}  // namespace qorvane::sync

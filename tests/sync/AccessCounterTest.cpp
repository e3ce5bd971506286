// The counter protocol on a private word, with pauses that the test drives.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "sync/AccessCounter.h"

namespace {

using namespace qorvane::sync;
using std::chrono::milliseconds;

// A clock that moves only when the writer sleeps. A sleep longer than a
// poll is a pause.
class FakeClock final : public WaitClock {
public:
    std::function<void()> onPause;
    std::function<void()> onPoll;
    int pauses = 0;
    int polls = 0;
    WaitClockType::time_point start{};
    WaitClockType::time_point now{};

    WaitClockType::time_point Now() override { return now; }
    void Sleep(WaitClockType::duration d) override
    {
        now += d;
        if (d > kWriterPoll) {
            ++pauses;
            if (onPause) onPause();
        } else {
            ++polls;
            if (onPoll) onPoll();
        }
    }
    WaitClockType::duration Elapsed() const { return now - start; }
};

// A holder lock whose answers the test sets, recording what was asked.
class ScriptedLock final : public HolderLock {
public:
    bool sharedOk = true;
    bool exclusiveOk = false;
    int exclusiveAsked = 0;
    bool held = false;

    bool TryShared() override { return held = sharedOk; }
    bool TryExclusive() override
    {
        ++exclusiveAsked;
        return exclusiveOk;
    }
    void Downgrade() override {}
    void Release() override { held = false; }
};

TEST(AccessCounter, ReaderAndWriterOnAnIdleCounter)
{
    CounterWord word{0};
    NoRecovery lock;
    ASSERT_TRUE(EnterReader(word, lock));
    EXPECT_EQ(word, 1);
    LeaveReader(word, lock);
    EXPECT_EQ(word, 0);

    FakeClock clock;
    ASSERT_TRUE(EnterWriter(word, lock, clock));
    EXPECT_EQ(word, kWriter);
    EXPECT_EQ(clock.pauses, 0);
    LeaveWriter(word, lock);
    EXPECT_EQ(word, 0);
}

TEST(AccessCounter, ReaderIsRefusedWhileAWriterIsAnnounced)
{
    for (const int before : {kWriter, kWriter + 3, 2 * kWriter}) {
        CounterWord word{before};
        NoRecovery lock;
        EXPECT_FALSE(EnterReader(word, lock));
        EXPECT_EQ(word, before) << "a refused reader must take its weight back";
    }
}

TEST(AccessCounter, WriterGetsInAtTheFirstTestAfterTheReaderLeft)
{
    for (int leaveAfter = 1; leaveAfter <= 4; ++leaveAfter) {
        CounterWord word{1};  // one reader in
        NoRecovery lock;
        FakeClock clock;
        clock.onPause = [&] {
            if (clock.pauses == leaveAfter) word.fetch_sub(1);  // the reader leaves
        };
        EXPECT_TRUE(EnterWriter(word, lock, clock));
        EXPECT_EQ(clock.pauses, leaveAfter);
        EXPECT_EQ(word, kWriter);
    }
}

TEST(AccessCounter, WriterGivesUpAfterTheFifthPauseWithoutTestingAgain)
{
    CounterWord word{1};
    NoRecovery lock;
    FakeClock clock;
    // The reader leaves during the fifth pause: the value read after it is
    // not tested, so the writer still gives up.
    clock.onPause = [&] {
        if (clock.pauses == 5) word.fetch_sub(1);
    };
    EXPECT_FALSE(EnterWriter(word, lock, clock));
    EXPECT_EQ(clock.pauses, kWriterPauses);
    EXPECT_EQ(clock.Elapsed(), kWriterWait);
    EXPECT_EQ(word, 0) << "the writer's weight must be taken back";
}

TEST(AccessCounter, TwoWritersAnnouncedTogetherBothWait)
{
    CounterWord word{kWriter};  // another writer announced
    NoRecovery lock;
    FakeClock clock;
    EXPECT_FALSE(EnterWriter(word, lock, clock));
    EXPECT_EQ(clock.pauses, 5);
    EXPECT_EQ(word, kWriter);
}

TEST(AccessCounter, StaleWeightIsClearedOnlyWhenTheExclusiveLockIsGranted)
{
    // A dead writer's weight: the reader's exclusive attempt succeeds, the
    // stale weight goes, and the retried entry succeeds.
    {
        CounterWord word{kWriter};
        ScriptedLock lock;
        lock.exclusiveOk = true;
        EXPECT_TRUE(EnterReader(word, lock));
        EXPECT_EQ(word, 1);
    }
    // A live writer (exclusive refused): the reader is refused, nothing reset.
    {
        CounterWord word{kWriter};
        ScriptedLock lock;
        EXPECT_FALSE(EnterReader(word, lock));
        EXPECT_EQ(lock.exclusiveAsked, 1);
        EXPECT_EQ(word, kWriter);
        EXPECT_FALSE(lock.held);
    }
    // A dead reader's weight stops a writer only until its last test.
    {
        CounterWord word{1};
        ScriptedLock lock;
        lock.exclusiveOk = true;
        FakeClock clock;
        EXPECT_TRUE(EnterWriter(word, lock, clock));
        EXPECT_EQ(clock.pauses, 5);
        EXPECT_EQ(word, kWriter);
    }
}

TEST(AccessCounter, EntrantThatCannotTakeItsSharedLockIsRefused)
{
    CounterWord word{0};
    ScriptedLock lock;
    lock.sharedOk = false;
    EXPECT_FALSE(EnterReader(word, lock));
    FakeClock clock;
    EXPECT_FALSE(EnterWriter(word, lock, clock));
    EXPECT_EQ(clock.polls, kWriterWait / kWriterPoll);
    EXPECT_EQ(clock.pauses, 0);
    EXPECT_EQ(clock.Elapsed(), kWriterWait);
    EXPECT_EQ(word, 0);

    // A recovery that ends while the writer polls lets it in.
    FakeClock again;
    again.onPoll = [&] {
        if (again.polls == 2) lock.sharedOk = true;
    };
    EXPECT_TRUE(EnterWriter(word, lock, again));
    EXPECT_EQ(word, kWriter);
}

struct SlotLock final : HolderLock {
    int freeAfter = 0;
    int asked = 0;
    bool TryShared() override { return true; }
    bool TryExclusive() override { return false; }
    void Downgrade() override {}
    bool TryWriterSlot() override { return ++asked > freeAfter; }
    void Release() override {}
};

// One deadline covers the wait for the writer slot, the courtesy polls and
// the pauses: however long the slot stays taken, the writer gives up when
// the 50 ms are over, never later, and never pauses more than five times.
TEST(AccessCounter, OneDeadlineCoversSlotWaitCourtesyAndPauses)
{
    for (const int freeAfter : {0, 1, 49, 175, 240, 249, 250, 1000}) {
        SCOPED_TRACE("slot free after " + std::to_string(freeAfter) + " polls");
        CounterWord word{1};  // a reader stays in
        SlotLock lock;
        lock.freeAfter = freeAfter;
        FakeClock clock;
        EXPECT_FALSE(EnterWriter(word, lock, clock));
        EXPECT_EQ(clock.Elapsed(), kWriterWait);
        EXPECT_LE(clock.pauses, kWriterPauses);
        EXPECT_EQ(word, 1) << "the writer's weight must be taken back";
    }
    // A slot that frees up in time with nobody inside lets the writer in at
    // once.
    CounterWord word{0};
    SlotLock lock;
    lock.freeAfter = 7;
    FakeClock clock;
    EXPECT_TRUE(EnterWriter(word, lock, clock));
    EXPECT_EQ(clock.polls, 7);
    EXPECT_EQ(word, kWriter);
}

// Holding the slot, a writer lets a reader inside leave before it announces,
// instead of announcing and pausing a full 10 ms.
TEST(AccessCounter, WriterLetsReadersInsideLeaveBeforeAnnouncing)
{
    CounterWord word{1};
    NoRecovery lock;
    FakeClock clock;
    clock.onPoll = [&] {
        if (clock.polls == 3) word.fetch_sub(1);  // the reader leaves
    };
    EXPECT_TRUE(EnterWriter(word, lock, clock));
    EXPECT_EQ(clock.polls, 3);
    EXPECT_EQ(clock.pauses, 0);
    EXPECT_EQ(word, kWriter);
}

}  // namespace

namespace {

// A holder lock whose waiters' lock the test grants or refuses, and whose
// writer slot another writer may hold.
struct HandOffLock final : HolderLock {
    bool waitersFree = false;
    bool slotTaken = false;
    int slotTries = 0;
    bool TryShared() override { return true; }
    bool TryExclusive() override { return false; }
    void Downgrade() override {}
    bool TryWriterSlot() override { return ++slotTries, !slotTaken; }
    bool WriterSlotTaken() override { return slotTaken; }
    bool TryWaitersExclusive() override { return waitersFree; }
    void Release() override {}
};

// With hand-off words, a writer holding the slot first lets in as many
// waiting readers as were counted when it took it, at most kReaderGap, then
// queues (waiting readers hold off) and announces into the empty counter.
// A count that never drops is cleared only when the waiters' lock proves
// that nobody alive counts.
TEST(AccessCounter, WriterLetsCountedReadersInThenQueues)
{
    struct Case {
        const char* name;
        int doneAtPoll;  // the two counted readers get in at this poll; 0: never
        bool waitersFree;
        int countAfter;
    };
    const Case cases[] = {
        {"ReadersGetInDuringTheGap", 3, false, 0},
        {"LiveButSlowReadersKeepTheirCount", 0, false, 2},
        {"DeadReadersCountIsCleared", 0, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CounterWord word{0};
        HandOff h{};
        h.readersWaiting = 2;
        HandOffLock lock;
        lock.waitersFree = c.waitersFree;
        FakeClock clock;
        clock.onPoll = [&] {
            EXPECT_EQ(h.writerQueued, 0) << "queued while counted readers were let in";
            if (clock.polls != c.doneAtPoll) return;
            for (int r = 0; r < 2; ++r) {
                h.readersWaiting.fetch_sub(1);
                CountReaderDone(h);
            }
        };
        ASSERT_TRUE(EnterWriter(word, lock, clock, &h));
        EXPECT_EQ(word, kWriter);
        EXPECT_EQ(h.writerQueued, 1);
        EXPECT_EQ(h.gapTarget, 0u);
        EXPECT_EQ(h.readersWaiting, c.countAfter);
        EXPECT_EQ(clock.pauses, 0);
        EXPECT_LE(clock.Elapsed(), c.doneAtPoll != 0 ? c.doneAtPoll * kWriterPoll : WaitClockType::duration(kReaderGap));
        LeaveWriter(word, lock, &h);
        EXPECT_EQ(word, 0);
        EXPECT_EQ(h.writerQueued, 0);
    }
}

// Writers take the slot in the order of their tickets: one waits while two
// tickets before it are served (trying the slot only once its own is); a
// served ticket nobody waits with (no mark) is passed over at once, a
// marked one whose writer does not come for the free slot (it died) after
// kLineStall; a writer in the slot is never passed over however long it
// stays, unless the waiting call's own deadline is later than the writer's
// 50 ms (then the 50 ms start at its turn); and a ticket kept by a waiting
// call that was passed long ago (the numbers wrapped since) goes straight
// for the slot.
TEST(AccessCounter, WritersTakeTheSlotInTicketOrder)
{
    using Duration = WaitClockType::duration;
    struct Case {
        const char* name;
        std::uint32_t line;  // next ticket << 16 | served ticket
        int kept;            // the ticket a waiting call kept; -1: takes one (5)
        bool aheadMarked;    // tickets 3 and 4 are marked as waiting
        int servedAtPoll;    // the two before it are done at this poll; 0: never
        bool slotHeld;       // the served writer holds the slot until then
        bool in;
        Duration took;       // at most, or exactly when not in
        std::uint16_t servedAfter;  // the line after the entry (and the leave)
        Duration until{};    // the waiting call's deadline; zero: none later than the writer's
    };
    const Case cases[] = {
        {"ServedInTurn", (5u << 16) | 3u, -1, true, 3, true, true, 3 * kWriterPoll, 6},
        {"TicketsNobodyWaitsWithArePassedAtOnce", (5u << 16) | 3u, -1, false, 0, false, true, Duration::zero(), 6},
        {"MarkedWritersThatDoNotComeArePassedAfterAStall", (5u << 16) | 3u, -1, true, 0, false, true, 3 * kLineStall, 6},
        {"AWriterInTheSlotIsWaitedFor", (5u << 16) | 3u, -1, true, 0, true, false, kWriterWait, 3},
        {"AWaitingCallWaitsInLineUpToItsOwnDeadline", (5u << 16) | 3u, -1, true, 300, true, true, 300 * kWriterPoll, 6,
         std::chrono::seconds(1)},
        {"AKeptTicketPassedBeforeTheNumbersWrapped", (32779u << 16) | 32779u, 10, false, 0, false, true, Duration::zero(), 32779},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CounterWord word{0};
        HandOff h{};
        h.writerLine = c.line;
        if (c.aheadMarked) {
            MarkInLine(h, 3);
            MarkInLine(h, 4);
        }
        HandOffLock lock;
        lock.slotTaken = c.slotHeld;
        FakeClock clock;
        WriterTicket ticket;
        if (c.kept >= 0) ticket = WriterTicket{&h, static_cast<std::uint16_t>(c.kept), {}};
        ticket.until = clock.now + c.until;
        clock.onPoll = [&] {
            if (!TicketServed(h, ticket.number)) {
                EXPECT_EQ(lock.slotTries, 0) << "tried the slot out of turn";
                EXPECT_TRUE(MarkedInLine(h, ticket.number)) << "waits without its mark";
            }
            if (clock.polls == c.servedAtPoll) {
                h.writerLine = (6u << 16) | 5u;
                lock.slotTaken = false;
            }
        };
        const bool in = EnterWriter(word, lock, clock, &h, &ticket);
        EXPECT_EQ(in, c.in);
        EXPECT_EQ(ticket.number, c.kept >= 0 ? c.kept : 5);
        EXPECT_FALSE(MarkedInLine(h, ticket.number)) << "the mark outlived the wait";
        if (in) {
            EXPECT_LE(clock.Elapsed(), c.took);
            LeaveWriter(word, lock, &h, &ticket);
        } else {
            EXPECT_EQ(clock.Elapsed(), c.took);
        }
        EXPECT_EQ(ServedTicket(h), c.servedAfter);
        EXPECT_EQ(word, 0);
    }
}

// A writer leaving the slot serves the next ticket whose writer waits: the
// tickets between, whose waiting calls are over, are passed over with it.
TEST(AccessCounter, ServingPassesOverTicketsNobodyWaitsWith)
{
    struct Case {
        std::vector<std::uint16_t> marked;
        std::uint16_t servedAfter;
    };
    const Case cases[] = {
        {{6, 7}, 6},
        {{7}, 7},
        {{}, 8},  // the whole line is over: it is empty now
    };
    for (const Case& c : cases) {
        HandOff h{};
        h.writerLine = (8u << 16) | 5u;  // 5 leaves; 6 and 7 are out
        for (const std::uint16_t n : c.marked) MarkInLine(h, n);
        ServeNext(h, 5);
        EXPECT_EQ(ServedTicket(h), c.servedAfter);
        EXPECT_EQ(h.writerLine.load() >> 16, 8u);
    }
}

// A sleeper arms before it looks at its condition; a leave after that must
// change the futex word (or the sleep could miss it), and a leave with
// nobody armed must not touch it (no system call on the fast path).
TEST(AccessCounter, LeaveChangesTheWordOnlyForAnArmedSleeper)
{
    HandOff h{};
    WakeWaiters(h);
    EXPECT_EQ(h.turn, 0u);
    const std::uint32_t seen = ArmWait(h);
    EXPECT_NE(seen & kSleeping, 0u);
    WakeWaiters(h);
    EXPECT_NE(h.turn.load(), seen);
    EXPECT_EQ(h.turn & kSleeping, 0u);
    // Armed again with the same low bits as before the wake: still another value.
    EXPECT_NE(ArmWait(h), seen);
}

}  // namespace

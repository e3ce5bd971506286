// The counter protocol on a private word, with pauses that the test drives.
#include <gtest/gtest.h>

#include <functional>

#include "sync/AccessCounter.h"

namespace {

using namespace qorvane::sync;

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

    int pauses = 0;
    ASSERT_TRUE(EnterWriter(word, lock, [&] { ++pauses; }));
    EXPECT_EQ(word, kWriter);
    EXPECT_EQ(pauses, 0);
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
        int pauses = 0;
        const bool in = EnterWriter(word, lock, [&] {
            ++pauses;
            if (pauses == leaveAfter) word.fetch_sub(1);  // the reader leaves
        });
        EXPECT_TRUE(in);
        EXPECT_EQ(pauses, leaveAfter);
        EXPECT_EQ(word, kWriter);
    }
}

TEST(AccessCounter, WriterGivesUpAfterTheFifthPauseWithoutTestingAgain)
{
    CounterWord word{1};
    NoRecovery lock;
    int pauses = 0;
    // The reader leaves during the fifth pause: the value read after it is
    // not tested, so the writer still gives up.
    const bool in = EnterWriter(word, lock, [&] {
        if (++pauses == 5) word.fetch_sub(1);
    });
    EXPECT_FALSE(in);
    EXPECT_EQ(pauses, kWriterPauses);
    EXPECT_EQ(word, 0) << "the writer's weight must be taken back";
}

TEST(AccessCounter, TwoWritersAnnouncedTogetherBothWait)
{
    CounterWord word{kWriter};  // another writer announced
    NoRecovery lock;
    int pauses = 0;
    EXPECT_FALSE(EnterWriter(word, lock, [&] { ++pauses; }));
    EXPECT_EQ(pauses, 5);
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
        int pauses = 0;
        EXPECT_TRUE(EnterWriter(word, lock, [&] { ++pauses; }));
        EXPECT_EQ(pauses, 5);
        EXPECT_EQ(word, kWriter);
    }
}

TEST(AccessCounter, EntrantThatCannotTakeItsSharedLockIsRefused)
{
    CounterWord word{0};
    ScriptedLock lock;
    lock.sharedOk = false;
    EXPECT_FALSE(EnterReader(word, lock));
    int pauses = 0;
    int polls = 0;
    EXPECT_FALSE(EnterWriter(word, lock, [&] { ++pauses; }, [&] { ++polls; }));
    EXPECT_EQ(polls, kWriterPauses * kPollsPerPause);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(word, 0);

    // A recovery that ends while the writer polls lets it in.
    polls = 0;
    EXPECT_TRUE(EnterWriter(word, lock, [&] { ++pauses; }, [&] {
        if (++polls == 2) lock.sharedOk = true;
    }));
    EXPECT_EQ(word, kWriter);
}

// A writer waiting for the slot polls; its polls count against its pauses,
// so the whole wait stays within five pauses' worth.
TEST(AccessCounter, WaitingForTheWriterSlotCountsAgainstThePauses)
{
    struct SlotLock final : HolderLock {
        int freeAfter = 0;
        int asked = 0;
        bool TryShared() override { return true; }
        bool TryExclusive() override { return false; }
        void Downgrade() override {}
        bool TryWriterSlot() override { return ++asked > freeAfter; }
        void Release() override {}
    };
    {
        CounterWord word{1};  // a reader stays in
        SlotLock lock;
        lock.freeAfter = 3 * kPollsPerPause + kPollsPerPause / 2;  // 3.5 pauses' worth of polls
        int pauses = 0;
        int polls = 0;
        EXPECT_FALSE(EnterWriter(word, lock, [&] { ++pauses; }, [&] { ++polls; }));
        EXPECT_EQ(polls, lock.freeAfter + kCourtesyPolls);
        EXPECT_EQ(pauses, kWriterPauses - polls / kPollsPerPause);
        EXPECT_EQ(word, 1);
    }
    {
        CounterWord word{0};
        SlotLock lock;
        lock.freeAfter = 7;
        int polls = 0;
        EXPECT_TRUE(EnterWriter(word, lock, [] {}, [&] { ++polls; }));
        EXPECT_EQ(polls, 7);
        EXPECT_EQ(word, kWriter);
    }
}

// Holding the slot, a writer lets a reader inside leave before it announces,
// instead of announcing and pausing a full 10 ms.
TEST(AccessCounter, WriterLetsReadersInsideLeaveBeforeAnnouncing)
{
    CounterWord word{1};
    NoRecovery lock;
    int pauses = 0;
    int polls = 0;
    EXPECT_TRUE(EnterWriter(word, lock, [&] { ++pauses; }, [&] {
        if (++polls == 3) word.fetch_sub(1);  // the reader leaves
    }));
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(word, kWriter);
}

}  // namespace

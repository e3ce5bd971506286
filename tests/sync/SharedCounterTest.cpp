// The machine-wide counter object (here the test process's private one):
// shared between processes, recovered after a holder is killed, never reset
// while a live process holds weight.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "sync/SharedCounter.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::sync;
using namespace qorvane::testing;

class SharedCounterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CounterValue(), 0); }
    void TearDown() override { SetCounterValue(0); }
};

TEST_F(SharedCounterTest, ObjectAndSegmentAreOpenToEveryUser)
{
    SharedCounterWord();
    struct stat st {};
    ASSERT_EQ(::stat(SharedCounterPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u) << "whatever the umask";
    const int id = SharedCounterSegmentId();
    ASSERT_GE(id, 0);
    shmid_ds ds {};
    ASSERT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(ds.shm_perm.gid, st.st_gid);
    EXPECT_GE(ds.shm_segsz, kSharedSectionSize);
}

TEST_F(SharedCounterTest, ChildSeesTheParentsWeight)
{
    ReaderShare reader;
    ASSERT_TRUE(reader.In());
    const int status = RunInChild([] {
        WriterShare writer;  // must wait and give up: our reader is live
        return writer.In() ? 1 : (CounterValue() == 1 ? 0 : 2);
    });
    EXPECT_EQ(ExitCodeOf(status), 0);
}

// A holder killed while it holds weight: the next entrant recovers at once.
TEST_F(SharedCounterTest, WeightOfAKilledHolderIsRecovered)
{
    for (const bool killWriter : {false, true}) {
        Gate entered;
        const pid_t pid = StartChild([&]() -> int {
            if (killWriter) {
                WriterShare writer;
                if (!writer.In()) return 1;
                entered.Signal();
                ::pause();
            } else {
                ReaderShare reader;
                if (!reader.In()) return 1;
                entered.Signal();
                ::pause();
            }
            return 0;
        });
        ASSERT_TRUE(entered.Wait());
        ::kill(pid, SIGKILL);
        EXPECT_EQ(ExitCodeOf(WaitChild(pid)), -1000 - SIGKILL);
        EXPECT_EQ(CounterValue(), killWriter ? kWriter : 1) << "the dead holder's weight stays until recovery";

        const auto start = std::chrono::steady_clock::now();
        {
            WriterShare writer;
            EXPECT_TRUE(writer.In());
            EXPECT_EQ(CounterValue(), kWriter);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(CounterValue(), 0);
        ReaderShare reader;
        EXPECT_TRUE(reader.In());
    }
}

TEST_F(SharedCounterTest, LiveWeightIsNeverReset)
{
    Gate entered;
    Gate release;
    const pid_t pid = StartChild([&]() -> int {
        WriterShare writer;
        if (!writer.In()) return 1;
        entered.Signal();
        return release.Wait() ? 0 : 2;
    });
    ASSERT_TRUE(entered.Wait());
    {
        ReaderShare reader;
        EXPECT_FALSE(reader.In());
        WriterShare writer;
        EXPECT_FALSE(writer.In());
    }
    EXPECT_EQ(CounterValue(), kWriter);
    release.Signal();
    EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    EXPECT_EQ(CounterValue(), 0);
}

}  // namespace

// A forked child that does not exec never keeps the parent's locks: not the
// counter's holder lock (which would block the recovery of a dead parent's
// weight for as long as the child lives) and not the settings file's lock
// (which would turn every other open away with -4).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "sync/AccessCounter.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;
namespace seam = qorvane::seam;
using Clock = std::chrono::steady_clock;

// A process that lives until the test kills it; the test reaps it when it
// is the test's own child.
class Sleeper {
public:
    explicit Sleeper(pid_t pid, bool ownChild = true) : m_pid(pid), m_ownChild(ownChild) {}
    ~Sleeper()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            if (m_ownChild) WaitChild(m_pid);
        }
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
    bool Alive() const { return m_pid > 0 && ::kill(m_pid, 0) == 0; }

private:
    pid_t m_pid;
    bool m_ownChild;
};

int SetPort(CQorvane& store, const char* value)
{
    std::string v = value;
    if (store.OpenKey("PrinterSet") < 0) return -100;
    store.SetItem(KEYID_PRINTERSET, "Port", v.data());
    return store.CloseKey(0);
}

// The parent makes its first calls, forks a worker that does not exec, and
// is then killed inside CloseKey with its writer weight in the counter.
// The worker lives on; a fresh process must still recover within a second.
TEST(ForkSafety, DeadParentsWeightIsRecoveredWhileItsForkedChildLives)
{
    TempDir dir;
    int pipeFd[2];
    ASSERT_EQ(::pipe(pipeFd), 0);
    const pid_t parent = StartChild([&]() -> int {
        ::close(pipeFd[0]);
        CQorvane store(dir.Path().c_str());
        if (SetPort(store, "LPT1") != 1) return 1;  // the thread now keeps its counter descriptor
        const pid_t worker = ::fork();
        if (worker == 0) {
            for (;;) ::pause();
        }
        if (::write(pipeFd[1], &worker, sizeof worker) != sizeof worker) return 2;
        seam::CrashAt(seam::Step::WriterIn, 1, seam::CrashMode::Kill);
        SetPort(store, "LPT2");
        return 3;  // not reached
    });
    ::close(pipeFd[1]);
    pid_t worker = -1;
    ASSERT_EQ(::read(pipeFd[0], &worker, sizeof worker), static_cast<ssize_t>(sizeof worker));
    ::close(pipeFd[0]);
    const Sleeper keep(worker, false);  // the parent's child, not ours
    ASSERT_EQ(ExitCodeOf(WaitChild(parent)), -1000 - SIGKILL);
    ASSERT_TRUE(keep.Alive());
    EXPECT_EQ(CounterValue(), qorvane::sync::kWriter) << "the dead parent's weight is still in the counter";

    const auto start = Clock::now();
    int rc = 0;
    CQorvane store(dir.Path().c_str());
    while ((rc = SetPort(store, "LPT3")) != 1 && Clock::now() - start < std::chrono::seconds(1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(rc, 1) << "no recovery while the forked worker lives";
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(keep.Alive());
    EXPECT_EQ(CounterValue(), 0);
    SetCounterValue(0);
}

struct HoldAtStep {
    Gate reached;
    Gate resume;
};

void HoldHere(seam::Step, void* context)
{
    auto* hold = static_cast<HoldAtStep*>(context);
    hold->reached.Signal();
    hold->resume.Wait();
}

// One thread is inside OpenKey (or CloseKey), holding the settings file's
// lock, when another thread forks a child that does not exec. Once the call
// is over, nobody else may be turned away because of the child.
TEST(ForkSafety, ChildForkedWhileAnotherThreadHoldsTheFileLockDoesNotKeepIt)
{
    for (const seam::Step step : {seam::Step::ReaderLocked, seam::Step::Locked}) {
        SCOPED_TRACE(seam::StepName(step));
        TempDir dir;
        WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
        HoldAtStep hold;
        seam::Reset();
        seam::OnStep(step, &HoldHere, &hold);
        std::thread inside([&] {
            CQorvane store(dir.Path().c_str());
            if (step == seam::Step::ReaderLocked) {
                EXPECT_EQ(store.OpenKey("PrinterSet"), 1);
            } else {
                EXPECT_EQ(SetPort(store, "LPT2"), 1);
            }
        });
        ASSERT_TRUE(hold.reached.Wait());
        seam::Reset();  // the child and the checks below run without the hook
        const Sleeper child(StartChild([]() -> int {
            for (;;) ::pause();
        }));
        hold.resume.Signal();
        inside.join();

        ASSERT_TRUE(child.Alive());
        CQorvane other(dir.Path().c_str());
        EXPECT_EQ(other.OpenKey("PrinterSet"), 1) << "the forked child keeps the file locked";
        EXPECT_EQ(other.CloseKey(0), 1);
        EXPECT_EQ(SetPort(other, "LPT3"), 1);
    }
}

// A child may use the library at once, and its calls do not disturb the
// parent's (each side has descriptors of its own).
TEST(ForkSafety, ChildUsesTheLibraryRightAfterFork)
{
    TempDir dir;
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(SetPort(store, "LPT1"), 1);
    const int status = RunInChild([&]() -> int {
        CQorvane child(dir.Path().c_str());
        return SetPort(child, "COM1") == 1 ? 0 : 1;
    });
    EXPECT_EQ(ExitCodeOf(status), 0);
    EXPECT_EQ(SetPort(store, "LPT2"), 1);
    EXPECT_NE(ReadFile(dir.Settings()).find("Port = LPT2;"), std::string::npos);
    EXPECT_EQ(CounterValue(), 0);
}

}  // namespace

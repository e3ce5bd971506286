// Crash points: a process that dies at any step of OpenKey or CloseKey,
// whether it ends itself (_exit) or is killed (SIGKILL), leaves the settings
// file whole: byte for byte the old content before the rename, the new
// content from the rename on. A temporary file it leaves behind is hidden,
// follows the library's own pattern and goes with the next replace; the
// counter weight it leaves behind is recovered by the next process at once.
#include <gtest/gtest.h>

#include <csignal>

#include <chrono>
#include <string>
#include <tuple>

#include "Reliability.h"
#include "platform/Seam.h"
#include "platform/SettingsFile.h"
#include "qorvane/Qorvane.h"
#include "sync/AccessCounter.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;
using namespace qorvane::reliability;
namespace seam = qorvane::seam;
using seam::CrashMode;
using seam::Step;

enum class Size { Small, Large };

struct CrashPoint {
    Step step;
    int nth;        // which arrival at the step ends the process
    Size size;      // Large: the temporary file is written in two pieces
    bool landed;    // the new content is in place from this step on
    bool inWriter;  // CloseKey (writer weight left) or OpenKey (reader weight)
};

const CrashPoint kCrashPoints[] = {
    {Step::ReaderIn, 1, Size::Small, false, false},
    {Step::ReaderLocked, 1, Size::Small, false, false},
    {Step::WriterIn, 1, Size::Small, false, true},
    {Step::Locked, 1, Size::Small, false, true},
    {Step::FileRead, 1, Size::Small, false, true},
    {Step::TempCreated, 1, Size::Small, false, true},
    {Step::TempWrite, 1, Size::Small, false, true},
    {Step::TempWrite, 1, Size::Large, false, true},
    {Step::TempWrite, 2, Size::Large, false, true},
    {Step::TempSynced, 1, Size::Small, false, true},
    {Step::TempLinked, 1, Size::Small, false, true},
    {Step::Renamed, 1, Size::Small, true, true},
    {Step::DirSynced, 1, Size::Small, true, true},
    {Step::BeforeLeave, 1, Size::Small, true, true},
};

int g_covered = 0;

// Old and new content for each size, computed once per process.
struct Contents {
    std::string before;
    std::string after;
};
const Contents& ContentsFor(Size size)
{
    static const Contents small{std::string(kSample), ExpectedAfter(kSample)};
    if (size == Size::Small) return small;
    // One piece of the temporary file's writes is platform::kWriteChunk.
    static const std::string large = LargeSample(qorvane::platform::kWriteChunk + (64u << 10));
    static const Contents big{large, ExpectedAfter(large)};
    return big;
}

// Compares without printing megabytes on failure.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected)
{
    if (actual == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at;
}

// What a fresh process does after the crash: open, change another key and
// close, each at the first attempt. Exit code 0, or which step failed.
int RecoverInFreshProcess(const std::string& dirPath)
{
    const auto start = std::chrono::steady_clock::now();
    CQorvane store(dirPath.c_str());
    if (store.OpenKey("HotKeySet") != 1) return 1;
    char value[] = "after-crash";
    if (store.SetItem(KEYID_HOTKEYSET, "Recovered", value) != 2) return 2;
    if (store.CloseKey(0) != 1) return 3;
    // A liveness bound, not a speed claim: recovery needs five 10 ms pauses
    // at most; a second means the stale weight was never cleared.
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) return 4;
    return 0;
}

std::string AfterRecovery(const std::string& content)
{
    TempDir scratch;
    WriteFile(scratch.Settings(), content);
    if (RecoverInFreshProcess(scratch.Path()) != 0) return "<scratch recovery failed>";
    return ReadFile(scratch.Settings());
}

class CrashPointTest : public ::testing::TestWithParam<std::tuple<CrashPoint, CrashMode>> {
protected:
    void SetUp() override { seam::Reset(); }
    void TearDown() override
    {
        seam::Reset();
        if (!HasFailure()) ++g_covered;
    }
    TempDir dir;
};

TEST_P(CrashPointTest, FileStaysWholeAndTheNextProcessRecovers)
{
    const auto& [point, mode] = GetParam();
    const Contents& contents = ContentsFor(point.size);
    WriteFile(dir.Settings(), contents.before);

    const int status = RunInChild([&, point = point, mode = mode] {
        seam::Reset();
        seam::CrashAt(point.step, point.nth, mode);
        return OpenChangeClose(dir.Path(), 0);  // returns only if the step was never reached
    });
    ASSERT_EQ(ExitCodeOf(status), mode == CrashMode::Exit ? 86 : -1000 - SIGKILL)
        << "the crash point was not reached";

    const std::string& left = point.landed ? contents.after : contents.before;
    EXPECT_TRUE(SameBytes(ReadFile(dir.Settings()), left));
    const std::string listing = dir.Listing();
    EXPECT_TRUE(OnlySettingsAndHiddenTemps(listing)) << listing;
    EXPECT_EQ(CounterValue(), point.inWriter ? qorvane::sync::kWriter : qorvane::sync::kReader)
        << "the dead process's weight should still be in the counter";

    EXPECT_EQ(ExitCodeOf(RunInChild([&] { return RecoverInFreshProcess(dir.Path()); })), 0)
        << "a fresh process could not open, set and close at the first attempt within 1 s";
    EXPECT_EQ(CounterValue(), 0);
    EXPECT_EQ(dir.Listing(), "QorRunningSet.Inf") << "the next close left a temporary file";
    EXPECT_TRUE(SameBytes(ReadFile(dir.Settings()), AfterRecovery(left)));
}

std::string PointName(const ::testing::TestParamInfo<CrashPointTest::ParamType>& info)
{
    const auto& [point, mode] = info.param;
    std::string name;
    for (const char* p = seam::StepName(point.step); *p != '\0'; ++p) name += *p == '-' ? '_' : *p;
    name += "_" + std::to_string(point.nth);
    if (point.size == Size::Large) name += "_large";
    name += mode == CrashMode::Exit ? "_exit" : "_kill";
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryStep, CrashPointTest,
                         ::testing::Combine(::testing::ValuesIn(kCrashPoints),
                                            ::testing::Values(CrashMode::Exit, CrashMode::Kill)),
                         PointName);

// Prints how many crash points this run proved, for the reliability report.
class CoverageReport : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::printf("crash points covered: %d passed (of %zu points x 2 modes)\n", g_covered,
                    sizeof kCrashPoints / sizeof kCrashPoints[0]);
    }
};
const auto* const kReport = ::testing::AddGlobalTestEnvironment(new CoverageReport);

}  // namespace

// RemoveItem (the merge's removal of lines and the object's state) and the
// waiting variants OpenKeyWait / CloseKeyWait.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "format/CharScan.h"
#include "platform/Posix.h"
#include "qorvane/Qorvane.h"
#include "store/KeyText.h"
#include "store/WholeFile.h"
#include "sync/SharedCounter.h"
#include "testing/Testing.h"

namespace {

using qorvane::testing::ReadFile;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;

std::string Crlf(std::initializer_list<std::string> lines)
{
    std::string out;
    for (const std::string& line : lines) out += line + "\r\n";
    return out;
}

char* Mutable(const char* text)
{
    return const_cast<char*>(text);
}

// --- The merge drops removed names from the key's section only.

struct RemoveCase {
    const char* name;
    std::string file;
    std::vector<std::string> removed;
    std::vector<KeyItem> set;  // pending sets alongside
    std::string expect;
};

void PrintTo(const RemoveCase& c, std::ostream* os)
{
    *os << c.name;
}

class RemoveMergeTest : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(RemoveMergeTest, ProducesTheExpectedFile)
{
    const RemoveCase& c = GetParam();
    std::vector<CString> removed(c.removed.begin(), c.removed.end());
    const std::vector<std::uint16_t> states(c.set.size(), 1);
    EXPECT_EQ(qorvane::store::MergeKey(qorvane::format::CharScan::Bytes(), c.file, "PrinterSet", c.set, states,
                                       removed)
                  .Flatten(),
              c.expect);
}

const RemoveCase kRemoveCases[] = {
    {"EveryLineOfTheNameGoesOthersStay",
     "; c\r\n[PrinterSet]\r\nA = 1;\r\nB = 2; keep me\r\nA=dup\r\nA = ;\r\n; A = commented\r\n",
     {"A"},
     {},
     // "A = ;" is not an item (blank value) and stays, as does the comment.
     Crlf({"; c", "[PrinterSet]", "B = 2; keep me", "A = ;", "; A = commented"})},
    {"HeaderStaysWhenTheLastItemGoes",
     "[PrinterSet]\r\nA = 1;\r\n[HotKeySet]\r\nK = v;\r\n",
     {"A"},
     {},
     Crlf({"[PrinterSet]", "", "[HotKeySet]", "K = v;"})},
    {"LaterSectionsKeepTheName",
     "[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nA = 1;\r\n[PrinterSet]\r\nA = 2;\r\n",
     {"A"},
     {},
     Crlf({"[PrinterSet]", "", "[HotKeySet]", "A = 1;", "", "[PrinterSet]", "A = 2;"})},
    {"LinesBeforeTheHeaderStay",
     "A = 0;\r\n[PrinterSet]\r\nA = 1;\r\n",
     {"A"},
     {},
     Crlf({"A = 0;", "[PrinterSet]"})},
    {"BlankLinesAroundARemovedLineShrinkToOne",
     "[PrinterSet]\r\nB = 1;\r\n\r\nA = 1;\r\n\r\nC = 3;\r\n",
     {"A"},
     {},
     Crlf({"[PrinterSet]", "B = 1;", "", "C = 3;"})},
    {"RemovalsAndSetsTogether",
     "[PrinterSet]\r\nA = 1;\r\nB = 2;\r\nC = 3;\r\n",
     {"A", "C"},
     {KeyItem{"B", "9"}, KeyItem{"D", "4"}},
     Crlf({"[PrinterSet]", "B = 9;", "D = 4;"})},
    {"KeyWithoutSectionGetsOneWithTheSetItemsOnly",
     "[HotKeySet]\r\nA = 1;\r\n",
     {"A"},
     {KeyItem{"B", "2"}},
     Crlf({"[HotKeySet]", "A = 1;", "", "[PrinterSet]", "B = 2;"})},
    {"BytesAfterThe1AAreKept",
     "[PrinterSet]\r\nA = 1;\r\n\x1a" "A = 1;\r\n",
     {"A"},
     {},
     Crlf({"[PrinterSet]"}) + "\x1a" "A = 1;\r\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, RemoveMergeTest, ::testing::ValuesIn(kRemoveCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- RemoveItem on the object.

class RemoveItemTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(qorvane::testing::CounterValue(), 0) << "counter weight leaked"; }
    TempDir dir;
};

const char* const kSample =
    "[PrinterSet]\r\nPort = LPT1;\r\nSpeed = 2;\r\nPort = dup;\r\n\r\n[HotKeySet]\r\nPort = hot;\r\n";

TEST_F(RemoveItemTest, ResultCodesAndStateAfterwards)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    // Bad input first, before the key ID check.
    EXPECT_EQ(store.RemoveItem(KEYID_HOTKEYSET, nullptr), -2);
    EXPECT_EQ(store.RemoveItem("PrinterSet", nullptr), -2);
    EXPECT_EQ(store.RemoveItem(KEYID_HOTKEYSET, "Port"), -1);
    EXPECT_EQ(store.RemoveItem("HotKeySet", "Port"), -1);
    EXPECT_EQ(store.RemoveItem(KEYID_PRINTERSET, "Nope"), 0);
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(store.GetItemCount(), 3);

    EXPECT_EQ(store.RemoveItem("PrinterSet", "Port"), 1);
    EXPECT_TRUE(store.IsModified());
    char buf[16] = "untouched";
    EXPECT_EQ(store.GetItem(KEYID_PRINTERSET, "Port", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "untouched");
    ASSERT_EQ(store.GetItemCount(), 1);
    EXPECT_EQ(store.RemoveItem(KEYID_PRINTERSET, "Port"), 0);  // already gone
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nSpeed = 2;\r\n\r\n[HotKeySet]\r\nPort = hot;\r\n");
}

TEST_F(RemoveItemTest, LineAddedByAnotherProcessAfterOpenGoesToo)
{
    WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    ASSERT_EQ(store.RemoveItem(KEYID_PRINTERSET, "Port"), 1);
    WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\nOther = 1;\r\nPort = LPT2;\r\n");
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nOther = 1;\r\n");
}

TEST_F(RemoveItemTest, SetAfterRemoveCancelsTheRemoval)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    ASSERT_EQ(store.RemoveItem(KEYID_PRINTERSET, "Port"), 1);
    EXPECT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM1")), 2);
    char buf[16];
    EXPECT_EQ(store.GetItem(KEYID_PRINTERSET, "Port", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "COM1");
    EXPECT_EQ(store.CloseKey(0), 1);
    // As for any set: the first line is replaced, the duplicate stays.
    EXPECT_EQ(ReadFile(dir.Settings()),
              "[PrinterSet]\r\nPort = COM1;\r\nSpeed = 2;\r\nPort = dup;\r\n\r\n[HotKeySet]\r\nPort = hot;\r\n");
}

TEST_F(RemoveItemTest, RemovalFailsWithTheCloseAndIsKeptOrDroppedAsAsked)
{
    for (const int clearOnFail : {0, 1}) {
        WriteFile(dir.Settings(), kSample);
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        ASSERT_EQ(store.RemoveItem(KEYID_PRINTERSET, "Speed"), 1);
        {
            qorvane::sync::ReaderShare reader;
            ASSERT_TRUE(reader.In());
            EXPECT_EQ(store.CloseKey(clearOnFail), -1);
        }
        EXPECT_EQ(ReadFile(dir.Settings()), kSample);
        if (clearOnFail != 0) {
            EXPECT_EQ(store.CloseKey(0), 0);  // nothing open any more
            continue;
        }
        EXPECT_EQ(store.CloseKey(0), 1);
        EXPECT_EQ(ReadFile(dir.Settings()),
                  "[PrinterSet]\r\nPort = LPT1;\r\nPort = dup;\r\n\r\n[HotKeySet]\r\nPort = hot;\r\n");
    }
}

// --- OpenKeyWait / CloseKeyWait

// An OFD write lock on the settings file, held by another thread until
// Release(); Release() may come from any thread.
class LockHolder {
public:
    explicit LockHolder(const std::string& path)
    {
        EXPECT_EQ(qorvane::platform::sys::Open(path.c_str(), O_RDWR, 0, m_fd), 0);
        EXPECT_EQ(qorvane::platform::sys::TryLock(m_fd.Get(), F_WRLCK), 0);
    }
    void Release() { m_fd.Reset(); }

private:
    qorvane::platform::UniqueFd m_fd;
};

// Releases the lock from another thread after a while, so that the waiting
// call under test is refused at least once first; joined when it goes.
class ReleaseLater {
public:
    explicit ReleaseLater(LockHolder& lock)
        : m_thread([&lock] {
              std::this_thread::sleep_for(std::chrono::milliseconds(100));
              lock.Release();
          })
    {
    }
    ~ReleaseLater() { m_thread.join(); }
    ReleaseLater(const ReleaseLater&) = delete;
    ReleaseLater& operator=(const ReleaseLater&) = delete;

private:
    std::thread m_thread;
};

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class WaitTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(dir.Settings(), kSample); }
    void TearDown() override { EXPECT_EQ(qorvane::testing::CounterValue(), 0) << "counter weight leaked"; }
    TempDir dir;
};

// Items stored with no key open wait for the next open; a busy try of the
// waiting open that is followed by a successful one must not lose them.
TEST_F(WaitTest, ItemsStoredForTheNextOpenSurviveBusyTries)
{
    LockHolder lock(dir.Settings());
    CQorvane store(dir.Path().c_str());
    char value[] = "COM7";
    ASSERT_EQ(store.SetItem(0ul, "Port", value), 2);  // no key open: ID 0
    const ReleaseLater releaser(lock);
    EXPECT_EQ(store.OpenKeyWait("PrinterSet", 60000), 1);
    char buf[16];
    EXPECT_EQ(store.GetItem(KEYID_PRINTERSET, "Port", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "COM7") << "the item stored for the next open was lost";
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_NE(ReadFile(dir.Settings()).find("Port = COM7;"), std::string::npos);
}

TEST_F(WaitTest, OpenSucceedsOnceTheLockGoesAway)
{
    LockHolder lock(dir.Settings());
    CQorvane probe(dir.Path().c_str());
    ASSERT_EQ(probe.OpenKey("PrinterSet"), -4);  // the plain call does not wait

    CQorvane store(dir.Path().c_str());
    // The other side lets go once the waiting call has been refused at
    // least once; the wait is long enough never to run out first.
    const ReleaseLater releaser(lock);
    EXPECT_EQ(store.OpenKeyWait("PrinterSet", 60000), 1);
    char buf[16];
    EXPECT_EQ(store.GetItem(KEYID_PRINTERSET, "Port", buf, sizeof buf), 1);
    EXPECT_EQ(store.CloseKey(0), 1);
}

TEST_F(WaitTest, BusyResultsComeBackWhenTheWaitIsOver)
{
    {
        LockHolder lock(dir.Settings());
        CQorvane store(dir.Path().c_str());
        EXPECT_EQ(store.OpenKeyWait("PrinterSet", 50), -4);
        EXPECT_EQ(store.GetKeyID(), 0u);
    }
    {
        qorvane::sync::WriterShare writer;
        ASSERT_TRUE(writer.In());
        CQorvane store(dir.Path().c_str());
        EXPECT_EQ(store.OpenKeyWait("PrinterSet", 50), -3);
        EXPECT_EQ(store.GetKeyID(), KEYID_PRINTERSET);
    }
}

TEST_F(WaitTest, ResultsThatAreNotBusyReturnAtOnce)
{
    // With a wait of ten minutes, a retry of any of these would time the
    // test out.
    constexpr int kLongWaitMs = 600000;
    const auto start = Clock::now();
    CQorvane missingDir((dir.Path() + "/missing").c_str());
    EXPECT_EQ(missingDir.OpenKeyWait("PrinterSet", kLongWaitMs), -4);
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKeyWait("NoSuchKey", kLongWaitMs), -2);
    EXPECT_EQ(store.CloseKeyWait(0, kLongWaitMs), 0);
    ASSERT_EQ(store.OpenKeyWait("PrinterSet", kLongWaitMs), 1);
    EXPECT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", Mutable("X")), 1);
    ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
    EXPECT_EQ(store.CloseKeyWait(0, kLongWaitMs), -2);  // missing file: not busy
    EXPECT_LT(SecondsSince(start), 60.0);
}

TEST_F(WaitTest, CloseKeepsTheChangesBetweenTriesEvenWithClearOnFail)
{
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM7")), 1);
    ASSERT_EQ(store.RemoveItem(KEYID_PRINTERSET, "Speed"), 1);
    LockHolder lock(dir.Settings());
    const ReleaseLater releaser(lock);
    EXPECT_EQ(store.CloseKeyWait(1, 60000), 1);
    EXPECT_EQ(ReadFile(dir.Settings()),
              "[PrinterSet]\r\nPort = COM7;\r\nPort = dup;\r\n\r\n[HotKeySet]\r\nPort = hot;\r\n");
}

TEST_F(WaitTest, CloseThatStaysBusyDropsTheChangesOnlyIfAsked)
{
    for (const int clearOnFail : {0, 1}) {
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM7")), 1);
        {
            qorvane::sync::ReaderShare reader;
            ASSERT_TRUE(reader.In());
            EXPECT_EQ(store.CloseKeyWait(clearOnFail, 50), -1);
        }
        {
            LockHolder lock(dir.Settings());
            EXPECT_EQ(store.CloseKeyWait(clearOnFail, 50), clearOnFail != 0 ? 0 : -2);
        }
        EXPECT_EQ(ReadFile(dir.Settings()), kSample);
        EXPECT_EQ(store.GetItemCount(), clearOnFail != 0 ? 0 : 3);
    }
}

}  // namespace

// --- The whole-file replace behind a hand edit.

namespace {

TEST_F(WaitTest, WholeFileIsReplacedOnlyIfUnchanged)
{
    using qorvane::store::ReplaceWholeFile;
    std::string current;
    bool lockBusy = false;
    ASSERT_EQ(::chmod(dir.Settings().c_str(), 0640), 0);
    EXPECT_EQ(ReplaceWholeFile(dir.Settings(), kSample, "new\n", current, lockBusy), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), "new\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.Settings().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    EXPECT_EQ(ReplaceWholeFile(dir.Settings(), kSample, "other\n", current, lockBusy), 0);
    EXPECT_EQ(current, "new\n");
    EXPECT_EQ(ReadFile(dir.Settings()), "new\n");
    {
        qorvane::sync::ReaderShare reader;
        ASSERT_TRUE(reader.In());
        EXPECT_EQ(ReplaceWholeFile(dir.Settings(), "new\n", "x", current, lockBusy), -1);
    }
    {
        LockHolder lock(dir.Settings());
        EXPECT_EQ(ReplaceWholeFile(dir.Settings(), "new\n", "x", current, lockBusy), -2);
        EXPECT_TRUE(lockBusy);
    }
    lockBusy = false;
    ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
    EXPECT_EQ(ReplaceWholeFile(dir.Settings(), "", "x", current, lockBusy), -2);
    EXPECT_FALSE(lockBusy);
    EXPECT_EQ(dir.Listing(), "");  // never created
}

}  // namespace

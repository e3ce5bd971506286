// Objects in several threads and processes on one file: reads exclude each
// other, writers wait for readers, and every close's changes land.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "sync/AccessCounter.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;
namespace seam = qorvane::seam;

char* Mutable(const char* text)
{
    return const_cast<char*>(text);
}

// Pauses an OpenKey at the moment it holds the file: signals `reached`,
// then waits for `resume`.
struct PausePoint {
    Gate reached;
    Gate resume;
    static void Hook(seam::Step, void* self)
    {
        auto* p = static_cast<PausePoint*>(self);
        p->reached.Signal();
        p->resume.Wait(30000);
    }
};

class ConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seam::Reset();
        WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
    }
    void TearDown() override
    {
        seam::Reset();
        EXPECT_EQ(CounterValue(), 0);
    }
    TempDir dir;
};

TEST_F(ConcurrencyTest, OverlappingReadInAnotherThreadIsRefusedAtOnce)
{
    PausePoint pause;
    seam::OnStep(seam::Step::ReaderLocked, &PausePoint::Hook, &pause);
    CQorvane first(dir.Path().c_str());
    std::thread reader([&] { EXPECT_EQ(first.OpenKey("PrinterSet"), 1); });
    ASSERT_TRUE(pause.reached.Wait());
    seam::OnStep(seam::Step::ReaderLocked, nullptr, nullptr);

    CQorvane second(dir.Path().c_str());
    EXPECT_EQ(second.OpenKey("PrinterSet"), -4);
    EXPECT_STREQ(second.GetKeyName(), "");
    pause.resume.Signal();
    reader.join();
    EXPECT_EQ(second.OpenKey("PrinterSet"), 1);
}

TEST_F(ConcurrencyTest, OverlappingReadInAnotherProcessIsRefusedAtOnce)
{
    PausePoint pause;
    const pid_t pid = StartChild([&] {
        seam::OnStep(seam::Step::ReaderLocked, &PausePoint::Hook, &pause);
        CQorvane store(dir.Path().c_str());
        return store.OpenKey("HotKeySet") == 0 ? 0 : 1;
    });
    ASSERT_TRUE(pause.reached.Wait());
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKey("PrinterSet"), -4);
    pause.resume.Signal();
    EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);
}

TEST_F(ConcurrencyTest, ReaderIsRefusedWhileAWriterIsIn)
{
    PausePoint pause;
    const pid_t pid = StartChild([&] {
        seam::OnStep(seam::Step::Locked, &PausePoint::Hook, &pause);
        CQorvane store(dir.Path().c_str());
        if (store.OpenKey("PrinterSet") != 1) return 1;
        store.SetItem(KEYID_PRINTERSET, "Port", Mutable("LPT2"));
        return store.CloseKey(0) == 1 ? 0 : 2;
    });
    ASSERT_TRUE(pause.reached.Wait());
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKey("PrinterSet"), -3);
    EXPECT_STREQ(store.GetKeyName(), "");
    EXPECT_EQ(store.GetKeyID(), KEYID_PRINTERSET) << "the ID stays after a refused read";
    pause.resume.Signal();
    EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    char buf[16];
    ASSERT_EQ(store.GetItem("PrinterSet", "Port", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "LPT2");
}

// A reader is inside; the writer announces itself and waits. The reader
// leaves as soon as it sees the announcement: the writer gets in. If the
// reader stays, the writer gives up with -1 and keeps its data.
struct ReaderScript {
    Gate reached;
    Gate release;
    bool leaves;
    static void Hook(seam::Step, void* self)
    {
        auto* s = static_cast<ReaderScript*>(self);
        s->reached.Signal();
        if (s->leaves) {
            while (CounterValue() < qorvane::sync::kWriter) std::this_thread::yield();
        } else {
            s->release.Wait(30000);
        }
    }
};

TEST_F(ConcurrencyTest, WriterWaitsForAReaderOrGivesUp)
{
    for (const bool readerLeaves : {true, false}) {
        SCOPED_TRACE(readerLeaves ? "reader leaves" : "reader stays");
        WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM9")), 1);

        ReaderScript script;
        script.leaves = readerLeaves;
        const pid_t pid = StartChild([&] {
            seam::OnStep(seam::Step::ReaderLocked, &ReaderScript::Hook, &script);
            CQorvane reader(dir.Path().c_str());
            return reader.OpenKey("HotKeySet") == 0 ? 0 : 1;
        });
        ASSERT_TRUE(script.reached.Wait());
        if (readerLeaves) {
            EXPECT_EQ(store.CloseKey(0), 1);
            EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nPort = COM9;\r\n");
        } else {
            EXPECT_EQ(store.CloseKey(0), -1);
            EXPECT_EQ(CounterValue(), 1) << "the writer must take its weight back";
            EXPECT_EQ(store.GetItemCount(), 1);
            script.release.Signal();
        }
        EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);
        if (!readerLeaves) {
            EXPECT_EQ(store.CloseKey(0), 1);
        }
    }
}

// N processes x M rounds of open / set / close with retries on busy
// results: every process's last value is in the file, no item duplicated.
TEST_F(ConcurrencyTest, ManyProcessesChangingItemsAllLand)
{
    constexpr int kProcesses = 6;
    constexpr int kRounds = 25;
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(StartChild([&, p]() -> int {
            std::mt19937 rng(static_cast<unsigned>(p) * 7919u + 1u);
            const std::string mine = "Proc" + std::to_string(p);
            for (int round = 1; round <= kRounds; ++round) {
                const std::string value = std::to_string(round);
                const std::string shared = mine + ":" + value;
                for (int attempt = 0;; ++attempt) {
                    if (attempt > 2000) return 10;
                    CQorvane store(dir.Path().c_str());
                    const int open = store.OpenKey(p % 2 == 0 ? "PrinterSet" : "HotKeySet");
                    if (open == -3 || open == -4) {
                        std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 2000));
                        continue;
                    }
                    if (open != 0 && open != 1) return 11;
                    if (store.SetItem(store.GetKeyID(), mine.c_str(), Mutable(value.c_str())) < 1) return 12;
                    if (store.SetItem(store.GetKeyID(), "Shared", Mutable(shared.c_str())) < 1) return 13;
                    const int close = store.CloseKey(0);
                    if (close == 1) break;
                    if (close != -1 && close != -2) return 14;
                    std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 2000));
                }
            }
            return 0;
        }));
    }
    for (const pid_t pid : pids) EXPECT_EQ(ExitCodeOf(WaitChild(pid)), 0);

    for (const char* key : {"PrinterSet", "HotKeySet"}) {
        CQorvane store(dir.Path().c_str());
        ASSERT_GE(store.OpenKey(key), 0);
        std::map<std::string, int> seen;
        for (int i = 0; i < store.GetItemCount(); ++i) {
            CString name;
            CString value;
            store.GetItemAt(i, name, value);
            EXPECT_EQ(++seen[name.str()], 1) << "duplicated item " << name.str();
        }
        const int first = std::string(key) == "PrinterSet" ? 0 : 1;
        for (int p = first; p < kProcesses; p += 2) {
            char buf[32];
            ASSERT_EQ(store.GetItem(key, ("Proc" + std::to_string(p)).c_str(), buf, sizeof buf), 1);
            EXPECT_STREQ(buf, std::to_string(kRounds).c_str());
        }
        char buf[32];
        ASSERT_EQ(store.GetItem(key, "Shared", buf, sizeof buf), 1);
        EXPECT_NE(std::string(buf).find(":" + std::to_string(kRounds)), std::string::npos)
            << "the last close of Shared must stand: " << buf;
    }
}

TEST_F(ConcurrencyTest, TwoObjectsChangingDifferentItemsBothLand)
{
    CQorvane a(dir.Path().c_str());
    CQorvane b(dir.Path().c_str());
    ASSERT_EQ(a.OpenKey("PrinterSet"), 1);
    ASSERT_EQ(b.OpenKey("PrinterSet"), 1);
    a.SetItem(KEYID_PRINTERSET, "A", Mutable("from a"));
    a.SetItem(KEYID_PRINTERSET, "Port", Mutable("a"));
    b.SetItem(KEYID_PRINTERSET, "B", Mutable("from b"));
    b.SetItem(KEYID_PRINTERSET, "Port", Mutable("b"));
    ASSERT_EQ(a.CloseKey(0), 1);
    ASSERT_EQ(b.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nPort = b;\r\nA = from a;\r\nB = from b;\r\n");
}

}  // namespace

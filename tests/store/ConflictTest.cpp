// The checked close (CloseKeyChecked), ReopenKey and the UpdateKey loop:
// which changes of another process stop a write, and that none is lost.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace {

using qorvane::testing::ReadFile;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;

char* Mutable(const char* text)
{
    return const_cast<char*>(text);
}

// "name:read>file>mine" with "-" for absent, for each conflict.
std::string Conflicts(const CQorvane& store)
{
    std::string out;
    KeyConflict c;
    for (int i = 0; store.GetConflictAt(i, c) == 1; ++i) {
        const auto v = [](int there, const CString& value) { return there != 0 ? value.str() : std::string("-"); };
        out += (out.empty() ? "" : " ") + c.strName.str() + ":" + v(c.bRead, c.strRead) + ">" +
               v(c.bFile, c.strFile) + ">" + v(c.bMine, c.strMine);
    }
    return out;
}

struct Change {
    const char* name;
    const char* value;  // nullptr: remove
};

struct ConflictCase {
    const char* name;
    std::string before;             // the section's lines at OpenKey
    std::vector<Change> storedFirst;  // with no key open
    std::vector<Change> changes;    // after OpenKey
    std::string meanwhile;          // the section's lines at close
    std::string conflicts;          // as Conflicts() prints them; "" writes
};

void PrintTo(const ConflictCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConflictRuleTest : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(ConflictRuleTest, WritesOrStopsWithTheConflicts)
{
    const ConflictCase& c = GetParam();
    TempDir dir;
    const std::string head = "[PrinterSet]\r\n";
    const std::string other = "\r\n[HotKeySet]\r\nKeep = 1;\r\n";
    WriteFile(dir.Settings(), head + c.before + other);
    CQorvane store(dir.Path().c_str());
    const auto apply = [&](const std::vector<Change>& changes) {
        for (const Change& ch : changes) {
            if (ch.value != nullptr) {
                ASSERT_GT(store.SetItem(store.GetKeyID(), ch.name, Mutable(ch.value)), 0);
            } else {
                ASSERT_EQ(store.RemoveItem(store.GetKeyID(), ch.name), 1);
            }
        }
    };
    apply(c.storedFirst);
    ASSERT_GE(store.OpenKey("PrinterSet"), 0);
    apply(c.changes);
    WriteFile(dir.Settings(), head + c.meanwhile + other);

    const int rc = store.CloseKeyChecked(0);
    EXPECT_EQ(Conflicts(store), c.conflicts);
    if (c.conflicts.empty()) {
        EXPECT_EQ(rc, 1);
        EXPECT_EQ(store.GetKeyName(), "");
        return;
    }
    EXPECT_EQ(rc, -5);
    EXPECT_EQ(ReadFile(dir.Settings()), head + c.meanwhile + other) << "nothing may be written";
    EXPECT_EQ(store.GetKeyName(), "PrinterSet") << "kept open with its changes";
    EXPECT_TRUE(store.IsModified());
}

const ConflictCase kConflictCases[] = {
    {"Changed", "A = 1;\r\n", {}, {{"A", "2"}}, "A = 3;\r\n", "A:1>3>2"},
    {"RemovedByAnother", "A = 1;\r\n", {}, {{"A", "2"}}, "", "A:1>->2"},
    {"AddedByAnother", "", {}, {{"B", "2"}}, "B = 5;\r\n", "B:->5>2"},
    {"ChangedBackToTheSameValue", "A = 1;\r\nC = 1;\r\n", {}, {{"A", "2"}}, "A = 1;\r\nC = 9;\r\n", ""},
    // Another may have worked out the same value from the same read.
    {"SameNewValue", "A = 1;\r\n", {}, {{"A", "2"}}, "A = 2;\r\n", "A:1>2>2"},
    {"UntouchedItemsNever", "A = 1;\r\nC = 1;\r\n", {}, {{"A", "2"}}, "C = 9;\r\nD = 1;\r\nA = 1;\r\n", ""},
    {"LaterDuplicateDoesNotCount", "A = 1;\r\nA = 7;\r\n", {}, {{"A", "2"}}, "A = 1;\r\nA = 8;\r\n", ""},
    {"DuplicateBecomesFirst", "A = 1;\r\nA = 7;\r\n", {}, {{"A", "2"}}, "A = 7;\r\n", "A:1>7>2"},
    {"CommentAndSpacingOnly", "A = 1;\r\n", {}, {{"A", "2"}}, "  A=1 ; note\r\n", ""},
    {"RemovalOfAChangedItem", "A = 1;\r\n", {}, {{"A", nullptr}}, "A = 3;\r\n", "A:1>3>-"},
    {"RemovalOfARemovedItem", "A = 1;\r\nC = 1;\r\n", {}, {{"A", nullptr}}, "C = 1;\r\n", "A:1>->-"},
    {"SetThenRemovedComparesWithTheRead", "A = 1;\r\n", {}, {{"A", "2"}, {"A", nullptr}}, "A = 3;\r\n", "A:1>3>-"},
    {"StoredBeforeOpenReadsTheKeysValue", "X = 1;\r\n", {{"X", "2"}}, {}, "X = 4;\r\n", "X:1>4>2"},
    {"StoredBeforeOpenReadsAbsent", "", {{"X", "2"}}, {}, "X = 4;\r\n", "X:->4>2"},
    {"SeveralInReadOrder", "A = 1;\r\nB = 1;\r\n", {}, {{"B", "2"}, {"A", "2"}, {"N", "2"}}, "A = 0;\r\nB = 0;\r\n",
     "B:1>0>2 A:1>0>2"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConflictRuleTest, ::testing::ValuesIn(kConflictCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckedCloseTest, AfterAConflictTheCallerChooses)
{
    TempDir dir;
    WriteFile(dir.Settings(), "[PrinterSet]\r\nA = 1;\r\n");
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.CloseKeyChecked(0), 0);
    EXPECT_EQ(store.ReopenKey(), -1);
    const auto conflicting = [&] {
        WriteFile(dir.Settings(), "[PrinterSet]\r\nA = 1;\r\n");
        store.OpenKey("PrinterSet");
        store.SetItem(KEYID_PRINTERSET, "A", Mutable("mine"));
        WriteFile(dir.Settings(), "[PrinterSet]\r\nA = theirs;\r\n");
        return store.CloseKeyChecked(0);
    };
    // Re-read: the file's values, no changes.
    ASSERT_EQ(conflicting(), -5);
    EXPECT_EQ(store.ReopenKey(), 1);
    EXPECT_FALSE(store.IsModified());
    char buf[16];
    ASSERT_EQ(store.GetItem(KEYID_PRINTERSET, "A", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "theirs");
    EXPECT_EQ(store.CloseKeyChecked(0), 1);
    EXPECT_EQ(store.GetConflictCount(), 0) << "a checked close empties the list";
    // Write anyway.
    ASSERT_EQ(conflicting(), -5);
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nA = mine;\r\n");
    // Drop: bClearOnFail closes the key; the conflicts stay readable.
    ASSERT_EQ(conflicting(), -5);
    EXPECT_EQ(store.CloseKeyCheckedWait(1, 100), -5);
    EXPECT_EQ(store.GetKeyName(), "");
    EXPECT_EQ(Conflicts(store), "A:1>theirs>mine");
    KeyConflict out;
    EXPECT_EQ(store.GetConflictAt(1, out), 0);
    EXPECT_EQ(store.GetConflictAt(-1, out), 0);
}

TEST(UpdateKeyTest, ResultsAndTries)
{
    TempDir dir;
    WriteFile(dir.Settings(), "[PrinterSet]\r\nN = 0;\r\n");
    CQorvane store(dir.Path().c_str());
    int calls = 0;
    // Another process changes N between every open and close.
    const auto contested = [&](CQorvane& s) {
        ++calls;
        CQorvane other(dir.Path().c_str());
        other.OpenKey("PrinterSet");
        other.SetItem(KEYID_PRINTERSET, "N", Mutable(std::to_string(calls).c_str()));
        other.CloseKey(0);
        return s.SetItem(KEYID_PRINTERSET, "N", Mutable("mine"));
    };
    EXPECT_EQ(store.UpdateKey("PrinterSet", contested, 3, 100), -5);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(Conflicts(store), "N:2>3>mine");
    EXPECT_EQ(store.GetKeyName(), "");

    const auto declines = [](CQorvane& s) {
        s.SetItem(KEYID_PRINTERSET, "N", Mutable("x"));
        return 0;
    };
    EXPECT_EQ(store.UpdateKey("PrinterSet", declines, 1, 100), 0);
    EXPECT_EQ(store.UpdateKey("Nope", declines, 1, 100), -2);
    EXPECT_EQ(store.UpdateKey("PrinterSet", nullptr, 1, 100), -2);
    EXPECT_THROW(store.UpdateKey("PrinterSet", [](CQorvane&) -> int { throw 7; }, 1, 100), int);
    EXPECT_EQ(store.GetKeyName(), "") << "an exception leaves no key open";
    store.SetItem(0UL, "Stored", Mutable("1"));
    EXPECT_EQ(store.UpdateKey("PrinterSet", declines, 1, 100), -1);
    EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nN = 3;\r\n");
}

// Eight processes add one to a counter item 200 times each: through the
// checked close with re-tries none of the increments is lost.
TEST(UpdateKeyTest, ConcurrentIncrementsAreNeverLost)
{
    constexpr int kProcesses = 8;
    constexpr int kRounds = 200;
    TempDir dir;
    WriteFile(dir.Settings(), "[PrinterSet]\r\nCount = 0;\r\n");
    qorvane::testing::Gate go;
    int seen[2];
    ASSERT_EQ(::pipe(seen), 0);
    std::vector<pid_t> pids;
    for (int p = 0; p < kProcesses; ++p) {
        pids.push_back(qorvane::testing::StartChild([&]() -> int {
            if (!go.Wait()) return 9;
            CQorvane store(dir.Path().c_str());
            int tries = 0;
            const auto increment = [&](CQorvane& s) {
                ++tries;
                char buf[32];
                if (s.GetItem(KEYID_PRINTERSET, "Count", buf, sizeof buf) != 1) return 0;
                const std::string next = std::to_string(std::stoi(buf) + 1);
                return s.SetItem(KEYID_PRINTERSET, "Count", Mutable(next.c_str()));
            };
            for (int i = 0; i < kRounds; ++i) {
                if (store.UpdateKey("PrinterSet", increment, 1000, 30000) != 1) return 10;
            }
            const int conflicts = tries - kRounds;
            return ::write(seen[1], &conflicts, sizeof conflicts) == sizeof conflicts ? 0 : 11;
        }));
    }
    ::close(seen[1]);
    for (int p = 0; p < kProcesses; ++p) go.Signal();
    for (const pid_t pid : pids) EXPECT_EQ(qorvane::testing::ExitCodeOf(qorvane::testing::WaitChild(pid)), 0);
    int conflicts = 0;
    for (int n = 0; ::read(seen[0], &n, sizeof n) == sizeof n;) conflicts += n;
    ::close(seen[0]);
    CQorvane check(dir.Path().c_str());
    ASSERT_EQ(check.OpenKey("PrinterSet"), 1);
    char buf[32];
    ASSERT_EQ(check.GetItem(KEYID_PRINTERSET, "Count", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, std::to_string(kProcesses * kRounds).c_str());
    RecordProperty("conflicts_seen", conflicts);
    std::printf("%d increments, 0 lost, %d conflicts seen (re-tried)\n", kProcesses * kRounds, conflicts);
}

}  // namespace

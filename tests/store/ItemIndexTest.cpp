// The item list's name index against a plain list walked from the front:
// every GetItem, SetItem and RemoveItem on generated keys with repeated
// names, removals and re-adds gives the same result, the same list and the
// same file as the walk would.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "format/CharScan.h"
#include "qorvane/Qorvane.h"
#include "store/KeyText.h"
#include "store/NameTable.h"
#include "testing/Testing.h"

namespace {

using qorvane::testing::ReadFile;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;

// The list as the calls describe it, walked from the front every time.
struct PlainList {
    std::vector<KeyItem> items;
    std::vector<std::uint16_t> states;
    std::vector<CString> removed;

    std::size_t First(const std::string& name) const
    {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].strName == name.c_str()) return i;
        }
        return items.size();
    }
    int Get(const std::string& name, std::string& value) const
    {
        const std::size_t i = First(name);
        if (i == items.size()) return 0;
        value = items[i].strValue.str();
        return 1;
    }
    int Set(const std::string& name, const std::string& value)
    {
        const std::size_t i = First(name);
        if (i != items.size()) {
            items[i].strValue = value.c_str();
            states[i] = 1;
            return 1;
        }
        items.push_back(KeyItem{name.c_str(), value.c_str()});
        states.push_back(1);
        removed.erase(std::remove(removed.begin(), removed.end(), CString(name)), removed.end());
        return 2;
    }
    int Remove(const std::string& name)
    {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].strName == name.c_str()) continue;
            items[kept] = items[i];
            states[kept++] = states[i];
        }
        if (kept == items.size()) return 0;
        items.resize(kept);
        states.resize(kept);
        removed.emplace_back(name.c_str());
        return 1;
    }
};

struct IndexCase {
    const char* name;
    const char* locale;   // LC_CTYPE for the run
    std::size_t lines;    // item lines in the key's section
    std::size_t pool;     // distinct names they are drawn from (fewer: repeats)
    std::size_t calls;
};

class ItemIndexTest : public ::testing::TestWithParam<IndexCase> {};

// "G\x81[" is one GBK character whose trail byte is '['.
std::string NameOf(std::size_t k) { return k % 3 == 0 ? "G\x81[" + std::to_string(k) : "N" + std::to_string(k); }

TEST_P(ItemIndexTest, EveryCallMatchesAPlainWalk)
{
    const IndexCase& c = GetParam();
    const std::string oldLocale = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, c.locale) == nullptr) GTEST_SKIP() << "locale " << c.locale << " missing";
    struct Restore {
        std::string locale;
        ~Restore() { std::setlocale(LC_CTYPE, locale.c_str()); }
    } restore{oldLocale};

    std::mt19937 rng(static_cast<unsigned>(c.lines * 31 + c.pool));
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    TempDir dir;
    PlainList plain;
    std::string file = "[HotKeySet]\r\nA = 1;\r\n\r\n[PrinterSet]\r\n";
    for (std::size_t i = 0; i < c.lines; ++i) {
        const std::string name = NameOf(pick(c.pool));
        const std::string value = "v" + std::to_string(i) + "\x81]";
        file += name + " = " + value + (i % 7 == 0 ? "; note\r\n" : ";\r\n");
        plain.items.push_back(KeyItem{name.c_str(), value.c_str()});
        plain.states.push_back(0);
    }
    file += "\r\n[Other]\r\nB = 2;\r\n";
    WriteFile(dir.Settings(), file);

    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    char buf[64];
    for (std::size_t call = 0; call < c.calls; ++call) {
        // Names beyond the pool are new; a removed name comes back often.
        const std::string name = NameOf(pick(c.pool + c.pool / 4 + 2));
        const std::size_t kind = pick(10);
        if (kind < 5) {
            std::string want;
            const int rc = plain.Get(name, want);
            ASSERT_EQ(store.GetItem(KEYID_PRINTERSET, name.c_str(), buf, sizeof buf), rc) << name;
            if (rc == 1) {
                ASSERT_EQ(std::string(buf), want);
            }
        } else if (kind < 8) {
            std::string value = "s" + std::to_string(call);
            ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, name.c_str(), value.data()), plain.Set(name, value)) << name;
        } else {
            ASSERT_EQ(store.RemoveItem(KEYID_PRINTERSET, name.c_str()), plain.Remove(name)) << name;
        }
        if (call % 97 == 0 || call + 1 == c.calls) {
            ASSERT_EQ(store.GetItemCount(), static_cast<int>(plain.items.size()));
            for (std::size_t i = 0; i < plain.items.size(); ++i) {
                CString n;
                CString v;
                ASSERT_EQ(store.GetItemAt(static_cast<int>(i), n, v), 1);
                ASSERT_EQ(n, plain.items[i].strName);
                ASSERT_EQ(v, plain.items[i].strValue);
            }
        }
    }

    // The file is what both merges make of the plain list.
    const auto scan = qorvane::format::CharScan::FromLocale();
    using qorvane::store::MergeWalk;
    const std::string spans =
        qorvane::store::MergeKey(scan, file, "PrinterSet", plain.items, plain.states, plain.removed).Flatten();
    const std::string lines = qorvane::store::MergeKey(scan, file, "PrinterSet", plain.items, plain.states,
                                                       plain.removed, MergeWalk::LineByLine)
                                  .Flatten();
    ASSERT_EQ(spans, lines);
    ASSERT_EQ(store.CloseKey(1), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), spans);
}

INSTANTIATE_TEST_SUITE_P(Keys, ItemIndexTest,
                         ::testing::Values(IndexCase{"Empty", "C", 0, 8, 200},
                                           IndexCase{"SmallManyRepeats", "C", 40, 10, 600},
                                           IndexCase{"SmallManyRepeatsGbk", "zh_CN.GBK", 40, 10, 600},
                                           IndexCase{"FewCallsOnABigKey", "C", 600, 500, 12},
                                           IndexCase{"FewRepeats", "C", 600, 500, 3000},
                                           IndexCase{"FewRepeatsGbk", "zh_CN.GBK", 600, 500, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A key of 100,000 items: every call answers as for a small key.
TEST(ItemIndexLargeKeyTest, HundredThousandItems)
{
    constexpr int kItems = 100000;
    TempDir dir;
    std::string file = "[PrinterSet]\r\n";
    for (int i = 0; i < kItems; ++i) file += "Item" + std::to_string(i) + " = value" + std::to_string(i) + ";\r\n";
    WriteFile(dir.Settings(), file);

    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    char buf[32];
    std::string value;
    int removed = 0;
    for (int i = 0; i < kItems; ++i) {
        const std::string name = "Item" + std::to_string(i);
        ASSERT_EQ(store.GetItem(KEYID_PRINTERSET, name.c_str(), buf, sizeof buf), 1);
        ASSERT_EQ(std::string(buf), "value" + std::to_string(i));
        if (i % 2 == 0) {
            value = "x" + std::to_string(i);
            ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, name.c_str(), value.data()), 1);
        } else if (i % 3 == 0) {
            ASSERT_EQ(store.RemoveItem(KEYID_PRINTERSET, name.c_str()), 1);
            ++removed;
        }
        value = "n" + std::to_string(i);
        if (i % 10 == 0) {
            ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, ("New" + std::to_string(i)).c_str(), value.data()), 2);
        }
    }
    ASSERT_EQ(store.CloseKey(1), 1);

    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    ASSERT_EQ(store.GetItemCount(), kItems - removed + kItems / 10);
    CString name;
    CString got;
    ASSERT_EQ(store.GetItemAt(0, name, got), 1);
    EXPECT_EQ(name, "Item0");
    EXPECT_EQ(got, "x0");
    ASSERT_EQ(store.GetItemAt(1, name, got), 1);
    EXPECT_EQ(name, "Item1");
    EXPECT_EQ(store.GetItem(KEYID_PRINTERSET, "Item3", buf, sizeof buf), 0);
    ASSERT_EQ(store.GetItem(KEYID_PRINTERSET, "New99990", buf, sizeof buf), 1);
    EXPECT_EQ(std::string(buf), "n99990");
    ASSERT_EQ(store.GetItemAt(store.GetItemCount() - 1, name, got), 1);
    EXPECT_EQ(name, "New99990");
}

// Names whose first word equals the hash's multiplier (little-endian)
// would zero a product and, with it, the bytes mixed in before or beside
// it: a file could pile every such name into one probe chain. Short names
// and names of two 16-byte blocks, the varying digits where they were lost.
TEST(NameTable, NamesBuiltToZeroAProductStillSpread)
{
    using qorvane::store::NameTable;
    const std::string multiplier("\xDB\x28\xB4\xA0\xD1\x7E\x03\xE7", 8);
    for (const char* tail : {"", "xx0123456789abcdef"}) {
        std::set<std::size_t> hashes;
        for (int k = 0; k < 1000; ++k) hashes.insert(NameTable::Hash(multiplier + std::to_string(100000 + k) + tail));
        EXPECT_GT(hashes.size(), 990u) << "tail \"" << tail << "\"";
    }
}

// Room reserved for one more position takes it without growing the table,
// whatever tombstones erasing left (RemoveItem counts on it: its insertion
// comes after changes that cannot be undone).
TEST(NameTable, ReservedRoomHoldsDespiteTombstones)
{
    using qorvane::store::NameTable;
    for (const std::size_t erased : {0u, 3u, 6u, 11u}) {
        std::vector<std::string> names;
        for (int k = 0; k < 13; ++k) names.push_back("n" + std::to_string(k));
        auto nameAt = [&](std::size_t p) { return std::string_view(names[p]); };
        NameTable table;
        for (std::size_t p = 0; p < 12; ++p) table.Insert(NameTable::Hash(names[p]), p, nameAt);
        for (std::size_t p = 0; p < erased; ++p) table.Erase(names[p], NameTable::Hash(names[p]), nameAt);
        table.Reserve(table.Size() + 1, nameAt);
        EXPECT_GE(table.Room(), 1u) << erased << " erased";
        table.Insert(NameTable::Hash(names[12]), 12, nameAt);
        EXPECT_EQ(table.Find(names[12], NameTable::Hash(names[12]), nameAt), 12u) << erased << " erased";
    }
}

}  // namespace

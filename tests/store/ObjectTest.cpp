// The object in memory: directory, catalogue, GetItem / SetItem and their
// result codes, and bad input.
#include <gtest/gtest.h>

#include <string>

#include "qorvane/Qorvane.h"

namespace {

char* Mutable(const char* text)
{
    return const_cast<char*>(text);  // SetItem takes char* but only reads it
}

TEST(SetInfPath, NormalisesTheDirectory)
{
    struct Case {
        const char* in;
        const char* stored;
    };
    const Case cases[] = {
        {"/etc/app", "/etc/app/"},
        {" \t/etc/app \r\n", "/etc/app/"},
        {"/etc/app/", "/etc/app/"},
        {"dir\\", "dir\\/"},  // a backslash is an ordinary character here
        {"", ""},
        {"  \t ", ""},
        {nullptr, ""},
        {"/", "/"},
    };
    for (const Case& c : cases) {
        CQorvane store(c.in);
        EXPECT_STREQ(store.GetInfPath(), c.stored) << (c.in ? c.in : "(null)");
        CQorvane later;
        later.SetInfPath(c.in);
        EXPECT_EQ(later.GetInfPath(), store.GetInfPath());
    }
}

TEST(Catalogue, TranslatesBothWays)
{
    EXPECT_EQ(CQorvane::Keys_Name2ID("PrinterSet"), KEYID_PRINTERSET);
    EXPECT_EQ(CQorvane::Keys_Name2ID("HotKeySet"), KEYID_HOTKEYSET);
    EXPECT_EQ(CQorvane::Keys_Name2ID(" \tHotKeySet\r\n"), KEYID_HOTKEYSET);
    EXPECT_EQ(CQorvane::Keys_Name2ID("printerset"), 0u);
    EXPECT_EQ(CQorvane::Keys_Name2ID("Printer Set"), 0u);
    EXPECT_EQ(CQorvane::Keys_Name2ID(""), 0u);
    EXPECT_EQ(CQorvane::Keys_Name2ID(nullptr), 0u);

    for (const unsigned long id : {KEYID_PRINTERSET, KEYID_HOTKEYSET}) {
        CString name;
        ASSERT_EQ(CQorvane::Keys_ID2Name(id, name), 1);
        EXPECT_EQ(CQorvane::Keys_Name2ID(name), id);
    }
    for (const unsigned long id : {0ul, 0x1000ul, 0x1003ul, 0x100001001ul}) {
        CString name("keep");
        EXPECT_EQ(CQorvane::Keys_ID2Name(id, name), 0);
        EXPECT_STREQ(name, "keep");
    }
}

TEST(Items, SetAndGetWithNoKeyOpenUseIdZero)
{
    CQorvane store;
    char buf[16] = "untouched";
    EXPECT_EQ(store.GetItem(0ul, "Port", buf, sizeof buf), 0);
    EXPECT_EQ(store.GetItem("Unknown", "Port", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_EQ(store.GetItem(KEYID_PRINTERSET, "Port", buf, sizeof buf), -1);
    EXPECT_EQ(store.GetItem("PrinterSet", "Port", buf, sizeof buf), -1);

    EXPECT_EQ(store.SetItem(0ul, "Port", Mutable("LPT1")), 2);
    EXPECT_EQ(store.SetItem("Nope", "Port", Mutable("LPT2")), 1);
    EXPECT_EQ(store.SetItem(KEYID_HOTKEYSET, "Port", Mutable("x")), -1);
    EXPECT_TRUE(store.IsModified());
    EXPECT_EQ(store.GetItem(0ul, "Port", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "LPT2");
    EXPECT_EQ(store.GetItemCount(), 1);
}

TEST(Items, SecondSetOfANewNameChangesTheSameRecord)
{
    CQorvane store;
    EXPECT_EQ(store.SetItem(0ul, "A", Mutable("1")), 2);
    EXPECT_EQ(store.SetItem(0ul, "B", Mutable("2")), 2);
    EXPECT_EQ(store.SetItem(0ul, "A", Mutable("3")), 1);
    ASSERT_EQ(store.GetItemCount(), 2);
    CString name;
    CString value;
    ASSERT_EQ(store.GetItemAt(0, name, value), 1);
    EXPECT_STREQ(name, "A");
    EXPECT_STREQ(value, "3");
    EXPECT_EQ(store.GetItemAt(2, name, value), 0);
    EXPECT_EQ(store.GetItemAt(-1, name, value), 0);
}

TEST(Items, GetItemCutsToTheBufferByBytes)
{
    CQorvane store;
    store.SetItem(0ul, "V", Mutable("abcdef"));
    struct Case {
        int size;
        const char* expect;
    };
    const Case cases[] = {{1, ""}, {2, "a"}, {6, "abcde"}, {7, "abcdef"}, {64, "abcdef"}};
    for (const Case& c : cases) {
        std::string buf(static_cast<std::size_t>(c.size) + 1, '#');
        EXPECT_EQ(store.GetItem(0ul, "V", buf.data(), c.size), 1);
        EXPECT_STREQ(buf.c_str(), c.expect) << "size " << c.size;
        EXPECT_EQ(buf[static_cast<std::size_t>(c.size)], '#') << "wrote past the buffer";
    }
}

TEST(Items, BadInputIsRefusedAndChangesNothing)
{
    CQorvane store;
    store.SetItem(0ul, "Keep", Mutable("1"));
    char buf[8] = "same";
    EXPECT_EQ(store.GetItem(0ul, nullptr, buf, sizeof buf), -2);
    EXPECT_EQ(store.GetItem(0ul, "Keep", nullptr, 8), -2);
    EXPECT_EQ(store.GetItem(0ul, "Keep", buf, 0), -2);
    EXPECT_EQ(store.GetItem(0ul, "Keep", buf, -5), -2);
    EXPECT_EQ(store.GetItem("PrinterSet", nullptr, buf, sizeof buf), -2);  // before the ID check
    EXPECT_STREQ(buf, "same");

    const char* badNames[] = {nullptr, "a\nb", "a\rb", "a\x1a" "b"};
    for (const char* name : badNames) {
        EXPECT_EQ(store.SetItem(0ul, name, Mutable("v")), -2);
        EXPECT_EQ(store.SetItem("HotKeySet", name, Mutable("v")), -2);
    }
    const char* badValues[] = {nullptr, "line1\r\nline2", "x\n", "\r", "end\x1a"};
    for (const char* value : badValues) EXPECT_EQ(store.SetItem(0ul, "Keep", Mutable(value)), -2);

    ASSERT_EQ(store.GetItemCount(), 1);
    EXPECT_EQ(store.GetItem(0ul, "Keep", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "1");
}

TEST(Items, DuplicateNamesResolveToTheFirst)
{
    CQorvane store;
    store.SetItem(0ul, "A", Mutable("1"));
    store.SetItem(0ul, "B", Mutable("2"));
    // Names are compared exactly: "a" and "A " are other items.
    EXPECT_EQ(store.SetItem(0ul, "a", Mutable("3")), 2);
    EXPECT_EQ(store.SetItem(0ul, "A ", Mutable("4")), 2);
    char buf[8];
    ASSERT_EQ(store.GetItem(0ul, "A", buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "1");
}

}  // namespace

// Regression (ItemLineReadAsAHeaderHidesTheKeysItems): SetItem took any
// name and value free of CR, LF and 0x1A, and CloseKey wrote its line
// "name = value;". When that line does not read as an item but does read as
// a key line ("Ports[0] = ;" after setting an empty value), every reader
// takes it for the next section's header: the items after it, old ones
// included, vanish from the key. When it names a key of the catalogue
// ("[HotKeySet] = on;" in PrinterSet), the search for that key stops at it
// and reads PrinterSet's items as its own. Such an item is now refused with
// -2, like one holding a line break; items whose lines read as items stay
// accepted, brackets and all.
#include <gtest/gtest.h>

#include <string>

#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;

constexpr const char* kFile =
    "[PrinterSet]\r\nPorts[0] = LPT1;\r\nSpeed = 2;\r\n\r\n[HotKeySet]\r\nCopy = Ctrl+C;\r\n";

std::string Get(const std::string& dir, const char* key, const char* item)
{
    CQorvane store(dir.c_str());
    if (store.OpenKey(key) < 0) return "<open failed>";
    char buf[64];
    const int rc = store.GetItem(key, item, buf, sizeof buf);
    return rc == 1 ? std::string(buf) : "<" + std::to_string(rc) + ">";
}

TEST(HeaderLikeItemTest, ItemsWhoseLineReadsAsAHeaderAreRefusedAndTheKeysStayWhole)
{
    struct Case {
        const char* name;
        const char* value;
    };
    const Case refused[] = {
        {"Ports[0]", ""},             // replaces a line in the middle of the section
        {"Ports[0]", "   "},          // blank value: no item, still a key line
        {"Ports[0]", "; gone"},       // the value is all comment
        {"[New]", ""},                // added at the end of the section
        {"[x];", "v"},                // the name's ';' hides the '='
        {"[HotKeySet]", "on"},        // an item, but it names another key
        {" [ HotKeySet ] ", "on"},
        {"a[PrinterSet]b", "on"},     // harmless in its own key, not in one before it
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(std::string("\"") + c.name + "\" = \"" + c.value + "\"");
        TempDir dir;
        WriteFile(dir.Settings(), kFile);
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        std::string value = c.value;
        EXPECT_EQ(store.SetItem(KEYID_PRINTERSET, c.name, value.data()), -2);
        char after[] = "late";
        EXPECT_EQ(store.SetItem(KEYID_PRINTERSET, "Later", after), 2);
        ASSERT_EQ(store.CloseKey(0), 1);
        EXPECT_EQ(Get(dir.Path(), "PrinterSet", "Ports[0]"), "LPT1");
        EXPECT_EQ(Get(dir.Path(), "PrinterSet", "Speed"), "2");
        EXPECT_EQ(Get(dir.Path(), "PrinterSet", "Later"), "late");
        EXPECT_EQ(Get(dir.Path(), "HotKeySet", "Copy"), "Ctrl+C");
        EXPECT_EQ(Get(dir.Path(), "HotKeySet", "Later"), "<0>");
    }
}

TEST(HeaderLikeItemTest, BracketsInItemsThatReadAsItemsStayAccepted)
{
    const char* const names[] = {"Ports[0]", "[x]", "a[Printer]b", "x [Other]"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        TempDir dir;
        WriteFile(dir.Settings(), kFile);
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        char value[] = "COM3";
        EXPECT_GT(store.SetItem(KEYID_PRINTERSET, name, value), 0);
        ASSERT_EQ(store.CloseKey(0), 1);
        EXPECT_EQ(Get(dir.Path(), "PrinterSet", name), "COM3");
        EXPECT_EQ(Get(dir.Path(), "PrinterSet", "Speed"), "2");
        EXPECT_EQ(Get(dir.Path(), "HotKeySet", "Copy"), "Ctrl+C");
    }
}

}  // namespace

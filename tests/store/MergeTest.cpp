// The merge as a pure function: whole file bytes in, whole file bytes out.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "format/CharScan.h"
#include "store/KeyText.h"

namespace {

using namespace std::string_literals;

// Lines joined with the line end the library writes.
std::string Crlf(std::initializer_list<std::string> lines)
{
    std::string out;
    for (const std::string& line : lines) out += line + "\r\n";
    return out;
}

struct Pending {
    std::string name;
    std::string value;
    std::uint16_t state;
};

std::string Merge(const std::string& content, const std::string& key, const std::vector<Pending>& items)
{
    std::vector<KeyItem> records;
    std::vector<std::uint16_t> states;
    for (const Pending& p : items) {
        records.push_back(KeyItem{p.name.c_str(), p.value.c_str()});
        states.push_back(p.state);
    }
    return qorvane::store::MergeKey(qorvane::format::CharScan::Bytes(), content, key, records, states)
        .Flatten();
}

struct MergeCase {
    const char* name;
    std::string file;
    std::string key;
    std::vector<Pending> items;
    std::string expect;
};

void PrintTo(const MergeCase& c, std::ostream* os)
{
    *os << c.name;
}

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, ProducesTheExpectedFile)
{
    const MergeCase& c = GetParam();
    EXPECT_EQ(Merge(c.file, c.key, c.items), c.expect);
}

const MergeCase kCases[] = {
    {"WorkedExample",
     "\n; printer settings\n\n\n[PrinterSet]\nPort = 1;\nSpeed=2 ; fast\n  \n\n[HotKeySet]\nCopy = Ctrl+C;\n[Other]\nItem = x;\n",
     "PrinterSet",
     {{"Port", "1", 0}, {"Speed", "3", 1}, {"Mode", "A", 1}},
     Crlf({"; printer settings", "", "[PrinterSet]", "Port = 1;", "Speed = 3;", "  ", "Mode = A;", "",
           "[HotKeySet]", "Copy = Ctrl+C;", "", "[Other]", "Item = x;"})},
    {"ChangedItemLosesItsCommentUnchangedKeepsIt",
     "[PrinterSet]\r\nA = 1; one\r\nB = 2; two\r\n",
     "PrinterSet",
     {{"A", "1", 0}, {"B", "9", 1}},
     Crlf({"[PrinterSet]", "A = 1; one", "B = 9;"})},
    {"NewItemGoesAfterTheBlankLineBeforeTheNextHeader",
     "[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nK = v;\r\n",
     "PrinterSet",
     {{"New", "n", 1}},
     Crlf({"[PrinterSet]", "A = 1;", "", "New = n;", "", "[HotKeySet]", "K = v;"})},
    {"MissingSectionIsAppendedWithAllItems",
     "[HotKeySet]\r\nK = v;",
     "PrinterSet",
     {{"Old", "o", 0}, {"New", "n", 1}},
     Crlf({"[HotKeySet]", "K = v;", "", "[PrinterSet]", "Old = o;", "New = n;"})},
    {"MissingSectionAfterATrailingBlankLineGetsNoSecondOne",
     "[HotKeySet]\r\n\r\n\r\n",
     "PrinterSet",
     {{"New", "n", 1}},
     Crlf({"[HotKeySet]", "", "[PrinterSet]", "New = n;"})},
    {"EmptyFileGetsTheSection",
     "",
     "PrinterSet",
     {{"New", "n", 1}},
     Crlf({"[PrinterSet]", "New = n;"})},
    {"LeadingBlankLinesGoAndRunsShrink",
     "\r\n \r\n; c\r\n\r\n\t\r\n\r\n[PrinterSet]\r\nA = 1;\r\n\r\n\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"; c", "", "[PrinterSet]", "A = 2;", ""})},
    {"LaterHeadersGetASeparatorEarlierOnesDoNot",
     "[Before]\r\nx = 1;\r\n[PrinterSet]\r\nA = 1;\r\n[HotKeySet]\r\n[Third]\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[Before]", "x = 1;", "[PrinterSet]", "A = 2;", "", "[HotKeySet]", "", "[Third]"})},
    {"OnlyTheFirstSectionOfTheNameIsMergedInto",
     "[PrinterSet]\r\nA = 1;\r\n[PrinterSet]\r\nA = 1;\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "A = 2;", "", "[PrinterSet]", "A = 1;"})},
    {"DuplicateLinesOnlyTheFirstIsReplaced",
     "[PrinterSet]\r\nA = 1;\r\nA = 1;\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "A = 2;", "A = 1;"})},
    {"ChangedItemWhoseLineVanishedIsAppended",
     "[PrinterSet]\r\nB = 1;\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "B = 1;", "A = 2;"})},
    {"ItemThatLooksLikeAHeaderDoesNotEndTheSection",
     "[PrinterSet]\r\n[a = b]\r\nA = 1;\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "[a = b]", "A = 2;"})},
    {"CommentedHeaderIsNotTheSection",
     "; [PrinterSet]\r\nA = 1;\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"; [PrinterSet]", "A = 1;", "", "[PrinterSet]", "A = 2;"})},
    {"KeyNameWithBlanksNeverMatchesAndIsWrittenWithThem",
     "[PrinterSet]\r\n",
     " PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "", "[ PrinterSet]", "A = 2;"})},
    {"EmptyValueIsWrittenButBlank",
     "[PrinterSet]\r\nA = 1;\r\n",
     "PrinterSet",
     {{"A", "", 1}},
     Crlf({"[PrinterSet]", "A = ;"})},
    {"BytesFromThe1AOnAreKept",
     "[PrinterSet]\r\nA = 1;\r\n\x1a[HotKeySet]\r\nhidden = 1;\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "A = 2;"}) + "\x1a[HotKeySet]\r\nhidden = 1;\r\n"},
    {"NulInsideALinePassesThroughAndIsNotBlank",
     "[PrinterSet]\r\nA = 1;\0 = garbage\r\n \0 \r\n \0 \r\nB = 1;\r\n"s,
     "PrinterSet",
     {{"B", "2", 1}},
     Crlf({"[PrinterSet]", "A = 1;\0 = garbage"s, " \0 "s, " \0 "s, "B = 2;"})},
    {"CrBeforeTheLineEndBelongsToTheLine",
     "[PrinterSet]\r\nA = 1;\r\r\n",
     "PrinterSet",
     {{"A", "2", 1}},
     Crlf({"[PrinterSet]", "A = 2;"})},
};

INSTANTIATE_TEST_SUITE_P(Cases, MergeTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Merge, SecondMergeWithNothingPendingIsStable)
{
    const std::string once = Merge("\n[PrinterSet]\nA=1\n\n\n[HotKeySet]\n", "PrinterSet", {{"A", "2", 1}});
    EXPECT_EQ(Merge(once, "PrinterSet", {{"A", "2", 0}}), once);
}

// Unchanged runs of CR LF lines are written from the old content itself,
// not copied: a one-item change of a large file is a handful of pieces.
TEST(Merge, UnchangedRunsStaySpansOfTheOldContent)
{
    std::string file = "[Before]\r\n";
    for (int i = 0; i < 1000; ++i) file += "Item" + std::to_string(i) + " = " + std::to_string(i) + ";\r\n";
    file += "\r\n[PrinterSet]\r\nA = 1;\r\nB = 2;\r\n\r\n[After]\r\n";
    for (int i = 0; i < 1000; ++i) file += "Item" + std::to_string(i) + " = x;\r\n";
    std::vector<KeyItem> records = {{"A", "9"}};
    const qorvane::store::MergedText merged =
        qorvane::store::MergeKey(qorvane::format::CharScan::Bytes(), file, "PrinterSet", records, {1});
    EXPECT_LE(merged.Spans().size(), 3u);
    std::string want = file;
    want.replace(want.find("A = 1;"), 6, "A = 9;");
    EXPECT_EQ(merged.Flatten(), want);
    EXPECT_EQ(merged.Size(), want.size());
}

TEST(ScanKey, LoadsTheSectionsItemsInFileOrder)
{
    const std::string file =
        "A = before;\r\n[PrinterSet] ; here\r\n; c\r\nA = 1;\r\n\r\nnovalue = ;\r\n[x = y]\r\nA = 2;\r\n"
        "[HotKeySet]\r\nB = 3;\r\n";
    std::vector<qorvane::store::ItemView> items;
    ASSERT_TRUE(qorvane::store::ScanKey(qorvane::format::CharScan::Bytes(), file, "PrinterSet", items));
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& item : items) got.emplace_back(item.name, item.value);
    const std::vector<std::pair<std::string, std::string>> want = {{"A", "1"}, {"[x", "y]"}, {"A", "2"}};
    EXPECT_EQ(got, want);

    items.clear();
    EXPECT_FALSE(qorvane::store::ScanKey(qorvane::format::CharScan::Bytes(), file, "Missing", items));
    EXPECT_FALSE(qorvane::store::ScanKey(qorvane::format::CharScan::Bytes(),
                                         "x\x1a[PrinterSet]\r\nA = 1;", "PrinterSet", items));
}

}  // namespace

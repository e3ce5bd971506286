// The line tests, through the object's members (so the out-parameter rules
// are checked on CString) and through the pure functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/Grammar.h"
#include "qorvane/Qorvane.h"

class QorvaneTestAccess {
public:
    static int Key(const char* line, CString& key) { return Object().StrIsKey(line, key); }
    static int Item(const char* line, CString& n, CString& v) { return Object().StrIsItem(line, n, v); }
    static int Invalid(const char* line) { return Object().StrIsInvalid(line); }
    static int Empty(const char* line) { return Object().StrIsEmpty(line); }
    static int Annotate(const char* line) { return Object().StrIsAnnotate(line); }

private:
    static CQorvane& Object()
    {
        static CQorvane object;
        return object;
    }
};

namespace {

using T = QorvaneTestAccess;
constexpr const char* kUntouched = "<untouched>";

struct LineCase {
    const char* line;
    int empty, annotate, invalid;
    int isKey;
    const char* key;  // out-parameter afterwards
    int isItem;
    const char* name;
    const char* value;
};

// Every line is run through all five tests, with out-parameters pre-set, so
// that "untouched" and "emptied" are told apart.
const LineCase kLines[] = {
    // line                                   E  A  I  K  key            It name          value
    {"[PrinterSet]",                          0, 0, 0, 1, "PrinterSet",  0, kUntouched,   kUntouched},
    {"  [  PrinterSet \t]  ; printer",        0, 0, 0, 1, "PrinterSet",  0, kUntouched,   kUntouched},
    {"[   ]",                                 0, 0, 0, 0, "",            0, kUntouched,   kUntouched},
    {"x[Key]y",                               0, 0, 0, 1, "Key",         0, kUntouched,   kUntouched},
    {"[a]b]",                                 0, 0, 0, 1, "a]b",         0, kUntouched,   kUntouched},
    {"]a[",                                   0, 0, 0, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"[open",                                 0, 0, 0, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"; [PrinterSet]",                        0, 1, 1, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"[Key;comment]",                         0, 0, 0, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"Port=1",                                0, 0, 0, 0, kUntouched,    1, "Port",       "1"},
    {"Port = 1;",                             0, 0, 0, 0, kUntouched,    1, "Port",       "1"},
    {"  Port   =   LPT 1  ; the port",        0, 0, 0, 0, kUntouched,    1, "Port",       "LPT 1"},
    {"Url = a=b=c;",                          0, 0, 0, 0, kUntouched,    1, "Url",        "a=b=c"},
    {"Port = ;",                              0, 0, 0, 0, kUntouched,    0, "",           ""},
    {"Port =",                                0, 0, 0, 0, kUntouched,    0, "",           ""},
    {" = 5;",                                 0, 0, 0, 0, kUntouched,    0, "",           kUntouched},
    {"no equals here",                        0, 0, 0, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"Name = v;al;ue",                        0, 0, 0, 0, kUntouched,    1, "Name",       "v"},
    {"[a = b]",                               0, 0, 0, 1, "a = b",       1, "[a",         "b]"},
    {"",                                      1, 0, 1, 0, kUntouched,    0, kUntouched,   kUntouched},
    {" \t\v\f\r ",                            1, 0, 1, 0, kUntouched,    0, kUntouched,   kUntouched},
    {";comment",                              0, 1, 1, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"   ; indented comment = 1",             0, 1, 1, 0, kUntouched,    0, kUntouched,   kUntouched},
    {"text ; [NotAKey]",                      0, 0, 0, 0, kUntouched,    0, kUntouched,   kUntouched},
};

void PrintTo(const LineCase& c, std::ostream* os)
{
    *os << ::testing::PrintToString(std::string(c.line));
}

class LineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineTest, ClassifiesAndExtracts)
{
    const LineCase& c = GetParam();
    EXPECT_EQ(T::Empty(c.line), c.empty);
    EXPECT_EQ(T::Annotate(c.line), c.annotate);
    EXPECT_EQ(T::Invalid(c.line), c.invalid);

    CString key(kUntouched);
    EXPECT_EQ(T::Key(c.line, key), c.isKey);
    EXPECT_STREQ(key, c.key);

    CString name(kUntouched);
    CString value(kUntouched);
    EXPECT_EQ(T::Item(c.line, name, value), c.isItem);
    EXPECT_STREQ(name, c.name);
    EXPECT_STREQ(value, c.value);
}

INSTANTIATE_TEST_SUITE_P(Lines, LineTest, ::testing::ValuesIn(kLines),
                         [](const auto& info) { return "Line" + std::to_string(info.index); });

TEST(LineForms, AreWrittenExactly)
{
    std::string out;
    qorvane::format::AppendKeyLine(out, " Printer Set ");
    out += '|';
    qorvane::format::AppendItemLine(out, "Port", "a=b");
    EXPECT_EQ(out, "[ Printer Set ]|Port = a=b;");
}

TEST(LineForms, WrittenLinesReadBack)
{
    using namespace qorvane::format;
    const CharScan scan = CharScan::Bytes();
    std::string line;
    AppendItemLine(line, "Speed", "3 fast");
    std::string_view name;
    std::string_view value;
    ASSERT_EQ(ParseItem(scan, line, name, value), ItemMatch::Item);
    EXPECT_EQ(name, "Speed");
    EXPECT_EQ(value, "3 fast");

    // An item with an empty value is written, but does not read back.
    line.clear();
    AppendItemLine(line, "Speed", "  ");
    EXPECT_EQ(ParseItem(scan, line, name, value), ItemMatch::BlankValue);
}

TEST(Visible, StopsAtTheFirstNul)
{
    using namespace std::string_literals;
    EXPECT_EQ(qorvane::format::Visible("Port = 1;\0[Other]"s), "Port = 1;");
    EXPECT_EQ(qorvane::format::Visible("plain"), "plain");
    EXPECT_TRUE(qorvane::format::IsAllBlank(" \t\r"));
    EXPECT_FALSE(qorvane::format::IsAllBlank(" \0 "s));
}

// The one-pass item read answers exactly where the full parse of the
// visible line finds an item, with the same name and value: every line of
// up to six bytes from the bytes that matter, and the table above. The
// read that expects a name says yes only where the one-pass read finds an
// item of that name.
TEST(QuickItem, AgreesWithTheFullParse)
{
    using namespace qorvane::format;
    const CharScan scan = CharScan::Bytes();
    const std::string alphabet("a =;[\0\t", 7);
    std::vector<std::string> lines;
    for (const LineCase& c : kLines) lines.emplace_back(c.line);
    std::vector<std::size_t> digits;
    for (std::size_t length = 0; length <= 6; ++length) {
        digits.assign(length, 0);
        for (bool more = true; more;) {
            std::string line;
            for (const std::size_t d : digits) line += alphabet[d];
            lines.push_back(line);
            more = false;
            for (std::size_t i = 0; i < length && !more; ++i) {
                more = ++digits[i] < alphabet.size();
                if (!more) digits[i] = 0;
            }
        }
    }
    for (const std::string& line : lines) {
        std::string_view name;
        std::string_view value;
        std::string_view quickName;
        std::string_view quickValue;
        const bool item = ParseItem(scan, Visible(line), name, value) == ItemMatch::Item;
        ASSERT_EQ(QuickItem(line, quickName, quickValue), item) << testing::PrintToString(line);
        for (const std::string_view expected : {"a", "aa", "a a", " a", "a ", "\ta", "a=", "a;", "=", "["}) {
            if (QuickItemNamed(line, expected)) {
                ASSERT_TRUE(item && quickName == expected) << testing::PrintToString(line) << " named " << expected;
            }
        }
        if (item && quickName.data() == line.data()) {
            EXPECT_TRUE(QuickItemNamed(line, quickName)) << testing::PrintToString(line);
        }
        if (!item) continue;
        EXPECT_FALSE(IsInvalidLine(scan, Visible(line))) << testing::PrintToString(line);
        EXPECT_EQ(quickName, name) << testing::PrintToString(line);
        EXPECT_EQ(quickValue, value) << testing::PrintToString(line);
    }
}

struct SplitCase {
    std::string text;
    std::vector<std::string> lines;
};

TEST(LineSplitter, SplitsAsTheFileFormatReads)
{
    using namespace std::string_literals;
    const SplitCase cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\r\r\nb\r", {"a\r", "b\r"}},
        {"\n\n", {"", ""}},
        {"x\0y\r\n"s, {"x\0y"s}},
    };
    for (const SplitCase& c : cases) {
        qorvane::format::LineSplitter split(c.text);
        std::vector<std::string> got;
        std::string_view line;
        while (split.Next(line)) got.emplace_back(line);
        EXPECT_EQ(got, c.lines) << "text: " << testing::PrintToString(c.text);
    }
}

TEST(SplitEndOfText, KeepsEverythingFromTheFirst1A)
{
    using namespace std::string_literals;
    const std::string content = "a\r\nb\x1a tail\x1a\n"s;
    const auto parts = qorvane::format::SplitEndOfText(content);
    EXPECT_EQ(parts.text, "a\r\nb");
    EXPECT_EQ(parts.tail, "\x1a tail\x1a\n");
    EXPECT_TRUE(qorvane::format::SplitEndOfText("none").tail.empty());
}

}  // namespace

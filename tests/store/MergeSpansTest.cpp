// The merge copies runs of plain lines as spans without looking at each
// line; it must give exactly the bytes of the line-by-line walk. Table
// cases pin the lines that end a run, and a differential test compares the
// two walks on generated files.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "format/CharScan.h"
#include "store/KeyText.h"

namespace {

using namespace std::string_literals;
using qorvane::format::CharScan;
using qorvane::store::MergeKey;
using qorvane::store::MergeWalk;

struct Pending {
    std::string name;
    std::string value;
    std::uint16_t state;
};

struct Records {
    std::vector<KeyItem> items;
    std::vector<std::uint16_t> states;
    std::vector<CString> removed;
};

Records MakeRecords(const std::vector<Pending>& pending, const std::vector<std::string>& removed = {})
{
    Records r;
    for (const Pending& p : pending) {
        r.items.push_back(KeyItem{p.name.c_str(), p.value.c_str()});
        r.states.push_back(p.state);
    }
    for (const std::string& name : removed) r.removed.emplace_back(name.c_str());
    return r;
}

std::string Merge(const CharScan& scan, const std::string& file, const std::string& key, const Records& r,
                  MergeWalk walk)
{
    // The span merge is told when the names are distinct, as CQorvane tells it.
    std::set<std::string_view> names;
    for (const KeyItem& item : r.items) names.insert(item.strName.view());
    const bool distinct = names.size() == r.items.size();
    return MergeKey(scan, file, key, r.items, r.states, r.removed, walk, distinct).Flatten();
}

struct SpanCase {
    const char* name;
    std::string file;
    std::vector<Pending> items;
    std::string expect;
};

void PrintTo(const SpanCase& c, std::ostream* os)
{
    *os << c.name;
}

// Each file has runs of plain lines before and after the key's section,
// broken by the kind of line the case is about.
const SpanCase kSpanCases[] = {
    {"BareLfLinesInARunGetCrLf",
     "a = 1;\r\nb = 2;\nc = 3;\r\n[PrinterSet]\r\nA = 1;\r\n[HotKeySet]\r\nd = 4;\ne = 5;\r\nlast",
     {{"A", "2", 1}},
     "a = 1;\r\nb = 2;\r\nc = 3;\r\n[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\nd = 4;\r\ne = 5;\r\nlast\r\n"},
    {"BlankLinesOfOddWhiteSpaceShrinkAndStay",
     "a = 1;\r\n\v\r\n\f \r\n\t\r\nb = 2;\r\n[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nc\r\n \v\n\r\n\fd\r\n",
     {{"A", "2", 1}},
     "a = 1;\r\n\v\r\nb = 2;\r\n[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\nc\r\n \v\r\n\fd\r\n"},
    {"BracketInsideValuesIsNoHeader",
     "x = [a;\r\ny = b];\r\n[PrinterSet]\r\nA = 1;\r\nB = [c] d;\r\n[HotKeySet]\r\nz = [[;\r\n",
     {{"B", "2", 1}},
     "x = [a;\r\ny = b];\r\n[PrinterSet]\r\nA = 1;\r\nB = 2;\r\n\r\n[HotKeySet]\r\nz = [[;\r\n"},
    {"ItemLookingLikeAHeaderAfterTheSectionGetsNoSeparator",
     "[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nk = v;\r\n[a = b]\r\nm = n;\r\n",
     {{"A", "2", 1}},
     "[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\nk = v;\r\n[a = b]\r\nm = n;\r\n"},
    {"NulBytesInRunsPassThrough",
     "a\0[x]\r\nb = \0;\r\n[PrinterSet]\r\nA = 1;\r\n[HotKeySet]\r\n\0\r\n \0\r\nc\0\r\n"s,
     {{"A", "2", 1}},
     "a\0[x]\r\nb = \0;\r\n[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\n\0\r\n \0\r\nc\0\r\n"s},
    {"EndOfTextInsideARunKeepsTheTail",
     "a = 1;\r\n[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nb = 2;\r\nc = 3;\x1a\r\n[d]\r\n\n",
     {{"A", "2", 1}},
     "a = 1;\r\n[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\nb = 2;\r\nc = 3;\r\n\x1a\r\n[d]\r\n\n"},
    {"EndOfTextBeforeTheKeyAppendsTheSection",
     "a = 1;\r\nb = 2;\x1a[PrinterSet]\r\nA = 1;\r\n",
     {{"A", "2", 1}},
     "a = 1;\r\nb = 2;\r\n\r\n[PrinterSet]\r\nA = 2;\r\n\x1a[PrinterSet]\r\nA = 1;\r\n"},
    {"CrCrLfLinesStayInTheRun",
     "a\r\r\nb\r\n[PrinterSet]\r\nA = 1;\r\n[HotKeySet]\r\nc\r\r\n",
     {{"A", "2", 1}},
     "a\r\r\nb\r\n[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\nc\r\r\n"},
    {"SectionBoundariesAfterTheKeyPassOrGetTheirSeparator",
     // after the key: a lone empty line and the header after it pass; a
     // second empty line goes; a header right after a line gets its empty
     // line; a blank of spaces after a line stays; a bare-LF line after a
     // kept blank line gets its CR
     "[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nb\r\n\r\n\r\n[X]\r\nc\r\n[Y]\r\nd\r\n  \r\n[Z]\r\n\r\ne\n",
     {{"A", "2", 1}},
     "[PrinterSet]\r\nA = 2;\r\n\r\n[HotKeySet]\r\nb\r\n\r\n[X]\r\nc\r\n\r\n[Y]\r\nd\r\n  \r\n[Z]\r\n\r\ne\r\n"},
    {"LeadingBlankLinesBeforeARunGo",
     " \r\n\t\r\na\r\nb\r\n[PrinterSet]\r\n",
     {{"A", "1", 1}},
     "a\r\nb\r\n[PrinterSet]\r\nA = 1;\r\n"},
};

class MergeSpansTest : public ::testing::TestWithParam<SpanCase> {};

TEST_P(MergeSpansTest, BothWalksGiveTheExpectedFile)
{
    const SpanCase& c = GetParam();
    const Records r = MakeRecords(c.items);
    EXPECT_EQ(Merge(CharScan::Bytes(), c.file, "PrinterSet", r, MergeWalk::Spans), c.expect);
    EXPECT_EQ(Merge(CharScan::Bytes(), c.file, "PrinterSet", r, MergeWalk::LineByLine), c.expect);
}

INSTANTIATE_TEST_SUITE_P(Cases, MergeSpansTest, ::testing::ValuesIn(kSpanCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Switches LC_CTYPE for one test and restores it.
class LocaleScope {
public:
    explicit LocaleScope(const char* name) : m_old(std::setlocale(LC_CTYPE, nullptr))
    {
        m_ok = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~LocaleScope() { std::setlocale(LC_CTYPE, m_old.c_str()); }
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;
    bool Ok() const { return m_ok; }

private:
    std::string m_old;
    bool m_ok = false;
};

// In GBK "\x81]" is one character: "[\x81]" has no closing bracket and is
// no header, so it gets no separator; the same bytes read byte by byte are
// a header and get one. Both walks must send the line through the parse.
TEST(MergeSpans, GbkTrailBytesDecideAsTheParseDoes)
{
    const std::string file = "a\r\n[\x81]\r\nb\r\n[PrinterSet]\r\nA = 1;\r\nc\r\n[\x81]\r\nd\r\n";
    const Records r = MakeRecords({{"A", "2", 1}});
    const std::string bytewise = "a\r\n[\x81]\r\nb\r\n[PrinterSet]\r\nA = 2;\r\nc\r\n\r\n[\x81]\r\nd\r\n";
    EXPECT_EQ(Merge(CharScan::Bytes(), file, "PrinterSet", r, MergeWalk::Spans), bytewise);

    LocaleScope gbk("zh_CN.GBK");
    if (!gbk.Ok()) {
        if (std::getenv("CI") != nullptr) FAIL() << "zh_CN.GBK locale missing";
        GTEST_SKIP() << "generate it: localedef -f GBK -i zh_CN zh_CN.GBK";
    }
    const CharScan scan = CharScan::FromLocale();
    ASSERT_FALSE(scan.IsFast());
    const std::string inGbk = "a\r\n[\x81]\r\nb\r\n[PrinterSet]\r\nA = 2;\r\nc\r\n[\x81]\r\nd\r\n";
    EXPECT_EQ(Merge(scan, file, "PrinterSet", r, MergeWalk::Spans), inGbk);
    EXPECT_EQ(Merge(scan, file, "PrinterSet", r, MergeWalk::LineByLine), inGbk);
}

// Generated files from a vocabulary of every kind of line, with random
// line ends, pending items, removals and an occasional 0x1A.
std::string RandomFile(std::mt19937& rng)
{
    static const std::vector<std::string> kLines = {
        "Item = value;", "A = 1;", "B=2 ; note", "C = [x];", "x = a[b", "; comment", "; [PrinterSet]",
        "[PrinterSet]", " [ PrinterSet ] ; c", "[HotKeySet]", "[Other]", "[a = b]", "[]", "[ ]", "",
        " ", "\t", "\v", "\f", " \0 "s, "\0"s, "A = 1;\0[x]"s, "no class", "[\x81]", "\x81[PrinterSet]",
        "A = \x81]", "=", "A =", "= v", "long " + std::string(90, 'L') + " = v;",
    };
    std::uniform_int_distribution<std::size_t> line(0, kLines.size() - 1);
    std::uniform_int_distribution<int> count(0, 60);
    std::uniform_int_distribution<int> ending(0, 19);
    std::uniform_int_distribution<int> plainRun(0, 3);
    std::string file;
    const int n = count(rng);
    for (int i = 0; i < n; ++i) {
        // Runs of ordinary items, as real files are mostly made of.
        for (int k = plainRun(rng) * 4; k > 0; --k) file += "P" + std::to_string(k) + " = plain;\r\n";
        file += kLines[line(rng)];
        const int e = ending(rng);
        file += e == 0 ? "\n" : e == 1 ? "\r\r\n" : e == 2 ? "\x1a" : "\r\n";
    }
    if (ending(rng) < 5 && !file.empty()) file.pop_back();  // no line end at the end
    return file;
}

Records RandomRecords(std::mt19937& rng)
{
    static const char* const kNames[] = {"A", "B", "C", "Item", "x", "New", "[a", "P4"};
    std::uniform_int_distribution<int> count(0, 4);
    std::uniform_int_distribution<int> name(0, 7);
    std::uniform_int_distribution<int> state(0, 2);
    std::vector<Pending> pending;
    for (int n = count(rng); n > 0; --n) {
        pending.push_back({kNames[name(rng)], "v" + std::to_string(n), static_cast<std::uint16_t>(state(rng) == 0 ? 0 : 1)});
    }
    std::vector<std::string> removed;
    if (state(rng) == 0) removed.emplace_back(kNames[name(rng)]);
    return MakeRecords(pending, removed);
}

void CompareWalks(const CharScan& scan, int rounds, unsigned seed)
{
    std::mt19937 rng(seed);
    for (int round = 0; round < rounds; ++round) {
        const std::string file = RandomFile(rng);
        const Records r = RandomRecords(rng);
        const char* key = round % 3 == 0 ? "HotKeySet" : "PrinterSet";
        ASSERT_EQ(Merge(scan, file, key, r, MergeWalk::Spans), Merge(scan, file, key, r, MergeWalk::LineByLine))
            << "round " << round << " file " << ::testing::PrintToString(file);
    }
}

TEST(MergeSpans, SpansGiveTheBytesOfTheLineByLineWalk)
{
    CompareWalks(CharScan::Bytes(), 4000, 12);
}

TEST(MergeSpans, SpansGiveTheBytesOfTheLineByLineWalkInGbk)
{
    LocaleScope gbk("zh_CN.GBK");
    if (!gbk.Ok()) {
        if (std::getenv("CI") != nullptr) FAIL() << "zh_CN.GBK locale missing";
        GTEST_SKIP() << "generate it: localedef -f GBK -i zh_CN zh_CN.GBK";
    }
    CompareWalks(CharScan::FromLocale(), 2000, 34);
}

}  // namespace

// The run of plain lines a rewrite copies without splitting: the 64-byte
// scan must agree with the byte-at-a-time definition at every offset.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "format/Grammar.h"

namespace {

using namespace std::string_literals;
using qorvane::format::PlainLinesPrefix;
using qorvane::format::PlainLinesPrefixBytewise;

struct PlainCase {
    const char* name;
    std::string text;
    std::size_t prefix;  // bytes of whole plain lines at the start
};

const PlainCase kPlainCases[] = {
    {"Empty", "", 0},
    {"OneLine", "a = 1;\r\n", 8},
    {"TwoLines", "a\r\nb\r\n", 6},
    {"LastLineWithoutLineEnd", "a\r\nb", 3},
    {"BareLfStopsAtItsLine", "a\r\nb\nc\r\n", 3},
    {"BareLfFirst", "a\nb\r\n", 0},
    {"EmptyLine", "a\r\n\r\nb\r\n", 3},
    {"BareEmptyLine", "a\r\n\nb\r\n", 3},
    {"BlankOfSpace", "a\r\n  \r\nb\r\n", 3},
    {"LineStartingWithTab", "a\r\n\tb = 1;\r\n", 3},
    {"LineStartingWithVerticalTab", "a\r\n\vb\r\n", 3},
    {"LineStartingWithFormFeed", "a\r\n\fb\r\n", 3},
    {"BracketInsideAValue", "a\r\nx = [y\r\nz\r\n", 3},
    {"BracketAtTheEnd", "a\r\nx]y[\r\n", 3},
    {"Header", "[PrinterSet]\r\n", 0},
    {"NulInsideIsPlain", "a\0b\r\nc\r\n"s, 8},
    {"NulFirstIsNotBlank", "\0\r\nc\r\n"s, 6},
    {"CrCrLfEndsInCrLf", "a\r\r\nb\r\n", 7},
    {"LoneCrIsNoLineEnd", "a\rb\r\n", 5},
    {"GbkTrailBracketStops", "a\r\n\x81[\r\n", 3},
    {"HighBytesArePlain", "\x81\x40 = \xfe\xfe;\r\n", 10},
    {"SemicolonFirst", "; comment\r\n", 11},
};

void PrintTo(const PlainCase& c, std::ostream* os)
{
    *os << c.name;
}

class PlainLinesTest : public ::testing::TestWithParam<PlainCase> {};

TEST_P(PlainLinesTest, CountsWholePlainLines)
{
    const PlainCase& c = GetParam();
    EXPECT_EQ(PlainLinesPrefixBytewise(c.text), c.prefix);
    EXPECT_EQ(PlainLinesPrefix(c.text), c.prefix);
}

// The same text after runs of plain lines of every length, so that each
// byte of interest falls at every position of a 64-byte block, at its
// edges and beyond the last full block.
TEST_P(PlainLinesTest, CountsThemAfterAnyPlainRun)
{
    const PlainCase& c = GetParam();
    for (std::size_t width = 1; width < 70; width += 3) {
        std::string head;
        while (head.size() < 150) {
            head += std::string(width, 'x') + "\r\n";
            const std::string text = head + c.text;
            ASSERT_EQ(PlainLinesPrefix(text), head.size() + c.prefix) << "width " << width << " head " << head.size();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PlainLinesTest, ::testing::ValuesIn(kPlainCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlainLines, FastScanAgreesWithTheBytewiseOneOnRandomText)
{
    // Mostly ordinary bytes, with every byte that can end a run.
    const std::string alphabet = "abcdefgh = ;xyz"s + "\r\n\r\n\r\n[ \t\v\f\0\x1a\x81\xff"s;
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 400);
    std::uniform_int_distribution<int> rare(0, 9);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int n = length(rng);
        for (int i = 0; i < n; ++i) {
            // Long stretches of CR LF lines, so that runs cross blocks.
            if (rare(rng) < 7) {
                text += static_cast<char>('a' + i % 26);
                if (i % 9 == 8) text += "\r\n";
            } else {
                text += alphabet[pick(rng)];
            }
        }
        ASSERT_EQ(PlainLinesPrefix(text), PlainLinesPrefixBytewise(text)) << ::testing::PrintToString(text);
    }
}

TEST(LineSplitter, NextHoldingSkipsToTheLineThatHoldsTheByte)
{
    const std::string text = "a\r\nb[\r\nc\nd\r\n[e]\r\nf[";
    qorvane::format::LineSplitter split(text);
    std::string_view line;
    ASSERT_TRUE(split.NextHolding('[', line));
    EXPECT_EQ(line, "b[");
    ASSERT_TRUE(split.Next(line));
    EXPECT_EQ(line, "c");
    ASSERT_TRUE(split.NextHolding('[', line));
    EXPECT_EQ(line, "[e]");
    ASSERT_TRUE(split.NextHolding('[', line));
    EXPECT_EQ(line, "f[");
    EXPECT_FALSE(split.NextHolding('[', line));
    EXPECT_FALSE(split.Next(line));

    qorvane::format::LineSplitter none("a\r\nb\r\n");
    EXPECT_FALSE(none.NextHolding('[', line));
    EXPECT_FALSE(none.Next(line));  // nothing holds it: the lines are used up
}

}  // namespace

// The streaming line reader must split exactly as the in-memory splitter
// does, whatever the read size, line length, line ends and 0x1A position.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "format/Grammar.h"
#include "platform/LineReader.h"
#include "platform/Seam.h"
#include "testing/Testing.h"

namespace {

using namespace std::string_literals;
using qorvane::platform::FileLineReader;

std::vector<std::string> SplitInMemory(const std::string& content)
{
    qorvane::format::LineSplitter split(qorvane::format::SplitEndOfText(content).text);
    std::vector<std::string> lines;
    std::string_view line;
    while (split.Next(line)) lines.emplace_back(line);
    return lines;
}

std::vector<std::string> SplitFromFile(const std::string& path, std::size_t chunk)
{
    qorvane::platform::UniqueFd fd;
    EXPECT_EQ(qorvane::platform::sys::Open(path.c_str(), O_RDONLY, 0, fd), 0);
    struct stat st {};
    EXPECT_EQ(::fstat(fd.Get(), &st), 0);
    FileLineReader reader(fd.Get(), static_cast<std::size_t>(st.st_size), chunk);
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.Next(line)) lines.emplace_back(line);
    EXPECT_EQ(reader.Error(), 0);
    return lines;
}

TEST(FileLineReader, SplitsLikeTheInMemorySplitter)
{
    const std::string longLine(10000, 'x');
    const std::string contents[] = {
        "",
        "a",
        "a\r\nb\r\n",
        "a\nb",
        "\n\n\r\n",
        "x\r\r\ny\r",
        "no\0nul\r\nsplit"s,
        "[K]\r\nA = 1;\r\n\x1a[L]\r\nB = 2;\r\n",
        "\x1a everything hidden",
        "short\r\n" + longLine + "\r\n" + longLine + "tail",
        "cr at chunk edge\r\nnext\r\n",
    };
    for (const std::string& content : contents) {
        qorvane::testing::TempDir dir;
        qorvane::testing::WriteFile(dir.Settings(), content);
        const std::vector<std::string> want = SplitInMemory(content);
        for (const std::size_t chunk : {1u, 2u, 3u, 7u, 17u, 4096u}) {
            EXPECT_EQ(SplitFromFile(dir.Settings(), chunk), want)
                << "chunk " << chunk << " content " << ::testing::PrintToString(content.substr(0, 40));
        }
    }
}

// Skipping to the lines that hold '[' finds exactly the lines that the
// plain split yields and that hold it, whatever the read size, including
// lines that straddle reads and a '[' hidden after a 0x1A.
TEST(FileLineReader, NextHoldingFindsTheSameLinesAsSplittingAll)
{
    const std::string longLine(5000, 'x');
    const std::string contents[] = {
        "",
        "[",
        "a\r\nb\r\n",
        "a\r\n[b]\r\nc\r\n[d",
        "no\0[nul\r\n[x\n"s,
        longLine + "[" + longLine + "\r\nafter\r\n[K]\r\n",
        "[K]\r\nA = 1;\r\n\x1a[L]\r\n",
        "x\r\n\r\n[ \r\n[\r\n",
    };
    for (const std::string& content : contents) {
        qorvane::testing::TempDir dir;
        qorvane::testing::WriteFile(dir.Settings(), content);
        std::vector<std::string> want;
        for (const std::string& line : SplitInMemory(content)) {
            if (line.find('[') != std::string::npos) want.push_back(line);
        }
        for (const std::size_t chunk : {1u, 2u, 5u, 64u, 4096u}) {
            qorvane::platform::UniqueFd fd;
            ASSERT_EQ(qorvane::platform::sys::Open(dir.Settings().c_str(), O_RDONLY, 0, fd), 0);
            FileLineReader reader(fd.Get(), content.size(), chunk);
            std::vector<std::string> got;
            std::string_view line;
            while (reader.NextHolding('[', line)) got.emplace_back(line);
            EXPECT_EQ(reader.Error(), 0);
            EXPECT_EQ(got, want) << "chunk " << chunk << " content "
                                 << ::testing::PrintToString(content.substr(0, 40));
        }
    }
}

// After a skip, Next goes on with the line after the one found.
TEST(FileLineReader, NextAfterNextHoldingReadsTheFollowingLine)
{
    qorvane::testing::TempDir dir;
    const std::string content = "a\r\nb\r\n[K]\r\nc\r\nd\r\n";
    qorvane::testing::WriteFile(dir.Settings(), content);
    for (const std::size_t chunk : {1u, 3u, 4096u}) {
        qorvane::platform::UniqueFd fd;
        ASSERT_EQ(qorvane::platform::sys::Open(dir.Settings().c_str(), O_RDONLY, 0, fd), 0);
        FileLineReader reader(fd.Get(), content.size(), chunk);
        std::string_view line;
        ASSERT_TRUE(reader.NextHolding('[', line));
        EXPECT_EQ(line, "[K]");
        ASSERT_TRUE(reader.Next(line));
        EXPECT_EQ(line, "c") << "chunk " << chunk;
        ASSERT_TRUE(reader.Next(line));
        EXPECT_EQ(line, "d");
        EXPECT_FALSE(reader.NextHolding('[', line));
    }
}

}  // namespace

namespace {

// Gathering writes: whatever the pieces and the write size, the file holds
// exactly their concatenation, written in ceil(total / chunk) writes.
TEST(WriteAll, WritesEveryPieceInOrderWhateverTheChunk)
{
    using qorvane::platform::ByteSpan;
    const std::string a(10, 'a'), b(1, 'b'), c(25, 'c'), d(3, 'd');
    const std::vector<std::vector<std::string>> layouts = {
        {}, {""}, {a}, {a, "", b, c, d}, {c, c, c}, {"", "", d},
    };
    for (const auto& layout : layouts) {
        std::vector<ByteSpan> pieces;
        std::string want;
        for (const std::string& p : layout) {
            pieces.push_back(ByteSpan{p.data(), p.size()});
            want += p;
        }
        for (const std::size_t chunk : {1u, 4u, 7u, 64u}) {
            qorvane::testing::TempDir dir;
            qorvane::platform::UniqueFd fd;
            ASSERT_EQ(qorvane::platform::sys::Open(dir.Settings().c_str(), O_WRONLY | O_CREAT, 0600, fd), 0);
            qorvane::seam::Reset();
            ASSERT_EQ(qorvane::platform::sys::WriteAll(fd.Get(), pieces, chunk), 0);
            EXPECT_EQ(qorvane::seam::Arrivals(qorvane::seam::Step::TempWrite),
                      static_cast<int>((want.size() + chunk - 1) / chunk));
            fd.Reset();
            EXPECT_EQ(qorvane::testing::ReadFile(dir.Settings()), want) << "chunk " << chunk;
        }
    }
    qorvane::seam::Reset();
}

}  // namespace

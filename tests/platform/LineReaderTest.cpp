// The streaming line reader must split exactly as the in-memory splitter
// does, whatever the read size, line length, line ends and 0x1A position.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "format/Grammar.h"
#include "platform/LineReader.h"
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

}  // namespace

// The C++17 layer: typed reads, the scoped drop, the error codes and the
// iteration order, each checked against the file CQorvane writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "qorvane/Key.h"
#include "testing/Testing.h"

namespace {

using namespace std::chrono_literals;
using qorvane::Errc;
using qorvane::ReadStatus;
using qorvane::testing::ReadFile;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;

TEST(KeyParseTest, AcceptsTheDocumentedSpellingsOnly)
{
    const struct {
        const char* text;
        std::optional<long long> asInt;
        std::optional<bool> asBool;
        std::optional<double> asDouble;
    } cases[] = {
        {"0", 0, false, 0.0},
        {"1", 1, true, 1.0},
        {"-12", -12, std::nullopt, -12.0},
        {"+7", 7, std::nullopt, 7.0},
        {"+-7", std::nullopt, std::nullopt, std::nullopt},
        {"9223372036854775808", std::nullopt, std::nullopt, 9223372036854775808.0},
        {"2.5", std::nullopt, std::nullopt, 2.5},
        {"-1e-3", std::nullopt, std::nullopt, -1e-3},
        {"TRUE", std::nullopt, true, std::nullopt},
        {"Yes", std::nullopt, true, std::nullopt},
        {"oN", std::nullopt, true, std::nullopt},
        {"False", std::nullopt, false, std::nullopt},
        {"no", std::nullopt, false, std::nullopt},
        {"OFF", std::nullopt, false, std::nullopt},
        {"", std::nullopt, std::nullopt, std::nullopt},
        {" 3", std::nullopt, std::nullopt, std::nullopt},
        {"3x", std::nullopt, std::nullopt, std::nullopt},
        {"y", std::nullopt, std::nullopt, std::nullopt},
        {"inf", std::nullopt, std::nullopt, std::nullopt},
        {"nan", std::nullopt, std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(qorvane::ParseInt(c.text), c.asInt);
        EXPECT_EQ(qorvane::ParseBool(c.text), c.asBool);
        EXPECT_EQ(qorvane::ParseDouble(c.text), c.asDouble);
    }
    for (double d : {0.1, -2.5e-300, 1.0 / 3.0, 1e21})
        EXPECT_EQ(qorvane::ParseDouble(qorvane::FormatDouble(d)), d) << qorvane::FormatDouble(d);
}

class KeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(m_dir.Settings(),
                  "[PrinterSet]\nPort = LPT1;\nCopies = 2;\nDuplex = on;\nCopies = 9;\nScale = x1.5;\n");
    }
    TempDir m_dir;
};

TEST_F(KeyTest, TypedReadsGiveTheDefaultAndSayWhy)
{
    auto key = qorvane::Open(m_dir.Path(), "PrinterSet");
    EXPECT_TRUE(key.HasSection());
    for (std::size_t length : {254, 255, 256, 1000}) {  // around the first buffer's size
        key.Set("Long", std::string(length, 'v'));
        EXPECT_EQ(key.Get("Long"), std::string(length, 'v'));
    }
    EXPECT_EQ(key.Get("Port"), "LPT1");
    EXPECT_EQ(key.Get("Nothing"), std::nullopt);
    EXPECT_EQ(key.Get("Nothing", "fallback"), "fallback");
    EXPECT_EQ(key.Get(std::string_view("Port\0x", 6)), std::nullopt);

    ReadStatus status{};
    EXPECT_EQ(key.GetInt("Copies", 5, &status), 2);  // the first of two
    EXPECT_EQ(status, ReadStatus::found);
    EXPECT_EQ(key.GetInt("Nothing", 5, &status), 5);
    EXPECT_EQ(status, ReadStatus::missing);
    EXPECT_EQ(key.GetDouble("Scale", 1.0, &status), 1.0);
    EXPECT_EQ(status, ReadStatus::invalid);
    EXPECT_TRUE(key.GetBool("Duplex", false));
}

TEST_F(KeyTest, IteratesInFileOrderWithDuplicatesThenAddedItems)
{
    auto key = qorvane::Open(m_dir.Path(), "PrinterSet");
    key.Set("Added", "yes");
    key.Set("Copies", 3);
    std::string seen;
    for (const auto& [name, value] : key) seen += name + "=" + value + " ";
    EXPECT_EQ(seen, "Port=LPT1 Copies=3 Duplex=on Copies=9 Scale=x1.5 Added=yes ");
    EXPECT_EQ(key.size(), 6u);
}

TEST_F(KeyTest, WritesOnlyOnCommitInTheCanonicalForms)
{
    const std::string before = ReadFile(m_dir.Settings());
    {
        auto key = qorvane::Open(m_dir.Path(), "PrinterSet");
        key.Set("Port", "LPT9");
        auto other = qorvane::Open(m_dir.Path(), "PrinterSet");
        other.Set("Port", "LPT8");
        key = std::move(other);  // drops the first key's change
    }  // and the second's
    EXPECT_EQ(ReadFile(m_dir.Settings()), before);

    auto key = qorvane::Open(m_dir.Path(), "PrinterSet", 1s);
    key.Set("Copies", 3);
    key.Set("Duplex", false);
    key.Set("Scale", 0.25);
    EXPECT_TRUE(key.Remove("Port"));
    EXPECT_FALSE(key.Remove("Port"));
    key.Commit();
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(ReadFile(m_dir.Settings()), "[PrinterSet]\r\nCopies = 3;\r\nDuplex = 0;\r\nCopies = 9;\r\nScale = 0.25;\r\n");
}

TEST_F(KeyTest, ReportsEachFailureAsItsCodeBothWays)
{
    const auto code = [](auto&& call) {
        std::error_code ec;
        call(ec);
        return ec;
    };
    auto key = qorvane::Open(m_dir.Path(), "PrinterSet");
    EXPECT_EQ(code([&](auto& ec) { qorvane::Open(m_dir.Path(), "NoSuchKey", 0ms, ec); }), Errc::bad_name);
    EXPECT_EQ(code([&](auto& ec) { key.Set("Port", "a\nb", ec); }), Errc::bad_value);
    EXPECT_EQ(code([&](auto& ec) { key.Set("[HotKeySet] x", "1", ec); }), Errc::bad_value);

    const std::error_code missing = code([&](auto& ec) { qorvane::Open(m_dir.File("none"), "PrinterSet", 0ms, ec); });
    EXPECT_TRUE(qorvane::IsFileError(missing));
    EXPECT_EQ(qorvane::FileErrno(missing), ENOENT);
    EXPECT_EQ(missing, std::errc::no_such_file_or_directory);
    EXPECT_EQ(missing.message(), "settings file error: No such file or directory");

    // Another open description's write lock on the file: busy, not a file error.
    const int fd = ::open(m_dir.Settings().c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
    EXPECT_EQ(code([&](auto& ec) { qorvane::Open(m_dir.Path(), "PrinterSet", 0ms, ec); }), Errc::busy);
    ::close(fd);

    // The other process's change of Copies stops the checked commit.
    key.Set("Copies", 3);
    auto other = qorvane::Open(m_dir.Path(), "PrinterSet");
    other.Set("Copies", 4);
    other.Commit();
    try {
        key.CommitChecked(50ms);
        ADD_FAILURE() << "no conflict";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), Errc::conflict);
        EXPECT_STREQ(e.code().category().name(), "qorvane");
    }
    ASSERT_EQ(key.Conflicts().size(), 1u);
    EXPECT_EQ(key.Conflicts()[0].file, "4");
    key.Reopen();
    EXPECT_EQ(key.GetInt("Copies", 0), 4);
    key.Drop();
    EXPECT_EQ(code([&](auto& ec) { key.Commit(ec); }), Errc::not_open);
    EXPECT_THROW(key.Set("a", "b"), std::system_error);
}

TEST_F(KeyTest, WatchSeesACommittedChange)
{
    qorvane::Watch watch;
    watch.Start(m_dir.Path(), "PrinterSet");
    EXPECT_GE(watch.Fd(), 0);
    EXPECT_FALSE(watch.Check());
    auto key = qorvane::Open(m_dir.Path(), "PrinterSet");
    key.Set("Port", "USB1");
    key.Commit();
    // A poll loop: a wake may also be for another name in the directory.
    std::string port;
    std::error_code ec;
    for (int i = 0; i < 50 && port.empty() && !ec; ++i) {
        pollfd ready{watch.Fd(), POLLIN, 0};
        ::poll(&ready, 1, 100);
        watch.Check([&](const std::vector<qorvane::Item>& items) { port = items.front().second; }, ec);
    }
    EXPECT_EQ(port, "USB1");

    qorvane::Watch().Start(m_dir.Path(), "Unknown", ec);
    EXPECT_EQ(ec, Errc::bad_name);
}

}  // namespace

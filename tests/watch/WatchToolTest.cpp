// qorvane watch as a shell runs it: the stream of prints read line by line
// while other processes change the file, its --json lines parsed back, and
// its exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

extern char** environ;

namespace {

using qorvane::testing::ExitCodeOf;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;
using Items = std::vector<std::pair<std::string, std::string>>;

constexpr int kGenerousMs = 10000;

// The tool under test, its stdout read line by line and its stderr whole.
class WatchRun {
public:
    explicit WatchRun(std::vector<std::string> args, bool withoutInotify = false)
    {
        std::vector<std::string> full = {QORVANE_TOOL_UNDER_TEST, "--counter-name=" + qorvane::testing::CounterName()};
        if (withoutInotify) full.emplace_back("--watch-without-inotify");
        full.insert(full.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : full) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        EXPECT_EQ(::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~WatchRun()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            qorvane::testing::WaitChild(m_pid);
        }
        ::close(m_out);
        ::close(m_err);
    }
    WatchRun(const WatchRun&) = delete;
    WatchRun& operator=(const WatchRun&) = delete;

    // The next line of stdout (without its LF), or nothing if none comes
    // within the time or the output ends.
    std::optional<std::string> Line(int timeoutMs = kGenerousMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::size_t lf = m_buffer.find('\n');
            if (lf != std::string::npos) {
                std::string line = m_buffer.substr(0, lf);
                m_buffer.erase(0, lf + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{m_out, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return std::nullopt;
            char buf[4096];
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0) return std::nullopt;
            m_buffer.append(buf, static_cast<std::size_t>(n));
        }
    }

    // Waits for the exit; its code, and the rest of stdout and all of
    // stderr.
    int Exit(std::string* rest = nullptr, std::string* err = nullptr)
    {
        std::string out = m_buffer;
        m_buffer.clear();
        Drain(m_out, out);
        std::string errText;
        Drain(m_err, errText);
        const int code = ExitCodeOf(qorvane::testing::WaitChild(m_pid));
        m_pid = -1;
        if (rest != nullptr) *rest = out;
        if (err != nullptr) *err = errText;
        return code;
    }

    void Signal(int sig) const { ::kill(m_pid, sig); }

private:
    static void Drain(int fd, std::string& into)
    {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, kGenerousMs) == 1) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            into.append(buf, static_cast<std::size_t>(n));
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_buffer;
};

// A parser for the one JSON form watch prints, {"key":K,"items":[[N,V],...]},
// strict enough that a malformed line fails the test.
class JsonLine {
public:
    explicit JsonLine(std::string text) : m_s(std::move(text)) {}

    bool Parse(std::string& key, Items& items)
    {
        if (!Lit("{\"key\":") || !String(key) || !Lit(",\"items\":[")) return false;
        if (Lit("]")) return Lit("}") && m_i == m_s.size();
        for (;;) {
            std::pair<std::string, std::string> item;
            if (!Lit("[") || !String(item.first) || !Lit(",") || !String(item.second) || !Lit("]")) return false;
            items.push_back(std::move(item));
            if (Lit("]")) return Lit("}") && m_i == m_s.size();
            if (!Lit(",")) return false;
        }
    }

private:
    bool Lit(const char* lit)
    {
        const std::string l = lit;
        if (m_s.compare(m_i, l.size(), l) != 0) return false;
        m_i += l.size();
        return true;
    }
    bool String(std::string& out)
    {
        if (!Lit("\"")) return false;
        while (m_i < m_s.size() && m_s[m_i] != '"') {
            char c = m_s[m_i++];
            if (c == '\\') {
                if (m_i >= m_s.size()) return false;
                const char e = m_s[m_i++];
                if (e == 'n') c = '\n';
                else if (e == 't') c = '\t';
                else if (e == '"' || e == '\\' || e == '/') c = e;
                else return false;  // the values of these tests need no other escape
            }
            out += c;
        }
        return Lit("\"");
    }

    std::string m_s;
    std::size_t m_i = 0;
};

Items ParseJsonLine(const std::optional<std::string>& line)
{
    Items items;
    std::string key;
    EXPECT_TRUE(line.has_value()) << "no line printed";
    if (!line) return items;
    EXPECT_TRUE(JsonLine(*line).Parse(key, items)) << "not the show --json form: " << *line;
    EXPECT_EQ(key, "PrinterSet");
    return items;
}

void ToolSet(const std::string& dir, const std::string& item, const std::string& value)
{
    WatchRun set({"-d", dir, "set", "PrinterSet", item, value});
    std::string err;
    EXPECT_EQ(set.Exit(nullptr, &err), 0) << err;
}

void LibrarySet(const std::string& dir, const char* item, const char* value)
{
    const int status = qorvane::testing::RunInChild([&] {
        for (int attempt = 0; attempt < 500; ++attempt) {
            CQorvane store(dir.c_str());
            std::string v = value;
            if (store.OpenKey("PrinterSet") >= 0 && store.SetItem("PrinterSet", item, v.data()) > 0 &&
                store.CloseKey(1) == 1) {
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return 1;
    });
    ASSERT_EQ(ExitCodeOf(status), 0);
}

class WatchToolTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\nNote = \"a\\b\";\r\n"); }
    TempDir dir;
};

TEST_F(WatchToolTest, JsonStreamParsesBackAndCountEndsIt)
{
    WatchRun watch({"-d", dir.Path(), "watch", "PrinterSet", "--json", "--count", "2"});
    EXPECT_EQ(ParseJsonLine(watch.Line()), (Items{{"Port", "LPT1"}, {"Note", "\"a\\b\""}}));
    ToolSet(dir.Path(), "Port", "LPT2");
    EXPECT_EQ(ParseJsonLine(watch.Line()), (Items{{"Port", "LPT2"}, {"Note", "\"a\\b\""}}));
    LibrarySet(dir.Path(), "Added", "x y");
    EXPECT_EQ(ParseJsonLine(watch.Line()), (Items{{"Port", "LPT2"}, {"Note", "\"a\\b\""}, {"Added", "x y"}}));
    std::string rest;
    std::string err;
    EXPECT_EQ(watch.Exit(&rest, &err), 0);
    EXPECT_EQ(rest, "");
    EXPECT_EQ(err, "");
}

TEST_F(WatchToolTest, TextFormIsShowsFormWithAnEmptyLineAfterEachPrint)
{
    WatchRun watch({"-d", dir.Path(), "watch", "PrinterSet", "--count", "1"});
    EXPECT_EQ(watch.Line(), "Port = LPT1");
    EXPECT_EQ(watch.Line(), "Note = \"a\\\\b\"");  // a backslash is shown as two
    EXPECT_EQ(watch.Line(), "");
    WriteFile(dir.Settings(), "[PrinterSet]\r\n");  // in place, no items left
    std::string rest;
    EXPECT_EQ(watch.Exit(&rest), 0);
    EXPECT_EQ(rest, "\n");
}

TEST_F(WatchToolTest, ExitCodes)
{
    std::string err;
    {
        WatchRun missing({"-d", dir.File("missing"), "watch", "PrinterSet"});
        EXPECT_EQ(missing.Exit(nullptr, &err), 4);
        EXPECT_EQ(err, "qorvane: settings directory '" + dir.File("missing") + "' does not exist\n");
    }
    {
        WatchRun badKey({"-d", dir.Path(), "watch", "Nope"});
        EXPECT_EQ(badKey.Exit(nullptr, &err), 2);
        EXPECT_NE(err.find("unknown key 'Nope'"), std::string::npos) << err;
    }
    {
        // A change of another key is no change: the timeout still runs out.
        WatchRun quiet({"-d", dir.Path(), "watch", "PrinterSet", "--timeout", "0.5"});
        EXPECT_EQ(quiet.Line(), "Port = LPT1");
        LibrarySet(dir.Path(), "Port", "LPT1");  // same value: rewritten, no change
        EXPECT_EQ(quiet.Exit(nullptr, &err), 1);
        EXPECT_EQ(err, "qorvane: no change of key 'PrinterSet' in 0.5 s\n");
    }
    for (const int sig : {SIGINT, SIGTERM}) {
        WatchRun stopped({"-d", dir.Path(), "watch", "PrinterSet", "--json"});
        ASSERT_TRUE(stopped.Line().has_value());
        stopped.Signal(sig);
        EXPECT_EQ(stopped.Exit(nullptr, &err), 0) << "signal " << sig;
        EXPECT_EQ(err, "");
    }
    {
        WatchRun removed({"-d", dir.Path(), "watch", "PrinterSet", "--json"});
        ASSERT_TRUE(removed.Line().has_value());
        std::filesystem::remove_all(dir.Path());
        EXPECT_EQ(removed.Exit(nullptr, &err), 4);
        EXPECT_EQ(err, "qorvane: settings directory '" + dir.Path() + "' was removed; the watch has ended\n");
    }
    {
        // Another directory swapped in at the watched path, in one step.
        std::filesystem::create_directory(dir.Path());
        WatchRun replaced({"-d", dir.Path(), "watch", "PrinterSet", "--json"});
        ASSERT_TRUE(replaced.Line().has_value());
        const std::string other = dir.Path() + "-other";
        std::filesystem::create_directory(other);
        ASSERT_EQ(::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, dir.Path().c_str(), RENAME_EXCHANGE), 0);
        EXPECT_EQ(replaced.Exit(nullptr, &err), 4);
        EXPECT_EQ(err, "qorvane: settings directory '" + dir.Path() + "' was replaced; the watch has ended\n");
        std::filesystem::remove_all(other);
    }
}

TEST_F(WatchToolTest, WaitsForTheFileToAppear)
{
    ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
    WatchRun watch({"-d", dir.Path(), "watch", "PrinterSet", "--json", "--count", "1"});
    EXPECT_EQ(ParseJsonLine(watch.Line()), Items{});
    ToolSet(dir.Path(), "Port", "NEW");
    EXPECT_EQ(ParseJsonLine(watch.Line()), (Items{{"Port", "NEW"}}));
    EXPECT_EQ(watch.Exit(), 0);
}

TEST_F(WatchToolTest, SaysOnceWhenItMustCheckTheStatus)
{
    WatchRun watch({"-d", dir.Path(), "watch", "PrinterSet", "--json", "--count", "2"}, true);
    EXPECT_EQ(ParseJsonLine(watch.Line()).size(), 2U);
    ToolSet(dir.Path(), "Port", "P1");
    EXPECT_EQ(ParseJsonLine(watch.Line()).at(0).second, "P1");
    ToolSet(dir.Path(), "Port", "P2");
    EXPECT_EQ(ParseJsonLine(watch.Line()).at(0).second, "P2");
    std::string err;
    EXPECT_EQ(watch.Exit(nullptr, &err), 0);
    EXPECT_EQ(err, "qorvane: cannot be told of changes in '" + dir.Path() +
                       "' as they happen: no inotify watches are left (fs.inotify.max_user_watches); "
                       "checking every 0.25 s\n");
}

}  // namespace

// The qorvane tool, run as a separate process the way a shell runs it: exit
// codes, one-line error messages, busy waiting, and values that must come
// back exactly as they were set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qorvane/Qorvane.h"
#include "sync/SharedCounter.h"
#include "testing/Testing.h"

extern char** environ;

namespace {

using qorvane::testing::ReadFile;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

// Two keys, comments, odd spacing, a duplicate item, CR LF line ends.
constexpr const char* kSeed =
    "; test settings\r\n"
    "[PrinterSet]\r\n"
    "Port = LPT1;\r\n"
    "Copies=2; default\r\n"
    "Port = LPT2;\r\n"
    "\r\n"
    "[HotKeySet]\r\n"
    "Print = Ctrl+P;\r\n";

struct RunResult {
    int exit = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

class Pipe {
public:
    Pipe() { EXPECT_EQ(::pipe2(m_fd, O_CLOEXEC), 0); }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    int Read() const { return m_fd[0]; }
    int Write() const { return m_fd[1]; }
    void CloseRead() { Close(m_fd[0]); }
    void CloseWrite() { Close(m_fd[1]); }

private:
    static void Close(int& fd)
    {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int m_fd[2] = {-1, -1};
};

// The tool under test, started with the test's private access counter.
class Running {
public:
    // `wrapper` runs the tool (setpriv ...), if given.
    explicit Running(std::vector<std::string> args, const char* stdoutPath = nullptr,
                     const std::vector<std::string>& wrapper = {})
        : m_start(Clock::now())
    {
        args.insert(args.begin(), {QORVANE_TOOL_UNDER_TEST, "--counter-name=" + qorvane::testing::CounterName()});
        args.insert(args.begin(), wrapper.begin(), wrapper.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdoutPath != nullptr) {
            posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_adddup2(&actions, m_out.Write(), 1);
        }
        posix_spawn_file_actions_adddup2(&actions, m_err.Write(), 2);
        const int rc = ::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
        if (rc != 0) m_pid = -1;
        m_out.CloseWrite();
        m_err.CloseWrite();
    }
    ~Running()
    {
        if (m_pid > 0) qorvane::testing::WaitChild(m_pid);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    RunResult Finish()
    {
        RunResult r;
        if (m_pid <= 0) return r;
        std::vector<pollfd> fds = {{m_out.Read(), POLLIN, 0}, {m_err.Read(), POLLIN, 0}};
        std::string* sinks[] = {&r.out, &r.err};
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            if (::poll(fds.data(), fds.size(), 10000) <= 0) {
                // Silent for 10 s: the tool hangs. Ending it fails the test
                // instead of hanging the suite.
                ::kill(m_pid, SIGKILL);
                break;
            }
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].fd < 0 || fds[i].revents == 0) continue;
                char buf[4096];
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) sinks[i]->append(buf, static_cast<std::size_t>(n));
                if (n <= 0) fds[i].fd = -1;
            }
        }
        r.exit = qorvane::testing::ExitCodeOf(qorvane::testing::WaitChild(m_pid));
        m_pid = -1;
        r.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
        return r;
    }

private:
    Pipe m_out;
    Pipe m_err;
    pid_t m_pid = -1;
    Clock::time_point m_start;
};

RunResult RunCli(std::vector<std::string> args)
{
    return Running(std::move(args)).Finish();
}

// An OFD write lock on the settings file, as another process would hold it.
class HeldLock {
public:
    explicit HeldLock(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        EXPECT_EQ(::fcntl(m_fd, F_OFD_SETLK, &lock), 0);
    }
    ~HeldLock() { Release(); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    void Release()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

void ExpectOneErrorLine(const RunResult& r, const std::string& fragment)
{
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("qorvane: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << "stderr: " << r.err << "expected: " << fragment;
}

// Sets an environment variable for the tool processes this test starts.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) m_old = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (m_old) {
            ::setenv(m_name, m_old->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

std::string Substitute(std::string text, const std::string& dir)
{
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
    return text;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(m_dir.Settings(), kSeed); }
    RunResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-d", m_dir.Path()});
        return RunCli(std::move(args));
    }
    TempDir m_dir;
};

// --- Errors: each class gets its exit code and one line; nothing is written.

struct ErrorCase {
    const char* name;
    std::vector<std::string> args;
    int exit;
    std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* os)
{
    *os << c.name;
}

class ToolErrorTest : public ToolTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ToolErrorTest, ExitCodeAndOneLineAndNothingWritten)
{
    std::vector<std::string> args;
    for (const std::string& a : GetParam().args) args.push_back(Substitute(a, m_dir.Path()));
    const RunResult r = RunCli(args);
    EXPECT_EQ(r.exit, GetParam().exit) << r.err;
    ExpectOneErrorLine(r, Substitute(GetParam().message, m_dir.Path()));
    EXPECT_EQ(ReadFile(m_dir.Settings()), kSeed);
    EXPECT_EQ(m_dir.Listing(), "QorRunningSet.Inf");
}

const std::string kIn = "{dir}";
const std::string kMissing = "{dir}/missing";

INSTANTIATE_TEST_SUITE_P(
    Classes, ToolErrorTest,
    ::testing::Values(
        ErrorCase{"ItemNotFound", {"-d", kIn, "get", "PrinterSet", "Nope"}, 1,
                  "item 'Nope' not found in key 'PrinterSet' of '{dir}/QorRunningSet.Inf'"},
        ErrorCase{"UnknownKey", {"-d", kIn, "get", "Printers", "Port"}, 2, "unknown key 'Printers'"},
        ErrorCase{"KeyWithBlank", {"-d", kIn, "set", " PrinterSet", "Port", "1"}, 2, "unknown key ' PrinterSet'"},
        ErrorCase{"LineFeedInName", {"-d", kIn, "set", "PrinterSet", "Po\nrt", "1"}, 2,
                  "item name 'Po\\x0Art' contains a line break"},
        ErrorCase{"CarriageReturnInValue", {"-d", kIn, "set", "PrinterSet", "Port", "1\r"}, 2, "line break"},
        ErrorCase{"EndOfTextInValue", {"-d", kIn, "set", "PrinterSet", "Port", "1\x1a"}, 2, "0x1A"},
        ErrorCase{"EqualsInName", {"-d", kIn, "set", "PrinterSet", "a=b", "1"}, 2, "item name 'a=b' contains '='"},
        ErrorCase{"SemicolonInValue", {"-d", kIn, "set", "PrinterSet", "Port", "1;2"}, 2, "contains ';'"},
        ErrorCase{"BlankAtEndOfValue", {"-d", kIn, "set", "PrinterSet", "Port", "LPT1 "}, 2, "white space"},
        ErrorCase{"BracketedValueWouldBeSplit", {"-d", kIn, "set", "PrinterSet", "A", "[x,y]", "B", "1"}, 2,
                  "set cannot take the argument '[x,y]'"},
        ErrorCase{"ValueReadsAsHeader", {"-d", kIn, "set", "PrinterSet", "Note", "[ HotKeySet ] x"}, 2,
                  "would read as the header of key 'HotKeySet'"},
        ErrorCase{"EmptyName", {"-d", kIn, "set", "PrinterSet", "", "1"}, 2, "item name is empty"},
        ErrorCase{"BadNameInLaterPair", {"-d", kIn, "set", "PrinterSet", "Port", "9", "x;", "1"}, 2, "'x;'"},
        ErrorCase{"ItemWithoutValue", {"-d", kIn, "set", "PrinterSet", "Port", "9", "Copies"}, 2,
                  "item 'Copies' has no value"},
        ErrorCase{"MissingDirectory", {"-d", kMissing, "get", "PrinterSet", "Port"}, 4,
                  "settings directory '{dir}/missing' does not exist"},
        ErrorCase{"MissingDirectoryOnSet", {"-d", kMissing, "set", "PrinterSet", "Port", "1"}, 4, "does not exist"},
        ErrorCase{"DirectoryIsAFile", {"-d", "{dir}/QorRunningSet.Inf", "show", "PrinterSet"}, 4,
                  "settings directory '{dir}/QorRunningSet.Inf' is not a directory"},
        ErrorCase{"NoCommand", {"-d", kIn}, 2, "no command given"},
        ErrorCase{"UnknownCommand", {"-d", kIn, "remove", "PrinterSet"}, 2, "remove"},
        ErrorCase{"NegativeWait", {"-d", kIn, "--wait", "-1", "get", "PrinterSet", "Port"}, 2, "--wait"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(ToolTest, SettingsFileThatIsADirectoryIsAFileError)
{
    TempDir other;
    ASSERT_EQ(::mkdir(other.Settings().c_str(), 0755), 0);
    const RunResult r = RunCli({"-d", other.Path(), "--wait", "0.1", "get", "PrinterSet", "Port"});
    EXPECT_EQ(r.exit, 4);
    ExpectOneErrorLine(r, "settings file '" + other.Settings() + "'");
}

// Opening a FIFO for reading waits for a writer: the commands must refuse
// one at the settings name without waiting.
TEST_F(ToolTest, FifoAtTheSettingsNameIsRefusedWithoutWaiting)
{
    ASSERT_EQ(::unlink(m_dir.Settings().c_str()), 0);
    ASSERT_EQ(::mkfifo(m_dir.Settings().c_str(), 0644), 0);
    const ScopedEnv editor("EDITOR", "true");
    const std::string notRegular = "settings file '" + m_dir.Settings() + "' is not a regular file";
    const std::vector<std::string> commands[] = {
        {"get", "PrinterSet", "Port"}, {"show", "PrinterSet"}, {"set", "PrinterSet", "Port", "1"},
        {"unset", "PrinterSet", "Port"}, {"check"}, {"edit"},
    };
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(args[0]);
        const RunResult r = Tool(args);
        EXPECT_EQ(r.exit, 4) << "(-1009: killed after hanging) " << r.err;
        ExpectOneErrorLine(r, notRegular);
    }
    // watch waits for a regular file to take the name's place.
    const RunResult r = Tool({"watch", "--timeout", "0.2", "PrinterSet"});
    EXPECT_EQ(r.exit, 1) << r.err;
    EXPECT_NE(r.err.find(notRegular + "; still watching"), std::string::npos) << r.err;
}

// Root ignores permission bits, so as root the tool runs as "nobody".
TEST_F(ToolTest, UnwritableDirectoryIsAFileErrorNotBusy)
{
    std::vector<std::string> wrapper;
    TempDir other;
    if (::geteuid() == 0) {
        if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "root ignores permission bits, and no setpriv";
        wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        ASSERT_EQ(::chmod(other.Path().c_str(), 0755), 0);  // mkdtemp made it 0700
    }
    const std::string dir = other.File("ro");
    ASSERT_EQ(::mkdir(dir.c_str(), 0555), 0);
    const RunResult r = Running({"-d", dir, "set", "PrinterSet", "Port", "1"}, nullptr, wrapper).Finish();
    EXPECT_EQ(r.exit, 4);
    ExpectOneErrorLine(r, "cannot create settings file '" + dir + "/QorRunningSet.Inf'");
}

// Only set creates a missing settings file; the commands that read, and
// unset, which has nothing to remove, never do.
TEST_F(ToolTest, MissingSettingsFileIsCreatedOnlyBySet)
{
    struct {
        std::vector<std::string> args;
        int exit;
        std::string out;
        std::string err;
    } const cases[] = {
        {{"get", "PrinterSet", "Port"}, 1, "", "there is no settings file '{file}'"},
        {{"show", "PrinterSet"}, 0, "", ""},
        {{"show", "--json", "PrinterSet"}, 0, "{\"key\":\"PrinterSet\",\"items\":[]}\n", ""},
        {{"unset", "PrinterSet", "Port"}, 1, "", "item 'Port' not found in key 'PrinterSet' of '{file}'"},
        {{"check"}, 4, "", "settings file '{file}' does not exist"},
        {{"edit"}, 4, "", "settings file '{file}' does not exist"},
    };
    TempDir other;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {"-d", other.Path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = RunCli(args);
        EXPECT_EQ(r.exit, c.exit) << r.err;
        if (c.err.empty()) {
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.err, "");
        } else {
            std::string message = c.err;
            message.replace(message.find("{file}"), 6, other.Settings());
            ExpectOneErrorLine(r, message);
        }
        EXPECT_EQ(other.Listing(), "");
    }
    EXPECT_EQ(RunCli({"-d", other.Path(), "set", "PrinterSet", "Port", "1"}).exit, 0);
    EXPECT_EQ(ReadFile(other.Settings()), "[PrinterSet]\r\nPort = 1;\r\n");
}

TEST_F(ToolTest, OutputThatCannotBeWrittenIsAnError)
{
    Running tool({"-d", m_dir.Path(), "get", "PrinterSet", "Port"}, "/dev/full");
    const RunResult r = tool.Finish();
    EXPECT_EQ(r.exit, 4);
    ExpectOneErrorLine(r, "cannot write the output");
}

// --- Values come back exactly as set.

TEST_F(ToolTest, ValuesRoundTrip)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Port", "LPT3"},
        {"Init", "ESC @ = reset"},
        {"Name With Spaces", "two  inner\tgaps"},
        {"Ünïcode", "日本語 ✓ ü"},
        {"Offset", "-5"},
        {"Path", "C:\\spool\\[out]"},
        {"Key[1]", "[Ctrl]+P"},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        const RunResult set = Tool({"set", "PrinterSet", "--", name, value});
        EXPECT_EQ(set.exit, 0) << set.err;
        const RunResult get = Tool({"get", "--", "PrinterSet", name});
        EXPECT_EQ(get.exit, 0) << get.err;
        EXPECT_EQ(get.out, value + "\n");
    }
    // The other key is untouched.
    EXPECT_NE(ReadFile(m_dir.Settings()).find("[HotKeySet]\r\nPrint = Ctrl+P;\r\n"), std::string::npos);
}

TEST_F(ToolTest, DirectoryNameWithOuterBlanksIsUsedAsGiven)
{
    const std::string spaced = m_dir.File(" spaced ");
    ASSERT_EQ(::mkdir(spaced.c_str(), 0755), 0);
    EXPECT_EQ(RunCli({"-d", spaced, "set", "HotKeySet", "Copy", "Ctrl+C"}).exit, 0);
    EXPECT_EQ(RunCli({"-d", spaced, "get", "HotKeySet", "Copy"}).out, "Ctrl+C\n");
    EXPECT_EQ(ReadFile(spaced + "/QorRunningSet.Inf"), "[HotKeySet]\r\nCopy = Ctrl+C;\r\n");
}

TEST_F(ToolTest, SeveralItemsLandTogether)
{
    const RunResult r = Tool({"set", "PrinterSet", "Port", "LPT9", "Copies", "3", "Duplex", "on"});
    EXPECT_EQ(r.exit, 0) << r.err;
    // First Port replaced in place, the duplicate kept, the new item added
    // to the end of the key's section.
    EXPECT_EQ(Tool({"show", "PrinterSet"}).out, "Port = LPT9\nCopies = 3\nPort = LPT2\nDuplex = on\n");
    EXPECT_EQ(Tool({"show", "HotKeySet"}).out, "Print = Ctrl+P\n");

    // While another process holds the file, none of them lands.
    const std::string before = ReadFile(m_dir.Settings());
    HeldLock lock(m_dir.Settings());
    const RunResult busy = Tool({"--wait", "0.1", "set", "PrinterSet", "Port", "X", "Duplex", "off"});
    EXPECT_EQ(busy.exit, 3);
    EXPECT_EQ(ReadFile(m_dir.Settings()), before);
}

// --- Busy: retried within --wait, then exit 3; never confused with missing.

TEST_F(ToolTest, HeldLockIsBusyAfterTheWait)
{
    HeldLock lock(m_dir.Settings());
    struct {
        const char* wait;
        double min;
        double max;
    } const waits[] = {{"0", 0.0, 0.5}, {"0.3", 0.3, 1.5}};
    for (const auto& w : waits) {
        SCOPED_TRACE(w.wait);
        const RunResult r = Tool({"--wait", w.wait, "get", "PrinterSet", "Port"});
        EXPECT_EQ(r.exit, 3);
        ExpectOneErrorLine(r, "settings file '" + m_dir.Settings() + "' is busy: another process holds its lock");
        EXPECT_GE(r.seconds, w.min);
        EXPECT_LT(r.seconds, w.max);
    }
}

TEST_F(ToolTest, LockReleasedDuringTheWaitSucceeds)
{
    HeldLock lock(m_dir.Settings());
    Running tool({"-d", m_dir.Path(), "--wait", "5", "get", "PrinterSet", "Port"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    lock.Release();
    const RunResult r = tool.Finish();
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.out, "LPT1\n");
    EXPECT_GE(r.seconds, 0.25);
    EXPECT_LT(r.seconds, 3.0);
}

TEST_F(ToolTest, WriterInTheCounterMakesReadsBusy)
{
    qorvane::sync::WriterShare writer;
    ASSERT_TRUE(writer.In());
    const RunResult r = Tool({"--wait", "0.1", "get", "PrinterSet", "Port"});
    EXPECT_EQ(r.exit, 3);
    ExpectOneErrorLine(r, "is busy: a writer holds it");
}

TEST_F(ToolTest, ReaderInTheCounterMakesWritesBusyAndKeepsTheFile)
{
    qorvane::sync::ReaderShare reader;
    ASSERT_TRUE(reader.In());
    const RunResult r = Tool({"--wait", "0.1", "set", "PrinterSet", "Port", "LPT5"});
    EXPECT_EQ(r.exit, 3);
    ExpectOneErrorLine(r, "is busy: readers or another writer kept it");
    EXPECT_EQ(ReadFile(m_dir.Settings()), kSeed);
}

// --- show --json loses nothing.

// Just enough JSON for {"key":S,"items":[[T,T],...]}, where T is a string
// or {"hex":"..."} (the tool's form for bytes that are not valid UTF-8).
// Strings must be valid UTF-8 and hold no \u escapes but of control bytes.
class TinyJson {
public:
    explicit TinyJson(std::string text) : m_s(std::move(text)) {}
    void Expect(const std::string& literal)
    {
        if (m_s.compare(m_at, literal.size(), literal) != 0) throw std::runtime_error("expected " + literal);
        m_at += literal.size();
    }
    bool Peek(char c) const { return m_at < m_s.size() && m_s[m_at] == c; }
    std::string String()
    {
        Expect("\"");
        std::string out;
        while (!Peek('"')) {
            if (m_at >= m_s.size()) throw std::runtime_error("unterminated string");
            const char c = m_s[m_at++];
            if (static_cast<unsigned char>(c) < 0x20) throw std::runtime_error("raw control byte");
            if (c != '\\') {
                out += c;
                continue;
            }
            const char e = m_s.at(m_at++);
            const std::string simple = "\"\\/bfnrt";
            const std::string meant = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos) {
                out += meant[simple.find(e)];
            } else if (e == 'u') {
                const unsigned long u = std::stoul(m_s.substr(m_at, 4), nullptr, 16);
                m_at += 4;
                if (u < 0x20) {
                    out += static_cast<char>(u);
                } else {
                    throw std::runtime_error("unexpected \\u escape");
                }
            } else {
                throw std::runtime_error("bad escape");
            }
        }
        Expect("\"");
        return out;
    }
    // A string, or the bytes of {"hex":"..."}.
    std::string Text()
    {
        if (!Peek('{')) return String();
        Expect("{\"hex\":");
        const std::string hex = String();
        Expect("}");
        if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
            throw std::runtime_error("bad hex " + hex);
        }
        std::string out;
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            out += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
        }
        return out;
    }
    bool AtEnd() const { return m_at == m_s.size(); }

private:
    std::string m_s;
    std::size_t m_at = 0;
};

TEST_F(ToolTest, ShowListsItemsInFileOrderAndJsonLosesNothing)
{
    const std::vector<std::pair<std::string, std::string>> items = {
        {"Port", "1"},
        {"Port", "2"},
        {"Quote", "say \"hi\" \\ back/slash"},
        {"Control", "a\x01" "b\tc\x7f"},
        {"Utf8", "日本 ✓"},
        {"Latin1", "caf\xe9 \xff\xfe!"},
        {"Caf\xe9", "name not UTF-8"},
        {"Surrogate", "\xed\xa0\x80 overlong \xc0\xaf"},
    };
    std::string file = "[PrinterSet]\r\n";
    for (const auto& [name, value] : items) file += name + " = " + value + ";\r\n";
    WriteFile(m_dir.Settings(), file + "[HotKeySet]\r\nPrint = Ctrl+P;\r\n");

    // Text for a terminal: backslashes and control characters escaped.
    const ScopedEnv utf8("LC_ALL", "C.UTF-8");
    EXPECT_EQ(Tool({"show", "PrinterSet"}).out,
              "Port = 1\nPort = 2\nQuote = say \"hi\" \\\\ back/slash\nControl = a\\x01b\\x09c\\x7F\n"
              "Utf8 = 日本 ✓\nLatin1 = caf\xe9 \xff\xfe!\nCaf\xe9 = name not UTF-8\n"
              "Surrogate = \xed\xa0\\x80 overlong \xc0\xaf\n");

    const RunResult r = Tool({"show", "--json", "PrinterSet"});
    ASSERT_EQ(r.exit, 0) << r.err;
    TinyJson json(r.out);
    std::vector<std::pair<std::string, std::string>> parsed;
    std::string key;
    try {
        json.Expect("{\"key\":");
        key = json.String();
        json.Expect(",\"items\":[");
        while (!json.Peek(']')) {
            if (!parsed.empty()) json.Expect(",");
            json.Expect("[");
            std::string name = json.Text();
            json.Expect(",");
            parsed.emplace_back(std::move(name), json.Text());
            json.Expect("]");
        }
        json.Expect("]}\n");
    } catch (const std::exception& e) {
        FAIL() << e.what() << " in " << r.out;
    }
    EXPECT_TRUE(json.AtEnd());
    EXPECT_NE(r.out.find("{\"hex\":\"636166e920fffe21\"}"), std::string::npos) << r.out;
    EXPECT_EQ(key, "PrinterSet");
    EXPECT_EQ(parsed, items);
}

TEST_F(ToolTest, ShowOfKeyWithoutSectionIsEmpty)
{
    WriteFile(m_dir.Settings(), "[PrinterSet]\r\nPort = 1;\r\n");
    const RunResult r = Tool({"show", "--json", "HotKeySet"});
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.out, "{\"key\":\"HotKeySet\",\"items\":[]}\n");
}

// --- keys, --help, --version

// show and watch print for a terminal, so a value from the file must not
// move the cursor or overwrite other lines; get prints the stored bytes.
TEST_F(ToolTest, ShowAndWatchEscapeControlCharactersGetDoesNot)
{
    const struct {
        const char* locale;
        std::string name;
        std::string value;
        std::string shown;
    } cases[] = {
        {"C.UTF-8", "Title", "\x1b[2J\x1b[Hok", "Title = \\x1B[2J\\x1B[Hok"},
        {"C.UTF-8", "Ret", "abc\rxy\bz\x7f!", "Ret = abc\\x0Dxy\\x08z\\x7F!"},
        {"C.UTF-8", "Tab\x01", "a\tb", "Tab\\x01 = a\\x09b"},
        {"C.UTF-8", "Path", "C:\\x1B", "Path = C:\\\\x1B"},
        {"C.UTF-8", "C1", "\x9b" "31m \xc2\x9b" "0m", "C1 = \\x9B31m \\xC2\\x9B0m"},
        {"C.UTF-8", "Text", "caf\xc3\xa9 \xc4\x80 \xe6\x97\xa5", "Text = caf\xc3\xa9 \xc4\x80 \xe6\x97\xa5"},
        {"C", "Text", "caf\xc3\xa9 \xc4\x80", "Text = caf\xc3\xa9 \xc4\\x80"},
        {"zh_CN.GBK", "Gbk", "\x81\x40\x81\x5c \x9b", "Gbk = \x81\x40\x81\x5c \\x9B"},
    };
    std::string missing;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.locale) + " " + c.shown);
        if (const locale_t loc = ::newlocale(LC_CTYPE_MASK, c.locale, nullptr)) {
            ::freelocale(loc);
        } else {
            if (std::getenv("CI") != nullptr) ADD_FAILURE() << "locale " << c.locale << " missing";
            missing += std::string(" ") + c.locale;
            continue;
        }
        const ScopedEnv locale("LC_ALL", c.locale);
        WriteFile(m_dir.Settings(), "[PrinterSet]\r\n" + c.name + " = " + c.value + ";\r\n");
        EXPECT_EQ(Tool({"show", "PrinterSet"}).out, c.shown + "\n");
        EXPECT_EQ(Tool({"watch", "--count", "0", "PrinterSet"}).out, c.shown + "\n\n");
        EXPECT_EQ(Tool({"get", "PrinterSet", c.name}).out, c.value + "\n");
    }
    // Messages quote what they echo from the file the same way.
    const ScopedEnv utf8("LC_ALL", "C.UTF-8");
    WriteFile(m_dir.Settings(), "[PrinterSet]\r\n\x1b[2K\\\xc2\x9b\r\n");
    const RunResult check = Tool({"check"});
    EXPECT_NE(check.out.find(" line '\\x1B[2K\\\\\\xC2\\x9B' in key"), std::string::npos) << check.out;
    if (!missing.empty()) GTEST_SKIP() << "locales missing:" << missing << " (localedef -f GBK -i zh_CN zh_CN.GBK)";
}

TEST(ToolInfoTest, KeysListsTheCatalogue)
{
    const RunResult r = RunCli({"keys"});
    ASSERT_EQ(r.exit, 0) << r.err;
    std::istringstream lines(r.out);
    std::string name;
    std::string hex;
    std::set<unsigned long> ids;
    while (lines >> name >> hex) {
        const unsigned long id = std::stoul(hex, nullptr, 16);
        EXPECT_EQ(hex, "0x" + std::string(hex.substr(2)));
        EXPECT_EQ(CQorvane::Keys_Name2ID(name.c_str()), id) << name;
        ids.insert(id);
    }
    EXPECT_EQ(ids, (std::set<unsigned long>{KEYID_PRINTERSET, KEYID_HOTKEYSET}));
}

TEST(ToolInfoTest, HelpAndVersion)
{
    const RunResult version = RunCli({"--version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, std::string("qorvane ") + QORVANE_EXPECTED_VERSION + "\n");

    const RunResult help = RunCli({"--help"});
    EXPECT_EQ(help.exit, 0);
    for (const char* word : {"get", "set", "show", "keys", "--wait", "Exit codes", "3  the settings file stayed busy"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
}

// jq and Python read the JSON back to the same bytes. The output goes
// through `jq -c .` first: what jq writes must decode to the same items.
TEST_F(ToolTest, ShowJsonSurvivesJqAndPython)
{
    const std::string value = "caf\xe9 \xff";
    WriteFile(m_dir.Settings(), "[PrinterSet]\r\nLatin1 = " + value + ";\r\nUtf8 = \xc3\xa9;\r\n");
    const RunResult r = Tool({"show", "--json", "PrinterSet"});
    ASSERT_EQ(r.exit, 0) << r.err;
    const std::string json = m_dir.File("show.json");
    WriteFile(json, r.out);
    auto run = [](const std::string& command) {
        std::string out;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return out;
        char buf[256];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
        ::pclose(pipe);
        return out;
    };
    int tools = 0;
    if (std::system("command -v jq >/dev/null 2>&1") == 0) {
        ++tools;
        // jq passes it through unchanged, and its hex form gives the bytes.
        EXPECT_EQ(run("jq -c . " + json), r.out);
        EXPECT_EQ(run("jq -r '.items[0][1].hex' " + json), "636166e920ff\n");
        EXPECT_EQ(run("jq -r '.items[1][1]' " + json), "\xc3\xa9\n");
    }
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        ++tools;
        const std::string script =
            "import json,sys\n"
            "d=json.load(open(sys.argv[1],encoding='utf-8'))\n"
            "b=lambda v: bytes.fromhex(v['hex']) if isinstance(v,dict) else v.encode('utf-8')\n"
            "sys.stdout.buffer.write(b'|'.join(b(n)+b'='+b(v) for n,v in d['items']))\n";
        const std::string py = m_dir.File("read.py");
        WriteFile(py, script);
        EXPECT_EQ(run("python3 " + py + " " + json), "Latin1=" + value + "|Utf8=\xc3\xa9");
    }
    if (tools == 0) GTEST_SKIP() << "neither jq nor python3 is installed (scripts/setup-debian.sh installs both)";
}

// --- unset

TEST_F(ToolTest, UnsetRemovesItemsInOneWrite)
{
    struct {
        const char* name;
        std::vector<std::string> items;
        int exit;
        std::string file;  // "" : unchanged
        std::string err;
    } const cases[] = {
        {"AllThere", {"Port", "Copies"}, 0,
         "; test settings\r\n[PrinterSet]\r\n\r\n[HotKeySet]\r\nPrint = Ctrl+P;\r\n", ""},
        {"SomeThere", {"Copies", "Nope", "Other", "Copies"}, 0,
         "; test settings\r\n[PrinterSet]\r\nPort = LPT1;\r\nPort = LPT2;\r\n\r\n[HotKeySet]\r\nPrint = Ctrl+P;\r\n",
         "qorvane: items 'Nope', 'Other' not found in key 'PrinterSet'; the others were removed\n"},
        {"NoneThere", {"Nope", "Print"}, 1, "",
         "qorvane: none of the items 'Nope', 'Print' found in key 'PrinterSet' of '{file}'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_dir.Settings(), kSeed);
        std::vector<std::string> args = {"unset", "PrinterSet"};
        args.insert(args.end(), c.items.begin(), c.items.end());
        const RunResult r = Tool(args);
        EXPECT_EQ(r.exit, c.exit);
        EXPECT_EQ(r.out, "");
        std::string err = c.err;
        if (const std::size_t at = err.find("{file}"); at != std::string::npos) err.replace(at, 6, m_dir.Settings());
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(ReadFile(m_dir.Settings()), c.file.empty() ? std::string(kSeed) : c.file);
        EXPECT_EQ(m_dir.Listing(), "QorRunningSet.Inf");
    }
}

TEST_F(ToolTest, UnsetRefusesBadNamesAndWaitsForTheLock)
{
    const RunResult bad = Tool({"unset", "PrinterSet", "a=b"});
    EXPECT_EQ(bad.exit, 2);
    ExpectOneErrorLine(bad, "item name 'a=b' contains '='");
    const RunResult key = Tool({"unset", "Printers", "Port"});
    EXPECT_EQ(key.exit, 2);

    HeldLock lock(m_dir.Settings());
    const RunResult busy = Tool({"--wait", "0.1", "unset", "PrinterSet", "Port"});
    EXPECT_EQ(busy.exit, 3);
    ExpectOneErrorLine(busy, "is busy: another process holds its lock (gave up after");
    EXPECT_EQ(ReadFile(m_dir.Settings()), kSeed);
}

// --- check

struct CheckCase {
    const char* name;
    std::string file;
    std::vector<std::string> findings;  // "LINE:kind"
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.name;
}

class ToolCheckTest : public ToolTest, public ::testing::WithParamInterface<CheckCase> {};

// The JSON form, reduced to "LINE:kind" per finding; it also checks the
// text form has the same number of FILE:LINE: lines.
std::vector<std::string> FindingsOf(const RunResult& json)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; (at = json.out.find("{\"line\":", at)) != std::string::npos;) {
        at += 8;
        const std::size_t comma = json.out.find(',', at);
        const std::string line = json.out.substr(at, comma - at);
        const std::size_t kind = json.out.find("\"kind\":\"", comma) + 8;
        out.push_back(line + ":" + json.out.substr(kind, json.out.find('"', kind) - kind));
    }
    return out;
}

TEST_P(ToolCheckTest, ReportsWhatReadersWillNotSee)
{
    const CheckCase& c = GetParam();
    WriteFile(m_dir.Settings(), c.file);
    const RunResult json = Tool({"check", "--json"});
    EXPECT_EQ(json.exit, c.findings.empty() ? 0 : 1) << json.err;
    EXPECT_EQ(FindingsOf(json), c.findings) << json.out;
    EXPECT_EQ(json.out.front(), '[');

    const RunResult text = Tool({"check"});
    EXPECT_EQ(text.exit, json.exit);
    std::istringstream lines(text.out);
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
        ASSERT_LT(n, c.findings.size()) << text.out;
        const std::string where = m_dir.Settings() + ":" + c.findings[n].substr(0, c.findings[n].find(':')) + ": ";
        EXPECT_EQ(line.rfind(where, 0), 0u) << line;
    }
    EXPECT_EQ(n, c.findings.size());
    EXPECT_EQ(ReadFile(m_dir.Settings()), c.file);  // a reader never writes
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolCheckTest,
    ::testing::Values(
        CheckCase{"CleanFile", kSeed, {"5:duplicate-item"}},
        CheckCase{"NothingFound", "; c\r\n[PrinterSet]\r\nA = 1;\r\n\r\n[HotKeySet]\r\nB = 2;\r\n[Other]\r\nA = 2;\r\nx\r\n", {}},
        CheckCase{"EmptyFile", "", {}},
        CheckCase{"DuplicateOnlyInKnownKeysFirstSection",
                  "[Other]\r\nA = 1;\r\nA = 1;\r\n[PrinterSet]\r\nA = 1;\r\nB = 1;\r\nA = 2;\r\n",
                  {"7:duplicate-item"}},
        CheckCase{"SecondSectionAndCaseAndBlanks",
                  "[PrinterSet]\r\nA = 1;\r\n[HotKeySet]\r\n[printerSet]\r\n[ PrinterSet ]\r\n",
                  {"4:header-case", "5:second-section", "5:header-blanks"}},
        CheckCase{"UnreadLinesInsideAKnownKey",
                  "[PrinterSet]\r\nEmpty = ;\r\njust text\r\n = value\r\n; comment\r\n\r\n[Other]\r\nnot read either\r\n",
                  {"2:unread-line", "3:unread-line", "4:unread-line"}},
        CheckCase{"ItemThatReadsAsAHeader",
                  "[PrinterSet]\r\nNote = [HotKeySet];\r\nOther = [x];\r\n[HotKeySet]\r\n",
                  {"2:item-reads-as-header", "3:item-reads-as-header", "4:second-section"}},
        CheckCase{"EndMarkNulAndLineEnds",
                  "[PrinterSet]\r\nA = 1;\nB = 2\0junk;\r\n\x1a[HotKeySet]\r\n"s,
                  {"2:mixed-line-ends", "3:nul-byte", "4:after-end-mark"}},
        CheckCase{"EndMarkAloneAtTheEndIsFine", "[PrinterSet]\r\nA = 1;\r\n\x1a", {}}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

// --- Compare-and-set: --expect and --expect-absent, all or nothing.

TEST_F(ToolTest, ExpectWritesOnlyWhatStillHoldsTheExpectedValue)
{
    const struct {
        const char* name;
        std::vector<std::string> args;
        int exit;
        std::string message;  // the one error line, or "" for success
        std::string show;     // show PrinterSet afterwards
    } cases[] = {
        {"Match", {"set", "PrinterSet", "Copies", "3", "--expect", "2"}, 0, "",
         "Port = LPT1\nCopies = 3\nPort = LPT2\n"},
        {"Mismatch", {"set", "PrinterSet", "Copies", "3", "--expect", "9"}, 5,
         "item 'Copies' in key 'PrinterSet' has the value '2' (expected '9'); nothing written", ""},
        {"AbsentAsExpected", {"set", "PrinterSet", "New", "1", "--expect-absent"}, 0, "",
         "Port = LPT1\nCopies = 2\nPort = LPT2\nNew = 1\n"},
        {"FirstOfDuplicatesCounts", {"set", "PrinterSet", "Port", "X", "--expect-absent"}, 5,
         "item 'Port' in key 'PrinterSet' has the value 'LPT1' (expected none)", ""},
        {"AllOrNothing", {"set", "PrinterSet", "Copies", "3", "New", "1", "--expect", "2", "--expect", "x"}, 5,
         "item 'New' in key 'PrinterSet' does not exist (expected 'x'); nothing written", ""},
        {"InOrderOfPairs", {"set", "PrinterSet", "New", "1", "--expect-absent", "Copies", "3", "--expect", "2"}, 0, "",
         "Port = LPT1\nCopies = 3\nPort = LPT2\nNew = 1\n"},
        {"OnePerPair", {"set", "PrinterSet", "Copies", "3", "New", "1", "--expect", "2"}, 2,
         "give one per pair", ""},
        {"UnsetMatch", {"unset", "PrinterSet", "Copies", "--expect", "2"}, 0, "", "Port = LPT1\nPort = LPT2\n"},
        {"UnsetMismatch", {"unset", "PrinterSet", "Copies", "Nope", "--expect", "2", "--expect", "1"}, 5,
         "item 'Nope' in key 'PrinterSet' does not exist (expected '1')", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_dir.Settings(), kSeed);
        const RunResult r = Tool(c.args);
        EXPECT_EQ(r.exit, c.exit) << r.err;
        if (c.exit != 0) {
            ExpectOneErrorLine(r, c.message);
            EXPECT_EQ(ReadFile(m_dir.Settings()), kSeed);
        } else {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(Tool({"show", "PrinterSet"}).out, c.show);
        }
    }
}

// --- edit, with a scripted editor


// A file without findings, so that check lets edits of it through.
constexpr const char* kEditSeed =
    "; test settings\r\n"
    "[PrinterSet]\r\n"
    "Port = LPT1;\r\n"
    "Copies=2; default\r\n"
    "Speed = 9;\r\n"
    "\r\n"
    "[HotKeySet]\r\n"
    "Print = Ctrl+P;\r\n";

class EditTest : public ToolTest {
protected:
    // An editor script: `body` runs with the copy as $1; then, if
    // MEANWHILE is set, that command runs, as another process would while
    // the person edits.
    void Editor(const std::string& body, int exitCode = 0)
    {
        const std::string script = m_scripts.File("editor.sh");
        WriteFile(script, "#!/bin/sh\nset -e\n" + body + "\nif [ -n \"$MEANWHILE\" ]; then sh -c \"$MEANWHILE\"; fi\nexit " +
                              std::to_string(exitCode) + "\n");
        ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
        m_editor.emplace("EDITOR", script);
    }
    // A tool command line for MEANWHILE.
    std::string Meanwhile(const std::string& args) const
    {
        return std::string(QORVANE_TOOL_UNDER_TEST) + " --counter-name=" + qorvane::testing::CounterName() + " -d '" +
               m_dir.Path() + "' " + args;
    }
    RunResult Edit(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"edit"};
        args.insert(args.end(), extra.begin(), extra.end());
        return Tool(args);  // stdin is not a terminal
    }
    // The copy a message names as kept, read and removed.
    static std::string KeptCopy(const RunResult& r)
    {
        const std::string marker = "your text is kept in '";
        const std::size_t at = r.err.find(marker);
        if (at == std::string::npos) return "<no copy named>";
        const std::size_t from = at + marker.size();
        const std::string path = r.err.substr(from, r.err.find('\'', from) - from);
        std::string text = ReadFile(path);
        ::unlink(path.c_str());
        return text;
    }
    void SetUp() override
    {
        WriteFile(m_dir.Settings(), kEditSeed);
        m_tmp.emplace("TMPDIR", m_copies.Path());
        ::unsetenv("VISUAL");
    }
    // Every copy is removed unless a message names it as kept.
    void TearDown() override { EXPECT_EQ(m_copies.Listing(), ""); }

    TempDir m_copies;
    TempDir m_scripts;
    std::optional<ScopedEnv> m_tmp;
    std::optional<ScopedEnv> m_editor;
};

TEST_F(EditTest, UnchangedFileIsReplacedByTheEditedText)
{
    // Comments, blank lines and odd spacing are the person's to change.
    Editor("printf '; mine\\n[PrinterSet]\\nPort=LPT7 ; by hand\\n\\n\\n' > \"$1\"");
    const RunResult r = Edit();
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(ReadFile(m_dir.Settings()), "; mine\n[PrinterSet]\nPort=LPT7 ; by hand\n\n\n");
    EXPECT_EQ(m_dir.Listing(), "QorRunningSet.Inf");
}

TEST_F(EditTest, NothingIsWrittenWithoutAChangeOrWhenTheEditorFails)
{
    Editor("true");
    RunResult r = Edit();
    EXPECT_EQ(r.exit, 0);
    EXPECT_EQ(r.err, "qorvane: no changes; nothing written\n");

    Editor("echo 'Port = X;' >> \"$1\"", 3);
    r = Edit();
    EXPECT_EQ(r.exit, 1);
    ExpectOneErrorLine(r, "the editor exited with status 3; nothing written");
    EXPECT_EQ(ReadFile(m_dir.Settings()), kEditSeed);
}

TEST_F(EditTest, VisualComesBeforeEditor)
{
    Editor("exit 9");
    const std::string visual = m_scripts.File("visual.sh");
    WriteFile(visual, "#!/bin/sh\nsed -i 's/LPT1/LPT8/' \"$1\"\n");
    ASSERT_EQ(::chmod(visual.c_str(), 0755), 0);
    ScopedEnv env("VISUAL", visual);
    const RunResult r = Edit();
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(Tool({"get", "PrinterSet", "Port"}).out, "LPT8\n");
}

TEST_F(EditTest, ItemChangesAreMergedIntoAFileChangedMeanwhile)
{
    // Set two items, remove one, add one to the other key; meanwhile
    // another process sets an item of each key.
    Editor("sed -i 's/^Copies=2; default/Copies = 5;/; /^Speed = 9;/d; s/^Port = LPT1;/Port = LPT3;/' \"$1\"\n"
           "printf 'New = F2;\\r\\n' >> \"$1\"");
    ScopedEnv meanwhile("MEANWHILE", Meanwhile("set PrinterSet Duplex on") + " && " +
                                         Meanwhile("set HotKeySet Print Ctrl+Alt+P"));
    const RunResult r = Edit();
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_NE(r.err.find("changed while you edited it; your item changes were merged"), std::string::npos) << r.err;
    // Duplex was added after the blank line that ends the section, as
    // CloseKey adds items.
    EXPECT_EQ(ReadFile(m_dir.Settings()),
              "; test settings\r\n[PrinterSet]\r\nPort = LPT3;\r\nCopies = 5;\r\n\r\nDuplex = on;\r\n\r\n"
              "[HotKeySet]\r\nPrint = Ctrl+Alt+P;\r\nNew = F2;\r\n");
}

TEST_F(EditTest, OtherChangesToAFileChangedMeanwhileAreKeptNotWritten)
{
    const struct {
        const char* name;
        std::string script;
    } cases[] = {
        {"Comment", "sed -i 's/; test settings/; edited/; s/LPT1/LPT4/' \"$1\""},
        {"NewSection", "printf '[Third]\\r\\nX = 1;\\r\\n' >> \"$1\""},
        {"MovedItem", "sed -i '/^Port = LPT1;/d' \"$1\"; sed -i 's/^Speed = 9;/Speed = 9;\\r\\nPort = LPT1;/' \"$1\""},
        {"LineEnds", "sed -i 's/\\r$//' \"$1\""},
        {"ItemComment", "sed -i 's/^Copies=2; default/Copies=2; edited/; s/LPT1/LPT4/' \"$1\""},
        {"ItemSpacing", "sed -i 's/^Speed = 9;/Speed=9;/; s/LPT1/LPT4/' \"$1\""},
        {"CommentOfChangedItem", "sed -i 's/^Port = LPT1;/Port = LPT4; by hand/' \"$1\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_dir.Settings(), kEditSeed);
        Editor(c.script + "\ncp \"$1\" '" + m_scripts.File("expected") + "'");
        ScopedEnv meanwhile("MEANWHILE", Meanwhile("set HotKeySet Copy Ctrl+C"));
        const RunResult r = Edit();
        EXPECT_EQ(r.exit, 3);
        ExpectOneErrorLine(r, "changed while you edited it, and your edit changes more than items");
        EXPECT_EQ(KeptCopy(r), ReadFile(m_scripts.File("expected")));
        EXPECT_EQ(Tool({"show", "HotKeySet"}).out, "Print = Ctrl+P\nCopy = Ctrl+C\n");
        EXPECT_EQ(Tool({"get", "PrinterSet", "Port"}).out, "LPT1\n");
        ::unlink(m_scripts.File("expected").c_str());
    }
}

TEST_F(EditTest, FindingsStopTheWriteWithoutATerminalUnlessForced)
{
    Editor("printf '[PrinterSet]\\r\\nPort = LPT1;\\r\\nPort = LPT2;\\r\\n' > \"$1\"");
    RunResult r = Edit();
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find(":3: second item 'Port' in key 'PrinterSet'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing written (--force writes anyway)"), std::string::npos) << r.err;
    EXPECT_EQ(KeptCopy(r), "[PrinterSet]\r\nPort = LPT1;\r\nPort = LPT2;\r\n");
    EXPECT_EQ(ReadFile(m_dir.Settings()), kEditSeed);

    r = Edit({"--force"});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(ReadFile(m_dir.Settings()), "[PrinterSet]\r\nPort = LPT1;\r\nPort = LPT2;\r\n");
}

TEST_F(EditTest, BusyFileKeepsTheEdit)
{
    Editor("sed -i 's/LPT1/LPT5/' \"$1\"");
    HeldLock lock(m_dir.Settings());
    const RunResult r = Tool({"--wait", "0.1", "edit"});
    EXPECT_EQ(r.exit, 3);
    ExpectOneErrorLine(r, "is busy");
    const std::string kept = KeptCopy(r);
    EXPECT_NE(kept.find("Port = LPT5;"), std::string::npos) << kept;
    EXPECT_EQ(ReadFile(m_dir.Settings()), kEditSeed);
}

// The tool on a terminal of its own (a pseudo-terminal as stdin, stdout
// and stderr), answering each "(q)uit? " prompt with the next answer.
RunResult RunOnTerminal(std::vector<std::string> args, const std::vector<std::string>& answers)
{
    RunResult r;
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return r;
    }
    args.insert(args.begin(), {QORVANE_TOOL_UNDER_TEST, "--counter-name=" + qorvane::testing::CounterName()});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        for (int fd = 0; fd < 3; ++fd) ::dup2(slave, fd);
        ::close(master);
        ::close(slave);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(slave);
    std::size_t answered = 0;
    const std::string prompt = "(q)uit? ";
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        char buf[1024];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the tool has exited
        r.err.append(buf, static_cast<std::size_t>(n));
        std::size_t prompts = 0;
        for (std::size_t at = 0; (at = r.err.find(prompt, at)) != std::string::npos; at += prompt.size()) ++prompts;
        if (prompts > answered && answered < answers.size()) {
            const std::string line = answers[answered++] + "\n";
            EXPECT_EQ(::write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
    }
    ::close(master);
    r.exit = qorvane::testing::ExitCodeOf(qorvane::testing::WaitChild(pid));
    return r;
}

TEST_F(EditTest, OnATerminalFindingsAskWhatToDo)
{
    // The first edit leaves a finding; an edit after that fixes it.
    const std::string runs = m_scripts.File("runs");
    Editor("echo x >> '" + runs + "'\n"
           "if [ \"$(wc -l < '" + runs + "')\" -eq 1 ]; then printf '[PrinterSet]\\r\\nPort = ;\\r\\n' > \"$1\";\n"
           "else printf '[PrinterSet]\\r\\nPort = LPT2;\\r\\n' > \"$1\"; fi");
    const struct {
        const char* name;
        std::vector<std::string> answers;
        int exit;
        std::string file;
        std::size_t editorRuns;
    } cases[] = {
        {"EditAgain", {"e"}, 0, "[PrinterSet]\r\nPort = LPT2;\r\n", 2},
        {"WriteAnyway", {"?", "w"}, 0, "[PrinterSet]\r\nPort = ;\r\n", 1},
        {"Quit", {"q"}, 1, kEditSeed, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_dir.Settings(), kEditSeed);
        ::unlink(runs.c_str());
        const RunResult r = RunOnTerminal({"-d", m_dir.Path(), "edit"}, c.answers);
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_NE(r.err.find("item 'Port' in key 'PrinterSet' has an empty value"), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(m_dir.Settings()), c.file);
        EXPECT_EQ(ReadFile(runs).size(), 2 * c.editorRuns);
        if (c.exit != 0) {
            EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
            RunResult kept;
            kept.err = r.err;
            kept.err.erase(std::remove(kept.err.begin(), kept.err.end(), '\r'), kept.err.end());
            EXPECT_EQ(KeptCopy(kept), "[PrinterSet]\r\nPort = ;\r\n");
        }
    }
}

// --- edit stops when another process changed an item the person changed.

TEST_F(EditTest, CollisionWithoutATerminalKeepsTheCopyAndWritesNothing)
{
    const struct {
        const char* name;
        std::string meanwhile;
        int exit;
        std::vector<std::string> lines;  // the collision lines
        std::string port;                // get Port afterwards
    } cases[] = {
        {"Changed", "set PrinterSet Port LPT9", 5,
         {"item 'Port' in key 'PrinterSet' changed meanwhile: before 'LPT1', theirs 'LPT9', yours 'LPT3'"}, "LPT9\n"},
        {"RemovedAndChanged", "unset PrinterSet Port Speed", 5,
         {"item 'Port' in key 'PrinterSet' changed meanwhile: before 'LPT1', theirs (none), yours 'LPT3'",
          "item 'Speed' in key 'PrinterSet' changed meanwhile: before '9', theirs (none), yours '7'"}, ""},
        {"SameValueMerges", "set PrinterSet Port LPT3 Copies 5", 0, {}, "LPT3\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_dir.Settings(), kEditSeed);
        Editor("sed -i 's/^Port = LPT1;/Port = LPT3;/; s/^Speed = 9;/Speed = 7;/' \"$1\"\ncp \"$1\" '" +
               m_scripts.File("expected") + "'");
        ScopedEnv meanwhile("MEANWHILE", Meanwhile(c.meanwhile));
        const RunResult r = Edit();
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_EQ(Tool({"get", "PrinterSet", "Port"}).out, c.port);
        if (c.exit == 0) continue;
        for (const std::string& line : c.lines) EXPECT_NE(r.err.find("qorvane: " + line + "\n"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), static_cast<long>(c.lines.size()) + 1) << r.err;
        EXPECT_NE(r.err.find("that you changed too; nothing written"), std::string::npos) << r.err;
        EXPECT_EQ(KeptCopy(r), ReadFile(m_scripts.File("expected")));
        EXPECT_EQ(Tool({"get", "PrinterSet", "Speed"}).exit, c.name == std::string("Changed") ? 0 : 1);
    }
}

TEST_F(EditTest, OnATerminalACollisionAsksWhatToDo)
{
    const std::string runs = m_scripts.File("runs");
    Editor("echo x >> '" + runs + "'\nsed -i 's/^Port = LPT1;/Port = LPT3;/' \"$1\"");
    const struct {
        const char* name;
        std::string answer;
        int exit;
        std::string port;
        std::size_t editorRuns;
    } cases[] = {
        // Edit again shows the new file with Port = LPT3 carried over; the
        // second edit leaves it so, and it is written whole.
        {"EditAgain", "e", 0, "LPT3\n", 2},
        {"WriteAnyway", "w", 0, "LPT3\n", 1},
        {"Quit", "q", 5, "LPT9\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(m_dir.Settings(), kEditSeed);
        ::unlink(runs.c_str());
        ScopedEnv meanwhile("MEANWHILE", Meanwhile("set PrinterSet Port LPT9") + " && " +
                                             Meanwhile("set HotKeySet Copy Ctrl+C"));
        const RunResult r = RunOnTerminal({"-d", m_dir.Path(), "edit"}, {c.answer});
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_NE(r.err.find("before 'LPT1', theirs 'LPT9', yours 'LPT3'"), std::string::npos) << r.err;
        EXPECT_EQ(Tool({"get", "PrinterSet", "Port"}).out, c.port);
        EXPECT_EQ(Tool({"get", "HotKeySet", "Copy"}).out, "Ctrl+C\n");
        EXPECT_EQ(ReadFile(runs).size(), 2 * c.editorRuns);
        if (c.exit != 0) {
            RunResult kept;
            kept.err = r.err;
            kept.err.erase(std::remove(kept.err.begin(), kept.err.end(), '\r'), kept.err.end());
            EXPECT_NE(KeptCopy(kept).find("Port = LPT3;"), std::string::npos);
        }
    }
}

}  // namespace

// The qorvane tool, run as a separate process the way a shell runs it: exit
// codes, one-line error messages, busy waiting, and values that must come
// back exactly as they were set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
    explicit Running(std::vector<std::string> args, const char* stdoutPath = nullptr) : m_start(Clock::now())
    {
        args.insert(args.begin(), {QORVANE_TOOL_UNDER_TEST, "--counter-name=" + qorvane::testing::CounterName()});
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
        const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
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
            if (::poll(fds.data(), fds.size(), 10000) <= 0) break;
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

TEST_F(ToolTest, UnwritableDirectoryIsAFileErrorNotBusy)
{
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores permission bits";
    TempDir other;
    ASSERT_EQ(::chmod(other.Path().c_str(), 0555), 0);
    const RunResult r = RunCli({"-d", other.Path(), "get", "PrinterSet", "Port"});
    ::chmod(other.Path().c_str(), 0755);
    EXPECT_EQ(r.exit, 4);
    ExpectOneErrorLine(r, "cannot create settings file '" + other.Settings() + "'");
}

TEST_F(ToolTest, MissingSettingsFileIsCreatedAndItemNotFound)
{
    TempDir other;
    const RunResult r = RunCli({"-d", other.Path(), "get", "PrinterSet", "Port"});
    EXPECT_EQ(r.exit, 1);
    ExpectOneErrorLine(r, "item 'Port' not found");
    EXPECT_EQ(ReadFile(other.Settings()), "");
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

// Just enough JSON for {"key":S,"items":[[S,S],...]}. \uDCxx is the tool's
// escape for a byte that is not valid UTF-8 and decodes to that byte.
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
                if (u >= 0xDC80 && u <= 0xDCFF) {
                    out += static_cast<char>(u - 0xDC00);
                } else if (u < 0x80) {
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
    };
    std::string file = "[PrinterSet]\r\n";
    std::string text;
    for (const auto& [name, value] : items) {
        file += name + " = " + value + ";\r\n";
        text += name + " = " + value + "\n";
    }
    WriteFile(m_dir.Settings(), file + "[HotKeySet]\r\nPrint = Ctrl+P;\r\n");

    EXPECT_EQ(Tool({"show", "PrinterSet"}).out, text);

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
            std::string name = json.String();
            json.Expect(",");
            parsed.emplace_back(std::move(name), json.String());
            json.Expect("]");
        }
        json.Expect("]}\n");
    } catch (const std::exception& e) {
        FAIL() << e.what() << " in " << r.out;
    }
    EXPECT_TRUE(json.AtEnd());
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

}  // namespace

// CQorvaneWatch against changes made by other processes: the library, the
// tool, and programs that write the file without the library.
//
// inotify queues an event inside the system call that causes it, so once a
// child that changed the file has exited, the watcher's next Check sees
// every event of that change. That lets the tests say exactly how many
// reports a change must give (one, or none) without timing anything.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "qorvane/Watch.h"
#include "testing/Testing.h"

extern char** environ;

namespace {

using qorvane::testing::ExitCodeOf;
using qorvane::testing::ReadFile;
using qorvane::testing::RunInChild;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;

constexpr int kGenerousMs = 10000;

constexpr const char* kSeed =
    "; settings\r\n"
    "[PrinterSet]\r\n"
    "Port = LPT1;\r\n"
    "Copies=2   ; default\r\n"
    "\r\n"
    "[HotKeySet]\r\n"
    "Print = Ctrl+P;\r\n";

// The items a watcher reports, as "a=1,b=2".
std::string Items(const CQorvaneWatch& watch)
{
    std::string out;
    for (int i = 0; i < watch.GetItemCount(); ++i) {
        CString name;
        CString value;
        watch.GetItemAt(i, name, value);
        out += (i == 0 ? "" : ",") + name.str() + "=" + value.str();
    }
    return out;
}

// Sets items of a key through the library in a child process, retrying
// busy results as a client would.
void LibrarySet(const std::string& dir, const char* key, std::vector<std::pair<std::string, std::string>> items)
{
    const int status = RunInChild([&] {
        for (int attempt = 0; attempt < 500; ++attempt) {
            CQorvane store(dir.c_str());
            if (store.OpenKey(key) < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            for (auto& [name, value] : items) store.SetItem(key, name.c_str(), value.data());
            if (store.CloseKey(1) == 1) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return 1;
    });
    ASSERT_EQ(ExitCodeOf(status), 0) << "library change failed";
}

// Runs a program and waits for it; its exit code.
int Spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return ExitCodeOf(qorvane::testing::WaitChild(pid));
}

// A program that does not use the library: writes in place, as an editor
// that truncates and rewrites the file does.
void WriteInPlace(const std::string& path, const std::string& content)
{
    ASSERT_EQ(ExitCodeOf(RunInChild([&] {
                  WriteFile(path, content);
                  return 0;
              })),
              0);
}

// Writes a new file and renames it over the old one, as most editors do.
void RenameOver(const std::string& path, const std::string& content)
{
    ASSERT_EQ(ExitCodeOf(RunInChild([&] {
                  const std::string tmp = path + ".new~";
                  WriteFile(tmp, content);
                  return std::rename(tmp.c_str(), path.c_str()) == 0 ? 0 : 1;
              })),
              0);
}

std::string WithPort(const char* port)
{
    std::string text = kSeed;
    text.replace(text.find("LPT1"), 4, port);
    return text;
}

// A scratch directory under `base` if it is a writable directory, else
// under $TMPDIR; removed with its content.
class ScratchDir {
public:
    explicit ScratchDir(const char* base)
    {
        std::string pattern = std::string(base) + "/qorvane-test-XXXXXX";
        if (::access(base, W_OK) == 0 && ::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        } else {
            m_fallback = std::make_unique<TempDir>();
            m_path = m_fallback->Path();
        }
    }
    ~ScratchDir()
    {
        std::error_code ec;
        if (!m_fallback) std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const noexcept { return m_path; }

private:
    std::unique_ptr<TempDir> m_fallback;
    std::string m_path;
};

class WatchTest : public ::testing::Test {
protected:
    void SetUp() override { WriteFile(dir.Settings(), kSeed); }
    void TearDown() override { qorvane::seam::Reset(); }

    // Waits (generously) for a report; the items it reports.
    std::string NextReport(CQorvaneWatch& watch)
    {
        const int rc = watch.Wait(kGenerousMs);
        EXPECT_EQ(rc, 1) << "no change reported";
        return rc == 1 ? Items(watch) : "(no report: " + std::to_string(rc) + ")";
    }

    TempDir dir;
};

TEST_F(WatchTest, StartReadsTheItemsAndRefusesBadInput)
{
    CQorvaneWatch watch;
    EXPECT_EQ(watch.GetFd(), -1);
    EXPECT_EQ(watch.Check(), -1);
    EXPECT_EQ(watch.Wait(0), -1);
    EXPECT_EQ(watch.Start(dir.Path().c_str(), nullptr), -2);
    EXPECT_EQ(watch.Start(dir.Path().c_str(), "NoSuchKey"), -2);
    EXPECT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet\n"), -2);
    EXPECT_EQ(watch.Start((dir.Path() + "/missing").c_str(), "PrinterSet"), -4);
    EXPECT_EQ(watch.Start(dir.Settings().c_str(), "PrinterSet"), -4);  // not a directory

    const int before = qorvane::testing::OpenDescriptorCount();
    ASSERT_EQ(watch.Start(("  " + dir.Path() + "  ").c_str(), "PrinterSet"), 1);  // trimmed like SetInfPath
    EXPECT_EQ(Items(watch), "Port=LPT1,Copies=2");
    EXPECT_TRUE(watch.HasSection());
    EXPECT_FALSE(watch.IsPolling());
    EXPECT_GE(watch.GetFd(), 0);
    EXPECT_EQ(watch.Start(dir.Path().c_str(), "HotKeySet"), -1);
    EXPECT_EQ(watch.Check(), 0);
    EXPECT_EQ(watch.Wait(0), 0);
    watch.Stop();
    EXPECT_EQ(qorvane::testing::OpenDescriptorCount(), before) << "Stop closes every descriptor";
    EXPECT_EQ(watch.GetItemCount(), 0);

    // The key name is matched as given, like OpenKey: blanks find no header.
    ASSERT_EQ(watch.Start(dir.Path().c_str(), " PrinterSet"), 1);
    EXPECT_EQ(watch.GetItemCount(), 0);
    EXPECT_FALSE(watch.HasSection());
}

// Each way of changing the file, from another process: exactly one report,
// with the items OpenKey now loads.
TEST_F(WatchTest, SeesEveryKindOfChange)
{
    const std::string file = dir.Settings();
    const std::string d = dir.Path();
    struct Case {
        const char* name;
        std::function<void()> change;
        const char* expected;
    };
    const Case cases[] = {
        {"library CloseKey", [&] { LibrarySet(d, "PrinterSet", {{"Port", "LIB"}}); }, "Port=LIB,Copies=2"},
        {"qorvane set",
         [&] {
             EXPECT_EQ(Spawn({QORVANE_TOOL_UNDER_TEST, "--counter-name=" + qorvane::testing::CounterName(), "-d", d,
                              "set", "PrinterSet", "Copies", "7"}),
                       0);
         },
         "Port=LIB,Copies=7"},
        {"in-place write", [&] { WriteInPlace(file, WithPort("INPLACE")); }, "Port=INPLACE,Copies=2"},
        {"rename over", [&] { RenameOver(file, WithPort("RENAMED")); }, "Port=RENAMED,Copies=2"},
        {"cp over",
         [&] {
             WriteFile(dir.File("copy.src"), WithPort("COPIED"));
             EXPECT_EQ(Spawn({"cp", dir.File("copy.src"), file}), 0);
         },
         "Port=COPIED,Copies=2"},
        {"delete", [&] { ASSERT_EQ(Spawn({"rm", file}), 0); }, ""},
        {"create again", [&] { WriteInPlace(file, WithPort("AGAIN")); }, "Port=AGAIN,Copies=2"},
        {"a new section before the old one",
         [&] { RenameOver(file, "[PrinterSet]\r\nFirst = 1;\r\n" + WithPort("AGAIN")); }, "First=1"},
    };
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(d.c_str(), "PrinterSet"), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        EXPECT_EQ(NextReport(watch), c.expected);
        EXPECT_EQ(watch.Check(), 0) << "one change, one report";
    }
}

// Rewrites that leave the key's items as they were: no report. Each is
// followed by a real change, which must be the next report.
TEST_F(WatchTest, IgnoresRewritesThatKeepTheItems)
{
    const std::string file = dir.Settings();
    const std::string d = dir.Path();
    struct Case {
        const char* name;
        std::function<void()> rewrite;
    };
    std::string port = "P0";
    const Case cases[] = {
        {"CloseKey of the other key", [&] { LibrarySet(d, "HotKeySet", {{"Print", "Ctrl+Q"}}); }},
        // Sets the values the items have: the file is rewritten ("Copies=2
        // ; default" becomes "Copies = 2;") but the items stay.
        {"close with the same values", [&] { LibrarySet(d, "PrinterSet", {{"Port", port}, {"Copies", "2"}}); }},
        {"comment only", [&] { RenameOver(file, "; another comment\r\n" + ReadFile(file) + "; end\r\n"); }},
        {"spacing only",
         [&] {
             std::string text = ReadFile(file);
             const std::string line = "Port = " + port + ";";
             ASSERT_NE(text.find(line), std::string::npos);
             text.replace(text.find(line), line.size(), "  Port=" + port);
             WriteInPlace(file, text);
         }},
        {"item of another key", [&] { RenameOver(file, ReadFile(file) + "Extra = 1;\r\n"); }},
        {"time stamps only", [&] { ASSERT_EQ(Spawn({"touch", file}), 0); }},
    };
    LibrarySet(d, "PrinterSet", {{"Port", port}});
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(d.c_str(), "PrinterSet"), 1);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before = Items(watch);
        c.rewrite();
        EXPECT_EQ(watch.Check(), 0) << "a rewrite that keeps the items is not a change";
        EXPECT_EQ(Items(watch), before);
        port = "P" + std::to_string(++n);
        LibrarySet(d, "PrinterSet", {{"Port", port}});
        EXPECT_EQ(NextReport(watch), "Port=" + port + ",Copies=2");
    }
}

// Every OpenKey opens the file read-write, and its close is an event. On a
// file that has not changed for a while, that must not make every watcher
// read the whole file again.
TEST_F(WatchTest, OpenKeyOfASettledFileCausesNoRead)
{
    // Time stamps within two seconds of a read may hide a later change of
    // the same tick, so the watcher trusts only a file it read later than
    // that; let the seed file age past it (a fixed wait on the clock).
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(ExitCodeOf(RunInChild([&] {
                      CQorvane store(dir.Path().c_str());
                      return store.OpenKey("HotKeySet") == 1 && store.CloseKey(0) == 1 ? 0 : 1;
                  })),
                  0);
    }
    qorvane::seam::Reset();
    EXPECT_EQ(watch.Check(), 0);
    EXPECT_EQ(qorvane::seam::Calls(qorvane::seam::Op::Open), 0) << "the watcher read the file again";
    // A real change is still seen.
    WriteInPlace(dir.Settings(), std::string(kSeed) + "[PrinterSet]\r\n");
    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "LPT2"}});
    EXPECT_EQ(NextReport(watch), "Port=LPT2,Copies=2");
}

TEST_F(WatchTest, ABurstIsOneReportOfTheFinalState)
{
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    ASSERT_EQ(ExitCodeOf(RunInChild([&] {
                  for (int i = 1; i <= 10; ++i) {
                      CQorvane store(dir.Path().c_str());
                      std::string value = "B" + std::to_string(i);
                      if (store.OpenKey("PrinterSet") < 0 || store.SetItem("PrinterSet", "Port", value.data()) < 0 ||
                          store.CloseKey(1) != 1) {
                          return 1;
                      }
                  }
                  return 0;
              })),
              0);
    EXPECT_EQ(NextReport(watch), "Port=B10,Copies=2");
    EXPECT_EQ(watch.Check(), 0);
}

// The descriptor is what a caller's own loop polls: readable when there is
// something to look at, not readable after Check has looked.
TEST_F(WatchTest, DescriptorWorksInTheCallersPollLoop)
{
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    pollfd p{watch.GetFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "LOOP"}});
    ASSERT_EQ(::poll(&p, 1, kGenerousMs), 1);
    EXPECT_EQ(watch.Check(), 1);
    EXPECT_EQ(Items(watch), "Port=LOOP,Copies=2");
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "Check drained what woke the descriptor";
    LibrarySet(dir.Path(), "HotKeySet", {{"Print", "X"}});
    ASSERT_EQ(::poll(&p, 1, kGenerousMs), 1);
    EXPECT_EQ(watch.Check(), 0);
}

TEST_F(WatchTest, WaitsForAFileThatDoesNotExistYet)
{
    ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    EXPECT_EQ(watch.GetItemCount(), 0);
    EXPECT_EQ(watch.GetReadError(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.Settings())) << "a watcher never creates the file";
    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "NEW"}});
    EXPECT_EQ(NextReport(watch), "Port=NEW");
}

// CloseKey writes through a symbolic link to its target, in another
// directory: the watcher must follow the target's directory too.
TEST_F(WatchTest, FollowsTheTargetOfASymbolicLink)
{
    TempDir elsewhere;
    WriteFile(elsewhere.File("real.inf"), kSeed);
    ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.File("real.inf").c_str(), dir.Settings().c_str()), 0);
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    EXPECT_EQ(Items(watch), "Port=LPT1,Copies=2");
    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "LINKED"}});
    ASSERT_TRUE(std::filesystem::is_symlink(dir.Settings()));
    EXPECT_EQ(NextReport(watch), "Port=LINKED,Copies=2");
    RenameOver(elsewhere.File("real.inf"), WithPort("TARGET"));
    EXPECT_EQ(NextReport(watch), "Port=TARGET,Copies=2");
}

// A link to another name in the same directory: the target's watch is the
// directory's own, and following the link must not weaken it.
TEST_F(WatchTest, LinkWithinTheDirectoryKeepsTheDirectoryWatched)
{
    ASSERT_EQ(std::rename(dir.Settings().c_str(), dir.File("real.inf").c_str()), 0);
    ASSERT_EQ(::symlink("real.inf", dir.Settings().c_str()), 0);
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "NEAR"}});
    EXPECT_EQ(NextReport(watch), "Port=NEAR,Copies=2");
    // Moving the directory away (no inode goes) ends the watch too.
    const std::string moved = dir.Path() + "-moved";
    ASSERT_EQ(std::rename(dir.Path().c_str(), moved.c_str()), 0);
    EXPECT_EQ(watch.Wait(kGenerousMs), -4);
    std::filesystem::remove_all(moved);
}

// The path to the file changes while the file itself does not: a link or a
// directory on the way is pointed elsewhere. Each step's outcome is the
// items reported, or "(ended)": a watcher follows a new link target, and
// ends when its path names another settings directory.
TEST_F(WatchTest, FollowsOrEndsWhenThePathIsRepointed)
{
    TempDir base;
    const auto at = [&](const std::string& name) { return base.File(name); };
    const auto makeDir = [&](const std::string& name, const char* port) {
        ASSERT_EQ(::mkdir(at(name).c_str(), 0755), 0);
        if (port != nullptr) WriteFile(at(name) + "/QorRunningSet.Inf", WithPort(port));
    };
    const auto repoint = [&](const std::string& link, const std::string& target) {
        ASSERT_EQ(::symlink(target.c_str(), (at(link) + ".new").c_str()), 0);
        ASSERT_EQ(std::rename((at(link) + ".new").c_str(), at(link).c_str()), 0);
    };
    using Step = std::pair<std::function<void()>, const char*>;
    struct Case {
        const char* name;
        std::function<void()> setUp;
        std::string watched;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"a link on the directory's path is re-pointed",
         [&] {
             makeDir("A", "A");
             makeDir("B", "B");
             ASSERT_EQ(::symlink("A", at("cur").c_str()), 0);
         },
         at("cur"),
         {{[&] { repoint("cur", "B"); }, "(ended)"}}},
        {"a parent directory is replaced by a rename",
         [&] {
             makeDir("p", nullptr);
             makeDir("p/s", "P");
             makeDir("q", nullptr);
             makeDir("q/s", "Q");
         },
         at("p/s"),
         {{[&] {
               ASSERT_EQ(std::rename(at("p").c_str(), at("old").c_str()), 0);
               ASSERT_EQ(std::rename(at("q").c_str(), at("p").c_str()), 0);
           },
           "(ended)"}}},
        {"the link target's directory is removed and made again",
         [&] {
             makeDir("d", nullptr);
             makeDir("t", "T1");
             ASSERT_EQ(::symlink(at("t/QorRunningSet.Inf").c_str(), at("d/QorRunningSet.Inf").c_str()), 0);
         },
         at("d"),
         {{[&] { std::filesystem::remove_all(at("t")); }, ""},
          {[&] { makeDir("t", "T2"); }, "Port=T2,Copies=2"},
          {[&] { RenameOver(at("t/QorRunningSet.Inf"), WithPort("T3")); }, "Port=T3,Copies=2"}}},
        {"the middle link of a chain is re-pointed",
         [&] {
             makeDir("d", nullptr);
             makeDir("l", nullptr);
             makeDir("f1", "F1");
             makeDir("f2", "F2");
             ASSERT_EQ(::symlink("../l/link1", at("d/QorRunningSet.Inf").c_str()), 0);
             ASSERT_EQ(::symlink("../f1/QorRunningSet.Inf", at("l/link1").c_str()), 0);
         },
         at("d"),
         {{[&] { repoint("l/link1", "../f2/QorRunningSet.Inf"); }, "Port=F2,Copies=2"},
          {[&] { RenameOver(at("f2/QorRunningSet.Inf"), WithPort("F3")); }, "Port=F3,Copies=2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(base.Path());
        std::filesystem::create_directory(base.Path());
        c.setUp();
        CQorvaneWatch watch;
        ASSERT_EQ(watch.Start(c.watched.c_str(), "PrinterSet"), 1);
        for (const Step& step : c.steps) {
            step.first();
            const int rc = watch.Wait(kGenerousMs);
            EXPECT_EQ(rc == 1 ? Items(watch) : rc == -4 ? "(ended)" : "(none)", step.second);
        }
    }
}

// A read that fails for a passing reason is tried again after a pause, by
// the watcher's own timer: the change is reported without another event.
TEST_F(WatchTest, AFailedReadIsRetriedByItself)
{
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "RETRY"}});
    qorvane::seam::FailNth(qorvane::seam::Op::Read, 1, EIO);
    EXPECT_EQ(watch.Check(), 0);
    EXPECT_EQ(watch.GetReadError(), EIO);
    EXPECT_EQ(Items(watch), "Port=LPT1,Copies=2") << "a failed read keeps the last items";
    EXPECT_EQ(NextReport(watch), "Port=RETRY,Copies=2");
    EXPECT_EQ(watch.GetReadError(), 0);
}

TEST_F(WatchTest, RemovingTheDirectoryEndsTheWatch)
{
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 1);
    ASSERT_EQ(Spawn({"rm", "-rf", dir.Path()}), 0);
    EXPECT_EQ(watch.Wait(kGenerousMs), -4);
    EXPECT_EQ(watch.Check(), -4);
    EXPECT_EQ(watch.Wait(0), -4);
    EXPECT_EQ(Items(watch), "Port=LPT1,Copies=2") << "the last items stay readable";
}

// 10,000 replacements in a row while the watcher keeps up, then 5,000
// while it does not read at all (its event queue overflows): the watch is
// never lost and the last report is the final state.
TEST_F(WatchTest, TenThousandReplacementsNeverLoseTheWatch)
{
    // On tmpfs where there is one: ext4 starts writing back the data of a
    // file renamed over another, which makes a replacement cost about
    // 0.2 ms; the watcher's side is the same on every file system.
    const ScratchDir scratch("/dev/shm");
    const std::string file = scratch.Path() + "/QorRunningSet.Inf";
    WriteFile(file, kSeed);
    // Plain system calls: the test's time goes to the replacements.
    const auto replaceMany = [&](const std::string& prefix, int count) {
        return qorvane::testing::StartChild([&, prefix, count] {
            const std::string tmp = file + ".new~";
            for (int i = 0; i < count; ++i) {
                const std::string text = "[PrinterSet]\r\nPort = " + prefix + std::to_string(i) + ";\r\n";
                const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
                if (::close(fd) != 0 || std::rename(tmp.c_str(), file.c_str()) != 0) return 1;
            }
            return 0;
        });
    };
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(scratch.Path().c_str(), "PrinterSet"), 1);

    const pid_t child = replaceMany("A", 10000);
    int reports = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (Items(watch) != "Port=A9999" && std::chrono::steady_clock::now() < deadline) {
        if (watch.Wait(kGenerousMs) == 1) ++reports;
    }
    EXPECT_EQ(ExitCodeOf(qorvane::testing::WaitChild(child)), 0);
    EXPECT_EQ(Items(watch), "Port=A9999");
    EXPECT_GE(reports, 1);

    // Four events per replacement: more than the queue holds by default.
    ASSERT_EQ(ExitCodeOf(qorvane::testing::WaitChild(replaceMany("B", 5000))), 0);
    EXPECT_EQ(NextReport(watch), "Port=B4999");
    EXPECT_EQ(watch.Check(), 0);
    LibrarySet(scratch.Path(), "PrinterSet", {{"Port", "AFTER"}});
    EXPECT_EQ(NextReport(watch), "Port=AFTER");
}

// Twenty watchers (one per application) on one key while a writer changes
// it and another process opens it in a loop: every watcher ends with the
// final state, and the loop never gets -4 (a lock the watchers would hold).
TEST_F(WatchTest, TwentyWatchersNeverMakeOpenKeyFail)
{
    constexpr int kWatchers = 20;
    constexpr int kChanges = 60;
    const std::string d = dir.Path();
    const std::string final = "Port=W" + std::to_string(kChanges) + ",Copies=2";

    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    std::vector<pid_t> watchers;
    for (int w = 0; w < kWatchers; ++w) {
        watchers.push_back(qorvane::testing::StartChild([&] {
            CQorvaneWatch watch;
            if (watch.Start(d.c_str(), "PrinterSet") != 1) return 2;
            const char c = 1;
            if (::write(ready[1], &c, 1) != 1) return 3;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (Items(watch) != final) {
                if (std::chrono::steady_clock::now() > deadline || watch.Wait(kGenerousMs) < 0) return 1;
            }
            return 0;
        }));
    }
    for (int w = 0; w < kWatchers; ++w) {
        pollfd p{ready[0], POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, kGenerousMs), 1) << "watcher " << w << " did not start";
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
    }
    ::close(ready[0]);
    ::close(ready[1]);

    // Two overlapping OpenKey calls make the later one fail with -4, so the
    // writer opens its keys before the loop starts; during the burst it only
    // closes them, and a close keeps readers out through the counter (-3),
    // never through the file's lock. Any -4 in the loop is then the
    // watchers' doing.
    qorvane::testing::Gate writerOpened;
    qorvane::testing::Gate go;
    qorvane::testing::Gate writerDone;
    const pid_t writer = qorvane::testing::StartChild([&] {
        std::vector<std::unique_ptr<CQorvane>> stores;
        for (int i = 1; i <= kChanges; ++i) {
            stores.push_back(std::make_unique<CQorvane>(d.c_str()));
            std::string value = "W" + std::to_string(i);
            if (stores.back()->OpenKey("PrinterSet") < 0 ||
                stores.back()->SetItem("PrinterSet", "Port", value.data()) < 0) {
                return 2;
            }
        }
        writerOpened.Signal();
        if (!go.Wait(kGenerousMs)) return 3;
        std::mt19937 rng{std::random_device{}()};
        for (auto& store : stores) {
            int rc = 0;
            for (int attempt = 0; rc != 1 && attempt < 2000; ++attempt) {
                rc = store->CloseKey(0);
                if (rc != 1) std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 1000));
            }
            if (rc != 1) return 1;
        }
        return 0;
    });
    ASSERT_TRUE(writerOpened.Wait(kGenerousMs));
    const pid_t reader = qorvane::testing::StartChild([&] {
        int opened = 0;
        int failed = 0;
        go.Signal();
        while (!writerDone.Wait(0)) {
            CQorvane store(d.c_str());
            const int rc = store.OpenKey("PrinterSet");
            if (rc == -4) ++failed;
            if (rc >= 0) ++opened;
            store.CloseKey(1);
        }
        if (opened == 0) return 100;
        return failed > 99 ? 99 : failed;
    });
    EXPECT_EQ(ExitCodeOf(qorvane::testing::WaitChild(writer)), 0) << "the writer could not make its changes";
    writerDone.Signal();
    EXPECT_EQ(ExitCodeOf(qorvane::testing::WaitChild(reader)), 0)
        << "OpenKey returned -4 that many times (100: it never opened the key)";
    for (const pid_t w : watchers) {
        EXPECT_EQ(ExitCodeOf(qorvane::testing::WaitChild(w)), 0) << "a watcher did not see the final state";
    }
}

// Where inotify cannot be used, the watcher checks the file's status at an
// interval: the same changes are seen (a same-size rewrite in place too),
// a rewrite that keeps the items is not reported, and removing the
// directory ends the watch.
TEST_F(WatchTest, StatusCheckWhereInotifyCannotBeUsed)
{
    qorvane::seam::FailFrom(qorvane::seam::Op::Inotify, 1, ENOSPC);
    CQorvaneWatch watch;
    ASSERT_EQ(watch.Start(dir.Path().c_str(), "PrinterSet"), 2);
    EXPECT_TRUE(watch.IsPolling());
    EXPECT_NE(watch.GetPollingReason().str().find("max_user_watches"), std::string::npos)
        << watch.GetPollingReason().str();
    EXPECT_EQ(Items(watch), "Port=LPT1,Copies=2");

    LibrarySet(dir.Path(), "PrinterSet", {{"Port", "LPT2"}});
    EXPECT_EQ(NextReport(watch), "Port=LPT2,Copies=2");
    // Same size, same inode, within the time stamps' granularity.
    const std::string now = ReadFile(dir.Settings());
    std::string next = now;
    next.replace(next.find("LPT2"), 4, "LPT3");
    WriteInPlace(dir.Settings(), next);
    EXPECT_EQ(NextReport(watch), "Port=LPT3,Copies=2");

    LibrarySet(dir.Path(), "HotKeySet", {{"Print", "Y"}});
    EXPECT_EQ(watch.Wait(4 * CQorvaneWatch::kPollIntervalMs), 0) << "another key's change is no change";

    ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
    EXPECT_EQ(NextReport(watch), "");
    RenameOver(dir.Settings(), WithPort("BACK"));
    EXPECT_EQ(NextReport(watch), "Port=BACK,Copies=2");
    ASSERT_EQ(Spawn({"rm", "-rf", dir.Path()}), 0);
    EXPECT_EQ(watch.Wait(kGenerousMs), -4);
}

}  // namespace

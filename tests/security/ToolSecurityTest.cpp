// What the tool says about a counter another user made unusable and about a
// planted link: one line that names the object or the link, exit 4, and no
// waiting for something that waiting does not mend.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;

#ifdef QORVANE_TOOL_UNDER_TEST
int Tool(const std::string& counter, const std::vector<std::string>& args, std::string& output)
{
    std::vector<std::string> argv = {QORVANE_TOOL_UNDER_TEST, "--counter-name=" + counter};
    argv.insert(argv.end(), args.begin(), args.end());
    return ExitCodeOf(RunProgram(argv, &output));
}

TEST(ToolSecurity, UnusableCounterIsOneLineAndExitFourWithoutWaiting)
{
    TempDir dir;
    const std::string counter = "/qorvane-test-tool-" + std::to_string(::getpid()) + "-" +
                                std::to_string(std::random_device{}());
    const std::string object = "/dev/shm" + counter;
    const int fd = ::open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::fchmod(fd, 0600);
    ::close(fd);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"get", "PrinterSet", "Port"}, {"set", "PrinterSet", "Port", "LPT1"}}) {
        SCOPED_TRACE(command.front());
        std::vector<std::string> args = {"--wait", "30", "-d", dir.Path()};
        args.insert(args.end(), command.begin(), command.end());
        std::string out;
        WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
        // With a 30 s wait, a retrying tool would make this test time out.
        EXPECT_EQ(Tool(counter, args, out), 4) << out;
        EXPECT_NE(out.find(object), std::string::npos) << out;
        EXPECT_NE(out.find("mode 0600"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    }
    ::unlink(object.c_str());
}

// A machine whose System V limits are used up: no segment can be made for
// the counter. That is a resource error (exit 4, said once), not "busy".
// Played in an IPC namespace of its own whose limit is no segment at all.
TEST(ToolSecurity, NoSegmentCanBeMadeIsAResourceErrorWithoutWaiting)
{
    if (::geteuid() != 0) GTEST_SKIP() << "an IPC namespace of its own needs root";
    TempDir dir;
    WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
    const std::string counter = "/qorvane-test-tool-" + std::to_string(::getpid()) + "-" +
                                std::to_string(std::random_device{}());
    std::string out;
    const int code = ExitCodeOf(RunInChild([&]() -> int {
        if (::unshare(CLONE_NEWIPC) != 0) return 90;
        const int limit = ::open("/proc/sys/kernel/shmmni", O_WRONLY);
        if (limit < 0 || ::write(limit, "0\n", 2) != 2) return 91;
        ::close(limit);
        // With a 30 s wait, a retrying tool would make this test time out.
        return Tool(counter, {"--wait", "30", "-d", dir.Path(), "set", "PrinterSet", "Port", "LPT2"}, out) == 4 &&
                       out.find("limits are used up") != std::string::npos &&
                       std::count(out.begin(), out.end(), '\n') == 1
                   ? 0
                   : 1;
    }));
    ::unlink(("/dev/shm" + counter).c_str());
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nPort = LPT1;\r\n");
}

TEST(ToolSecurity, PlantedLinkIsNamedInTheMessage)
{
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    TempDir dir;
    TempDir elsewhere;
    const std::string victim = elsewhere.File("id_key");
    WriteFile(victim, "secret\n");
    ASSERT_EQ(::symlink(victim.c_str(), dir.Settings().c_str()), 0);
    ASSERT_EQ(::lchown(dir.Settings().c_str(), 4901, 4901), 0);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"get", "PrinterSet", "Port"}, {"set", "PrinterSet", "Port", "LPT1"}, {"check"}}) {
        SCOPED_TRACE(command.front());
        std::vector<std::string> args = {"-d", dir.Path()};
        args.insert(args.end(), command.begin(), command.end());
        std::string out;
        EXPECT_EQ(Tool(CounterName(), args, out), 4) << out;
        EXPECT_NE(out.find("symbolic link"), std::string::npos) << out;
        EXPECT_NE(out.find("uid 4901"), std::string::npos) << out;
        EXPECT_EQ(ReadFile(victim), "secret\n");
    }
}

// In a sticky directory (as /tmp) another user may write a 0666 file but not
// rename over it: the message names that cause, and the file stays as it was.
TEST(ToolSecurity, ReplaceRefusedInAStickyDirectoryNamesTheStickyBit)
{
    if (::geteuid() != 0) GTEST_SKIP() << "acting as other users needs root";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is not installed";
    TempDir base;
    ASSERT_EQ(::chmod(base.Path().c_str(), 0755), 0);
    const std::string tool = base.File("qorvane");  // the build tree may be closed to other users
    std::filesystem::copy_file(QORVANE_TOOL_UNDER_TEST, tool);
    ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
    const std::string dir = base.File("shared");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.c_str(), 01777), 0);
    const std::string file = dir + "/QorRunningSet.Inf";
    const std::string before = "[PrinterSet]\r\nPort = LPT1;\r\n";
    WriteFile(file, before);
    ASSERT_EQ(::chown(file.c_str(), 4901, 4901), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    CounterValue();  // the private counter exists, mode 0666, before the other user needs it

    std::string out;
    EXPECT_EQ(ExitCodeOf(RunProgram({"/usr/bin/setpriv", "--reuid=4902", "--regid=4902", "--clear-groups", tool,
                                     "--counter-name=" + CounterName(), "-d", dir, "set", "PrinterSet", "Port", "LPT2"},
                                    &out)),
              4)
        << out;
    EXPECT_NE(out.find("directory is sticky"), std::string::npos) << out;
    EXPECT_NE(out.find("owner (uid 4901)"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(ReadFile(file), before);
}
#endif

}  // namespace

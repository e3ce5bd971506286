// Who may use the settings file after another user replaced it: owner,
// group, mode, access ACL and other extended attributes survive where the
// replacer may keep them, a directory's default ACL adds nobody, and a
// replace that would change who has access is refused.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Seam.h"
#include "platform/SettingsFile.h"
#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;
using qorvane::platform::ReplaceKeepsAccess;

TEST(ReplaceKeepsAccess, OtherBitsMustCoverWhatIsNotKept)
{
    struct Case {
        mode_t mode;
        bool ownerKept;
        bool groupKept;
        bool allowed;
    };
    const Case cases[] = {
        {0600, true, true, true},     // nothing changes
        {0660, false, true, true},    // a member keeps the group: the old owner keeps it too
        {0644, false, true, true},
        {0666, false, false, true},   // everybody may read and write anyway
        {0646, false, false, true},
        {0664, false, false, false},  // owner and group would lose write
        {0660, false, false, false},  // owner and group would lose everything
        {0606, true, false, true},    // the old group had nothing to lose
        {0644, true, false, true},
        {0660, true, false, false},   // the old group would lose access, the new one gain it
        {0640, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::oct << c.mode << (c.ownerKept ? " owner kept" : "")
                                          << (c.groupKept ? " group kept" : ""));
        EXPECT_EQ(ReplaceKeepsAccess(c.mode, c.ownerKept, c.groupKept), c.allowed);
    }
}

std::string ReadAcl(const std::string& path)
{
    std::string out(256, '\0');
    const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", out.data(), out.size());
    if (n < 0) return "";
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// With an ACL, the mode's group bits are the mask; what the owning group
// has is its own entry, limited by the mask.
TEST(ReplaceKeepsAccess, OwningGroupOfAnAclIsJudgedByItsEntry)
{
    EXPECT_EQ(qorvane::platform::EffectiveAccessMode(0660, ""), 0660u);
    EXPECT_EQ(qorvane::platform::EffectiveAccessMode(0660, AccessAcl(4903, 6, 4)), 0640u);
    EXPECT_EQ(qorvane::platform::EffectiveAccessMode(0640, AccessAcl(4903, 6, 6)), 0640u);  // mask r--
    EXPECT_EQ(qorvane::platform::EffectiveAccessMode(0666, AccessAcl(4903, 6, 0)), 0606u);
    EXPECT_EQ(qorvane::platform::EffectiveAccessMode(0666, "junk"), 0666u);
    // Mask rw- and others rw-, but the owning group's entry is r--: the group
    // has nothing the others lack, so a replace that keeps neither owner nor
    // group may go on; judged by the mask alone it would be the same.
    EXPECT_TRUE(ReplaceKeepsAccess(qorvane::platform::EffectiveAccessMode(0666, AccessAcl(4903, 6, 4)), false, false));
    // Others r--, mask rw-, owning group r--: the group keeps what it had.
    EXPECT_TRUE(ReplaceKeepsAccess(qorvane::platform::EffectiveAccessMode(0664, AccessAcl(4903, 6, 4)), true, false));
    EXPECT_FALSE(ReplaceKeepsAccess(0664, true, false)) << "by the mask alone the group would lose write";
}

TEST(Ownership, AccessAclSurvivesTheReplace)
{
    TempDir dir;
    WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
    const std::string acl = AccessAcl(4903, 6);
    if (::setxattr(dir.Settings().c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "the file system of " << dir.Path() << " keeps no POSIX ACLs";
    }
    const std::string before = ReadAcl(dir.Settings());
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    char v[] = "COM1";
    ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", v), 1);
    ASSERT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadAcl(dir.Settings()), before) << "the named user's entry was lost";
    struct stat st {};
    ASSERT_EQ(::stat(dir.Settings().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
}

// Copying the ACL can fail (no space for the attribute, say): the replace
// must then leave the old file, ACL and all, as it was.
TEST(Ownership, FailedAclCopyLeavesTheFileUntouched)
{
    TempDir dir;
    const std::string content = "[PrinterSet]\r\nPort = LPT1;\r\n";
    WriteFile(dir.Settings(), content);
    const std::string acl = AccessAcl(4903, 6);
    if (::setxattr(dir.Settings().c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "the file system of " << dir.Path() << " keeps no POSIX ACLs";
    }
    const std::string before = ReadAcl(dir.Settings());
    for (const int err : {ENOSPC, EIO}) {
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        char v[] = "COM1";
        ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", v), 1);
        qorvane::seam::Reset();
        qorvane::seam::FailNth(qorvane::seam::Op::Setxattr, 1, err);
        EXPECT_EQ(store.CloseKey(1), -3);
        qorvane::seam::Reset();
        EXPECT_EQ(ReadFile(dir.Settings()), content);
        EXPECT_EQ(ReadAcl(dir.Settings()), before);
        EXPECT_EQ(dir.Listing(), "QorRunningSet.Inf");
    }
}

// Users with numeric ids only: A and B share group G, C is outside it but
// in B's primary group.
constexpr gid_t kGroup = 4800;
constexpr uid_t kA = 4801;
constexpr uid_t kB = 4802;
constexpr uid_t kC = 4803;

struct User {
    uid_t uid;
    gid_t gid;
    std::string groups;  // for setpriv --groups, or empty
};
const User kUserA{kA, kA, std::to_string(kGroup)};
const User kUserB{kB, kB, std::to_string(kGroup)};
const User kUserC{kC, kB, ""};

// One close that changes an item, as `user` (a forked child) or, with no
// user, in this process; CloseKey's result.
int ChangeAndClose(const TempDir& dir, const User* user = nullptr)
{
    const auto close = [&dir] {
        CQorvane store(dir.Path().c_str());
        char v[] = "COM1";
        if (store.OpenKey("PrinterSet") != 1 || store.SetItem(KEYID_PRINTERSET, "Port", v) != 1) return 0;
        return store.CloseKey(0);
    };
    if (user == nullptr) return close();
    CounterValue();  // the private counter exists, mode 0666, before the user needs it
    const int code = ExitCodeOf(RunAsUser(user->uid, user->gid, {}, [&] { return 10 - close(); }));
    return 10 - code;
}

// A directory whose default ACL lets a named user read: the file created by
// a replace inherits it, and must lose it when the old file had no ACL.
TEST(Ownership, DirectoryDefaultAclDoesNotReachAFileThatHadNoAcl)
{
    TempDir dir;
    const std::string inherited = AccessAcl(kC, 4);
    if (::setxattr(dir.Path().c_str(), "system.posix_acl_default", inherited.data(), inherited.size(), 0) != 0) {
        GTEST_SKIP() << "the file system of " << dir.Path() << " keeps no POSIX ACLs";
    }
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0711), 0);
    for (const mode_t mode : {0600u, 0640u}) {
        SCOPED_TRACE(::testing::Message() << "mode " << std::oct << mode);
        WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
        ::removexattr(dir.Settings().c_str(), "system.posix_acl_access");  // inherited by the set-up itself
        ASSERT_EQ(::chmod(dir.Settings().c_str(), mode), 0);
        ASSERT_EQ(ChangeAndClose(dir), 1);
        EXPECT_EQ(ReadAcl(dir.Settings()), "") << "the directory's default ACL reached the file";
        struct stat st {};
        ASSERT_EQ(::stat(dir.Settings().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        if (::geteuid() != 0) continue;  // reading as the named user needs root to become them
        const int status = RunAsUser(kC, kC, {}, [&] { return ::access(dir.Settings().c_str(), R_OK) == 0 ? 1 : 0; });
        EXPECT_EQ(ExitCodeOf(status), 0) << "the user the default ACL names can read the file";
    }
}

// Extended attributes of the file (a backup tool's marks, a security label)
// survive a replace. What the replacing process may not set is left behind
// without failing the replace.
TEST(Ownership, ExtendedAttributesSurviveTheReplace)
{
    struct Attr {
        const char* name;
        std::string value;
        bool needsRoot;
    };
    const std::vector<Attr> attrs = {
        {"user.origin", "deploy 42", false},
        {"user.empty", "", false},
        {"user.binary", std::string("\0\xff\n;", 4), false},
        {"trusted.qorvane-test", "t", true},
        {"security.qorvane-test", "s", true},
    };
    const auto value = [](const std::string& path, const char* name) {
        std::string out(64, '\0');
        const ssize_t n = ::getxattr(path.c_str(), name, out.data(), out.size());
        return n < 0 ? "<" + std::string(std::strerror(errno)) + ">" : out.substr(0, static_cast<std::size_t>(n));
    };
    TempDir dir;
    WriteFile(dir.Settings(), "[PrinterSet]\r\nPort = LPT1;\r\n");
    const bool root = ::geteuid() == 0;
    for (const Attr& a : attrs) {
        if (a.needsRoot && !root) continue;
        if (::setxattr(dir.Settings().c_str(), a.name, a.value.data(), a.value.size(), 0) != 0) {
            GTEST_SKIP() << "the file system of " << dir.Path() << " keeps no " << a.name << ": " << std::strerror(errno);
        }
    }
    ASSERT_EQ(ChangeAndClose(dir), 1);
    for (const Attr& a : attrs) {
        if (!a.needsRoot || root) {
            EXPECT_EQ(value(dir.Settings(), a.name), a.value) << a.name;
        }
    }
    if (!root) return;  // the rest replaces as another user

    ASSERT_EQ(::chown(dir.Path().c_str(), kA, kA), 0);
    ASSERT_EQ(::chown(dir.Settings().c_str(), kA, kA), 0);
    EXPECT_EQ(ChangeAndClose(dir, &kUserA), 1) << "an attribute the user may not set failed the replace";
    for (const Attr& a : attrs) {
        if (!a.needsRoot) {
            EXPECT_EQ(value(dir.Settings(), a.name), a.value) << a.name;
        }
    }
}

// The tool as another user: setpriv drops to the numeric ids.
class AsUsers : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifndef QORVANE_TOOL_UNDER_TEST
        GTEST_SKIP() << "the tool is not built (QORVANE_BUILD_TOOLS is off)";
#else
        if (::geteuid() != 0) GTEST_SKIP() << "running as other users needs root (CI runs as root)";
        if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is not installed";
        // Other users must reach the tool and the directory: copy the tool
        // into a world-readable place.
        ASSERT_EQ(::chmod(base.Path().c_str(), 0755), 0);
        tool = base.File("qorvane");
        std::filesystem::copy_file(QORVANE_TOOL_UNDER_TEST, tool);
        ASSERT_EQ(::chmod(tool.c_str(), 0755), 0);
        settings = base.File("settings");
        ASSERT_EQ(::mkdir(settings.c_str(), 0700), 0);
        CounterValue();  // the private counter exists, mode 0666, before other users need it
#endif
    }

    int Run(const User& user, std::vector<std::string> args, std::string* output = nullptr)
    {
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                                         "--regid=" + std::to_string(user.gid)};
        argv.push_back(user.groups.empty() ? "--clear-groups" : "--groups=" + user.groups);
        argv.push_back(tool);
        argv.push_back("--counter-name=" + CounterName());
        argv.push_back("-d");
        argv.push_back(settings);
        for (std::string& a : args) argv.push_back(std::move(a));
        std::string ignored;
        return ExitCodeOf(RunProgram(argv, output != nullptr ? output : &ignored));
    }

    bool CanReadAndWrite(const User& user)
    {
        const std::string file = settings + "/QorRunningSet.Inf";
        std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid),
                                         "--regid=" + std::to_string(user.gid),
                                         user.groups.empty() ? "--clear-groups" : "--groups=" + user.groups,
                                         "/bin/sh", "-c", "test -r \"$0\" && test -w \"$0\"", file};
        return ExitCodeOf(RunProgram(argv)) == 0;
    }

    struct stat Stat() const
    {
        struct stat st {};
        ::stat((settings + "/QorRunningSet.Inf").c_str(), &st);
        return st;
    }

    TempDir base;
    std::string tool;
    std::string settings;
};

// A directory shared by group G, not set-group-ID: each replace by a member
// keeps the file in group G, so the other member keeps access and users of
// the replacer's primary group gain none.
TEST_F(AsUsers, TwoMembersOfAGroupReplaceEachOthersFile)
{
    ASSERT_EQ(::chown(settings.c_str(), 0, kGroup), 0);
    ASSERT_EQ(::chmod(settings.c_str(), 0771), 0);
    std::string out;
    ASSERT_EQ(Run(kUserA, {"set", "PrinterSet", "Port", "LPT1"}, &out), 0) << out;
    // A shares the file with the group, as the README's set-up says.
    const std::string file = settings + "/QorRunningSet.Inf";
    ASSERT_EQ(::chown(file.c_str(), kA, kGroup), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0660), 0);

    EXPECT_EQ(Run(kUserB, {"set", "PrinterSet", "Speed", "9"}, &out), 0) << out;
    EXPECT_EQ(Stat().st_gid, kGroup);
    EXPECT_EQ(Stat().st_mode & 07777, 0660u);
    EXPECT_EQ(Run(kUserA, {"set", "PrinterSet", "Port", "LPT2"}, &out), 0) << "A was locked out: " << out;
    EXPECT_EQ(Run(kUserB, {"set", "PrinterSet", "Speed", "10"}, &out), 0) << "B was locked out: " << out;
    EXPECT_EQ(Stat().st_gid, kGroup);

    EXPECT_TRUE(CanReadAndWrite(kUserA));
    EXPECT_TRUE(CanReadAndWrite(kUserB));
    EXPECT_FALSE(CanReadAndWrite(kUserC)) << "a user outside the group gained access";
    EXPECT_EQ(Run(kUserA, {"get", "PrinterSet", "Speed"}, &out), 0);
    EXPECT_EQ(out, "10\n");
    EXPECT_NE(Run(kUserC, {"get", "PrinterSet", "Port"}, &out), 0);
}

// A directory and file every user may write: a replace by a user outside
// the group keeps neither owner nor group, but everybody keeps access.
TEST_F(AsUsers, ReplaceByAnOutsiderGoesOnWhenOthersMayReadAndWrite)
{
    ASSERT_EQ(::chmod(settings.c_str(), 0777), 0);
    const std::string file = settings + "/QorRunningSet.Inf";
    WriteFile(file, "[PrinterSet]\r\nPort = LPT1;\r\n");
    ASSERT_EQ(::chown(file.c_str(), kA, kGroup), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    std::string out;
    EXPECT_EQ(Run(kUserC, {"set", "PrinterSet", "Port", "COM2"}, &out), 0) << out;
    EXPECT_TRUE(CanReadAndWrite(kUserA));
    EXPECT_TRUE(CanReadAndWrite(kUserB));
    EXPECT_EQ(Stat().st_mode & 07777, 0666u);
}

// An outsider who may write only through a named ACL entry, on a file the
// other users may not use: the replace would lock the old owner and group
// out (or let the outsider's group in), so it is refused, file untouched.
TEST_F(AsUsers, ReplaceThatWouldChangeWhoHasAccessIsRefused)
{
    ASSERT_EQ(::chmod(settings.c_str(), 0777), 0);
    const std::string file = settings + "/QorRunningSet.Inf";
    const std::string content = "[PrinterSet]\r\nPort = LPT1;\r\n";
    WriteFile(file, content);
    ASSERT_EQ(::chown(file.c_str(), kA, kGroup), 0);
    const std::string acl = AccessAcl(kC, 6);
    if (::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "the file system of " << settings << " keeps no POSIX ACLs";
    }
    ASSERT_TRUE(CanReadAndWrite(kUserC));
    std::string out;
    EXPECT_NE(Run(kUserC, {"set", "PrinterSet", "Port", "COM2"}, &out), 0) << out;
    EXPECT_EQ(ReadFile(file), content);
    EXPECT_EQ(Stat().st_uid, kA);
    EXPECT_EQ(Stat().st_gid, kGroup);
    EXPECT_TRUE(CanReadAndWrite(kUserA));
}

}  // namespace

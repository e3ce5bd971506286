// A symbolic link at the settings name is followed only when its owner is
// the caller, root or the owner of the directory: another user who may
// write the settings directory cannot make a victim's close write into, or
// a victim's open read from, a file of the attacker's choosing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;

constexpr uid_t kOtherUser = 4901;
constexpr uid_t kDirOwner = 4902;
constexpr const char* kSecret = "-----PRIVATE KEY-----\nnot settings\n";

struct LinkCase {
    const char* name;
    bool linkOwnedByOther;  // else by the caller
    bool dirOwnedByLinkOwner;
    bool followed;
};

class SymlinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(SymlinkTest, LinkIsFollowedOnlyWhenItsOwnerIsTrusted)
{
    const LinkCase& c = GetParam();
    TempDir dir;
    TempDir elsewhere;
    const std::string victim = elsewhere.File("id_key");
    WriteFile(victim, kSecret);
    ASSERT_EQ(::symlink(victim.c_str(), dir.Settings().c_str()), 0);
    if (c.linkOwnedByOther || c.dirOwnedByLinkOwner) {
        if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    }
    if (c.linkOwnedByOther) {
        ASSERT_EQ(::lchown(dir.Settings().c_str(), kOtherUser, kOtherUser), 0);
    }
    if (c.dirOwnedByLinkOwner) {
        const uid_t owner = c.linkOwnedByOther ? kOtherUser : kDirOwner;
        ASSERT_EQ(::chown(dir.Path().c_str(), owner, owner), 0);
    }

    CQorvane store(dir.Path().c_str());
    const int opened = store.OpenKey("PrinterSet");
    if (!c.followed) {
        EXPECT_EQ(opened, -4) << "OpenKey followed a link planted by another user";
        // A key opened before the link was planted: the close must not
        // write through it either.
        ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
        ASSERT_EQ(store.OpenKey("PrinterSet"), 0);
        ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
        ASSERT_EQ(::symlink(victim.c_str(), dir.Settings().c_str()), 0);
        ASSERT_EQ(::lchown(dir.Settings().c_str(), kOtherUser, kOtherUser), 0);
        char v[] = "LPT1";
        ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", v), 2);
        EXPECT_EQ(store.CloseKey(0), -2) << "CloseKey wrote through a link planted by another user";
        EXPECT_EQ(ReadFile(victim), kSecret);
        struct stat st {};
        ASSERT_EQ(::lstat(dir.Settings().c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link must stay as it is";
    } else {
        EXPECT_EQ(opened, 0);
        char v[] = "LPT1";
        ASSERT_EQ(store.SetItem(KEYID_PRINTERSET, "Port", v), 2);
        EXPECT_EQ(store.CloseKey(0), 1);
        EXPECT_NE(ReadFile(victim).find("Port = LPT1;"), std::string::npos) << "written through to the target";
        struct stat st {};
        ASSERT_EQ(::lstat(dir.Settings().c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link survives the replace";
    }
}

INSTANTIATE_TEST_SUITE_P(Owners, SymlinkTest,
                         ::testing::Values(LinkCase{"own_link", false, false, true},
                                           LinkCase{"other_users_link", true, false, false},
                                           LinkCase{"link_of_the_directory_owner", true, true, true}),
                         [](const ::testing::TestParamInfo<LinkCase>& info) { return info.param.name; });

// A chain of links is checked hop by hop: a trusted first link that leads
// to a planted one is refused too.
TEST(SymlinkChain, EveryHopMustBeTrusted)
{
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    TempDir dir;
    TempDir shared;
    TempDir elsewhere;
    const std::string victim = elsewhere.File("id_key");
    WriteFile(victim, kSecret);
    const std::string planted = shared.File("hop");
    ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(::lchown(planted.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::symlink(planted.c_str(), dir.Settings().c_str()), 0);

    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKey("PrinterSet"), -4);
    EXPECT_EQ(ReadFile(victim), kSecret);
}

}  // namespace

// What another user can do to the counter's objects: squat the name, shrink
// the object, remove the objects, plant a foreign segment. Each is either
// harmless or reported at once as a distinct condition; none makes a client
// hang, spin or die.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/xattr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "sync/SharedCounter.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;
namespace sync = qorvane::sync;
namespace seam = qorvane::seam;

std::string FreshName()
{
    std::random_device rd;
    return "/qorvane-test-obj-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
}

std::string ShmPath(const std::string& name)
{
    return "/dev/shm" + name;
}

// Creates an object the way another program would, with `mode`.
void Squat(const std::string& name, mode_t mode, uid_t uid = ::geteuid(), gid_t gid = ::getegid())
{
    const int fd = ::open(ShmPath(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchown(fd, uid, gid), 0);
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ::close(fd);
}

int SetPort(const std::string& dir, const char* value)
{
    CQorvane store(dir.c_str());
    std::string v = value;
    const int opened = store.OpenKey("PrinterSet");
    if (opened < 0) return 100 + opened;
    store.SetItem(KEYID_PRINTERSET, "Port", v.data());
    return store.CloseKey(1);
}

// Runs `body` in a child that uses the counter `name`; the child removes
// what it created. Returns the child's exit code.
int WithCounter(const std::string& name, const std::function<int()>& body)
{
    return ExitCodeOf(RunInChild([&]() -> int {
        sync::UseSharedCounterName(name);
        const int rc = body();
        sync::RemoveSharedCounter();
        return rc;
    }));
}

TEST(CounterObject, ObjectWithAModeThatShutsOthersOutIsReportedAtOnce)
{
    TempDir dir;
    const std::string name = FreshName();
    Squat(name, 0600);
    EXPECT_EQ(WithCounter(name,
                          [&]() -> int {
                              CString problem;
                              if (CQorvane::CheckAccessCounter(problem) != -1) return 1;
                              const std::string text = problem.str();
                              if (text.find(ShmPath(name)) == std::string::npos) return 2;
                              if (text.find("mode 0600") == std::string::npos) return 3;
                              seam::Reset();
                              CQorvane store(dir.Path().c_str());
                              if (store.OpenKey("PrinterSet") != -3) return 4;
                              // One look at the object, no retry loop.
                              if (seam::Calls(seam::Op::ShmOpen) != 1) return 5;
                              return 0;
                          }),
              0);
    ::unlink(ShmPath(name).c_str());
}

TEST(CounterObject, ObjectOfAnotherUserIsReportedWithItsOwnerAndMode)
{
    if (::geteuid() != 0) GTEST_SKIP() << "creating an object as another user needs root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string name = FreshName();
    Squat(name, 0600, 4901, 4901);
    const int status = RunAsUser(4902, 4902, {}, [&]() -> int {
        sync::UseSharedCounterName(name);
        CString problem;
        if (CQorvane::CheckAccessCounter(problem) != -1) return 1;
        const std::string text = problem.str();
        if (text.find("owner uid 4901") == std::string::npos || text.find("mode 0600") == std::string::npos) return 2;
        seam::Reset();
        CQorvane store(dir.Path().c_str());
        if (store.OpenKey("PrinterSet") != -3) return 3;
        if (seam::Calls(seam::Op::ShmOpen) != 1) return 4;
        return 0;
    });
    EXPECT_EQ(ExitCodeOf(status), 0);
    ::unlink(ShmPath(name).c_str());
}

// A System V segment carries no ACL, so a user whom only an ACL lets open
// the object could not use its word: an object with an access ACL is
// reported, not half used.
TEST(CounterObject, ObjectWithAnAccessAclIsReported)
{
    const std::string name = FreshName();
    Squat(name, 0660);
    const std::string acl = AccessAcl(4903, 6);
    if (::setxattr(ShmPath(name).c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        ::unlink(ShmPath(name).c_str());
        GTEST_SKIP() << "/dev/shm keeps no POSIX ACLs here";
    }
    EXPECT_EQ(WithCounter(name,
                          [&]() -> int {
                              CString problem;
                              if (CQorvane::CheckAccessCounter(problem) != -1) return 1;
                              return problem.str().find("access ACL") != std::string::npos ? 0 : 2;
                          }),
              0);
    ::unlink(ShmPath(name).c_str());
}

// A machine where the administrator provisioned the object for a group:
// members use it as it is, the library never opens it up, others are told.
TEST(CounterObject, ProvisionedGroupObjectIsUsedAsItIs)
{
    if (::geteuid() != 0) GTEST_SKIP() << "a root-owned group object and its members need root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string name = FreshName();
    Squat(name, 0660, 0, 4800);
    const int member = RunAsUser(4801, 4801, {4800}, [&]() -> int {
        sync::UseSharedCounterName(name);
        return SetPort(dir.Path(), "LPT1") == 1 ? 0 : 1;
    });
    EXPECT_EQ(ExitCodeOf(member), 0);
    const int outsider = RunAsUser(4803, 4803, {}, [&]() -> int {
        sync::UseSharedCounterName(name);
        CString problem;
        return CQorvane::CheckAccessCounter(problem) == -1 ? 0 : 1;
    });
    EXPECT_EQ(ExitCodeOf(outsider), 0);
    struct stat st {};
    ASSERT_EQ(::stat(ShmPath(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u) << "the library changed the mode of an object it did not create";
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(WithCounter(name, [] { return 0; }), 0);  // removes object and segment
}

// Anyone who may write the object may also truncate it; a client that had
// mapped it would die of SIGBUS at its next access.
TEST(CounterObject, TruncatedObjectRaisesNoSignal)
{
    TempDir dir;
    const int code = WithCounter(FreshName(), [&]() -> int {
        if (SetPort(dir.Path(), "LPT1") != 1) return 1;
        const int fd = ::open(sync::SharedCounterPath().c_str(), O_RDWR);
        if (fd < 0 || ::ftruncate(fd, 0) != 0) return 2;
        ::close(fd);
        if (SetPort(dir.Path(), "LPT2") != 1) return 3;
        CString problem;
        return CQorvane::CheckAccessCounter(problem) == 1 ? 0 : 4;
    });
    EXPECT_EQ(code, 0) << (code == -1000 - SIGBUS ? "the client died of SIGBUS" : "");
}

// The login manager removes a user's shared-memory objects at logout. A
// process that bound the old ones must move to the new ones that the next
// process creates, so that both count in one word.
TEST(CounterObject, RemovedObjectsAreNoticedAndEveryProcessMovesToTheNewOnes)
{
    for (const bool removeObject : {true, false}) {
        SCOPED_TRACE(removeObject ? "object and segment removed" : "segment removed, record emptied");
        const std::string name = FreshName();
        Gate bound;
        Gate goOn;
        Gate writerIn;
        Gate release;
        const pid_t early = StartChild([&]() -> int {
            sync::UseSharedCounterName(name);
            { sync::ReaderShare reader; if (!reader.In()) return 1; }
            bound.Signal();
            if (!goOn.Wait()) return 2;
            sync::ReaderShare reader;
            return reader.In() ? 3 : 0;  // must see the later writer
        });
        ASSERT_TRUE(bound.Wait());
        {
            const int removed = ExitCodeOf(RunInChild([&]() -> int {
                sync::UseSharedCounterName(name);
                const int id = sync::SharedCounterSegmentId();
                if (id < 0 || ::shmctl(id, IPC_RMID, nullptr) != 0) return 1;
                // Without the object, the record is gone; with it, it is
                // emptied, as a fresh object provisioned at boot is.
                if (removeObject ? ::unlink(sync::SharedCounterPath().c_str()) != 0
                                 : ::truncate(sync::SharedCounterPath().c_str(), 0) != 0) {
                    return 2;
                }
                return 0;
            }));
            ASSERT_EQ(removed, 0);
        }
        const pid_t later = StartChild([&]() -> int {
            sync::UseSharedCounterName(name);
            sync::WriterShare writer;
            if (!writer.In()) return 1;
            writerIn.Signal();
            return release.Wait() ? 0 : 2;
        });
        ASSERT_TRUE(writerIn.Wait());
        goOn.Signal();
        EXPECT_EQ(ExitCodeOf(WaitChild(early)), 0) << "the early process counts in a removed word";
        release.Signal();
        EXPECT_EQ(ExitCodeOf(WaitChild(later)), 0);
        EXPECT_EQ(WithCounter(name, [] { return 0; }), 0);
    }
}

// The record names a segment that is not the counter's: its last user is
// gone (every boot, every time the last client exits), or its id was
// reused by another program's segment, which does not repeat the record's
// cookie. Neither is used; a new segment is made and named.
TEST(CounterObject, RecordNamingNoCounterSegmentIsReplaced)
{
    TempDir dir;
    const std::string name = FreshName();
    Squat(name, 0666);
    const int foreign = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0666);
    ASSERT_GE(foreign, 0);
    void* foreignAt = ::shmat(foreign, nullptr, 0);
    ASSERT_NE(foreignAt, reinterpret_cast<void*>(-1));
    std::memset(foreignAt, 0x5A, 4096);
    const int dead = ::shmget(IPC_PRIVATE, 260, IPC_CREAT | 0600);
    ASSERT_GE(dead, 0);
    ASSERT_EQ(::shmctl(dead, IPC_RMID, nullptr), 0);
    for (const int named : {dead, foreign}) {
        SCOPED_TRACE(named == dead ? "segment gone" : "id reused by a foreign segment");
        {
            const int fd = ::open(ShmPath(name).c_str(), O_RDWR);
            ASSERT_GE(fd, 0);
            sync::CounterRecord record {};
            std::memcpy(record.magic, "QVCNTR03", 8);
            record.id = named;
            std::memset(record.cookie, 0x5A ^ 1, sizeof record.cookie);
            EXPECT_EQ(sync::WriteCounterRecord(fd, record), 0);
            ::close(fd);
        }
        EXPECT_EQ(WithCounter(name,
                              [&]() -> int {
                                  CString problem;
                                  if (CQorvane::CheckAccessCounter(problem) != 1) return 1;
                                  if (SetPort(dir.Path(), "LPT1") != 1) return 2;
                                  const int now = sync::SharedCounterSegmentId();
                                  return now >= 0 && now != named ? 0 : 3;
                              }),
                  0);
        Squat(name, 0666);  // WithCounter removed it
    }
    EXPECT_EQ(static_cast<unsigned char*>(foreignAt)[0], 0x5A) << "the foreign segment was used as the counter";
    ::shmdt(foreignAt);
    ::shmctl(foreign, IPC_RMID, nullptr);
    ::unlink(ShmPath(name).c_str());
}

// The key an earlier layout derived from the object's device and inode:
// anyone could compute it and make a segment under it first.
key_t GuessableKey(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return IPC_PRIVATE;
    std::uint64_t h = static_cast<std::uint64_t>(st.st_ino) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint64_t>(st.st_dev) + 0x51764431u + (h << 6) + (h >> 2);
    h *= 0xBF58476D1CE4E5B9ull;
    const auto key = static_cast<key_t>((h >> 33) & 0x7FFFFFFF);
    return key == IPC_PRIVATE ? 1 : key;
}

// The group set-up (object root:group 0660). Members who have the group
// only through their credentials (a service manager's supplementary
// groups, setpriv --groups; not in the group database) share one word,
// whoever of them made the segment; a user outside the group, who may
// make segments of its own, cannot stop them, and is told to join.
TEST(CounterObject, GroupMembersShareOneWordWhateverOutsidersDo)
{
    if (::geteuid() != 0) GTEST_SKIP() << "users outside and inside a group need root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string name = FreshName();
    Squat(name, 0660, 0, 4800);
    const struct Removed {
        std::string path;
        ~Removed() { ::unlink(path.c_str()); }
    } removed{ShmPath(name)};
    const key_t guessed = GuessableKey(ShmPath(name));
    const int outsider = RunAsUser(4905, 4905, {}, [&]() -> int {
        sync::UseSharedCounterName(name);
        const int id = ::shmget(guessed, 260, IPC_CREAT | IPC_EXCL | 0600);
        shmid_ds ds {};
        if (id < 0 || ::shmctl(id, IPC_STAT, &ds) != 0) return 1;
        ds.shm_perm.gid = 4800;
        ds.shm_perm.mode = 0660;
        if (::shmctl(id, IPC_SET, &ds) != 0) return 2;
        CString problem;
        if (CQorvane::CheckAccessCounter(problem) != -1) return 3;
        return problem.str().find("members of group 4800 only") != std::string::npos ? 0 : 4;
    });
    const struct SegmentRemoved {
        int id;
        ~SegmentRemoved()
        {
            if (id >= 0) ::shmctl(id, IPC_RMID, nullptr);
        }
    } segmentRemoved{::shmget(guessed, 0, 0)};
    ASSERT_EQ(ExitCodeOf(outsider), 0);

    Gate in;
    Gate release;
    const pid_t first = StartChild([&]() -> int {
        if (::setgroups(1, std::vector<gid_t>{4800}.data()) != 0 || ::setresgid(4801, 4801, 4801) != 0 ||
            ::setresuid(4801, 4801, 4801) != 0) {
            return 97;
        }
        sync::UseSharedCounterName(name);
        sync::ReaderShare reader;  // makes the segment, and holds weight 1 in it
        if (!reader.In()) return 1;
        in.Signal();
        return release.Wait() ? 0 : 2;
    });
    ASSERT_TRUE(in.Wait());
    const int second = RunAsUser(4802, 4802, {4800}, [&]() -> int {
        sync::UseSharedCounterName(name);
        CString problem;
        if (CQorvane::CheckAccessCounter(problem) != 1) {
            std::fprintf(stderr, "%s\n", problem.str().c_str());
            return 1;
        }
        return sync::SharedCounterWord().load() == 1 ? 0 : 2;  // the first member's reader
    });
    EXPECT_EQ(ExitCodeOf(second), 0);
    release.Signal();
    EXPECT_EQ(ExitCodeOf(WaitChild(first)), 0);
}

// A process whose counter is replaced again and again (its object removed
// at every logout) keeps one segment attached, not one per replacement,
// and the replaced ones vanish.
TEST(CounterObject, ReplacedSegmentsAreLetGo)
{
    const auto sysvMappings = [] {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        int count = 0;
        while (std::getline(maps, line)) count += line.find("SYSV") != std::string::npos ? 1 : 0;
        return count;
    };
    TempDir dir;
    EXPECT_EQ(WithCounter(FreshName(),
                          [&]() -> int {
                              const int before = sysvMappings();
                              for (int round = 0; round < 20; ++round) {
                                  if (SetPort(dir.Path(), "LPT1") != 1) return 1;
                                  if (::unlink(sync::SharedCounterPath().c_str()) != 0) return 2;
                              }
                              if (SetPort(dir.Path(), "LPT2") != 1) return 3;
                              return sysvMappings() - before <= 1 ? 0 : 10 + sysvMappings() - before;
                          }),
              0);
}

// No segment can be made (the system's limits used up): reported at once
// as a condition of its own, and the waiting calls do not wait for it.
TEST(CounterObject, NoSegmentCanBeMadeIsReportedAtOnce)
{
    TempDir dir;
    EXPECT_EQ(WithCounter(FreshName(),
                          [&]() -> int {
                              seam::Reset();
                              seam::FailFrom(seam::Op::Shm, 1, ENOSPC);
                              CString problem;
                              if (CQorvane::CheckAccessCounter(problem) != -1) return 1;
                              if (problem.str().find("limits are used up") == std::string::npos) return 2;
                              seam::Reset();
                              seam::FailFrom(seam::Op::Shm, 1, ENOSPC);
                              CQorvane store(dir.Path().c_str());
                              if (store.OpenKeyWait("PrinterSet", 5000) != -3) return 3;
                              const int calls = seam::Calls(seam::Op::Shm);
                              seam::Reset();
                              return calls == 1 ? 0 : 10 + calls;
                          }),
              0);
}

}  // namespace

namespace {

// Regression: processes that use a fresh counter for the first time at the
// same moment race to create its segment. One that looked at the segment
// while its creator was still giving it the object's mode, and at the
// creator's set-up lock just after the creator finished, took the segment
// for a foreign one: its OpenKey failed for good (-3, counter "wrong")
// although nothing was wrong.
TEST(CounterObject, ProcessesStartingTogetherOnAFreshCounterAllGetIn)
{
    TempDir dir;
    constexpr int kProcs = 6;
    for (int round = 0; round < 40; ++round) {
        const std::string name = FreshName();
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::vector<pid_t> children;
        for (int p = 0; p < kProcs; ++p) {
            children.push_back(StartChild([&]() -> int {
                ::close(fds[1]);
                char go = 0;
                if (::read(fds[0], &go, 1) != 1) return 90;
                sync::UseSharedCounterName(name);
                CQorvane store(dir.Path().c_str());
                const int rc = store.OpenKey("PrinterSet");
                if (rc == -3 && sync::CounterIsWrong()) {
                    std::fprintf(stderr, "%s\n", sync::LastCounterProblem().message.c_str());
                    return 10;
                }
                return rc >= 0 || rc == -3 || rc == -4 ? 0 : 20;  // busy is fine, "wrong" is not
            }));
        }
        ::close(fds[0]);
        const std::string go(kProcs, 'g');
        ASSERT_EQ(::write(fds[1], go.data(), go.size()), static_cast<ssize_t>(go.size()));
        ::close(fds[1]);
        int wrong = 0;
        std::string codes;
        for (const pid_t pid : children) {
            const int code = ExitCodeOf(WaitChild(pid));
            codes += " " + std::to_string(code);
            wrong += code != 0 ? 1 : 0;
        }
        sync::UseSharedCounterName(name);
        sync::RemoveSharedCounter();
        sync::UseSharedCounterName(CounterName());
        ASSERT_EQ(wrong, 0) << "round " << round << ", exit codes" << codes;
    }
}

}  // namespace

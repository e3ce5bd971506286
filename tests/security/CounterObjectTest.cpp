// What another user can do to the counter's objects: squat the name, shrink
// the object, remove the objects, plant a foreign segment. Each is either
// harmless or reported at once as a distinct condition; none makes a client
// hang, spin or die.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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
        SCOPED_TRACE(removeObject ? "object and segment removed" : "segment removed");
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
                const int key = sync::SharedCounterKey();
                const int id = ::shmget(key, 0, 0);
                if (id < 0 || ::shmctl(id, IPC_RMID, nullptr) != 0) return 1;
                if (removeObject && ::unlink(sync::SharedCounterPath().c_str()) != 0) return 2;
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

// A segment under the object's key that another program made: too small,
// or with other permissions than the object. Reported, not used.
TEST(CounterObject, ForeignSegmentUnderTheKeyIsReported)
{
    TempDir dir;
    const std::string name = FreshName();
    Squat(name, 0666);
    int key = -1;
    {
        sync::UseSharedCounterName(name);
        key = sync::SharedCounterKey();
        sync::UseSharedCounterName(CounterName());
    }
    for (const auto& [size, mode] : {std::pair<std::size_t, int>{16, 0666}, {260, 0644}}) {
        SCOPED_TRACE("segment of " + std::to_string(size) + " bytes, mode " + std::to_string(mode));
        const int id = ::shmget(key, size, IPC_CREAT | IPC_EXCL | mode);
        ASSERT_GE(id, 0);
        const int code = ExitCodeOf(RunInChild([&]() -> int {
            sync::UseSharedCounterName(name);
            CString problem;
            if (CQorvane::CheckAccessCounter(problem) != -1) return 1;
            if (problem.str().find("segment") == std::string::npos) return 2;
            CQorvane store(dir.Path().c_str());
            return store.OpenKey("PrinterSet") == -3 ? 0 : 3;
        }));
        EXPECT_EQ(code, 0);
        ::shmctl(id, IPC_RMID, nullptr);
    }
    ::unlink(ShmPath(name).c_str());
}

// A creator that died between making the segment and giving it the
// object's group and mode leaves it at 0600, attached by nobody: the next
// process makes it again instead of reporting it for ever.
TEST(CounterObject, SegmentLeftHalfSetUpByADeadCreatorIsMadeAgain)
{
    TempDir dir;
    const std::string name = FreshName();
    Squat(name, 0666);
    sync::UseSharedCounterName(name);
    const int key = sync::SharedCounterKey();
    sync::UseSharedCounterName(CounterName());
    const int id = ::shmget(key, 260, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    EXPECT_EQ(WithCounter(name, [&]() -> int {
                  CString problem;
                  if (CQorvane::CheckAccessCounter(problem) != 1) return 1;
                  return SetPort(dir.Path(), "LPT1") == 1 ? 0 : 2;
              }),
              0);
    ::shmctl(id, IPC_RMID, nullptr);  // already gone, unless the test failed
}

// On a group-only object, a segment made by a user outside the group (who
// gave it the object's group and mode, as its creator may) is refused: its
// creator could write the word whatever its mode says.
TEST(CounterObject, SegmentOfAUserOutsideTheGroupIsRefused)
{
    if (::geteuid() != 0) GTEST_SKIP() << "users outside and inside a group need root";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string name = FreshName();
    Squat(name, 0660, 0, 4800);
    sync::UseSharedCounterName(name);
    const int key = sync::SharedCounterKey();
    sync::UseSharedCounterName(CounterName());
    int id = -1;
    const int made = RunAsUser(4905, 4905, {}, [&]() -> int {
        id = ::shmget(key, 260, IPC_CREAT | IPC_EXCL | 0600);
        shmid_ds ds {};
        if (id < 0 || ::shmctl(id, IPC_STAT, &ds) != 0) return 1;
        ds.shm_perm.gid = 4800;
        ds.shm_perm.mode = 0660;
        return ::shmctl(id, IPC_SET, &ds) == 0 ? 0 : 2;
    });
    ASSERT_EQ(ExitCodeOf(made), 0);
    const int member = RunAsUser(4801, 4801, {4800}, [&]() -> int {
        sync::UseSharedCounterName(name);
        CString problem;
        if (CQorvane::CheckAccessCounter(problem) != -1) return 1;
        if (problem.str().find("created by uid 4905") == std::string::npos) return 2;
        CQorvane store(dir.Path().c_str());
        return store.OpenKey("PrinterSet") == -3 ? 0 : 3;
    });
    EXPECT_EQ(ExitCodeOf(member), 0);
    const int segment = ::shmget(key, 0, 0);
    if (segment >= 0) ::shmctl(segment, IPC_RMID, nullptr);
    ::unlink(ShmPath(name).c_str());
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

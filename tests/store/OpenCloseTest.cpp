// OpenKey and CloseKey against real files: result codes, state afterwards,
// the atomic replace, and failures injected at the system-call seam.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/Posix.h"
#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace {

using namespace std::string_literals;
using qorvane::testing::ReadFile;
using qorvane::testing::TempDir;
using qorvane::testing::WriteFile;
namespace seam = qorvane::seam;

char* Mutable(const char* text)
{
    return const_cast<char*>(text);
}

std::string Get(CQorvane& store, const char* item)
{
    std::string buf(256, '\0');
    const int rc = store.GetItem(store.GetKeyID(), item, buf.data(), static_cast<int>(buf.size()));
    if (rc != 1) return "<" + std::to_string(rc) + ">";
    return buf.c_str();
}

// Holds an OFD write lock on a file, as another reader or a foreign program.
class HeldLock {
public:
    explicit HeldLock(const std::string& path)
    {
        EXPECT_EQ(qorvane::platform::sys::Open(path.c_str(), O_RDWR, 0, m_fd), 0);
        EXPECT_EQ(qorvane::platform::sys::TryLock(m_fd.Get(), F_WRLCK), 0);
    }

private:
    qorvane::platform::UniqueFd m_fd;
};

class OpenCloseTest : public ::testing::Test {
protected:
    void SetUp() override { seam::Reset(); }
    void TearDown() override
    {
        seam::Reset();
        EXPECT_EQ(qorvane::testing::CounterValue(), 0) << "counter weight leaked";
    }
    TempDir dir;
};

const char* const kSample =
    "; sample\r\n[PrinterSet]\r\nPort = LPT1;\r\nSpeed=2 ; fast\r\nPort = dup;\r\n\r\n[HotKeySet]\r\nCopy = Ctrl+C;\r\n";

TEST_F(OpenCloseTest, OpenLoadsTheSectionAndReportsEachCase)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKey("Unknown"), -2);
    EXPECT_EQ(store.OpenKey(nullptr), -2);
    EXPECT_EQ(store.OpenKey("Printer\nSet"), -2);
    EXPECT_STREQ(store.GetKeyName(), "");

    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    EXPECT_EQ(store.GetKeyID(), KEYID_PRINTERSET);
    EXPECT_EQ(store.GetItemCount(), 3);
    EXPECT_EQ(Get(store, "Port"), "LPT1");  // the first of two
    EXPECT_EQ(Get(store, "Speed"), "2");
    EXPECT_EQ(store.OpenKey("PrinterSet"), 1);
    EXPECT_EQ(store.OpenKey("HotKeySet"), -1);
    EXPECT_EQ(store.GetItemCount(), 3);
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(store.CloseKey(0), 0);
    EXPECT_EQ(ReadFile(dir.Settings()), kSample) << "a close without changes must not touch the file";
}

// ReadKeyWait passes the items OpenKey loads, in order, and gives the
// results OpenKey gives; it holds nothing before or after.
TEST_F(OpenCloseTest, ReadKeyPassesWhatOpenKeyLoads)
{
    const std::string text = "[PrinterSet]\r\n; c = 1\r\nPort = LPT1;\r\n\r\n [a = b] \r\nSpeed=2 ; fast\r\n"
                             "x = ;\r\nPort = dup;\r\nn = v\0[HotKeySet]\r\nv = w;\r\n  [HotKeySet] \r\nCopy = C;\r\n"s;
    WriteFile(dir.Settings(), text);
    CQorvane store(dir.Path().c_str());
    std::string read;
    const CQorvane::ItemReader collect = [&](std::string_view name, std::string_view value) {
        read += std::string(name) + "=" + std::string(value) + "\n";
    };
    EXPECT_EQ(store.ReadKeyWait("PrinterSet", 0, collect), 1);
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    std::string loaded;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString name;
        CString value;
        store.GetItemAt(i, name, value);
        loaded += name.str() + "=" + value.str() + "\n";
    }
    EXPECT_EQ(read, loaded);
    EXPECT_EQ(read, "Port=LPT1\n[a=b]\nSpeed=2\nPort=dup\nn=v\nv=w\n");
    EXPECT_EQ(store.ReadKeyWait("PrinterSet", 0, collect), -1) << "a key is open";
    store.CloseKey(1);

    read.clear();
    EXPECT_EQ(store.ReadKeyWait("Unknown", 0, collect), -2);
    EXPECT_EQ(store.ReadKeyWait("PrinterSet", 0, nullptr), -2);
    WriteFile(dir.Settings(), "[Other]\r\nPort = 1;\r\n");
    EXPECT_EQ(store.ReadKeyWait("PrinterSet", 0, collect), 0);
    EXPECT_EQ(read, "");
    {
        HeldLock other(dir.Settings());
        EXPECT_EQ(store.ReadKeyWait("PrinterSet", 0, collect), -4);
    }
    store.SetItem(0UL, "Port", Mutable("2"));
    EXPECT_EQ(store.ReadKeyWait("PrinterSet", 0, collect), -1) << "an item is stored for the next open";
    EXPECT_STREQ(store.GetKeyName(), "");
}

TEST_F(OpenCloseTest, ReopeningTheOpenKeyKeepsChanges)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM1"));
    EXPECT_EQ(store.OpenKey("PrinterSet"), 1);
    EXPECT_EQ(Get(store, "Port"), "COM1");
}

TEST_F(OpenCloseTest, MissingFileIsCreatedMissingDirectoryIsMinusFour)
{
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKey("HotKeySet"), 0);
    EXPECT_EQ(ReadFile(dir.Settings()), "");
    EXPECT_EQ(store.CloseKey(1), 1);

    CQorvane nowhere((dir.Path() + "/missing").c_str());
    nowhere.SetItem(0ul, "Early", Mutable("1"));
    EXPECT_EQ(nowhere.OpenKey("HotKeySet"), -4);
    EXPECT_STREQ(nowhere.GetKeyName(), "");
    EXPECT_EQ(nowhere.GetKeyID(), 0u);
    EXPECT_EQ(nowhere.GetItemCount(), 0);
}

TEST_F(OpenCloseTest, KeyNameWithBlanksOpensButFindsNoHeader)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.OpenKey(" PrinterSet "), 0);
    EXPECT_STREQ(store.GetKeyName(), " PrinterSet ");
    store.SetItem(KEYID_PRINTERSET, "X", Mutable("1"));
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()), std::string(kSample) + "\r\n[ PrinterSet ]\r\nX = 1;\r\n");
}

TEST_F(OpenCloseTest, ItemsSetBeforeOpenLandInTheKeyOpenedNext)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    EXPECT_EQ(store.SetItem(0ul, "Early", Mutable("e")), 2);
    ASSERT_EQ(store.OpenKey("HotKeySet"), 1);
    ASSERT_EQ(store.GetItemCount(), 2);
    EXPECT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()),
              "; sample\r\n[PrinterSet]\r\nPort = LPT1;\r\nSpeed=2 ; fast\r\nPort = dup;\r\n\r\n"
              "[HotKeySet]\r\nCopy = Ctrl+C;\r\nEarly = e;\r\n");
}

TEST_F(OpenCloseTest, WorkedExampleByteForByte)
{
    WriteFile(dir.Settings(),
              "\n; printer settings\n\n\n[PrinterSet]\nPort = 1;\nSpeed=2 ; fast\n  \n\n[HotKeySet]\n"
              "Copy = Ctrl+C;\n[Other]\nItem = x;\n");
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    EXPECT_EQ(store.SetItem(KEYID_PRINTERSET, "Speed", Mutable("3")), 1);
    EXPECT_EQ(store.SetItem("PrinterSet", "Mode", Mutable("A")), 2);
    ASSERT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(ReadFile(dir.Settings()),
              "; printer settings\r\n\r\n[PrinterSet]\r\nPort = 1;\r\nSpeed = 3;\r\n  \r\nMode = A;\r\n\r\n"
              "[HotKeySet]\r\nCopy = Ctrl+C;\r\n\r\n[Other]\r\nItem = x;\r\n");
    EXPECT_STREQ(store.GetKeyName(), "");
    EXPECT_EQ(store.GetItemCount(), 0);
    EXPECT_EQ(dir.Listing(), "QorRunningSet.Inf") << "temporary file left behind";
}

TEST_F(OpenCloseTest, ValuesRoundTripAsTheGrammarAllows)
{
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 0);
    store.SetItem(KEYID_PRINTERSET, "Eq", Mutable("a=b"));
    store.SetItem(KEYID_PRINTERSET, "Semi", Mutable("before;after"));
    store.SetItem(KEYID_PRINTERSET, "Blank", Mutable("   "));
    store.SetItem(KEYID_PRINTERSET, "Utf8", Mutable("caf\xc3\xa9 \xe2\x82\xac"));
    ASSERT_EQ(store.CloseKey(0), 1);
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    EXPECT_EQ(Get(store, "Eq"), "a=b");
    EXPECT_EQ(Get(store, "Semi"), "before");
    EXPECT_EQ(Get(store, "Blank"), "<0>");
    EXPECT_EQ(Get(store, "Utf8"), "caf\xc3\xa9 \xe2\x82\xac");
}

TEST_F(OpenCloseTest, CloseReportsMissingAndLockedFilesAndHonoursClearOnFail)
{
    for (const int clearOnFail : {0, 1}) {
        WriteFile(dir.Settings(), kSample);
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM2"));
        {
            HeldLock other(dir.Settings());
            EXPECT_EQ(store.CloseKey(clearOnFail), -2);
        }
        EXPECT_EQ(ReadFile(dir.Settings()), kSample);
        EXPECT_EQ(store.GetItemCount(), clearOnFail ? 0 : 3);
        if (clearOnFail) continue;

        ASSERT_EQ(::unlink(dir.Settings().c_str()), 0);
        EXPECT_EQ(store.CloseKey(0), -2);
        EXPECT_EQ(Get(store, "Port"), "COM2");
        WriteFile(dir.Settings(), "");
        EXPECT_EQ(store.CloseKey(0), 1);
        EXPECT_EQ(ReadFile(dir.Settings()), "[PrinterSet]\r\nPort = COM2;\r\nSpeed = 2;\r\nPort = dup;\r\n");
    }
}

TEST_F(OpenCloseTest, OpenWhileAnotherHoldsTheFileIsMinusFour)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    HeldLock other(dir.Settings());
    EXPECT_EQ(store.OpenKey("PrinterSet"), -4);
    EXPECT_STREQ(store.GetKeyName(), "");
    EXPECT_EQ(store.GetKeyID(), 0u);
}

// Another program's lock, held by a child: a write lock keeps clients out;
// a read lock (which anyone who may read the file can take, through a
// read-only descriptor) does not. A client that met one keeps every writer
// out while it works, even after the other program let its lock go.
TEST_F(OpenCloseTest, OnlyWriteLocksOfOtherProgramsKeepClientsOut)
{
    using qorvane::testing::Gate;
    struct Case {
        const char* name;
        int command;
        short type;
        int openKey;
        int closeKey;
    };
    const Case cases[] = {
        {"OFD write lock", F_OFD_SETLK, F_WRLCK, -4, -2},
        {"classic write lock", F_SETLK, F_WRLCK, -4, -2},
        {"OFD read lock", F_OFD_SETLK, F_RDLCK, 1, 1},
        {"classic read lock", F_SETLK, F_RDLCK, 1, 1},
    };
    // At the step where the client holds the file: the other program lets
    // go of its lock, and a writer tries to lock the file.
    struct Probe {
        std::string path;
        Gate* release = nullptr;
        Gate* released = nullptr;
        int writerGotIn = 0;
    };
    const auto probeWriter = [](seam::Step, void* context) {
        auto* p = static_cast<Probe*>(context);
        p->release->Signal();
        if (!p->released->Wait()) return;
        qorvane::platform::UniqueFd fd;
        if (qorvane::platform::sys::Open(p->path.c_str(), O_RDWR, 0, fd) == 0 &&
            qorvane::platform::sys::TryLock(fd.Get(), F_WRLCK) == 0) {
            ++p->writerGotIn;
        }
    };
    for (const Case& c : cases) {
        for (const seam::Step step : {seam::Step::ReaderLocked, seam::Step::Locked}) {
            SCOPED_TRACE(std::string(c.name) + (step == seam::Step::Locked ? ", close" : ", open"));
            WriteFile(dir.Settings(), kSample);
            CQorvane store(dir.Path().c_str());
            ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
            store.SetItem(KEYID_PRINTERSET, "Port", Mutable("COM2"));
            Gate locked;
            Gate release;
            Gate released;
            const pid_t holder = qorvane::testing::StartChild([&]() -> int {
                const int fd = ::open(dir.Settings().c_str(), c.type == F_RDLCK ? O_RDONLY : O_RDWR);
                struct flock lock {};
                lock.l_type = c.type;
                lock.l_whence = SEEK_SET;
                if (fd < 0 || ::fcntl(fd, c.command, &lock) != 0) return 1;
                locked.Signal();
                if (!release.Wait()) return 2;
                ::close(fd);
                released.Signal();
                return 0;
            });
            ASSERT_TRUE(locked.Wait());
            Probe probe{dir.Settings(), &release, &released};
            seam::OnStep(step, probeWriter, &probe);
            if (step == seam::Step::ReaderLocked) {
                CQorvane reader(dir.Path().c_str());
                EXPECT_EQ(reader.OpenKey("PrinterSet"), c.openKey);
                EXPECT_EQ(Get(reader, "Port"), c.openKey == 1 ? "LPT1" : "<0>");
            } else {
                EXPECT_EQ(store.CloseKey(1), c.closeKey);
            }
            seam::Reset();
            EXPECT_EQ(probe.writerGotIn, 0) << "a writer got the file while a client worked on it";
            release.Signal();
            EXPECT_EQ(qorvane::testing::ExitCodeOf(qorvane::testing::WaitChild(holder)), 0);
        }
    }
}

TEST_F(OpenCloseTest, SettingsNameThatIsNotARegularFileIsRefused)
{
    ASSERT_EQ(::mkfifo(dir.Settings().c_str(), 0600), 0);
    CQorvane fifo(dir.Path().c_str());
    EXPECT_EQ(fifo.OpenKey("PrinterSet"), -4);

    TempDir other;
    ASSERT_EQ(::symlink("/dev/zero", other.Settings().c_str()), 0);
    CQorvane device(other.Path().c_str());
    EXPECT_EQ(device.OpenKey("PrinterSet"), -4);
    device.SetItem(0ul, "A", Mutable("1"));
    // A key opened on a file that later turned into a device is refused too.
    ASSERT_EQ(::unlink(other.Settings().c_str()), 0);
    WriteFile(other.Settings(), "");
    ASSERT_EQ(device.OpenKey("PrinterSet"), 0);
    device.SetItem(KEYID_PRINTERSET, "A", Mutable("1"));
    ASSERT_EQ(::unlink(other.Settings().c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", other.Settings().c_str()), 0);
    EXPECT_EQ(device.CloseKey(0), -2);
}

TEST_F(OpenCloseTest, ReplaceKeepsModeAndWritesThroughSymlinks)
{
    const std::string target = dir.File("real.inf");
    WriteFile(target, kSample);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.inf", dir.Settings().c_str()), 0);

    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("HotKeySet"), 1);
    store.SetItem(KEYID_HOTKEYSET, "Copy", Mutable("Ctrl+Ins"));
    ASSERT_EQ(store.CloseKey(0), 1);

    struct stat st {};
    ASSERT_EQ(::lstat(dir.Settings().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced by a file";
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_NE(ReadFile(target).find("Copy = Ctrl+Ins;"), std::string::npos);
    EXPECT_EQ(dir.Listing(), "QorRunningSet.Inf real.inf");
}

TEST_F(OpenCloseTest, LeftoverTemporaryFilesAreRemovedByTheNextReplace)
{
    WriteFile(dir.Settings(), kSample);
    WriteFile(dir.File(".QorRunningSet.Inf.qvtmp-abandoned"), "half");
    WriteFile(dir.File("unrelated.qvtmp-keep"), "mine");
    CQorvane store(dir.Path().c_str());
    ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
    store.SetItem(KEYID_PRINTERSET, "Port", Mutable("X"));
    ASSERT_EQ(store.CloseKey(0), 1);
    EXPECT_EQ(dir.Listing(), "QorRunningSet.Inf unrelated.qvtmp-keep");
}

// Each failing system call of a close leaves the file as it was, no
// temporary file, no descriptor and no counter weight; the result is -3
// (or -2 where the file cannot be opened) and the data stays for a retry.
TEST_F(OpenCloseTest, InjectedFailuresOfCloseLeaveTheFileUntouched)
{
    struct Case {
        seam::Op op;
        int nth;  // which call of that kind fails; negative: that one and every later one
        int err;
        int expect;
    };
    const Case cases[] = {
        {seam::Op::Lock, -1, EIO, -1},  // the counter's holder lock: the writer cannot enter
        {seam::Op::Lock, 3, EIO, -2},  // the settings file's (after holder lock and writer slot)
        {seam::Op::Open, 1, EACCES, -2},
        {seam::Op::Fstat, 1, EIO, -2},
        {seam::Op::Read, 1, EIO, -3},
        {seam::Op::Open, 2, EMFILE, -3},  // the temporary file
        {seam::Op::Fchmod, 1, EPERM, -3},
        {seam::Op::Write, 1, ENOSPC, -3},
        {seam::Op::Write, 1, EIO, -3},
        {seam::Op::Fsync, 1, EIO, -3},
        {seam::Op::Link, 1, ENOSPC, -3},
        {seam::Op::Close, 1, EIO, -3},
        {seam::Op::Rename, 1, EIO, -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(seam::OpName(c.op)) + " #" + std::to_string(c.nth) + " fails with " +
                     std::to_string(c.err));
        WriteFile(dir.Settings(), kSample);
        CQorvane store(dir.Path().c_str());
        ASSERT_EQ(store.OpenKey("PrinterSet"), 1);
        store.SetItem(KEYID_PRINTERSET, "Port", Mutable("NEW"));
        const int fds = qorvane::testing::OpenDescriptorCount();
        seam::Reset();
        if (c.nth > 0) {
            seam::FailNth(c.op, c.nth, c.err);
        } else {
            seam::FailFrom(c.op, -c.nth, c.err);
        }
        EXPECT_EQ(store.CloseKey(0), c.expect);
        seam::Reset();
        EXPECT_EQ(qorvane::testing::OpenDescriptorCount(), fds);
        EXPECT_EQ(qorvane::testing::CounterValue(), 0);
        EXPECT_EQ(ReadFile(dir.Settings()), kSample);
        EXPECT_EQ(dir.Listing(), "QorRunningSet.Inf");
        EXPECT_EQ(Get(store, "Port"), "NEW");
        EXPECT_EQ(store.CloseKey(0), 1) << "the retry must succeed";
        EXPECT_NE(ReadFile(dir.Settings()).find("Port = NEW;"), std::string::npos);
    }
}

// A real full file system, where the process may mount one: a 64 KiB tmpfs
// in a private mount namespace of a child process.
TEST_F(OpenCloseTest, FullFileSystemLeavesTheFileByteIdentical)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    const int status = qorvane::testing::RunInChild([&]() -> int {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("qorvane-full", dir.Path().c_str(), "tmpfs", 0, "size=64k") != 0) return 77;
        std::string old = "[PrinterSet]\r\n";
        for (int i = 0; old.size() < 40000; ++i) old += "Item" + std::to_string(i) + " = some value;\r\n";
        WriteFile(dir.Settings(), old);
        CQorvane store(dir.Path().c_str());
        if (store.OpenKey("PrinterSet") != 1) return 1;
        std::string big(30000, 'v');
        store.SetItem(KEYID_PRINTERSET, "Big", big.data());
        if (store.CloseKey(0) != -3) return 2;             // ENOSPC while writing the copy
        if (ReadFile(dir.Settings()) != old) return 3;     // the old file, whole
        if (dir.Listing() != "QorRunningSet.Inf") return 4;  // no temporary file left
        if (store.GetItemCount() == 0) return 5;           // the change is kept for a retry
        if (qorvane::testing::CounterValue() != 0) return 6;
        return 0;
    });
    const int code = qorvane::testing::ExitCodeOf(status);
    if (code == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(code, 0);
}

TEST_F(OpenCloseTest, InjectedReadFailureOfOpenIsMinusFour)
{
    WriteFile(dir.Settings(), kSample);
    CQorvane store(dir.Path().c_str());
    seam::FailNth(seam::Op::Read, 1, EIO);
    EXPECT_EQ(store.OpenKey("PrinterSet"), -4);
    EXPECT_STREQ(store.GetKeyName(), "");
    EXPECT_EQ(store.OpenKey("PrinterSet"), 1);
}

}  // namespace

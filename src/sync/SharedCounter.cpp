#include "sync/SharedCounter.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/ForkGuard.h"
#include "platform/Seam.h"

namespace qorvane::sync {
namespace {

static_assert(CounterWord::is_always_lock_free, "the counter must be lock-free to be shared");
static_assert(kHandOffOffset >= kCookieOffset + sizeof(CounterRecord::cookie) &&
                  kHandOffOffset + sizeof(HandOff) <= kSharedSectionSize && kHandOffOffset % alignof(HandOff) == 0,
              "the hand-off words lie in free bytes of the segment");

constexpr const char* kShmDir = "/dev/shm";
constexpr mode_t kCreatedMode = 0666;
constexpr off_t kHolderByte = 0;
constexpr off_t kWriterSlotByte = 1;
// Held exclusively by the process that makes a new segment (SetUpLock).
constexpr off_t kSegmentSetupByte = 2;
// Held shared by each process while it counts in HandOff::readersWaiting.
constexpr off_t kWaitersByte = 3;
constexpr int kAttempts = 8;

std::string& CounterName()
{
    static std::string name = kSharedCounterName;
    return name;
}

std::string Octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string Owner(uid_t uid, gid_t gid, mode_t mode)
{
    return "owner uid " + std::to_string(uid) + ", group gid " + std::to_string(gid) + ", mode " + Octal(mode);
}

// The group's name, or its number where it has none.
std::string GroupName(gid_t gid)
{
    long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buf(static_cast<std::size_t>(size > 0 ? size : 16384));
    group entry {};
    group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) return found->gr_name;
    return std::to_string(gid);
}

std::string WhoAmI()
{
    return "uid " + std::to_string(::geteuid()) + ", gid " + std::to_string(::getegid());
}

CounterProblem Problem(int err, std::string message)
{
    const bool transient = err == EMFILE || err == ENFILE || err == ENOMEM || err == ENOSPC || err == EINTR ||
                           err == EAGAIN;
    return {transient ? CounterState::Unavailable : CounterState::Wrong, std::move(message)};
}

CounterProblem Wrong(std::string message)
{
    return {CounterState::Wrong, std::move(message)};
}

std::string ObjectText()
{
    return "access counter object " + SharedCounterPath();
}

// --- the object --------------------------------------------------------

int OpenObjectFd(int flags, mode_t mode, const char* path, platform::LockableFd& out)
{
    int err = 0;
    const int fd = platform::OpenRegistered([&]() -> int {
        if ((err = seam::InjectedError(seam::Op::ShmOpen)) != 0) return -1;
        const int opened = ::open(path, flags | O_CLOEXEC, mode);
        if (opened < 0) err = errno;
        return opened;
    });
    if (fd >= 0) out.AdoptRegistered(fd);
    return err;
}

// What a new object holds until the first record is written: not a record
// (the magic differs), as long as one. The provisioning of the hardened
// set-up writes the same text.
constexpr char kPlaceholder[] = "QVCNTR-- no counter segment named yet\n";
static_assert(sizeof kPlaceholder - 1 >= sizeof(CounterRecord), "the placeholder must take the record's bytes");

int WritePlaceholder(int fd)
{
    const ssize_t put = ::pwrite(fd, kPlaceholder, sizeof kPlaceholder - 1, 0);
    if (put < 0) return errno;
    return put == static_cast<ssize_t>(sizeof kPlaceholder - 1) ? 0 : EIO;
}

// Creates the object with its final mode before it has a name: an unnamed
// file, given mode 0666 (whatever the umask), then linked under the name.
// EEXIST when another process linked one first.
int CreateObject(const std::string& path, platform::LockableFd& fd)
{
    int err = OpenObjectFd(O_TMPFILE | O_RDWR, 0600, kShmDir, fd);
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        // No unnamed files here: create under the name; for a moment other
        // users see the umask's mode.
        err = OpenObjectFd(O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, kCreatedMode, path.c_str(), fd);
        if (err == 0) err = platform::sys::Fchmod(fd.Get(), kCreatedMode);
        if (err != 0) fd.Reset();
        return err;
    }
    if (err != 0) return err;
    // An ACL inherited from the directory would decide who may use the
    // counter beside the mode; the placeholder takes the record's page now,
    // so that a full /dev/shm cannot keep the record from being written.
    if ((err = platform::sys::RemoveAccessAcl(fd.Get())) == 0 &&
        (err = platform::sys::Fchmod(fd.Get(), kCreatedMode)) == 0 && (err = WritePlaceholder(fd.Get())) == 0) {
        err = platform::sys::LinkFd(fd.Get(), path.c_str());
    }
    if (err != 0) fd.Reset();
    return err;
}

// Opens the object read-write, creating it when missing, and checks what it
// is. On success `st` describes it.
CounterProblem OpenObject(platform::LockableFd& fd, struct stat& st)
{
    const std::string path = SharedCounterPath();
    int err = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        err = OpenObjectFd(O_RDWR | O_NOFOLLOW, 0, path.c_str(), fd);
        if (err == ENOENT) {
            err = CreateObject(path, fd);
            if (err == EEXIST) continue;  // another process created it meanwhile
        }
        break;
    }
    if (err == EACCES || err == EPERM) {
        struct stat named {};
        if (::stat(path.c_str(), &named) != 0) {
            return Wrong(ObjectText() + " does not let this process (" + WhoAmI() + ") read and write it");
        }
        const std::string whose = " (" + Owner(named.st_uid, named.st_gid, named.st_mode) + ")";
        if ((named.st_mode & 0060) == 0060 && (named.st_mode & 0006) != 0006) {
            // The group set-up: the object is meant for one group's members.
            const std::string group = GroupName(named.st_gid);
            return Wrong(ObjectText() + whose + " is for the members of group " + group + " only, and this process (" +
                         WhoAmI() + ") is not one: ask the administrator to add its user to the group (usermod -aG " +
                         group + " USER), then log in again");
        }
        return Wrong(ObjectText() + whose + " does not let this process (" + WhoAmI() +
                     ") read and write it; it was created or changed by another user");
    }
    if (err == ELOOP) return Wrong(ObjectText() + " is a symbolic link, not a shared-memory object");
    if (err != 0) return Problem(err, "cannot open " + ObjectText() + ": " + std::strerror(err));

    if ((err = platform::sys::Fstat(fd.Get(), st)) != 0) {
        fd.Reset();
        return Problem(err, "cannot inspect " + ObjectText() + ": " + std::strerror(err));
    }
    if (!S_ISREG(st.st_mode)) {
        fd.Reset();
        return Wrong(ObjectText() + " is not a regular shared-memory object");
    }
    std::string acl;
    if (platform::sys::GetAccessAcl(fd.Get(), acl) == 0 && !acl.empty()) {
        fd.Reset();
        return Wrong(ObjectText() + " (" + Owner(st.st_uid, st.st_gid, st.st_mode) +
                     ") has an access ACL, which the counter's segment cannot carry: who may use the counter is "
                     "decided by the object's owner, group and mode alone; remove the ACL (setfacl -b " + path + ")");
    }
    const mode_t rw = st.st_mode & 0777;
    if (rw != 0666 && rw != 0660) {
        fd.Reset();
        return Wrong(ObjectText() + " (" + Owner(st.st_uid, st.st_gid, st.st_mode) +
                     ") has a mode that shuts other users out; expected 0666, or 0660 for a group of users");
    }
    return {};
}

// --- the record and the segment ----------------------------------------

constexpr char kRecordMagic[8] = {'Q', 'V', 'C', 'N', 'T', 'R', '0', '3'};
// A pause while another process sets the segment up or recovers stale
// weight (each takes microseconds).
constexpr auto kBusyPoll = std::chrono::microseconds(100);
// How long an entry may spend finding, making or replacing the segment in
// all before the counter counts as busy: longer only when processes that
// cannot use each other's segments (another IPC namespace over the same
// /dev/shm) take turns replacing it.
constexpr auto kSetUpWait = std::chrono::milliseconds(25);
using SetUpClock = std::chrono::steady_clock;

void PauseBriefly()
{
    // A random pause, so that processes that met at the same lock do not
    // meet again.
    thread_local std::minstd_rand rng{static_cast<unsigned>(::getpid()) ^
                                      static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id()))};
    std::this_thread::sleep_for(kBusyPoll * (1 + static_cast<int>(rng() % 4)));
}

std::string SegmentText(int id)
{
    return "access counter segment (System V id " + std::to_string(id) + ")";
}

// Owner and mode of a segment we may not stat, from /proc/sysvipc/shm.
std::string ForeignSegmentOwner(int wanted)
{
    std::ifstream in("/proc/sysvipc/shm");
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long long key = 0;
        long long id = 0;
        unsigned perms = 0;
        unsigned long size = 0;
        long long cpid = 0;
        long long lpid = 0;
        long long nattch = 0;
        unsigned long uid = 0;
        unsigned long gid = 0;
        if (!(fields >> key >> id >> std::oct >> perms >> std::dec >> size >> cpid >> lpid >> nattch >> uid >> gid)) continue;
        if (id != wanted) continue;
        return " (" + Owner(static_cast<uid_t>(uid), static_cast<gid_t>(gid), static_cast<mode_t>(perms)) + ")";
    }
    return "";
}

int ShmGet(std::size_t size, int& id)
{
    if (const int err = seam::InjectedError(seam::Op::Shm)) return err;
    id = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    return id < 0 ? errno : 0;
}

int ShmStat(int id, shmid_ds& ds)
{
    if (const int err = seam::InjectedError(seam::Op::Shm)) return err;
    return ::shmctl(id, IPC_STAT, &ds) == 0 ? 0 : errno;
}

// One attachment of a segment, detached on destruction unless handed on.
class Mapping {
public:
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { Reset(); }
    void* Get() const noexcept { return m_at; }
    explicit operator bool() const noexcept { return m_at != nullptr; }
    // Attaches segment `id`; 0 or the errno.
    int Attach(int id)
    {
        Reset();
        if (const int err = seam::InjectedError(seam::Op::Shm)) return err;
        void* at = ::shmat(id, nullptr, 0);
        if (at == MAP_FAILED) return errno;  // shmat fails with (void*)-1, as mmap does
        m_at = at;
        return 0;
    }
    void* Release() noexcept { return std::exchange(m_at, nullptr); }
    void Reset() noexcept
    {
        if (m_at != nullptr) ::shmdt(m_at);
        m_at = nullptr;
    }

private:
    void* m_at = nullptr;
};

CounterWord* WordAt(void* at)
{
    return static_cast<CounterWord*>(at);
}

bool SameCookie(const void* segment, const CounterRecord& record)
{
    return std::memcmp(static_cast<const char*>(segment) + kCookieOffset, record.cookie, sizeof record.cookie) == 0;
}

// Whether a segment's permissions follow the object's, so that exactly the
// processes that may open the object may use the word.
bool FollowsObject(const shmid_ds& ds, const struct stat& object)
{
    return (ds.shm_perm.mode & 0777) == (object.st_mode & 0666) && ds.shm_perm.gid == object.st_gid &&
           ds.shm_segsz >= kSharedSectionSize;
}

}  // namespace

// The attachments of this process, newest first, published without a lock
// (a child forked while another thread updates the list must not find a
// lock held). A thread uses an attachment only while it holds a reference
// (`users`); one that the record no longer names is retired and detached
// by whoever drops the last reference. Records are never freed, so a
// thread may always look at one; they are a few dozen bytes, one per
// segment this process ever used.
struct Attachment {
    std::string path;  // the object's name
    dev_t dev = 0;     // and identity
    ino_t ino = 0;
    int id = -1;
    unsigned char cookie[16] = {};
    CounterWord* word = nullptr;
    std::atomic<int> users{0};
    std::atomic<bool> retired{false};
    std::atomic<bool> detached{false};
    Attachment* older = nullptr;

    void Detach() noexcept
    {
        if (!detached.exchange(true)) ::shmdt(word);
    }
    // A reference, or false once the attachment is retired.
    bool Acquire() noexcept
    {
        users.fetch_add(1);
        if (!retired.load()) return true;
        Drop();
        return false;
    }
    void Drop() noexcept
    {
        if (users.fetch_sub(1) == 1 && retired.load()) Detach();
    }
    void Retire() noexcept
    {
        if (retired.exchange(true)) return;
        if (users.load() == 0) Detach();
    }
};

namespace {

std::atomic<Attachment*> g_attachments{nullptr};

bool Names(const Attachment& a, const std::string& path, const struct stat& object, const CounterRecord& record)
{
    return a.path == path && a.dev == object.st_dev && a.ino == object.st_ino && a.id == record.id &&
           std::memcmp(a.cookie, record.cookie, sizeof a.cookie) == 0;
}

// A reference to this process's attachment of the segment `record` names.
Attachment* FindAttachment(const std::string& path, const struct stat& object, const CounterRecord& record)
{
    for (Attachment* a = g_attachments.load(std::memory_order_acquire); a != nullptr; a = a->older) {
        if (Names(*a, path, object, record) && a->Acquire()) return a;
    }
    return nullptr;
}

// Retires every attachment of the object `path` names other than `current`.
// The caller holds the shared holder lock and `current` is what the record
// names, so no process (this one included) is inside the counter on any
// other segment of this object: the record changes only under the
// exclusive holder lock. Segments of an object that was replaced under the
// name are retired too; a thread still inside on one holds a reference, and
// the last reference detaches.
void RetireOthers(const Attachment& current)
{
    for (Attachment* a = g_attachments.load(std::memory_order_acquire); a != nullptr; a = a->older) {
        if (a != &current && a->path == current.path && !a->retired.load()) a->Retire();
    }
}

// Publishes the attachment `at` of the segment `record` names, with one
// reference for the caller.
Attachment* Publish(const std::string& path, const struct stat& object, const CounterRecord& record, Mapping& at)
{
    auto a = std::make_unique<Attachment>();
    a->path = path;
    a->dev = object.st_dev;
    a->ino = object.st_ino;
    a->id = record.id;
    std::memcpy(a->cookie, record.cookie, sizeof a->cookie);
    a->users.store(1);
    a->word = WordAt(at.Release());
    Attachment* head = g_attachments.load(std::memory_order_acquire);
    do {
        a->older = head;
    } while (!g_attachments.compare_exchange_weak(head, a.get(), std::memory_order_acq_rel));
    return a.release();
}

enum class Found {
    Attached,  // `at` is the segment the record names
    Gone,      // no segment, or not the one the record names (its id reused)
    Unfit,     // the segment the record names cannot serve this process
    Failed,    // `problem` says why
};

// Attaches the segment `record` names and checks that it is that segment.
Found AttachNamed(const CounterRecord& record, const struct stat& object, Mapping& at, std::string& why,
                  CounterProblem& problem)
{
    int err = at.Attach(record.id);
    if (err == EINVAL || err == EIDRM) return Found::Gone;
    if (err == EACCES) {
        why = SegmentText(record.id) + ForeignSegmentOwner(record.id) + " does not let this process (" + WhoAmI() +
              ") use it";
        return Found::Unfit;
    }
    if (err != 0) {
        problem = Problem(err, "cannot map the " + SegmentText(record.id) + ": " + std::strerror(err));
        return Found::Failed;
    }
    shmid_ds ds {};
    err = ShmStat(record.id, ds);
    if (err == 0 && ds.shm_segsz >= kSharedSectionSize && SameCookie(at.Get(), record)) {
        if (FollowsObject(ds, object)) return Found::Attached;
        why = SegmentText(record.id) + " (" + Owner(ds.shm_perm.uid, ds.shm_perm.gid, ds.shm_perm.mode) +
              ") does not follow " + ObjectText() + " (" + Owner(object.st_uid, object.st_gid, object.st_mode) + ")";
        return Found::Unfit;
    }
    at.Reset();
    if (err != 0 && err != EINVAL && err != EIDRM && err != EACCES) {
        problem = Problem(err, "cannot inspect the " + SegmentText(record.id) + ": " + std::strerror(err));
        return Found::Failed;
    }
    return Found::Gone;  // another segment under a reused id
}

// Makes a new segment for `object`, attached at `at`, and the record that
// names it. The segment is marked for removal at once, so it vanishes with
// its last user (a process killed between the two steps leaves one behind,
// attached by nobody). The caller holds the holder lock exclusively.
CounterProblem MakeSegment(const struct stat& object, Mapping& at, CounterRecord& record)
{
    int id = -1;
    int err = ShmGet(kSharedSectionSize, id);
    if (err == ENOSPC || err == ENOMEM || err == ENFILE) {
        return Wrong("no System V shared-memory segment can be made for the " + ObjectText() +
                     ": the system's limits are used up (" + std::strerror(err) +
                     "; see 'ipcs -l' for the limits and 'ipcs -m' for the segments in use)");
    }
    if (err != 0) return Problem(err, "cannot make the access counter segment: " + std::string(std::strerror(err)));
    err = at.Attach(id);
    ::shmctl(id, IPC_RMID, nullptr);
    if (err != 0) {
        if (err == ENOMEM) return Wrong("cannot map a new access counter segment: " + std::string(std::strerror(err)));
        return Problem(err, "cannot map a new access counter segment: " + std::string(std::strerror(err)));
    }
    shmid_ds ds {};
    if ((err = ShmStat(id, ds)) == 0) {
        ds.shm_perm.gid = object.st_gid;
        ds.shm_perm.mode = static_cast<unsigned short>(object.st_mode & 0666);
        if (::shmctl(id, IPC_SET, &ds) != 0) err = errno;
    }
    record = CounterRecord{};
    std::memcpy(record.magic, kRecordMagic, sizeof record.magic);
    record.id = id;
    if (err == 0 && ::getrandom(record.cookie, sizeof record.cookie, 0) != static_cast<ssize_t>(sizeof record.cookie)) {
        err = errno != 0 ? errno : EIO;
    }
    if (err != 0) {
        at.Reset();
        return Problem(err, "cannot set up a new access counter segment: " + std::string(std::strerror(err)));
    }
    std::memcpy(static_cast<char*>(at.Get()) + kCookieOffset, record.cookie, sizeof record.cookie);
    WordAt(at.Get())->store(0);
    return {};
}

// The holder lock of `fd` taken shared, polling while a set-up or a
// recovery holds it exclusively, until `deadline`.
bool TakeShared(int fd, SetUpClock::time_point deadline)
{
    for (;;) {
        if (platform::sys::TryLockRange(fd, F_RDLCK, kHolderByte, 1) == 0) return true;
        if (SetUpClock::now() >= deadline) return false;
        PauseBriefly();
    }
}

// --- the thread's descriptor ------------------------------------------

struct KeptDescriptor {
    platform::LockableFd fd;
    pid_t owner = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    bool inUse = false;
};
thread_local KeptDescriptor t_kept;
thread_local CounterProblem t_lastProblem;
thread_local bool t_waitingReader = false;
// The calling thread's waiting call counts in HandOff::readersWaiting.
thread_local bool t_countedWaiting = false;
// The place in the writers' line of the calling thread's waiting call.
thread_local WriterTicket* t_writerTicket = nullptr;

}  // namespace

void UseSharedCounterName(std::string name)
{
    CounterName() = std::move(name);
}

std::string SharedCounterPath()
{
    return kShmDir + CounterName();
}

bool ReadCounterRecord(int fd, CounterRecord& record)
{
    const ssize_t got = ::pread(fd, &record, sizeof record, 0);
    return got == static_cast<ssize_t>(sizeof record) && std::memcmp(record.magic, kRecordMagic, sizeof kRecordMagic) == 0;
}

int WriteCounterRecord(int fd, const CounterRecord& record)
{
    const ssize_t put = ::pwrite(fd, &record, sizeof record, 0);
    if (put < 0) return errno;
    return put == static_cast<ssize_t>(sizeof record) ? 0 : EIO;
}

CounterWord* ShmHolderLock::Bind(CounterProblem& problem)
{
    problem = {};
    Release();
    const pid_t pid = ::getpid();
    struct stat named {};
    const int named_err = platform::sys::Lstat(SharedCounterPath().c_str(), named);
    struct stat st {};
    if (!t_kept.inUse && !m_ownOnly) {
        const bool current = t_kept.fd.Valid() && t_kept.owner == pid && named_err == 0 &&
                             named.st_dev == t_kept.dev && named.st_ino == t_kept.ino;
        if (!current) {
            t_kept.fd.Reset();
            problem = OpenObject(t_kept.fd, st);
            if (problem.state != CounterState::Usable) return nullptr;
            t_kept.owner = pid;
            t_kept.dev = st.st_dev;
            t_kept.ino = st.st_ino;
        } else {
            st = named;
        }
        t_kept.inUse = true;
        m_cached = true;
        m_fd = t_kept.fd.Get();
    } else {
        // The thread's descriptor is busy (two shares at once in one thread).
        problem = OpenObject(m_own, st);
        if (problem.state != CounterState::Usable) return nullptr;
        m_fd = m_own.Get();
    }
    CounterWord* word = BindWord(st, problem);
    if (word == nullptr) Release();
    return word;
}

// Held exclusively by the process that makes or replaces the segment, so
// that processes finding no usable segment at the same moment do not all
// wait for each other's holder locks: the others step back.
class SetUpLock {
public:
    explicit SetUpLock(int objectFd) : m_fd(objectFd)
    {
        m_held = platform::sys::TryLockRange(m_fd, F_WRLCK, kSegmentSetupByte, 1) == 0;
    }
    ~SetUpLock()
    {
        if (m_held) platform::sys::TryLockRange(m_fd, F_UNLCK, kSegmentSetupByte, 1);
    }
    SetUpLock(const SetUpLock&) = delete;
    SetUpLock& operator=(const SetUpLock&) = delete;
    bool Held() const noexcept { return m_held; }

private:
    int m_fd;
    bool m_held;
};

CounterWord* ShmHolderLock::BindWord(const struct stat& object, CounterProblem& problem)
{
    const std::string path = SharedCounterPath();
    const SetUpClock::time_point deadline = SetUpClock::now() + kSetUpWait;
    const auto stepBack = [&] {
        platform::sys::TryLockRange(m_fd, F_UNLCK, kHolderByte, 1);
        m_shared = false;
        PauseBriefly();
    };
    const auto use = [&](const CounterRecord& record, Mapping& at) {
        if ((m_attachment = FindAttachment(path, object, record)) == nullptr) {
            m_attachment = Publish(path, object, record, at);
        }
        // else another thread attached it meanwhile, and `at` goes
        RetireOthers(*m_attachment);
        return m_attachment->word;
    };
    std::string unfit;
    while (SetUpClock::now() < deadline) {
        if (!m_shared && !(m_shared = TakeShared(m_fd, deadline))) break;
        // While we hold the shared holder lock the record cannot change.
        CounterRecord named {};
        Mapping at;  // the named segment, attached, when it can serve
        Found found = Found::Gone;
        unfit.clear();
        const bool hadRecord = ReadCounterRecord(m_fd, named);
        if (hadRecord) {
            if ((m_attachment = FindAttachment(path, object, named)) != nullptr) return m_attachment->word;
            found = AttachNamed(named, object, at, unfit, problem);
            if (found == Found::Failed) return nullptr;
            if (found == Found::Attached) return use(named, at);
        }
        // The record names no segment that can serve: make one, while no
        // live process holds weight (the holder lock exclusively).
        const SetUpLock setUp(m_fd);
        bool exclusive = false;
        while (setUp.Held() && !(exclusive = TryExclusive()) && SetUpClock::now() < deadline) PauseBriefly();
        if (!exclusive) {
            // Named, and in use by others, only with permissions that no
            // longer follow the object's: count in it for now; a later
            // quiet moment replaces it.
            if (at) return use(named, at);
            stepBack();
            continue;
        }
        CounterRecord now {};
        const bool nowNamed = ReadCounterRecord(m_fd, now);
        if (nowNamed != hadRecord || (nowNamed && std::memcmp(&now, &named, sizeof now) != 0)) {
            Downgrade();  // another process replaced it between our looks
            continue;
        }
        at.Reset();
        Mapping made;
        CounterRecord record {};
        problem = MakeSegment(object, made, record);
        if (problem.state == CounterState::Usable) {
            if (const int err = WriteCounterRecord(m_fd, record)) {
                problem = Problem(err, "cannot write the record of " + ObjectText() + ": " + std::strerror(err));
            }
        }
        Downgrade();
        if (problem.state != CounterState::Usable) return nullptr;
        return use(record, made);
    }
    // A segment that cannot serve this process and stays in use by others
    // (or a set-up that takes longer than an entry may wait) is busy, not
    // wrong: it goes when they leave.
    problem = {CounterState::Unavailable,
               unfit.empty() ? "the " + ObjectText() + " is being set up or recovered by other processes"
                             : unfit + "; it is in use by other processes and cannot be replaced now"};
    return nullptr;
}

bool ShmHolderLock::TryShared()
{
    if (!m_shared) m_shared = m_fd >= 0 && platform::sys::TryLockRange(m_fd, F_RDLCK, kHolderByte, 1) == 0;
    return m_shared;
}

bool ShmHolderLock::TryExclusive()
{
    return m_fd >= 0 && platform::sys::TryLockRange(m_fd, F_WRLCK, kHolderByte, 1) == 0;
}

void ShmHolderLock::Downgrade()
{
    // Turning an OFD write lock into a read lock is atomic: nobody can slip
    // in between.
    platform::sys::TryLockRange(m_fd, F_RDLCK, kHolderByte, 1);
}

bool ShmHolderLock::TryWriterSlot()
{
    return m_fd >= 0 && platform::sys::TryLockRange(m_fd, F_WRLCK, kWriterSlotByte, 1) == 0;
}

bool ShmHolderLock::TryWaitersExclusive()
{
    return m_fd >= 0 && platform::sys::TryLockRange(m_fd, F_WRLCK, kWaitersByte, 1) == 0;
}

void ShmHolderLock::DropWaiters()
{
    if (m_fd >= 0) platform::sys::TryLockRange(m_fd, F_UNLCK, kWaitersByte, 1);
}

bool ShmHolderLock::TryWaitersShared()
{
    return m_fd >= 0 && platform::sys::TryLockRange(m_fd, F_RDLCK, kWaitersByte, 1) == 0;
}

void ShmHolderLock::LeaveHolders()
{
    if (m_fd >= 0 && m_shared) platform::sys::TryLockRange(m_fd, F_UNLCK, kHolderByte, 1);
    m_shared = false;
}

bool ShmHolderLock::WriterSlotTaken()
{
    if (m_fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kWriterSlotByte;
    fl.l_len = 1;
    // An error says nothing: count the slot as taken, the caller's sleep is
    // bounded anyway.
    if (::fcntl(m_fd, F_OFD_GETLK, &fl) != 0) return true;
    return fl.l_type != F_UNLCK;
}

void ShmHolderLock::Release()
{
    if (m_attachment != nullptr) {
        m_attachment->Drop();
        m_attachment = nullptr;
    }
    m_shared = false;
    if (m_fd < 0) return;
    if (m_cached) {
        // Unlocking cannot fail on a valid descriptor; if it did, the lock
        // would stay and only delay a recovery, so the descriptor is closed
        // then (LockableFd unlocks first once more).
        if (platform::sys::TryLockRange(m_fd, F_UNLCK, 0, 0) != 0) t_kept.fd.Reset();
        t_kept.inUse = false;
        m_cached = false;
    } else {
        m_own.Reset();
    }
    m_fd = -1;
}

CounterProblem CheckSharedCounter()
{
    ShmHolderLock lock;
    CounterProblem problem;
    lock.Bind(problem);
    return problem;
}

const CounterProblem& LastCounterProblem() noexcept
{
    return t_lastProblem;
}

CounterWord& SharedCounterWord()
{
    ShmHolderLock lock;
    CounterProblem problem;
    CounterWord* word = lock.Bind(problem);
    if (word == nullptr) throw std::system_error(EAGAIN, std::generic_category(), problem.message);
    return *word;
}

void RemoveSharedCounter()
{
    const std::string path = SharedCounterPath();
    // The segment was marked for removal when it was made: it goes with
    // its last user. (Removing the id the record names could hit another
    // program's segment that got the id since.)
    for (Attachment* a = g_attachments.load(std::memory_order_acquire); a != nullptr; a = a->older) {
        if (a->path == path) a->Retire();
    }
    ::unlink(path.c_str());
}

int SharedCounterSegmentId()
{
    platform::UniqueFd fd(::open(SharedCounterPath().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    CounterRecord record {};
    return fd.Valid() && ReadCounterRecord(fd.Get(), record) ? record.id : -1;
}

HandOff& HandOffOf(CounterWord& word) noexcept
{
    return *reinterpret_cast<HandOff*>(reinterpret_cast<char*>(&word) + kHandOffOffset);
}

WaitingReaderScope::WaitingReaderScope() noexcept : m_outer(t_waitingReader)
{
    t_waitingReader = true;
}

WaitingReaderScope::~WaitingReaderScope()
{
    t_waitingReader = m_outer;
}

ReaderShare::ReaderShare()
{
    m_word = m_lock.Bind(t_lastProblem);
    if (m_word != nullptr && t_waitingReader && HoldsReadersOff(HandOffOf(*m_word), t_countedWaiting)) {
        m_lock.Release();
        return;
    }
    m_in = m_word != nullptr && EnterReader(*m_word, m_lock);
}

ReaderShare::~ReaderShare()
{
    if (!m_in) return;
    LeaveReader(*m_word, m_lock, &HandOffOf(*m_word));
    if (m_heldFile) WakeLockWaiter(HandOffOf(*m_word));
}

WaitingWriterScope::WaitingWriterScope(std::chrono::steady_clock::time_point until) noexcept : m_outer(t_writerTicket)
{
    m_ticket.until = until;
    t_writerTicket = &m_ticket;
}

WaitingWriterScope::~WaitingWriterScope()
{
    t_writerTicket = m_outer;
}

WriterShare::WriterShare()
{
    m_word = m_lock.Bind(t_lastProblem);
    m_ticket = t_writerTicket;
    m_in = m_word != nullptr && EnterWriter(*m_word, m_lock, RealClock(), &HandOffOf(*m_word), m_ticket);
}

WriterShare::~WriterShare()
{
    if (m_in) LeaveWriter(*m_word, m_lock, &HandOffOf(*m_word), m_ticket);
}

LeaveWaiter::LeaveWaiter(Role role) : m_role(role)
{
    CounterProblem problem;
    m_word = m_lock.Bind(problem);
    if (m_word == nullptr) return;
    m_lock.LeaveHolders();
    m_handOff = &HandOffOf(*m_word);
    // Not counted while a writer proves the counts stale: this reader then
    // only naps while it waits for the file's lock, and does not hold off.
    if (role == Role::Reader && m_lock.TryWaitersShared()) {
        m_handOff->lockWaiters.fetch_add(1);
        m_counted = true;
    }
}

void LeaveWaiter::CountAsWaiting() noexcept
{
    if (!m_counted || m_waiting) return;
    m_handOff->readersWaiting.fetch_add(1);
    m_waiting = true;
    t_countedWaiting = true;
}

LeaveWaiter::~LeaveWaiter()
{
    if (m_counted) {
        m_handOff->lockWaiters.fetch_sub(1);
        if (m_waiting) {
            t_countedWaiting = false;
            m_handOff->readersWaiting.fetch_sub(1);
            CountReaderDone(*m_handOff);
        }
        m_lock.Release();  // the waiters' lock with the rest
        // A writer may wait for the count to drop; and a wake of the file's
        // lock that came to this reader passes on.
        WakeWaiters(*m_handOff);
        WakeLockWaiter(*m_handOff);
    }
}

void LeaveWaiter::ArmForLock() noexcept
{
    if (m_handOff != nullptr) m_seenLock = m_handOff->lockTurn.load();
}

bool LeaveWaiter::HoldOff()
{
    if (m_handOff == nullptr || !m_counted) return false;
    // Read before the slot is looked at: a writer that takes the slot after
    // that look writes its own words, which the clearing below leaves.
    std::int32_t queued = m_handOff->writerQueued.load();
    std::uint32_t target = m_handOff->gapTarget.load();
    if (queued == 0 && (m_waiting || target == 0)) return false;
    if (m_lock.WriterSlotTaken()) return true;
    // Left by a writer that is gone.
    if (queued != 0) m_handOff->writerQueued.compare_exchange_strong(queued, 0);
    if (target != 0) m_handOff->gapTarget.compare_exchange_strong(target, 0);
    return false;
}

void LeaveWaiter::SleepForLock(std::chrono::nanoseconds d)
{
    if (m_handOff == nullptr || !m_counted) return Nap(d);
    SleepOnLockTurn(*m_handOff, m_seenLock, d);
}

void LeaveWaiter::SleepForWriter(std::chrono::nanoseconds d)
{
    if (m_handOff == nullptr) return Nap(d);
    const std::uint32_t seen = ArmWait(*m_handOff);
    const std::int32_t value = m_word->load();
    const bool wait = m_role == Role::Reader ? value >= kWriter || HoldsReadersOff(*m_handOff, m_waiting) : value != 0;
    if (wait) SleepOnTurn(*m_handOff, seen, d);
}

void LeaveWaiter::Nap(std::chrono::nanoseconds d)
{
    if (d > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(d);
}

}  // namespace qorvane::sync

#include "sync/SharedCounter.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/ForkGuard.h"
#include "platform/Seam.h"

namespace qorvane::sync {
namespace {

static_assert(CounterWord::is_always_lock_free, "the counter must be lock-free to be shared");

constexpr const char* kShmDir = "/dev/shm";
constexpr mode_t kCreatedMode = 0666;
constexpr off_t kHolderByte = 0;
constexpr off_t kWriterSlotByte = 1;
// Held exclusively while a process creates the segment and gives it the
// object's group and mode, so that others do not take the segment for a
// foreign one meanwhile.
constexpr off_t kSegmentSetupByte = 2;
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
    if ((err = platform::sys::Fchmod(fd.Get(), kCreatedMode)) == 0) err = platform::sys::LinkFd(fd.Get(), path.c_str());
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
        std::string whose;
        if (::stat(path.c_str(), &named) == 0) whose = " (" + Owner(named.st_uid, named.st_gid, named.st_mode) + ")";
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
    const mode_t rw = st.st_mode & 0777;
    if (rw != 0666 && rw != 0660) {
        fd.Reset();
        return Wrong(ObjectText() + " (" + Owner(st.st_uid, st.st_gid, st.st_mode) +
                     ") has a mode that shuts other users out; expected 0666, or 0660 for a group of users");
    }
    return {};
}

// --- the segment ---------------------------------------------------------

// The segment of an object: its key follows the object's identity, so a
// new object (after the old one was removed) gets a new segment.
key_t SegmentKey(const struct stat& object)
{
    std::uint64_t h = static_cast<std::uint64_t>(object.st_ino) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint64_t>(object.st_dev) + 0x51764431u + (h << 6) + (h >> 2);
    h *= 0xBF58476D1CE4E5B9ull;
    const auto key = static_cast<key_t>((h >> 33) & 0x7FFFFFFF);
    return key == IPC_PRIVATE ? 1 : key;
}

std::string SegmentText(key_t key)
{
    char text[64];
    std::snprintf(text, sizeof text, "access counter segment (System V key 0x%08x)", static_cast<unsigned>(key));
    return text;
}

// Owner and mode of a segment we may not stat, from /proc/sysvipc/shm.
std::string ForeignSegmentOwner(key_t key)
{
    std::ifstream in("/proc/sysvipc/shm");
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long long k = 0;
        long long id = 0;
        unsigned perms = 0;
        unsigned long size = 0;
        long long cpid = 0;
        long long lpid = 0;
        long long nattch = 0;
        unsigned long uid = 0;
        unsigned long gid = 0;
        if (!(fields >> k >> id >> std::oct >> perms >> std::dec >> size >> cpid >> lpid >> nattch >> uid >> gid)) continue;
        if (static_cast<key_t>(k) != key) continue;
        return " (" + Owner(static_cast<uid_t>(uid), static_cast<gid_t>(gid), static_cast<mode_t>(perms)) +
               ", size " + std::to_string(size) + ")";
    }
    return "";
}

struct Segment {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    key_t key = 0;
    int id = -1;
    CounterWord* word = nullptr;
};

// The segment this process attached last. Attachments are never removed: a
// thread may still be inside an entry on an older one, and a segment that
// was replaced stays valid memory for as long as it is attached.
std::mutex g_segmentMutex;
Segment g_segment;

int ShmGet(key_t key, std::size_t size, int flags, int& id)
{
    if (const int err = seam::InjectedError(seam::Op::Shm)) return err;
    id = ::shmget(key, size, flags);
    return id < 0 ? errno : 0;
}

int ShmStat(int id, shmid_ds& ds)
{
    if (const int err = seam::InjectedError(seam::Op::Shm)) return err;
    return ::shmctl(id, IPC_STAT, &ds) == 0 ? 0 : errno;
}

// Creates the segment of `object` with the object's group and mode.
int CreateSegment(int objectFd, const struct stat& object, key_t key)
{
    // One creator at a time; the others wait in AttachSegment.
    if (platform::sys::TryLockRange(objectFd, F_WRLCK, kSegmentSetupByte, 1) != 0) return EAGAIN;
    int id = -1;
    int err = ShmGet(key, kSharedSectionSize, IPC_CREAT | IPC_EXCL | 0600, id);
    if (err == 0) {
        shmid_ds ds {};
        err = ShmStat(id, ds);
        if (err == 0) {
            ds.shm_perm.gid = object.st_gid;
            ds.shm_perm.mode = static_cast<unsigned short>(object.st_mode & 0666);
            if (::shmctl(id, IPC_SET, &ds) != 0) err = errno;
        }
        if (err != 0) ::shmctl(id, IPC_RMID, nullptr);
    }
    platform::sys::TryLockRange(objectFd, F_UNLCK, kSegmentSetupByte, 1);
    return err;
}

// True while another process creates the segment (it holds the set-up byte).
bool SegmentBeingSetUp(int objectFd)
{
    if (platform::sys::TryLockRange(objectFd, F_RDLCK, kSegmentSetupByte, 1) != 0) return true;
    platform::sys::TryLockRange(objectFd, F_UNLCK, kSegmentSetupByte, 1);
    return false;
}

CounterProblem AttachSegment(int objectFd, const struct stat& object, Segment& out)
{
    const key_t key = SegmentKey(object);
    // A look at the segment taken while its creator was still setting it up
    // can be followed by a look at the set-up lock just after the creator
    // let it go: before taking the segment for a foreign one, look once
    // more at the segment itself.
    bool lookedAgain = false;
    const auto lookAgain = [&] {
        if (lookedAgain) return false;
        lookedAgain = true;
        return true;
    };
    for (int attempt = 0; attempt < kAttempts * 4; ++attempt) {
        const bool lastTry = attempt + 1 == kAttempts * 4;
        int id = -1;
        int err = ShmGet(key, kSharedSectionSize, 0, id);
        if (err == ENOENT) {
            err = CreateSegment(objectFd, object, key);
            if (err == 0 || err == EEXIST || err == EAGAIN) {
                if (err == EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
        }
        if (err == EACCES || err == EINVAL) {
            if (!lastTry && SegmentBeingSetUp(objectFd)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (!lastTry && lookAgain()) continue;
            return Wrong(SegmentText(key) + ForeignSegmentOwner(key) +
                         (err == EACCES ? " does not let this process (" + WhoAmI() + ") use it"
                                        : " is smaller than the counter needs") +
                         "; it was created by another program or user");
        }
        if (err != 0) return Problem(err, "cannot open the " + SegmentText(key) + ": " + std::strerror(err));

        shmid_ds ds {};
        err = ShmStat(id, ds);
        if (err == EIDRM || err == EINVAL) continue;  // removed in between
        if (err != 0) return Problem(err, "cannot inspect the " + SegmentText(key) + ": " + std::strerror(err));
        if (ds.shm_segsz < kSharedSectionSize || (ds.shm_perm.mode & 0777) != (object.st_mode & 0666) ||
            ds.shm_perm.gid != object.st_gid) {
            if (!lastTry && SegmentBeingSetUp(objectFd)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (!lastTry && lookAgain()) continue;
            return Wrong(SegmentText(key) + " (" + Owner(ds.shm_perm.uid, ds.shm_perm.gid, ds.shm_perm.mode) +
                         ", size " + std::to_string(ds.shm_segsz) + ") does not match " + ObjectText() + " (" +
                         Owner(object.st_uid, object.st_gid, object.st_mode) + ")");
        }
        void* p = nullptr;
        if ((err = seam::InjectedError(seam::Op::Shm)) == 0) {
            p = ::shmat(id, nullptr, 0);
            if (p == MAP_FAILED) err = errno;  // shmat fails with (void*)-1, as mmap does
        }
        if (err == EIDRM || err == EINVAL) continue;
        if (err != 0) return Problem(err, "cannot map the " + SegmentText(key) + ": " + std::strerror(err));
        out = Segment{true, object.st_dev, object.st_ino, key, id, static_cast<CounterWord*>(p)};
        return {};
    }
    return Problem(EAGAIN, "the " + SegmentText(key) + " keeps changing");
}

// The counter word of `object`: the attached segment while the key still
// leads to it, else a fresh attachment.
CounterWord* WordFor(int objectFd, const struct stat& object, CounterProblem& problem)
{
    Segment known;
    {
        const std::lock_guard<std::mutex> lock(g_segmentMutex);
        known = g_segment;
    }
    if (known.valid && known.dev == object.st_dev && known.ino == object.st_ino) {
        int id = -1;
        if (ShmGet(known.key, 0, 0, id) == 0 && id == known.id) return known.word;
    }
    Segment fresh;
    problem = AttachSegment(objectFd, object, fresh);
    if (problem.state != CounterState::Usable) return nullptr;
    const std::lock_guard<std::mutex> lock(g_segmentMutex);
    if (g_segment.valid && (g_segment.dev != object.st_dev || g_segment.ino != object.st_ino)) {
        // The old object is gone, so nobody will look its segment up again:
        // let it go once the last process still attached leaves it (only
        // its creator may; best effort).
        ::shmctl(g_segment.id, IPC_RMID, nullptr);
    }
    g_segment = fresh;
    return fresh.word;
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

}  // namespace

void UseSharedCounterName(std::string name)
{
    CounterName() = std::move(name);
}

std::string SharedCounterPath()
{
    return kShmDir + CounterName();
}

CounterWord* ShmHolderLock::Bind(CounterProblem& problem)
{
    problem = {};
    Release();
    const pid_t pid = ::getpid();
    struct stat named {};
    const int named_err = platform::sys::Lstat(SharedCounterPath().c_str(), named);
    struct stat st {};
    if (!t_kept.inUse) {
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
    CounterWord* word = WordFor(m_fd, st, problem);
    if (word == nullptr) Release();
    return word;
}

bool ShmHolderLock::TryShared()
{
    return m_fd >= 0 && platform::sys::TryLockRange(m_fd, F_RDLCK, kHolderByte, 1) == 0;
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

void ShmHolderLock::Release()
{
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
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    const int id = ::shmget(SegmentKey(st), 0, 0);
    if (id >= 0) ::shmctl(id, IPC_RMID, nullptr);
    ::unlink(path.c_str());
}

int SharedCounterKey()
{
    struct stat st {};
    if (::lstat(SharedCounterPath().c_str(), &st) != 0) return -1;
    return SegmentKey(st);
}

ReaderShare::ReaderShare()
{
    m_word = m_lock.Bind(t_lastProblem);
    m_in = m_word != nullptr && EnterReader(*m_word, m_lock);
}

ReaderShare::~ReaderShare()
{
    if (m_in) LeaveReader(*m_word, m_lock);
}

WriterShare::WriterShare()
{
    m_word = m_lock.Bind(t_lastProblem);
    m_in = m_word != nullptr && EnterWriter(*m_word, m_lock);
}

WriterShare::~WriterShare()
{
    if (m_in) LeaveWriter(*m_word, m_lock);
}

}  // namespace qorvane::sync

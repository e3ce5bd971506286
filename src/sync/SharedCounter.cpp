#include "sync/SharedCounter.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Seam.h"

namespace qorvane::sync {
namespace {

static_assert(CounterWord::is_always_lock_free, "the counter must be lock-free to be shared");

std::string& CounterName()
{
    static std::string name = kSharedCounterName;
    return name;
}

int ShmOpen(int flags, mode_t mode, platform::UniqueFd& out)
{
    if (const int err = seam::InjectedError(seam::Op::ShmOpen)) return err;
    const int fd = ::shm_open(CounterName().c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return errno;
    out.Reset(fd);
    return 0;
}

// Opens the object, creating it on first use. Open-first: with
// fs.protected_regular set, O_CREAT on an object that another user created
// fails even where a plain open succeeds. The creator sets mode 0666
// explicitly, since the umask would keep other users out.
int OpenOrCreate(platform::UniqueFd& fd)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        int err = ShmOpen(O_RDWR, 0, fd);
        if (err == ENOENT) {
            err = ShmOpen(O_RDWR | O_CREAT | O_EXCL, 0666, fd);
            if (err == EEXIST) continue;  // another process created it meanwhile
            if (err == 0) ::fchmod(fd.Get(), 0666);
        }
        if (err == EACCES) {  // its creator has not yet opened it up
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        return err;
    }
    return EACCES;
}

CounterWord* MapCounter()
{
    platform::UniqueFd fd;
    if (const int err = OpenOrCreate(fd)) {
        throw std::system_error(err, std::generic_category(), "open shared access counter");
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "stat shared access counter");
    }
    // Two creators may both grow it; growing only, and to the same size,
    // keeps the zeroed word either way.
    if (st.st_size < static_cast<off_t>(kSharedSectionSize) &&
        ::ftruncate(fd.Get(), static_cast<off_t>(kSharedSectionSize)) != 0) {
        throw std::system_error(errno, std::generic_category(), "size shared access counter");
    }
    void* p = ::mmap(nullptr, kSharedSectionSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
    if (p == MAP_FAILED) {
        throw std::system_error(errno, std::generic_category(), "map shared access counter");
    }
    // The mapping stays for the life of the process, like a shared section.
    return static_cast<CounterWord*>(p);
}

}  // namespace

void UseSharedCounterName(std::string name)
{
    CounterName() = std::move(name);
}

CounterWord& SharedCounterWord()
{
    static CounterWord* word = MapCounter();
    return *word;
}

namespace {

constexpr off_t kHolderByte = 0;
constexpr off_t kWriterSlotByte = 1;

// The descriptor each thread keeps for its holder locks.
struct KeptDescriptor {
    platform::UniqueFd fd;
    pid_t owner = 0;
    bool inUse = false;
};
thread_local KeptDescriptor t_kept;

}  // namespace

bool ShmHolderLock::Acquire()
{
    if (m_fd >= 0) return true;
    if (!t_kept.inUse) {
        const pid_t pid = ::getpid();
        if (t_kept.fd.Valid() && t_kept.owner != pid) t_kept.fd.Reset();  // a copy from before a fork()
        if (!t_kept.fd.Valid()) {
            if (ShmOpen(O_RDWR, 0, t_kept.fd) != 0) return false;
            t_kept.owner = pid;
        }
        t_kept.inUse = true;
        m_cached = true;
        m_fd = t_kept.fd.Get();
        return true;
    }
    // The thread's descriptor is busy (two shares at once in one thread).
    if (ShmOpen(O_RDWR, 0, m_own) != 0) return false;
    m_fd = m_own.Get();
    return true;
}

bool ShmHolderLock::TryShared()
{
    // An open failure (descriptor limit, say) counts as not admitted.
    return Acquire() && platform::sys::TryLockRange(m_fd, F_RDLCK, kHolderByte, 1) == 0;
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
        // then, which drops it for sure.
        if (platform::sys::TryLockRange(m_fd, F_UNLCK, 0, 0) != 0) t_kept.fd.Reset();
        t_kept.inUse = false;
        m_cached = false;
    } else {
        m_own.Reset();  // closing the description drops its locks
    }
    m_fd = -1;
}

namespace {

// The mapped word, or null when it cannot be mapped now. The failed static
// initialisation in SharedCounterWord() is retried by its next call.
CounterWord* TrySharedCounterWord()
{
    try {
        return &SharedCounterWord();
    } catch (const std::system_error&) {
        return nullptr;
    }
}

}  // namespace

ReaderShare::ReaderShare()
    : m_word(TrySharedCounterWord()), m_in(m_word != nullptr && EnterReader(*m_word, m_lock))
{
}

ReaderShare::~ReaderShare()
{
    if (m_in) LeaveReader(*m_word, m_lock);
}

WriterShare::WriterShare()
    : m_word(TrySharedCounterWord()), m_in(m_word != nullptr && EnterWriter(*m_word, m_lock))
{
}

WriterShare::~WriterShare()
{
    if (m_in) LeaveWriter(*m_word, m_lock);
}

}  // namespace qorvane::sync

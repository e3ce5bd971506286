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

bool ShmHolderLock::TryShared()
{
    if (!m_fd.Valid()) {
        // If the object cannot be opened at all, SharedCounterWord() already
        // failed loudly; an open failure here (descriptor limit, say) counts
        // as not admitted.
        if (ShmOpen(O_RDWR, 0, m_fd) != 0) return false;
    }
    return platform::sys::TryLock(m_fd.Get(), F_RDLCK) == 0;
}

bool ShmHolderLock::TryExclusive()
{
    return m_fd.Valid() && platform::sys::TryLock(m_fd.Get(), F_WRLCK) == 0;
}

void ShmHolderLock::Downgrade()
{
    // Turning an OFD write lock into a read lock is atomic: nobody can slip
    // in between.
    platform::sys::TryLock(m_fd.Get(), F_RDLCK);
}

void ShmHolderLock::Release()
{
    m_fd.Reset();  // closing the description drops its lock
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

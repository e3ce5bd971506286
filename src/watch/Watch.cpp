#include "qorvane/Watch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/Posix.h"
#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "watch/KeyRead.h"

namespace {

using qorvane::platform::UniqueFd;

constexpr const char* kSettingsFileName = "QorRunningSet.Inf";

// How long a failed read waits before the next try.
constexpr long kRetryMs = 50;
// A file whose time stamps are this recent may change again without its
// status showing it (time stamps are coarse: a same-size rewrite in the
// same tick looks the same), so the status check reads it anyway.
constexpr long kRacySeconds = 2;

// Events on the directory that may mean the settings file changed: it was
// written and closed, renamed into place or away, created, deleted, or its
// permissions changed. Events on the directory itself end or move the watch.
constexpr std::uint32_t kDirMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                   IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// File systems whose inotify events show only the changes made through this
// machine's kernel: changes made on another client or server go unseen.
const char* RemoteFileSystem(long type) noexcept
{
    switch (static_cast<unsigned long>(type)) {
    case 0x6969: return "NFS";
    case 0x517B: return "SMB";
    case 0xFF534D42: return "CIFS";
    case 0xFE534D42: return "SMB2";
    case 0x65735546: return "FUSE";
    case 0x00C36400: return "Ceph";
    case 0x01021997: return "9P";
    case 0x5346414F:
    case 0x6B414653: return "AFS";
    case 0x73757245: return "Coda";
    case 0x01161970: return "GFS2";
    case 0x7461636F: return "OCFS2";
    default: return nullptr;
    }
}

std::string InotifyReason(int err)
{
    switch (err) {
    case ENOSPC: return "no inotify watches are left (fs.inotify.max_user_watches)";
    case EMFILE: return "no inotify instances are left (fs.inotify.max_user_instances)";
    case EACCES: return "the directory cannot be read, which inotify needs";
    default: return std::string("inotify cannot be used: ") + std::strerror(err);
    }
}

// What the status check compares.
struct FileStatus {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    bool operator==(const FileStatus& o) const noexcept
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
    bool operator!=(const FileStatus& o) const noexcept { return !(*this == o); }
};

FileStatus StatusOf(const std::string& path)
{
    FileStatus s;
    struct stat st {};
    if (qorvane::platform::sys::Stat(path.c_str(), st) != 0) return s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

// True when the file's time stamps are so close to `than` that a later
// change in the same tick could leave them as they are.
bool IsRacyAgainst(const FileStatus& s, const timespec& than) noexcept
{
    if (!s.exists) return false;
    const auto recent = [&](const timespec& t) {
        const long long ns = (static_cast<long long>(than.tv_sec) - t.tv_sec) * 1000000000LL + (than.tv_nsec - t.tv_nsec);
        return ns <= kRacySeconds * 1000000000LL;
    };
    return recent(s.mtime) || recent(s.ctime);
}

bool IsRacy(const FileStatus& s) noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return IsRacyAgainst(s, now);
}

void SplitPath(const std::string& path, std::string& dir, std::string& name)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        name = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

}  // namespace

struct CQorvaneWatch::Impl {
    std::string dir;   // the settings directory, as watched and checked
    std::string path;  // the settings file's path, as OpenKey builds it
    std::string key;
    dev_t dirDev = 0;
    ino_t dirIno = 0;

    UniqueFd epoll;    // what the caller polls: holds the two below
    UniqueFd inotify;  // invalid when inotify cannot be used
    UniqueFd timer;    // the status check's interval, or a retry's pause
    int dirWd = -1;
    // The file a symbolic link at the settings name points to, when it is
    // not the settings name itself: its directory is watched too.
    int targetWd = -1;
    std::string targetDir;
    std::string targetName;

    bool polling = false;
    std::string pollingReason;
    bool ended = false;
    bool retryPending = false;
    bool readOwed = false;  // a read was cut short by an exception
    FileStatus lastStatus;
    // The file's status just before the last read, and when that was: a
    // close of a descriptor opened for writing that left both alone (every
    // OpenKey opens the file read-write) needs no read.
    FileStatus readStatus;
    timespec readTime{};

    qorvane::watch::KeyState state;
    int readError = 0;

    int Start();
    int Check();
    // Reads the key; true if the items differ from the ones reported.
    bool ReadAndCompare();
    void FollowLinkTarget(const std::string& resolved);
    bool DirectoryStillThere() const;
    void ArmTimer(long firstMs, long intervalMs);
    bool AddToEpoll(int fd);
};

bool CQorvaneWatch::Impl::AddToEpoll(int fd)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return ::epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void CQorvaneWatch::Impl::ArmTimer(long firstMs, long intervalMs)
{
    itimerspec timing{};
    timing.it_value.tv_sec = firstMs / 1000;
    timing.it_value.tv_nsec = (firstMs % 1000) * 1000000;
    timing.it_interval.tv_sec = intervalMs / 1000;
    timing.it_interval.tv_nsec = (intervalMs % 1000) * 1000000;
    ::timerfd_settime(timer.Get(), 0, &timing, nullptr);
}

bool CQorvaneWatch::Impl::DirectoryStillThere() const
{
    struct stat st {};
    if (qorvane::platform::sys::Stat(dir.c_str(), st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_dev == dirDev && st.st_ino == dirIno;
}

int CQorvaneWatch::Impl::Start()
{
    using qorvane::platform::sys::Stat;
    struct stat st {};
    if (Stat(dir.c_str(), st) != 0 || !S_ISDIR(st.st_mode) || ::access(dir.c_str(), X_OK) != 0) return -4;
    dirDev = st.st_dev;
    dirIno = st.st_ino;

    epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
    timer.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!epoll.Valid() || !timer.Valid() || !AddToEpoll(timer.Get())) return -4;

    int err = qorvane::seam::InjectedError(qorvane::seam::Op::Inotify);
    if (err == 0) {
        inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify.Valid()) err = errno;
    }
    if (err == 0) err = qorvane::seam::InjectedError(qorvane::seam::Op::Inotify);
    if (err == 0) {
        dirWd = ::inotify_add_watch(inotify.Get(), dir.c_str(), kDirMask);
        if (dirWd < 0) err = errno;
    }
    if (err == ENOENT || err == ENOTDIR) return -4;
    if (err == 0 && !AddToEpoll(inotify.Get())) return -4;
    if (err != 0) {
        inotify.Reset();
        dirWd = -1;
        polling = true;
        pollingReason = InotifyReason(err);
    } else {
        struct statfs fs {};
        const char* remote = ::statfs(dir.c_str(), &fs) == 0 ? RemoteFileSystem(fs.f_type) : nullptr;
        if (remote != nullptr) {
            // Events still show this machine's changes at once; the status
            // check finds the others.
            polling = true;
            pollingReason = std::string("the directory is on a ") + remote +
                            " file system, whose events do not show changes made elsewhere";
        }
    }

    lastStatus = StatusOf(path);
    ReadAndCompare();
    if (polling) ArmTimer(kPollIntervalMs, kPollIntervalMs);
    return polling ? 2 : 1;
}

void CQorvaneWatch::Impl::FollowLinkTarget(const std::string& resolved)
{
    if (!inotify.Valid()) return;
    std::string newDir;
    std::string newName;
    if (resolved != path) SplitPath(resolved, newDir, newName);
    if (newDir == targetDir && newName == targetName) return;
    if (targetWd >= 0 && targetWd != dirWd) ::inotify_rm_watch(inotify.Get(), targetWd);
    targetWd = -1;
    targetDir = newDir;
    targetName = newName;
    if (newName.empty()) return;
    // The same mask as the settings directory's: adding a watch on a
    // directory already watched replaces its mask. The target's directory
    // going away only means that the link now dangles.
    targetWd = ::inotify_add_watch(inotify.Get(), newDir.c_str(), kDirMask);
    if (targetWd < 0 && errno != ENOENT && !polling) {
        // Without a watch on the target's directory its changes would go
        // unseen: check the status instead, and say so.
        polling = true;
        pollingReason = "the directory of the link target " + newDir + " cannot be watched: " + InotifyReason(errno);
        ArmTimer(kPollIntervalMs, kPollIntervalMs);
        lastStatus = StatusOf(path);
    }
}

bool CQorvaneWatch::Impl::ReadAndCompare()
{
    qorvane::watch::KeyState now;
    std::string resolved;
    readStatus = StatusOf(path);
    ::clock_gettime(CLOCK_REALTIME, &readTime);
    readOwed = true;
    const int err = qorvane::watch::ReadKey(path, key, now, resolved);
    readOwed = false;
    if (!resolved.empty()) FollowLinkTarget(resolved);
    readError = err;
    if (err != 0) {
        if (qorvane::watch::IsPassingReadError(err)) {
            retryPending = true;
            if (!polling) ArmTimer(kRetryMs, 0);
        }
        return false;
    }
    retryPending = false;
    const bool changed = !qorvane::watch::SameItems(now.items, state.items);
    state = std::move(now);
    return changed;
}

int CQorvaneWatch::Impl::Check()
{
    if (ended) return -4;
    bool look = false;
    bool closedOnly = false;  // only closes after writing: look if the status moved
    bool dirEvent = false;

    if (inotify.Valid()) {
        alignas(inotify_event) char buf[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(inotify.Get(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
                if ((ev->mask & IN_Q_OVERFLOW) != 0) {
                    look = true;  // events were lost: anything may have changed
                    continue;
                }
                const char* name = ev->len > 0 ? ev->name : "";
                if (ev->wd == dirWd && (ev->mask & kSelfGone) != 0) dirEvent = true;
                if ((ev->wd == dirWd && std::strcmp(name, kSettingsFileName) == 0) ||
                    (ev->wd == targetWd && !targetName.empty() && targetName == name)) {
                    if ((ev->mask & ~static_cast<std::uint32_t>(IN_CLOSE_WRITE)) != 0) {
                        look = true;
                    } else {
                        closedOnly = true;
                    }
                }
                if (ev->wd == targetWd && targetWd != dirWd && (ev->mask & IN_IGNORED) != 0) {
                    targetWd = -1;  // followed again at the next read
                    targetDir.clear();
                    targetName.clear();
                    look = true;
                }
            }
        }
    }

    std::uint64_t ticks = 0;
    bool timerFired = false;
    while (::read(timer.Get(), &ticks, sizeof ticks) == static_cast<ssize_t>(sizeof ticks)) timerFired = true;

    if (dirEvent || (polling && timerFired)) {
        if (!DirectoryStillThere()) {
            // Nothing more will come: the descriptor stays, but nothing
            // makes it readable again.
            ended = true;
            inotify.Reset();
            dirWd = -1;
            targetWd = -1;
            ArmTimer(0, 0);
            return -4;
        }
        if (dirEvent) {
            // Still the same directory (moved away and back, say): make
            // sure it is still watched; a live watch keeps its number.
            dirWd = ::inotify_add_watch(inotify.Get(), dir.c_str(), kDirMask);
            if (dirWd < 0 && !polling) {
                polling = true;
                pollingReason = InotifyReason(errno);
                ArmTimer(kPollIntervalMs, kPollIntervalMs);
            }
            look = true;
        }
    }
    if (polling && timerFired) {
        const FileStatus now = StatusOf(path);
        if (now != lastStatus || IsRacy(now)) look = true;
    }
    if ((timerFired && retryPending) || readOwed) look = true;
    if (!look && closedOnly) {
        const FileStatus now = StatusOf(path);
        look = now != readStatus || IsRacyAgainst(readStatus, readTime);
    }
    if (!look) return 0;
    if (polling) lastStatus = StatusOf(path);
    return ReadAndCompare() ? 1 : 0;
}

CQorvaneWatch::CQorvaneWatch() = default;

CQorvaneWatch::~CQorvaneWatch() = default;

int CQorvaneWatch::Start(const char* dir, const char* keyName)
{
    if (m_impl) return -1;
    if (keyName == nullptr || std::strpbrk(keyName, "\r\n\x1a") != nullptr) return -2;
    if (CQorvane::Keys_Name2ID(keyName) == 0) return -2;

    auto impl = std::make_unique<Impl>();
    // The directory and the file's path exactly as OpenKey builds them.
    CQorvane store;
    store.SetInfPath(dir);
    impl->path = store.GetInfPath().str() + kSettingsFileName;
    impl->dir = store.GetInfPath().IsEmpty() ? std::string(".") : store.GetInfPath().str();
    impl->key = keyName;
    const int rc = impl->Start();
    if (rc > 0) m_impl = std::move(impl);
    return rc;
}

void CQorvaneWatch::Stop() noexcept
{
    m_impl.reset();
}

int CQorvaneWatch::GetFd() const noexcept
{
    return m_impl ? m_impl->epoll.Get() : -1;
}

int CQorvaneWatch::Check()
{
    return m_impl ? m_impl->Check() : -1;
}

int CQorvaneWatch::Wait(int timeoutMs)
{
    if (!m_impl) return -1;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const int rc = m_impl->Check();
        if (rc != 0) return rc;
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return 0;
            wait = static_cast<int>(left);
        }
        pollfd p{m_impl->epoll.Get(), POLLIN, 0};
        const int n = ::poll(&p, 1, wait);
        if (n < 0 && errno != EINTR) return -4;
    }
}

int CQorvaneWatch::GetItemCount() const noexcept
{
    return m_impl ? static_cast<int>(m_impl->state.items.size()) : 0;
}

int CQorvaneWatch::GetItemAt(int index, CString& name, CString& value) const
{
    if (index < 0 || index >= GetItemCount()) return 0;
    const KeyItem& item = m_impl->state.items[static_cast<std::size_t>(index)];
    name = item.strName;
    value = item.strValue;
    return 1;
}

bool CQorvaneWatch::HasSection() const noexcept
{
    return m_impl && m_impl->state.hasSection;
}

bool CQorvaneWatch::IsPolling() const noexcept
{
    return m_impl && m_impl->polling;
}

CString CQorvaneWatch::GetPollingReason() const
{
    return m_impl ? CString(m_impl->pollingReason) : CString();
}

int CQorvaneWatch::GetReadError() const noexcept
{
    return m_impl ? m_impl->readError : 0;
}

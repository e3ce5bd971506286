#include "qorvane/Watch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "platform/Posix.h"
#include "platform/Seam.h"
#include "platform/SettingsFile.h"
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

// Events on a directory that holds the settings file or a link on the way
// to it, that may mean the file changed: it was written and closed, renamed
// into place or away, created, deleted, or its permissions changed.
constexpr std::uint32_t kDirMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE |
                                   IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Events on a directory on the path to one of those: a name on the path was
// made, removed or renamed. Writes there do not matter and wake nobody.
constexpr std::uint32_t kPathMask =
    IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A watched directory went away, moved or stopped being watched: every path
// through it may name something else now.
constexpr std::uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// Links followed on the way to one directory, as the kernel allows.
constexpr int kMaxPathLinks = 40;

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

// Directory paths with every link resolved: "/" and "/a/b", or relative to
// the working directory ("" is it, ".." its parent).
std::string Join(const std::string& real, const std::string& name)
{
    if (real.empty()) return name;
    return real == "/" ? "/" + name : real + "/" + name;
}

// The parent of a path without links is its lexical parent.
std::string ParentOf(const std::string& real)
{
    if (real == "/") return real;
    if (real.empty()) return "..";
    const std::size_t slash = real.rfind('/');
    if (real.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "..") == 0) return real + "/..";
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : real.substr(0, slash);
}

std::deque<std::string> Components(const std::string& path)
{
    std::deque<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        const std::size_t slash = std::min(path.find('/', at), path.size());
        if (slash > at) parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
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

    // What the file's path passes through, each watched: the settings path
    // and each link's target on the way to the file ("hops"), and every
    // name looked up to reach the directory of each of them, links in it
    // followed. A change of a hop's name may change the file; a change of
    // a name on a path may change what the path names.
    struct WatchedDir {
        int wd;
        std::vector<std::string> hopNames;
        std::vector<std::string> pathNames;
    };
    std::vector<WatchedDir> watched;
    std::vector<std::string> hops;  // as found when the watches were set

    bool polling = false;
    std::string pollingReason;
    bool ended = false;
    bool retryPending = false;
    bool readOwed = false;     // a read was cut short by an exception
    bool rewatchOwed = false;  // so was setting the watches
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
    // Resolves the settings path again and watches everything it passes
    // through; false if the path no longer names the directory Start found.
    bool WatchPath();
    void WatchHop(const std::string& hop);
    bool WatchDirectoryPath(const std::string& path, std::string& real);
    void WatchName(const std::string& dirPath, const std::string& name, bool hop);
    bool HopsChanged() const;
    int End();
    void StartPolling(const std::string& reason);
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
    if (err == 0 && ::inotify_add_watch(inotify.Get(), dir.c_str(), kDirMask) < 0) err = errno;
    if (err == ENOENT || err == ENOTDIR) return -4;
    if (err == 0 && !AddToEpoll(inotify.Get())) return -4;
    if (err != 0) {
        inotify.Reset();
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

    if (inotify.Valid() && !WatchPath()) return -4;
    lastStatus = StatusOf(path);
    ReadAndCompare();
    if (polling) ArmTimer(kPollIntervalMs, kPollIntervalMs);
    return polling ? 2 : 1;
}

void CQorvaneWatch::Impl::StartPolling(const std::string& reason)
{
    if (polling) return;
    polling = true;
    pollingReason = reason;
    ArmTimer(kPollIntervalMs, kPollIntervalMs);
    lastStatus = StatusOf(path);
}

void CQorvaneWatch::Impl::WatchName(const std::string& dirPath, const std::string& name, bool hop)
{
    // Masks only grow (IN_MASK_ADD): a directory that holds a hop and is on
    // another path keeps the wider mask. A directory that is gone is no
    // loss: the watch on its parent sees it come back.
    int err = qorvane::seam::InjectedError(qorvane::seam::Op::Inotify);
    int wd = -1;
    if (err == 0) {
        wd = ::inotify_add_watch(inotify.Get(), dirPath.c_str(), (hop ? kDirMask : kPathMask) | IN_MASK_ADD);
        if (wd < 0) err = errno;
    }
    if (err != 0) {
        // Without the watch a change there would go unseen: check the
        // status instead, and say so.
        if (err != ENOENT && err != ENOTDIR) {
            StartPolling("the directory " + dirPath + " cannot be watched: " + InotifyReason(err));
        }
        return;
    }
    auto it = std::find_if(watched.begin(), watched.end(), [&](const WatchedDir& w) { return w.wd == wd; });
    if (it == watched.end()) it = watched.insert(watched.end(), WatchedDir{wd, {}, {}});
    std::vector<std::string>& names = hop ? it->hopNames : it->pathNames;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

bool CQorvaneWatch::Impl::WatchDirectoryPath(const std::string& path, std::string& real)
{
    // One name at a time, as the kernel resolves it: each directory is
    // watched before a name is looked up in it, so that a change after the
    // look is an event. A missing name ends the walk; the watch on the
    // directory that would hold it sees it come.
    std::deque<std::string> left = Components(path);
    real = !path.empty() && path.front() == '/' ? "/" : "";
    int links = 0;
    while (!left.empty()) {
        const std::string name = std::move(left.front());
        left.pop_front();
        if (name == ".") continue;
        if (name == "..") {
            real = ParentOf(real);
            continue;
        }
        WatchName(real.empty() ? "." : real, name, false);
        const std::string next = Join(real, name);
        struct stat st {};
        if (qorvane::platform::sys::Lstat(next.c_str(), st) != 0) return false;
        if (S_ISLNK(st.st_mode)) {
            std::string target;
            if (++links > kMaxPathLinks || qorvane::platform::sys::Readlink(next.c_str(), target) != 0 ||
                target.empty()) {
                return false;
            }
            const std::deque<std::string> parts = Components(target);
            left.insert(left.begin(), parts.begin(), parts.end());
            if (target.front() == '/') real = "/";
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return false;
        real = next;
    }
    return true;
}

void CQorvaneWatch::Impl::WatchHop(const std::string& hop)
{
    hops.push_back(hop);
    std::string hopDir;
    std::string name;
    SplitPath(hop, hopDir, name);
    std::string real;
    if (WatchDirectoryPath(hopDir, real)) WatchName(real.empty() ? "." : real, name, true);
}

bool CQorvaneWatch::Impl::WatchPath()
{
    rewatchOwed = true;
    std::vector<WatchedDir> before = std::move(watched);
    watched.clear();
    hops.clear();
    // The library's own link resolution decides which links are followed;
    // each place it looks at is watched before it looks.
    std::string resolved;
    qorvane::platform::ResolveLinks(path, resolved, [this](const std::string& hop) { WatchHop(hop); });
    for (const WatchedDir& old : before) {
        const auto same = [&](const WatchedDir& w) { return w.wd == old.wd; };
        if (std::none_of(watched.begin(), watched.end(), same)) ::inotify_rm_watch(inotify.Get(), old.wd);
    }
    rewatchOwed = false;
    return DirectoryStillThere();
}

bool CQorvaneWatch::Impl::HopsChanged() const
{
    std::vector<std::string> now;
    std::string resolved;
    qorvane::platform::ResolveLinks(path, resolved, [&now](const std::string& hop) { now.push_back(hop); });
    return now != hops;
}

int CQorvaneWatch::Impl::End()
{
    // Nothing more will come: the descriptor stays, but nothing makes it
    // readable again.
    ended = true;
    inotify.Reset();
    watched.clear();
    ArmTimer(0, 0);
    return -4;
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
    bool pathMoved = false;   // a name on a path or a watched directory changed
    bool hopMoved = false;    // a name of the settings path or of a link on the way changed

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
                    pathMoved = true;  // events were lost: anything may have changed
                    continue;
                }
                // Events of a watch given up since are stale.
                const auto w =
                    std::find_if(watched.begin(), watched.end(), [&](const WatchedDir& d) { return d.wd == ev->wd; });
                if (w == watched.end()) continue;
                if ((ev->mask & kSelfGone) != 0) pathMoved = true;
                if (ev->len == 0) continue;
                const std::string_view name(ev->name);
                if (std::find(w->pathNames.begin(), w->pathNames.end(), name) != w->pathNames.end()) pathMoved = true;
                if (std::find(w->hopNames.begin(), w->hopNames.end(), name) != w->hopNames.end()) {
                    if ((ev->mask & ~static_cast<std::uint32_t>(IN_CLOSE_WRITE)) != 0) {
                        hopMoved = true;
                    } else {
                        closedOnly = true;
                    }
                }
            }
        }
    }

    std::uint64_t ticks = 0;
    bool timerFired = false;
    while (::read(timer.Get(), &ticks, sizeof ticks) == static_cast<ssize_t>(sizeof ticks)) timerFired = true;

    if (pathMoved || rewatchOwed) {
        // Resolve everything again: the directory may be another one now
        // (the watch ends), a link may lead elsewhere, and a directory that
        // was missing may be back.
        if (!WatchPath()) return End();
        look = true;
    } else if (hopMoved) {
        // Most often the file was replaced; only a changed chain of links
        // needs the watches set again.
        if (HopsChanged() && !WatchPath()) return End();
        look = true;
    }
    if (polling && timerFired) {
        if (!DirectoryStillThere()) return End();
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

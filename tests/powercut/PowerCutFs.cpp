#define FUSE_USE_VERSION 35
#include "PowerCutFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "DurabilityLog.h"

namespace qorvane::powercut {
namespace {

// --- The daemon: runs in a child process of its own; state is global there.

struct Daemon {
    int rootFd = -1;
    int logFd = -1;
    bool offerTmpfile = false;
    std::map<std::uint64_t, int> nodes;  // id -> O_PATH (or O_TMPFILE) descriptor of the backing file
    std::map<std::pair<dev_t, ino_t>, std::uint64_t> ids;
    std::uint64_t nextId = FUSE_ROOT_ID + 1;
};
Daemon g;
char g_mountPoint[4096];

void Log(Record record)
{
    const std::string bytes = Encode(record);
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(g.logFd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(70);  // a record lost would make every answer after it a lie
        at += static_cast<std::size_t>(n);
    }
}

std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The id of the backing file `st` describes; `pathFd` (owned) becomes its
// descriptor when it is new, else is closed.
std::uint64_t Register(const struct stat& st, int pathFd)
{
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    const auto found = g.ids.find(key);
    if (found != g.ids.end()) {
        ::close(pathFd);
        return found->second;
    }
    const std::uint64_t id = g.nextId++;
    g.ids.emplace(key, id);
    g.nodes.emplace(id, pathFd);
    return id;
}

// The id of the entry `name` of the root; 0 with errno set if none.
std::uint64_t IdOfName(const char* name, struct stat& st)
{
    if (::fstatat(g.rootFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    const int fd = ::openat(g.rootFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::uint64_t id = Register(st, fd);
    st.st_ino = id;
    return id;
}

int NodeFd(fuse_ino_t ino) { return ino == FUSE_ROOT_ID ? g.rootFd : g.nodes.count(ino) ? g.nodes[ino] : -1; }

bool StatNode(fuse_ino_t ino, struct stat& st)
{
    const int fd = NodeFd(ino);
    if (fd < 0 || ::fstatat(fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return false;
    st.st_ino = ino;
    return true;
}

fuse_entry_param Entry(std::uint64_t id, const struct stat& st)
{
    fuse_entry_param e{};
    e.ino = id;
    e.attr = st;  // timeouts 0: the kernel asks again every time
    return e;
}

void OnInit(void*, fuse_conn_info* conn)
{
    conn->want &= ~(FUSE_CAP_WRITEBACK_CACHE | FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE |
                    FUSE_CAP_READDIRPLUS | FUSE_CAP_ASYNC_READ);
}

void OnLookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    if (std::strncmp(name, kMarkPrefix, std::strlen(kMarkPrefix)) == 0) {
        Log({Kind::Marker, 0, 0, name, {}, {}});
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st {};
    const std::uint64_t id = parent == FUSE_ROOT_ID ? IdOfName(name, st) : 0;
    if (id == 0) {
        fuse_reply_err(req, parent == FUSE_ROOT_ID ? errno : ENOENT);
        return;
    }
    const fuse_entry_param e = Entry(id, st);
    fuse_reply_entry(req, &e);
}

void OnGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
{
    struct stat st {};
    if (!StatNode(ino, st)) {
        fuse_reply_err(req, errno != 0 ? errno : ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, 0);
}

void OnSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi)
{
    const int fd = NodeFd(ino);
    const std::string path = ProcPath(fd);
    int rc = 0;
    if ((toSet & FUSE_SET_ATTR_MODE) != 0) rc = ::chmod(path.c_str(), attr->st_mode & 07777);
    if (rc == 0 && (toSet & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
        rc = ::fchownat(fd, "", (toSet & FUSE_SET_ATTR_UID) != 0 ? attr->st_uid : static_cast<uid_t>(-1),
                        (toSet & FUSE_SET_ATTR_GID) != 0 ? attr->st_gid : static_cast<gid_t>(-1),
                        AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    }
    if (rc == 0 && (toSet & FUSE_SET_ATTR_SIZE) != 0) {
        rc = fi != nullptr ? ::ftruncate(static_cast<int>(fi->fh), attr->st_size)
                           : ::truncate(path.c_str(), attr->st_size);
        if (rc == 0) Log({Kind::Truncate, ino, static_cast<std::uint64_t>(attr->st_size), {}, {}, {}});
    }
    // Times are not part of what a cut can lose here; they are left alone.
    struct stat st {};
    if (rc != 0 || !StatNode(ino, st)) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_attr(req, &st, 0);
}

void OnOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    const int fd = ::open(ProcPath(NodeFd(ino)).c_str(), fi->flags & ~(O_CREAT | O_EXCL | O_NOCTTY | O_NOFOLLOW));
    if (fd < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    if ((fi->flags & O_TRUNC) != 0 && (fi->flags & O_ACCMODE) != O_RDONLY) Log({Kind::Truncate, ino, 0, {}, {}, {}});
    fi->fh = static_cast<std::uint64_t>(fd);
    fi->direct_io = 1;
    fuse_reply_open(req, fi);
}

void OnCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi)
{
    struct stat st {};
    const bool existed = ::fstatat(g.rootFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = parent != FUSE_ROOT_ID ? (errno = EPERM, -1)
                                         : ::openat(g.rootFd, name, (fi->flags | O_CREAT) & ~O_NOCTTY, mode & 07777);
    const std::uint64_t id = fd < 0 ? 0 : IdOfName(name, st);
    if (id == 0) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        fuse_reply_err(req, err);
        return;
    }
    if (!existed) Log({Kind::Create, id, 0, name, {}, {}});
    else if ((fi->flags & O_TRUNC) != 0) Log({Kind::Truncate, id, 0, {}, {}, {}});
    fi->fh = static_cast<std::uint64_t>(fd);
    fi->direct_io = 1;
    const fuse_entry_param e = Entry(id, st);
    fuse_reply_create(req, &e, fi);
}

void OnRead(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi)
{
    std::vector<char> buf(size);
    const ssize_t n = ::pread(static_cast<int>(fi->fh), buf.data(), size, off);
    if (n < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_buf(req, buf.data(), static_cast<std::size_t>(n));
}

void OnWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off, fuse_file_info* fi)
{
    const ssize_t n = ::pwrite(static_cast<int>(fi->fh), buf, size, off);
    if (n < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    Log({Kind::Write, ino, static_cast<std::uint64_t>(off), {}, {}, std::string(buf, static_cast<std::size_t>(n))});
    fuse_reply_write(req, static_cast<std::size_t>(n));
}

void OnFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void OnRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    ::close(static_cast<int>(fi->fh));
    fuse_reply_err(req, 0);
}

void OnFsync(fuse_req_t req, fuse_ino_t ino, int, fuse_file_info* fi)
{
    if (::fsync(static_cast<int>(fi->fh)) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    Log({Kind::Fsync, ino, 0, {}, {}, {}});
    fuse_reply_err(req, 0);
}

void OnFsyncDir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*)
{
    Log({Kind::FsyncDir, FUSE_ROOT_ID, 0, {}, {}, {}});
    fuse_reply_err(req, 0);
}

void OnUnlink(fuse_req_t req, fuse_ino_t, const char* name)
{
    if (::unlinkat(g.rootFd, name, 0) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    Log({Kind::Unlink, 0, 0, name, {}, {}});
    fuse_reply_err(req, 0);
}

void OnRename(fuse_req_t req, fuse_ino_t, const char* name, fuse_ino_t, const char* newName, unsigned int flags)
{
    struct stat st {};
    const std::uint64_t id = IdOfName(name, st);
    if (id == 0 || (flags & RENAME_EXCHANGE) != 0) {  // an exchange is not modelled
        fuse_reply_err(req, id == 0 ? errno : EINVAL);
        return;
    }
    if (::renameat2(g.rootFd, name, g.rootFd, newName, flags) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    Log({Kind::Rename, id, 0, name, newName, {}});
    fuse_reply_err(req, 0);
}

void OnLink(fuse_req_t req, fuse_ino_t ino, fuse_ino_t, const char* newName)
{
    struct stat st {};
    if (::linkat(NodeFd(ino), "", g.rootFd, newName, AT_EMPTY_PATH) != 0 || !StatNode(ino, st)) {
        fuse_reply_err(req, errno);
        return;
    }
    Log({Kind::Link, ino, 0, newName, {}, {}});
    const fuse_entry_param e = Entry(ino, st);
    fuse_reply_entry(req, &e);
}

using Listing = std::vector<std::pair<std::string, struct stat>>;

void OnOpendir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    const int fd = ::openat(g.rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
        fuse_reply_err(req, errno);
        return;
    }
    auto* listing = new Listing;
    while (const dirent* d = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = d->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(d->d_type));
        listing->emplace_back(d->d_name, st);
    }
    ::closedir(dir);
    fi->fh = reinterpret_cast<std::uint64_t>(listing);
    fuse_reply_open(req, fi);
}

void OnReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi)
{
    const auto& listing = *reinterpret_cast<const Listing*>(fi->fh);
    std::vector<char> buf(size);
    std::size_t used = 0;
    for (std::size_t i = static_cast<std::size_t>(off); i < listing.size(); ++i) {
        const std::size_t n = fuse_add_direntry(req, buf.data() + used, size - used, listing[i].first.c_str(),
                                                &listing[i].second, static_cast<off_t>(i + 1));
        if (n > size - used) break;
        used += n;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void OnReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi)
{
    delete reinterpret_cast<Listing*>(fi->fh);
    fuse_reply_err(req, 0);
}

void OnStatfs(fuse_req_t req, fuse_ino_t)
{
    struct statvfs s {};
    if (::fstatvfs(g.rootFd, &s) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_statfs(req, &s);
}

// FUSE_TMPFILE, answered from the raw request: its arguments and reply are
// those of FUSE_CREATE, without a name.
void ServeTmpfile(fuse_session* se, const fuse_in_header& in, const char* body)
{
    fuse_create_in arg{};
    std::memcpy(&arg, body, sizeof arg);
    fuse_out_header out{};
    out.unique = in.unique;
    struct {
        fuse_entry_out entry;
        fuse_open_out open;
    } reply{};
    const int fd = ::openat(g.rootFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, arg.mode & 07777);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        out.error = -errno;
    } else {
        const std::uint64_t id = Register(st, ::dup(fd));
        Log({Kind::Tmpfile, id, 0, {}, {}, {}});
        reply.entry.nodeid = id;
        fuse_attr& a = reply.entry.attr;
        a.ino = id;
        a.size = static_cast<std::uint64_t>(st.st_size);
        a.blocks = static_cast<std::uint64_t>(st.st_blocks);
        a.atime = static_cast<std::uint64_t>(st.st_atim.tv_sec);
        a.mtime = static_cast<std::uint64_t>(st.st_mtim.tv_sec);
        a.ctime = static_cast<std::uint64_t>(st.st_ctim.tv_sec);
        a.mode = st.st_mode;
        a.nlink = static_cast<std::uint32_t>(st.st_nlink);
        a.uid = st.st_uid;
        a.gid = st.st_gid;
        a.blksize = static_cast<std::uint32_t>(st.st_blksize);
        reply.open.fh = static_cast<std::uint64_t>(fd);
        reply.open.open_flags = FOPEN_DIRECT_IO;
    }
    iovec iov[2] = {{&out, sizeof out}, {&reply, sizeof reply}};
    const int parts = out.error == 0 ? 2 : 1;
    out.len = static_cast<std::uint32_t>(sizeof out + (parts == 2 ? sizeof reply : 0));
    if (::writev(fuse_session_fd(se), iov, parts) < 0) ::_exit(71);
}

[[noreturn]] void Unmount(int)
{
    ::umount2(g_mountPoint, MNT_DETACH);
    ::_exit(0);
}

// The daemon's whole life; never returns.
[[noreturn]] void RunDaemon(const std::string& backing, int logFd, int readyFd, bool offerTmpfile, pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::signal(SIGTERM, Unmount);
    if (::getppid() != parent) Unmount(0);
    ::umask(0);
    g.logFd = logFd;
    g.offerTmpfile = offerTmpfile;
    g.rootFd = ::open(backing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g.rootFd < 0) ::_exit(72);

    // What the disk holds at mount time is durable.
    if (DIR* dir = ::opendir(backing.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            if (d->d_type != DT_REG) continue;
            struct stat st {};
            const std::uint64_t id = IdOfName(d->d_name, st);
            std::string data;
            if (FILE* f = std::fopen((backing + "/" + d->d_name).c_str(), "rb")) {
                char chunk[65536];
                for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) data.append(chunk, n);
                std::fclose(f);
            }
            Log({Kind::Initial, id, 0, d->d_name, {}, std::move(data)});
        }
        ::closedir(dir);
    }

    fuse_lowlevel_ops ops{};
    ops.init = OnInit;
    ops.lookup = OnLookup;
    ops.getattr = OnGetattr;
    ops.setattr = OnSetattr;
    ops.open = OnOpen;
    ops.create = OnCreate;
    ops.read = OnRead;
    ops.write = OnWrite;
    ops.flush = OnFlush;
    ops.release = OnRelease;
    ops.fsync = OnFsync;
    ops.fsyncdir = OnFsyncDir;
    ops.unlink = OnUnlink;
    ops.rename = OnRename;
    ops.link = OnLink;
    ops.opendir = OnOpendir;
    ops.readdir = OnReaddir;
    ops.releasedir = OnReleasedir;
    ops.statfs = OnStatfs;

    char arg0[] = "powercut-fs";
    char arg1[] = "-o";
    char arg2[] = "fsname=powercut,subtype=powercut";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
    if (se == nullptr || fuse_session_mount(se, g_mountPoint) != 0) ::_exit(73);
    if (::write(readyFd, "m", 1) != 1) Unmount(0);
    ::close(readyFd);

    fuse_buf buf{};
    while (!fuse_session_exited(se)) {
        const int n = fuse_session_receive_buf(se, &buf);
        if (n == -EINTR) continue;
        if (n <= 0) break;
        fuse_in_header in{};
        std::memcpy(&in, buf.mem, sizeof in);
        if (in.opcode == FUSE_TMPFILE && g.offerTmpfile) {
            ServeTmpfile(se, in, static_cast<const char*>(buf.mem) + sizeof in);
            continue;
        }
        fuse_session_process_buf(se, &buf);
    }
    Unmount(0);
}

}  // namespace

std::string FuseUnavailableReason()
{
    if (::geteuid() != 0) return "power-cut tests skipped: mounting their FUSE file system needs root";
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) return std::string("power-cut tests skipped: cannot open /dev/fuse: ") + std::strerror(errno);
    ::close(fd);
    return {};
}

void IsolateMounts()
{
    static const bool done = [] {
        return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    (void)done;
}

PowerCutMount::PowerCutMount(std::string backing, std::string mountPoint, std::string logPath, bool offerTmpfile)
    : m_mountPoint(std::move(mountPoint))
{
    const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    int ready[2];
    if (logFd < 0 || ::pipe2(ready, O_CLOEXEC) != 0) {
        m_error = std::string("log or pipe: ") + std::strerror(errno);
        if (logFd >= 0) ::close(logFd);
        return;
    }
    std::snprintf(g_mountPoint, sizeof g_mountPoint, "%s", m_mountPoint.c_str());
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        RunDaemon(backing, logFd, ready[1], offerTmpfile, parent);
    }
    ::close(logFd);
    ::close(ready[1]);
    char byte = 0;
    pollfd p{ready[0], POLLIN, 0};
    const bool mounted = pid > 0 && ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (pid < 0) {
        m_error = std::string("fork: ") + std::strerror(errno);
        return;
    }
    m_daemon = pid;
    if (!mounted) {
        Cut();
        m_error = "the FUSE daemon did not mount " + m_mountPoint;
    }
}

PowerCutMount::~PowerCutMount() { Cut(); }

void PowerCutMount::Mark() const
{
    struct stat st {};
    ::lstat((m_mountPoint + "/" + kMarkPrefix).c_str(), &st);
}

void PowerCutMount::Cut()
{
    if (m_daemon > 0) {
        ::kill(m_daemon, SIGKILL);
        ::waitpid(m_daemon, nullptr, 0);
        m_daemon = -1;
    }
    ::umount2(m_mountPoint.c_str(), MNT_DETACH);
}

}  // namespace qorvane::powercut

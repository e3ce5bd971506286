#include "platform/SettingsFile.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "platform/Seam.h"

namespace qorvane::platform {
namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kMaxReplacedRetries = 64;
constexpr std::string_view kTempMark = ".qvtmp-";

struct PathParts {
    std::string dir;   // "." for a bare name, else up to and without the last '/'
    std::string base;  // the last component
};

PathParts SplitPath(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string TempPrefix(const PathParts& parts)
{
    return "." + parts.base + std::string(kTempMark);
}

std::string RandomSuffix()
{
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 rng{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    std::string s(12, 'x');
    for (char& c : s) c = kChars[rng() % (sizeof kChars - 1)];
    return s;
}

// A named temporary file that is removed unless Commit() is called.
class TempName {
public:
    TempName() = default;
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    ~TempName()
    {
        if (!m_path.empty()) sys::Unlink(m_path.c_str());
    }
    void Set(std::string path) { m_path = std::move(path); }
    const std::string& Path() const noexcept { return m_path; }
    void Commit() noexcept { m_path.clear(); }

private:
    std::string m_path;
};

// Removes temporary files that an earlier replace left behind when its
// process died between naming the file and renaming it. The caller holds
// the lock on the settings file, so no live replace of the same file owns
// one of these names.
void RemoveLeftovers(const PathParts& parts)
{
    const std::string prefix = TempPrefix(parts);
    DIR* dir = ::opendir(parts.dir.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0) continue;
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// A temporary file in the target's directory under the hidden temporary
// pattern.
int CreateNamedTemp(const PathParts& parts, UniqueFd& fd, TempName& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = parts.dir + "/" + TempPrefix(parts) + RandomSuffix();
        const int err = sys::Open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600, fd);
        if (err == EEXIST) continue;
        if (err == 0) name.Set(std::move(path));
        return err;
    }
    return EEXIST;
}

// A temporary file in the target's directory: unnamed (O_TMPFILE) where the
// file system supports it, so a crash before the rename leaves nothing;
// otherwise named with the hidden temporary pattern.
int CreateTemp(const PathParts& parts, UniqueFd& fd, TempName& name, bool& unnamed)
{
    const int err = sys::Open(parts.dir.c_str(), O_TMPFILE | O_RDWR, 0600, fd);
    if (err == 0) {
        unnamed = true;
        return 0;
    }
    if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL) return err;
    unnamed = false;
    return CreateNamedTemp(parts, fd, name);
}

// Gives an unnamed temporary file a hidden name, so that it can be renamed
// over the target.
int NameTemp(const PathParts& parts, const UniqueFd& fd, TempName& name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = parts.dir + "/" + TempPrefix(parts) + RandomSuffix();
        const int err = sys::LinkFd(fd.Get(), path.c_str());
        if (err == EEXIST) continue;
        if (err == 0) name.Set(std::move(path));
        return err;
    }
    return EEXIST;
}

}  // namespace

bool MayFollowLink(const std::string& link, const struct stat& st)
{
    if (st.st_uid == ::geteuid() || st.st_uid == 0) return true;
    struct stat dir {};
    return sys::Stat(SplitPath(link).dir.c_str(), dir) == 0 && dir.st_uid == st.st_uid;
}

int ResolveLinks(const std::string& path, std::string& resolved)
{
    return ResolveLinks(path, resolved, nullptr);
}

int ResolveLinks(const std::string& path, std::string& resolved,
                 const std::function<void(const std::string& hop)>& beforeHop)
{
    std::string current = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        if (beforeHop) beforeHop(current);
        // The owner check and the read of the target use one descriptor of
        // the link itself, so a link swapped in between cannot lend its
        // target to a checked one.
        UniqueFd link;
        int err = sys::Open(current.c_str(), O_PATH | O_NOFOLLOW, 0, link);
        if (err == ENOENT) {  // nothing there: a dangling link resolves to this
            resolved = std::move(current);
            return 0;
        }
        if (err != 0) return err;
        struct stat st {};
        if ((err = sys::Fstat(link.Get(), st)) != 0) return err;
        if (!S_ISLNK(st.st_mode)) {
            resolved = std::move(current);
            return 0;
        }
        if (!MayFollowLink(current, st)) return EACCES;
        std::string target;
        if ((err = sys::ReadlinkFd(link.Get(), target)) != 0) return err;
        if (!target.empty() && target.front() == '/') {
            current = std::move(target);
        } else {
            const std::size_t slash = current.rfind('/');
            current = slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
        }
    }
    return ELOOP;
}

int OpenLocked(const std::string& path, OpenMode mode, LockableFd& fd, std::string& resolved,
               struct stat& st)
{
    const int flags = O_RDWR | O_NOFOLLOW | (mode.create ? O_CREAT : 0);
    for (int attempt = 0; attempt < kMaxReplacedRetries; ++attempt) {
        // Open the name itself first: it is a plain file nearly always, and
        // then no link needs resolving. ELOOP says it is a link.
        resolved = path;
        int err = sys::OpenLockable(resolved.c_str(), flags, 0666, fd);
        if (err == ELOOP) {
            if ((err = ResolveLinks(path, resolved)) != 0) return err;
            err = sys::OpenLockable(resolved.c_str(), flags, 0666, fd);
            if (err == ELOOP) continue;  // a link appeared after the check: check again
        }
        if (err != 0) return err;
        err = sys::TryLock(fd.Get(), F_WRLCK);
        // Only read locks in the way: a read lock needs no more than read
        // access to the file, so anyone who may read it could hold one for
        // ever, and no program that follows the locking protocol takes one.
        // A read lock of our own keeps out every program that takes a write
        // lock; it does not keep out another read, nor another process of
        // the library that met the same read lock (those that share the
        // counter are kept apart by it).
        if (IsBusyError(err)) err = sys::TryLock(fd.Get(), F_RDLCK);
        if (err != 0) return IsBusyError(err) ? EAGAIN : err;
        if ((err = sys::Fstat(fd.Get(), st)) != 0) return err;
        // A FIFO or a device under the settings name would block the read or
        // never end it.
        if (!S_ISREG(st.st_mode)) return EINVAL;
        if (!mode.forReplace) return 0;
        // A writer may have replaced the file between our open and our lock;
        // then we hold the lock of a file that no longer has this name.
        struct stat now {};
        err = sys::Lstat(resolved.c_str(), now);
        if (err == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) return 0;
        if (err != 0 && err != ENOENT) return err;
        if (err == ENOENT && !mode.create) return ENOENT;
        fd.Reset();
    }
    return EAGAIN;
}

bool ReplaceKeepsAccess(mode_t mode, bool ownerKept, bool groupKept) noexcept
{
    const unsigned user = (mode >> 6) & 07;
    const unsigned group = (mode >> 3) & 07;
    const unsigned other = mode & 07;
    const auto coveredByOther = [other](unsigned bits) { return (bits & ~other) == 0; };
    if (groupKept) return true;
    if (!coveredByOther(group)) return false;
    return ownerKept || coveredByOther(user);
}

mode_t EffectiveAccessMode(mode_t mode, std::string_view acl) noexcept
{
    // Version 2 header (4 bytes), then entries of tag (2), perm (2), id (4),
    // little-endian as the kernel stores them on this machine.
    constexpr std::size_t kHeader = 4;
    constexpr std::size_t kEntry = 8;
    constexpr unsigned kGroupObj = 0x04;
    if (acl.size() < kHeader || (acl.size() - kHeader) % kEntry != 0) return mode;
    for (std::size_t at = kHeader; at < acl.size(); at += kEntry) {
        std::uint16_t tag = 0;
        std::uint16_t perm = 0;
        std::memcpy(&tag, acl.data() + at, sizeof tag);
        std::memcpy(&perm, acl.data() + at + 2, sizeof perm);
        if (tag != kGroupObj) continue;
        const mode_t mask = (mode >> 3) & 07;
        return static_cast<mode_t>((mode & ~static_cast<mode_t>(070)) | ((perm & mask & 07) << 3));
    }
    return mode;
}

int ReplaceFile(const std::string& target, int oldFd, const struct stat& old, std::string_view content)
{
    return ReplaceFile(target, oldFd, old,
                       std::vector<ByteSpan>{ByteSpan{content.data(), content.size()}});
}

namespace {

// Gives the temporary file the old file's owner and group where this
// process may, and says which it kept.
int KeepOwnership(int tmp, const struct stat& old, bool& ownerKept, bool& groupKept)
{
    struct stat now {};
    if (const int err = sys::Fstat(tmp, now)) return err;
    ownerKept = now.st_uid == old.st_uid;
    groupKept = now.st_gid == old.st_gid;
    if (ownerKept && groupKept) return 0;
    int err = sys::Fchown(tmp, old.st_uid, old.st_gid);
    if (err == 0) {
        ownerKept = groupKept = true;
        return 0;
    }
    if (err != EPERM) return err;
    if (groupKept) return 0;
    // Only root may give a file away; a member of the old group may still
    // give it that group.
    err = sys::Fchown(tmp, static_cast<uid_t>(-1), old.st_gid);
    if (err == 0) groupKept = true;
    return err == EPERM ? 0 : err;
}

// What the new file takes over from the old one besides its content.
struct KeptAttributes {
    std::string acl;  // the access ACL, empty for none
    // Every other extended attribute this process may read: user.*, security
    // labels, trusted.* for root.
    std::vector<std::pair<std::string, std::string>> xattrs;
};

int ReadKeptAttributes(int oldFd, KeptAttributes& kept)
{
    if (const int err = sys::GetAccessAcl(oldFd, kept.acl)) return err;
    std::vector<std::string> names;
    if (const int err = sys::ListXattrs(oldFd, names)) return err;
    for (std::string& name : names) {
        // The ACLs are not copied as plain attributes: the access ACL is
        // above, and a default ACL belongs on a directory only.
        if (name.rfind("system.posix_acl_", 0) == 0) continue;
        std::string value;
        const int err = sys::GetXattr(oldFd, name.c_str(), value);
        // Gone since the listing, or hidden from this process.
        if (err == ENODATA || err == ENOTSUP || err == EACCES || err == EPERM) continue;
        if (err != 0) return err;
        kept.xattrs.emplace_back(std::move(name), std::move(value));
    }
    return 0;
}

// Gives the temporary file the old file's owner, group, access ACL, other
// extended attributes and mode, then the content, and syncs it.
int FillTemp(int tmp, const struct stat& old, const KeptAttributes& kept, const std::vector<ByteSpan>& content)
{
    // Owner before mode: fchown may clear set-id bits. The ACL before the
    // mode too: setting it sets the mode's group bits to its mask, and the
    // old mode then puts back exactly the old bits. A file created in a
    // directory with a default ACL has inherited that ACL; it goes when the
    // old file had none, or the replace would let in whom the default names.
    bool ownerKept = false;
    bool groupKept = false;
    if (const int err = KeepOwnership(tmp, old, ownerKept, groupKept)) return err;
    if (!ReplaceKeepsAccess(EffectiveAccessMode(old.st_mode, kept.acl), ownerKept, groupKept)) return EPERM;
    if (const int err = kept.acl.empty() ? sys::RemoveAccessAcl(tmp) : sys::SetAccessAcl(tmp, kept.acl)) {
        return err;
    }
    for (const auto& [name, value] : kept.xattrs) {
        // What this process may not set (trusted.* and most security.* for
        // anyone but root, a label the security module refuses) is left
        // behind rather than failing a replace that would keep the rest.
        const int err = sys::SetXattr(tmp, name.c_str(), value);
        if (err != 0 && err != EPERM && err != EACCES && err != ENOTSUP) return err;
    }
    if (const int err = sys::Fchmod(tmp, old.st_mode & 07777)) return err;
    if (const int err = sys::WriteAll(tmp, content, kWriteChunk)) return err;
    if (const int err = sys::Fsync(tmp)) return err;
    seam::Reached(seam::Step::TempSynced);
    return 0;
}

}  // namespace

int ReplaceFile(const std::string& target, int oldFd, const struct stat& old, const std::vector<ByteSpan>& content)
{
    using seam::Step;
    const PathParts parts = SplitPath(target);
    RemoveLeftovers(parts);

    KeptAttributes kept;
    if (const int err = ReadKeptAttributes(oldFd, kept)) return err;

    UniqueFd tmp;
    TempName name;
    bool unnamed = false;
    if (const int err = CreateTemp(parts, tmp, name, unnamed)) return err;
    seam::Reached(Step::TempCreated);
    if (const int err = FillTemp(tmp.Get(), old, kept, content)) return err;
    if (unnamed) {
        const int err = NameTemp(parts, tmp, name);
        if (err == ENOENT) {
            // No /proc here (a chroot, a small container) and no right to
            // link the descriptor itself: the unnamed file cannot be named,
            // so the content goes to a named one after all.
            if (const int again = CreateNamedTemp(parts, tmp, name)) return again;
            seam::Reached(Step::TempCreated);
            if (const int again = FillTemp(tmp.Get(), old, kept, content)) return again;
        } else if (err != 0) {
            return err;
        } else {
            seam::Reached(Step::TempLinked);
        }
    }
    if (const int err = tmp.Close()) return err;
    if (const int err = sys::Rename(name.Path().c_str(), target.c_str())) return err;
    name.Commit();
    seam::Reached(Step::Renamed);

    UniqueFd dir;
    if (const int err = sys::Open(parts.dir.c_str(), O_RDONLY | O_DIRECTORY, 0, dir)) return err;
    if (const int err = sys::Fsync(dir.Get())) return err;
    seam::Reached(Step::DirSynced);
    return 0;
}

}  // namespace qorvane::platform

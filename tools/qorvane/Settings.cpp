#include "Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "FileFormat.h"
#include "Messages.h"

namespace qorvane::tool {

std::string SettingsPath(const std::string& dir)
{
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + kSettingsFileName;
}

std::string LibraryDir(const std::string& dir)
{
    std::string out = dir;
    if (!out.empty() && IsBlankByte(out.front())) out.insert(0, "./");
    if (!out.empty() && IsBlankByte(out.back())) out += '/';
    return out;
}

Fd::~Fd()
{
    if (m_fd >= 0) ::close(m_fd);
}

std::optional<Outcome> CheckDirectory(const std::string& dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT) return Failure(kExitFileError, "settings directory " + Quote(dir) + " does not exist");
        return Failure(kExitFileError, "cannot access settings directory " + Quote(dir) + ": " + ErrnoText(err));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Failure(kExitFileError, "settings directory " + Quote(dir) + " is not a directory");
    }
    if (::faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) != 0) {
        return Failure(kExitFileError, "cannot enter settings directory " + Quote(dir) + ": " + ErrnoText(errno));
    }
    return std::nullopt;
}

std::optional<Outcome> CheckNoUntrustedLink(const std::string& path)
{
    // The library follows a link at the settings name, hop by hop, only
    // when the link belongs to this user, to root or to the owner of the
    // directory that holds it; another user who may write the directory
    // could otherwise point the name at any file of ours.
    std::string current = path;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return std::nullopt;
        const std::size_t slash = current.rfind('/');
        const std::string dirOfLink = slash == std::string::npos ? "." : (slash == 0 ? "/" : current.substr(0, slash));
        struct stat dirSt {};
        const bool trusted = st.st_uid == ::geteuid() || st.st_uid == 0 ||
                             (::stat(dirOfLink.c_str(), &dirSt) == 0 && dirSt.st_uid == st.st_uid);
        if (!trusted) {
            return Failure(kExitFileError, "settings file " + Quote(path) + " leads through the symbolic link " +
                                               Quote(current) + " of uid " + std::to_string(st.st_uid) +
                                               ", which is not followed: only links of this user, of root or of "
                                               "the directory's owner are");
        }
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
        target.resize(static_cast<std::size_t>(n));
        current = target.front() == '/' || slash == std::string::npos ? target : current.substr(0, slash + 1) + target;
    }
    return std::nullopt;
}

bool IsOtherThanRegularFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

std::string NotRegularFileMessage(const std::string& path)
{
    return "settings file " + Quote(path) + " is not a regular file";
}

Diagnosis DiagnoseOpenFailure(const std::string& dir, bool mayCreate)
{
    if (std::optional<Outcome> bad = CheckDirectory(dir)) return {Cause::Error, bad->error};
    const std::string path = SettingsPath(dir);
    if (std::optional<Outcome> bad = CheckNoUntrustedLink(path)) return {Cause::Error, bad->error};
    // The library takes only a regular file. Anything else is named as such
    // before any open: opening a FIFO for reading would wait for a writer.
    if (IsOtherThanRegularFile(path)) return {Cause::Error, NotRegularFileMessage(path)};
    // O_NONBLOCK still, in case a FIFO took the name since the look.
    const Fd probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!probe) {
        const int err = errno;
        if (err != ENOENT) return {Cause::Error, "cannot open settings file " + Quote(path) + ": " + ErrnoText(err)};
        if (!mayCreate) return {Cause::Error, "settings file " + Quote(path) + " does not exist"};
        if (::faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0) {
            return {Cause::Error, "cannot create settings file " + Quote(path) + ": " + ErrnoText(errno)};
        }
        return {Cause::Transient, "cannot create settings file " + Quote(path)};
    }
    struct stat st {};
    if (::fstat(probe.Get(), &st) == 0 && !S_ISREG(st.st_mode)) return {Cause::Error, NotRegularFileMessage(path)};
    // Only a write lock keeps the library out (it goes on past read locks),
    // and asking about a read lock finds exactly the write locks.
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file
    lock.l_pid = 0;
    if (::fcntl(probe.Get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
        return {Cause::Busy, "settings file " + Quote(path) + " is busy: another process holds its lock"};
    }
    // The library opens the file read-write; make sure that works too.
    const Fd writable(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!writable) {
        return {Cause::Error, "cannot open settings file " + Quote(path) + " for writing: " + ErrnoText(errno)};
    }
    return {Cause::Transient, "cannot read settings file " + Quote(path)};
}

std::optional<Outcome> ReadSettingsFile(const std::string& dir, std::string& content)
{
    if (std::optional<Outcome> bad = CheckDirectory(dir)) return bad;
    const std::string path = SettingsPath(dir);
    if (std::optional<Outcome> bad = CheckNoUntrustedLink(path)) return bad;
    // O_NONBLOCK: a FIFO under the settings name must not block the open.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        const int err = errno;
        if (err == ENOENT) return Failure(kExitFileError, "settings file " + Quote(path) + " does not exist");
        return Failure(kExitFileError, "cannot open settings file " + Quote(path) + ": " + ErrnoText(err));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Failure(kExitFileError, NotRegularFileMessage(path));
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            return Failure(kExitFileError, "cannot read settings file " + Quote(path) + ": " + ErrnoText(errno));
        }
        if (n == 0) return std::nullopt;
        content.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace qorvane::tool

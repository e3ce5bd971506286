#include "platform/Posix.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <new>

#include "platform/ForkGuard.h"
#include "platform/Seam.h"

namespace qorvane::platform {

using seam::Op;

// The calls that retry EINTR from the kernel ask the seam inside their
// retry loop and retry an injected EINTR the same way, so that a test of an
// interrupted call exercises the retry rather than a failure the kernel
// never reports to the caller.

namespace {

constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

}  // namespace

void ByteBuffer::Resize(std::size_t n)
{
    if (n > m_capacity) {
        // The first size asked for exactly (usually a file's size); growth
        // after that doubles.
        const std::size_t capacity = m_capacity == 0 ? n : std::max(n, 2 * m_capacity);
        char* bigger = nullptr;
        bool mapped = false;
        if (capacity >= kMapThreshold) {
            void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            ::madvise(p, capacity, MADV_HUGEPAGE);  // advice only: fine if refused
            bigger = static_cast<char*>(p);
            mapped = true;
        } else {
            bigger = new char[capacity];  // not zero-filled
        }
        if (m_size != 0) std::memcpy(bigger, m_data, m_size);
        const std::size_t size = m_size;
        Free();
        m_data = bigger;
        m_capacity = capacity;
        m_mapped = mapped;
        m_size = size;
    }
    m_size = n;
}

void ByteBuffer::Free() noexcept
{
    if (m_data == nullptr) return;
    if (m_mapped) {
        ::munmap(m_data, m_capacity);
    } else {
        delete[] m_data;
    }
    m_data = nullptr;
    m_capacity = 0;
    m_size = 0;
    m_mapped = false;
}

namespace {

struct ThreadBuffer {
    ByteBuffer buffer;
    bool leased = false;
};
thread_local ThreadBuffer t_buffer;

}  // namespace

BufferLease::BufferLease() : m_buf(t_buffer.leased ? m_own : t_buffer.buffer), m_borrowed(!t_buffer.leased)
{
    if (m_borrowed) t_buffer.leased = true;
    m_buf.Clear();
}

BufferLease::~BufferLease()
{
    if (!m_borrowed) return;
    if (m_buf.Capacity() > kKeepAtMost) m_buf.Free();
    t_buffer.leased = false;
}

void UniqueFd::Reset(int fd) noexcept
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

int UniqueFd::Close() noexcept
{
    if (m_fd < 0) return 0;
    const int fd = std::exchange(m_fd, -1);
    if (const int err = seam::InjectedError(Op::Close)) {
        ::close(fd);
        return err;
    }
    return ::close(fd) == 0 ? 0 : errno;
}

void LockableFd::Reset() noexcept
{
    if (m_fd < 0) return;
    const int fd = std::exchange(m_fd, -1);
    sys::TryLock(fd, F_UNLCK);
    Unregister(fd);
    ::close(fd);
}

void LockableFd::AdoptRegistered(int fd) noexcept
{
    Reset();
    m_fd = fd;
}

namespace sys {

int OpenLockable(const char* path, int flags, mode_t mode, LockableFd& out)
{
    int err = 0;
    const int fd = OpenRegistered([&]() -> int {
        UniqueFd opened;
        err = Open(path, flags, mode, opened);
        return err == 0 ? opened.Release() : -1;
    });
    if (fd >= 0) out.AdoptRegistered(fd);
    return err;
}

int Lstat(const char* path, struct stat& st) noexcept
{
    if (const int err = seam::InjectedError(Op::Stat)) return err;
    return ::lstat(path, &st) == 0 ? 0 : errno;
}

namespace {

constexpr const char* kAccessAcl = "system.posix_acl_access";

// Asks with an empty buffer for the size, then reads; ERANGE means the
// value grew in between, so it asks again.
template <typename Query>
int ReadSized(std::string& out, Query query)
{
    for (;;) {
        const ssize_t size = query(nullptr, 0);
        if (size < 0) return errno;
        out.resize(static_cast<std::size_t>(size));
        const ssize_t got = query(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            return 0;
        }
        if (errno != ERANGE) return errno;
    }
}

}  // namespace

int GetXattr(int fd, const char* name, std::string& out)
{
    out.clear();
    if (const int err = seam::InjectedError(Op::Getxattr)) return err;
    const int err = ReadSized(out, [&](char* buf, std::size_t n) { return ::fgetxattr(fd, name, buf, n); });
    if (err != 0) out.clear();
    return err;
}

int ListXattrs(int fd, std::vector<std::string>& names)
{
    names.clear();
    if (const int err = seam::InjectedError(Op::Getxattr)) return err;
    std::string list;
    const int err = ReadSized(list, [&](char* buf, std::size_t n) { return ::flistxattr(fd, buf, n); });
    if (err != 0) return err == ENOTSUP ? 0 : err;
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = list.find('\0', at);
        const std::size_t stop = end == std::string::npos ? list.size() : end;
        if (stop > at) names.emplace_back(list, at, stop - at);
        at = stop + 1;
    }
    return 0;
}

int SetXattr(int fd, const char* name, const std::string& value) noexcept
{
    if (const int err = seam::InjectedError(Op::Setxattr)) return err;
    return ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

int GetAccessAcl(int fd, std::string& out)
{
    const int err = GetXattr(fd, kAccessAcl, out);
    return err == ENODATA || err == ENOTSUP ? 0 : err;
}

int SetAccessAcl(int fd, const std::string& acl) noexcept
{
    return SetXattr(fd, kAccessAcl, acl);
}

int RemoveAccessAcl(int fd) noexcept
{
    if (const int err = seam::InjectedError(Op::Setxattr)) return err;
    if (::fremovexattr(fd, kAccessAcl) == 0) return 0;
    return errno == ENODATA || errno == ENOTSUP ? 0 : errno;
}

int Open(const char* path, int flags, mode_t mode, UniqueFd& out) noexcept
{
    return OpenAt(AT_FDCWD, path, flags, mode, out);
}

int OpenAt(int dirfd, const char* path, int flags, mode_t mode, UniqueFd& out) noexcept
{
    for (;;) {
        if (const int err = seam::InjectedError(Op::Open)) {
            if (err == EINTR) continue;
            return err;
        }
        const int fd = ::openat(dirfd, path, flags | O_CLOEXEC, mode);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        out.Reset(fd);
        return 0;
    }
}

int Read(int fd, char* data, std::size_t n, std::size_t& got) noexcept
{
    for (;;) {
        if (const int err = seam::InjectedError(Op::Read)) {
            if (err == EINTR) continue;
            return err;
        }
        const ssize_t r = ::read(fd, data, n);
        if (r < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        got = static_cast<std::size_t>(r);
        return 0;
    }
}

int ReadAll(int fd, std::size_t sizeHint, ByteBuffer& out)
{
    out.Clear();
    std::size_t used = 0;
    // Room for a file that grew a little since it was last read, so that a
    // kept buffer is not reallocated (and its pages faulted in again) for
    // every few bytes of growth; pages beyond what the read fills are never
    // touched.
    std::size_t capacity = sizeHint + sizeHint / 16 + 4096;
    out.Resize(capacity);
    for (;;) {
        if (used == out.Size()) out.Resize(out.Size() * 2);
        if (const int err = seam::InjectedError(Op::Read)) {
            if (err == EINTR) continue;
            out.Clear();
            return err;
        }
        const ssize_t n = ::pread(fd, out.Data() + used, out.Size() - used, static_cast<off_t>(used));
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            out.Clear();
            return err;
        }
        if (n == 0) break;
        const std::size_t asked = out.Size() - used;
        used += static_cast<std::size_t>(n);
        // A short read of a regular file ends it: once the size fstat
        // reported is read, that saves the read() that would return 0.
        if (used >= sizeHint && static_cast<std::size_t>(n) < asked) break;
    }
    out.Resize(used);
    return 0;
}

int WriteAll(int fd, const std::vector<ByteSpan>& pieces, std::size_t chunk) noexcept
{
    std::size_t next = 0;  // the first piece not yet (wholly) written
    std::size_t done = 0;  // bytes of that piece already written
    iovec iov[IOV_MAX];
    while (next < pieces.size()) {
        int count = 0;
        std::size_t bytes = 0;
        for (std::size_t i = next; i < pieces.size() && count < IOV_MAX && bytes < chunk; ++i) {
            const std::size_t skip = i == next ? done : 0;
            std::size_t len = pieces[i].size - skip;
            if (len > chunk - bytes) len = chunk - bytes;
            if (len == 0) continue;
            iov[count].iov_base = const_cast<char*>(pieces[i].data + skip);
            iov[count].iov_len = len;
            ++count;
            bytes += len;
        }
        if (count == 0) break;  // only empty pieces left
        if (const int err = seam::InjectedError(Op::Write)) {
            if (err == EINTR) continue;
            return err;
        }
        const ssize_t n = ::writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Advance past what was written, which may end inside a piece.
        auto left = static_cast<std::size_t>(n);
        while (left != 0 && next < pieces.size()) {
            const std::size_t rest = pieces[next].size - done;
            if (left < rest) {
                done += left;
                left = 0;
            } else {
                left -= rest;
                ++next;
                done = 0;
            }
        }
        while (next < pieces.size() && pieces[next].size == done) {
            ++next;
            done = 0;
        }
        seam::Reached(seam::Step::TempWrite);
    }
    return 0;
}

int Fsync(int fd) noexcept
{
    // fsync is not retried after a failure other than EINTR: the kernel may
    // already have dropped the dirty pages it could not write.
    for (;;) {
        if (const int err = seam::InjectedError(Op::Fsync)) {
            if (err == EINTR) continue;
            if (err == seam::kSkipCall) return 0;
            return err;
        }
        if (::fsync(fd) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

int Fstat(int fd, struct stat& st) noexcept
{
    if (const int err = seam::InjectedError(Op::Fstat)) return err;
    return ::fstat(fd, &st) == 0 ? 0 : errno;
}

int Stat(const char* path, struct stat& st) noexcept
{
    if (const int err = seam::InjectedError(Op::Stat)) return err;
    return ::stat(path, &st) == 0 ? 0 : errno;
}

int Fchmod(int fd, mode_t mode) noexcept
{
    if (const int err = seam::InjectedError(Op::Fchmod)) return err;
    return ::fchmod(fd, mode) == 0 ? 0 : errno;
}

int Fchown(int fd, uid_t uid, gid_t gid) noexcept
{
    if (const int err = seam::InjectedError(Op::Fchown)) return err;
    return ::fchown(fd, uid, gid) == 0 ? 0 : errno;
}

int Rename(const char* from, const char* to) noexcept
{
    if (const int err = seam::InjectedError(Op::Rename)) return err;
    return ::rename(from, to) == 0 ? 0 : errno;
}

int LinkFd(int fd, const char* to) noexcept
{
    if (const int err = seam::InjectedError(Op::Link)) return err;
    // Straight from the descriptor where the kernel lets this process (the
    // file's opener on newer kernels, else only with CAP_DAC_READ_SEARCH;
    // refused with ENOENT), else through /proc, which a chroot or a small
    // container may lack: ENOENT again.
    if (::linkat(fd, "", AT_FDCWD, to, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT) return errno;
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc, AT_FDCWD, to, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

int Unlink(const char* path) noexcept
{
    if (const int err = seam::InjectedError(Op::Unlink)) return err;
    return ::unlink(path) == 0 ? 0 : errno;
}

namespace {

template <class ReadLink>
int ReadLinkInto(std::string& out, ReadLink&& readLink)
{
    if (const int err = seam::InjectedError(Op::Readlink)) return err;
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = readLink(buf.data(), buf.size());
        if (n < 0) return errno;
        if (static_cast<std::size_t>(n) < buf.size()) {
            buf.resize(static_cast<std::size_t>(n));
            out = std::move(buf);
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

int Readlink(const char* path, std::string& out)
{
    return ReadLinkInto(out, [path](char* data, std::size_t size) { return ::readlink(path, data, size); });
}

int ReadlinkFd(int fd, std::string& out)
{
    return ReadLinkInto(out, [fd](char* data, std::size_t size) { return ::readlinkat(fd, "", data, size); });
}

int TryLock(int fd, short type) noexcept
{
    return TryLockRange(fd, type, 0, 0);
}

int TryLockRange(int fd, short type, off_t start, off_t len) noexcept
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    fl.l_pid = 0;  // required for OFD locks
    for (;;) {
        if (const int err = type != F_UNLCK ? seam::InjectedError(Op::Lock) : 0) {
            if (err == EINTR) continue;
            return err;
        }
        if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace sys
}  // namespace qorvane::platform

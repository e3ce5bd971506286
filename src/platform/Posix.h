// The library's window onto the operating system: descriptor ownership,
// system calls with EINTR handling and the fault-injection seam, and errno
// classification. Every call returns 0 or an errno value; none throws.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorvane::platform {

// Owns one file descriptor and closes it on destruction. Close errors are
// ignored here; paths where a close error matters call Close() and check.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    void Reset(int fd = -1) noexcept;
    // Gives up ownership without closing.
    int Release() noexcept { return std::exchange(m_fd, -1); }
    // Closes now and reports the close's errno (never retried: after a
    // failed close the descriptor is gone all the same).
    int Close() noexcept;

private:
    int m_fd = -1;
};

// Owns a descriptor that may carry OFD locks. While open it is registered
// with the fork guard (ForkGuard.h), so that no forked child keeps its
// locks; on Reset() or destruction every lock of its description is
// released explicitly (F_OFD_SETLK with F_UNLCK) before it is closed, so
// that no other reference to the description (a child, a dup) can keep one.
// Open it with sys::OpenLockable.
class LockableFd {
public:
    LockableFd() = default;
    LockableFd(const LockableFd&) = delete;
    LockableFd& operator=(const LockableFd&) = delete;
    ~LockableFd() { Reset(); }

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    // Unlocks, unregisters and closes.
    void Reset() noexcept;
    // Takes over a descriptor that is already registered.
    void AdoptRegistered(int fd) noexcept;

private:
    int m_fd = -1;
};

// A growable byte buffer that, unlike std::string, does not zero-fill what
// it grows into: reading a 32 MiB file should cost the read, not a memset.
// Large buffers are anonymous mappings with transparent huge pages where
// the kernel offers them, which cuts the page faults of filling a fresh
// buffer by a factor of about ten.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { Free(); }

    char* Data() noexcept { return m_data; }
    const char* Data() const noexcept { return m_data; }
    std::size_t Size() const noexcept { return m_size; }
    std::string_view View() const noexcept { return {m_data, m_size}; }
    // Keeps the first min(Size(), n) bytes; bytes beyond are uninitialised.
    // Throws std::bad_alloc when memory runs out.
    void Resize(std::size_t n);
    void Clear() noexcept { m_size = 0; }
    std::size_t Capacity() const noexcept { return m_capacity; }
    // Gives the memory back.
    void Free() noexcept;

private:

    char* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
    bool m_mapped = false;
};

// The calling thread's reusable buffer, for the time of one operation: a
// read of the settings file then costs no allocation and no page faults
// once the thread has read a file of that size. If the thread's buffer is
// already leased (nested use), the lease has a buffer of its own. A buffer
// grown past kKeepAtMost is given back when the lease ends.
class BufferLease {
public:
    static constexpr std::size_t kKeepAtMost = std::size_t{2} << 20;

    BufferLease();
    ~BufferLease();
    BufferLease(const BufferLease&) = delete;
    BufferLease& operator=(const BufferLease&) = delete;

    ByteBuffer& Get() noexcept { return m_buf; }

private:
    ByteBuffer m_own;
    ByteBuffer& m_buf;
    bool m_borrowed;
};

// A piece of content to write: bytes owned by someone else.
struct ByteSpan {
    const char* data;
    std::size_t size;
};

namespace sys {
int Open(const char* path, int flags, mode_t mode, UniqueFd& out) noexcept;
int OpenAt(int dirfd, const char* path, int flags, mode_t mode, UniqueFd& out) noexcept;
// Open() for a descriptor that will carry locks (see LockableFd).
int OpenLockable(const char* path, int flags, mode_t mode, LockableFd& out);
int Lstat(const char* path, struct stat& st) noexcept;
// One extended attribute's value; ENODATA when the file has none of that
// name, ENOTSUP when the file system keeps none of its kind.
int GetXattr(int fd, const char* name, std::string& out);
// The names of the file's extended attributes that this process may see
// (none where the file system keeps none).
int ListXattrs(int fd, std::vector<std::string>& names);
int SetXattr(int fd, const char* name, const std::string& value) noexcept;
// The POSIX access ACL of the file ("system.posix_acl_access"); `out` is
// empty when the file has none or the file system keeps no ACLs.
int GetAccessAcl(int fd, std::string& out);
int SetAccessAcl(int fd, const std::string& acl) noexcept;
// Removes the access ACL, if any: the file's mode alone then says who may
// use it. 0 when it had none.
int RemoveAccessAcl(int fd) noexcept;
// Reads up to n bytes at the file position; `got` is 0 at the end.
int Read(int fd, char* data, std::size_t n, std::size_t& got) noexcept;
// Reads the whole file from offset 0 into out (replacing its content).
// `sizeHint` (the size fstat reported) sizes the buffer, so that a file
// that did not change is read with one read() and one that finds its end.
int ReadAll(int fd, std::size_t sizeHint, ByteBuffer& out);
// Writes all of `pieces` in order with gathering writes of at most `chunk`
// bytes each (and at most IOV_MAX pieces), reaching the TempWrite step after
// each write.
int WriteAll(int fd, const std::vector<ByteSpan>& pieces, std::size_t chunk) noexcept;
int Fsync(int fd) noexcept;
int Fstat(int fd, struct stat& st) noexcept;
int Stat(const char* path, struct stat& st) noexcept;
int Fchmod(int fd, mode_t mode) noexcept;
int Fchown(int fd, uid_t uid, gid_t gid) noexcept;
int Rename(const char* from, const char* to) noexcept;
// Gives an O_TMPFILE file a name. ENOENT when this process can name it
// neither directly nor through /proc.
int LinkFd(int fd, const char* to) noexcept;
int Unlink(const char* path) noexcept;
int Readlink(const char* path, std::string& out);
// The target of the link that `fd` (opened O_PATH | O_NOFOLLOW on it) is.
int ReadlinkFd(int fd, std::string& out);
// Open-file-description lock on the whole file, never waiting. type is
// F_RDLCK, F_WRLCK or F_UNLCK. EAGAIN means another description holds a
// conflicting lock.
int TryLock(int fd, short type) noexcept;
// The same on `len` bytes from `start` (len 0: to the end, however long).
int TryLockRange(int fd, short type, off_t start, off_t len) noexcept;
}  // namespace sys

// "Someone else holds it right now", as opposed to a real error.
inline bool IsBusyError(int err) noexcept
{
    return err == EAGAIN || err == EACCES || err == EWOULDBLOCK;
}

}  // namespace qorvane::platform

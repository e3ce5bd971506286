// A pass-through FUSE file system for power-cut tests, and the mount that
// owns it.
//
// The daemon serves one flat directory (no subdirectories) from a backing
// directory and appends a DurabilityLog record for every request that
// changes what a disk would hold, or syncs it, before it replies: so the log
// holds exactly the operations the kernel sent, in the order it sent them.
// Files are opened with direct_io and the kernel's writeback cache is off,
// so every write() reaches the daemon before it returns. Locks are left to
// the kernel (no lock operations), as for a local file system.
//
// O_TMPFILE: libfuse has no handler for the kernel's FUSE_TMPFILE request,
// so the daemon answers it itself when `offerTmpfile` is set, creating the
// file in the backing directory with O_TMPFILE; its later linkat arrives as
// a FUSE_LINK and is logged as a directory entry. Without `offerTmpfile`
// the kernel gets ENOSYS and O_TMPFILE fails with EOPNOTSUPP on the mount,
// as on file systems without it.
//
// A name starting with kMarkPrefix is not a file: looking it up appends a
// Marker record (and answers ENOENT), so that the harness can place "this
// step was acknowledged" in the log's order.
#pragma once

#include <sys/types.h>

#include <string>

namespace qorvane::powercut {

inline constexpr const char* kMarkPrefix = ".powercut-mark";

// Why a FUSE file system cannot be mounted here, or empty.
std::string FuseUnavailableReason();

// Moves this process into a mount namespace of its own, private to it and
// its children, so that no mount can outlive them. Best effort: the mount's
// own clean-up does not depend on it.
void IsolateMounts();

// A mounted power-cut file system served by a child process. The child
// unmounts and ends when this process dies (PR_SET_PDEATHSIG); the
// destructor cuts the power if Cut() was not called.
class PowerCutMount {
public:
    PowerCutMount(std::string backing, std::string mountPoint, std::string logPath, bool offerTmpfile);
    ~PowerCutMount();
    PowerCutMount(const PowerCutMount&) = delete;
    PowerCutMount& operator=(const PowerCutMount&) = delete;

    // Mounted and serving.
    bool Ok() const noexcept { return m_daemon > 0; }
    const std::string& Error() const noexcept { return m_error; }
    // Looks up a marker name, appending a Marker record.
    void Mark() const;
    // The power cut: the daemon is killed at once (nothing after the last
    // request it answered reaches the log) and the mount is detached.
    void Cut();

private:
    std::string m_mountPoint;
    pid_t m_daemon = -1;
    std::string m_error;
};

}  // namespace qorvane::powercut

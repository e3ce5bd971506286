#include "store/WholeFile.h"

#include <cerrno>

#include "platform/Posix.h"
#include "platform/SettingsFile.h"
#include "store/Retry.h"
#include "sync/SharedCounter.h"

namespace qorvane::store {

int ReplaceWholeFile(const std::string& path, std::string_view expected, std::string_view content,
                     std::string& current, bool& lockBusy)
{
    sync::WriterShare writer;
    if (!writer.In()) return -1;
    platform::LockableFd fd;
    std::string resolved;
    struct stat st {};
    if (const int err = platform::OpenLocked(path, {false, true}, fd, resolved, st)) {
        lockBusy = err == EAGAIN;
        return -2;
    }
    platform::ByteBuffer now;
    if (platform::sys::ReadAll(fd.Get(), static_cast<std::size_t>(st.st_size), now) != 0) return -3;
    if (now.View() != expected) {
        current.assign(now.View());
        return 0;
    }
    return platform::ReplaceFile(resolved, fd.Get(), st, content) == 0 ? 1 : -3;
}

int ReplaceWholeFileWait(const std::string& path, std::string_view expected, std::string_view content,
                         std::string& current, int waitMs)
{
    return RetryWhileBusy(waitMs, sync::LeaveWaiter::Role::Writer, [&](bool& busy) {
        bool lockBusy = false;
        const int rc = ReplaceWholeFile(path, expected, content, current, lockBusy);
        busy = WriteIsBusy(rc, lockBusy);
        return rc;
    });
}

}  // namespace qorvane::store

#include "watch/KeyRead.h"

#include "format/CharScan.h"
#include "platform/LineReader.h"
#include "platform/SettingsFile.h"
#include "store/KeyText.h"

namespace qorvane::watch {

bool SameItems(const std::vector<KeyItem>& a, const std::vector<KeyItem>& b) noexcept
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].strName != b[i].strName || a[i].strValue != b[i].strValue) return false;
    }
    return true;
}

int OpenForWatch(const std::string& path, platform::UniqueFd& fd, std::string& resolved, struct stat& st)
{
    // Links are followed only as far as the library follows them
    // (ResolveLinks); the open itself follows none, so a link swapped in
    // after the check fails it, and the resolve is done once more.
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    int err = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if ((err = platform::ResolveLinks(path, resolved)) != 0) return err;
        err = platform::sys::Open(resolved.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0, fd);
        if (err != ELOOP) break;
    }
    if (err != 0) return err;
    if (const int err = platform::sys::Fstat(fd.Get(), st)) return err;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    return 0;
}

int ReadKey(const std::string& path, std::string_view key, KeyState& out, std::string& resolved)
{
    platform::UniqueFd fd;
    struct stat st {};
    const int err = OpenForWatch(path, fd, resolved, st);
    if (err == ENOENT || err == ENOTDIR) {
        out = KeyState{};
        return 0;
    }
    if (err != 0) return err;

    KeyState state;
    platform::FileLineReader lines(fd.Get(), static_cast<std::size_t>(st.st_size));
    state.hasSection = store::ScanKeyLines(format::CharScan::FromLocale(), lines, key,
                                           [&](std::string_view name, std::string_view value) {
                                               state.items.push_back(KeyItem{CString(name), CString(value)});
                                           });
    if (lines.Error() != 0) return lines.Error();
    out = std::move(state);
    return 0;
}

bool IsPassingReadError(int err) noexcept
{
    switch (err) {
    case EACCES:
    case EPERM:
    case EINVAL:
    case EISDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return false;
    default:
        return true;
    }
}

}  // namespace qorvane::watch

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
    if (const int err = platform::ResolveLinks(path, resolved)) return err;
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    if (const int err = platform::sys::Open(resolved.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, fd)) return err;
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

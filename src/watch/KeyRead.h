// Reading one key of the settings file for a watcher: without the file's
// lock and without the access counter, so that a watcher never makes an
// OpenKey fail or a writer wait. The library replaces the file atomically,
// so an unlocked read sees one whole version of it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/Posix.h"
#include "qorvane/Qorvane.h"

namespace qorvane::watch {

// The key as OpenKey would load it.
struct KeyState {
    std::vector<KeyItem> items;
    bool hasSection = false;
};

// Names and values, in order; the section flag does not count (a section
// without items and no section load the same items).
bool SameItems(const std::vector<KeyItem>& a, const std::vector<KeyItem>& b) noexcept;

// Opens the settings file at `path` read-only for a watcher's read, the one
// place where a watcher opens it: follows symbolic links of the last
// component as a replace does (`resolved` is the path of the file itself),
// takes no lock, never creates the file and never blocks on a FIFO. 0, or
// the errno of the failed step (EINVAL: not a regular file).
int OpenForWatch(const std::string& path, platform::UniqueFd& fd, std::string& resolved, struct stat& st);

// Reads the key `key` (matched exactly, as OpenKey matches it) from the
// settings file at `path` with the library's own scan. A missing file (or
// directory) is read as having no items. 0, or the errno of the failure;
// `out` is set only on success. `resolved` is the file's path with links
// followed (set whenever the links could be followed).
int ReadKey(const std::string& path, std::string_view key, KeyState& out, std::string& resolved);

// A passing failure, worth another read after a short pause (an I/O error,
// memory or descriptors short), as opposed to one that stays until the file
// changes (no permission, not a regular file).
bool IsPassingReadError(int err) noexcept;

}  // namespace qorvane::watch

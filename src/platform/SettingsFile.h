// Opening, locking and atomically replacing the settings file.
//
// Locks are open-file-description (OFD) locks, never classic POSIX record
// locks: a record lock belongs to the process, so a second descriptor of the
// same process would not conflict with it (two objects in one process would
// not exclude each other), and closing any descriptor of the file drops
// every record lock the process holds on it. OFD locks conflict between any
// two open descriptions, across threads and processes, and the kernel drops
// them when the holder dies. A foreign program cooperates by taking an OFD
// or POSIX write lock on the file while it reads or writes it.
//
// The file is never rewritten in place: the new content goes to a temporary
// file in the same directory, is fsync'd and renamed over the settings file,
// and the directory is fsync'd. Readers see the old file or the new one,
// whole. A temporary file that a crash leaves behind has a hidden name
// ".<file>.qvtmp-XXXXXX" and is removed by the next replace.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/Posix.h"

namespace qorvane::platform {

// The path with symbolic links of its last component followed (a bounded
// number of hops, each relative to the link's directory). A dangling link
// resolves to its target's path. ELOOP after too many hops.
int ResolveLinks(const std::string& path, std::string& resolved);

// How OpenLocked opens the file.
struct OpenMode {
    bool create;      // create a missing file (mode 0666 less the umask)
    bool forReplace;  // the file will be replaced: resolve links, and make sure
                      // the locked file is still the one at the path
};

// Opens the file at `path` (through links) read-write and takes an OFD
// write lock without waiting; makes sure it is a regular file. For a
// replace, also makes sure the locked file is still the one at the path
// (retrying if it was replaced in between) and gives in `resolved` the path
// with the links of its last component followed; else `resolved` is `path`.
// A read needs no such check: a library writer cannot replace the file
// while a reader holds the counter, and a file replaced by someone else
// between open and lock is still a whole, consistent copy. Returns 0,
// EAGAIN when another description holds a lock, or the errno of the failed
// step (EINVAL: not a regular file).
int OpenLocked(const std::string& path, OpenMode mode, UniqueFd& fd, std::string& resolved,
               struct stat& st);

// Replaces the file at `target` (a resolved path) with `content`, keeping
// the owner (where permitted) and permission bits of `old`. 0, or the errno
// of the failed step; a failure before the rename leaves the old file
// untouched and no temporary file behind. A failure of the final directory
// fsync is reported although the new content is in place.
int ReplaceFile(const std::string& target, const struct stat& old, const std::vector<ByteSpan>& content);
int ReplaceFile(const std::string& target, const struct stat& old, std::string_view content);

// Bytes per writev() of the temporary file.
inline constexpr std::size_t kWriteChunk = std::size_t{4} << 20;

}  // namespace qorvane::platform

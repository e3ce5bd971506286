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

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Posix.h"

namespace qorvane::platform {

// Symbolic links at the settings name. Another user who may write the
// settings directory could plant a link there and make a victim's rewrite
// land in any file the victim owns (and a read return its lines). So a link
// is followed only when it belongs to this process's effective user, to
// root, or to the owner of the directory that holds it (the kernel's
// protected-symlinks rule, applied in every directory, not only in sticky
// ones); a link that fails the rule is EACCES. The final open never follows
// a link (O_NOFOLLOW): a link swapped in after the check fails it.

// True when the link `link` (lstat'd into `st`) may be followed.
bool MayFollowLink(const std::string& link, const struct stat& st);

// The path with symbolic links of its last component followed (a bounded
// number of hops, each relative to the link's directory, each passing
// MayFollowLink). A dangling link resolves to its target's path. ELOOP
// after too many hops, EACCES for a link that may not be followed.
int ResolveLinks(const std::string& path, std::string& resolved);
// The same, calling `beforeHop` with each path it is about to look at (the
// path itself, then each link's target), before it looks: a watcher arms
// its watches there first, so that a change after the look is an event.
int ResolveLinks(const std::string& path, std::string& resolved,
                 const std::function<void(const std::string& hop)>& beforeHop);

// How OpenLocked opens the file.
struct OpenMode {
    bool create;      // create a missing file (mode 0666 less the umask)
    bool forReplace;  // the file will be replaced: resolve links, and make sure
                      // the locked file is still the one at the path
};

// Opens the file at `path` (through links that MayFollowLink allows)
// read-write and takes an OFD write lock without waiting, or a read lock
// where only read locks stand in the way (another program's read lock,
// which anyone who may read the file could hold, must not stall clients);
// makes sure it is a regular file. The descriptor is registered with the fork guard and
// unlocked before it is closed (LockableFd). For a
// replace, also makes sure the locked file is still the one at the path
// (retrying if it was replaced in between) and gives in `resolved` the path
// with the links of its last component followed; else `resolved` is `path`.
// A read needs no such check: a library writer cannot replace the file
// while a reader holds the counter, and a file replaced by someone else
// between open and lock is still a whole, consistent copy. Returns 0,
// EAGAIN when another description holds a lock, or the errno of the failed
// step (EINVAL: not a regular file).
int OpenLocked(const std::string& path, OpenMode mode, LockableFd& fd, std::string& resolved,
               struct stat& st);

// Who may use the file after a replace by another user. The new file keeps
// the old owner, group, mode and access ACL where this process may set
// them. A process that may not give the file away (not root) still keeps
// the group where it is a member of it. Where it keeps neither owner nor
// group (it may write the file only through the "other" bits or a named
// ACL entry), the old owner and group would be judged by the "other" bits
// of the new file, and the replacer's own group would get the group bits:
// the replace goes on only when the other bits already grant everything
// the owner and group bits do (a file every user may read and write, say).
// Keeping the owner but not the group needs the same of the group bits.
//
// True when a file of mode `mode` may be replaced by one that keeps the
// owner or not (`ownerKept`) and the group or not (`groupKept`).
bool ReplaceKeepsAccess(mode_t mode, bool ownerKept, bool groupKept) noexcept;

// The permission bits that owner, owning group and others really have on a
// file of mode `mode` with the access ACL `acl` (its xattr form, or empty):
// with an ACL the mode's group bits are the mask, and the owning group has
// its own entry, limited by that mask.
mode_t EffectiveAccessMode(mode_t mode, std::string_view acl) noexcept;

// Replaces the file at `target` (a resolved path) with `content`, keeping
// owner, group, mode and access ACL of the old file (open as `oldFd`,
// fstat'd into `old`) as ReplaceKeepsAccess says; a file without an access
// ACL gets none, whatever default ACL the directory has. The old file's
// other extended attributes are copied where this process may set them and
// left behind where it may not (trusted.* and most security.* unless root);
// a default ACL is never copied onto the file. 0, or the errno of the
// failed step (EPERM: the replace would change who may use the file); a
// failure before the rename leaves the old file untouched and no temporary
// file behind. A failure of the final directory fsync is reported although
// the new content is in place.
int ReplaceFile(const std::string& target, int oldFd, const struct stat& old, const std::vector<ByteSpan>& content);
int ReplaceFile(const std::string& target, int oldFd, const struct stat& old, std::string_view content);

// Bytes per writev() of the temporary file.
inline constexpr std::size_t kWriteChunk = std::size_t{4} << 20;

}  // namespace qorvane::platform

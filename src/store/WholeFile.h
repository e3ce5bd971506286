// Replacing the whole settings file with a text of the caller's, under the
// same protocol as CloseKey: the counter as a writer, the file's OFD write
// lock, and the atomic replace. For a hand edit of the file (qorvane edit),
// which must not overwrite what others wrote while the person edited.
#pragma once

#include <string>
#include <string_view>

namespace qorvane::store {

// Replaces the file at `path` with `content` if it still holds exactly
// `expected`; never creates a missing file.
//   1  replaced
//   0  the file holds something else now: nothing written, `current` holds
//      what it holds
//  -1  the writer gave up waiting for readers or another writer, or the
//      access counter cannot be opened right now
//  -2  the file cannot be opened (missing, no permission, not a regular
//      file) or another description holds its lock (then `lockBusy`)
//  -3  reading or writing failed; the file holds its old content
// Never waits for the file's lock.
int ReplaceWholeFile(const std::string& path, std::string_view expected, std::string_view content,
                     std::string& current, bool& lockBusy);

// The same, retrying -1 and a -2 of a held lock for about waitMs
// milliseconds as CloseKeyWait does.
int ReplaceWholeFileWait(const std::string& path, std::string_view expected, std::string_view content,
                         std::string& current, int waitMs);

}  // namespace qorvane::store

// The record the power-cut file system keeps of what the kernel asked of it,
// and what a disk could hold if the power went after any prefix of it.
//
// Persistence rules (the "disk" below is the backing directory):
//   - a file's bytes are durable as of its last fsync/fdatasync: every write
//     and truncation of that file before it survives a cut;
//   - the directory's entries (create, link of a named or O_TMPFILE file,
//     unlink, rename) are durable as of the directory's last fsync;
//   - nothing else is: a file's mode, owner and extended attributes are not
//     modelled (the invariant is about bytes and names).
//
// Two models of what a cut leaves of the rest, the operations after their
// barrier (the last fsync of their file, the last fsync of the directory):
//   Strict      none of them survives.
//   Reordering  any subset of them survives, applied in the order they were
//               sent: a rename may survive while the writes before it do not
//               (the delayed-allocation outcome: a new name over an empty
//               file), a later operation may survive while an earlier one
//               does not, and a write is torn into its 4 KiB pages of which
//               any subset survives. A directory operation survives with its
//               effect ("name now names inode i"), whatever else did.
// Reordering enumerates every subset while there are at most
// kExhaustiveElements pending pieces, and samples beyond that: none, all,
// each one alone, all but each one, and random subsets up to kSampleCap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qorvane::powercut {

enum class Kind : std::uint8_t {
    Initial,   // a file present at mount time: name, id, data (durable)
    Create,    // name now names the new file id
    Tmpfile,   // a new file id without a name (O_TMPFILE)
    Link,      // name now names file id as well
    Unlink,    // name removed
    Rename,    // name2 now names file id; name removed
    Write,     // data written to file id at offset
    Truncate,  // file id cut or grown to offset bytes
    Fsync,     // file id synced
    FsyncDir,  // the directory synced
    Marker,    // not a file-system operation: the harness says "acknowledged"
};

struct Record {
    Kind kind{};
    std::uint64_t id = 0;
    std::uint64_t offset = 0;
    std::string name;
    std::string name2;
    std::string data;
};

// One record in the log's wire form (the daemon appends it with one write).
std::string Encode(const Record& record);
// Every whole record of a log file; a torn last record is dropped.
std::vector<Record> ReadLog(const std::string& path);

enum class Model { Strict, Reordering };
const char* ModelName(Model model) noexcept;

// A directory as a disk could show it after a reboot: name -> bytes.
using DiskState = std::map<std::string, std::string>;

inline constexpr std::size_t kPage = 4096;
inline constexpr std::size_t kExhaustiveElements = 12;
inline constexpr std::size_t kSampleCap = 4096;

// Calls `visit` for each crash state `model` allows when the power goes
// after the first `cut` records of `log`; returns how many it visited, and
// sets `sampled` when the pending pieces were too many to enumerate.
std::size_t ForEachCrashState(const std::vector<Record>& log, std::size_t cut, Model model,
                              const std::function<void(const DiskState&)>& visit, bool& sampled);

}  // namespace qorvane::powercut

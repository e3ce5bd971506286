// The comparison of a checked close: which of the items an object set or
// removed another process changed meanwhile. A pure function over the
// file's bytes, like the merge.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "format/CharScan.h"
#include "qorvane/Qorvane.h"

namespace qorvane::store {

// What OpenKey read of an item: its value, or nothing (`there` false).
struct ReadView {
    std::string_view name;
    std::string_view value;
    bool there = false;
};

// `read` holds, for each item the object set or removed, its name and what
// OpenKey read of it. `items`, `states` and
// `removed` are the object's key data, as MergeKey takes them. For each
// name of `read`, the file's value is the first item of that name in the
// first section headed by exactly `key` in `content` (as OpenKey reads
// it), and the object's own value is its first pending item of that name,
// or absent if the name is removed. The name is a conflict when the file's
// value (value or absence) differs from the one read, even when it equals
// the object's own. Returns the conflicts, in the order of `read`, with
// every field filled.
std::vector<KeyConflict> FindConflicts(const format::CharScan& scan, std::string_view content, std::string_view key,
                                       const std::vector<ReadView>& read, const std::vector<KeyItem>& items,
                                       const std::vector<std::uint16_t>& states, const std::vector<CString>& removed);

}  // namespace qorvane::store

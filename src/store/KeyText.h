// Reading one key out of the settings file's text, and merging changed
// items back into it: pure functions from bytes to bytes, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/CharScan.h"
#include "qorvane/Qorvane.h"

namespace qorvane::store {

struct ItemView {
    std::string_view name;
    std::string_view value;
};

// Finds the first section headed by exactly `key` in `content` (the whole
// file) and appends the items of that section to `items`, in file order.
// Comment, blank and value-less lines are skipped; a line that reads as an
// item is an item even if it also reads as a header; the next header ends
// the section. Returns false if there is no such section.
bool ScanKey(const format::CharScan& scan, std::string_view content, std::string_view key,
             std::vector<ItemView>& items);

// The new content of the file after merging the items of `key` whose state
// is 1 into `content` (the whole file as it is now):
//   - up to the key's header every line is kept;
//   - in the rest of the file, the first line of each pending item is
//     replaced by "name = value;", and items still pending when the next
//     header comes are written just before it, followed by an empty line;
//   - a key without a section gets one at the end with all its items;
//   - runs of blank lines shrink to their first line, leading blank lines
//     go, and every header after the key's own gets an empty line before it;
//   - every line ends with CR LF; bytes from the first 0x1A on are kept as
//     they are after the rewritten lines.
std::string MergeKey(const format::CharScan& scan, std::string_view content, std::string_view key,
                     const std::vector<KeyItem>& items, std::vector<std::uint16_t> states);

}  // namespace qorvane::store

// What the file format can hold, as the tool checks its input.
//
// An item line is "name = value;". A reader splits it at the first '=',
// cuts it at the first ';' (a comment), trims white space (0x09-0x0D and
// space) from both parts and ignores an item whose name or value is empty.
// CR, LF and 0x1A would break the line or end the file. The tool refuses
// names and values that would not read back exactly as given, except an
// empty value, which is the file format's way to blank an item.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Outcome.h"

namespace qorvane::tool {

bool IsBlankByte(char ch);

// The catalogue, in ID order; names come from the library.
extern const unsigned long kKeyIDs[2];

// "PrinterSet, HotKeySet"
std::string KnownKeyList();

std::optional<Outcome> CheckItemName(std::string_view name);
std::optional<Outcome> CheckValue(std::string_view name, std::string_view value);

// A line holding '[' and a later ']' also reads as a key header, named by
// the trimmed text between the first '[' and the last ']'. Readers look for
// a key's header before they look at items, so an item line that reads as
// the header of a known key would hide that key's real section (and a later
// write to that key would land in the wrong section).
std::optional<Outcome> CheckNotAHeader(std::string_view name, std::string_view value);

// A key name must be a catalogue name exactly. The library's lookup trims
// the name, but the file's header would then be searched under the untrimmed
// name, so " PrinterSet" is refused rather than quietly written elsewhere.
std::optional<Outcome> CheckKey(const std::string& key);

}  // namespace qorvane::tool

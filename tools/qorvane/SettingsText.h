// The settings file's text as readers see it, line by line, with the
// library's own line tests: the base of check (findings) and of edit (which
// lines of a text are items of the known keys).
//
// How a reader reads key K: it looks through the file, from the top, for
// the first line that reads as the header "[K]" (a comment line never
// does); the lines after it are K's section. In the section a line that
// reads as an item is an item, even if it also reads as a header; the first
// other line that reads as a header ends the section. Of several items of a
// name, the first is the one read. Reading stops at the first 0x1A byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qorvane::tool {

struct TextLine {
    std::string_view text;   // without its line end; may hold NUL bytes
    std::size_t number;      // 1-based
    enum End { kLf, kCrLf, kNone } end;
    bool comment = false;    // empty or comment line
    bool item = false;       // reads as an item
    bool header = false;     // reads as a key header
    std::string name;        // the item's name, or the header's key
    std::string value;       // the item's value
    int keyIndex = -1;       // index into kKeyIDs of the known key whose section holds the line
};

struct SettingsText {
    std::vector<TextLine> lines;
    std::string_view tail;            // from the first 0x1A on (empty if none)
    std::size_t headerLine[2] = {0, 0};  // per known key: the line of its header, 0 if none
};

// Splits and classifies; `content` must outlive the result.
SettingsText ReadSettingsText(std::string_view content);

// A line of key `keyIndex`'s section that readers read as an item.
inline bool IsItemOf(const TextLine& line, int keyIndex)
{
    return line.item && line.keyIndex == keyIndex;
}

struct Finding {
    std::size_t line;
    const char* kind;
    std::string message;
};

// What readers will not see as the text suggests.
std::vector<Finding> CheckSettingsText(std::string_view content);

// "FILE:LINE: message" lines, or with json a JSON array of objects
// {"line":N,"kind":K,"message":M}.
std::string FormatFindings(const std::string& file, const std::vector<Finding>& findings, bool json);

// The changes a person made to items of the known keys, as SetItem and
// RemoveItem calls per key.
struct KeyChanges {
    int keyIndex;
    std::vector<std::pair<std::string, std::string>> sets;
    std::vector<std::string> removes;
};

// Works out the item changes that turn `original` into `edited`. False
// when the edit is more than that: a line other than an item line of a
// known key's section changed (comments, headers, blank lines, other keys,
// line ends, bytes after 0x1A), items were reordered or a duplicate was
// changed, or an item line would not come out of the merge as the person
// wrote it, which a merge cannot carry. The merge writes a set or added
// item as "name = value;" and keeps every other line, so an item line
// whose value stays must stay byte for byte, and a changed or added one
// must be written in that form (no comment, no other spacing).
bool PlanItemChanges(std::string_view original, std::string_view edited, std::vector<KeyChanges>& plan);

}  // namespace qorvane::tool

// The settings-file line grammar, as pure functions over bytes.
//
// File format:
//   - Lines end at LF; a CR just before the LF belongs to the line end. The
//     last line needs no terminator. A byte 0x1A ends the text. Every line
//     the library writes ends with CR LF.
//   - White space is 0x09-0x0D and 0x20; to trim is to drop it at both ends.
//   - ';' starts a comment that runs to the end of the line. A line whose
//     first non-blank character is ';' is a comment line.
//   - Key header: "[Name]" (text before the first '[' and after the last ']'
//     is ignored; the name is trimmed).
//   - Item: "name = value;" (split at the first '='; both sides trimmed; an
//     item needs a non-empty name and a non-empty value).
//   - A line can be both a key line and an item line ("[a = b]"); which
//     reading wins is up to the caller's order of tests.
//
// Each function sees the line it is given up to its first NUL byte (callers
// pass Visible(line)); the line itself is never changed.
#pragma once

#include <string>
#include <string_view>

#include "format/CharScan.h"

namespace qorvane::format {

// The part of a line the grammar sees: everything before its first NUL.
std::string_view Visible(std::string_view line) noexcept;

// True when every byte of the line is white space (the empty line too).
// Unlike IsEmptyLine this sees bytes after a NUL: a line that holds anything
// but white space is never blank here.
bool IsAllBlank(std::string_view line) noexcept;

// False when the line cannot hold `ch` in any character set: the byte does
// not occur at all. A cheap test before the full parse of a line.
inline bool MayHold(std::string_view line, char ch) noexcept
{
    return line.find(ch) != std::string_view::npos;
}

bool IsEmptyLine(const CharScan& scan, std::string_view line);     // trimmed line is empty
bool IsAnnotateLine(const CharScan& scan, std::string_view line);  // first non-blank is ';'
bool IsInvalidLine(const CharScan& scan, std::string_view line);   // empty or comment

enum class KeyMatch {
    NoKey,     // no '[' or no ']' after it: the key out-parameter is untouched
    BlankKey,  // brackets enclose only blanks: the key out-parameter is emptied
    Key,
};
KeyMatch ParseKey(const CharScan& scan, std::string_view line, std::string_view& key);

enum class ItemMatch {
    NoEquals,    // name and value untouched
    BlankName,   // name emptied, value untouched
    BlankValue,  // name and value emptied
    Item,
};
ItemMatch ParseItem(const CharScan& scan, std::string_view line, std::string_view& name,
                    std::string_view& value);

// The item a line reads as, found in one pass over its bytes: true, with
// the trimmed name and value, when a '=' comes before any ';' and NUL and
// both sides of it hold more than white space. Such a line is an item as
// ParseItem(scan, Visible(line)) reads it, and no comment line, in a
// character set where no ASCII byte is part of a multibyte character
// (CharScan::IsFast); use it only there. False says nothing: the line
// needs the full parse.
bool QuickItem(std::string_view line, std::string_view& name, std::string_view& value) noexcept;
// True only if QuickItem(line) reads an item named `name`: the line starts
// with `name` (which neither starts nor ends with white space and holds no
// '=', ';' or NUL), then white space, '=' and a value that is not blank.
// Cheaper than QuickItem when the name to expect is known. False says
// nothing.
bool QuickItemNamed(std::string_view line, std::string_view name) noexcept;

// The two line forms the library writes, without line end: "[%s]" and
// "%s = %s;".
void AppendKeyLine(std::string& out, std::string_view key);
void AppendItemLine(std::string& out, std::string_view name, std::string_view value);

inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr char kEndOfText = '\x1a';

// Lines a rewrite copies as they are, whatever it merges: each ends in
// CR LF, holds no '[' byte (so it is no header in any character set: a '['
// that is the trail byte of a double-byte character is not one either) and
// starts with a byte that is not white space (so it is not blank). Such a
// line needs no parse outside the key's own section.
//
// The length of the longest prefix of `text` made of whole plain lines;
// `text` must start at a line start and be cut at its first 0x1A. Scans 64
// bytes per step with SSE2 where the target has it.
std::size_t PlainLinesPrefix(std::string_view text) noexcept;
// The same, one byte at a time: the reference the fast scan is tested
// against, and the scan where SSE2 is missing.
std::size_t PlainLinesPrefixBytewise(std::string_view text) noexcept;

// Splits text into lines as the file format reads them. The text must
// already be cut at its first 0x1A (see SplitEndOfText).
class LineSplitter {
public:
    explicit LineSplitter(std::string_view text) noexcept : m_rest(text) {}
    // The next line, without its LF and the CR before it; false at the end.
    bool Next(std::string_view& line) noexcept;
    // The next line that holds the byte `ch`, skipping the lines before it;
    // false if no later line holds it.
    bool NextHolding(char ch, std::string_view& line) noexcept;
    // The text not yet returned, from a line start.
    std::string_view Rest() const noexcept { return m_done ? std::string_view() : m_rest; }
    // Skips the first n bytes of Rest(), which must end at a line start.
    void Skip(std::size_t n) noexcept { m_rest.remove_prefix(n); }

private:
    std::string_view m_rest;
    bool m_done = false;
};

// The text before the first 0x1A, and the bytes from it to the end.
struct TextAndTail {
    std::string_view text;
    std::string_view tail;
};
TextAndTail SplitEndOfText(std::string_view content) noexcept;

}  // namespace qorvane::format

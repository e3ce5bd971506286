// Reading one key out of the settings file's text, and merging changed
// items back into it: pure functions from bytes to bytes, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/CharScan.h"
#include "format/Grammar.h"
#include "platform/Posix.h"
#include "qorvane/Qorvane.h"

namespace qorvane::store {

struct ItemView {
    std::string_view name;
    std::string_view value;
};

// Finds the first section headed by exactly `key` and calls onItem(name,
// value) for each item of that section, in file order. Comment, blank and
// value-less lines are skipped; a line that reads as an item is an item even
// if it also reads as a header; the next header ends the section and the
// lines after it are not read. `lines` is any source with
// `bool Next(std::string_view&)` and `bool NextHolding(char,
// std::string_view&)` (LineSplitter, FileLineReader); the views
// passed to onItem are valid only during the call. Returns false if there is
// no such section.
// True if the line (its visible part) is the header of exactly `key`.
// The name between the brackets is a piece of the line, so a line that
// does not hold the key's bytes at all needs no parse.
inline bool IsHeaderOf(const format::CharScan& scan, std::string_view visible, std::string_view key)
{
    if (visible.find(key) == std::string_view::npos) return false;
    std::string_view found;
    return format::ParseKey(scan, visible, found) == format::KeyMatch::Key && found == key;
}

template <class Lines, class OnItem>
bool ScanKeyLines(const format::CharScan& scan, Lines& lines, std::string_view key, OnItem&& onItem)
{
    std::string_view line;
    bool found = false;
    // Only a line holding '[' can be a header, whatever follows a NUL.
    while (!found && lines.NextHolding('[', line)) {
        const std::string_view visible = format::Visible(line);
        found = IsHeaderOf(scan, visible, key) && !format::IsInvalidLine(scan, visible);
    }
    if (!found) return false;
    const bool quick = scan.IsFast();
    ItemView item;
    while (lines.Next(line)) {
        // Most lines of a section are plain items, read in one pass.
        if (quick && format::QuickItem(line, item.name, item.value)) {
            onItem(item.name, item.value);
            continue;
        }
        const bool mayBeItem = format::MayHold(line, '=');
        if (!mayBeItem && !format::MayHold(line, '[')) continue;  // neither item nor header
        const std::string_view visible = format::Visible(line);
        if (format::IsInvalidLine(scan, visible)) continue;
        if (mayBeItem && format::ParseItem(scan, visible, item.name, item.value) == format::ItemMatch::Item) {
            onItem(item.name, item.value);
            continue;
        }
        std::string_view header;
        if (format::ParseKey(scan, visible, header) == format::KeyMatch::Key) break;
    }
    return true;
}

// ScanKeyLines over a whole file's content held in memory; the views point
// into `content`.
bool ScanKey(const format::CharScan& scan, std::string_view content, std::string_view key,
             std::vector<ItemView>& items);

// New file content as a list of pieces: spans of the old content, which is
// not copied (runs of unchanged lines that already end in CR LF become one
// span), and generated text. The old content must outlive it.
class MergedText {
public:
    explicit MergedText(std::string_view input) : m_input(input) {}

    // A line of the input (a view into it) followed by CR LF.
    void InputLine(std::string_view line);
    // Bytes of the input as they are.
    void Input(std::string_view bytes);
    // Generated text.
    std::string& Text() { return m_arena; }
    void TextDone(std::size_t from);

    std::size_t Size() const noexcept { return m_size; }
    std::vector<platform::ByteSpan> Spans() const;
    std::string Flatten() const;

private:
    struct Piece {
        bool generated;
        std::size_t offset;
        std::size_t size;
    };
    void Add(bool generated, std::size_t offset, std::size_t size);

    std::string_view m_input;
    std::string m_arena;
    std::vector<Piece> m_pieces;
    std::size_t m_size = 0;
};

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
//     they are after the rewritten lines;
//   - every item line of the key's section (up to the next header) whose
//     name is in `removed` is dropped; the header stays.
//
// Outside the key's section, runs of plain lines (format::PlainLinesPrefix)
// are copied as one span without being split, and pending items and removed
// names are found through hash tables; LineByLine looks at every line and
// walks the items and the removed names from the front for each, and gives
// the same bytes (tests compare the two). `distinctNames` tells that no
// two items share a name: then a line of an item that is not pending needs
// no lookup while the key's lines follow the list (the line-by-line walk
// ignores it).
enum class MergeWalk { Spans, LineByLine };
MergedText MergeKey(const format::CharScan& scan, std::string_view content, std::string_view key,
                    const std::vector<KeyItem>& items, std::vector<std::uint16_t> states,
                    const std::vector<CString>& removed = {}, MergeWalk walk = MergeWalk::Spans,
                    bool distinctNames = false);

}  // namespace qorvane::store

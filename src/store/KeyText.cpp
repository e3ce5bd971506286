#include "store/KeyText.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "format/Grammar.h"
#include "store/NameTable.h"

namespace qorvane::store {

using format::ItemMatch;
using format::KeyMatch;
using format::LineSplitter;
using format::Visible;

namespace {

// Tells whether a line holds a byte, for lines taken in order from one
// text: one memchr finds the next occurrence for all the lines before it,
// instead of one search per line.
class NextByte {
public:
    NextByte(std::string_view text, char ch) noexcept
        : m_ch(ch), m_next(text.data()), m_end(text.data() + text.size())
    {
    }
    bool In(std::string_view line) noexcept
    {
        if (m_next < line.data()) {
            const auto* found = static_cast<const char*>(
                std::memchr(line.data(), m_ch, static_cast<std::size_t>(m_end - line.data())));
            m_next = found != nullptr ? found : m_end;
        }
        return m_next < line.data() + line.size();
    }

private:
    char m_ch;
    const char* m_next;
    const char* m_end;
};

// The same for a string: whether a line holds `needle` (an empty one
// never matches a line, which cannot be an item name then).
class NextText {
public:
    NextText(std::string_view text, std::string_view needle) noexcept : m_text(text), m_needle(needle) {}
    bool In(std::string_view line) noexcept
    {
        const auto start = static_cast<std::size_t>(line.data() - m_text.data());
        const std::size_t at = NextFrom(start);
        return at != std::string_view::npos && at + m_needle.size() <= start + line.size();
    }
    // Where the needle occurs next at or after `start` (an offset in the
    // text), or npos.
    std::size_t NextFrom(std::size_t start) noexcept
    {
        if (m_needle.empty()) return std::string_view::npos;
        if (!m_searched || m_next < start) {
            m_next = m_text.find(m_needle, start);
            m_searched = true;
        }
        return m_next;
    }

private:
    std::string_view m_text;
    std::string_view m_needle;
    std::size_t m_next = 0;  // the first occurrence at or after the line last asked about
    bool m_searched = false;
};

// The output line list L. The blank-line rule only ever asks whether L is
// empty and whether its last line is blank.
class LineSink {
public:
    explicit LineSink(MergedText& out) : m_out(out) {}

    // Whole lines of the input that pass as they are, with their line
    // ends; `endsBlank` says whether the last of them is blank.
    void Span(std::string_view lines, bool endsBlank = false)
    {
        if (lines.empty()) return;
        m_out.Input(lines);
        m_empty = false;
        m_lastBlank = endsBlank;
    }
    // A line of the input, passed through.
    void Line(std::string_view line, bool blank)
    {
        m_out.InputLine(line);
        m_empty = false;
        m_lastBlank = blank;
    }
    // A blank line is kept only after a line that is not blank.
    void BlankLine(std::string_view line)
    {
        if (!m_empty && !m_lastBlank) Line(line, true);
    }
    void Separator()
    {
        if (m_empty || m_lastBlank) return;
        Generated([](std::string&) {});
        m_lastBlank = true;
    }
    bool LastBlank() const noexcept { return m_lastBlank; }
    void Header(std::string_view key)
    {
        Generated([&](std::string& text) { format::AppendKeyLine(text, key); });
    }
    // "name = value;" CR LF; a short line is put together first and
    // appended at once (a close may write a million of them).
    void Item(const KeyItem& item)
    {
        const std::string_view name = item.strName.view();
        const std::string_view value = item.strValue.view();
        char line[256];
        const std::size_t n = name.size() + value.size() + 6;
        if (n > sizeof line) {
            Generated([&](std::string& text) { format::AppendItemLine(text, name, value); });
            return;
        }
        char* at = line;
        at = static_cast<char*>(std::memcpy(at, name.data(), name.size())) + name.size();
        at = static_cast<char*>(std::memcpy(at, " = ", 3)) + 3;
        at = static_cast<char*>(std::memcpy(at, value.data(), value.size())) + value.size();
        std::memcpy(at, ";\r\n", 3);
        std::string& text = m_out.Text();
        const std::size_t from = text.size();
        text.append(line, n);
        m_out.TextDone(from);
        m_empty = false;
        m_lastBlank = false;
    }

private:
    template <class Write>
    void Generated(Write write)
    {
        std::string& text = m_out.Text();
        const std::size_t from = text.size();
        write(text);
        text += format::kLineEnd;
        m_out.TextDone(from);
        m_empty = false;
        m_lastBlank = false;
    }

    MergedText& m_out;
    bool m_empty = true;
    bool m_lastBlank = false;
};

}  // namespace

bool ScanKey(const format::CharScan& scan, std::string_view content, std::string_view key,
             std::vector<ItemView>& items)
{
    LineSplitter lines(format::SplitEndOfText(content).text);
    return ScanKeyLines(scan, lines, key,
                        [&](std::string_view name, std::string_view value) { items.push_back({name, value}); });
}

void MergedText::Add(bool generated, std::size_t offset, std::size_t size)
{
    if (size == 0) return;
    m_size += size;
    if (!m_pieces.empty()) {
        Piece& last = m_pieces.back();
        if (last.generated == generated && last.offset + last.size == offset) {
            last.size += size;
            return;
        }
    }
    m_pieces.push_back(Piece{generated, offset, size});
}

void MergedText::InputLine(std::string_view line)
{
    const auto offset = static_cast<std::size_t>(line.data() - m_input.data());
    const std::size_t end = offset + line.size();
    if (m_input.substr(end, 2) == format::kLineEnd) {
        Add(false, offset, line.size() + 2);
        return;
    }
    Add(false, offset, line.size());
    const std::size_t from = m_arena.size();
    m_arena += format::kLineEnd;
    TextDone(from);
}

void MergedText::Input(std::string_view bytes)
{
    Add(false, static_cast<std::size_t>(bytes.data() - m_input.data()), bytes.size());
}

void MergedText::TextDone(std::size_t from)
{
    Add(true, from, m_arena.size() - from);
}

std::vector<platform::ByteSpan> MergedText::Spans() const
{
    std::vector<platform::ByteSpan> spans;
    spans.reserve(m_pieces.size());
    for (const Piece& p : m_pieces) {
        const char* base = p.generated ? m_arena.data() : m_input.data();
        spans.push_back(platform::ByteSpan{base + p.offset, p.size});
    }
    return spans;
}

std::string MergedText::Flatten() const
{
    std::string out;
    out.reserve(m_size);
    for (const platform::ByteSpan& span : Spans()) out.append(span.data, span.size);
    return out;
}

MergedText MergeKey(const format::CharScan& scan, std::string_view content, std::string_view key,
                    const std::vector<KeyItem>& items, std::vector<std::uint16_t> states,
                    const std::vector<CString>& removed, MergeWalk walk, bool distinctNames)
{
    assert(items.size() == states.size());
    const format::TextAndTail parts = format::SplitEndOfText(content);

    MergedText out(content);
    LineSink sink(out);
    LineSplitter lines(parts.text);
    NextByte bracket(parts.text, '[');
    std::string_view line;
    // Copies the run of plain lines ahead, which no rule changes here.
    const bool spans = walk == MergeWalk::Spans;
    auto copyPlainRun = [&] {
        const std::string_view rest = lines.Rest();
        const std::size_t n = format::PlainLinesPrefix(rest);
        sink.Span(rest.substr(0, n));
        lines.Skip(n);
    };

    // Pass 1: everything up to and including the key's header.
    bool inKey = false;
    while (!inKey) {
        if (spans) copyPlainRun();
        if (!lines.Next(line)) break;
        if (format::IsAllBlank(line)) {
            sink.BlankLine(line);
            continue;
        }
        sink.Line(line, false);
        if (!bracket.In(line)) continue;  // no header, whatever follows a NUL
        const std::string_view visible = Visible(line);
        inKey = IsHeaderOf(scan, visible, key) && !format::IsInvalidLine(scan, visible);
    }

    if (!inKey) {
        // The key has no section: append one with every item in memory.
        sink.Separator();
        sink.Header(key);
        for (const KeyItem& item : items) sink.Item(item);
        out.Input(parts.tail);
        return out;
    }

    // Pending items by name: `pendingFirst` finds the first pending item of
    // a name, `nextPending` the next pending one after it (a name the list
    // holds twice), so that each line costs one lookup. The line-by-line
    // walk is the reference the tests hold this against: it walks the items
    // and the removed names from the front for every line instead.
    auto itemAt = [&](std::size_t p) { return items[p].strName.view(); };
    constexpr std::size_t kNone = NameTable::npos;
    NameTable pendingFirst;
    std::vector<std::size_t> nextPending;
    std::size_t pending = 0;
    std::size_t generated = 0;  // bytes of the pending items' lines
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (states[i] != 1) continue;
        ++pending;
        generated += itemAt(i).size() + items[i].strValue.view().size() + 6;  // " = ", ";", CR LF
    }
    out.Text().reserve(generated);
    bool tabled = false;
    auto tablePending = [&] {
        tabled = true;
        if (pending == 0) return;
        pendingFirst.Reserve(pending, itemAt);
        std::vector<std::size_t> lastPending;  // per first pending item: the last one of its name
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (states[i] != 1) continue;
            const std::string_view name = itemAt(i);
            const std::size_t first = pendingFirst.FindOrInsert(name, NameTable::Hash(name), i, itemAt);
            if (first == kNone) continue;
            if (nextPending.empty()) {
                nextPending.assign(items.size(), kNone);
                lastPending.assign(items.size(), kNone);
            }
            const std::size_t last = lastPending[first] == kNone ? first : lastPending[first];
            nextPending[last] = i;
            lastPending[first] = i;
        }
    };
    // The table is made on the first lookup: a close whose lines all
    // follow the list needs none.
    // Takes the first pending item named `name` off the table: its
    // position, or kNone.
    auto takePending = [&](std::string_view name) {
        if (pending == 0) return kNone;
        if (!spans) {
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (states[i] == 1 && itemAt(i) == name) return i;
            }
            return kNone;
        }
        if (!tabled) tablePending();
        const std::size_t hash = NameTable::Hash(name);
        if (nextPending.empty()) {
            // No name is pending twice: its one pending item, unless a line
            // before took it.
            const std::size_t p = pendingFirst.Find(name, hash, itemAt);
            return p != kNone && states[p] == 1 ? p : kNone;
        }
        const std::size_t p = pendingFirst.Find(name, hash, itemAt);
        if (p != kNone) pendingFirst.Take(name, hash, nextPending[p], itemAt);
        return p;
    };
    // While the key's item lines are the list's items in the same order (as
    // they are when nobody changed the key since the open), the line's item
    // is the one at `inOrder`, and every pending item before it is taken:
    // when it is pending it is the line's first pending item, found without
    // a lookup (unless the table chains a name pending twice, which must
    // then be taken through the table); with distinct names an item that
    // is not pending has no pending namesake.
    std::size_t inOrder = spans ? 0 : kNone;
    auto pendingFor = [&](std::string_view name) {
        if (inOrder != kNone) {
            if (inOrder < items.size() && itemAt(inOrder) == name) {
                const std::size_t at = inOrder++;
                if (states[at] == 1 && nextPending.empty()) return at;
                if (distinctNames) return kNone;
            } else {
                inOrder = kNone;
            }
        }
        return takePending(name);
    };
    // With a few pending items, a line can only be replaced if it holds
    // one of their names: lines that hold none (and no '[') need no parse.
    constexpr std::size_t kFewPending = 8;
    std::vector<NextText> pendingNames;
    if (pending != 0 && pending <= kFewPending && removed.empty() && spans) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (states[i] == 1) pendingNames.emplace_back(parts.text, itemAt(i));
        }
    }
    auto mayBePending = [&](std::string_view line) {
        if (pending == 0) return false;
        if (pendingNames.empty()) return true;
        for (NextText& next : pendingNames) {
            if (next.In(line)) return true;
        }
        return false;
    };
    auto flushPending = [&] {
        if (pending == 0) return;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (states[i] != 1) continue;
            sink.Item(items[i]);
            states[i] = 0;
        }
        pending = 0;
        pendingFirst.Clear();
    };

    // Removals apply only up to the next header.
    bool removing = !removed.empty();
    auto removedAt = [&](std::size_t p) { return removed[p].view(); };
    // A line whose name is the next removed name in the list's order is
    // removed without a lookup (names removed in file order meet their
    // lines in that order); the table is made on the first line that is not.
    NameTable removedNames;
    bool removedTabled = false;
    std::size_t removedInOrder = 0;
    auto isRemoved = [&](std::string_view name) {
        if (!spans) return std::find(removed.begin(), removed.end(), CString(name)) != removed.end();
        if (removedInOrder < removed.size() && removed[removedInOrder].view() == name) {
            ++removedInOrder;
            return true;
        }
        if (!removedTabled) {
            removedTabled = true;
            removedNames.Reserve(removed.size(), removedAt);
            for (std::size_t i = 0; i < removed.size(); ++i) {
                const std::size_t hash = NameTable::Hash(removed[i].view());
                if (removedNames.Find(removed[i].view(), hash, removedAt) == kNone) removedNames.Insert(hash, i, removedAt);
            }
        }
        return removedNames.Find(name, NameTable::Hash(name), removedAt) != kNone;
    };

    // With nothing left to place, two more kinds of line pass as they are
    // after the key's section: a lone empty line (CR LF) after a line that
    // is not blank (the blank-line rule keeps it), and a line that is not
    // blank after a kept blank line (a header needs no separator there).
    // Taking them into the run saves a stop at every section boundary.
    //
    // With items still to place, a run ends before the first line that may
    // hold one of their names (the few names are looked for in the text),
    // and the second kind does not pass: it may be a header, before which
    // they go.
    auto copyRunAfterKey = [&] {
        std::string_view rest = lines.Rest();
        if (pending != 0) {
            const auto restAt = static_cast<std::size_t>(rest.data() - parts.text.data());
            std::size_t limit = std::string_view::npos;
            for (NextText& next : pendingNames) limit = std::min(limit, next.NextFrom(restAt));
            if (limit != std::string_view::npos) rest = rest.substr(0, limit - restAt);
        }
        std::size_t n = 0;
        bool lastBlank = sink.LastBlank();
        for (;;) {
            const std::size_t plain = format::PlainLinesPrefix(rest.substr(n));
            if (plain != 0) lastBlank = false;
            n += plain;
            const std::string_view at = rest.substr(n);
            if (!lastBlank && at.substr(0, 2) == format::kLineEnd) {
                n += 2;
                lastBlank = true;
                continue;
            }
            if (!lastBlank || pending != 0) break;
            const std::size_t lf = at.find('\n');
            if (lf == std::string_view::npos || lf == 0 || at[lf - 1] != '\r') break;
            if (format::IsAllBlank(at.substr(0, lf - 1))) break;  // a second blank line goes
            n += lf + 1;
            lastBlank = false;
        }
        sink.Span(rest.substr(0, n), lastBlank);
        lines.Skip(n);
    };

    // An item line named `name`: the line of its pending item instead, if
    // one is pending, or the line as it is.
    auto itemLine = [&](std::string_view text, std::string_view name) {
        const std::size_t p = pendingFor(name);
        if (p == kNone) {
            sink.Line(text, false);
            return;
        }
        sink.Item(items[p]);
        states[p] = 0;
        --pending;
    };

    // Pass 2: the rest of the file. Plain item lines are read in one pass
    // where the character set allows it (the reference parses every line).
    const bool quick = spans && scan.IsFast();
    for (;;) {
        if (spans && !removing && (pending == 0 || !pendingNames.empty())) copyRunAfterKey();
        if (!lines.Next(line)) break;
        if (format::IsAllBlank(line)) {
            sink.BlankLine(line);
            continue;
        }
        // With nothing left to place, a line after a kept blank line goes
        // through as it is, whatever it is: a header needs no separator
        // there.
        if (spans && pending == 0 && !removing && sink.LastBlank()) {
            sink.Line(line, false);
            continue;
        }
        // Only a line holding '[' can be a header; only one holding '=' can
        // be an item, and an item matters here if it may replace a pending
        // one or if it decides that a line with '[' is no header. Most lines
        // need no parse at all.
        const bool mayBeHeader = bracket.In(line);
        if (!mayBeHeader && !removing && !mayBePending(line)) {
            sink.Line(line, false);
            continue;
        }
        // While the lines follow the list, the line of the item at
        // `inOrder` is known by its first bytes, without a parse.
        if (quick && !mayBeHeader && !removing && inOrder < items.size() && format::QuickItemNamed(line, itemAt(inOrder))) {
            itemLine(line, itemAt(inOrder));
            continue;
        }
        std::string_view name;
        std::string_view value;
        const bool quickItem = quick && format::QuickItem(line, name, value);
        const std::string_view visible = quickItem ? line : Visible(line);
        if (quickItem ||
            (!quick && format::MayHold(visible, '=') && format::ParseItem(scan, visible, name, value) == ItemMatch::Item)) {
            if (!removing || !isRemoved(name)) itemLine(line, name);
            continue;
        }
        std::string_view header;
        if (mayBeHeader && format::ParseKey(scan, visible, header) == KeyMatch::Key) {
            removing = false;
            flushPending();
            sink.Separator();
        }
        sink.Line(line, false);
    }
    flushPending();
    out.Input(parts.tail);
    return out;
}

}  // namespace qorvane::store

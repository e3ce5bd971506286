#include "store/KeyText.h"

#include <cassert>

#include "format/Grammar.h"

namespace qorvane::store {

using format::ItemMatch;
using format::KeyMatch;
using format::LineSplitter;
using format::Visible;

namespace {

bool IsHeaderOf(const format::CharScan& scan, std::string_view visible, std::string_view key)
{
    std::string_view found;
    return format::ParseKey(scan, visible, found) == KeyMatch::Key && found == key;
}

// The output line list L, streamed into one buffer. The blank-line rule only
// ever asks whether L is empty and whether its last line is blank.
class LineSink {
public:
    explicit LineSink(std::string& out) : m_out(out) {}

    void Line(std::string_view line, bool blank)
    {
        m_out += line;
        m_out += format::kLineEnd;
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
        if (!m_empty && !m_lastBlank) Line(std::string_view(), true);
    }
    void Header(std::string_view key)
    {
        format::AppendKeyLine(m_out, key);
        m_out += format::kLineEnd;
        m_empty = false;
        m_lastBlank = false;
    }
    void Item(const KeyItem& item)
    {
        format::AppendItemLine(m_out, item.strName.view(), item.strValue.view());
        m_out += format::kLineEnd;
        m_empty = false;
        m_lastBlank = false;
    }
    bool LastBlank() const noexcept { return m_lastBlank; }

private:
    std::string& m_out;
    bool m_empty = true;
    bool m_lastBlank = false;
};

}  // namespace

bool ScanKey(const format::CharScan& scan, std::string_view content, std::string_view key,
             std::vector<ItemView>& items)
{
    LineSplitter lines(format::SplitEndOfText(content).text);
    std::string_view line;
    bool found = false;
    while (!found && lines.Next(line)) {
        const std::string_view visible = Visible(line);
        found = !format::IsInvalidLine(scan, visible) && IsHeaderOf(scan, visible, key);
    }
    if (!found) return false;
    while (lines.Next(line)) {
        const std::string_view visible = Visible(line);
        if (format::IsInvalidLine(scan, visible)) continue;
        ItemView item;
        if (format::ParseItem(scan, visible, item.name, item.value) == ItemMatch::Item) {
            items.push_back(item);
            continue;
        }
        std::string_view header;
        if (format::ParseKey(scan, visible, header) == KeyMatch::Key) break;
    }
    return true;
}

std::string MergeKey(const format::CharScan& scan, std::string_view content, std::string_view key,
                     const std::vector<KeyItem>& items, std::vector<std::uint16_t> states)
{
    assert(items.size() == states.size());
    const format::TextAndTail parts = format::SplitEndOfText(content);

    std::string out;
    std::size_t extra = 64 + key.size();
    for (const KeyItem& item : items) extra += item.strName.str().size() + item.strValue.str().size() + 6;
    out.reserve(content.size() + content.size() / 32 + extra);

    LineSink sink(out);
    LineSplitter lines(parts.text);
    std::string_view line;

    // Pass 1: everything up to and including the key's header.
    bool inKey = false;
    while (!inKey && lines.Next(line)) {
        if (format::IsAllBlank(line)) {
            sink.BlankLine(line);
            continue;
        }
        sink.Line(line, false);
        const std::string_view visible = Visible(line);
        inKey = !format::IsInvalidLine(scan, visible) && IsHeaderOf(scan, visible, key);
    }

    if (!inKey) {
        // The key has no section: append one with every item in memory.
        sink.Separator();
        sink.Header(key);
        for (const KeyItem& item : items) sink.Item(item);
        out += parts.tail;
        return out;
    }

    std::size_t pending = 0;
    for (const std::uint16_t s : states) pending += s == 1 ? 1 : 0;
    auto flushPending = [&] {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (states[i] != 1) continue;
            sink.Item(items[i]);
            states[i] = 0;
        }
        pending = 0;
    };

    // Pass 2: the rest of the file.
    while (lines.Next(line)) {
        if (format::IsAllBlank(line)) {
            sink.BlankLine(line);
            continue;
        }
        const std::string_view visible = Visible(line);
        std::string_view name;
        std::string_view value;
        if (format::ParseItem(scan, visible, name, value) == ItemMatch::Item) {
            bool replaced = false;
            for (std::size_t i = 0; pending != 0 && i < items.size(); ++i) {
                if (states[i] == 1 && items[i].strName.view() == name) {
                    sink.Item(items[i]);
                    states[i] = 0;
                    --pending;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) sink.Line(line, false);
            continue;
        }
        std::string_view header;
        if (format::ParseKey(scan, visible, header) == KeyMatch::Key) {
            flushPending();
            sink.Separator();
        }
        sink.Line(line, false);
    }
    flushPending();
    out += parts.tail;
    return out;
}

}  // namespace qorvane::store

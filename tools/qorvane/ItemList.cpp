#include "ItemList.h"

#include <cstring>

#include "Json.h"
#include "Messages.h"

namespace qorvane::tool {

namespace {

// True when the text is printable ASCII without '\\', which Escaped
// leaves as it is. No early exit: the loop runs over whole words.
bool IsPlain(std::string_view text) noexcept
{
    unsigned bad = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        bad |= static_cast<unsigned>(static_cast<unsigned char>(c - 0x20) >= 0x5F) | static_cast<unsigned>(c == '\\');
    }
    return bad == 0;
}

// Escaped(text) appended to `out`; text of printable ASCII alone, the
// common case, goes through as it is.
void AppendEscaped(std::string& out, std::string_view text)
{
    if (IsPlain(text)) {
        out += text;
    } else {
        out += Escaped(text);
    }
}

}  // namespace

ItemFormatter::ItemFormatter(std::string& out, std::string_view key, bool json) : m_out(out), m_json(json)
{
    if (!m_json) return;
    m_out += "{\"key\":";
    AppendJsonString(m_out, key);
    m_out += ",\"items\":[";
}

void ItemFormatter::Add(std::string_view name, std::string_view value)
{
    if (m_json) {
        m_out += m_first ? "[" : ",[";
        AppendJsonText(m_out, name);
        m_out += ',';
        AppendJsonText(m_out, value);
        m_out += ']';
    } else if (IsPlain(name) && IsPlain(value) && name.size() + value.size() < 256) {
        // The common line, put together first and appended at once.
        char line[260];
        char* at = line;
        at = static_cast<char*>(std::memcpy(at, name.data(), name.size())) + name.size();
        at = static_cast<char*>(std::memcpy(at, " = ", 3)) + 3;
        at = static_cast<char*>(std::memcpy(at, value.data(), value.size())) + value.size();
        *at++ = '\n';
        m_out.append(line, static_cast<std::size_t>(at - line));
    } else {
        AppendEscaped(m_out, name);
        m_out += " = ";
        AppendEscaped(m_out, value);
        m_out += '\n';
    }
    m_first = false;
}

void ItemFormatter::Finish()
{
    if (m_json) m_out += "]}\n";
}

std::string FormatItems(const std::string& key, const ItemList& items, bool json)
{
    std::string out;
    ItemFormatter format(out, key, json);
    for (const auto& [name, value] : items) format.Add(name, value);
    format.Finish();
    return out;
}

}  // namespace qorvane::tool

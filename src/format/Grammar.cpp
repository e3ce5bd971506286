#include "format/Grammar.h"

#include <cstring>

namespace qorvane::format {
namespace {

// The trimmed line, cut before its first ';'.
std::string_view Uncommented(const CharScan& scan, std::string_view line)
{
    std::string_view s = scan.Trim(line);
    const std::size_t semi = scan.Find(s, ';');
    return semi == std::string_view::npos ? s : s.substr(0, semi);
}

}  // namespace

std::string_view Visible(std::string_view line) noexcept
{
    const void* nul = std::memchr(line.data(), '\0', line.size());
    if (nul == nullptr) return line;
    return line.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - line.data()));
}

bool IsAllBlank(std::string_view line) noexcept
{
    for (const char c : line) {
        if (!IsBlankByte(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

bool IsEmptyLine(const CharScan& scan, std::string_view line)
{
    return scan.Trim(line).empty();
}

bool IsAnnotateLine(const CharScan& scan, std::string_view line)
{
    const std::string_view s = scan.Trim(line);
    return !s.empty() && s.front() == ';';
}

bool IsInvalidLine(const CharScan& scan, std::string_view line)
{
    const std::string_view s = scan.Trim(line);
    return s.empty() || s.front() == ';';
}

KeyMatch ParseKey(const CharScan& scan, std::string_view line, std::string_view& key)
{
    const std::string_view s = Uncommented(scan, line);
    const std::size_t open = scan.Find(s, '[');
    if (open == std::string_view::npos) return KeyMatch::NoKey;
    const std::size_t close = scan.FindLast(s, ']');
    if (close == std::string_view::npos || close <= open) return KeyMatch::NoKey;
    key = scan.Trim(s.substr(open + 1, close - open - 1));
    return key.empty() ? KeyMatch::BlankKey : KeyMatch::Key;
}

ItemMatch ParseItem(const CharScan& scan, std::string_view line, std::string_view& name,
                    std::string_view& value)
{
    const std::string_view s = Uncommented(scan, line);
    const std::size_t eq = scan.Find(s, '=');
    if (eq == std::string_view::npos) return ItemMatch::NoEquals;
    name = scan.Trim(s.substr(0, eq));
    if (name.empty()) return ItemMatch::BlankName;
    value = scan.Trim(s.substr(eq + 1));
    if (value.empty()) {
        name = std::string_view();
        return ItemMatch::BlankValue;
    }
    return ItemMatch::Item;
}

void AppendKeyLine(std::string& out, std::string_view key)
{
    out += '[';
    out += key;
    out += ']';
}

void AppendItemLine(std::string& out, std::string_view name, std::string_view value)
{
    out += name;
    out += " = ";
    out += value;
    out += ';';
}

bool LineSplitter::Next(std::string_view& line) noexcept
{
    if (m_done || m_rest.empty()) return false;
    const void* lf = std::memchr(m_rest.data(), '\n', m_rest.size());
    if (lf == nullptr) {
        line = m_rest;
        m_rest = std::string_view();
        m_done = true;
        return true;
    }
    const auto len = static_cast<std::size_t>(static_cast<const char*>(lf) - m_rest.data());
    line = m_rest.substr(0, len);
    m_rest.remove_prefix(len + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

TextAndTail SplitEndOfText(std::string_view content) noexcept
{
    const void* eot = std::memchr(content.data(), kEndOfText, content.size());
    if (eot == nullptr) return {content, std::string_view()};
    const auto len = static_cast<std::size_t>(static_cast<const char*>(eot) - content.data());
    return {content.substr(0, len), content.substr(len)};
}

}  // namespace qorvane::format

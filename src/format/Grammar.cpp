#include "format/Grammar.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

bool QuickItem(std::string_view line, std::string_view& name, std::string_view& value) noexcept
{
    // 1: ends the visible, uncommented text (';', NUL); 2: '='.
    static constexpr auto kStop = [] {
        std::array<std::uint8_t, 256> t{};
        t[static_cast<unsigned char>(';')] = 1;
        t[0] = 1;
        t[static_cast<unsigned char>('=')] = 2;
        return t;
    }();
    const char* p = line.data();
    const std::size_t n = line.size();
    const auto stop = [p](std::size_t i) { return kStop[static_cast<unsigned char>(p[i])]; };
    std::size_t eq = 0;
    while (eq < n && stop(eq) == 0) ++eq;
    if (eq == n || stop(eq) != 2) return false;
    std::size_t end = eq + 1;
    while (end < n && stop(end) != 1) ++end;
    const auto blank = [p](std::size_t i) { return IsBlankByte(static_cast<unsigned char>(p[i])); };
    std::size_t nameFrom = 0;
    while (nameFrom < eq && blank(nameFrom)) ++nameFrom;
    std::size_t nameTo = eq;
    while (nameTo > nameFrom && blank(nameTo - 1)) --nameTo;
    std::size_t valueFrom = eq + 1;
    while (valueFrom < end && blank(valueFrom)) ++valueFrom;
    std::size_t valueTo = end;
    while (valueTo > valueFrom && blank(valueTo - 1)) --valueTo;
    if (nameFrom == nameTo || valueFrom == valueTo) return false;
    name = std::string_view(p + nameFrom, nameTo - nameFrom);
    value = std::string_view(p + valueFrom, valueTo - valueFrom);
    return true;
}

bool QuickItemNamed(std::string_view line, std::string_view name) noexcept
{
    // 1: a byte the name may not hold ('=', ';', NUL).
    static constexpr auto kNotInName = [] {
        std::array<std::uint8_t, 256> t{};
        t[static_cast<unsigned char>('=')] = 1;
        t[static_cast<unsigned char>(';')] = 1;
        t[0] = 1;
        return t;
    }();
    const std::size_t n = name.size();
    if (n == 0 || line.size() <= n) return false;
    const auto blank = [](char c) { return IsBlankByte(static_cast<unsigned char>(c)); };
    if (blank(name.front()) || blank(name.back())) return false;
    const char* p = line.data();
    for (std::size_t i = 0; i < n; ++i) {
        if (p[i] != name[i] || kNotInName[static_cast<unsigned char>(p[i])] != 0) return false;
    }
    std::size_t i = n;
    while (i < line.size() && blank(p[i])) ++i;
    if (i == line.size() || p[i] != '=') return false;
    ++i;
    while (i < line.size() && blank(p[i])) ++i;
    return i < line.size() && p[i] != ';' && p[i] != '\0';
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

bool LineSplitter::NextHolding(char ch, std::string_view& line) noexcept
{
    if (m_done || m_rest.empty()) return false;
    const void* found = std::memchr(m_rest.data(), ch, m_rest.size());
    if (found == nullptr) {
        m_rest = std::string_view();
        m_done = true;
        return false;
    }
    // Back to the start of the line that holds it.
    auto at = static_cast<std::size_t>(static_cast<const char*>(found) - m_rest.data());
    while (at != 0 && m_rest[at - 1] != '\n') --at;
    m_rest.remove_prefix(at);
    return Next(line);
}

std::size_t PlainLinesPrefixBytewise(std::string_view text) noexcept
{
    std::size_t start = 0;  // the line being looked at
    while (start < text.size()) {
        const auto first = static_cast<unsigned char>(text[start]);
        if (IsBlankByte(first) || first == '[') return start;
        std::size_t lf = start + 1;
        while (lf < text.size() && text[lf] != '\n') {
            if (text[lf] == '[') return start;
            ++lf;
        }
        if (lf == text.size() || text[lf - 1] != '\r') return start;  // no line end, or a bare LF
        start = lf + 1;
    }
    return start;
}

#if defined(__SSE2__)

namespace {

// Bit masks of one 64-byte block: bit i stands for byte i.
struct BlockMasks {
    std::uint64_t lf = 0;   // LF
    // '[', an LF without CR before it, an LF with white space after it:
    // the bytes that end a run of plain lines.
    std::uint64_t stop = 0;
};

inline std::uint64_t Mask16(__m128i bytes) noexcept
{
    return static_cast<std::uint16_t>(_mm_movemask_epi8(bytes));
}

// Bytes p[-1] .. p[64] must be readable.
inline BlockMasks Classify64(const char* p) noexcept
{
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i bracket = _mm_set1_epi8('[');
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i four = _mm_set1_epi8(4);  // 0x09..0x0D is tab + 0..4
    BlockMasks m;
    for (std::size_t k = 0; k < 4; ++k) {
        const char* q = p + 16 * k;
        const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q - 1));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        const __m128i isLf = _mm_cmpeq_epi8(cur, lf);
        const __m128i fromTab = _mm_sub_epi8(next, tab);
        const __m128i blankNext =
            _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(fromTab, four), fromTab), _mm_cmpeq_epi8(next, space));
        // LF & (no CR before | blank after), or '['.
        const __m128i badLf = _mm_and_si128(isLf, _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(prev, cr), isLf),
                                                               blankNext));
        const __m128i stop = _mm_or_si128(badLf, _mm_cmpeq_epi8(cur, bracket));
        const auto shift = static_cast<int>(16 * k);
        m.lf |= Mask16(isLf) << shift;
        m.stop |= Mask16(stop) << shift;
    }
    return m;
}

inline int HighestBit(std::uint64_t m) noexcept
{
    return 63 - __builtin_clzll(m);
}

}  // namespace

std::size_t PlainLinesPrefix(std::string_view text) noexcept
{
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n == 0) return 0;
    const auto first = static_cast<unsigned char>(p[0]);
    if (IsBlankByte(first) || first == '[') return 0;
    std::size_t lineStart = 0;  // everything before it is whole plain lines
    std::size_t i = 1;          // byte 0 is neither LF nor '['
    while (i + 65 <= n) {
        const BlockMasks m = Classify64(p + i);
        // A line stops the run if it holds '[' or ends in a bare LF; the
        // line after an LF stops it if it starts with white space.
        const std::uint64_t bad = m.stop;
        if (bad == 0) {
            if (m.lf != 0) lineStart = i + static_cast<std::size_t>(HighestBit(m.lf)) + 1;
            i += 64;
            continue;
        }
        const int b = __builtin_ctzll(bad);
        const std::uint64_t bit = std::uint64_t{1} << b;
        const std::uint64_t lfBefore = m.lf & (bit - 1);
        if (lfBefore != 0) lineStart = i + static_cast<std::size_t>(HighestBit(lfBefore)) + 1;
        const std::size_t at = i + static_cast<std::size_t>(b);
        // An LF with CR before it ends a whole line; the next one starts
        // with white space.
        if ((m.lf & bit) != 0 && p[at - 1] == '\r') return at + 1;
        return lineStart;
    }
    return lineStart + PlainLinesPrefixBytewise(text.substr(lineStart));
}

#else

std::size_t PlainLinesPrefix(std::string_view text) noexcept
{
    return PlainLinesPrefixBytewise(text);
}

#endif

TextAndTail SplitEndOfText(std::string_view content) noexcept
{
    const void* eot = std::memchr(content.data(), kEndOfText, content.size());
    if (eot == nullptr) return {content, std::string_view()};
    const auto len = static_cast<std::size_t>(static_cast<const char*>(eot) - content.data());
    return {content.substr(0, len), content.substr(len)};
}

}  // namespace qorvane::format

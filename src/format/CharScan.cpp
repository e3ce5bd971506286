#include "format/CharScan.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <langinfo.h>

namespace qorvane::format {

CharScan CharScan::FromLocale()
{
    if (MB_CUR_MAX == 1) return CharScan(true);
    const char* codeset = nl_langinfo(CODESET);
    return CharScan(codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0);
}

std::size_t CharScan::CharLength(std::string_view s) noexcept
{
    if (static_cast<unsigned char>(s[0]) < 0x80) return 1;
    std::mbstate_t state{};
    const std::size_t n = std::mbrlen(s.data(), s.size(), &state);
    // An invalid or truncated sequence counts as one byte, so a scan always
    // advances and sees every later byte.
    if (n == 0 || n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) return 1;
    return n;
}

std::size_t CharScan::Find(std::string_view s, char ch) const
{
    if (m_fast) return s.find(ch);
    for (std::size_t i = 0; i < s.size(); i += CharLength(s.substr(i))) {
        if (s[i] == ch) return i;
    }
    return std::string_view::npos;
}

std::size_t CharScan::FindLast(std::string_view s, char ch) const
{
    if (m_fast) return s.rfind(ch);
    std::size_t last = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); i += CharLength(s.substr(i))) {
        if (s[i] == ch) last = i;
    }
    return last;
}

std::string_view CharScan::Trim(std::string_view s) const
{
    std::size_t begin = 0;
    while (begin < s.size() && IsBlankByte(static_cast<unsigned char>(s[begin]))) ++begin;
    s.remove_prefix(begin);
    if (m_fast) {
        std::size_t end = s.size();
        while (end > 0 && IsBlankByte(static_cast<unsigned char>(s[end - 1]))) --end;
        return s.substr(0, end);
    }
    // Walk whole characters so that the end of the kept text is always a
    // character boundary.
    std::size_t keep = 0;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = CharLength(s.substr(i));
        if (n > 1 || !IsBlankByte(static_cast<unsigned char>(s[i]))) keep = i + n;
        i += n;
    }
    return s.substr(0, keep);
}

}  // namespace qorvane::format

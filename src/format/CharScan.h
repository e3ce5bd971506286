// Character search that respects the process's multibyte character set.
//
// In a double-byte locale (GBK, Big5, Shift JIS) the second byte of a
// character can equal '[', ']', '=' or ';'. Such a trail byte must never be
// taken for the ASCII character, so the slow path steps over whole
// characters with mbrlen(). Where no ASCII byte can be part of a multibyte
// character (single-byte locales and UTF-8) a plain byte search is exact and
// is used instead.
#pragma once

#include <cstddef>
#include <string_view>

namespace qorvane::format {

class CharScan {
public:
    // Captures the LC_CTYPE locale in effect for the calling thread.
    static CharScan FromLocale();
    // Byte-wise search, for tests and for callers that know their bytes.
    static CharScan Bytes() { return CharScan(true); }

    bool IsFast() const noexcept { return m_fast; }

    // Position of the first / last character equal to `ch` (an ASCII byte),
    // or npos.
    std::size_t Find(std::string_view s, char ch) const;
    std::size_t FindLast(std::string_view s, char ch) const;

    // s without white space (0x09-0x0D, 0x20) at either end.
    std::string_view Trim(std::string_view s) const;

private:
    explicit CharScan(bool fast) : m_fast(fast) {}
    // Length of the character at the start of s (at least 1).
    static std::size_t CharLength(std::string_view s) noexcept;

    bool m_fast;
};

constexpr bool IsBlankByte(unsigned char c) noexcept
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

}  // namespace qorvane::format

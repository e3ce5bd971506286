#include "Json.h"

namespace qorvane::tool {

std::size_t Utf8Length(std::string_view s)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = at(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;  // no overlong forms
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n || at(1) < lo || at(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    }
    return n;
}

bool IsValidUtf8(std::string_view s)
{
    while (!s.empty()) {
        const std::size_t n = Utf8Length(s);
        if (n == 0) return false;
        s.remove_prefix(n);
    }
    return true;
}

void AppendJsonString(std::string& out, std::string_view s)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    while (!s.empty()) {
        const auto c = static_cast<unsigned char>(s.front());
        const std::size_t n = Utf8Length(s);
        if (n > 1) {
            out.append(s.data(), n);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || n == 0) {
            // n == 0 only if the caller broke the contract; never raw.
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
        s.remove_prefix(n == 0 ? 1 : n);
    }
    out += '"';
}

void AppendJsonText(std::string& out, std::string_view s)
{
    // Printable ASCII without '"' and '\\', the common case, needs no
    // escape. No early exit: the loop runs over whole words.
    unsigned escape = 0;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        escape |= static_cast<unsigned>(static_cast<unsigned char>(c - 0x20) >= 0x5F) |
                  static_cast<unsigned>(c == '"') | static_cast<unsigned>(c == '\\');
    }
    if (escape == 0) {
        out += '"';
        out += s;
        out += '"';
        return;
    }
    if (IsValidUtf8(s)) {
        AppendJsonString(out, s);
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += "{\"hex\":\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    }
    out += "\"}";
}

}  // namespace qorvane::tool

// Fuzz target: the line tests over arbitrary bytes, in the C, UTF-8 and GBK
// character sets. The first input byte picks the character set, the rest is
// the line. Properties checked (any violation aborts):
//   - Visible() is the prefix before the first NUL; SplitEndOfText splits at
//     the first 0x1A; LineSplitter yields lines without LF;
//   - a parsed item has a trimmed, non-empty name without '=' and a
//     trimmed, non-empty value without ';', and the line the library writes
//     for it ("name = value;") parses back to the same name and value;
//   - a parsed key is trimmed and non-empty, and "[key]" parses back to it
//     (keys ending in a double-byte lead byte excepted: see below);
//   - in GBK, Find and FindLast return the first and last character (not
//     byte) equal to '[', ']', '=' or ';', and Trim cuts at character
//     boundaries, by a separate walk over the locale's characters: a trail
//     byte that equals one of them is never taken for it.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzLocales.h"
#include "format/CharScan.h"
#include "format/Grammar.h"

using namespace qorvane::format;

namespace {

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

bool Blank(char c)
{
    const auto u = static_cast<unsigned char>(c);
    return u == ' ' || (u >= 0x09 && u <= 0x0D);
}

// Character starts as the locale's multibyte functions see them: a valid
// sequence is one character, an invalid or cut-off byte counts alone. (The
// GBK tables of the C library leave some lead/trail pairs unassigned, the
// user-defined areas among them; such a pair is two characters here, and a
// trail byte '[' or ']' in it is read as that character.)
std::vector<bool> GbkBoundaries(std::string_view s)
{
    std::vector<bool> start(s.size() + 1, false);
    for (std::size_t i = 0; i < s.size();) {
        start[i] = true;
        std::mbstate_t state{};
        wchar_t wc = 0;
        const std::size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
        i += (n == 0 || n > s.size() - i) ? 1 : n;  // NUL, invalid (-1) or cut off (-2)
    }
    start[s.size()] = true;
    return start;
}

void CheckGbkScan(const CharScan& scan, std::string_view s)
{
    const std::vector<bool> start = GbkBoundaries(s);
    for (const char ch : {'[', ']', '=', ';'}) {
        std::size_t first = std::string_view::npos;
        std::size_t last = std::string_view::npos;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (!start[i] || s[i] != ch) continue;
            if (first == std::string_view::npos) first = i;
            last = i;
        }
        CHECK(scan.Find(s, ch) == first);
        CHECK(scan.FindLast(s, ch) == last);
    }
    const std::string_view t = scan.Trim(s);
    const auto begin = static_cast<std::size_t>(t.data() - s.data());
    CHECK(start[begin] && start[begin + t.size()]);
}

std::size_t Offset(std::string_view whole, std::string_view part)
{
    return static_cast<std::size_t>(part.data() - whole.data());
}

void CheckLine(const CharScan& scan, std::string_view raw, bool gbk)
{
    const std::string_view line = Visible(raw);
    CHECK(line.data() == raw.data() && line.size() <= raw.size());
    CHECK(std::memchr(line.data(), '\0', line.size()) == nullptr);
    CHECK(line.size() == raw.size() || raw[line.size()] == '\0');

    bool allBlank = true;
    for (const char c : raw) allBlank = allBlank && Blank(c);
    CHECK(IsAllBlank(raw) == allBlank);
    CHECK(IsInvalidLine(scan, line) == (IsEmptyLine(scan, line) || IsAnnotateLine(scan, line)));

    std::string_view name = "untouched";
    std::string_view value = "untouched";
    const ItemMatch item = ParseItem(scan, line, name, value);
    if (item == ItemMatch::Item) {
        CHECK(!name.empty() && !value.empty());
        CHECK(!Blank(name.front()) && !Blank(name.back()));
        CHECK(!Blank(value.front()) && !Blank(value.back()));
        CHECK(scan.Find(name, '=') == std::string_view::npos);
        CHECK(scan.Find(value, ';') == std::string_view::npos);
        if (gbk) {
            const std::vector<bool> start = GbkBoundaries(line);
            CHECK(start[Offset(line, name)] && start[Offset(line, value)]);
        }
        std::string written;
        AppendItemLine(written, name, value);
        std::string_view n2;
        std::string_view v2;
        CHECK(ParseItem(scan, written, n2, v2) == ItemMatch::Item);
        CHECK(n2 == name && v2 == value);
    } else if (item == ItemMatch::NoEquals) {
        CHECK(name == "untouched" && value == "untouched");
    } else if (item == ItemMatch::BlankValue) {
        CHECK(name.empty() && value.empty());
    } else {
        CHECK(name.empty() && value == "untouched");
    }

    std::string_view key = "untouched";
    const KeyMatch k = ParseKey(scan, line, key);
    if (k == KeyMatch::Key) {
        CHECK(!key.empty() && !Blank(key.front()) && !Blank(key.back()));
        CHECK(scan.Find(key, ';') == std::string_view::npos);
        // In GBK, ']' (0x5D) is also a trail byte: "[key]" for a key whose
        // last byte is a lead byte reads its ']' as part of a character. The
        // library writes only catalogue keys (ASCII), so such a key is never
        // written; every other key must read back.
        const bool leadLast = gbk && static_cast<unsigned char>(key.back()) >= 0x81 &&
                              static_cast<unsigned char>(key.back()) <= 0xFE;
        std::string written;
        AppendKeyLine(written, key);
        std::string_view k2;
        if (!leadLast) {
            CHECK(ParseKey(scan, written, k2) == KeyMatch::Key);
            CHECK(k2 == key);
        }
    } else if (k == KeyMatch::NoKey) {
        CHECK(key == "untouched");
    } else {
        CHECK(key.empty());
    }

    if (gbk) CheckGbkScan(scan, line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitLocales();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const int charset = data[0] % kCharsets;
    ::uselocale(g_locales[charset]);
    const CharScan scan = CharScan::FromLocale();
    CHECK(scan.IsFast() == (charset != kGbk));
    const std::string_view content(reinterpret_cast<const char*>(data + 1), size - 1);

    const TextAndTail parts = SplitEndOfText(content);
    CHECK(parts.text.size() + parts.tail.size() == content.size());
    CHECK(std::memchr(parts.text.data(), kEndOfText, parts.text.size()) == nullptr);
    CHECK(parts.tail.empty() || parts.tail.front() == kEndOfText);

    // The whole input as one line, then each line of it as a file.
    CheckLine(scan, content, charset == kGbk);
    LineSplitter lines(parts.text);
    std::string_view line;
    std::size_t seen = 0;
    while (lines.Next(line)) {
        CHECK(std::memchr(line.data(), '\n', line.size()) == nullptr);
        CHECK(++seen <= parts.text.size());
        CheckLine(scan, line, charset == kGbk);
    }
    return 0;
}

#include "Messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iomanip>
#include <sstream>

#include "Outcome.h"

namespace qorvane::tool {

std::string Escaped(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    const bool multibyte = MB_CUR_MAX > 1;
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        std::size_t length = 1;
        bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F);
        if (c >= 0x80 && multibyte) {
            std::mbstate_t state{};
            wchar_t wc = 0;
            const std::size_t n = std::mbrtowc(&wc, text.data() + at, text.size() - at, &state);
            if (n != static_cast<std::size_t>(-1) && n != static_cast<std::size_t>(-2) && n > 1) {
                length = n;
                control = std::iswcntrl(static_cast<wint_t>(wc)) != 0;
            }
        }
        if (c == '\\') {
            out += "\\\\";
        } else if (control) {
            for (std::size_t i = at; i < at + length; ++i) {
                const auto b = static_cast<unsigned char>(text[i]);
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 0x0F];
            }
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out;
}

std::string Quote(std::string_view text)
{
    return "'" + Escaped(text) + "'";
}

std::string ErrnoText(int err)
{
    return std::strerror(err);
}

std::string Seconds(double s)
{
    std::ostringstream text;
    text << std::setprecision(3) << s << " s";
    return text.str();
}

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

int Report(const Outcome& out)
{
    if (!out.output.empty()) {
        std::fwrite(out.output.data(), 1, out.output.size(), stdout);
    }
    if (std::fflush(stdout) != 0 && out.error.empty()) {
        const int err = errno;
        std::fprintf(stderr, "qorvane: cannot write the output: %s\n", std::strerror(err));
        return kExitFileError;
    }
    if (!out.note.empty()) std::fprintf(stderr, "qorvane: %s\n", out.note.c_str());
    if (!out.error.empty()) std::fprintf(stderr, "qorvane: %s\n", out.error.c_str());
    return out.exit;
}

}  // namespace qorvane::tool

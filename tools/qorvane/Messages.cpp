#include "Messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "Outcome.h"

namespace qorvane::tool {

std::string Quote(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "'";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    out += '\'';
    return out;
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

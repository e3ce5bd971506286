// Message text: every error the tool prints is one line.
#pragma once

#include <string>
#include <string_view>

namespace qorvane::tool {

// Text from the file as the tool prints it for a terminal, so that a name
// or value can neither move the cursor nor read as something it is not: a
// backslash is written "\\", and every byte of a control character is
// written "\xNN" (upper-case hex digits). Control characters are the bytes
// 0x00-0x1F and 0x7F, the bytes 0x80-0x9F that are not part of a multibyte
// character of the LC_CTYPE locale, and the multibyte characters that the
// locale counts as controls (U+0080-U+009F in UTF-8). Everything else,
// multibyte characters included, passes through.
std::string Escaped(std::string_view text);

// A name, value or path as it appears in a message: quoted and escaped as
// above, so that every message stays on one line.
std::string Quote(std::string_view text);

std::string ErrnoText(int err);

// "1.25 s"
std::string Seconds(double s);

// The text with line breaks turned into spaces and trailing spaces dropped.
std::string OneLine(std::string text);

}  // namespace qorvane::tool

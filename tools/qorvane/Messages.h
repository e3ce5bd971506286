// Message text: every error the tool prints is one line.
#pragma once

#include <string>
#include <string_view>

namespace qorvane::tool {

// A name, value or path as it appears in a message: quoted, with control
// bytes shown as \xNN so that every message stays on one line.
std::string Quote(std::string_view text);

std::string ErrnoText(int err);

// "1.25 s"
std::string Seconds(double s);

// The text with line breaks turned into spaces and trailing spaces dropped.
std::string OneLine(std::string text);

}  // namespace qorvane::tool

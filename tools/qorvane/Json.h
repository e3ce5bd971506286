// JSON output.
//
// Text that is valid UTF-8 is written as a JSON string: quotes,
// backslashes and control bytes are escaped, everything else passes through.
// Names and values are bytes, though, and need not be UTF-8. One that is not
// is written as an object {"hex":"..."} holding its bytes as lower-case hex
// digits, two per byte: that survives every JSON tool unchanged (a lone
// \uDCxx escape, say, is turned into U+FFFD by jq and lost), and reads back
// to the same bytes with Python's bytes.fromhex(v["hex"]) or, from a shell,
// jq -r .hex | xxd -r -p.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qorvane::tool {

// Length of the valid UTF-8 sequence at the start of s (1-4), or 0.
std::size_t Utf8Length(std::string_view s);

// True if every byte of s is part of a valid UTF-8 sequence.
bool IsValidUtf8(std::string_view s);

// A JSON string; s must be valid UTF-8.
void AppendJsonString(std::string& out, std::string_view s);

// A name or value: a JSON string if it is valid UTF-8, else {"hex":"..."}.
void AppendJsonText(std::string& out, std::string_view s);

}  // namespace qorvane::tool

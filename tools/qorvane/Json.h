// JSON output.
//
// Strings are written as UTF-8. Valid UTF-8 passes through; quotes,
// backslashes and control bytes are escaped. A byte that is not part of a
// valid UTF-8 sequence becomes \uDCxx, xx being the byte ("surrogate
// escape"): a consumer that decodes that way gets the original bytes back,
// and a strict one shows a replacement character instead of a wrong one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qorvane::tool {

// Length of the valid UTF-8 sequence at the start of s (1-4), or 0.
std::size_t Utf8Length(std::string_view s);

void AppendJsonString(std::string& out, std::string_view s);

}  // namespace qorvane::tool

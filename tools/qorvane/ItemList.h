// The items of a key as show prints them, shared by show and watch.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qorvane::tool {

using ItemList = std::vector<std::pair<std::string, std::string>>;

// One "name = value" line per item (escaped for a terminal, see Escaped in
// Messages.h), or with `json` one line holding
// {"key":K,"items":[[NAME,VALUE],...]} (names and values that are not
// valid UTF-8 as {"hex":"..."}, see Json.h).
std::string FormatItems(const std::string& key, const ItemList& items, bool json);

}  // namespace qorvane::tool

// The items of a key as show prints them, shared by show and watch.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qorvane::tool {

using ItemList = std::vector<std::pair<std::string, std::string>>;

// One "name = value" line per item (escaped for a terminal, see Escaped in
// Messages.h), or with `json` one line holding
// {"key":K,"items":[[NAME,VALUE],...]} (names and values that are not
// valid UTF-8 as {"hex":"..."}, see Json.h).
std::string FormatItems(const std::string& key, const ItemList& items, bool json);

// The same text built one item at a time, for items that are not held in a
// list: the constructor starts it, Add appends an item, Finish ends it.
class ItemFormatter {
public:
    ItemFormatter(std::string& out, std::string_view key, bool json);
    void Add(std::string_view name, std::string_view value);
    void Finish();

private:
    std::string& m_out;
    bool m_json;
    bool m_first = true;
};

}  // namespace qorvane::tool

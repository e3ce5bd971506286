#include "ItemList.h"

#include "Json.h"
#include "Messages.h"

namespace qorvane::tool {

std::string FormatItems(const std::string& key, const ItemList& items, bool json)
{
    std::string out;
    if (json) {
        out = "{\"key\":";
        AppendJsonString(out, key);
        out += ",\"items\":[";
        for (std::size_t i = 0; i < items.size(); ++i) {
            out += i == 0 ? "[" : ",[";
            AppendJsonText(out, items[i].first);
            out += ',';
            AppendJsonText(out, items[i].second);
            out += ']';
        }
        out += "]}\n";
    } else {
        for (const auto& [name, value] : items) out += Escaped(name) + " = " + Escaped(value) + "\n";
    }
    return out;
}

}  // namespace qorvane::tool

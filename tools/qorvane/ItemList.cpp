#include "ItemList.h"

#include "Json.h"
#include "Messages.h"

namespace qorvane::tool {

namespace {

// Escaped(text) appended to `out`; text of printable ASCII alone, the
// common case, goes through as it is.
void AppendEscaped(std::string& out, std::string_view text)
{
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            out += Escaped(text);
            return;
        }
    }
    out += text;
}

}  // namespace

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
        for (const auto& [name, value] : items) {
            AppendEscaped(out, name);
            out += " = ";
            AppendEscaped(out, value);
            out += '\n';
        }
    }
    return out;
}

}  // namespace qorvane::tool

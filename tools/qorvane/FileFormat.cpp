#include "FileFormat.h"

#include <qorvane/Qorvane.h>

#include "Messages.h"

namespace qorvane::tool {

const unsigned long kKeyIDs[2] = {KEYID_PRINTERSET, KEYID_HOTKEYSET};

bool IsBlankByte(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

namespace {

bool HasLineBreakBytes(std::string_view text)
{
    return text.find_first_of("\r\n\x1a") != std::string_view::npos;
}

bool HasOuterBlanks(std::string_view text)
{
    return !text.empty() && (IsBlankByte(text.front()) || IsBlankByte(text.back()));
}

}  // namespace

std::string KnownKeyList()
{
    std::string list;
    for (const unsigned long id : kKeyIDs) {
        CString name;
        if (CQorvane::Keys_ID2Name(id, name) != 1) continue;
        list += (list.empty() ? "" : ", ") + name.str();
    }
    return list;
}

std::optional<Outcome> CheckItemName(std::string_view name)
{
    const std::string what = "item name " + Quote(name);
    if (name.empty()) return Failure(kExitBadInput, "item name is empty");
    if (HasLineBreakBytes(name)) return Failure(kExitBadInput, what + " contains a line break or 0x1A byte");
    if (name.find('=') != std::string_view::npos)
        return Failure(kExitBadInput, what + " contains '=', which ends a name in the settings file");
    if (name.find(';') != std::string_view::npos)
        return Failure(kExitBadInput, what + " contains ';', which starts a comment in the settings file");
    if (HasOuterBlanks(name))
        return Failure(kExitBadInput, what + " starts or ends with white space, which the settings file drops");
    return std::nullopt;
}

std::optional<Outcome> CheckValue(std::string_view name, std::string_view value)
{
    const std::string what = "value " + Quote(value) + " of item " + Quote(name);
    if (HasLineBreakBytes(value)) return Failure(kExitBadInput, what + " contains a line break or 0x1A byte");
    if (value.find(';') != std::string_view::npos)
        return Failure(kExitBadInput, what + " contains ';'; it would be read back only up to the ';'");
    if (HasOuterBlanks(value))
        return Failure(kExitBadInput, what + " starts or ends with white space, which the settings file drops");
    return std::nullopt;
}

std::optional<Outcome> CheckNotAHeader(std::string_view name, std::string_view value)
{
    const std::string line = std::string(name) + " = " + std::string(value);
    const std::size_t open = line.find('[');
    const std::size_t close = line.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
    std::string_view inside = std::string_view(line).substr(open + 1, close - open - 1);
    while (!inside.empty() && IsBlankByte(inside.front())) inside.remove_prefix(1);
    while (!inside.empty() && IsBlankByte(inside.back())) inside.remove_suffix(1);
    for (const unsigned long id : kKeyIDs) {
        CString key;
        if (CQorvane::Keys_ID2Name(id, key) == 1 && key.view() == inside) {
            return Failure(kExitBadInput, "item " + Quote(name) + " = " + Quote(value) +
                                              " would read as the header of key " + Quote(key.view()));
        }
    }
    return std::nullopt;
}

std::optional<Outcome> CheckKey(const std::string& key)
{
    CString canonical;
    const unsigned long id = CQorvane::Keys_Name2ID(key.c_str());
    if (id != 0 && CQorvane::Keys_ID2Name(id, canonical) == 1 && canonical.str() == key) return std::nullopt;
    return Failure(kExitBadInput, "unknown key " + Quote(key) + " (known keys: " + KnownKeyList() + ")");
}

}  // namespace qorvane::tool

#include "SettingsText.h"

#include <qorvane/Qorvane.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "FileFormat.h"
#include "Json.h"
#include "Messages.h"

namespace qorvane::tool {

namespace {

// The library's line tests, in the character set of the locale.
class LineTests : public CQorvane {
public:
    bool Invalid(const std::string& line) { return StrIsInvalid(line.c_str()) == 1; }
    bool Key(const std::string& line, std::string& key)
    {
        CString k;
        if (StrIsKey(line.c_str(), k) != 1) return false;
        key = k.str();
        return true;
    }
    bool Item(const std::string& line, std::string& name, std::string& value)
    {
        CString n;
        CString v;
        if (StrIsItem(line.c_str(), n, v) != 1) return false;
        name = n.str();
        value = v.str();
        return true;
    }
};

std::string KeyName(int index)
{
    CString name;
    CQorvane::Keys_ID2Name(kKeyIDs[index], name);
    return name.str();
}

int KnownKeyIndex(const std::string& key)
{
    for (int i = 0; i < 2; ++i) {
        if (KeyName(i) == key) return i;
    }
    return -1;
}

std::string Trimmed(std::string_view s)
{
    while (!s.empty() && IsBlankByte(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlankByte(s.back())) s.remove_suffix(1);
    return std::string(s);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

SettingsText ReadSettingsText(std::string_view content)
{
    SettingsText out;
    const std::size_t eot = content.find('\x1a');
    std::string_view text = content.substr(0, eot);
    if (eot != std::string_view::npos) out.tail = content.substr(eot);

    LineTests tests;
    std::size_t number = 0;
    while (!text.empty()) {
        TextLine line{};
        line.number = ++number;
        const std::size_t lf = text.find('\n');
        std::string_view raw = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        line.end = lf == std::string_view::npos ? TextLine::kNone : TextLine::kLf;
        if (line.end == TextLine::kLf && !raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
            line.end = TextLine::kCrLf;
        }
        line.text = raw;
        const std::string visible(raw.substr(0, raw.find('\0')));
        line.comment = tests.Invalid(visible);
        if (!line.comment) {
            std::string key;
            line.item = tests.Item(visible, line.name, line.value);
            line.header = tests.Key(visible, key);
            if (line.header && !line.item) line.name = key;
            // The search for a key's header takes the first line that reads
            // as it, an item line too.
            const int known = line.header ? KnownKeyIndex(key) : -1;
            if (known >= 0 && out.headerLine[known] == 0) out.headerLine[known] = line.number;
        }
        out.lines.push_back(std::move(line));
    }

    // Sections: from each known key's first header to the first later line
    // that is a header and not an item.
    for (int k = 0; k < 2; ++k) {
        if (out.headerLine[k] == 0) continue;
        for (std::size_t i = out.headerLine[k]; i < out.lines.size(); ++i) {
            TextLine& line = out.lines[i];
            if (line.header && !line.item) break;
            if (line.keyIndex < 0) line.keyIndex = k;
        }
    }
    return out;
}

std::vector<Finding> CheckSettingsText(std::string_view content)
{
    std::vector<Finding> found;
    const SettingsText text = ReadSettingsText(content);
    LineTests tests;

    std::size_t crlf = 0;
    std::size_t lf = 0;
    std::size_t firstOdd = 0;
    TextLine::End firstEnd = TextLine::kNone;
    std::unordered_map<std::string_view, std::size_t> seen[2];  // per key: item name -> line of its first item

    for (const TextLine& line : text.lines) {
        if (line.end != TextLine::kNone) {
            (line.end == TextLine::kCrLf ? crlf : lf) += 1;
            if (firstEnd == TextLine::kNone) firstEnd = line.end;
            if (line.end != firstEnd && firstOdd == 0) firstOdd = line.number;
        }
        if (line.text.find('\0') != std::string_view::npos) {
            found.push_back({line.number, "nul-byte", "line holds a NUL byte; readers see it only up to there"});
        }
        if (line.comment) continue;

        // Headers, wherever they are.
        std::string headerKey;
        const std::string visible(line.text.substr(0, line.text.find('\0')));
        if (line.header && tests.Key(visible, headerKey)) {
            const int known = KnownKeyIndex(headerKey);
            if (line.item) {
                std::string message = "item line " + Quote(line.text) + " also reads as the header of ";
                if (known >= 0) {
                    message += "key " + Quote(headerKey) +
                               (text.headerLine[known] == line.number
                                    ? "; readers take it for that key's header"
                                    : "; it can be taken for that key's header");
                } else {
                    message += Quote(headerKey) + "; it can end the section or be read as a header";
                }
                found.push_back({line.number, "item-reads-as-header", message});
            } else if (known >= 0 && text.headerLine[known] != line.number) {
                found.push_back({line.number, "second-section",
                                 "second section of key " + Quote(headerKey) + " (the first is at line " +
                                     std::to_string(text.headerLine[known]) + "); it is never read"});
            } else if (known < 0) {
                for (int k = 0; k < 2; ++k) {
                    if (EqualIgnoringCase(headerKey, KeyName(k))) {
                        found.push_back({line.number, "header-case",
                                         "header " + Quote(headerKey) + " differs from key " + Quote(KeyName(k)) +
                                             " only in letter case; readers of " + Quote(KeyName(k)) +
                                             " do not see it"});
                    }
                }
            }
            if (!line.item) {
                const std::size_t open = visible.find('[');
                const std::size_t close = visible.rfind(']');
                if (open != std::string::npos && close != std::string::npos && close > open) {
                    const std::string inside = visible.substr(open + 1, close - open - 1);
                    if (Trimmed(inside) != inside) {
                        found.push_back({line.number, "header-blanks",
                                         "header name " + Quote(inside) + " has blanks around it; it is read as " +
                                             Quote(headerKey)});
                    }
                }
            }
        }

        // Lines of a known key's section.
        if (line.keyIndex < 0 || line.number == text.headerLine[line.keyIndex]) continue;
        const std::string key = KeyName(line.keyIndex);
        if (line.item) {
            const auto [first, isFirst] = seen[line.keyIndex].try_emplace(line.name, line.number);
            if (!isFirst) {
                found.push_back({line.number, "duplicate-item",
                                 "second item " + Quote(line.name) + " in key " + Quote(key) +
                                     " (the first is at line " + std::to_string(first->second) +
                                     "); only the first is read"});
            }
            continue;
        }
        if (line.header) continue;
        const std::size_t eq = visible.find('=');
        std::string message;
        if (eq != std::string::npos && !Trimmed(visible.substr(0, eq)).empty()) {
            message = "item " + Quote(Trimmed(visible.substr(0, eq))) + " in key " + Quote(key) +
                      " has an empty value; it is not read back";
        } else if (eq != std::string::npos) {
            message = "line " + Quote(line.text) + " in key " + Quote(key) + " has no item name; it is not read";
        } else {
            message = "line " + Quote(line.text) + " in key " + Quote(key) +
                      " is neither an item, a comment nor a header; it is not read";
        }
        found.push_back({line.number, "unread-line", message});
    }

    if (crlf != 0 && lf != 0) {
        found.push_back({firstOdd, "mixed-line-ends",
                         "mixed line ends: " + std::to_string(crlf) + " lines end in CR LF, " + std::to_string(lf) +
                             " in LF alone; this is the first that differs from the ones before"});
    }
    if (text.tail.size() > 1) {
        found.push_back({text.lines.size() + (text.lines.empty() || text.lines.back().end != TextLine::kNone ? 1 : 0),
                         "after-end-mark",
                         std::to_string(text.tail.size() - 1) +
                             " bytes after the 0x1A end mark are never read"});
    }
    std::stable_sort(found.begin(), found.end(), [](const Finding& a, const Finding& b) { return a.line < b.line; });
    return found;
}

// "FILE:LINE: message" lines, or with json a JSON array of objects.
std::string FormatFindings(const std::string& file, const std::vector<Finding>& findings, bool json)
{
    std::string out;
    if (!json) {
        for (const Finding& f : findings) out += file + ":" + std::to_string(f.line) + ": " + f.message + "\n";
        return out;
    }
    out = "[";
    for (std::size_t i = 0; i < findings.size(); ++i) {
        out += i == 0 ? "{\"line\":" : ",{\"line\":";
        out += std::to_string(findings[i].line) + ",\"kind\":";
        AppendJsonString(out, findings[i].kind);
        out += ",\"message\":";
        AppendJsonText(out, findings[i].message);
        out += '}';
    }
    out += "]\n";
    return out;
}

}  // namespace qorvane::tool

namespace qorvane::tool {

namespace {

bool IsKnownKeyItem(const TextLine& line)
{
    return line.item && !line.header && line.keyIndex >= 0;
}

// An item line as the library writes it.
std::string ItemLineText(std::string_view name, std::string_view value)
{
    std::string text(name);
    text += " = ";
    text += value;
    text += ';';
    return text;
}

// The item lines of one known key, in file order, with each name's first
// line found by name.
struct KeyItemLines {
    std::vector<const TextLine*> lines;
    std::unordered_map<std::string_view, const TextLine*> first;
    std::unordered_map<std::string_view, std::size_t> count;

    KeyItemLines(const SettingsText& text, int keyIndex)
    {
        for (const TextLine& line : text.lines) {
            if (!IsKnownKeyItem(line) || line.keyIndex != keyIndex) continue;
            lines.push_back(&line);
            first.try_emplace(line.name, &line);
            ++count[line.name];
        }
    }
    const TextLine* First(std::string_view name) const
    {
        const auto it = first.find(name);
        return it == first.end() ? nullptr : it->second;
    }
};

}  // namespace

bool PlanItemChanges(std::string_view original, std::string_view edited, std::vector<KeyChanges>& plan)
{
    plan.clear();
    const SettingsText before = ReadSettingsText(original);
    const SettingsText after = ReadSettingsText(edited);

    // Everything but the item lines must be as it was, line ends included.
    auto skeleton = [](const SettingsText& text) {
        std::vector<std::pair<std::string_view, TextLine::End>> lines;
        for (const TextLine& line : text.lines) {
            if (!IsKnownKeyItem(line)) lines.emplace_back(line.text, line.end);
        }
        return lines;
    };
    if (before.tail != after.tail || skeleton(before) != skeleton(after)) return false;

    for (int k = 0; k < 2; ++k) {
        const KeyItemLines was(before, k);
        const KeyItemLines now(after, k);
        KeyChanges changes{k, {}, {}};
        // A name is set to the value of its first line now when that
        // differs from the value of its first line before, or it is new.
        std::unordered_map<std::string_view, std::string_view> sets;
        std::unordered_set<std::string_view> added;
        for (const TextLine* line : now.lines) {
            const TextLine* first = now.First(line->name);
            if (first != line) continue;  // each name once, at its first line
            const TextLine* old = was.First(line->name);
            if (old != nullptr && old->value == line->value) continue;
            changes.sets.emplace_back(line->name, line->value);
            sets.emplace(line->name, line->value);
            if (old == nullptr) added.insert(line->name);
        }
        std::unordered_set<std::string_view> removes;
        for (const TextLine* line : was.lines) {
            if (now.First(line->name) == nullptr && removes.insert(line->name).second) {
                changes.removes.push_back(line->name);
            }
        }
        // What the merge makes of the old item lines must be the new ones,
        // byte for byte, apart from where an added item stands. The merge
        // writes a set item as "name = value;" and keeps every other line as
        // it is, so a changed comment or spacing on an item line would be
        // lost without this.
        std::vector<std::pair<std::string_view, std::string>> merged;
        std::unordered_set<std::string_view> mergedNames;
        for (const TextLine* line : was.lines) {
            if (removes.count(line->name) != 0) continue;
            const auto set = sets.find(line->name);
            const bool first = mergedNames.insert(line->name).second;
            merged.emplace_back(line->name, set != sets.end() && first ? ItemLineText(line->name, set->second)
                                                                       : std::string(line->text));
        }
        auto it = merged.begin();
        for (const TextLine* line : now.lines) {
            if (added.count(line->name) != 0) continue;
            if (it == merged.end() || it->first != line->name || it->second != line->text) return false;
            ++it;
        }
        if (it != merged.end()) return false;
        for (const std::string_view name : added) {
            const TextLine* line = now.First(name);
            if (now.count.at(name) != 1 || line->text != ItemLineText(name, line->value)) return false;
        }
        if (!changes.sets.empty() || !changes.removes.empty()) plan.push_back(std::move(changes));
    }
    return !plan.empty();
}

}  // namespace qorvane::tool

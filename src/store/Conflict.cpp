#include "store/Conflict.h"

#include <cassert>
#include <unordered_map>

#include "format/Grammar.h"
#include "store/KeyText.h"

namespace qorvane::store {

namespace {

struct Value {
    bool there = false;
    std::string_view text;
};

bool Same(const Value& a, const Value& b) noexcept
{
    return a.there == b.there && (!a.there || a.text == b.text);
}

}  // namespace

std::vector<KeyConflict> FindConflicts(const format::CharScan& scan, std::string_view content, std::string_view key,
                                       const std::vector<ReadView>& read, const std::vector<KeyItem>& items,
                                       const std::vector<std::uint16_t>& states, const std::vector<CString>& removed)
{
    assert(items.size() == states.size());
    std::vector<KeyConflict> conflicts;
    if (read.empty()) return conflicts;

    // The file's value of each name read: its first item in the key's
    // section. One lookup per line, one per name: linear in the file and
    // the key.
    std::unordered_map<std::string_view, Value> inFile(read.size());
    for (const ReadView& r : read) inFile.emplace(r.name, Value{});
    std::size_t unseen = inFile.size();
    format::LineSplitter lines(format::SplitEndOfText(content).text);
    ScanKeyLines(scan, lines, key, [&](std::string_view name, std::string_view value) {
        if (unseen == 0) return;
        const auto it = inFile.find(name);
        if (it == inFile.end() || it->second.there) return;
        it->second = Value{true, value};
        --unseen;
    });
    // This object's value of each name: its first pending item, or absent
    // where the name is removed.
    std::unordered_map<std::string_view, Value> mineOf(read.size());
    for (std::size_t j = 0; j < items.size(); ++j) {
        const std::string_view name = items[j].strName.view();
        if (states[j] == 1 && inFile.count(name) != 0) mineOf.emplace(name, Value{true, items[j].strValue.view()});
    }
    for (const CString& r : removed) mineOf.erase(r.view());

    for (const ReadView& r : read) {
        const std::string_view name = r.name;
        const Value& file = inFile[name];
        const auto own = mineOf.find(name);
        const Value mine = own == mineOf.end() ? Value{} : own->second;
        // A file that already holds this object's value is a conflict
        // too: the value may be derived from the one read (a count plus
        // one), and another process that derived the same value from the
        // same read has made a change that this write would not add to.
        const Value wasRead{r.there, r.value};
        if (Same(file, wasRead)) continue;
        KeyConflict c;
        c.strName = CString(r.name);
        c.strRead = CString(r.value);
        c.bRead = r.there ? 1 : 0;
        c.bFile = file.there ? 1 : 0;
        c.strFile = CString(file.text);
        c.bMine = mine.there ? 1 : 0;
        c.strMine = CString(mine.text);
        conflicts.push_back(std::move(c));
    }
    return conflicts;
}

}  // namespace qorvane::store

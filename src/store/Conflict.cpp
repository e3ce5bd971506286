#include "store/Conflict.h"

#include <cassert>

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
                                       const std::vector<KeyConflict>& read, const std::vector<KeyItem>& items,
                                       const std::vector<std::uint16_t>& states, const std::vector<CString>& removed)
{
    assert(items.size() == states.size());
    std::vector<KeyConflict> conflicts;
    if (read.empty()) return conflicts;

    // The file's value of each name: its first item in the key's section.
    std::vector<Value> inFile(read.size());
    std::size_t unseen = read.size();
    format::LineSplitter lines(format::SplitEndOfText(content).text);
    ScanKeyLines(scan, lines, key, [&](std::string_view name, std::string_view value) {
        for (std::size_t i = 0; unseen != 0 && i < read.size(); ++i) {
            if (inFile[i].there || read[i].strName.view() != name) continue;
            inFile[i] = Value{true, value};
            --unseen;
            break;
        }
    });

    for (std::size_t i = 0; i < read.size(); ++i) {
        const CString& name = read[i].strName;
        Value mine;
        bool isRemoved = false;
        for (const CString& r : removed) isRemoved = isRemoved || r == name;
        for (std::size_t j = 0; !isRemoved && j < items.size(); ++j) {
            if (states[j] == 1 && items[j].strName == name) {
                mine = Value{true, items[j].strValue.view()};
                break;
            }
        }
        // A file that already holds this object's value is a conflict
        // too: the value may be derived from the one read (a count plus
        // one), and another process that derived the same value from the
        // same read has made a change that this write would not add to.
        const Value wasRead{read[i].bRead != 0, read[i].strRead.view()};
        if (Same(inFile[i], wasRead)) continue;
        KeyConflict c = read[i];
        c.bFile = inFile[i].there ? 1 : 0;
        c.strFile = CString(inFile[i].text);
        c.bMine = mine.there ? 1 : 0;
        c.strMine = CString(mine.text);
        conflicts.push_back(std::move(c));
    }
    return conflicts;
}

}  // namespace qorvane::store

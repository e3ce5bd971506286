// The index beside CQorvane's item list, so that GetItem, SetItem and
// RemoveItem cost the same in a key of a million items as in a key of ten.
//
// The list (m_arItems, m_arItemState) stays the one record of the items and
// their order; the index only finds positions in it:
//   - `first`: each name of the list -> the position of its first item,
//     the one GetItem and SetItem use;
//   - `later`: for a name that a key's section lists more than once, the
//     positions of its other items, which RemoveItem drops with the first;
//   - `dead`: items that RemoveItem dropped. They stay in the list as holes
//     until something needs positions to count from 0 without gaps
//     (GetItemAt, OpenKey, CloseKey), which closes them in one pass. So
//     removing every item of a key costs one pass, not one per item.
//   - `removed`: each name of m_arRemoved -> its position there.
// `first` and `later` are built from the list in one pass on the first
// lookup after the list was loaded or its holes closed, and kept up to date
// by SetItem and RemoveItem from then on.
#pragma once

#include <string_view>
#include <unordered_map>
#include <vector>

#include "qorvane/Qorvane.h"
#include "store/NameTable.h"

struct CQorvane::ItemIndex {
    qorvane::store::NameTable first;
    std::unordered_map<std::size_t, std::vector<std::size_t>> later;
    bool built = false;

    std::vector<bool> dead;  // empty while there are no holes
    std::size_t deadCount = 0;

    qorvane::store::NameTable removed;
    bool removedBuilt = false;

    // The position after the item GetItem or SetItem found last: where a
    // walk through the key in its order finds the next one.
    std::size_t next = 0;

    // The list changed wholesale: rebuilt on the next lookup.
    void Forget() noexcept
    {
        first.Clear();
        later.clear();
        built = false;
        removed.Clear();
        removedBuilt = false;
    }
};

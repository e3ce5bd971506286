#include "qorvane/Qorvane.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "format/Grammar.h"
#include "platform/LineReader.h"
#include "platform/Seam.h"
#include "platform/SettingsFile.h"
#include "store/Conflict.h"
#include "store/ItemIndex.h"
#include "store/KeyText.h"
#include "store/Retry.h"
#include "sync/SharedCounter.h"

namespace {

using qorvane::format::CharScan;

constexpr const char* kSettingsFileName = "QorRunningSet.Inf";

// CR, LF and 0x1A would split or end the line they are written into, and
// with it the file for every later reader.
bool HasLineBreakBytes(const char* text) noexcept
{
    return std::strpbrk(text, "\r\n\x1a") != nullptr;
}

// What SetItem must know of the bytes of an argument, in one pass: whether
// one of them breaks a line (CR, LF, EOF; the item would not be one line)
// and whether one is a '[' (then the line may read as a header).
enum : unsigned { kLineBreakByte = 1, kBracketByte = 2 };
unsigned SpecialBytes(const char* text) noexcept
{
    constexpr const char* kSpecial = "\r\n\x1a[";
    unsigned found = 0;
    for (const char* p = std::strpbrk(text, kSpecial); p != nullptr; p = std::strpbrk(p + 1, kSpecial)) {
        if (*p != '[') return found | kLineBreakByte;
        found |= kBracketByte;
    }
    return found;
}

// True when readers would take the line written for this item for a
// section header: it reads as a key line and either not as an item (it
// would end the open key's section and hide the items after it, "a[0] = ;")
// or names a key of the catalogue (the search for that key's header would
// stop at it and read this key's items as that key's). A header needs a
// '[', and the line adds none: callers ask only when the name or the value
// holds that byte (in any locale), and otherwise there is nothing to parse.
bool ReadsAsHeader(const char* name, const char* value)
{
    namespace format = qorvane::format;
    std::string line;
    format::AppendItemLine(line, name, value);
    const CharScan scan = CharScan::FromLocale();
    std::string_view key;
    if (format::ParseKey(scan, line, key) != format::KeyMatch::Key) return false;
    std::string_view itemName;
    std::string_view itemValue;
    return format::ParseItem(scan, line, itemName, itemValue) != format::ItemMatch::Item ||
           CQorvane::Keys_Name2ID(std::string(key).c_str()) != 0;
}

// Reads the section of `keyName` in the settings file at `path` as a
// reader: the counter's reader share and the file's lock are held while
// onItem(name, value) sees each item of the section. 1 found, 0 no such
// section (a missing file is created empty), -3 the counter turned the
// reader away, -4 the file cannot be opened, locked or read (`lockBusy`:
// another description holds its lock).
template <class OnItem>
int ReadSection(const std::string& path, const char* keyName, bool& lockBusy, OnItem&& onItem)
{
    using namespace qorvane;
    sync::ReaderShare reader;
    if (!reader.In()) return -3;
    seam::Reached(seam::Step::ReaderIn);
    platform::LockableFd fd;  // unlocked and closed before the reader leaves
    std::string opened;
    struct stat st {};
    if (const int err = platform::OpenLocked(path, {true, false}, fd, opened, st)) {
        lockBusy = err == EAGAIN;
        return -4;
    }
    reader.HeldFile();
    seam::Reached(seam::Step::ReaderLocked);
    platform::FileLineReader lines(fd.Get(), static_cast<std::size_t>(st.st_size));
    const bool found = store::ScanKeyLines(format::CharScan::FromLocale(), lines, keyName, onItem);
    if (lines.Error() != 0) return -4;
    return found ? 1 : 0;
}

}  // namespace

CQorvane::CQorvane() = default;

CQorvane::CQorvane(const char* path)
{
    SetInfPath(path);
}

CQorvane::~CQorvane()
{
    ClearKeyData();
}

void CQorvane::SetInfPath(const char* path)
{
    std::string dir(path != nullptr ? CharScan::FromLocale().Trim(path) : std::string_view());
    if (!dir.empty() && dir.back() != '/') dir += '/';
    m_strInfPath = std::move(dir);
}

void CQorvane::ClearKeyData()
{
    m_dwKeyID = 0;
    m_strKey.Empty();
    m_arItems.clear();
    m_bModified = 0;
    m_arItemState.clear();
    m_arRemoved.clear();
    m_arRead.clear();
    m_pReadText.reset();
    m_nReadRoom = 0;
    m_pIndex.reset();
}

CQorvane::ItemIndex& CQorvane::Index()
{
    if (!m_pIndex) m_pIndex = std::make_unique<ItemIndex>();
    ItemIndex& index = *m_pIndex;
    if (index.built) return index;
    CompactItems();
    index.first.Clear();  // what a build cut short by an exception left
    index.later.clear();
    auto nameAt = [this](std::size_t pos) { return m_arItems[pos].strName.view(); };
    index.first.Reserve(m_arItems.size(), nameAt);
    // The names are hashed a batch ahead and their slots asked for, so that
    // the cache misses of a large table overlap instead of coming one by one.
    constexpr std::size_t kAhead = 16;
    std::size_t hashes[kAhead];
    const std::size_t n = m_arItems.size();
    for (std::size_t base = 0; base < n; base += kAhead) {
        const std::size_t batch = std::min(kAhead, n - base);
        for (std::size_t k = 0; k < batch; ++k) {
            hashes[k] = qorvane::store::NameTable::Hash(m_arItems[base + k].strName.view());
            index.first.Prefetch(hashes[k]);
        }
        for (std::size_t k = 0; k < batch; ++k) {
            const std::size_t i = base + k;
            const std::size_t first = index.first.FindOrInsert(m_arItems[i].strName.view(), hashes[k], i, nameAt);
            if (first != qorvane::store::NameTable::npos) index.later[first].push_back(i);
        }
    }
    index.built = true;
    return index;
}

// Closes the holes that RemoveItem left, keeping the order. Positions
// change, so the name index is rebuilt on the next lookup.
void CQorvane::CompactItems() noexcept
{
    if (!m_pIndex || m_pIndex->deadCount == 0) return;
    ItemIndex& index = *m_pIndex;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_arItems.size(); ++i) {
        if (i < index.dead.size() && index.dead[i]) continue;
        if (kept != i) {
            m_arItems[kept] = std::move(m_arItems[i]);
            m_arItemState[kept] = m_arItemState[i];
        }
        ++kept;
    }
    m_arItems.resize(kept);
    m_arItemState.resize(kept);
    index.dead.clear();
    index.deadCount = 0;
    index.first.Clear();
    index.later.clear();
    index.built = false;
}

// The item after the one found last, if it is the first item named
// `name`: a caller that walks the key in its order finds each item there,
// next to the last in memory, without a lookup. Only while no two items
// share a name (then the one item of the name is its first); removed
// items do not count.
inline std::size_t CQorvane::NextInOrder(const ItemIndex& index, std::string_view name) const noexcept
{
    const std::size_t at = index.next;
    if (!index.later.empty() || at >= m_arItems.size()) return qorvane::store::NameTable::npos;
    if (at < index.dead.size() && index.dead[at]) return qorvane::store::NameTable::npos;
    return m_arItems[at].strName.view() == name ? at : qorvane::store::NameTable::npos;
}

int CQorvane::GetItemCount() const noexcept
{
    const std::size_t dead = m_pIndex ? m_pIndex->deadCount : 0;
    return static_cast<int>(m_arItems.size() - dead);
}

int CQorvane::GetItemAt(int index, CString& name, CString& value) const
{
    if (index < 0 || index >= GetItemCount()) return 0;
    // Closing the holes changes no item and no order: the list the caller
    // sees is the same.
    const_cast<CQorvane*>(this)->CompactItems();
    const KeyItem& item = m_arItems[static_cast<std::size_t>(index)];
    name = item.strName;
    value = item.strValue;
    return 1;
}

int CQorvane::GetItem(unsigned long keyID, const char* itemName, char* buffer, int bufferSize)
{
    if (itemName == nullptr || buffer == nullptr || bufferSize < 1) return -2;
    if (keyID != m_dwKeyID) return -1;
    const std::string_view name(itemName);
    ItemIndex& index = Index();
    std::size_t pos = NextInOrder(index, name);
    if (pos == qorvane::store::NameTable::npos) {
        pos = index.first.Find(name, qorvane::store::NameTable::Hash(name),
                               [this](std::size_t p) { return m_arItems[p].strName.view(); });
    }
    if (pos == qorvane::store::NameTable::npos) return 0;
    index.next = pos + 1;
    const KeyItem& item = m_arItems[pos];
    std::size_t n = item.strValue.str().size();
    if (n > static_cast<std::size_t>(bufferSize) - 1) n = static_cast<std::size_t>(bufferSize) - 1;
    std::memcpy(buffer, item.strValue.c_str(), n);
    buffer[n] = '\0';
    return 1;
}

int CQorvane::GetItem(const char* keyName, const char* itemName, char* buffer, int bufferSize)
{
    if (itemName == nullptr || buffer == nullptr || bufferSize < 1) return -2;
    return GetItem(Keys_Name2ID(keyName), itemName, buffer, bufferSize);
}

int CQorvane::SetItem(unsigned long keyID, const char* itemName, char* value)
{
    using qorvane::store::NameTable;
    if (itemName == nullptr || value == nullptr) return -2;
    const unsigned special = SpecialBytes(itemName) | SpecialBytes(value);
    if ((special & kLineBreakByte) != 0) return -2;
    if ((special & kBracketByte) != 0 && ReadsAsHeader(itemName, value)) return -2;
    if (keyID != m_dwKeyID) return -1;
    assert(m_arItems.size() == m_arItemState.size());
    ItemIndex& index = Index();
    auto nameAt = [this](std::size_t p) { return m_arItems[p].strName.view(); };
    const std::string_view name(itemName);
    std::size_t hash = 0;
    std::size_t pos = NextInOrder(index, name);
    if (pos == NameTable::npos) {
        hash = NameTable::Hash(name);
        // The new item's place is stored in the same probe that looks for
        // the name; the table compares only names already in the list.
        pos = index.first.FindOrInsert(name, hash, m_arItems.size(), nameAt);
    }
    if (pos != NameTable::npos) {
        index.next = pos + 1;
        KeyItem& item = m_arItems[pos];
        if (m_arItemState[pos] == 0) {
            // The new value is made before the note, so that a failure
            // changes nothing.
            CString fresh(value);
            NoteRead(&item, name);
            item.strValue = std::move(fresh);
        } else {
            item.strValue = value;
        }
        m_arItemState[pos] = 1;
        m_bModified = 1;
        return 1;
    }
    // A new name: it was read absent, unless it was removed since the open
    // (then its removal recorded what was read).
    const std::size_t notes = m_arRead.size();
    bool wasRemoved = false;
    try {
        wasRemoved = !m_arRemoved.empty() && IsRemoved(name, hash);
        if (!wasRemoved) NoteRead(nullptr, name);
        m_arItems.push_back(KeyItem{itemName, value});
        m_arItemState.push_back(1);
    } catch (...) {
        if (m_arItemState.size() < m_arItems.size()) m_arItems.pop_back();
        m_arRead.resize(notes);
        index.Forget();  // rebuilt from the list on the next lookup
        throw;
    }
    m_bModified = 1;
    // Setting a name again cancels its removal.
    if (wasRemoved) {
        auto removedAt = [this](std::size_t p) { return m_arRemoved[p].view(); };
        const std::size_t at = index.removed.Erase(name, hash, removedAt);
        const std::size_t last = m_arRemoved.size() - 1;
        if (at != last) {
            // The table finds the last name by its text at its old place.
            const std::string_view moved = m_arRemoved[last].view();
            index.removed.Move(moved, NameTable::Hash(moved), at, removedAt);
            m_arRemoved[at] = std::move(m_arRemoved[last]);
        }
        m_arRemoved.pop_back();
    }
    return 2;
}

int CQorvane::SetItem(const char* keyName, const char* itemName, char* value)
{
    if (itemName == nullptr || value == nullptr) return -2;
    return SetItem(Keys_Name2ID(keyName), itemName, value);
}

int CQorvane::RemoveItem(unsigned long keyID, const char* itemName)
{
    using qorvane::store::NameTable;
    if (itemName == nullptr) return -2;
    if (keyID != m_dwKeyID) return -1;
    assert(m_arItems.size() == m_arItemState.size());
    ItemIndex& index = Index();
    const std::string_view name(itemName);
    const std::size_t hash = NameTable::Hash(name);
    const std::size_t pos =
        index.first.Find(name, hash, [this](std::size_t p) { return m_arItems[p].strName.view(); });
    if (pos == NameTable::npos) return 0;
    // Everything that can fail comes before the first change.
    IsRemoved(name, hash);  // builds the table of removed names
    if (m_arRemoved.size() == m_arRemoved.capacity()) m_arRemoved.reserve(2 * m_arRemoved.size() + 1);
    auto removedAt = [this](std::size_t p) { return m_arRemoved[p].view(); };
    index.removed.Reserve(m_arRemoved.size() + 1, removedAt);
    if (index.dead.size() < m_arItems.size()) index.dead.resize(m_arItems.size(), false);
    CString removedName(name);
    // What was read of it, if the first item of the name is as read; the
    // last step that can fail.
    if (m_arItemState[pos] == 0) NoteRead(&m_arItems[pos], name);

    auto drop = [&](std::size_t p) {
        index.dead[p] = true;
        ++index.deadCount;
    };
    drop(pos);
    if (const auto it = index.later.find(pos); it != index.later.end()) {
        for (const std::size_t p : it->second) drop(p);
        index.later.erase(it);
    }
    index.first.Erase(name, hash, [this](std::size_t p) { return m_arItems[p].strName.view(); });
    m_arRemoved.push_back(std::move(removedName));
    index.removed.Insert(hash, m_arRemoved.size() - 1, removedAt);
    m_bModified = 1;
    return 1;
}

// Records what OpenKey read of an item at its first change: the item as
// read (its first item of the name, still unchanged), or nothing for a
// name the key did not have. Items changed with no key open are recorded
// by OpenKey, which is the first to know what the key holds.
void CQorvane::NoteRead(const KeyItem* readItem, std::string_view name)
{
    if (m_strKey.IsEmpty()) return;
    if (readItem == nullptr) return AddReadNote(name, nullptr);
    const std::string_view read = readItem->strValue.view();
    AddReadNote(name, &read);
}

// Appends a note, or changes nothing if it cannot.
void CQorvane::AddReadNote(std::string_view name, const std::string_view* read)
{
    // Grown by doubling from 16, here and in the text: changing every item
    // of a large key copies each note about once.
    if (m_arRead.size() == m_arRead.capacity()) m_arRead.reserve(std::max<std::size_t>(16, 2 * m_arRead.size()));
    ReadNote note;
    if (!m_arRead.empty()) {
        const ReadNote& last = m_arRead.back();
        note.nameAt = last.nameAt + last.nameSize + last.readSize;
    }
    note.nameSize = name.size();
    if (read != nullptr) {
        note.readSize = read->size();
        note.bRead = 1;
    }
    const std::size_t more = note.nameSize + note.readSize;
    if (m_nReadRoom - note.nameAt < more) GrowReadText(note.nameAt, more);  // changes nothing if it throws
    char* at = m_pReadText.get() + note.nameAt;
    if (note.nameSize != 0) std::memcpy(at, name.data(), note.nameSize);
    if (note.readSize != 0) std::memcpy(at + note.nameSize, read->data(), note.readSize);
    m_arRead.push_back(note);  // room reserved above
}

// Room for `more` bytes after the `used` ones of the read notes' text: at
// least twice the room there was.
void CQorvane::GrowReadText(std::size_t used, std::size_t more)
{
    const std::size_t room = std::max({2 * m_nReadRoom, used + more, std::size_t{1024}});
    std::unique_ptr<char[]> grown(new char[room]);
    if (used != 0) std::memcpy(grown.get(), m_pReadText.get(), used);
    m_pReadText = std::move(grown);
    m_nReadRoom = room;
}

bool CQorvane::IsRemoved(std::string_view name, std::size_t hash)
{
    if (m_arRemoved.empty() && !m_pIndex) return false;
    if (!m_pIndex) m_pIndex = std::make_unique<ItemIndex>();
    ItemIndex& index = *m_pIndex;
    auto removedAt = [this](std::size_t p) { return m_arRemoved[p].view(); };
    if (!index.removedBuilt) {
        index.removed.Clear();
        index.removed.Reserve(m_arRemoved.size(), removedAt);
        for (std::size_t i = 0; i < m_arRemoved.size(); ++i) {
            index.removed.Insert(qorvane::store::NameTable::Hash(m_arRemoved[i].view()), i, removedAt);
        }
        index.removedBuilt = true;
    }
    return index.removed.Find(name, hash, removedAt) != qorvane::store::NameTable::npos;
}

int CQorvane::RemoveItem(const char* keyName, const char* itemName)
{
    if (itemName == nullptr) return -2;
    return RemoveItem(Keys_Name2ID(keyName), itemName);
}

int CQorvane::OpenKey(const char* keyName)
{
    bool lockBusy = false;
    return OpenKeyImpl(keyName, lockBusy);
}

int CQorvane::CloseKey(int bClearOnFail)
{
    bool lockBusy = false;
    return CloseKeyImpl(bClearOnFail, lockBusy);
}

int CQorvane::OpenKeyWait(const char* keyName, int waitMs)
{
    // A failed open clears the object, but items stored for the next open
    // (SetItem or RemoveItem with no key open) must not be lost to a busy
    // try that is followed by another: they are put back before each retry,
    // and the last result leaves the object as the plain call would.
    CompactItems();
    const unsigned long savedID = m_dwKeyID;
    const std::vector<KeyItem> savedItems = m_arItems;
    const std::vector<std::uint16_t> savedStates = m_arItemState;
    const std::vector<CString> savedRemoved = m_arRemoved;
    const int savedModified = m_bModified;
    const int rc = qorvane::store::RetryWhileBusy(waitMs, qorvane::sync::LeaveWaiter::Role::Reader, [&](bool& busy) {
        bool lockBusy = false;
        const int result = OpenKeyImpl(keyName, lockBusy);
        busy = qorvane::store::ReadIsBusy(result, lockBusy);
        if (result == -4 && lockBusy) {
            m_dwKeyID = savedID;
            m_arItems = savedItems;
            m_arItemState = savedStates;
            m_arRemoved = savedRemoved;
            m_bModified = savedModified;
            m_pIndex.reset();
        }
        return result;
    });
    if (rc == -4) ClearKeyData();
    return rc;
}

int CQorvane::ReadKeyWait(const char* keyName, int waitMs, const ItemReader& onItem)
{
    if (keyName == nullptr || HasLineBreakBytes(keyName) || Keys_Name2ID(keyName) == 0 || !onItem) return -2;
    if (!m_strKey.IsEmpty() || !m_arItems.empty() || !m_arRemoved.empty()) return -1;
    const std::string path = m_strInfPath.str() + kSettingsFileName;
    return qorvane::store::RetryWhileBusy(waitMs, qorvane::sync::LeaveWaiter::Role::Reader, [&](bool& busy) {
        bool lockBusy = false;
        const int result = ReadSection(path, keyName, lockBusy, onItem);
        busy = qorvane::store::ReadIsBusy(result, lockBusy);
        return result;
    });
}

int CQorvane::CloseKeyWait(int bClearOnFail, int waitMs)
{
    return CloseKeyWaitImpl(bClearOnFail, waitMs, false);
}

int CQorvane::CloseKeyWaitImpl(int bClearOnFail, int waitMs, bool checked)
{
    const int rc = qorvane::store::RetryWhileBusy(waitMs, qorvane::sync::LeaveWaiter::Role::Writer, [&](bool& busy) {
        bool lockBusy = false;
        const int result = CloseKeyImpl(0, lockBusy, checked);
        busy = qorvane::store::WriteIsBusy(result, lockBusy);
        return result;
    });
    if (rc < 0 && bClearOnFail != 0) ClearKeyData();
    return rc;
}

int CQorvane::CloseKeyChecked(int bClearOnFail)
{
    bool lockBusy = false;
    return CloseKeyImpl(bClearOnFail, lockBusy, true);
}

int CQorvane::CloseKeyCheckedWait(int bClearOnFail, int waitMs)
{
    return CloseKeyWaitImpl(bClearOnFail, waitMs, true);
}

int CQorvane::GetConflictAt(int index, KeyConflict& conflict) const
{
    if (index < 0 || index >= GetConflictCount()) return 0;
    conflict = m_arConflicts[static_cast<std::size_t>(index)];
    return 1;
}

int CQorvane::ReopenKey()
{
    if (m_strKey.IsEmpty()) return -1;
    const CString key = m_strKey;
    ClearKeyData();
    return OpenKey(key.c_str());
}

int CQorvane::UpdateKey(const char* keyName, const std::function<int(CQorvane&)>& apply, int maxTries, int waitMs)
{
    if (!m_strKey.IsEmpty() || !m_arItems.empty() || !m_arRemoved.empty()) return -1;
    if (!apply) return -2;
    m_arConflicts.clear();
    // Drops the key's data on every way out, an exception from apply too.
    struct ClearOnExit {
        CQorvane& store;
        ~ClearOnExit() { store.ClearKeyData(); }
    } clear{*this};
    for (int tries = 1;; ++tries) {
        const int opened = OpenKeyWait(keyName, waitMs);
        if (opened == -2) return -2;
        if (opened < 0) return -3;
        if (apply(*this) == 0) return 0;
        const int closed = CloseKeyCheckedWait(1, waitMs);
        if (closed >= 0) return closed;
        if (closed != -5) return -4;
        if (tries >= maxTries) return -5;
    }
}

int CQorvane::OpenKeyImpl(const char* keyName, bool& lockBusy)
{
    using namespace qorvane;
    if (keyName == nullptr || HasLineBreakBytes(keyName)) return -2;
    if (!m_strKey.IsEmpty()) return m_strKey == keyName ? 1 : -1;
    m_dwKeyID = Keys_Name2ID(keyName);
    if (m_dwKeyID == 0) return -2;

    // Items go into the list while the file is read (the section search
    // stops reading at the end of the key's section), after any items set
    // before the open; a failure takes them out again.
    CompactItems();
    if (m_pIndex) m_pIndex->Forget();
    struct TakeBackOnFailure {
        CQorvane& self;
        std::size_t size;
        bool kept = false;
        ~TakeBackOnFailure()
        {
            if (kept || self.m_arItems.size() < size) return;  // kept, or cleared
            self.m_arItems.resize(size);
            self.m_arItemState.resize(size);
        }
    } loaded{*this, m_arItems.size()};
    // Items set or removed before the open (with no key open) are read now:
    // what the file holds of their names is what a checked close compares
    // with. The first item of each name counts.
    // `stored` holds each such name once, in order; `storedAt` finds it by
    // a view of that name, which stays put while the list grows.
    struct StoredNote {
        CString strName;
        CString strRead;
        int bRead = 0;
    };
    std::vector<StoredNote> stored;
    std::unordered_map<std::string_view, std::size_t> storedAt;
    if (!m_arItems.empty() || !m_arRemoved.empty()) {
        std::unordered_set<std::string_view> seen;  // views of the names in the list, unchanged here
        const auto noteStored = [&](std::string_view name) {
            if (!seen.insert(name).second) return;
            StoredNote read;
            read.strName = CString(name);
            stored.push_back(std::move(read));
        };
        for (const KeyItem& item : m_arItems) noteStored(item.strName.view());
        for (const CString& name : m_arRemoved) noteStored(name.view());
        for (std::size_t i = 0; i < stored.size(); ++i) storedAt.emplace(stored[i].strName.view(), i);
    }
    const bool anyRemoved = !m_arRemoved.empty();
    const int found = ReadSection(m_strInfPath.str() + kSettingsFileName, keyName, lockBusy,
                                  [&](std::string_view name, std::string_view value) {
                                      if (!storedAt.empty()) {
                                          const auto it = storedAt.find(name);
                                          if (it != storedAt.end() && stored[it->second].bRead == 0) {
                                              stored[it->second].strRead = CString(value);
                                              stored[it->second].bRead = 1;
                                          }
                                      }
                                      if (anyRemoved && IsRemoved(name, store::NameTable::Hash(name))) return;  // removed before the open
                                      m_arItems.push_back(KeyItem{CString(name), CString(value)});
                                      m_arItemState.push_back(0);
                                  });
    if (found == -3) return -3;
    if (found == -4) {
        ClearKeyData();
        return -4;
    }
    const std::size_t notes = m_arRead.size();
    try {
        for (const StoredNote& read : stored) {
            const std::string_view value = read.strRead.view();
            AddReadNote(read.strName.view(), read.bRead != 0 ? &value : nullptr);
        }
    } catch (...) {
        m_arRead.resize(notes);  // their text goes with them
        throw;
    }
    loaded.kept = true;
    m_strKey = keyName;
    return found;
}

int CQorvane::CloseKeyImpl(int bClearOnFail, bool& lockBusy, bool checked)
{
    using namespace qorvane;
    if (checked) m_arConflicts.clear();
    if (m_strKey.IsEmpty()) return 0;
    if (m_bModified == 0) {
        ClearKeyData();
        return 1;
    }
    // The old file is closed after the writer has left: once it is
    // replaced nobody can reach it by its name, and its last close, which
    // frees its blocks (0.1 ms for a small file, more for a large one), need
    // not keep the next writer waiting. Any other path closes it before
    // leaving: then the file is still the settings file and its lock counts.
    platform::LockableFd fd;
    auto fail = [&](int result) {
        if (bClearOnFail != 0) ClearKeyData();
        return result;
    };

    {
        sync::WriterShare writer;
        if (!writer.In()) return fail(-1);
        seam::Reached(seam::Step::WriterIn);
        // Destroyed before the writer leaves: closes the file on every path
        // but the one that replaced it, exceptions included.
        struct CloseUnlessReplaced {
            platform::LockableFd& fd;
            bool replaced = false;
            ~CloseUnlessReplaced()
            {
                if (!replaced) fd.Reset();
            }
        } keep{fd};

        std::string resolved;
        struct stat st {};
        const std::string path = m_strInfPath.str() + kSettingsFileName;
        if (const int err = platform::OpenLocked(path, {false, true}, fd, resolved, st)) {
            lockBusy = err == EAGAIN;
            return fail(-2);
        }
        seam::Reached(seam::Step::Locked);

        platform::BufferLease lease;
        platform::ByteBuffer& content = lease.Get();
        if (platform::sys::ReadAll(fd.Get(), static_cast<std::size_t>(st.st_size), content) != 0) {
            return fail(-3);
        }
        CompactItems();
        assert(m_arItems.size() == m_arItemState.size());
        if (checked) {
            std::vector<store::ReadView> read;
            read.reserve(m_arRead.size());
            const char* text = m_pReadText.get();
            for (const ReadNote& r : m_arRead) {
                read.push_back({std::string_view(text + r.nameAt, r.nameSize),
                                std::string_view(text + r.nameAt + r.nameSize, r.readSize), r.bRead != 0});
            }
            m_arConflicts = store::FindConflicts(format::CharScan::FromLocale(), content.View(), m_strKey.view(),
                                                 read, m_arItems, m_arItemState, m_arRemoved);
            if (!m_arConflicts.empty()) return fail(-5);
        }
        // A built index without later items of a name: no two items share
        // one (SetItem adds no name the list has; holes were closed above,
        // which drops the index).
        const bool distinct = m_pIndex && m_pIndex->built && m_pIndex->later.empty();
        const store::MergedText merged =
            store::MergeKey(format::CharScan::FromLocale(), content.View(), m_strKey.view(), m_arItems,
                            m_arItemState, m_arRemoved, store::MergeWalk::Spans, distinct);
        seam::Reached(seam::Step::FileRead);
        if (platform::ReplaceFile(resolved, fd.Get(), st, merged.Spans()) != 0) return fail(-3);
        keep.replaced = true;
        seam::Reached(seam::Step::BeforeLeave);
    }  // the writer's weight goes here
    fd.Reset();  // unlocks and closes the replaced file

    ClearKeyData();
    return 1;
}

int CQorvane::CheckAccessCounter(CString& problem)
{
    const qorvane::sync::CounterProblem found = qorvane::sync::CheckSharedCounter();
    switch (found.state) {
    case qorvane::sync::CounterState::Usable: return 1;
    case qorvane::sync::CounterState::Wrong: problem = CString(found.message); return -1;
    case qorvane::sync::CounterState::Unavailable: break;
    }
    problem = CString(found.message);
    return -2;
}

int CQorvane::StrIsEmpty(const char* line)
{
    return qorvane::format::IsEmptyLine(CharScan::FromLocale(), line) ? 1 : 0;
}

int CQorvane::StrIsAnnotate(const char* line)
{
    return qorvane::format::IsAnnotateLine(CharScan::FromLocale(), line) ? 1 : 0;
}

int CQorvane::StrIsInvalid(const char* line)
{
    return qorvane::format::IsInvalidLine(CharScan::FromLocale(), line) ? 1 : 0;
}

int CQorvane::StrIsKey(const char* line, CString& key)
{
    std::string_view found;
    switch (qorvane::format::ParseKey(CharScan::FromLocale(), line, found)) {
    case qorvane::format::KeyMatch::NoKey: return 0;
    case qorvane::format::KeyMatch::BlankKey: key.Empty(); return 0;
    case qorvane::format::KeyMatch::Key: key = CString(found); return 1;
    }
    return 0;
}

int CQorvane::StrIsItem(const char* line, CString& name, CString& value)
{
    std::string_view n;
    std::string_view v;
    switch (qorvane::format::ParseItem(CharScan::FromLocale(), line, n, v)) {
    case qorvane::format::ItemMatch::NoEquals: return 0;
    case qorvane::format::ItemMatch::BlankName: name.Empty(); return 0;
    case qorvane::format::ItemMatch::BlankValue:
        name.Empty();
        value.Empty();
        return 0;
    case qorvane::format::ItemMatch::Item:
        name = CString(n);
        value = CString(v);
        return 1;
    }
    return 0;
}

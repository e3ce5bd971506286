#include "qorvane/Qorvane.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <string>

#include "format/Grammar.h"
#include "platform/LineReader.h"
#include "platform/Seam.h"
#include "platform/SettingsFile.h"
#include "store/Conflict.h"
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

// True when readers would take the line written for this item for a
// section header: it reads as a key line and either not as an item (it
// would end the open key's section and hide the items after it, "a[0] = ;")
// or names a key of the catalogue (the search for that key's header would
// stop at it and read this key's items as that key's).
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
}

int CQorvane::GetItemAt(int index, CString& name, CString& value) const
{
    if (index < 0 || index >= GetItemCount()) return 0;
    const KeyItem& item = m_arItems[static_cast<std::size_t>(index)];
    name = item.strName;
    value = item.strValue;
    return 1;
}

int CQorvane::GetItem(unsigned long keyID, const char* itemName, char* buffer, int bufferSize)
{
    if (itemName == nullptr || buffer == nullptr || bufferSize < 1) return -2;
    if (keyID != m_dwKeyID) return -1;
    for (const KeyItem& item : m_arItems) {
        if (item.strName != itemName) continue;
        std::size_t n = item.strValue.str().size();
        if (n > static_cast<std::size_t>(bufferSize) - 1) n = static_cast<std::size_t>(bufferSize) - 1;
        std::memcpy(buffer, item.strValue.c_str(), n);
        buffer[n] = '\0';
        return 1;
    }
    return 0;
}

int CQorvane::GetItem(const char* keyName, const char* itemName, char* buffer, int bufferSize)
{
    if (itemName == nullptr || buffer == nullptr || bufferSize < 1) return -2;
    return GetItem(Keys_Name2ID(keyName), itemName, buffer, bufferSize);
}

int CQorvane::SetItem(unsigned long keyID, const char* itemName, char* value)
{
    if (itemName == nullptr || value == nullptr) return -2;
    if (HasLineBreakBytes(itemName) || HasLineBreakBytes(value)) return -2;
    if (ReadsAsHeader(itemName, value)) return -2;
    if (keyID != m_dwKeyID) return -1;
    assert(m_arItems.size() == m_arItemState.size());
    for (std::size_t i = 0; i < m_arItems.size(); ++i) {
        if (m_arItems[i].strName != itemName) continue;
        if (m_arItemState[i] == 0) NoteRead(&m_arItems[i], itemName);
        m_arItems[i].strValue = value;
        m_arItemState[i] = 1;
        m_bModified = 1;
        return 1;
    }
    m_arItems.push_back(KeyItem{itemName, value});
    m_arItemState.push_back(1);
    m_bModified = 1;
    // Setting a name again cancels its removal.
    bool wasRemoved = false;
    for (auto it = m_arRemoved.begin(); it != m_arRemoved.end(); ++it) {
        if (*it == itemName) {
            m_arRemoved.erase(it);
            wasRemoved = true;
            break;
        }
    }
    if (!wasRemoved) NoteRead(nullptr, itemName);
    return 2;
}

int CQorvane::SetItem(const char* keyName, const char* itemName, char* value)
{
    if (itemName == nullptr || value == nullptr) return -2;
    return SetItem(Keys_Name2ID(keyName), itemName, value);
}

int CQorvane::RemoveItem(unsigned long keyID, const char* itemName)
{
    if (itemName == nullptr) return -2;
    if (keyID != m_dwKeyID) return -1;
    assert(m_arItems.size() == m_arItemState.size());
    for (std::size_t i = 0; i < m_arItems.size(); ++i) {
        if (m_arItems[i].strName != itemName) continue;
        if (m_arItemState[i] == 0) NoteRead(&m_arItems[i], itemName);
        break;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_arItems.size(); ++i) {
        if (m_arItems[i].strName == itemName) continue;
        if (kept != i) {
            m_arItems[kept] = std::move(m_arItems[i]);
            m_arItemState[kept] = m_arItemState[i];
        }
        ++kept;
    }
    if (kept == m_arItems.size()) return 0;
    m_arItems.resize(kept);
    m_arItemState.resize(kept);
    m_arRemoved.emplace_back(itemName);
    m_bModified = 1;
    return 1;
}

// Records what OpenKey read of an item at its first change: the item as
// read (its first item of the name, still unchanged), or nothing for a
// name the key did not have. Items changed with no key open are recorded
// by OpenKey, which is the first to know what the key holds.
void CQorvane::NoteRead(const KeyItem* readItem, const char* itemName)
{
    if (m_strKey.IsEmpty()) return;
    KeyConflict read;
    read.strName = itemName;
    if (readItem != nullptr) {
        read.strRead = readItem->strValue;
        read.bRead = 1;
    }
    m_arRead.push_back(std::move(read));
}

bool CQorvane::IsRemoved(const CString& name) const
{
    for (const CString& removed : m_arRemoved) {
        if (removed == name) return true;
    }
    return false;
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
    const unsigned long savedID = m_dwKeyID;
    const std::vector<KeyItem> savedItems = m_arItems;
    const std::vector<std::uint16_t> savedStates = m_arItemState;
    const std::vector<CString> savedRemoved = m_arRemoved;
    const int savedModified = m_bModified;
    const int rc = qorvane::store::RetryWhileBusy(waitMs, qorvane::sync::LeaveWaiter::Role::Reader, [&](bool& busy) {
        bool lockBusy = false;
        const int result = OpenKeyImpl(keyName, lockBusy);
        busy = (result == -3 && !qorvane::sync::CounterIsWrong()) || (result == -4 && lockBusy);
        if (result == -4 && lockBusy) {
            m_dwKeyID = savedID;
            m_arItems = savedItems;
            m_arItemState = savedStates;
            m_arRemoved = savedRemoved;
            m_bModified = savedModified;
        }
        return result;
    });
    if (rc == -4) ClearKeyData();
    return rc;
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
        busy = (result == -1 && !qorvane::sync::CounterIsWrong()) || (result == -2 && lockBusy);
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

    // Items are collected while the file is read: the section search stops
    // reading at the end of the key's section.
    std::vector<KeyItem> found;
    bool hasSection = false;
    {
        sync::ReaderShare reader;
        if (!reader.In()) return -3;
        seam::Reached(seam::Step::ReaderIn);
        platform::LockableFd fd;
        std::string opened;
        struct stat st {};
        const std::string path = m_strInfPath.str() + kSettingsFileName;
        if (const int err = platform::OpenLocked(path, {true, false}, fd, opened, st)) {
            lockBusy = err == EAGAIN;
            ClearKeyData();
            return -4;
        }
        reader.HeldFile();
        seam::Reached(seam::Step::ReaderLocked);
        platform::FileLineReader lines(fd.Get(), static_cast<std::size_t>(st.st_size));
        hasSection = store::ScanKeyLines(format::CharScan::FromLocale(), lines, keyName,
                                         [&](std::string_view name, std::string_view value) {
                                             found.push_back(KeyItem{CString(name), CString(value)});
                                         });
        if (lines.Error() != 0) {
            ClearKeyData();
            return -4;
        }
    }  // the file's lock and the reader's weight go here

    // Items set or removed before the open were read now.
    auto noteStored = [&](const CString& name) {
        KeyConflict read;
        read.strName = name;
        for (const KeyItem& item : found) {
            if (item.strName != name) continue;
            read.strRead = item.strValue;
            read.bRead = 1;
            break;
        }
        m_arRead.push_back(std::move(read));
    };
    for (const KeyItem& item : m_arItems) noteStored(item.strName);
    for (const CString& name : m_arRemoved) noteStored(name);

    m_arItems.reserve(m_arItems.size() + found.size());
    for (KeyItem& item : found) {
        if (IsRemoved(item.strName)) continue;  // removed before the open
        m_arItems.push_back(std::move(item));
        m_arItemState.push_back(0);
    }
    m_strKey = keyName;
    return hasSection ? 1 : 0;
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
        assert(m_arItems.size() == m_arItemState.size());
        if (checked) {
            m_arConflicts = store::FindConflicts(format::CharScan::FromLocale(), content.View(), m_strKey.view(),
                                                 m_arRead, m_arItems, m_arItemState, m_arRemoved);
            if (!m_arConflicts.empty()) return fail(-5);
        }
        const store::MergedText merged = store::MergeKey(format::CharScan::FromLocale(), content.View(),
                                                         m_strKey.view(), m_arItems, m_arItemState, m_arRemoved);
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

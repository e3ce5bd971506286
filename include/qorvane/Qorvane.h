// CQorvane: read and change one key of the shared settings file.
//
// The settings file "QorRunningSet.Inf" lives in a directory that the client
// names. It is a text file of keys (sections), each headed by "[Name]" and
// holding items written "name = value;", with ';' comments. Many processes
// read and rewrite it at once.
//
// Calling sequence:
//   CQorvane store("/etc/myapp");          // or SetInfPath() later
//   store.OpenKey("PrinterSet");           // read the key's items
//   store.GetItem(KEYID_PRINTERSET, ...);  // in memory only
//   store.SetItem(KEYID_PRINTERSET, ...);  // in memory only, marks pending
//   store.CloseKey(0);                     // merge pending items, rewrite
//
// What is held when: the file and the machine-wide access counter are held
// only inside OpenKey and CloseKey. Between them nothing is held, so other
// processes may rewrite the file; CloseKey re-reads the file and merges only
// the items this object set, so their changes to other items survive.
//
// What a concurrent reader sees: the file is replaced atomically (temporary
// file, fsync, rename), so a reader sees the old content or the new content,
// never a mix, even if the writer is killed.
//
// Threads: an object is used by one thread at a time. Different objects may
// be used from different threads and processes at once.
//
// fork(): a child may fork at any time, also while another thread is inside
// OpenKey or CloseKey, and need not exec. The library's descriptors that
// carry locks are registered with a pthread_atfork child handler that drops
// the child's references to them, and every lock is released explicitly
// before its descriptor is closed, so a child never keeps the settings file
// locked or the counter's crash recovery blocked. The child may use the
// library itself right away.
//
// Other users: whoever may write the settings directory may replace the
// settings file (that is what a writable directory means). The library
// follows a symbolic link at the settings name only when the link belongs
// to this process's effective user, to root, or to the directory's owner
// (OpenKey -4, CloseKey -2 otherwise), and a replace keeps the file's
// owner, group, mode and access ACL where the process may set them; where
// it could keep neither owner nor group and the other users' bits do not
// already grant what owner and group had, it refuses (CloseKey -3) rather
// than change who may use the file. See the README for setting up a
// directory shared by a group.
//
// Errors are reported through int results (listed per operation); bad input
// never crashes. Allocation failure propagates as std::bad_alloc after every
// lock and counter weight has been released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "Object.h"
#include "String.h"
#include "export.h"

// Catalogue IDs of the keys the library knows; 0 means "no key".
constexpr unsigned long KEYID_PRINTERSET = 0x1001;  // "PrinterSet"
constexpr unsigned long KEYID_HOTKEYSET = 0x1002;   // "HotKeySet"

// One item of the open key, stored exactly as parsed or as set.
struct KeyItem {
    CString strName;
    CString strValue;
};

// An item that another process changed between OpenKey and a checked close
// (CloseKeyChecked) while this object set or removed it. A value is "there"
// (flag 1) or absent (flag 0, its string empty); values are as GetItem
// returns them: the first item of the name in the key's section.
struct KeyConflict {
    CString strName;
    CString strRead;   // what this object read at OpenKey
    CString strFile;   // what the file holds at the close
    CString strMine;   // what this object would write
    int bRead = 0;
    int bFile = 0;
    int bMine = 0;     // 0: this object removes the item
};

class QORVANE_API CQorvane : public CObject {
public:
    CQorvane();
    // Same as the default constructor followed by SetInfPath(path).
    explicit CQorvane(const char* path);
    // Discards unsaved changes; never writes the file or touches the counter.
    ~CQorvane() override;

    CQorvane(const CQorvane&) = delete;
    CQorvane& operator=(const CQorvane&) = delete;

    // Stores the settings directory: trimmed of white space, with "/"
    // appended unless empty or already ending in "/". Null or blank stores an
    // empty path (the file is then looked up in the current directory). The
    // directory need not exist.
    void SetInfPath(const char* path);

    // Opens a key and loads its items. Holds the counter as a reader and a
    // write lock on the file only during the call; never waits for either.
    //   1  the key's section was found and its items loaded, or this key was
    //      already open (nothing is reloaded)
    //   0  the file has no such section; the key is open with no file items
    //      (the file is created empty if missing)
    //  -1  another key is open on this object
    //  -2  keyName is null, contains CR, LF or 0x1A, or is not in the
    //      catalogue; nothing changes
    //  -3  a writer holds or awaits the file, or the machine-wide access
    //      counter cannot be used (CheckAccessCounter says why; returned at
    //      once, without waiting); no key is open, but GetKeyID() keeps the
    //      key's ID, so SetItem with that ID stores items for the next open
    //  -4  the file cannot be opened, created or read, another open holds
    //      its lock (a concurrent read), or the settings name is a symbolic
    //      link owned by another user; no key is open
    int OpenKey(const char* keyName);

    // Closes the open key, merging pending items into the file as it stands
    // now and replacing the file atomically. Waits for another writer and
    // for readers to leave at most five 10 ms pauses' worth in all; never
    // waits for a file lock.
    //   1  closed: changes written, or nothing to write (file not touched)
    //   0  no key is open
    //  -1  the writer gave up waiting for readers or another writer (at
    //      most 50 ms after it began waiting), or the access counter cannot
    //      be used (see CheckAccessCounter; at once)
    //  -2  the file cannot be opened (missing, no permission), another
    //      program holds a write lock on it (a read lock does not keep the
    //      close out), or the settings name is a symbolic link owned by
    //      another user; nothing is written
    //  -3  reading or writing failed (disk full, I/O error), or the replace
    //      would change who may use the file (see "Other users" above); the
    //      file holds its old content unless the failure came after the
    //      replace (then the new content, not known to be durable)
    // On -1, -2 and -3 the key stays open with its changes if bClearOnFail
    // is 0, and is closed with its changes dropped otherwise.
    int CloseKey(int bClearOnFail);

    // OpenKey and CloseKey, retrying busy results until about waitMs
    // milliseconds have passed (0 or less: one try, as the plain call).
    // Between tries the caller sleeps until the holder that turned it away
    // leaves (a leave of the library wakes it within microseconds), but
    // never longer than a random 5-25 ms, so that a holder that wakes
    // nobody (another program's lock) is looked at again. While a writer
    // waits for readers to leave, OpenKeyWait does not enter (its tries get
    // -3), and a writer first lets in the readers that were already
    // waiting, so neither side keeps the other out for long (README,
    // "Locking protocol"). Busy is OpenKey -3, and -4 when another open holds
    // the file's lock; CloseKey -1, and -2 when another program holds the
    // file's lock. Every other result returns at once, and so does -3 or
    // -1 from an access counter that cannot serve this process
    // (CheckAccessCounter -1), which waiting would not mend. The results and the
    // state afterwards are those of the plain call that was tried last;
    // CloseKeyWait keeps the changes between tries whatever bClearOnFail
    // says and drops them, if bClearOnFail != 0, only when it gives up.
    // Sleeps in the calling thread; holds nothing while it pauses.
    int OpenKeyWait(const char* keyName, int waitMs);
    int CloseKeyWait(int bClearOnFail, int waitMs);

    // CloseKey that does not overwrite another process's change. Before it
    // writes, it compares, in the same writer entry and under the same file
    // lock as the write, each item this object set or removed with the
    // file as it stands now. The item is a conflict when the file's value
    // (present or absent) differs from what this object read at OpenKey:
    // another process changed it, and writing would lose that change. That
    // holds also when the file already has this object's value, since a
    // value worked out from the one read (a count plus one) may have been
    // worked out by the other process from the same read; the conflict's
    // strFile then equals its strMine. Items this object never touched are
    // never conflicts; an item set or removed before OpenKey (with no key
    // open) counts as read with the value OpenKey found, or absent.
    //   1, 0, -1, -2, -3  as CloseKey
    //  -5  conflicts: nothing is written; GetConflictCount and
    //      GetConflictAt list them; the key stays open with its changes if
    //      bClearOnFail is 0 (CloseKey then writes them anyway, ReopenKey
    //      drops them and reads the file again), and is closed with its
    //      changes dropped otherwise
    // Readers wait no longer for it than for CloseKey.
    int CloseKeyChecked(int bClearOnFail);
    // CloseKeyChecked retrying busy results as CloseKeyWait does; -5
    // returns at once.
    int CloseKeyCheckedWait(int bClearOnFail, int waitMs);

    // The conflicts that the last CloseKeyChecked, CloseKeyCheckedWait or
    // UpdateKey found (none after one that found none); ClearKeyData and
    // the other calls leave them. GetConflictAt gives 1 and the conflict at
    // index, or 0 if index is out of range.
    int GetConflictCount() const noexcept { return static_cast<int>(m_arConflicts.size()); }
    int GetConflictAt(int index, KeyConflict& conflict) const;

    // Drops the open key's changes and opens the key again, reading the
    // file as it stands now: after a conflict, to apply a change again on
    // the current values. Results as OpenKey (1, 0, -3, -4; the key is then
    // as OpenKey leaves it), or -1 if no key is open (nothing changes).
    int ReopenKey();

    // Read-modify-write of one key in a loop: OpenKeyWait(keyName,
    // waitMs), then apply(*this), which reads and changes the open key's
    // items (GetItem, SetItem, RemoveItem; it must not open or close keys),
    // then CloseKeyCheckedWait. On a conflict the changes are dropped and
    // the loop starts over on the file's current values, up to maxTries
    // tries in all (at least one). The object must hold nothing: no key
    // open and no item stored for the next open.
    //   1  written (or apply changed nothing: the file is not touched)
    //   0  apply returned 0: nothing written
    //  -1  the object has a key open or items stored: nothing changes
    //  -2  keyName is refused by OpenKey (-2), or apply is empty
    //  -3  the open failed: OpenKeyWait's -3 or -4 (busy for the whole
    //      wait, access counter unusable, file cannot be opened or read)
    //  -4  the close failed: CloseKeyCheckedWait's -1, -2 or -3
    //  -5  every try met a conflict: nothing written; GetConflictAt lists
    //      those of the last try
    // Afterwards no key is open. An exception from apply goes to the
    // caller with the key closed and its changes dropped.
    int UpdateKey(const char* keyName, const std::function<int(CQorvane&)>& apply, int maxTries, int waitMs);

    // Reads a key's section without loading it: onItem(name, value) for
    // each item, in file order and duplicates included, as OpenKey would
    // load them, with no item list built. For reading a large key once
    // (listing it). Holds the counter as a reader and the file's lock while
    // it reads, as OpenKey does, and retries busy results as OpenKeyWait
    // does (waitMs; 0 or less: one try). onItem runs while they are held:
    // it should only copy what it is given, and must not call the library.
    // The views are valid during the call only. The object must hold
    // nothing (no key open, no item stored for the next open); it holds
    // nothing afterwards either.
    //   1, 0, -2, -3, -4  as OpenKeyWait (0: no such section; a missing
    //      file is created empty). A -4 from a read error may come after
    //      some items were passed: drop them.
    //  -1  the object has a key open or items stored: nothing is read
    using ItemReader = std::function<void(std::string_view name, std::string_view value)>;
    int ReadKeyWait(const char* keyName, int waitMs, const ItemReader& onItem);

    // Copies the value of the first item named itemName of the open key into
    // buffer, cut to bufferSize - 1 bytes and zero-terminated.
    //   1 found, 0 no such item (buffer untouched), -1 keyID is not the open
    //   key's, -2 null itemName or buffer, or bufferSize < 1 (nothing written)
    int GetItem(unsigned long keyID, const char* itemName, char* buffer, int bufferSize);
    int GetItem(const char* keyName, const char* itemName, char* buffer, int bufferSize);

    // Sets the first item named itemName (1) or adds a new item (2), in
    // memory; CloseKey writes it. -1 keyID is not the open key's; -2 null
    // itemName or value, or either contains CR, LF or 0x1A, or the line
    // "name = value;" would read as a section header (it reads as a key line
    // and not as an item, or it names a catalogue key): nothing changes.
    // With no key open the ID is 0: an item set under ID 0 waits in memory
    // and is written into the key that is opened next.
    int SetItem(unsigned long keyID, const char* itemName, char* value);
    int SetItem(const char* keyName, const char* itemName, char* value);

    // Checks the machine-wide access counter (the shared-memory object and
    // its segment), creating it when missing.
    //   1  usable
    //  -1  it cannot serve this process, and retrying will not help: another
    //      user created it with a mode that shuts this process out, it is
    //      not a shared-memory object, or its segment does not match it;
    //      `problem` says in one line which object and what is wrong
    //      (owner, group, mode, size)
    //  -2  it cannot be opened right now (descriptor limit, no memory);
    //      `problem` says why
    // OpenKey and CloseKey make the same check and fail at once (-3, -1)
    // when it is not 1. Waits only while another process is making or
    // replacing the counter's segment (microseconds as a rule, 25 ms at
    // most); thread-safe.
    static int CheckAccessCounter(CString& problem);

    // Removes every item named itemName from the open key, in memory, and
    // marks the name for removal; CloseKey then drops every line of that
    // name from the key's section (the first section headed by the key) as
    // the file stands at close, also lines that another process added after
    // OpenKey, and keeps every other line. The key's header stays even when
    // its last item goes. GetItem no longer finds the item; a later SetItem
    // of the name before CloseKey cancels the removal and sets the item.
    //   1  the key had the item (read from the file or set); removed
    //   0  the key has no item of that name: nothing changes
    //  -1  keyID is not the open key's
    //  -2  null itemName: nothing changes (checked before the key ID)
    // With no key open the ID is 0, as for SetItem.
    int RemoveItem(unsigned long keyID, const char* itemName);
    int RemoveItem(const char* keyName, const char* itemName);

    // The key catalogue: the ID of a (trimmed) key name, or 0; and the name
    // of an ID (1), or 0 with `name` unchanged.
    static unsigned long Keys_Name2ID(const char* name);
    static int Keys_ID2Name(unsigned long id, CString& name);

    // Read-only view of the object's state.
    const CString& GetInfPath() const noexcept { return m_strInfPath; }
    const CString& GetKeyName() const noexcept { return m_strKey; }
    unsigned long GetKeyID() const noexcept { return m_dwKeyID; }
    bool IsModified() const noexcept { return m_bModified != 0; }
    // The items in memory, in file order followed by added items.
    int GetItemCount() const noexcept;
    // 1 and the item at index, or 0 if index is out of range.
    int GetItemAt(int index, CString& name, CString& value) const;

    // Run-time class.
    static CObject* CreateObject();
    CRuntimeClass* GetRuntimeClass() const override;
    static const CRuntimeClass classCQorvane;

protected:
    // The line tests of the file format; they use no object state. Each
    // returns 1 (yes) or 0 (no).
    int StrIsKey(const char* line, CString& key);
    int StrIsItem(const char* line, CString& name, CString& value);
    int StrIsInvalid(const char* line);
    static CRuntimeClass* _GetBaseClass();

private:
    friend class QorvaneTestAccess;

    int StrIsEmpty(const char* line);
    int StrIsAnnotate(const char* line);
    void ClearKeyData();
    // OpenKey and CloseKey, telling whether a -4 or -2 came from a lock
    // that another description holds (set only then).
    int OpenKeyImpl(const char* keyName, bool& lockBusy);
    // `checked`: compare as CloseKeyChecked does before writing.
    int CloseKeyImpl(int bClearOnFail, bool& lockBusy, bool checked = false);
    // CloseKeyWait and CloseKeyCheckedWait.
    int CloseKeyWaitImpl(int bClearOnFail, int waitMs, bool checked);
    void NoteRead(const KeyItem* readItem, std::string_view name);
    void AddReadNote(std::string_view name, const std::string_view* read);
    void GrowReadText(std::size_t used, std::size_t more);
    // The item list's name index (see ItemIndex.h): lookups by name in
    // constant time. Built on the first lookup after the list was loaded.
    struct ItemIndex;
    ItemIndex& Index();
    std::size_t NextInOrder(const ItemIndex& index, std::string_view name) const noexcept;
    bool IsRemoved(std::string_view name, std::size_t hash);
    void CompactItems() noexcept;

    CString m_strInfPath;
    CString m_strKey;
    unsigned long m_dwKeyID = 0;
    std::vector<KeyItem> m_arItems;
    int m_bModified = 0;
    std::vector<std::uint16_t> m_arItemState;
    // Names that CloseKey removes from the key's section, each once, in
    // no particular order.
    std::vector<CString> m_arRemoved;
    // What OpenKey read of each item set or removed since: the values a
    // checked close compares with (the value of the first item of the
    // name, or nothing: bRead 0). The names and values are kept one after
    // another in m_pReadText (m_nReadRoom bytes), each note's name followed
    // by its value, in the notes' order: the text in use ends where the last
    // note's value ends, and dropping notes from the back drops their text.
    struct ReadNote {
        std::size_t nameAt = 0;
        std::size_t nameSize = 0;
        std::size_t readSize = 0;
        int bRead = 0;
    };
    std::vector<ReadNote> m_arRead;
    std::unique_ptr<char[]> m_pReadText;
    std::size_t m_nReadRoom = 0;
    std::vector<KeyConflict> m_arConflicts;
    // Null until the first call that looks an item up by name.
    std::unique_ptr<ItemIndex> m_pIndex;
};

// qorvane::Key and qorvane::Watch: the C++17 interface over CQorvane and
// CQorvaneWatch.
//
// Calling sequence:
//   using namespace std::chrono_literals;
//   auto key = qorvane::Open("/etc/myapp", "PrinterSet", 2s);  // OpenKeyWait
//   std::string port = key.Get("Port", "LPT1");
//   int copies = key.GetInt("Copies", 1);
//   key.Set("Copies", copies + 1);                             // in memory
//   key.Commit();                                              // CloseKeyWait
//
// A Key owns one CQorvane with one key open, and every call goes to that
// object, so what the class guarantees (what is held when, the merge at
// close, fork safety, the link rule, ownership of the file) holds here
// unchanged. A Key that is destroyed, moved from or left by an exception
// without a successful Commit drops its changes: nothing is written.
//
// Errors: every call that can fail comes in two forms, as in
// std::filesystem: one takes a std::error_code& (cleared on success), the
// other throws std::system_error. The codes are qorvane::Errc values in
// qorvane::Category(), whose message() says what happened; a file error
// carries the errno seen when the library gave up (FileErrno(), and the
// code compares equal to the matching std::errc). Reading values never
// fails on bad file content: a typed read that cannot parse gives the
// default and says so through its optional ReadStatus.
//
// Threads: a Key or a Watch is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "Qorvane.h"
#include "Watch.h"
#include "export.h"

namespace qorvane {

enum class Errc {
    busy = 1,          // another process holds or awaits the file for the whole wait
    file_error,        // the settings file cannot be opened, read or written
    bad_name,          // the key name is refused (unknown, or CR, LF, 0x1A, NUL)
    bad_value,         // an item's name or value cannot be written as a line
    counter_unusable,  // the machine-wide access counter cannot serve this process
    conflict,          // another process changed an item this key changed
    not_open,          // the key was committed, or never opened
    watch_ended,       // the watched path no longer names the directory
};

// The category of Errc values. Codes of file errors that know their errno
// (see FileErrno) belong to it too and read "settings file: <strerror>".
QORVANE_API const std::error_category& Category() noexcept;
QORVANE_API std::error_code make_error_code(Errc e) noexcept;
// 0, or the errno of a file error.
QORVANE_API int FileErrno(const std::error_code& ec) noexcept;
// True for Errc::file_error, with or without an errno.
QORVANE_API bool IsFileError(const std::error_code& ec) noexcept;

}  // namespace qorvane

template <>
struct std::is_error_code_enum<qorvane::Errc> : std::true_type {};

namespace qorvane {

// How a typed read went.
enum class ReadStatus {
    found,     // the item is there and its value parsed
    missing,   // no such item: the default was returned
    invalid,   // the value does not parse as the type: the default was returned
};

// The parsers of the typed reads, usable on their own. Whole value only:
// no white space, nothing after the number.
//   integers  decimal, an optional sign ("-12", "+7"), in range
//   booleans  1 true yes on / 0 false no off, in any case
//   doubles   decimal or exponent form ("2.5", "-1e-3"), finite, never
//             depending on the locale
QORVANE_API std::optional<long long> ParseInt(std::string_view text) noexcept;
QORVANE_API std::optional<bool> ParseBool(std::string_view text) noexcept;
QORVANE_API std::optional<double> ParseDouble(std::string_view text) noexcept;
// The canonical forms Set writes: decimal integers, "1" and "0", and the
// shortest text that reads back as the same double.
QORVANE_API std::string FormatInt(long long value);
QORVANE_API std::string FormatUnsigned(unsigned long long value);
QORVANE_API std::string FormatDouble(double value);

using Wait = std::chrono::milliseconds;
using Item = std::pair<std::string, std::string>;

// An item that another process changed while this key changed it too (see
// CQorvane::CloseKeyChecked); absent values are std::nullopt.
struct Conflict {
    std::string name;
    std::optional<std::string> read;  // at Open
    std::optional<std::string> file;  // in the file now
    std::optional<std::string> mine;  // what Commit would write (nullopt: removal)
};

class QORVANE_API Key {
public:
    // Range-for over the items in memory: file order (duplicates included),
    // then items added by Set.
    class QORVANE_API Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Item;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Item;
        Iterator(const CQorvane* store, int index) : m_store(store), m_index(index) {}
        Item operator*() const;
        Iterator& operator++() { ++m_index; return *this; }
        bool operator==(const Iterator& o) const { return m_index == o.m_index; }
        bool operator!=(const Iterator& o) const { return m_index != o.m_index; }

    private:
        const CQorvane* m_store;
        int m_index;
    };

    // Not open: every call but IsOpen fails with not_open (reads give
    // nothing).
    Key() noexcept;
    ~Key();  // drops uncommitted changes, writes nothing
    Key(Key&&) noexcept;
    Key& operator=(Key&&) noexcept;  // drops the changes of the key replaced

    bool IsOpen() const noexcept;
    // True if the file had a section for the key at Open.
    bool HasSection() const noexcept { return m_hasSection; }
    const std::string& Name() const noexcept { return m_name; }

    // The value of the first item of that name; nullopt when there is none
    // or the name cannot be an item's (embedded NUL).
    std::optional<std::string> Get(std::string_view name) const;
    std::string Get(std::string_view name, std::string_view fallback) const;
    long long GetInt(std::string_view name, long long fallback, ReadStatus* status = nullptr) const;
    bool GetBool(std::string_view name, bool fallback, ReadStatus* status = nullptr) const;
    double GetDouble(std::string_view name, double fallback, ReadStatus* status = nullptr) const;

    // Sets the first item of that name, or adds one, in memory. bad_value
    // when the name or value contains CR, LF, 0x1A or NUL, or the line would
    // read as a section header; nothing changes then.
    void Set(std::string_view name, std::string_view value, std::error_code& ec);
    void Set(std::string_view name, std::string_view value);
    void Set(std::string_view name, const char* value, std::error_code& ec) { Set(name, std::string_view(value), ec); }
    void Set(std::string_view name, const char* value) { Set(name, std::string_view(value)); }
    void Set(std::string_view name, const std::string& value, std::error_code& ec) { Set(name, std::string_view(value), ec); }
    void Set(std::string_view name, const std::string& value) { Set(name, std::string_view(value)); }
    template <class T, class = std::enable_if_t<std::is_arithmetic_v<T>>>
    void Set(std::string_view name, T value, std::error_code& ec) { Set(name, std::string_view(Format(value)), ec); }
    template <class T, class = std::enable_if_t<std::is_arithmetic_v<T>>>
    void Set(std::string_view name, T value) { Set(name, std::string_view(Format(value))); }

    // Removes every item of that name (Commit drops its lines from the
    // file). True if the key had one.
    bool Remove(std::string_view name, std::error_code& ec);
    bool Remove(std::string_view name);

    // The items in memory.
    Iterator begin() const { return Iterator(m_store.get(), 0); }
    Iterator end() const;
    std::size_t size() const noexcept;
    bool IsModified() const noexcept;

    // Writes the changes (the plain merge: CloseKeyWait), retrying while
    // busy for `wait` (Open's wait when not given). On success the key is
    // closed (not_open afterwards); on failure it stays open with its
    // changes, to try again or drop.
    void Commit(std::error_code& ec);
    void Commit();
    void Commit(Wait wait, std::error_code& ec);
    void Commit(Wait wait);
    // Writes only if no other process changed an item this key set or
    // removed since Open (CloseKeyCheckedWait); conflict otherwise, with
    // nothing written, the key open and Conflicts() listing them.
    void CommitChecked(std::error_code& ec);
    void CommitChecked();
    void CommitChecked(Wait wait, std::error_code& ec);
    void CommitChecked(Wait wait);
    std::vector<Conflict> Conflicts() const;
    // Drops the changes and reads the key again (after a conflict).
    void Reopen(std::error_code& ec);
    void Reopen();
    // Closes the key and drops its changes, writing nothing.
    void Drop() noexcept;

    // The CQorvane underneath (null when not open), for what this layer
    // does not offer.
    CQorvane* Store() noexcept { return m_store.get(); }

private:
    friend QORVANE_API Key Open(std::string_view, std::string_view, Wait, std::error_code&);
    static std::string Format(bool v) { return v ? "1" : "0"; }
    static std::string Format(double v) { return FormatDouble(v); }
    static std::string Format(float v) { return FormatDouble(v); }
    template <class T>
    static std::string Format(T v)
    {
        static_assert(std::is_integral_v<T>);
        if constexpr (std::is_signed_v<T>) return FormatInt(v);
        else return FormatUnsigned(v);
    }
    void Close(bool checked, Wait wait, std::error_code& ec);

    std::unique_ptr<CQorvane> m_store;
    std::string m_name;
    Wait m_wait{0};
    bool m_hasSection = false;
};

// Opens the key `keyName` of the settings file in `dir`, retrying while
// busy for `waitFor` (OpenKeyWait). Errors: bad_name, busy,
// counter_unusable, file_error.
QORVANE_API Key Open(std::string_view dir, std::string_view keyName, Wait waitFor, std::error_code& ec);
QORVANE_API Key Open(std::string_view dir, std::string_view keyName, Wait waitFor = Wait{0});

// Watches one key (CQorvaneWatch): put Fd() into your own poll loop and
// call Check() when it is readable, or block in WaitChange().
class QORVANE_API Watch {
public:
    Watch() noexcept;
    ~Watch();
    Watch(Watch&&) noexcept;
    Watch& operator=(Watch&&) noexcept;

    // Starts watching and reads the items once. Errors: bad_name,
    // file_error (the directory is missing or unusable).
    void Start(std::string_view dir, std::string_view keyName, std::error_code& ec);
    void Start(std::string_view dir, std::string_view keyName);

    int Fd() const noexcept;
    // Never blocks: true if the items changed. watch_ended when the path no
    // longer names the directory.
    bool Check(std::error_code& ec);
    bool Check();
    // Check, calling onChange(Items()) when the items changed: the
    // callback form for a poll loop.
    template <class OnChange>
    bool Check(OnChange&& onChange, std::error_code& ec)
    {
        const bool changed = Check(ec);
        if (changed) onChange(Items());
        return changed;
    }
    // Blocks until the items change (true) or `timeout` passes (false); a
    // negative timeout waits for ever.
    bool WaitChange(Wait timeout, std::error_code& ec);
    bool WaitChange(Wait timeout);
    // The items as last reported, in file order.
    std::vector<Item> Items() const;

private:
    std::unique_ptr<CQorvaneWatch> m_watch;
};

}  // namespace qorvane

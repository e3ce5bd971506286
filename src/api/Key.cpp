// The C++17 layer: every call goes to CQorvane or CQorvaneWatch; this file
// only converts arguments, results and errors.
#include "qorvane/Key.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

namespace qorvane {
namespace {

// A file error's code is this plus its errno, so that one int carries both.
constexpr int kErrnoBase = 0x10000;

class QorvaneCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "qorvane"; }

    std::string message(int value) const override
    {
        if (value > kErrnoBase) return "settings file error: " + std::string(std::strerror(value - kErrnoBase));
        switch (static_cast<Errc>(value)) {
        case Errc::busy: return "busy: other processes held the settings file for the whole wait";
        case Errc::file_error: return "settings file error: it cannot be opened, read or written";
        case Errc::bad_name: return "bad key name: not in the catalogue, or it contains CR, LF, 0x1A or NUL";
        case Errc::bad_value:
            return "bad item name or value: it contains CR, LF, 0x1A or NUL, or the line would read as a section header";
        case Errc::counter_unusable: return "the machine-wide access counter cannot serve this process";
        case Errc::conflict: return "conflict: another process changed an item this key changed; nothing written";
        case Errc::not_open: return "the key is not open";
        case Errc::watch_ended: return "the watch has ended: the path no longer names the watched directory";
        }
        return "unknown qorvane error " + std::to_string(value);
    }

    // A file error with an errno compares equal to the std::errc of it.
    std::error_condition default_error_condition(int value) const noexcept override
    {
        if (value > kErrnoBase) return {value - kErrnoBase, std::generic_category()};
        return {value, *this};
    }
};

std::error_code FileError(int err) noexcept
{
    return err > 0 ? std::error_code(kErrnoBase + err, Category()) : make_error_code(Errc::file_error);
}

// A lock that another open description holds reads as busy, anything else
// as a file error with its errno.
std::error_code LockOrFileError(int err) noexcept
{
    return err == EAGAIN || err == EWOULDBLOCK ? make_error_code(Errc::busy) : FileError(err);
}

std::error_code BusyOrCounter()
{
    CString problem;
    return CQorvane::CheckAccessCounter(problem) == 1 ? make_error_code(Errc::busy)
                                                       : make_error_code(Errc::counter_unusable);
}

int ToMs(Wait wait) noexcept
{
    const auto ms = wait.count();
    return ms <= 0 ? 0 : ms >= INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// A C string of `text`, or nullopt when it holds a NUL and cannot be one.
std::optional<std::string> CText(std::string_view text)
{
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> Opt(int present, const CString& value)
{
    return present != 0 ? std::optional<std::string>(value.str()) : std::nullopt;
}

// from_chars takes no '+': drop one, but not from "+-1".
bool SignOk(std::string_view& text) noexcept
{
    const bool plus = !text.empty() && text.front() == '+';
    if (plus) text.remove_prefix(1);
    return !text.empty() && !(plus && text.front() == '-');
}

void ThrowIf(const std::error_code& ec)
{
    if (ec) throw std::system_error(ec);
}

}  // namespace

const std::error_category& Category() noexcept
{
    static const QorvaneCategory category;
    return category;
}

std::error_code make_error_code(Errc e) noexcept { return {static_cast<int>(e), Category()}; }

int FileErrno(const std::error_code& ec) noexcept
{
    return ec.category() == Category() && ec.value() > kErrnoBase ? ec.value() - kErrnoBase : 0;
}

bool IsFileError(const std::error_code& ec) noexcept
{
    return ec.category() == Category() && (ec.value() > kErrnoBase || ec.value() == static_cast<int>(Errc::file_error));
}

std::optional<long long> ParseInt(std::string_view text) noexcept
{
    if (!SignOk(text)) return std::nullopt;
    long long value = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (err != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<bool> ParseBool(std::string_view text) noexcept
{
    static constexpr std::pair<std::string_view, bool> kSpellings[] = {
        {"1", true}, {"true", true}, {"yes", true}, {"on", true},
        {"0", false}, {"false", false}, {"no", false}, {"off", false},
    };
    for (const auto& [spelling, value] : kSpellings) {
        if (spelling.size() != text.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < text.size() && same; ++i) {
            const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
            same = c == spelling[i];
        }
        if (same) return value;
    }
    return std::nullopt;
}

std::optional<double> ParseDouble(std::string_view text) noexcept
{
    if (!SignOk(text)) return std::nullopt;
    double value = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (err != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string FormatInt(long long value) { return std::to_string(value); }
std::string FormatUnsigned(unsigned long long value) { return std::to_string(value); }

std::string FormatDouble(double value)
{
    char buffer[64];
    const auto [end, err] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return err == std::errc() ? std::string(buffer, end) : std::string();
}

Item Key::Iterator::operator*() const
{
    CString name;
    CString value;
    m_store->GetItemAt(m_index, name, value);
    return {name.str(), value.str()};
}

Key::Key() noexcept = default;
Key::~Key() = default;
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;

bool Key::IsOpen() const noexcept { return m_store != nullptr; }
Key::Iterator Key::end() const { return Iterator(m_store.get(), m_store ? m_store->GetItemCount() : 0); }
std::size_t Key::size() const noexcept { return m_store ? static_cast<std::size_t>(m_store->GetItemCount()) : 0; }
bool Key::IsModified() const noexcept { return m_store && m_store->IsModified(); }
void Key::Drop() noexcept { m_store.reset(); }

std::optional<std::string> Key::Get(std::string_view name) const
{
    const auto cname = CText(name);
    if (!m_store || !cname) return std::nullopt;
    // GetItem cuts the value to the buffer: a value that fills it may be
    // longer, so grow until it fits. Most values fit on the stack.
    char small[256];
    if (m_store->GetItem(m_store->GetKeyID(), cname->c_str(), small, static_cast<int>(sizeof small)) != 1)
        return std::nullopt;
    const std::size_t smallLength = std::strlen(small);
    if (smallLength + 1 < sizeof small) return std::string(small, smallLength);
    std::string buffer(sizeof small * 2, '\0');
    for (;;) {
        if (m_store->GetItem(m_store->GetKeyID(), cname->c_str(), buffer.data(), static_cast<int>(buffer.size())) != 1)
            return std::nullopt;
        const std::size_t length = std::strlen(buffer.c_str());
        if (length + 1 < buffer.size() || buffer.size() >= INT_MAX / 2) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(buffer.size() * 2, '\0');
    }
}

std::string Key::Get(std::string_view name, std::string_view fallback) const
{
    auto value = Get(name);
    return value ? std::move(*value) : std::string(fallback);
}

namespace {
template <class T, class Parse>
T ReadTyped(const std::optional<std::string>& text, T fallback, ReadStatus* status, Parse parse)
{
    std::optional<T> value;
    if (text) value = parse(*text);
    if (status != nullptr) *status = !text ? ReadStatus::missing : value ? ReadStatus::found : ReadStatus::invalid;
    return value ? *value : fallback;
}
}  // namespace

long long Key::GetInt(std::string_view name, long long fallback, ReadStatus* status) const
{
    return ReadTyped<long long>(Get(name), fallback, status, ParseInt);
}

bool Key::GetBool(std::string_view name, bool fallback, ReadStatus* status) const
{
    return ReadTyped<bool>(Get(name), fallback, status, ParseBool);
}

double Key::GetDouble(std::string_view name, double fallback, ReadStatus* status) const
{
    return ReadTyped<double>(Get(name), fallback, status, ParseDouble);
}

void Key::Set(std::string_view name, std::string_view value, std::error_code& ec)
{
    ec.clear();
    if (!m_store) {
        ec = Errc::not_open;
        return;
    }
    auto cname = CText(name);
    auto cvalue = CText(value);
    if (!cname || !cvalue) {
        ec = Errc::bad_value;
        return;
    }
    const int rc = m_store->SetItem(m_store->GetKeyID(), cname->c_str(), cvalue->data());
    if (rc == -1) ec = Errc::not_open;
    else if (rc < 0) ec = Errc::bad_value;
}

void Key::Set(std::string_view name, std::string_view value)
{
    std::error_code ec;
    Set(name, value, ec);
    ThrowIf(ec);
}

bool Key::Remove(std::string_view name, std::error_code& ec)
{
    ec.clear();
    if (!m_store) {
        ec = Errc::not_open;
        return false;
    }
    const auto cname = CText(name);
    if (!cname) return false;  // no item can have that name
    const int rc = m_store->RemoveItem(m_store->GetKeyID(), cname->c_str());
    if (rc == -1) ec = Errc::not_open;
    return rc == 1;
}

bool Key::Remove(std::string_view name)
{
    std::error_code ec;
    const bool removed = Remove(name, ec);
    ThrowIf(ec);
    return removed;
}

void Key::Close(bool checked, Wait wait, std::error_code& ec)
{
    ec.clear();
    if (!m_store) {
        ec = Errc::not_open;
        return;
    }
    errno = 0;
    // With no wait the plain calls are the same single try, without the
    // retry loop's bookkeeping.
    const int ms = ToMs(wait);
    const int rc = checked ? (ms > 0 ? m_store->CloseKeyCheckedWait(0, ms) : m_store->CloseKeyChecked(0))
                           : (ms > 0 ? m_store->CloseKeyWait(0, ms) : m_store->CloseKey(0));
    const int err = errno;
    switch (rc) {
    case 1: m_store.reset(); return;
    case 0: m_store.reset(); ec = Errc::not_open; return;
    case -1: ec = BusyOrCounter(); return;
    case -2: ec = LockOrFileError(err); return;
    case -5: ec = Errc::conflict; return;
    default: ec = FileError(err); return;
    }
}

void Key::Commit(std::error_code& ec) { Close(false, m_wait, ec); }
void Key::Commit(Wait wait, std::error_code& ec) { Close(false, wait, ec); }
void Key::CommitChecked(std::error_code& ec) { Close(true, m_wait, ec); }
void Key::CommitChecked(Wait wait, std::error_code& ec) { Close(true, wait, ec); }
void Key::Commit() { std::error_code ec; Close(false, m_wait, ec); ThrowIf(ec); }
void Key::Commit(Wait wait) { std::error_code ec; Close(false, wait, ec); ThrowIf(ec); }
void Key::CommitChecked() { std::error_code ec; Close(true, m_wait, ec); ThrowIf(ec); }
void Key::CommitChecked(Wait wait) { std::error_code ec; Close(true, wait, ec); ThrowIf(ec); }

std::vector<Conflict> Key::Conflicts() const
{
    std::vector<Conflict> list;
    if (!m_store) return list;
    KeyConflict c;
    for (int i = 0; m_store->GetConflictAt(i, c) == 1; ++i)
        list.push_back({c.strName.str(), Opt(c.bRead, c.strRead), Opt(c.bFile, c.strFile), Opt(c.bMine, c.strMine)});
    return list;
}

namespace {
// OpenKey's and ReopenKey's failures.
std::error_code OpenError(int rc, int err)
{
    switch (rc) {
    case -2: return make_error_code(Errc::bad_name);
    case -3: return BusyOrCounter();
    case -4: return LockOrFileError(err);
    default: return make_error_code(Errc::busy);  // -1: another key open, which a fresh object never has
    }
}
}  // namespace

void Key::Reopen(std::error_code& ec)
{
    ec.clear();
    if (!m_store) {
        ec = Errc::not_open;
        return;
    }
    errno = 0;
    const int rc = m_store->ReopenKey();
    if (rc >= 0) {
        m_hasSection = rc == 1;
        return;
    }
    ec = OpenError(rc, errno);
    m_store.reset();
}

void Key::Reopen() { std::error_code ec; Reopen(ec); ThrowIf(ec); }

Key Open(std::string_view dir, std::string_view keyName, Wait waitFor, std::error_code& ec)
{
    ec.clear();
    Key key;
    const auto cdir = CText(dir);
    const auto cname = CText(keyName);
    if (!cname) {
        ec = Errc::bad_name;
        return key;
    }
    if (!cdir) {
        ec = FileError(EINVAL);
        return key;
    }
    auto store = std::make_unique<CQorvane>(cdir->c_str());
    errno = 0;
    const int ms = ToMs(waitFor);
    const int rc = ms > 0 ? store->OpenKeyWait(cname->c_str(), ms) : store->OpenKey(cname->c_str());
    if (rc < 0) {
        ec = OpenError(rc, errno);
        return key;
    }
    key.m_store = std::move(store);
    key.m_name = *cname;
    key.m_wait = waitFor;
    key.m_hasSection = rc == 1;
    return key;
}

Key Open(std::string_view dir, std::string_view keyName, Wait waitFor)
{
    std::error_code ec;
    Key key = Open(dir, keyName, waitFor, ec);
    ThrowIf(ec);
    return key;
}

Watch::Watch() noexcept = default;
Watch::~Watch() = default;
Watch::Watch(Watch&&) noexcept = default;
Watch& Watch::operator=(Watch&&) noexcept = default;

void Watch::Start(std::string_view dir, std::string_view keyName, std::error_code& ec)
{
    ec.clear();
    const auto cdir = CText(dir);
    const auto cname = CText(keyName);
    if (!cname) {
        ec = Errc::bad_name;
        return;
    }
    if (!cdir) {
        ec = FileError(EINVAL);
        return;
    }
    auto watch = std::make_unique<CQorvaneWatch>();
    errno = 0;
    const int rc = watch->Start(cdir->c_str(), cname->c_str());
    const int err = errno;
    if (rc > 0) m_watch = std::move(watch);
    else if (rc == -2) ec = Errc::bad_name;
    else ec = FileError(err);
}

void Watch::Start(std::string_view dir, std::string_view keyName) { std::error_code ec; Start(dir, keyName, ec); ThrowIf(ec); }

int Watch::Fd() const noexcept { return m_watch ? m_watch->GetFd() : -1; }

namespace {
bool Changed(int rc, std::error_code& ec)
{
    if (rc == -1) ec = Errc::not_open;
    else if (rc == -4) ec = Errc::watch_ended;
    return rc == 1;
}
}  // namespace

bool Watch::Check(std::error_code& ec)
{
    ec.clear();
    return Changed(m_watch ? m_watch->Check() : -1, ec);
}

bool Watch::Check() { std::error_code ec; const bool changed = Check(ec); ThrowIf(ec); return changed; }

bool Watch::WaitChange(Wait timeout, std::error_code& ec)
{
    ec.clear();
    const int ms = timeout.count() < 0 ? -1 : ToMs(timeout);
    return Changed(m_watch ? m_watch->Wait(ms) : -1, ec);
}

bool Watch::WaitChange(Wait timeout) { std::error_code ec; const bool changed = WaitChange(timeout, ec); ThrowIf(ec); return changed; }

std::vector<Item> Watch::Items() const
{
    std::vector<Item> items;
    if (!m_watch) return items;
    CString name;
    CString value;
    for (int i = 0; m_watch->GetItemAt(i, name, value) == 1; ++i) items.emplace_back(name.str(), value.str());
    return items;
}

}  // namespace qorvane

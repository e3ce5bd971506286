#include "tool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iomanip>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#ifndef QORVANE_TOOL_VERSION
#define QORVANE_TOOL_VERSION "unknown"
#endif

namespace {

constexpr const char* kSettingsFileName = "QorRunningSet.Inf";

enum ExitCode : int {
    kExitOk = 0,
    kExitNotFound = 1,
    kExitBadInput = 2,
    kExitBusy = 3,
    kExitFileError = 4,
};

// What a command produced: text for stdout on success, or one error line
// (without the "qorvane: " prefix) and the exit code.
struct Outcome {
    int exit = kExitOk;
    std::string error;
    std::string output;
};

Outcome Failure(int exit, std::string message)
{
    return Outcome{exit, std::move(message), {}};
}

// ---------------------------------------------------------------------------
// Message text

// A name, value or path as it appears in a message: quoted, with control
// bytes shown as \xNN so that every message stays on one line.
std::string Quote(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "'";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    out += '\'';
    return out;
}

std::string ErrnoText(int err)
{
    return std::strerror(err);
}

std::string Seconds(double s)
{
    std::ostringstream text;
    text << std::setprecision(3) << s << " s";
    return text.str();
}

// ---------------------------------------------------------------------------
// What the file format can hold
//
// An item line is "name = value;". A reader splits it at the first '=',
// cuts it at the first ';' (a comment), trims white space (0x09-0x0D and
// space) from both parts and ignores an item whose name or value is empty.
// CR, LF and 0x1A would break the line or end the file. The tool refuses
// names and values that would not read back exactly as given, except an
// empty value, which is the file format's way to blank an item.

bool IsBlankByte(char ch)
{
    const auto c = static_cast<unsigned char>(ch);
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

bool HasLineBreakBytes(std::string_view text)
{
    return text.find_first_of("\r\n\x1a") != std::string_view::npos;
}

bool HasOuterBlanks(std::string_view text)
{
    return !text.empty() && (IsBlankByte(text.front()) || IsBlankByte(text.back()));
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

// The catalogue, in ID order; names come from the library.
const unsigned long kKeyIDs[] = {KEYID_PRINTERSET, KEYID_HOTKEYSET};

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

// A line holding '[' and a later ']' also reads as a key header, named by
// the trimmed text between the first '[' and the last ']'. Readers look for
// a key's header before they look at items, so an item line that reads as
// the header of a known key would hide that key's real section (and a later
// write to that key would land in the wrong section).
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

// A key name must be a catalogue name exactly. The library's lookup trims
// the name, but the file's header would then be searched under the untrimmed
// name, so " PrinterSet" is refused rather than quietly written elsewhere.
std::optional<Outcome> CheckKey(const std::string& key)
{
    CString canonical;
    const unsigned long id = CQorvane::Keys_Name2ID(key.c_str());
    if (id != 0 && CQorvane::Keys_ID2Name(id, canonical) == 1 && canonical.str() == key) return std::nullopt;
    return Failure(kExitBadInput, "unknown key " + Quote(key) + " (known keys: " + KnownKeyList() + ")");
}

// ---------------------------------------------------------------------------
// The settings directory and file

struct Request {
    std::string dir = ".";
    double waitSeconds = 2.0;
    bool json = false;
    std::string key;
    std::string item;               // get
    std::vector<std::string> args;  // set: ITEM VALUE ...
};

std::string SettingsPath(const std::string& dir)
{
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + kSettingsFileName;
}

// The directory as handed to the library. The library trims white space off
// the directory it is given; "./" in front and "/" behind keep a name that
// starts or ends with a blank intact.
std::string LibraryDir(const std::string& dir)
{
    std::string out = dir;
    if (!out.empty() && IsBlankByte(out.front())) out.insert(0, "./");
    if (!out.empty() && IsBlankByte(out.back())) out += '/';
    return out;
}

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd) noexcept : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }

private:
    int m_fd;
};

// Why the directory cannot hold the settings file, or nothing.
std::optional<Outcome> CheckDirectory(const std::string& dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT) return Failure(kExitFileError, "settings directory " + Quote(dir) + " does not exist");
        return Failure(kExitFileError, "cannot access settings directory " + Quote(dir) + ": " + ErrnoText(err));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Failure(kExitFileError, "settings directory " + Quote(dir) + " is not a directory");
    }
    if (::faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) != 0) {
        return Failure(kExitFileError, "cannot enter settings directory " + Quote(dir) + ": " + ErrnoText(errno));
    }
    return std::nullopt;
}

// The library reports "cannot open" and "another holds the lock" with one
// result (OpenKey -4, CloseKey -2). Looking at the directory and the file
// tells them apart: an OFD or POSIX lock held on the file means busy; a
// missing or unusable directory or file means a file error; a file that is
// usable and unlocked now means the lock went away in between (retry).
enum class Cause { Busy, Transient, Error };

struct Diagnosis {
    Cause cause;
    std::string message;
};

Diagnosis DiagnoseOpenFailure(const std::string& dir, bool mayCreate)
{
    if (std::optional<Outcome> bad = CheckDirectory(dir)) return {Cause::Error, bad->error};
    const std::string path = SettingsPath(dir);
    const Fd probe(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!probe) {
        const int err = errno;
        if (err != ENOENT) return {Cause::Error, "cannot open settings file " + Quote(path) + ": " + ErrnoText(err)};
        if (!mayCreate) return {Cause::Error, "settings file " + Quote(path) + " does not exist"};
        if (::faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0) {
            return {Cause::Error, "cannot create settings file " + Quote(path) + ": " + ErrnoText(errno)};
        }
        return {Cause::Transient, "cannot create settings file " + Quote(path)};
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // the whole file
    lock.l_pid = 0;
    if (::fcntl(probe.Get(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) {
        return {Cause::Busy, "settings file " + Quote(path) + " is busy: another process holds its lock"};
    }
    // The library opens the file read-write; make sure that works too.
    const Fd writable(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (!writable) {
        return {Cause::Error, "cannot open settings file " + Quote(path) + " for writing: " + ErrnoText(errno)};
    }
    return {Cause::Transient, "cannot read settings file " + Quote(path)};
}

// ---------------------------------------------------------------------------
// Library results

enum class Call { OpenKey, GetItem, SetItem, CloseKey };

struct Step {
    enum Kind { kDone, kRetry, kFail } kind;
    Outcome outcome;  // for kFail, and for kRetry once the wait is over
};

struct Context {
    const Request& rq;
    std::string item;  // the item a GetItem or SetItem was about
};

Step Done()
{
    return Step{Step::kDone, {}};
}
Step Fail(int exit, std::string message)
{
    return Step{Step::kFail, Failure(exit, std::move(message))};
}
Step RetryOr(int exit, std::string message)
{
    return Step{Step::kRetry, Failure(exit, std::move(message))};
}

Step FromDiagnosis(Diagnosis d)
{
    switch (d.cause) {
    case Cause::Busy: return RetryOr(kExitBusy, std::move(d.message));
    case Cause::Transient: return RetryOr(kExitFileError, std::move(d.message));
    case Cause::Error: break;
    }
    return Fail(kExitFileError, std::move(d.message));
}

// The one place where a library result becomes a message and an exit code.
Step Interpret(Call call, int rc, const Context& ctx)
{
    const std::string path = Quote(SettingsPath(ctx.rq.dir));
    const std::string key = Quote(ctx.rq.key);
    const std::string item = Quote(ctx.item);
    const auto unexpected = [&](const char* function) {
        return Fail(kExitFileError, std::string("unexpected result ") + std::to_string(rc) + " from " + function +
                                        " on key " + key + " of " + path);
    };
    switch (call) {
    case Call::OpenKey:
        switch (rc) {
        case 1:
        case 0: return Done();
        case -2: return Fail(kExitBadInput, "unknown key " + key + " (known keys: " + KnownKeyList() + ")");
        case -3: return RetryOr(kExitBusy, "settings file " + path + " is busy: a writer holds it or waits for it");
        case -4: return FromDiagnosis(DiagnoseOpenFailure(ctx.rq.dir, true));
        default: return unexpected("OpenKey");
        }
    case Call::GetItem:
        switch (rc) {
        case 1: return Done();
        case 0: return Fail(kExitNotFound, "item " + item + " not found in key " + key + " of " + path);
        case -2: return Fail(kExitBadInput, "item name " + item + " cannot be looked up");
        default: return unexpected("GetItem");
        }
    case Call::SetItem:
        switch (rc) {
        case 1:
        case 2: return Done();
        case -2: return Fail(kExitBadInput, "item " + item + " or its value cannot be stored in key " + key);
        default: return unexpected("SetItem");
        }
    case Call::CloseKey:
        switch (rc) {
        case 1: return Done();
        case -1: return RetryOr(kExitBusy, "settings file " + path + " is busy: readers or another writer kept it");
        case -2: return FromDiagnosis(DiagnoseOpenFailure(ctx.rq.dir, false));
        case -3:
            return Fail(kExitFileError, "writing settings file " + path +
                                            " failed (disk full or I/O error); key " + key + " may not be saved");
        default: return unexpected("CloseKey");
        }
    }
    return unexpected("the library");
}

// Calls `attempt` until it gives something other than a busy result or the
// --wait time is over, pausing a random 5-25 ms in between so that processes
// that collide do not keep colliding in step. A failure that looked like a
// lock that has just gone away is retried a few times even after the wait.
template <class Attempt>
Step Retrying(const Context& ctx, Call call, Attempt&& attempt)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(ctx.rq.waitSeconds));
    static thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> pauseMs(5, 25);
    std::optional<Outcome> lastBusy;
    int extraTries = 3;
    for (;;) {
        Step step = Interpret(call, attempt(), ctx);
        if (step.kind != Step::kRetry) return step;
        const bool busy = step.outcome.exit == kExitBusy;
        if (busy) lastBusy = step.outcome;
        const auto now = Clock::now();
        if (now < deadline) {
            std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(pauseMs(rng)), deadline - now));
            continue;
        }
        if (!busy && extraTries-- > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(rng)));
            continue;
        }
        Outcome out = lastBusy ? *lastBusy : step.outcome;
        if (out.exit == kExitBusy) {
            out.error += " (gave up after " + Seconds(std::chrono::duration<double>(now - start).count()) + ")";
        }
        return Step{Step::kFail, std::move(out)};
    }
}

// ---------------------------------------------------------------------------
// JSON
//
// Strings are written as UTF-8. Valid UTF-8 passes through; quotes,
// backslashes and control bytes are escaped. A byte that is not part of a
// valid UTF-8 sequence becomes \uDCxx, xx being the byte ("surrogate
// escape"): a consumer that decodes that way gets the original bytes back,
// and a strict one shows a replacement character instead of a wrong one.

// Length of the valid UTF-8 sequence at the start of s (1-4), or 0.
std::size_t Utf8Length(std::string_view s)
{
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = at(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;  // no overlong forms
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n || at(1) < lo || at(1) > hi) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    }
    return n;
}

void AppendJsonString(std::string& out, std::string_view s)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    while (!s.empty()) {
        const auto c = static_cast<unsigned char>(s.front());
        const std::size_t n = Utf8Length(s);
        if (n > 1) {
            out.append(s.data(), n);
        } else if (n == 0) {
            out += "\\udc";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
        s.remove_prefix(n == 0 ? 1 : n);
    }
    out += '"';
}

// ---------------------------------------------------------------------------
// Commands

Outcome RunKeys()
{
    Outcome out;
    char id[16];
    for (const unsigned long keyID : kKeyIDs) {
        CString name;
        if (CQorvane::Keys_ID2Name(keyID, name) != 1) continue;
        std::snprintf(id, sizeof id, "0x%04lX", keyID);
        out.output += name.str() + " " + id + "\n";
    }
    return out;
}

// Checks the key and the directory, then opens the key (retrying while
// busy). On success `store` has the key open.
std::optional<Outcome> OpenChecked(const Request& rq, CQorvane& store)
{
    if (std::optional<Outcome> bad = CheckDirectory(rq.dir)) return bad;
    const Context ctx{rq, {}};
    const Step step = Retrying(ctx, Call::OpenKey, [&] { return store.OpenKey(rq.key.c_str()); });
    if (step.kind != Step::kDone) return step.outcome;
    return std::nullopt;
}

Outcome RunGet(const Request& rq)
{
    const std::string& item = rq.item;
    if (std::optional<Outcome> bad = CheckKey(rq.key)) return *bad;
    if (std::optional<Outcome> bad = CheckItemName(item)) return *bad;
    CQorvane store(LibraryDir(rq.dir).c_str());
    if (std::optional<Outcome> bad = OpenChecked(rq, store)) return *bad;

    // Size the buffer for the longest value, so that GetItem never cuts.
    std::size_t size = 1;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString name;
        CString value;
        if (store.GetItemAt(i, name, value) == 1) size = std::max(size, value.str().size() + 1);
    }
    std::vector<char> buffer(size, '\0');
    const int rc = store.GetItem(rq.key.c_str(), item.c_str(), buffer.data(), static_cast<int>(size));
    store.CloseKey(1);  // nothing was set: closes without touching the file
    const Step step = Interpret(Call::GetItem, rc, Context{rq, item});
    if (step.kind != Step::kDone) return step.outcome;
    Outcome out;
    out.output = std::string(buffer.data()) + "\n";
    return out;
}

Outcome RunShow(const Request& rq)
{
    if (std::optional<Outcome> bad = CheckKey(rq.key)) return *bad;
    CQorvane store(LibraryDir(rq.dir).c_str());
    if (std::optional<Outcome> bad = OpenChecked(rq, store)) return *bad;

    std::vector<std::pair<std::string, std::string>> items;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString name;
        CString value;
        if (store.GetItemAt(i, name, value) == 1) items.emplace_back(name.str(), value.str());
    }
    store.CloseKey(1);

    Outcome out;
    if (rq.json) {
        out.output = "{\"key\":";
        AppendJsonString(out.output, rq.key);
        out.output += ",\"items\":[";
        for (std::size_t i = 0; i < items.size(); ++i) {
            out.output += i == 0 ? "[" : ",[";
            AppendJsonString(out.output, items[i].first);
            out.output += ',';
            AppendJsonString(out.output, items[i].second);
            out.output += ']';
        }
        out.output += "]}\n";
    } else {
        for (const auto& [name, value] : items) out.output += name + " = " + value + "\n";
    }
    return out;
}

Outcome RunSet(const Request& rq)
{
    if (rq.args.size() % 2 != 0) {
        return Failure(kExitBadInput, "item " + Quote(rq.args.back()) + " has no value (set takes ITEM VALUE pairs)");
    }
    if (std::optional<Outcome> bad = CheckKey(rq.key)) return *bad;
    for (std::size_t i = 0; i < rq.args.size(); i += 2) {
        if (std::optional<Outcome> bad = CheckItemName(rq.args[i])) return *bad;
        if (std::optional<Outcome> bad = CheckValue(rq.args[i], rq.args[i + 1])) return *bad;
        if (std::optional<Outcome> bad = CheckNotAHeader(rq.args[i], rq.args[i + 1])) return *bad;
    }
    CQorvane store(LibraryDir(rq.dir).c_str());
    if (std::optional<Outcome> bad = OpenChecked(rq, store)) return *bad;

    // Every item goes into the one open key, so one CloseKey writes them
    // all in a single replace of the file.
    for (std::size_t i = 0; i < rq.args.size(); i += 2) {
        std::string value = rq.args[i + 1];  // SetItem takes a mutable buffer
        const int rc = store.SetItem(rq.key.c_str(), rq.args[i].c_str(), value.data());
        const Step step = Interpret(Call::SetItem, rc, Context{rq, rq.args[i]});
        if (step.kind != Step::kDone) return step.outcome;
    }
    // CloseKey(0) keeps the items on failure, so a busy close can be retried.
    const Step step = Retrying(Context{rq, {}}, Call::CloseKey, [&] { return store.CloseKey(0); });
    if (step.kind != Step::kDone) return step.outcome;
    return Outcome{};
}

constexpr const char* kFooter = R"(Exit codes:
  0  success
  1  the item is not in the key (get)
  2  bad usage or bad input: unknown key, or a name or value the settings
     file cannot hold (line break, ';' in a value, '=' or ';' in a name,
     white space at either end, an item line that would read as the
     header of a known key); nothing is written
  3  the settings file stayed busy (locked by another process) for the
     whole --wait time
  4  file or directory error: missing or unusable settings directory, no
     permission, read or write failure
Arguments that start with '-' (other than numbers) go after "--":
  qorvane set -- PrinterSet Flag -x)";

int Report(const Outcome& out)
{
    if (!out.output.empty()) {
        std::fwrite(out.output.data(), 1, out.output.size(), stdout);
    }
    if (std::fflush(stdout) != 0 && out.error.empty()) {
        const int err = errno;
        std::fprintf(stderr, "qorvane: cannot write the output: %s\n", std::strerror(err));
        return kExitFileError;
    }
    if (!out.error.empty()) std::fprintf(stderr, "qorvane: %s\n", out.error.c_str());
    return out.exit;
}

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// CLI11 reads an argument of a list option that starts with '[' and ends
// with ']' as a list and splits it at its commas ("[a,b]" becomes a, b),
// which would shift every later ITEM VALUE pair of set. Such an argument
// reaches set's pairs only in pieces, so it is refused rather than written.
std::optional<Outcome> CheckNoListSyntax(int argc, char** argv, const Request& rq)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.size() < 2 || arg.front() != '[' || arg.back() != ']') continue;
        if (arg == rq.dir || arg == rq.key) continue;
        return Failure(kExitBadInput, "set cannot take the argument " + Quote(arg) +
                                          ": the command line reads a value in [ ] as a list");
    }
    return std::nullopt;
}

int RunToolChecked(int argc, char** argv)
{
    std::setlocale(LC_CTYPE, "");

    Request rq;
    CLI::App app{std::string("Reads and changes the shared settings file ") + kSettingsFileName + ".", "qorvane"};
    app.set_version_flag("--version", std::string("qorvane ") + QORVANE_TOOL_VERSION);
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(kFooter);
    app.add_option("-d,--dir", rq.dir, "Settings directory (default: the current directory)")->type_name("DIR");
    app.add_option("--wait", rq.waitSeconds,
                   "How long to retry while the settings file is busy (default: 2)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0));

    CLI::App* get = app.add_subcommand("get", "Print the value of ITEM in KEY");
    get->add_option("KEY", rq.key, "Key (section) name")->required();
    get->add_option("ITEM", rq.item, "Item name")->required();

    CLI::App* set = app.add_subcommand("set", "Set one or more items of KEY in one write");
    set->add_option("KEY", rq.key, "Key (section) name")->required();
    set->add_option("ITEM_VALUE", rq.args, "ITEM VALUE [ITEM VALUE ...]")
        ->required()
        ->expected(2, CLI::detail::expected_max_vector_size)
        ->type_name("ITEM VALUE");

    CLI::App* show = app.add_subcommand("show", "List the items of KEY in file order");
    show->add_option("KEY", rq.key, "Key (section) name")->required();
    show->add_flag("--json", rq.json, "Print one JSON object: {\"key\":K,\"items\":[[NAME,VALUE],...]}");

    CLI::App* keys = app.add_subcommand("keys", "List the known keys and their IDs");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::fprintf(stderr, "qorvane: %s (see qorvane --help)\n", OneLine(e.what()).c_str());
        return kExitBadInput;
    }

    if (keys->parsed()) return Report(RunKeys());
    if (get->parsed()) return Report(RunGet(rq));
    if (set->parsed()) {
        if (std::optional<Outcome> bad = CheckNoListSyntax(argc, argv, rq)) return Report(*bad);
        return Report(RunSet(rq));
    }
    if (show->parsed()) return Report(RunShow(rq));
    return Report(Failure(kExitBadInput, "no command given (see qorvane --help)"));
}

}  // namespace

int RunTool(int argc, char** argv)
{
    try {
        return RunToolChecked(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qorvane: %s\n", OneLine(e.what()).c_str());
    } catch (...) {
        std::fprintf(stderr, "qorvane: unexpected error\n");
    }
    return kExitFileError;
}

// Fuzz target: OpenKey, SetItem and CloseKey on an arbitrary settings file
// with arbitrary item names and values, in the C, UTF-8 or GBK character
// set. Input: one flags byte (character set, key), up to four
// (name, value) pairs, then the file's content. Properties checked (any
// violation aborts):
//   - OpenKey returns 0 or 1; SetItem refuses with -2 exactly the items
//     holding CR, LF or 0x1A and those whose line would read as a section
//     header, and takes the rest; CloseKey returns 1;
//   - bytes from the first 0x1A on are kept; every line before the key's
//     header is kept byte for byte (blank lines aside, which follow the
//     blank-line rule); every other non-blank line that is not an item the
//     change may replace is kept, in order;
//   - the next OpenKey reads back every item set whose written line
//     "name = value;" reads as that name, with the value the line reads as,
//     and every item of the key that was not set, unchanged;
//   - a close with no change leaves the file alone, and making the same
//     change again leaves it byte-identical (when every set name reads
//     back as itself).
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzLocales.h"
#include "format/CharScan.h"
#include "format/Grammar.h"
#include "qorvane/Qorvane.h"
#include "sync/SharedCounter.h"

using namespace qorvane::format;

namespace {

#define CHECK(cond)                                                                           \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n%s\n", #cond, __FILE__, __LINE__, \
                         Context().c_str());                                                  \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// What the current input did, printed when a property fails.
std::string& Context()
{
    static std::string context;
    return context;
}

std::string Escaped(std::string_view bytes)
{
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7F && u != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

std::string g_dir;
std::string g_counter;

std::string SettingsPath()
{
    return g_dir + "/QorRunningSet.Inf";
}

void Cleanup()
{
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    qorvane::sync::RemoveSharedCounter();
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    CHECK(out.good());
}

bool AllBlank(std::string_view line)
{
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (!(u == ' ' || (u >= 0x09 && u <= 0x0D))) return false;
    }
    return true;
}

// Lines as the file format reads them: split at LF, one CR before it
// dropped, the last line needs no LF.
std::vector<std::string_view> Lines(std::string_view text)
{
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        out.push_back(line);
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
    return out;
}

// The blank-line rule: leading blank lines go, a run of blank lines keeps
// its first.
std::vector<std::string_view> Squeezed(const std::vector<std::string_view>& lines)
{
    std::vector<std::string_view> out;
    for (const std::string_view line : lines) {
        if (AllBlank(line) && (out.empty() || AllBlank(out.back()))) continue;
        out.push_back(line);
    }
    return out;
}

bool IsHeaderOf(const CharScan& scan, std::string_view line, std::string_view key)
{
    const std::string_view visible = Visible(line);
    std::string_view found;
    return !IsInvalidLine(scan, visible) && ParseKey(scan, visible, found) == KeyMatch::Key && found == key;
}

// The name and value the written line of an item reads back as; false if
// it does not read as an item.
bool ReadsBackAs(const CharScan& scan, const std::string& name, const std::string& value, std::string& readName,
                 std::string& readValue)
{
    std::string line;
    AppendItemLine(line, name, value);
    std::string_view n;
    std::string_view v;
    if (ParseItem(scan, line, n, v) != ItemMatch::Item) return false;
    readName = std::string(n);
    readValue = std::string(v);
    return true;
}

// Whether readers would take the item's written line for a section
// header: a key line that is not an item, or one naming a catalogue key.
bool ReadsAsHeader(const CharScan& scan, const std::string& name, const std::string& value)
{
    std::string line;
    AppendItemLine(line, name, value);
    std::string_view key;
    if (ParseKey(scan, line, key) != KeyMatch::Key) return false;
    std::string_view n;
    std::string_view v;
    return ParseItem(scan, line, n, v) != ItemMatch::Item || key == "PrinterSet" || key == "HotKeySet";
}

std::string GetValue(CQorvane& store, const std::string& name, int& rc)
{
    char buf[256];
    rc = store.GetItem(store.GetKeyID(), name.c_str(), buf, sizeof buf);
    return rc == 1 ? std::string(buf) : std::string();
}

int OpenSetClose(const char* key, unsigned long id, const std::vector<std::pair<std::string, std::string>>& sets)
{
    CQorvane store(g_dir.c_str());
    const int opened = store.OpenKey(key);
    CHECK(opened == 0 || opened == 1);
    for (const auto& [name, value] : sets) {
        std::string v = value;
        CHECK(store.SetItem(id, name.c_str(), v.data()) > 0);
    }
    return store.CloseKey(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    InitLocales();
    // A private counter, never the machine-wide one; files on tmpfs where
    // there is one, since every input is written and fsync'd three times.
    g_counter = "/qorvane-fuzz-" + std::to_string(::getpid());
    qorvane::sync::UseSharedCounterName(g_counter);
    const char* base = std::getenv("QORVANE_FUZZ_TMPDIR");
    if (base == nullptr) base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/qorvane-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    g_dir = pattern;
    std::atexit(Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const auto flags = in.ConsumeIntegral<std::uint8_t>();
    const int charset = flags % kCharsets;
    ::uselocale(g_locales[charset]);
    const CharScan scan = CharScan::FromLocale();
    const bool hotKeys = (flags & 0x10) != 0;
    const char* key = hotKeys ? "HotKeySet" : "PrinterSet";
    const unsigned long id = hotKeys ? KEYID_HOTKEYSET : KEYID_PRINTERSET;

    std::vector<std::pair<std::string, std::string>> pairs(in.ConsumeIntegralInRange(0, 4));
    for (auto& [name, value] : pairs) {
        name = in.ConsumeRandomLengthString(24).c_str();  // what a C string can carry
        value = in.ConsumeRandomLengthString(24).c_str();
    }
    const std::string content = in.ConsumeRemainingBytesAsString();
    WriteAll(SettingsPath(), content);
    Context() = "charset " + std::to_string(charset) + ", key " + key + "\n";
    for (const auto& [name, value] : pairs) Context() += "set \"" + Escaped(name) + "\" = \"" + Escaped(value) + "\"\n";
    Context() += "before: \"" + Escaped(content) + "\"\n";

    // First close: the change under test.
    CQorvane store(g_dir.c_str());
    const int opened = store.OpenKey(key);
    CHECK(opened == 0 || opened == 1);
    std::vector<std::pair<std::string, std::string>> loaded;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString n;
        CString v;
        CHECK(store.GetItemAt(i, n, v) == 1);
        loaded.emplace_back(n.str(), v.str());
    }
    std::vector<std::pair<std::string, std::string>> accepted;
    for (const auto& [name, value] : pairs) {
        std::string v = value;
        const int rc = store.SetItem(id, name.c_str(), v.data());
        const bool breaks = name.find_first_of("\r\n\x1a") != std::string::npos ||
                            value.find_first_of("\r\n\x1a") != std::string::npos;
        if (breaks || ReadsAsHeader(scan, name, value)) {
            CHECK(rc == -2);
            continue;
        }
        CHECK(rc == 1 || rc == 2);
        accepted.emplace_back(name, value);
    }
    CHECK(store.CloseKey(0) == 1);
    const std::string after = ReadAll(SettingsPath());
    Context() += "after:  \"" + Escaped(after) + "\"\n";
    if (accepted.empty()) {  // nothing to write: the file is not touched
        CHECK(after == content);
        return 0;
    }

    // The tail from 0x1A on is kept.
    const TextAndTail oldParts = SplitEndOfText(content);
    const TextAndTail newParts = SplitEndOfText(after);
    CHECK(newParts.tail == oldParts.tail);
    const std::vector<std::string_view> oldLines = Lines(oldParts.text);
    const std::vector<std::string_view> newLines = Lines(newParts.text);

    // Up to and including the key's header, only the blank-line rule acts.
    std::vector<std::string_view> head;
    bool hasHeader = false;
    for (const std::string_view line : oldLines) {
        head.push_back(line);
        if (IsHeaderOf(scan, line, key)) {
            hasHeader = true;
            break;
        }
    }
    CHECK(hasHeader == (opened == 1));
    const std::vector<std::string_view> keptHead = Squeezed(head);
    CHECK(newLines.size() >= keptHead.size());
    for (std::size_t i = 0; i < keptHead.size(); ++i) CHECK(newLines[i] == keptHead[i]);

    // The last value set for each name, and which names the change may touch.
    std::vector<std::pair<std::string, std::string>> finalSets;
    for (const auto& [name, value] : accepted) {
        bool found = false;
        for (auto& f : finalSets) {
            if (f.first == name) {
                f.second = value;
                found = true;
            }
        }
        if (!found) finalSets.emplace_back(name, value);
    }
    std::vector<std::string> touched;  // names as the file reads them
    bool allReadBackAsThemselves = true;
    for (const auto& [name, value] : finalSets) {
        std::string rn;
        std::string rv;
        if (ReadsBackAs(scan, name, value, rn, rv)) {
            touched.push_back(rn);
            allReadBackAsThemselves = allReadBackAsThemselves && rn == name;
        } else {
            allReadBackAsThemselves = false;
        }
        touched.push_back(name);
    }
    auto isTouched = [&](std::string_view line) {
        std::string_view n;
        std::string_view v;
        if (ParseItem(scan, Visible(line), n, v) != ItemMatch::Item) return false;
        for (const std::string& t : touched) {
            if (t == n) return true;
        }
        return false;
    };

    // Every other non-blank line survives byte for byte, in order.
    std::size_t at = 0;
    for (const std::string_view line : oldLines) {
        if (AllBlank(line) || isTouched(line)) continue;
        while (at < newLines.size() && newLines[at] != line) ++at;
        CHECK(at < newLines.size());
        ++at;
    }

    // Read back.
    {
        CQorvane check(g_dir.c_str());
        CHECK(check.OpenKey(key) == 1);
        for (const auto& [name, value] : finalSets) {
            std::string rn;
            std::string rv;
            if (!ReadsBackAs(scan, name, value, rn, rv) || rn != name) continue;
            int shadows = 0;  // other set names whose line reads as this name
            for (const auto& [other, otherValue] : finalSets) {
                std::string on;
                std::string ov;
                if (other != name && ReadsBackAs(scan, other, otherValue, on, ov) && on == name) ++shadows;
            }
            if (shadows != 0) continue;
            int rc = 0;
            const std::string got = GetValue(check, name, rc);
            CHECK(rc == 1);
            CHECK(got == rv);
        }
        for (const auto& [name, value] : loaded) {
            bool setToo = false;
            for (const std::string& t : touched) setToo = setToo || t == name;
            if (setToo) continue;
            int rc = 0;
            std::string first;
            for (const auto& [n, v] : loaded) {
                if (n == name) {
                    first = v;
                    break;
                }
            }
            CHECK(GetValue(check, name, rc) == first);
            CHECK(rc == 1);
        }
        CHECK(check.CloseKey(0) == 1);  // no change: the file is not touched
    }
    CHECK(ReadAll(SettingsPath()) == after);

    // The same change again changes nothing.
    if (allReadBackAsThemselves) {
        CHECK(OpenSetClose(key, id, accepted) == 1);
        CHECK(ReadAll(SettingsPath()) == after);
    }
    return 0;
}

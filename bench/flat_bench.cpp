// Cost per item of the per-item calls and of CloseKey, by key size.
//
// For each n given on the command line (default 10 1000 100000 1000000) a
// settings file is generated whose key PrinterSet holds n items
// "ItemK = valueK;" between two other keys, and these are timed, each on a
// freshly opened key (the setup is not timed):
//   open      OpenKey of the key
//   get       GetItem of every item, in the key's order
//   getR      GetItem of every item, in a shuffled order (no item follows
//             the one looked up before it)
//   set       SetItem of every item (new values)
//   add       SetItem of n new items
//   remove    RemoveItem of every item
//   close1    CloseKey with one changed item
//   closeSet  CloseKey with every item changed
//   closeAdd  CloseKey with n items added
//   closeRem  CloseKey with every item removed
//   floor     reading the whole file and replacing it with the same bytes
//             (temporary file, fsync, rename, directory fsync)
// Each figure is the fastest of several runs (the machine is shared: the
// fastest run is the one least disturbed). The table prints nanoseconds per
// item and the ratios the cost targets are stated in: get, set, add and
// remove against open; the three full closes against close1; close1 against
// the floor. "openMem" is the peak resident memory of an OpenKey (measured
// in a child process) per item, and that figure over the section's bytes per
// item. The process uses a private access counter, removed at exit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <functional>
#include <string>
#include <vector>

#include "InfGen.h"
#include "platform/Posix.h"
#include "platform/SettingsFile.h"
#include "qorvane/Qorvane.h"
#include "sync/SharedCounter.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ItemName(std::size_t k, const char* stem = "Item") { return stem + std::to_string(k); }

struct KeyFile {
    std::string dir;
    std::string path;
    std::string content;
    std::size_t sectionBytes = 0;
};

KeyFile MakeFile(const std::string& root, std::size_t n)
{
    KeyFile f;
    f.dir = root + "/n" + std::to_string(n);
    fs::create_directories(f.dir);
    f.path = f.dir + "/" + qbench::kSettingsName;
    std::string& c = f.content;
    c = "; generated\r\n[Before]\r\nA = 1;\r\nB = 2;\r\n\r\n[PrinterSet]\r\n";
    const std::size_t from = c.size();
    for (std::size_t k = 0; k < n; ++k) c += ItemName(k) + " = value" + std::to_string(k) + ";\r\n";
    f.sectionBytes = c.size() - from;
    c += "\r\n[HotKeySet]\r\nKey1 = F1;\r\nKey2 = F2;\r\n";
    qbench::WriteWholeFile(f.path, f.content);
    return f;
}

char* Mutable(std::string& s) { return s.data(); }

// The fastest of `runs` runs of `timed`, each after an untimed `setup`.
double Fastest(int runs, const std::function<void(CQorvane&)>& setup, const std::function<void(CQorvane&)>& timed,
               const KeyFile& f, bool restore)
{
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        if (restore) qbench::WriteWholeFile(f.path, f.content);
        CQorvane store(f.dir.c_str());
        if (store.OpenKey(qbench::kReadKey) != 1 && setup) std::abort();
        if (setup) setup(store);
        const auto t0 = Clock::now();
        timed(store);
        const auto t1 = Clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
        store.CloseKey(1);
    }
    return best;
}

double TimeOpen(int runs, const KeyFile& f)
{
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        CQorvane store(f.dir.c_str());
        const auto t0 = Clock::now();
        if (store.OpenKey(qbench::kReadKey) != 1) std::abort();
        const auto t1 = Clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    return best;
}

double TimeFloor(int runs, const KeyFile& f)
{
    double best = 1e300;
    for (int r = 0; r < runs; ++r) {
        const auto t0 = Clock::now();
        const int fd = ::open(f.path.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st {};
        ::fstat(fd, &st);
        std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t k = ::read(fd, bytes.data() + got, bytes.size() - got);
            if (k <= 0) break;
            got += static_cast<std::size_t>(k);
        }
        if (qorvane::platform::ReplaceFile(f.path, fd, st, std::string_view(bytes)) != 0) std::abort();
        ::close(fd);
        const auto t1 = Clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    return best;
}

long StatusKb(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string want = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, want.size(), want) == 0) return std::atol(line.c_str() + want.size());
    }
    return -1;
}

// Peak resident memory added by one OpenKey, in bytes, measured in a fresh
// process (this program run with --open-peak DIR), whose heap holds
// nothing freed that the open could reuse; -1 if it cannot be measured.
long OpenPeakInThisProcess(const char* dir)
{
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";  // the peak starts again from the current size
    }
    const long before = StatusKb("VmRSS");
    CQorvane store(dir);
    if (store.OpenKey(qbench::kReadKey) != 1) return -1;
    const long peak = StatusKb("VmHWM");
    return peak < 0 || before < 0 ? -1 : (peak - before) * 1024;
}

double OpenPeakBytes(const KeyFile& f)
{
    const std::string command = "/proc/" + std::to_string(::getpid()) + "/exe --open-peak '" + f.dir + "'";
    FILE* child = ::popen(command.c_str(), "r");
    if (child == nullptr) return -1;
    long grown = -1;
    if (std::fscanf(child, "%ld", &grown) != 1) grown = -1;
    ::pclose(child);
    return static_cast<double>(grown);
}

void Run(const std::string& root, std::size_t n)
{
    const KeyFile f = MakeFile(root, n);
    const int runs = n <= 1000 ? 50 : n <= 100000 ? 7 : 3;
    const int closeRuns = n <= 1000 ? 20 : 3;
    std::vector<std::string> names(n), values(n), added(n);
    for (std::size_t k = 0; k < n; ++k) {
        names[k] = ItemName(k);
        values[k] = "changed" + std::to_string(k);
        added[k] = ItemName(k, "New");
    }
    char buf[64];
    auto setAll = [&](CQorvane& s) {
        for (std::size_t k = 0; k < n; ++k) s.SetItem(KEYID_PRINTERSET, names[k].c_str(), Mutable(values[k]));
    };
    auto addAll = [&](CQorvane& s) {
        for (std::size_t k = 0; k < n; ++k) s.SetItem(KEYID_PRINTERSET, added[k].c_str(), Mutable(values[k]));
    };
    auto removeAll = [&](CQorvane& s) {
        for (std::size_t k = 0; k < n; ++k) s.RemoveItem(KEYID_PRINTERSET, names[k].c_str());
    };
    auto setOne = [&](CQorvane& s) { s.SetItem(KEYID_PRINTERSET, names[n / 2].c_str(), Mutable(values[0])); };
    auto close = [](CQorvane& s) {
        if (s.CloseKey(1) != 1) std::abort();
    };

    // QORVANE_FLAT_ONLY=name runs one measurement (for a profiler).
    const char* only = std::getenv("QORVANE_FLAT_ONLY");
    auto want = [&](const char* what) { return only == nullptr || std::string(only) == what; };
    auto note = [&](const char* what) {
        if (std::getenv("QORVANE_FLAT_TRACE") != nullptr) std::fprintf(stderr, "n=%zu: %s done\n", n, what);
    };
    const double open = !want("open") ? 1 : TimeOpen(runs, f);
    note("open");
    const double get = !want("get") ? 1 : Fastest(runs, [](CQorvane&) {}, [&](CQorvane& s) {
        for (std::size_t k = 0; k < n; ++k) s.GetItem(KEYID_PRINTERSET, names[k].c_str(), buf, sizeof buf);
    }, f, false);
    std::vector<std::size_t> shuffled(n);
    for (std::size_t k = 0; k < n; ++k) shuffled[k] = k;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    const double getR = !want("getR") ? 1 : Fastest(runs, [](CQorvane&) {}, [&](CQorvane& s) {
        for (const std::size_t k : shuffled) s.GetItem(KEYID_PRINTERSET, names[k].c_str(), buf, sizeof buf);
    }, f, false);
    const double set = !want("set") ? 1 : Fastest(runs, [](CQorvane&) {}, setAll, f, false);
    const double add = !want("add") ? 1 : Fastest(runs, [](CQorvane&) {}, addAll, f, false);
    const double rem = !want("rem") ? 1 : Fastest(runs, [](CQorvane&) {}, removeAll, f, false);
    note("get set add remove");
    const double close1 = !want("close1") ? 1 : Fastest(closeRuns, setOne, close, f, true);
    note("close1");
    const double closeSet = !want("closeSet") ? 1 : Fastest(closeRuns, setAll, close, f, true);
    note("closeSet");
    const double closeAdd = !want("closeAdd") ? 1 : Fastest(closeRuns, addAll, close, f, true);
    note("closeAdd");
    const double closeRem = !want("closeRem") ? 1 : Fastest(closeRuns, removeAll, close, f, true);
    note("closes");
    qbench::WriteWholeFile(f.path, f.content);
    const double floor = !want("floor") ? 1 : TimeFloor(closeRuns, f);
    const double mem = !want("mem") ? -1 : OpenPeakBytes(f);

    const double per = static_cast<double>(n);
    std::printf("%8zu | %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f | %5.2f %5.2f %5.2f %5.2f %5.2f | %9.3f %5.2f %5.2f %5.2f %5.2f |"
                " %6.1f %5.2f\n",
                n, open / per, get / per, getR / per, set / per, add / per, rem / per, get / open, getR / open,
                set / open, add / open, rem / open, close1 / 1e6, closeSet / close1, closeAdd / close1, closeRem / close1, close1 / floor,
                mem / per, mem < 0 ? -1.0 : mem / static_cast<double>(f.sectionBytes));
    std::fflush(stdout);
    fs::remove_all(f.dir);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--open-peak") {
        qorvane::sync::UseSharedCounterName("/qorvane.flatbench." + std::to_string(::getpid()));
        std::printf("%ld\n", OpenPeakInThisProcess(argv[2]));
        qorvane::sync::RemoveSharedCounter();
        return 0;
    }
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)));
    if (sizes.empty()) sizes = {10, 1000, 100000, 1000000};

    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qorvane-flat-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    qorvane::sync::UseSharedCounterName("/qorvane.flatbench." + std::to_string(::getpid()));

    std::printf("%8s | %-47s | %-29s | %-33s | %s\n", "", "ns per item", "x open", "close", "open memory");
    std::printf("%8s | %7s %7s %7s %7s %7s %7s | %5s %5s %5s %5s %5s | %9s %5s %5s %5s %5s | %6s %5s\n", "n", "open",
                "get", "getR", "set", "add", "remove", "get", "getR", "set", "add", "rem", "close1 ms", "xSet", "xAdd",
                "xRem", "xFlr", "B/item", "xSect");
    for (const std::size_t n : sizes) Run(root, n);

    std::error_code ec;
    fs::remove_all(root, ec);
    qorvane::sync::RemoveSharedCounter();
    return 0;
}

// Google Benchmark suite of the library's own operations.
//
// Files of about 4 KiB, 1 MiB and 32 MiB are generated once (outside every
// timed region) into a scratch directory under $TMPDIR or /tmp; the suite
// prints the scratch file system's type in its context. The process uses a
// private access counter, removed at exit.
//
// Whole operations:  OpenGet, KeyOpenGet (the same through qorvane::Key), SetClose, SetCloseChecked, CloseMany,
//                    Contended{Procs,Threads}, Increments
// Library steps:     LineTests, ScanKey, MergeKey, FindConflicts, ReadAll, ReplaceFile,
//                    CounterReader, CounterWriter, CounterWordOnly,
//                    HolderLockKept, HolderLockPerCall, WriterGiveUp
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ScratchFs.h"
#include "Contention.h"
#include "InfGen.h"
#include "drivers/JobHarness.h"
#include "format/Grammar.h"
#include "platform/Posix.h"
#include "platform/SettingsFile.h"
#include "qorvane/Key.h"
#include "qorvane/Qorvane.h"
#include "store/Conflict.h"
#include "store/KeyText.h"
#include "sync/AccessCounter.h"
#include "sync/SharedCounter.h"

namespace {

namespace fs = std::filesystem;
using qorvane::format::CharScan;

std::string g_root;
std::string g_counterName;

struct SizeCase {
    const char* label;
    std::size_t bytes;
    int closeIterations;  // 0: let the library decide
};
const SizeCase kSizes[] = {
    {"4KiB", std::size_t{4} << 10, 0},
    {"1MiB", std::size_t{1} << 20, 0},
    {"32MiB", std::size_t{32} << 20, 8},
};

// One generated file in a directory of its own; `content` is the original.
struct BenchFile {
    std::string dir;
    std::string path;
    std::string content;
};

BenchFile& FileFor(std::size_t bytes, const char* tag = "main")
{
    static std::map<std::string, std::unique_ptr<BenchFile>> files;
    const std::string id = std::string(tag) + "-" + std::to_string(bytes);
    auto& slot = files[id];
    if (!slot) {
        slot = std::make_unique<BenchFile>();
        slot->dir = g_root + "/" + id;
        fs::create_directories(slot->dir);
        slot->path = slot->dir + "/" + qbench::kSettingsName;
        qbench::GenOptions options;
        options.targetBytes = bytes;
        slot->content = qbench::GenerateInf(options);
        qbench::WriteWholeFile(slot->path, slot->content);
    }
    return *slot;
}

void Restore(const BenchFile& file)
{
    qbench::WriteWholeFile(file.path, file.content);
}

// OpenKey + GetItem of an item in the middle of the file; the close changes
// nothing and so touches no file.
void BM_OpenGet(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    char buf[256];
    for (auto _ : state) {
        CQorvane store(file.dir.c_str());
        if (store.OpenKey(qbench::kReadKey) != 1 ||
            store.GetItem(KEYID_PRINTERSET, qbench::kReadItem, buf, sizeof buf) != 1) {
            state.SkipWithError("OpenKey/GetItem failed");
            break;
        }
        benchmark::DoNotOptimize(buf);
        store.CloseKey(0);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// OpenGet through the C++17 layer: Open, Get, and a Commit that has
// nothing to write.
void BM_KeyOpenGet(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    for (auto _ : state) {
        std::error_code ec;
        auto key = qorvane::Open(file.dir, qbench::kReadKey, qorvane::Wait{0}, ec);
        auto value = key.Get(qbench::kReadItem);
        if (ec || !value) {
            state.SkipWithError("Open/Get failed");
            break;
        }
        benchmark::DoNotOptimize(value);
        key.Commit(ec);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// SetItem + CloseKey (or CloseKeyChecked) of one changed item (OpenKey
// untimed).
void SetClose(benchmark::State& state, std::size_t bytes, bool checked)
{
    const BenchFile& file = FileFor(bytes);
    int i = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CQorvane store(file.dir.c_str());
        const bool opened = store.OpenKey(qbench::kReadKey) == 1;
        state.ResumeTiming();
        char value[16];
        std::snprintf(value, sizeof value, "%s", qbench::WriteValue(i++));
        if (!opened || store.SetItem(KEYID_PRINTERSET, qbench::kWriteItem, value) != 1 ||
            (checked ? store.CloseKeyChecked(0) : store.CloseKey(0)) != 1) {
            state.SkipWithError("OpenKey/SetItem/CloseKey failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

void BM_SetClose(benchmark::State& state, std::size_t bytes)
{
    SetClose(state, bytes, false);
}

void BM_SetCloseChecked(benchmark::State& state, std::size_t bytes)
{
    SetClose(state, bytes, true);
}

// CloseKey with every item of the key changed and 100 items added (OpenKey,
// the SetItem calls and restoring the original file untimed).
void BM_CloseMany(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes, "many");
    const char* existing[] = {"DefaultPrinter", "PaperSize", "Orientation", "Copies", "Duplex", "Tray"};
    for (auto _ : state) {
        state.PauseTiming();
        Restore(file);
        CQorvane store(file.dir.c_str());
        bool ok = store.OpenKey(qbench::kReadKey) == 1;
        char value[] = "changed";
        for (const char* name : existing) ok = ok && store.SetItem(KEYID_PRINTERSET, name, value) == 1;
        for (int n = 0; n < 100; ++n) {
            char name[32];
            std::snprintf(name, sizeof name, "Added%03d", n);
            ok = ok && store.SetItem(KEYID_PRINTERSET, name, value) == 2;
        }
        state.ResumeTiming();
        if (!ok || store.CloseKey(0) != 1) {
            state.SkipWithError("CloseKey with many items failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// The line tests alone over the whole file in memory: split, then every
// test the readers apply to each line.
void BM_LineTests(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    const CharScan scan = CharScan::FromLocale();
    std::size_t items = 0;
    for (auto _ : state) {
        qorvane::format::LineSplitter lines(qorvane::format::SplitEndOfText(file.content).text);
        std::string_view line;
        items = 0;
        while (lines.Next(line)) {
            const std::string_view visible = qorvane::format::Visible(line);
            if (qorvane::format::IsAllBlank(line) || qorvane::format::IsInvalidLine(scan, visible)) continue;
            std::string_view name;
            std::string_view value;
            if (qorvane::format::ParseItem(scan, visible, name, value) == qorvane::format::ItemMatch::Item) {
                ++items;
                continue;
            }
            std::string_view key;
            benchmark::DoNotOptimize(qorvane::format::ParseKey(scan, visible, key));
        }
        benchmark::DoNotOptimize(items);
    }
    if (items == 0) state.SkipWithError("no items found");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// OpenKey's parse step alone (the file already in memory).
void BM_ScanKey(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    const CharScan scan = CharScan::FromLocale();
    std::vector<qorvane::store::ItemView> items;
    for (auto _ : state) {
        items.clear();
        const bool found = qorvane::store::ScanKey(scan, file.content, qbench::kReadKey, items);
        benchmark::DoNotOptimize(found);
    }
    if (items.size() != 6) state.SkipWithError("ScanKey found the wrong items");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// CloseKey's merge step alone (in memory, no I/O).
void BM_MergeKey(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    const CharScan scan = CharScan::FromLocale();
    std::vector<KeyItem> items = {{"DefaultPrinter", qbench::kReadValue}, {"PaperSize", "Letter"}};
    const std::vector<std::uint16_t> states = {0, 1};
    std::size_t size = 0;
    for (auto _ : state) {
        const qorvane::store::MergedText merged =
            qorvane::store::MergeKey(scan, file.content, qbench::kReadKey, items, states);
        size = merged.Size();
        benchmark::DoNotOptimize(merged.Spans().data());
    }
    // "A4" becomes "Letter": four bytes longer, nothing else changes.
    if (size != file.content.size() + 4) state.SkipWithError("MergeKey changed more than the one item");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// The comparison that CloseKeyChecked adds to CloseKey, for the one item
// that SetClose changes: all the checked close does beyond a plain one.
void BM_FindConflicts(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    const CharScan scan = CharScan::FromLocale();
    const std::vector<KeyItem> items = {{"DefaultPrinter", qbench::kReadValue}, {"PaperSize", "Letter"}};
    const std::vector<std::uint16_t> states = {0, 1};
    const std::vector<qorvane::store::ReadView> reads = {{"PaperSize", "A4", true}};
    for (auto _ : state) {
        const std::vector<KeyConflict> found =
            qorvane::store::FindConflicts(scan, file.content, qbench::kReadKey, reads, items, states, {});
        if (!found.empty()) state.SkipWithError("the unchanged item was taken for a conflict");
        benchmark::DoNotOptimize(found.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// The read step of OpenKey and CloseKey: open + read the whole file.
void BM_ReadAll(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes);
    for (auto _ : state) {
        qorvane::platform::ByteBuffer content;
        qorvane::platform::UniqueFd fd;
        if (qorvane::platform::sys::Open(file.path.c_str(), O_RDONLY, 0, fd) != 0 ||
            qorvane::platform::sys::ReadAll(fd.Get(), file.content.size(), content) != 0) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(content.Data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// The durable replace step of CloseKey alone.
void BM_ReplaceFile(benchmark::State& state, std::size_t bytes)
{
    const BenchFile& file = FileFor(bytes, "replace");
    struct stat st {};
    ::stat(file.path.c_str(), &st);
    qorvane::platform::UniqueFd old;
    qorvane::platform::sys::Open(file.path.c_str(), O_RDONLY, 0, old);
    for (auto _ : state) {
        if (qorvane::platform::ReplaceFile(file.path, old.Get(), st, file.content) != 0) {
            state.SkipWithError("ReplaceFile failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.content.size()));
}

// The counter's enter/leave pairs as OpenKey and CloseKey use them (shared
// memory word + holder lock on its own descriptor).
void BM_CounterReader(benchmark::State& state)
{
    for (auto _ : state) {
        qorvane::sync::ReaderShare reader;
        if (!reader.In()) {
            state.SkipWithError("reader refused");
            break;
        }
    }
}

void BM_CounterWriter(benchmark::State& state)
{
    for (auto _ : state) {
        qorvane::sync::WriterShare writer;
        if (!writer.In()) {
            state.SkipWithError("writer refused");
            break;
        }
    }
}

// The protocol over a plain word with no holder lock: what the atomics
// alone cost, to set against the pairs above.
void BM_CounterWordOnly(benchmark::State& state)
{
    qorvane::sync::CounterWord word{0};
    qorvane::sync::NoRecovery lock;
    for (auto _ : state) {
        if (!qorvane::sync::EnterReader(word, lock)) state.SkipWithError("refused");
        qorvane::sync::LeaveReader(word, lock);
    }
}

// The two ways to keep holder-lock descriptors out of forked children,
// per entry: the kept descriptor (registered once with the fork guard) only
// locks and unlocks; a descriptor per call also opens and closes.
void BM_HolderLockKept(benchmark::State& state)
{
    qorvane::platform::LockableFd fd;
    qorvane::platform::sys::OpenLockable(qorvane::sync::SharedCounterPath().c_str(), O_RDWR, 0, fd);
    for (auto _ : state) {
        qorvane::platform::sys::TryLockRange(fd.Get(), F_RDLCK, 0, 1);
        qorvane::platform::sys::TryLockRange(fd.Get(), F_UNLCK, 0, 0);
    }
}

void BM_HolderLockPerCall(benchmark::State& state)
{
    const std::string path = qorvane::sync::SharedCounterPath();
    for (auto _ : state) {
        qorvane::platform::LockableFd fd;  // unlocks and closes at the end of the iteration
        qorvane::platform::sys::OpenLockable(path.c_str(), O_RDWR, 0, fd);
        qorvane::platform::sys::TryLockRange(fd.Get(), F_RDLCK, 0, 1);
    }
}

// How long a writer that meets a reader who stays inside waits before it
// gives up: the bound is 50 ms from the start of its wait. With "busy",
// two threads spin on the machine's cores meanwhile. Reports p50, p99 and
// the worst case in milliseconds.
void BM_WriterGiveUp(benchmark::State& state)
{
    const bool busy = state.range(0) != 0;
    std::atomic<bool> stop{false};
    std::vector<std::thread> spinners;
    if (busy) {
        for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
            spinners.emplace_back([&] {
                volatile unsigned long x = 0;
                while (!stop.load(std::memory_order_relaxed)) x = x + 1;
            });
        }
    }
    std::vector<double> ms;
    {
        qorvane::sync::ReaderShare reader;  // stays inside
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            qorvane::sync::WriterShare writer;
            const auto end = std::chrono::steady_clock::now();
            if (writer.In()) state.SkipWithError("writer got in past a reader");
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
    }
    stop = true;
    for (std::thread& t : spinners) t.join();
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms.empty() ? 0.0 : ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
    state.counters["p50_ms"] = at(0.5);
    state.counters["p99_ms"] = at(0.99);
    state.counters["max_ms"] = ms.empty() ? 0.0 : ms.back();
}

// Contended throughput: `n` processes (or threads) each add kOps items to
// HotKeySet of the 4 KiB file, retrying busy results. Timed from the first
// fork to the last exit; every added item must be in the file afterwards.
constexpr int kTotalOps = 48;

void ReportContention(benchmark::State& state, long missing, long retries, int n)
{
    if (missing != 0) state.SkipWithError(missing < 0 ? "key unreadable" : "lost updates");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * (kTotalOps / n) * n);
    state.counters["lost"] = static_cast<double>(missing);
    state.counters["retries_per_op"] =
        static_cast<double>(retries) / static_cast<double>(state.iterations() * (kTotalOps / n) * n);
}

void BM_ContendedProcs(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int ops = kTotalOps / n;
    const BenchFile& file = FileFor(std::size_t{4} << 10, "contend");
    long missing = 0;
    long retries = 0;
    for (auto _ : state) {
        Restore(file);
        int fds[2];
        if (::pipe(fds) != 0) break;
        const auto t0 = std::chrono::steady_clock::now();
        for (int p = 0; p < n; ++p) {
            if (::fork() == 0) {
                qbench::BusyCounts busy;
                const int rc = qbench::Contend(file.dir, p, ops, busy);
                const long r = busy.Total();
                const ssize_t w = ::write(fds[1], &r, sizeof r);
                ::_exit(rc == 0 && w == sizeof r ? 0 : 1);
            }
        }
        ::close(fds[1]);
        bool failed = false;
        for (int p = 0; p < n; ++p) {
            int status = 0;
            ::wait(&status);
            failed = failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        long r = 0;
        while (::read(fds[0], &r, sizeof r) == sizeof r) retries += r;
        ::close(fds[0]);
        if (failed) {
            state.SkipWithError("a contender failed");
            break;
        }
        missing += qbench::CountMissing(file.dir, n, ops);
    }
    ReportContention(state, missing, retries, n);
}

void BM_ContendedThreads(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const int ops = kTotalOps / n;
    const BenchFile& file = FileFor(std::size_t{4} << 10, "contend-t");
    long missing = 0;
    long retries = 0;
    for (auto _ : state) {
        Restore(file);
        std::vector<qbench::BusyCounts> r(static_cast<std::size_t>(n));
        std::vector<int> rc(static_cast<std::size_t>(n), 0);
        const auto t0 = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int p = 0; p < n; ++p) {
            threads.emplace_back([&, p] {
                const auto i = static_cast<std::size_t>(p);
                rc[i] = qbench::Contend(file.dir, p, ops, r[i]);
            });
        }
        for (std::thread& t : threads) t.join();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        for (int p = 0; p < n; ++p) {
            retries += r[static_cast<std::size_t>(p)].Total();
            if (rc[static_cast<std::size_t>(p)] != 0) state.SkipWithError("a contender failed");
        }
        missing += qbench::CountMissing(file.dir, n, ops);
    }
    ReportContention(state, missing, retries, n);
}

// Eight processes each add one to a count item 200 times (GetItem, SetItem
// of the count plus one), through plain CloseKeyWait (arg 0) or through
// UpdateKey's checked close with re-tries (arg 1). Reports how many
// increments were lost and how many conflicts were re-tried.
void BM_Increments(benchmark::State& state)
{
    constexpr int kProcs = 8;
    constexpr int kRounds = 200;
    const bool checked = state.range(0) != 0;
    const BenchFile& file = FileFor(std::size_t{4} << 10, checked ? "incr-checked" : "incr-plain");
    long lost = 0;
    long conflicts = 0;
    for (auto _ : state) {
        Restore(file);
        {
            CQorvane zero(file.dir.c_str());
            char value[] = "0";
            zero.OpenKey(qbench::kContendKey);
            zero.SetItem(qbench::kContendKeyId, "Count", value);
            zero.CloseKey(0);
        }
        int fds[2];
        if (::pipe(fds) != 0) break;
        const auto t0 = std::chrono::steady_clock::now();
        for (int p = 0; p < kProcs; ++p) {
            if (::fork() != 0) continue;
            CQorvane store(file.dir.c_str());
            long tries = 0;
            const auto increment = [&](CQorvane& s) {
                ++tries;
                char buf[32];
                if (s.GetItem(qbench::kContendKeyId, "Count", buf, sizeof buf) != 1) return 0;
                std::snprintf(buf, sizeof buf, "%ld", std::strtol(buf, nullptr, 10) + 1);
                return s.SetItem(qbench::kContendKeyId, "Count", buf);
            };
            bool ok = true;
            for (int i = 0; ok && i < kRounds; ++i) {
                if (checked) {
                    ok = store.UpdateKey(qbench::kContendKey, increment, 1000, 30000) == 1;
                } else {
                    ok = store.OpenKeyWait(qbench::kContendKey, 30000) >= 0 && increment(store) > 0 &&
                         store.CloseKeyWait(0, 30000) == 1;
                }
            }
            const long retried = tries - kRounds;
            const ssize_t w = ::write(fds[1], &retried, sizeof retried);
            ::_exit(ok && w == sizeof retried ? 0 : 1);
        }
        ::close(fds[1]);
        bool failed = false;
        for (int p = 0; p < kProcs; ++p) {
            int status = 0;
            ::wait(&status);
            failed = failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        long r = 0;
        while (::read(fds[0], &r, sizeof r) == sizeof r) conflicts += r;
        ::close(fds[0]);
        CQorvane check(file.dir.c_str());
        char buf[32] = "";
        check.OpenKey(qbench::kContendKey);
        check.GetItem(qbench::kContendKeyId, "Count", buf, sizeof buf);
        check.CloseKey(0);
        lost += kProcs * kRounds - std::strtol(buf, nullptr, 10);
        if (failed) {
            state.SkipWithError("an incrementer failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kProcs * kRounds);
    state.counters["lost"] = static_cast<double>(lost) / static_cast<double>(state.iterations());
    state.counters["conflicts"] = static_cast<double>(conflicts) / static_cast<double>(state.iterations());
}

void Cleanup()
{
    std::error_code ec;
    if (!g_root.empty()) fs::remove_all(g_root, ec);
    if (!g_counterName.empty()) qorvane::sync::RemoveSharedCounter();
}

void RegisterAll()
{
    using benchmark::RegisterBenchmark;
    for (const SizeCase& s : kSizes) {
        const std::string sz = s.label;
        const std::size_t b = s.bytes;
        auto limit = [&](benchmark::internal::Benchmark* bm, int iters) {
            if (iters > 0) bm->Iterations(iters);
            bm->Unit(benchmark::kMicrosecond);
        };
        limit(RegisterBenchmark(("OpenGet/" + sz).c_str(), BM_OpenGet, b), s.closeIterations * 4);
        limit(RegisterBenchmark(("KeyOpenGet/" + sz).c_str(), BM_KeyOpenGet, b), s.closeIterations * 4);
        limit(RegisterBenchmark(("SetClose/" + sz).c_str(), BM_SetClose, b), s.closeIterations);
        limit(RegisterBenchmark(("SetCloseChecked/" + sz).c_str(), BM_SetCloseChecked, b), s.closeIterations);
        limit(RegisterBenchmark(("CloseMany/" + sz).c_str(), BM_CloseMany, b), s.closeIterations);
        limit(RegisterBenchmark(("LineTests/" + sz).c_str(), BM_LineTests, b), s.closeIterations * 2);
        limit(RegisterBenchmark(("step/ScanKey/" + sz).c_str(), BM_ScanKey, b), s.closeIterations * 4);
        limit(RegisterBenchmark(("step/MergeKey/" + sz).c_str(), BM_MergeKey, b), s.closeIterations * 2);
        limit(RegisterBenchmark(("step/FindConflicts/" + sz).c_str(), BM_FindConflicts, b), s.closeIterations * 4);
        limit(RegisterBenchmark(("step/ReadAll/" + sz).c_str(), BM_ReadAll, b), s.closeIterations * 4);
        limit(RegisterBenchmark(("step/ReplaceFile/" + sz).c_str(), BM_ReplaceFile, b), s.closeIterations);
    }
    RegisterBenchmark("CounterReader", BM_CounterReader)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("CounterWriter", BM_CounterWriter)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("CounterWordOnly", BM_CounterWordOnly);
    RegisterBenchmark("HolderLockKept", BM_HolderLockKept);
    RegisterBenchmark("HolderLockPerCall", BM_HolderLockPerCall);
    RegisterBenchmark("WriterGiveUp", BM_WriterGiveUp)
        ->ArgName("busy")
        ->Arg(0)
        ->Arg(1)
        ->Iterations(200)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    for (int n : {1, 2, 4, 8}) {
        RegisterBenchmark("ContendedProcs", BM_ContendedProcs)
            ->Arg(n)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    }
    RegisterBenchmark("Increments", BM_Increments)
        ->ArgName("checked")->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
    for (int n : {1, 2, 4, 8}) {
        RegisterBenchmark("ContendedThreads", BM_ContendedThreads)
            ->Arg(n)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qorvane-bench-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_root = templ;
    g_counterName = "/qorvane.bench." + std::to_string(::getpid());
    qorvane::sync::UseSharedCounterName(g_counterName);
    struct statfs sfs {};
    ::statfs(g_root.c_str(), &sfs);
    benchmark::AddCustomContext("scratch_dir", g_root);
    benchmark::AddCustomContext("scratch_fs", qbench::FsName(static_cast<long>(sfs.f_type)));
#ifdef QORVANE_TEST_SEAMS
    benchmark::AddCustomContext("library_build", "qorvane_testable (seams compiled in, unarmed)");
#else
    benchmark::AddCustomContext("library_build", "static copy without seams");
#endif
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        Cleanup();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Cleanup();
    return 0;
}

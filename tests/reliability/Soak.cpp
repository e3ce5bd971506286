// qorvane_soak: a bounded stress run of many processes and threads
// changing one settings file while a chaos loop SIGKILLs workers and starts
// replacements. Not part of the default test run (scripts/reliability.sh
// runs it).
//
// Each worker process has a slot k and runs T threads; thread t owns the
// items "W<k>-<t>-<s>" of PrinterSet and writes them with increasing
// values. Before each close it appends "I <s> <value>" to its own log and
// fsyncs; after CloseKey returned 1 it appends "A <s> <value>" and fsyncs.
// A worker killed between the two leaves an intent without an ack: that
// write may or may not have landed. A replacement worker for the slot
// continues from the highest intent in the logs, so values only grow.
//
// At the end: every item's value in the file lies between its last
// acknowledged and its last attempted value (a lower value is a lost
// acknowledged write); no item appears twice; a fresh process opens, sets
// and closes at once (the counter weight of killed workers is recovered)
// and the counter is back to zero. Online, each thread also checks its own
// items whenever it reads the key.
//
//   qorvane_soak [--seconds N] [--processes P] [--threads T] [--slots S] [--dir D]
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qorvane/Qorvane.h"
#include "sync/SharedCounter.h"

namespace {

struct Options {
    int seconds = 60;
    int processes = 4;
    int threads = 2;
    int slots = 4;
    std::string dir;
};

// Counters in memory shared by all processes, so that a killed worker's
// figures survive it.
struct Stats {
    std::atomic<long> writes{0};
    std::atomic<long> reads{0};
    std::atomic<long> acked{0};
    std::atomic<long> openBusy3{0};
    std::atomic<long> openBusy4{0};
    std::atomic<long> closeBusy1{0};
    std::atomic<long> closeBusy2{0};
    std::atomic<long> ioErrors{0};
    std::atomic<long> gaveUp{0};
    std::atomic<long> onlineViolations{0};
};
Stats* g_stats = nullptr;

long NowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000L + ts.tv_nsec;
}

std::string LogPath(const Options& o, int slot, int thread)
{
    return o.dir + "/log-W" + std::to_string(slot) + "-" + std::to_string(thread);
}

std::string ItemName(int slot, int thread, int s)
{
    return "W" + std::to_string(slot) + "-" + std::to_string(thread) + "-" + std::to_string(s);
}

struct History {
    std::map<int, long> lastIntent;  // per item index s
    std::map<int, long> lastAck;
};

// Complete lines only: a worker killed mid-append leaves a torn last line.
History ReadLog(const std::string& path)
{
    History h;
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t pos = 0;
    while (true) {
        const std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;
        std::istringstream line(text.substr(pos, nl - pos));
        pos = nl + 1;
        char kind = 0;
        int s = 0;
        long v = 0;
        if (!(line >> kind >> s >> v)) continue;
        auto& m = kind == 'I' ? h.lastIntent : h.lastAck;
        if (v > m[s]) m[s] = v;
    }
    return h;
}

void AppendDurably(int fd, const std::string& line)
{
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::perror("soak log");
            ::_exit(3);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        std::perror("soak log fsync");
        ::_exit(3);
    }
}

void Backoff(std::mt19937& rng)
{
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + rng() % 9000));
}

constexpr int kMaxAttempts = 400;

// Opens PrinterSet, retrying busy results. True if open.
bool OpenWithRetries(CQorvane& store, std::mt19937& rng)
{
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const int rc = store.OpenKey("PrinterSet");
        if (rc == 0 || rc == 1) return true;
        (rc == -3 ? g_stats->openBusy3 : g_stats->openBusy4)++;
        Backoff(rng);
    }
    g_stats->gaveUp++;
    return false;
}

void WorkerThread(const Options& o, int slot, int thread, long deadline)
{
    std::mt19937 rng(static_cast<unsigned>(NowNs()) ^ static_cast<unsigned>(slot * 131 + thread));
    const std::string log = LogPath(o, slot, thread);
    History h = ReadLog(log);
    std::vector<long> next(static_cast<std::size_t>(o.slots), 0);
    for (const auto& [s, v] : h.lastIntent) next[static_cast<std::size_t>(s)] = v;
    const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) ::_exit(3);

    while (NowNs() < deadline) {
        CQorvane store(o.dir.c_str());
        if (!OpenWithRetries(store, rng)) continue;
        // Online check: our own items lie between our last ack and our
        // last intent, whatever other processes did meanwhile.
        for (int s = 0; s < o.slots; ++s) {
            char buf[32];
            const std::string name = ItemName(slot, thread, s);
            const long acked = h.lastAck.count(s) != 0 ? h.lastAck[s] : 0;
            if (store.GetItem(KEYID_PRINTERSET, name.c_str(), buf, sizeof buf) == 1) {
                const long v = std::atol(buf);
                if (v < acked || v > next[static_cast<std::size_t>(s)]) g_stats->onlineViolations++;
            } else if (acked > 0) {
                g_stats->onlineViolations++;
            }
        }
        if (rng() % 4 == 0) {  // a read only
            g_stats->reads++;
            store.CloseKey(1);
            continue;
        }
        const int s = static_cast<int>(rng() % static_cast<unsigned>(o.slots));
        const long value = ++next[static_cast<std::size_t>(s)];
        std::string text = std::to_string(value);
        store.SetItem(KEYID_PRINTERSET, ItemName(slot, thread, s).c_str(), text.data());
        AppendDurably(fd, "I " + std::to_string(s) + " " + text + "\n");
        h.lastIntent[s] = value;
        g_stats->writes++;
        bool done = false;
        for (int attempt = 0; attempt < kMaxAttempts && !done; ++attempt) {
            const int rc = store.CloseKey(0);
            if (rc == 1) {
                done = true;
            } else if (rc == -1 || rc == -2) {
                (rc == -1 ? g_stats->closeBusy1 : g_stats->closeBusy2)++;
                Backoff(rng);
            } else {
                g_stats->ioErrors++;
                break;
            }
        }
        if (!done) {
            g_stats->gaveUp++;
            continue;
        }
        AppendDurably(fd, "A " + std::to_string(s) + " " + text + "\n");
        h.lastAck[s] = value;
        g_stats->acked++;
    }
    ::close(fd);
}

pid_t StartWorker(const Options& o, int slot, long deadline)
{
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    std::vector<std::thread> threads;
    for (int t = 0; t < o.threads; ++t) threads.emplace_back(WorkerThread, std::cref(o), slot, t, deadline);
    for (auto& t : threads) t.join();
    ::_exit(0);
}

// Open, set and close in a fresh process at the first attempt; its time.
bool FinalChange(const Options& o, long& micros)
{
    const long start = NowNs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        CQorvane store(o.dir.c_str());
        if (store.OpenKey("PrinterSet") < 0) ::_exit(1);
        char v[] = "done";
        if (store.SetItem(KEYID_PRINTERSET, "Final", v) <= 0) ::_exit(2);
        ::_exit(store.CloseKey(0) == 1 ? 0 : 3);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    micros = (NowNs() - start) / 1000;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: qorvane_soak [--seconds N] [--processes P] [--threads T] [--slots S] [--dir D]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return Usage();
        const char* v = argv[++i];
        if (a == "--seconds") o.seconds = std::atoi(v);
        else if (a == "--processes") o.processes = std::atoi(v);
        else if (a == "--threads") o.threads = std::atoi(v);
        else if (a == "--slots") o.slots = std::atoi(v);
        else if (a == "--dir") o.dir = v;
        else return Usage();
    }
    if (o.seconds < 1 || o.processes < 1 || o.threads < 1 || o.slots < 1) return Usage();
    bool ownDir = false;
    if (o.dir.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qorvane-soak-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return 3;
        o.dir = pattern;
        ownDir = true;
    }
    // A private counter: never the machine-wide one.
    const std::string counter = "/qorvane-soak-" + std::to_string(::getpid());
    qorvane::sync::UseSharedCounterName(counter);
    {
        std::ofstream(o.dir + "/QorRunningSet.Inf", std::ios::binary)
            << "; soak\r\n[HotKeySet]\r\nCopy = Ctrl+C;\r\n\r\n[PrinterSet]\r\nPort = LPT1;\r\n";
    }
    void* shared = ::mmap(nullptr, sizeof(Stats), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 3;
    g_stats = new (shared) Stats();
    (void)qorvane::sync::SharedCounterWord();  // create it before the workers fork

    const long deadline = NowNs() + static_cast<long>(o.seconds) * 1000000000L;
    std::vector<pid_t> workers;
    for (int k = 0; k < o.processes; ++k) workers.push_back(StartWorker(o, k, deadline));

    // Chaos: kill a random worker every 100-800 ms and start a replacement
    // for its slot, until shortly before the deadline.
    std::mt19937 rng(static_cast<unsigned>(NowNs()));
    long kills = 0;
    while (NowNs() < deadline - 500000000L) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 700));
        const std::size_t k = rng() % workers.size();
        ::kill(workers[k], SIGKILL);
        int status = 0;
        ::waitpid(workers[k], &status, 0);
        if (WIFSIGNALED(status)) ++kills;
        workers[k] = StartWorker(o, static_cast<int>(k), deadline);
    }
    bool workersOk = true;
    for (const pid_t pid : workers) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        workersOk = workersOk && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    long recoveryMicros = 0;
    const bool recovered = FinalChange(o, recoveryMicros) && recoveryMicros < 1000000;
    const int counterAfter = qorvane::sync::SharedCounterWord().load();

    // The final file: each item once, each between its last ack and intent.
    CQorvane check(o.dir.c_str());
    const bool opened = check.OpenKey("PrinterSet") == 1;
    std::map<std::string, std::string> items;
    long duplicates = 0;
    for (int i = 0; i < check.GetItemCount(); ++i) {
        CString n;
        CString v;
        check.GetItemAt(i, n, v);
        if (!items.emplace(n.str(), v.str()).second) ++duplicates;
    }
    check.CloseKey(1);
    long lost = 0;
    long beyondIntent = 0;
    for (int k = 0; k < o.processes; ++k) {
        for (int t = 0; t < o.threads; ++t) {
            const History h = ReadLog(LogPath(o, k, t));
            for (int s = 0; s < o.slots; ++s) {
                const auto a = h.lastAck.find(s);
                const auto in = h.lastIntent.find(s);
                const auto it = items.find(ItemName(k, t, s));
                const long value = it == items.end() ? 0 : std::atol(it->second.c_str());
                if (a != h.lastAck.end() && value < a->second) ++lost;
                if (value > (in == h.lastIntent.end() ? 0 : in->second)) ++beyondIntent;
            }
        }
    }
    const bool finalThere = items.count("Final") == 1 && items["Final"] == "done";

    const long busy = g_stats->openBusy3 + g_stats->openBusy4 + g_stats->closeBusy1 + g_stats->closeBusy2;
    std::printf("soak: %d s, %d processes x %d threads, %d items each\n", o.seconds, o.processes, o.threads,
                o.slots);
    std::printf("soak: operations=%ld (writes=%ld reads=%ld) acknowledged=%ld kills=%ld\n",
                g_stats->writes + g_stats->reads, g_stats->writes.load(), g_stats->reads.load(),
                g_stats->acked.load(), kills);
    std::printf("soak: busy=%ld (open -3: %ld, open -4: %ld, close -1: %ld, close -2: %ld) io_errors=%ld gave_up=%ld\n",
                busy, g_stats->openBusy3.load(), g_stats->openBusy4.load(), g_stats->closeBusy1.load(),
                g_stats->closeBusy2.load(), g_stats->ioErrors.load(), g_stats->gaveUp.load());
    std::printf("soak: lost_acknowledged=%ld beyond_intent=%ld duplicates=%ld online_violations=%ld\n", lost,
                beyondIntent, duplicates, g_stats->onlineViolations.load());
    std::printf("soak: final open/set/close %s in %ld us, counter after=%d, items in key=%zu\n",
                recovered ? "succeeded" : "FAILED", recoveryMicros, counterAfter, items.size());

    const bool ok = workersOk && opened && recovered && finalThere && counterAfter == 0 && lost == 0 &&
                    beyondIntent == 0 && duplicates == 0 && g_stats->onlineViolations == 0 && g_stats->ioErrors == 0;
    std::printf("soak: %s\n", ok ? "PASS" : "FAIL");
    qorvane::sync::RemoveSharedCounter();
    if (ownDir && ok) std::filesystem::remove_all(o.dir);
    if (!ok && ownDir) std::printf("soak: files kept in %s\n", o.dir.c_str());
    return ok ? 0 : 1;
}

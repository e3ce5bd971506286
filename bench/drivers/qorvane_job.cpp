// The library's side of the peer comparison, plus the memory and contention
// measurements of bench/compare.py.
//
//   qorvane_job read|write DIR [timing options]    (see JobHarness.h)
//   qorvane_job mem DIR          peak RSS while CloseKey rewrites the file
//   qorvane_job contend DIR PROCS OPS
//                                PROCS processes each add OPS items to
//                                HotKeySet (open/set/close, retrying busy
//                                results); prints aggregate ops/s and the
//                                number of updates missing from the file
//   qorvane_job contend-wait DIR PROCS OPS
//                                the same with OpenKeyWait/CloseKeyWait
//                                (10 s each) instead of the caller's own
//                                retries; also prints the median and 99th
//                                percentile time of one successful close
//   qorvane_job mix DIR WRITERS READERS SECONDS [READER_NICE]
//                                WRITERS processes loop OpenKeyWait, SetItem
//                                of an item of their own, CloseKeyWait;
//                                READERS processes loop OpenKeyWait, GetItem,
//                                CloseKey; for SECONDS. Prints the writers'
//                                rate and close times, the readers' open
//                                times (p50, p99, p99.9, max), their
//                                involuntary context switches per second
//                                and the lost updates (a writer's last value
//                                missing). READER_NICE: the readers' nice
//                                increment (0), to see what the writer does
//                                when it need not share a processor
//   qorvane_job spin DIR PROCS SECONDS MICROS
//                                the scheduler's share alone: PROCS
//                                processes loop a busy wait of MICROS
//                                microseconds (touching no file) for
//                                SECONDS; prints that wait's p50, p99,
//                                p99.9 and max, which a time slice taken by
//                                another process stretches
//
// Uses a private access counter (never the machine-wide one), removed at
// exit.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Contention.h"
#include "InfGen.h"
#include "JobHarness.h"
#include "qorvane/Qorvane.h"
#include "sync/SharedCounter.h"

namespace {

std::string g_counterName;

void RemoveCounter()
{
    qorvane::sync::RemoveSharedCounter();
}

void UsePrivateCounter()
{
    g_counterName = "/qorvane.bench-job." + std::to_string(::getpid());
    qorvane::sync::UseSharedCounterName(g_counterName);
    std::atexit(RemoveCounter);
}

long StatusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t n = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
    }
    return -1;
}

int MemJob(const std::string& dir)
{
    CQorvane store(dir.c_str());
    if (store.OpenKey(qbench::kReadKey) != 1) return 1;
    char value[] = "Letter";
    if (store.SetItem(KEYID_PRINTERSET, qbench::kWriteItem, value) != 1) return 1;
    const long before = StatusKb("VmRSS:");
    {
        // Resets VmHWM to the current RSS, so the peak below is the close's.
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
    }
    const int rc = store.CloseKey(0);
    const long peak = StatusKb("VmHWM:");
    std::printf("close_rc=%d rss_before_kb=%ld peak_kb=%ld\n", rc, before, peak);
    return rc == 1 ? 0 : 1;
}

// Forks `procs` workers; worker p runs work(p, fd), fd being the write end
// of a pipe, and exits with 0 when it returns 0. collect(fd) reads the other
// end until every worker has closed it; then the workers are reaped. Returns
// the number of workers that failed, or -1 when none could be started.
template <class Work, class Collect>
int RunWorkers(int procs, Work work, Collect collect)
{
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    int started = 0;
    for (int p = 0; p < procs; ++p) {
        const pid_t pid = ::fork();
        if (pid < 0) break;
        if (pid == 0) {
            ::close(fds[0]);
            ::_exit(work(p, fds[1]) == 0 ? 0 : 1);
        }
        ++started;
    }
    ::close(fds[1]);
    collect(fds[0]);
    ::close(fds[0]);
    int failed = procs - started;
    for (int p = 0; p < started; ++p) {
        int status = 0;
        ::wait(&status);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    return started == 0 ? -1 : failed;
}

int ContendJob(const std::string& dir, int procs, int ops)
{
    const auto t0 = std::chrono::steady_clock::now();
    qbench::BusyCounts all;
    const int failed = RunWorkers(
        procs,
        [&](int p, int fd) {
            qbench::BusyCounts busy;
            const int rc = qbench::Contend(dir, p, ops, busy);
            const ssize_t w = ::write(fd, &busy, sizeof busy);
            return rc != 0 || w != sizeof busy ? 1 : 0;
        },
        [&](int fd) {
            qbench::BusyCounts r;
            while (::read(fd, &r, sizeof r) == sizeof r) {
                all.open3 += r.open3;
                all.open4 += r.open4;
                all.close1 += r.close1;
                all.close2 += r.close2;
            }
        });
    if (failed < 0) return 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    // Every item every process added must be in the file now.
    const long missing = qbench::CountMissing(dir, procs, ops);
    std::printf("procs=%d ops=%d seconds=%.6f ops_per_s=%.1f lost=%ld retries=%ld open_m3=%ld open_m4=%ld "
                "close_m1=%ld close_m2=%ld failed_procs=%d\n",
                procs, procs * ops, seconds, procs * ops / seconds, missing, all.Total(), all.open3, all.open4,
                all.close1, all.close2, failed);
    return missing == 0 && failed == 0 ? 0 : 1;
}

double PercentileMs(std::vector<long long> ns, double q)
{
    if (ns.empty()) return 0;
    std::sort(ns.begin(), ns.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(ns.size() - 1) + 0.5);
    return static_cast<double>(ns[at]) / 1e6;
}

int ContendWaitJob(const std::string& dir, int procs, int ops)
{
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<long long> openNs;
    std::vector<long long> closeNs;
    std::vector<long long> roundNs;  // open + close: where a round waits matters less than how long
    const int failed = RunWorkers(
        procs,
        [&](int p, int fd) {
            std::vector<long long> opens;
            std::vector<long long> closes;
            const int rc = qbench::ContendWaiting(dir, p, ops, 10000, opens, closes);
            // Pairs of (open, close) times; a failed round sends none.
            std::vector<long long> pairs;
            for (std::size_t i = 0; i < closes.size(); ++i) {
                pairs.push_back(opens[i]);
                pairs.push_back(closes[i]);
            }
            const auto bytes = static_cast<ssize_t>(pairs.size() * sizeof(long long));
            const ssize_t w = bytes == 0 ? 0 : ::write(fd, pairs.data(), static_cast<std::size_t>(bytes));
            return rc != 0 || w != bytes ? 1 : 0;
        },
        [&](int fd) {
            long long t[2] = {0, 0};
            while (::read(fd, t, sizeof t) == sizeof t) {
                openNs.push_back(t[0]);
                closeNs.push_back(t[1]);
                roundNs.push_back(t[0] + t[1]);
            }
        });
    if (failed < 0) return 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const long missing = qbench::CountMissing(dir, procs, ops);
    std::printf("procs=%d ops=%d seconds=%.6f ops_per_s=%.1f lost=%ld close_p50_ms=%.3f close_p99_ms=%.3f "
                "open_p50_ms=%.3f open_p99_ms=%.3f round_p50_ms=%.3f round_p99_ms=%.3f closes=%zu failed_procs=%d\n",
                procs, procs * ops, seconds, procs * ops / seconds, missing, PercentileMs(closeNs, 0.5),
                PercentileMs(closeNs, 0.99), PercentileMs(openNs, 0.5), PercentileMs(openNs, 0.99),
                PercentileMs(roundNs, 0.5), PercentileMs(roundNs, 0.99), closeNs.size(), failed);
    return missing == 0 && failed == 0 ? 0 : 1;
}

// One worker of the mix: its role, the values it wrote and its call times,
// left in a file beside the settings directory for the parent to read.
struct MixResult {
    long rounds = 0;
    long preempted = 0;  // involuntary context switches
    std::vector<long long> openNs;
    std::vector<long long> closeNs;  // writers: CloseKeyWait; readers: GetItem + CloseKey, which wait for nothing
};

std::string MixFile(const std::string& dir, int p)
{
    return dir + ".mix" + std::to_string(p);
}

bool SaveMix(const std::string& file, const MixResult& r)
{
    std::ofstream out(file, std::ios::binary);
    const long sizes[4] = {r.rounds, static_cast<long>(r.openNs.size()), static_cast<long>(r.closeNs.size()), r.preempted};
    out.write(reinterpret_cast<const char*>(sizes), sizeof sizes);
    out.write(reinterpret_cast<const char*>(r.openNs.data()), static_cast<std::streamsize>(r.openNs.size() * 8));
    out.write(reinterpret_cast<const char*>(r.closeNs.data()), static_cast<std::streamsize>(r.closeNs.size() * 8));
    return static_cast<bool>(out);
}

bool LoadMix(const std::string& file, MixResult& r)
{
    std::ifstream in(file, std::ios::binary);
    long sizes[4] = {0, 0, 0, 0};
    in.read(reinterpret_cast<char*>(sizes), sizeof sizes);
    r.rounds = sizes[0];
    r.preempted = sizes[3];
    r.openNs.resize(static_cast<std::size_t>(sizes[1]));
    r.closeNs.resize(static_cast<std::size_t>(sizes[2]));
    in.read(reinterpret_cast<char*>(r.openNs.data()), static_cast<std::streamsize>(r.openNs.size() * 8));
    in.read(reinterpret_cast<char*>(r.closeNs.data()), static_cast<std::streamsize>(r.closeNs.size() * 8));
    return static_cast<bool>(in);
}

int MixWorker(const std::string& dir, int p, bool writer, double seconds, int readerNice)
{
    if (!writer && readerNice != 0) {
        errno = 0;
        if (::nice(readerNice) == -1 && errno != 0) return 1;
    }
    using Clock = std::chrono::steady_clock;
    const auto ns = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count(); };
    CQorvane store(dir.c_str());
    MixResult r;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    char name[32];
    std::snprintf(name, sizeof name, "W%d", p);
    while (Clock::now() < end) {
        const auto o0 = Clock::now();
        const int opened = store.OpenKeyWait(qbench::kContendKey, 10000);
        if (opened != 0 && opened != 1) {
            std::fprintf(stderr, "worker %d: OpenKeyWait %d\n", p, opened);
            return 1;
        }
        r.openNs.push_back(ns(Clock::now() - o0));
        if (writer) {
            std::string value = std::to_string(r.rounds + 1);
            if (store.SetItem(qbench::kContendKeyId, name, value.data()) < 1) return 1;
            const auto c0 = Clock::now();
            if (const int closed = store.CloseKeyWait(0, 10000); closed != 1) {
                std::fprintf(stderr, "worker %d: CloseKeyWait %d\n", p, closed);
                return 1;
            }
            r.closeNs.push_back(ns(Clock::now() - c0));
        } else {
            char buf[32];
            const auto r0 = Clock::now();
            store.GetItem(qbench::kContendKeyId, name, buf, sizeof buf);
            if (store.CloseKey(0) != 1) return 1;
            r.closeNs.push_back(ns(Clock::now() - r0));
        }
        ++r.rounds;
    }
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    r.preempted = usage.ru_nivcsw;
    return SaveMix(MixFile(dir, p), r) ? 0 : 1;
}

// See the head of the file; DIR only holds the workers' result files.
int SpinJob(const std::string& dir, int procs, double seconds, long micros)
{
    using Clock = std::chrono::steady_clock;
    const int failed = RunWorkers(
        procs,
        [&](int p, int) {
            MixResult r;
            const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                while (Clock::now() - t0 < std::chrono::microseconds(micros)) {
                }
                r.openNs.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
                ++r.rounds;
            }
            return SaveMix(MixFile(dir, p), r) ? 0 : 1;
        },
        [](int) {});
    if (failed < 0) return 1;
    std::vector<long long> all;
    for (int p = 0; p < procs; ++p) {
        MixResult r;
        if (!LoadMix(MixFile(dir, p), r)) return 1;
        std::remove(MixFile(dir, p).c_str());
        all.insert(all.end(), r.openNs.begin(), r.openNs.end());
    }
    const double maxMs = all.empty() ? 0.0 : static_cast<double>(*std::max_element(all.begin(), all.end())) / 1e6;
    std::printf("procs=%d spin_us=%ld spin_p50_ms=%.3f spin_p99_ms=%.3f spin_p999_ms=%.3f spin_max_ms=%.3f failed_procs=%d\n", procs,
                micros, PercentileMs(all, 0.5), PercentileMs(all, 0.99), PercentileMs(all, 0.999), maxMs, failed);
    return failed == 0 ? 0 : 1;
}

// Writers 0 .. writers-1, then readers; see the head of the file.
int MixJob(const std::string& dir, int writers, int readers, double seconds, int readerNice)
{
    const int failed = RunWorkers(
        writers + readers, [&](int p, int) { return MixWorker(dir, p, p < writers, seconds, readerNice); }, [](int) {});
    if (failed < 0) return 1;
    std::vector<long long> readerOpens;
    std::vector<long long> readerRest;
    std::vector<long long> writerOpens;
    std::vector<long long> writerCloses;
    long writerRounds = 0;
    long readerRounds = 0;
    long readerPreempted = 0;
    long lost = 0;
    CQorvane check(dir.c_str());
    const bool readable = check.OpenKey(qbench::kContendKey) == 1 || writers == 0;
    for (int p = 0; p < writers + readers; ++p) {
        MixResult r;
        if (!LoadMix(MixFile(dir, p), r)) return 1;
        std::remove(MixFile(dir, p).c_str());
        if (p < writers) {
            writerRounds += r.rounds;
            writerCloses.insert(writerCloses.end(), r.closeNs.begin(), r.closeNs.end());
            writerOpens.insert(writerOpens.end(), r.openNs.begin(), r.openNs.end());
            char name[32];
            char buf[32] = "";
            std::snprintf(name, sizeof name, "W%d", p);
            if (!readable || check.GetItem(qbench::kContendKeyId, name, buf, sizeof buf) != 1 ||
                std::atol(buf) != r.rounds) {
                ++lost;
            }
        } else {
            readerRounds += r.rounds;
            readerPreempted += r.preempted;
            readerOpens.insert(readerOpens.end(), r.openNs.begin(), r.openNs.end());
            readerRest.insert(readerRest.end(), r.closeNs.begin(), r.closeNs.end());
        }
    }
    const auto maxMs = [](const std::vector<long long>& v) {
        return v.empty() ? 0.0 : static_cast<double>(*std::max_element(v.begin(), v.end())) / 1e6;
    };
    std::printf("writers=%d readers=%d seconds=%.1f writer_rate=%.1f close_p50_ms=%.3f close_p99_ms=%.3f "
                "writer_open_p50_ms=%.3f writer_open_p99_ms=%.3f reader_rate=%.1f open_p50_ms=%.3f open_p99_ms=%.3f open_p999_ms=%.3f open_max_ms=%.3f "
                "reader_rest_p999_ms=%.3f reader_preempted_per_s=%.0f lost=%ld failed_procs=%d\n",
                writers, readers, seconds, static_cast<double>(writerRounds) / seconds,
                PercentileMs(writerCloses, 0.5), PercentileMs(writerCloses, 0.99), PercentileMs(writerOpens, 0.5),
                PercentileMs(writerOpens, 0.99),
                static_cast<double>(readerRounds) / seconds, PercentileMs(readerOpens, 0.5),
                PercentileMs(readerOpens, 0.99), PercentileMs(readerOpens, 0.999), maxMs(readerOpens),
                PercentileMs(readerRest, 0.999), readers > 0 ? static_cast<double>(readerPreempted) / readers / seconds : 0.0, lost, failed);
    return lost == 0 && failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    UsePrivateCounter();
    if (argc >= 3 && std::strcmp(argv[1], "mem") == 0) return MemJob(argv[2]);
    if (argc >= 5 && std::strcmp(argv[1], "contend") == 0) {
        return ContendJob(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc >= 5 && std::strcmp(argv[1], "contend-wait") == 0) {
        return ContendWaitJob(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    }
    if (argc >= 6 && std::strcmp(argv[1], "spin") == 0) {
        return SpinJob(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atol(argv[5]));
    }
    if (argc >= 6 && std::strcmp(argv[1], "mix") == 0) {
        return MixJob(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]), argc >= 7 ? std::atoi(argv[6]) : 0);
    }
    qbench::JobArgs args;
    if (!qbench::ParseJobArgs(argc, argv, args)) return qbench::Usage(argv[0]);
    const std::string dir = args.path;
    std::string value;
    if (args.mode == "read") {
        return qbench::RunTimed(args, [&](int) {
            CQorvane store(dir.c_str());
            if (store.OpenKey(qbench::kReadKey) != 1) return false;
            char buf[256];
            if (store.GetItem(KEYID_PRINTERSET, qbench::kReadItem, buf, sizeof buf) != 1) return false;
            value = buf;
            return store.CloseKey(0) == 1;
        }, value);
    }
    return qbench::RunTimed(args, [&](int i) {
        CQorvane store(dir.c_str());
        if (store.OpenKey(qbench::kReadKey) != 1) return false;
        std::string v = qbench::WriteValue(i);
        if (store.SetItem(KEYID_PRINTERSET, qbench::kWriteItem, v.data()) != 1) return false;
        value = v;
        return store.CloseKey(0) == 1;
    }, value);
}

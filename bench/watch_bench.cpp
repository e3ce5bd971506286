// qorvane_watch_bench: what watching a key costs, printed as figures.
//
//   latency  A watcher in another process blocks in Wait; this process
//            changes the watched key with SetItem + CloseKey. The watcher
//            writes the CLOCK_MONOTONIC time at which Wait returned into a
//            pipe. Reported: median and 99th percentile of the time from
//            CloseKey returning to the watcher waking (negative when it
//            woke first: the rename is seen before CloseKey's directory
//            fsync returns), and from CloseKey being called, on files of
//            about 4 KiB and 1 MiB; and, for scale, the ratio of the median
//            wake time to the median CloseKey time.
//   idle     The CPU time (user + system) a watcher uses while it waits 10 s
//            with nothing happening.
//
// Usage: qorvane_watch_bench [ROUNDS]   (default 200 changes per size)
// The scratch directory is under $TMPDIR or /tmp; the process uses a
// private access counter, removed at exit.
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "ScratchFs.h"
#include "InfGen.h"
#include "qorvane/Qorvane.h"
#include "qorvane/Watch.h"
#include "sync/SharedCounter.h"

namespace {

namespace fs = std::filesystem;

std::int64_t NowNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::int64_t CpuNs()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    const auto ns = [](const timeval& t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_usec * 1000; };
    return ns(u.ru_utime) + ns(u.ru_stime);
}

bool ReadFull(int fd, void* data, std::size_t n, int timeoutMs)
{
    auto* p = static_cast<char*>(data);
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) != 1) return false;
        const ssize_t got = ::read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// A watcher in a child process. Writes an 8-byte value to the pipe when it
// is ready, then one per wake (the wake time) or, with idleMs, one CPU
// time after waiting that long.
pid_t StartWatcher(const std::string& dir, int pipeOut, int idleMs)
{
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    CQorvaneWatch watch;
    std::int64_t value = watch.Start(dir.c_str(), qbench::kReadKey);
    if (::write(pipeOut, &value, sizeof value) != sizeof value || value != 1) ::_exit(1);
    if (idleMs > 0) {
        const std::int64_t before = CpuNs();
        const int rc = watch.Wait(idleMs);
        value = rc == 0 ? CpuNs() - before : -1;
        ::_exit(::write(pipeOut, &value, sizeof value) == sizeof value ? 0 : 1);
    }
    while (watch.Wait(-1) == 1) {
        value = NowNs();
        if (::write(pipeOut, &value, sizeof value) != sizeof value) break;
    }
    ::_exit(0);
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}


bool Latency(const std::string& root, const char* label, std::size_t bytes, int rounds)
{
    const std::string dir = root + "/" + label;
    fs::create_directories(dir);
    qbench::GenOptions options;
    options.targetBytes = bytes;
    qbench::WriteWholeFile(dir + "/" + qbench::kSettingsName, qbench::GenerateInf(options));

    int p[2];
    if (::pipe(p) != 0) return false;
    const pid_t child = StartWatcher(dir, p[1], 0);
    ::close(p[1]);
    std::int64_t ready = 0;
    if (!ReadFull(p[0], &ready, sizeof ready, 10000) || ready != 1) return false;

    std::vector<double> fromReturn;
    std::vector<double> fromCall;
    std::vector<double> closeTime;
    bool ok = true;
    for (int i = 0; ok && i < rounds; ++i) {
        CQorvane store(dir.c_str());
        std::string value = "bench-" + std::to_string(i);
        ok = store.OpenKey(qbench::kReadKey) == 1 && store.SetItem(KEYID_PRINTERSET, qbench::kWriteItem, value.data()) == 1;
        const std::int64_t called = NowNs();
        ok = ok && store.CloseKey(1) == 1;
        const std::int64_t returned = NowNs();
        std::int64_t woke = 0;
        ok = ok && ReadFull(p[0], &woke, sizeof woke, 10000);
        if (!ok) break;
        fromReturn.push_back(static_cast<double>(woke - returned) / 1e6);
        fromCall.push_back(static_cast<double>(woke - called) / 1e6);
        closeTime.push_back(static_cast<double>(returned - called) / 1e6);
    }
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
    ::close(p[0]);
    if (!ok) {
        std::printf("%-5s latency: a change was not seen\n", label);
        return false;
    }
    const auto after = std::count_if(fromReturn.begin(), fromReturn.end(), [](double ms) { return ms > 0; });
    std::printf("%-5s CloseKey return -> watcher awake: median %7.3f ms, p99 %7.3f ms, max %7.3f ms"
                " (%ld of %zu woke after the return)\n",
                label, Percentile(fromReturn, 0.5), Percentile(fromReturn, 0.99), Percentile(fromReturn, 1.0),
                static_cast<long>(after), fromReturn.size());
    std::printf("%-5s CloseKey call   -> watcher awake: median %7.3f ms, p99 %7.3f ms"
                "  (CloseKey itself: median %.3f ms; wake/close ratio %.2f)\n",
                label, Percentile(fromCall, 0.5), Percentile(fromCall, 0.99), Percentile(closeTime, 0.5),
                Percentile(fromCall, 0.5) / Percentile(closeTime, 0.5));
    return true;
}

bool Idle(const std::string& root, int idleMs)
{
    const std::string dir = root + "/idle";
    fs::create_directories(dir);
    qbench::WriteWholeFile(dir + "/" + qbench::kSettingsName, qbench::GenerateInf(qbench::GenOptions{}));
    int p[2];
    if (::pipe(p) != 0) return false;
    const pid_t child = StartWatcher(dir, p[1], idleMs);
    ::close(p[1]);
    std::int64_t ready = 0;
    std::int64_t cpu = -1;
    const bool ok = ReadFull(p[0], &ready, sizeof ready, 10000) && ready == 1 &&
                    ReadFull(p[0], &cpu, sizeof cpu, idleMs + 10000) && cpu >= 0;
    ::waitpid(child, nullptr, 0);
    ::close(p[0]);
    if (!ok) {
        std::printf("idle: the watcher did not report\n");
        return false;
    }
    std::printf("idle  watcher CPU time over %.0f s of waiting: %.3f ms (getrusage resolution)\n", idleMs / 1000.0,
                static_cast<double>(cpu) / 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    const std::string counter = "/qorvane-watch-bench-" + std::to_string(::getpid());
    qorvane::sync::UseSharedCounterName(counter);
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qorvane-watch-bench-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) return 1;
    struct statfs sfs {};
    ::statfs(root.c_str(), &sfs);
    std::printf("scratch file system: %s; %d changes per size; %ld CPUs\n", qbench::FsName(static_cast<long>(sfs.f_type)),
                rounds, ::sysconf(_SC_NPROCESSORS_ONLN));

    bool ok = Latency(root, "4KiB", std::size_t{4} << 10, rounds);
    ok = Latency(root, "1MiB", std::size_t{1} << 20, rounds) && ok;
    ok = Idle(root, 10000) && ok;

    std::error_code ec;
    fs::remove_all(root, ec);
    ::shm_unlink(counter.c_str());
    return ok ? 0 : 1;
}

// One contender's share of a contention run: `ops` rounds of OpenKey,
// SetItem of a new item "W<id>_<i>", CloseKey, retrying busy results after
// a short random pause (as a well-behaved client does). Afterwards
// CountMissing tells how many of the added items are not in the file: any
// count above zero is a lost update. ContendWaiting does the same rounds
// with the library's waiting calls.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qorvane/Qorvane.h"

namespace qbench {

inline constexpr const char* kContendKey = "HotKeySet";
inline constexpr unsigned long kContendKeyId = KEYID_HOTKEYSET;

// Busy results seen, by call and result: OpenKey -3 (a writer holds or
// awaits the counter) and -4 (another open holds the file's lock), CloseKey
// -1 (gave up waiting in the counter) and -2 (file lock held).
struct BusyCounts {
    long open3 = 0;
    long open4 = 0;
    long close1 = 0;
    long close2 = 0;
    long Total() const noexcept { return open3 + open4 + close1 + close2; }
};

// 0 on success; 1 on a non-busy error or after too many retries.
inline int Contend(const std::string& dir, int id, int ops, BusyCounts& busy)
{
    std::mt19937 rng(static_cast<unsigned>(::getpid()) * 7919u + static_cast<unsigned>(id));
    std::uniform_int_distribution<int> pauseUs(50, 2000);
    auto backoff = [&] { std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(rng))); };
    CQorvane store(dir.c_str());
    for (int i = 0; i < ops; ++i) {
        long tries = 0;
        for (;;) {
            const int rc = store.OpenKey(kContendKey);
            if (rc == 0 || rc == 1) break;
            if ((rc != -3 && rc != -4) || ++tries > 100000) return 1;
            ++(rc == -3 ? busy.open3 : busy.open4);
            backoff();
        }
        char name[32];
        std::snprintf(name, sizeof name, "W%d_%d", id, i);
        char one[] = "1";
        if (store.SetItem(kContendKeyId, name, one) != 2) return 1;
        for (;;) {
            const int rc = store.CloseKey(0);
            if (rc == 1) break;
            if ((rc != -1 && rc != -2) || ++tries > 100000) return 1;
            ++(rc == -1 ? busy.close1 : busy.close2);
            backoff();
        }
    }
    return 0;
}

// The same rounds with the library's waiting calls, OpenKeyWait and
// CloseKeyWait (each given up to waitMs), and no back-off of the caller's
// own. `openNs` and `closeNs` get the time of each successful
// OpenKeyWait and CloseKeyWait. 0 on success; 1 if a call failed or gave
// up.
inline int ContendWaiting(const std::string& dir, int id, int ops, int waitMs, std::vector<long long>& openNs,
                          std::vector<long long>& closeNs)
{
    using Clock = std::chrono::steady_clock;
    const auto ns = [](Clock::duration d) { return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count(); };
    CQorvane store(dir.c_str());
    for (int i = 0; i < ops; ++i) {
        const auto o0 = Clock::now();
        const int opened = store.OpenKeyWait(kContendKey, waitMs);
        if (opened != 0 && opened != 1) {
            std::fprintf(stderr, "contender %d: OpenKeyWait %d after %.1f ms\n", id, opened,
                         static_cast<double>(ns(Clock::now() - o0)) / 1e6);
            return 1;
        }
        openNs.push_back(ns(Clock::now() - o0));
        char name[32];
        std::snprintf(name, sizeof name, "W%d_%d", id, i);
        char one[] = "1";
        if (store.SetItem(kContendKeyId, name, one) != 2) return 1;
        const auto c0 = Clock::now();
        if (const int closed = store.CloseKeyWait(0, waitMs); closed != 1) {
            std::fprintf(stderr, "contender %d: CloseKeyWait %d after %.1f ms\n", id, closed,
                         static_cast<double>(ns(Clock::now() - c0)) / 1e6);
            return 1;
        }
        closeNs.push_back(ns(Clock::now() - c0));
    }
    return 0;
}

// Items W<id>_<i> (id < contenders, i < ops) missing from the file; -1 if
// the key cannot be read.
inline long CountMissing(const std::string& dir, int contenders, int ops)
{
    CQorvane check(dir.c_str());
    if (check.OpenKey(kContendKey) != 1) return -1;
    long missing = 0;
    char buf[8];
    for (int p = 0; p < contenders; ++p) {
        for (int i = 0; i < ops; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "W%d_%d", p, i);
            if (check.GetItem(kContendKeyId, name, buf, sizeof buf) != 1) ++missing;
        }
    }
    check.CloseKey(0);
    return missing;
}

}  // namespace qbench

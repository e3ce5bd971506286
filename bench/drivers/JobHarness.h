// The timing loop shared by the comparison drivers.
//
// Every driver is called as
//   DRIVER read|write PATH [--min N] [--max N] [--budget-ms MS] [--cap-ms MS]
// and runs its job between --min and --max times (stopping after the budget
// once --min runs are done, and after the cap even before that). It prints one line of key=value pairs:
//   median_ns=... min_ns=... iters=... value=...
// `value` is what the last read found (for a write: the value written), so
// the caller can check that the driver really did its job.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace qbench {

struct JobArgs {
    std::string mode;
    std::string path;
    int minIters = 3;
    int maxIters = 200;
    long budgetMs = 2000;
    long capMs = 1L << 40;
};

inline bool ParseJobArgs(int argc, char** argv, JobArgs& args)
{
    if (argc < 3) return false;
    args.mode = argv[1];
    args.path = argv[2];
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--min") == 0) args.minIters = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--max") == 0) args.maxIters = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--budget-ms") == 0) args.budgetMs = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--cap-ms") == 0) args.capMs = std::atol(argv[i + 1]);
        else return false;
    }
    return args.mode == "read" || args.mode == "write";
}

// The values a write job alternates between, so every run changes the file.
inline const char* WriteValue(int iteration)
{
    return iteration % 2 == 0 ? "Letter" : "A4";
}

// Runs job(iteration) -> success; returns the process exit code.
inline int RunTimed(const JobArgs& args, const std::function<bool(int)>& job, const std::string& value)
{
    using Clock = std::chrono::steady_clock;
    std::vector<long long> times;
    const auto start = Clock::now();
    for (int i = 0; i < args.maxIters; ++i) {
        const auto t0 = Clock::now();
        if (!job(i)) {
            std::fprintf(stderr, "job failed at iteration %d\n", i);
            return 1;
        }
        const auto t1 = Clock::now();
        times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(t1 - start).count();
        if ((i + 1 >= args.minIters && spent >= args.budgetMs) || spent >= args.capMs) break;
    }
    std::vector<long long> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    std::printf("median_ns=%lld min_ns=%lld iters=%zu value=%s\n", sorted[sorted.size() / 2], sorted.front(),
                sorted.size(), value.c_str());
    return 0;
}

inline int Usage(const char* argv0)
{
    std::fprintf(stderr, "usage: %s read|write PATH [--min N] [--max N] [--budget-ms MS] [--cap-ms MS]\n", argv0);
    return 2;
}

}  // namespace qbench

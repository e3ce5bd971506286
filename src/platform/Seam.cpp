#include "platform/Seam.h"

#ifdef QORVANE_TEST_SEAMS
#include <array>
#include <atomic>
#include <csignal>
#include <unistd.h>
#endif

namespace qorvane::seam {

const char* OpName(Op op) noexcept
{
    static constexpr const char* kNames[] = {"open",   "read",  "write",  "fsync",  "close",
                                             "fstat",  "stat",  "lock",   "rename", "link",
                                             "unlink", "fchmod", "fchown", "readlink", "shm_open",
                                             "fgetxattr", "fsetxattr", "shm", "inotify"};
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<int>(Op::Count_));
    return kNames[static_cast<int>(op)];
}

const char* StepName(Step step) noexcept
{
    static constexpr const char* kNames[] = {
        "writer-in",   "locked",  "file-read",  "temp-created", "temp-write",  "temp-synced",
        "temp-linked", "renamed", "dir-synced", "before-leave", "reader-in",   "reader-locked"};
    static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<int>(Step::Count_));
    return kNames[static_cast<int>(step)];
}

#ifdef QORVANE_TEST_SEAMS
namespace {

struct OpPlan {
    std::atomic<int> calls{0};
    std::atomic<int> failAt{0};
    std::atomic<bool> failOnward{false};
    std::atomic<int> err{0};
};

struct StepPlan {
    std::atomic<int> arrivals{0};
    std::atomic<int> crashAt{0};
    std::atomic<CrashMode> mode{CrashMode::Exit};
    std::atomic<StepHook> hook{nullptr};
    std::atomic<void*> context{nullptr};
};

std::array<OpPlan, static_cast<int>(Op::Count_)> g_ops;
std::array<StepPlan, static_cast<int>(Step::Count_)> g_steps;

}  // namespace

void FailNth(Op op, int n, int err) noexcept
{
    OpPlan& p = g_ops[static_cast<int>(op)];
    p.err = err;
    p.failOnward = false;
    p.failAt = n == 0 ? 0 : p.calls + n;
}

void FailFrom(Op op, int n, int err) noexcept
{
    FailNth(op, n, err);
    g_ops[static_cast<int>(op)].failOnward = n != 0;
}

void CrashAt(Step step, int n, CrashMode mode) noexcept
{
    StepPlan& p = g_steps[static_cast<int>(step)];
    p.mode = mode;
    p.crashAt = n == 0 ? 0 : p.arrivals + n;
}

void OnStep(Step step, StepHook hook, void* context) noexcept
{
    StepPlan& p = g_steps[static_cast<int>(step)];
    p.context = context;
    p.hook = hook;
}

void Reset() noexcept
{
    for (OpPlan& p : g_ops) {
        p.calls = 0;
        p.failAt = 0;
        p.failOnward = false;
        p.err = 0;
    }
    for (StepPlan& p : g_steps) {
        p.arrivals = 0;
        p.crashAt = 0;
        p.hook = nullptr;
        p.context = nullptr;
    }
}

int Calls(Op op) noexcept { return g_ops[static_cast<int>(op)].calls; }
int Arrivals(Step step) noexcept { return g_steps[static_cast<int>(step)].arrivals; }

int InjectedError(Op op) noexcept
{
    OpPlan& p = g_ops[static_cast<int>(op)];
    const int n = ++p.calls;
    const int at = p.failAt;
    if (at == 0) return 0;
    return (n == at || (p.failOnward && n > at)) ? p.err.load() : 0;
}

void Reached(Step step) noexcept
{
    StepPlan& p = g_steps[static_cast<int>(step)];
    const int n = ++p.arrivals;
    if (p.crashAt != 0 && n == p.crashAt) {
        if (p.mode == CrashMode::Kill) ::raise(SIGKILL);
        ::_exit(86);
    }
    if (const StepHook hook = p.hook) hook(step, p.context);
}
#endif

}  // namespace qorvane::seam

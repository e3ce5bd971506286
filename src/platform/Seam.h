// Fault-injection and crash-point seam.
//
// Every system call of the file and counter paths goes through Sys (see
// Posix.h), which asks InjectedError() first; the rewrite path calls
// Reached() at each step. In production builds both are empty inline
// functions. Test builds (QORVANE_TEST_SEAMS) let a test fail the n-th call
// of a kind with a chosen errno, or end the process at the n-th time a step
// is reached, to prove that no failure or crash loses or corrupts the file.
#pragma once

namespace qorvane::seam {

enum class Op {
    Open,
    Read,
    Write,
    Fsync,
    Close,
    Fstat,
    Stat,
    Lock,
    Rename,
    Link,
    Unlink,
    Fchmod,
    Fchown,
    Readlink,
    ShmOpen,
    Getxattr,
    Setxattr,
    Shm,  // shmget, shmat and shmctl of the counter's segment
    Inotify,  // inotify_init1 and inotify_add_watch of a watcher
    Count_
};

enum class Step {
    WriterIn,      // CloseKey: counter entered as writer
    Locked,        // CloseKey: file opened and locked
    FileRead,      // CloseKey: old content read and merged
    TempCreated,   // temporary file created
    TempWrite,     // after each write() to the temporary file
    TempSynced,    // temporary file fsync'd
    TempLinked,    // temporary file has a name in the directory
    Renamed,       // settings file replaced
    DirSynced,     // directory fsync'd
    BeforeLeave,   // CloseKey: about to leave the counter
    ReaderIn,      // OpenKey: counter entered as reader
    ReaderLocked,  // OpenKey: file opened and locked
    Count_
};

// Planned as the error of an Op::Fsync call, leaves the call out and
// reports it done: a mutation that lets a power-cut test prove it notices
// a missing fsync.
inline constexpr int kSkipCall = -1;

const char* OpName(Op op) noexcept;
const char* StepName(Step step) noexcept;

#ifdef QORVANE_TEST_SEAMS

// How a crash point ends the process.
enum class CrashMode { Exit, Kill };

// Fail the n-th (1-based) call of `op` from now on with `err`; n == 0
// clears. Calls are counted per process.
void FailNth(Op op, int n, int err) noexcept;
// Fail every call of `op` from the n-th on.
void FailFrom(Op op, int n, int err) noexcept;
// End the process when `step` is reached for the n-th time.
void CrashAt(Step step, int n, CrashMode mode) noexcept;
// Calls `hook` each time `step` is reached (null clears). The hook runs on
// the thread that reached the step, inside the library call.
using StepHook = void (*)(Step step, void* context);
void OnStep(Step step, StepHook hook, void* context) noexcept;
// Clears all plans, hooks and counters.
void Reset() noexcept;
// Calls of `op` / arrivals at `step` since the last Reset.
int Calls(Op op) noexcept;
int Arrivals(Step step) noexcept;

int InjectedError(Op op) noexcept;
void Reached(Step step) noexcept;

#else

inline int InjectedError(Op) noexcept { return 0; }
inline void Reached(Step) noexcept {}

#endif

}  // namespace qorvane::seam

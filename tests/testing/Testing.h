// Shared test helpers: scratch directories, whole-file I/O, child
// processes, and the test process's private access counter.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qorvane::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const noexcept { return m_path; }
    // Path of a file in the directory.
    std::string File(std::string_view name) const { return m_path + "/" + std::string(name); }
    // Path of the settings file in the directory.
    std::string Settings() const { return File("QorRunningSet.Inf"); }
    // Names of the directory's entries, sorted, without "." and "..".
    std::string Listing() const;

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view bytes);

// Runs `body` in a forked child; its return value is the exit code. Returns
// the raw wait status.
int RunInChild(const std::function<int()>& body);
// Forks a child running `body` and returns its pid without waiting.
pid_t StartChild(const std::function<int()>& body);
// Waits for a child; returns the raw wait status.
int WaitChild(pid_t pid);
// The exit code of a normally exited child, or -1000 - signal.
int ExitCodeOf(int status);

// Runs `body` in a forked child that has dropped to the numeric user and
// groups (no accounts needed); returns the raw wait status. Needs root.
int RunAsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body);

// Runs a program and returns its raw wait status; its stdout and stderr go
// to `output` when not null.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

// Number of descriptors open in this process.
int OpenDescriptorCount();

// The value of this test process's private access counter.
int CounterValue();
// Sets it (tests that simulate stale weight).
void SetCounterValue(int value);
// The shared-memory name of that counter.
const std::string& CounterName();

// A one-shot cross-process signal over a pipe: Signal() in one process
// releases Wait() in the other.
// A POSIX access ACL in the kernel's xattr form (system.posix_acl_access):
// owner rw, the named user with `userPerm`, the owning group with
// `groupObjPerm`, mask rw, others nothing.
std::string AccessAcl(uid_t namedUser, unsigned userPerm, unsigned groupObjPerm = 6);

class Gate {
public:
    Gate();
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    void Signal();
    // True if signalled within the timeout.
    bool Wait(int timeoutMs = 10000);

private:
    int m_fd[2];
};

}  // namespace qorvane::testing

#include "testing/Testing.h"

#include <dirent.h>
#include <grp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sync/SharedCounter.h"

namespace qorvane::testing {

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qorvane-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::Listing() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
    return out;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

pid_t StartChild(const std::function<int()>& body)
{
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        ::_exit(code);
    }
    return pid;
}

int WaitChild(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    return status;
}

int RunInChild(const std::function<int()>& body)
{
    return WaitChild(StartChild(body));
}

int ExitCodeOf(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -1000 - WTERMSIG(status);
    return -2000;
}

int RunAsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& body)
{
    return RunInChild([&]() -> int {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            return 97;
        }
        return body();
    });
}

int RunProgram(const std::vector<std::string>& argv, std::string* output)
{
    int pipeFd[2];
    if (::pipe2(pipeFd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(pipeFd[1], 1);
        ::dup2(pipeFd[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFd[1]);
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFd[0], buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeFd[0]);
    if (output != nullptr) *output = std::move(text);
    return WaitChild(pid);
}

int OpenDescriptorCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n - 1;  // the iterator's own descriptor
}

int CounterValue()
{
    return sync::SharedCounterWord().load();
}

void SetCounterValue(int value)
{
    sync::SharedCounterWord().store(value);
}

const std::string& CounterName()
{
    static const std::string name = [] {
        std::random_device rd;
        return "/qorvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
    }();
    return name;
}

Gate::Gate()
{
    if (::pipe2(m_fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

Gate::~Gate()
{
    ::close(m_fd[0]);
    ::close(m_fd[1]);
}

void Gate::Signal()
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_fd[1], &c, 1);
}

bool Gate::Wait(int timeoutMs)
{
    pollfd p{m_fd[0], POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    char c;
    return ::read(m_fd[0], &c, 1) == 1;
}

std::string AccessAcl(uid_t namedUser, unsigned userPerm, unsigned groupObjPerm)
{
    struct Entry {
        std::uint16_t tag;
        std::uint16_t perm;
        std::uint32_t id;
    };
    const Entry entries[] = {
        {0x01, 6, 0xFFFFFFFF},  // owner
        {0x02, static_cast<std::uint16_t>(userPerm), namedUser},
        {0x04, static_cast<std::uint16_t>(groupObjPerm), 0xFFFFFFFF},  // owning group
        {0x10, 6, 0xFFFFFFFF},  // mask
        {0x20, 0, 0xFFFFFFFF},  // others
    };
    std::string blob;
    const std::uint32_t version = 2;
    blob.append(reinterpret_cast<const char*>(&version), sizeof version);
    for (const Entry& e : entries) blob.append(reinterpret_cast<const char*>(&e), sizeof e);
    return blob;
}


}  // namespace qorvane::testing

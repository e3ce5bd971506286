// The two floors of the comparison: what any program must at least do.
//   read:  open the file, read all of it, find every line end, close
//   write: read all of it, write a temporary copy in the same directory
//          (with the one item changed), fsync it, rename it over the file,
//          fsync the directory
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "InfGen.h"
#include "JobHarness.h"

namespace {

bool ReadAll(const std::string& path, std::string& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    out.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    while (used < out.size()) {
        const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(used);
    return true;
}

std::size_t CountLines(const std::string& text)
{
    std::size_t lines = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
        ++lines;
        p = static_cast<const char*>(lf) + 1;
    }
    return lines;
}

bool DurableReplace(const std::string& path, const std::string& content)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string tmp = path + ".floor-tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) return false;
    if (::rename(tmp.c_str(), path.c_str()) != 0) return false;
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return false;
    const bool ok = ::fsync(dfd) == 0;
    ::close(dfd);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    qbench::JobArgs args;
    if (!qbench::ParseJobArgs(argc, argv, args)) return qbench::Usage(argv[0]);
    std::string value;
    std::string content;
    if (args.mode == "read") {
        return qbench::RunTimed(args, [&](int) {
            if (!ReadAll(args.path, content)) return false;
            value = std::to_string(CountLines(content)) + "-lines";
            return true;
        }, value);
    }
    return qbench::RunTimed(args, [&](int i) {
        if (!ReadAll(args.path, content)) return false;
        // Change the item's value in place of its line, as an editor would.
        const std::string key = std::string(qbench::kWriteItem) + " = ";
        const std::size_t at = content.find(key);
        if (at == std::string::npos) return false;
        const std::size_t end = content.find(';', at);
        value = qbench::WriteValue(i);
        content.replace(at + key.size(), end - at - key.size(), value);
        return DurableReplace(args.path, content);
    }, value);
}

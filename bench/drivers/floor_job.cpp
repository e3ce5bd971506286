// The two floors of the comparison: what any program must at least do.
//   read:  open the file, read all of it into a fresh buffer (not zeroed
//          first), find every line end, close
//   write: read all of it, write a temporary copy in the same directory
//          (with the one item's value changed, no other copy made), fsync it, rename it over the file,
//          fsync the directory
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <string>

#include "InfGen.h"
#include "JobHarness.h"

namespace {

// A fresh buffer per call, as a one-shot reader has: its pages are faulted
// in by the read itself, never zero-filled first.
struct Buffer {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
};

bool ReadAll(const std::string& path, Buffer& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    out.data.reset(new char[size + 1]);
    std::size_t used = 0;
    while (used < size) {
        const ssize_t n = ::read(fd, out.data.get() + used, size - used);
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.size = used;
    return true;
}

std::size_t CountLines(const Buffer& text)
{
    std::size_t lines = 0;
    const char* p = text.data.get();
    const char* end = p + text.size;
    while (const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
        ++lines;
        p = static_cast<const char*>(lf) + 1;
    }
    return lines;
}

// Writes the pieces in order to a temporary file beside `path`, fsyncs it,
// renames it over `path` and fsyncs the directory.
bool DurableReplace(const std::string& path, std::initializer_list<std::string_view> pieces)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string tmp = path + ".floor-tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    for (const std::string_view piece : pieces) {
        std::size_t done = 0;
        while (done < piece.size()) {
            const ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
            if (n <= 0) {
                ::close(fd);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
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
    if (args.mode == "read") {
        return qbench::RunTimed(args, [&](int) {
            Buffer buffer;
            if (!ReadAll(args.path, buffer)) return false;
            value = std::to_string(CountLines(buffer)) + "-lines";
            return true;
        }, value);
    }
    return qbench::RunTimed(args, [&](int i) {
        Buffer buffer;
        if (!ReadAll(args.path, buffer)) return false;
        const std::string_view content(buffer.data.get(), buffer.size);
        // The old bytes up to the item's value, the new value, the rest.
        const std::string key = std::string(qbench::kWriteItem) + " = ";
        const std::size_t at = content.find(key);
        if (at == std::string_view::npos) return false;
        const std::size_t end = content.find(';', at);
        value = qbench::WriteValue(i);
        return DurableReplace(args.path, {content.substr(0, at + key.size()), value, content.substr(end)});
    }, value);
}

// The settings directory and file as the tool finds them, and the diagnosis
// of a failed open.
#pragma once

#include <optional>
#include <string>

#include "Outcome.h"

namespace qorvane::tool {

constexpr const char* kSettingsFileName = "QorRunningSet.Inf";

// The options every command takes, and the raw command line.
struct CommonOptions {
    std::string dir = ".";
    double waitSeconds = 2.0;
    int argc = 0;
    char** argv = nullptr;
};

std::string SettingsPath(const std::string& dir);

// The directory as handed to the library. The library trims white space off
// the directory it is given; "./" in front and "/" behind keep a name that
// starts or ends with a blank intact.
std::string LibraryDir(const std::string& dir);

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd) noexcept : m_fd(fd) {}
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }

private:
    int m_fd;
};

// Why the directory cannot hold the settings file, or nothing.
std::optional<Outcome> CheckDirectory(const std::string& dir);

// True if something other than a regular file (a directory, a FIFO, a
// device, a link to one) is at the path. Looks without opening it.
bool IsOtherThanRegularFile(const std::string& path);

// "settings file '...' is not a regular file"
std::string NotRegularFileMessage(const std::string& path);

// The library reports "cannot open" and "another holds the lock" with one
// result (OpenKey -4, CloseKey -2). Looking at the directory and the file
// tells them apart: an OFD or POSIX lock held on the file means busy; a
// missing or unusable directory or file means a file error; a file that is
// usable and unlocked now means the lock went away in between (retry).
enum class Cause { Busy, Transient, Error };

struct Diagnosis {
    Cause cause;
    std::string message;
};

Diagnosis DiagnoseOpenFailure(const std::string& dir, bool mayCreate);

// Why the library would not follow a symbolic link at the settings path
// (one of another user, neither root nor the directory's owner), or nothing.
std::optional<Outcome> CheckNoUntrustedLink(const std::string& path);

// Reads the whole settings file without locking it (the file is only ever
// replaced whole, so any read sees one version of it) and without creating
// it. A missing file, a name that is not a regular file and a read error
// are file errors.
std::optional<Outcome> ReadSettingsFile(const std::string& dir, std::string& content);

}  // namespace qorvane::tool

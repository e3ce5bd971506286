// qorvane watch KEY [--json] [--count N] [--timeout SECONDS]: prints the
// key's items as show does, then again each time they change.
//
// Every print is flushed at once. In text form each print ends with an
// empty line, so that consecutive prints (an empty key prints no item line)
// stay apart; with --json each print is one line. Exits 0 after --count
// changes or on SIGINT / SIGTERM, 1 when --timeout passes with no change,
// 4 when the settings directory is missing, or removed or replaced while
// watched.
#include <CLI/CLI.hpp>
#include <poll.h>
#include <qorvane/Watch.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "Command.h"
#include "FileFormat.h"
#include "ItemList.h"
#include "Messages.h"

namespace qorvane::tool {

namespace {

struct WatchArgs {
    std::string key;
    bool json = false;
    int count = -1;        // changes to print before exiting; -1: no limit
    double timeout = -1;   // seconds without a change before exiting 1; -1: none
};

// SIGINT and SIGTERM arrive as a readable descriptor, so that the wait for a
// change ends at once without a handler. The signals are blocked while it
// lives and the old mask comes back afterwards.
class StopSignals {
public:
    StopSignals()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        ::sigprocmask(SIG_BLOCK, &m_set, &m_old);
        m_fd = ::signalfd(-1, &m_set, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~StopSignals()
    {
        // A signal taken from the descriptor is consumed; one left pending
        // would end the process the moment the mask comes back.
        signalfd_siginfo info{};
        while (m_fd >= 0 && ::read(m_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        if (m_fd >= 0) ::close(m_fd);
        ::sigprocmask(SIG_SETMASK, &m_old, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    int Fd() const noexcept { return m_fd; }

private:
    sigset_t m_set{};
    sigset_t m_old{};
    int m_fd = -1;
};

ItemList ItemsOf(const CQorvaneWatch& watch)
{
    ItemList items;
    for (int i = 0; i < watch.GetItemCount(); ++i) {
        CString name;
        CString value;
        if (watch.GetItemAt(i, name, value) == 1) items.emplace_back(name.str(), value.str());
    }
    return items;
}

// Writes one print and flushes it; an error outcome if stdout is gone.
std::optional<Outcome> Print(const CQorvaneWatch& watch, const WatchArgs& args)
{
    std::string text = FormatItems(args.key, ItemsOf(watch), args.json);
    if (!args.json) text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0) return Failure(kExitFileError, "cannot write the output: " + ErrnoText(errno));
    return std::nullopt;
}

void Note(const std::string& line)
{
    std::fprintf(stderr, "qorvane: %s\n", line.c_str());
    std::fflush(stderr);
}

// Why the settings file cannot be read; the watch goes on, as the file may
// be put right.
std::string ReadErrorNote(const CommonOptions& common, int err)
{
    const std::string path = SettingsPath(common.dir);
    const std::string why = IsOtherThanRegularFile(path)
                                ? NotRegularFileMessage(path)
                                : "cannot read settings file " + Quote(path) + ": " + ErrnoText(err);
    return why + "; still watching";
}

Outcome RunWatch(const CommonOptions& common, const WatchArgs& args)
{
    if (std::optional<Outcome> bad = CheckKey(args.key)) return *bad;
    if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return *bad;
    const std::string dir = Quote(common.dir);

    const StopSignals stop;
    if (stop.Fd() < 0) return Failure(kExitFileError, "cannot wait for signals: " + ErrnoText(errno));
    CQorvaneWatch watch;
    const int started = watch.Start(LibraryDir(common.dir).c_str(), args.key.c_str());
    if (started < 0) {
        if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return *bad;
        return Failure(kExitFileError, "cannot watch settings directory " + dir + " (descriptor limit?)");
    }
    if (started == 2) {
        Note("cannot be told of changes in " + dir + " as they happen: " + watch.GetPollingReason().str() +
             "; checking every " + Seconds(CQorvaneWatch::kPollIntervalMs / 1000.0));
    }
    int readError = watch.GetReadError();
    if (readError != 0) Note(ReadErrorNote(common, readError));
    if (std::optional<Outcome> bad = Print(watch, args)) return *bad;

    using Clock = std::chrono::steady_clock;
    const auto timeout = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(args.timeout));
    auto deadline = Clock::now() + timeout;
    int printed = 0;
    while (args.count < 0 || printed < args.count) {
        int wait = -1;
        if (args.timeout >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<int>(std::min<long long>(std::max<long long>(left, 0), INT_MAX));
        }
        pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {watch.GetFd(), POLLIN, 0}};
        const int n = ::poll(fds, 2, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Failure(kExitFileError, "cannot wait for changes: " + ErrnoText(errno));
        }
        if (fds[0].revents != 0) return Outcome{};
        if (n == 0) {
            return Failure(kExitNotFound, "no change of key " + Quote(args.key) + " in " + Seconds(args.timeout));
        }
        const int rc = watch.Check();
        if (rc == -4) {
            // Ended: the path no longer names the directory the watch began
            // in. Say which way, as far as can still be told.
            struct stat st {};
            const bool replaced = ::stat(common.dir.c_str(), &st) == 0;
            return Failure(kExitFileError, "settings directory " + dir + (replaced ? " was replaced" : " was removed") +
                                               "; the watch has ended");
        }
        if (watch.GetReadError() != readError) {
            readError = watch.GetReadError();
            if (readError != 0) Note(ReadErrorNote(common, readError));
        }
        if (rc != 1) continue;
        if (std::optional<Outcome> bad = Print(watch, args)) return *bad;
        ++printed;
        deadline = Clock::now() + timeout;
    }
    return Outcome{};
}

}  // namespace

Command AddWatchCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<WatchArgs>();
    CLI::App* app = parent.add_subcommand(
        "watch", "Print the items of KEY as show does, then again each time they change");
    app->add_option("KEY", args->key, "Key (section) name")->required();
    app->add_flag("--json", args->json, "Print each time one line as show --json does");
    app->add_option("--count", args->count, "Exit 0 after N changes (the first print does not count)")
        ->type_name("N")
        ->check(CLI::Range(0, INT_MAX));
    app->add_option("--timeout", args->timeout, "Exit 1 when SECONDS pass with no change")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 1e9));
    return Command{app, [&common, args] { return RunWatch(common, *args); }};
}

}  // namespace qorvane::tool

#include "Results.h"

#include <qorvane/Qorvane.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>
#include <utility>

#include "FileFormat.h"
#include "Messages.h"

namespace qorvane::tool {

namespace {

Step Done()
{
    return Step{Step::kDone, {}};
}
Step Fail(int exit, std::string message)
{
    return Step{Step::kFail, Failure(exit, std::move(message))};
}
Step RetryOr(int exit, std::string message)
{
    return Step{Step::kRetry, Failure(exit, std::move(message))};
}

// A busy result of OpenKey or CloseKey can also mean that the machine-wide
// access counter cannot serve this process (another user created it with a
// mode that shuts others out, say); waiting would not help.
std::optional<Step> CounterUnusable()
{
    CString problem;
    if (CQorvane::CheckAccessCounter(problem) != -1) return std::nullopt;
    return Fail(kExitFileError, problem.str());
}

// A replace that failed because the settings directory is sticky (mode
// 1777, as /tmp): there only the file's owner, the directory's owner and
// root may rename over the file, however writable the file is.
std::optional<std::string> StickyDirectoryCause(const std::string& dir)
{
    struct stat d {};
    struct stat f {};
    if (::stat(dir.c_str(), &d) != 0 || (d.st_mode & S_ISVTX) == 0) return std::nullopt;
    if (::lstat(SettingsPath(dir).c_str(), &f) != 0) return std::nullopt;
    const uid_t me = ::geteuid();
    if (me == 0 || me == f.st_uid || me == d.st_uid) return std::nullopt;
    return "its directory is sticky (as /tmp is), where only the file's owner (uid " + std::to_string(f.st_uid) +
           "), the directory's owner (uid " + std::to_string(d.st_uid) + ") or root may replace it";
}

Step FromDiagnosis(Diagnosis d)
{
    switch (d.cause) {
    case Cause::Busy: return RetryOr(kExitBusy, std::move(d.message));
    case Cause::Transient: return RetryOr(kExitFileError, std::move(d.message));
    case Cause::Error: break;
    }
    return Fail(kExitFileError, std::move(d.message));
}

}  // namespace

Step Interpret(Call call, int rc, const Context& ctx)
{
    const std::string path = Quote(SettingsPath(ctx.common.dir));
    const std::string key = Quote(ctx.key);
    const std::string item = Quote(ctx.item);
    const auto unexpected = [&](const char* function) {
        return Fail(kExitFileError, std::string("unexpected result ") + std::to_string(rc) + " from " + function +
                                        " on key " + key + " of " + path);
    };
    switch (call) {
    case Call::OpenKey:
        switch (rc) {
        case 1:
        case 0: return Done();
        case -2: return Fail(kExitBadInput, "unknown key " + key + " (known keys: " + KnownKeyList() + ")");
        case -3:
            if (std::optional<Step> unusable = CounterUnusable()) return *unusable;
            return RetryOr(kExitBusy, "settings file " + path + " is busy: a writer holds it or waits for it");
        case -4: return FromDiagnosis(DiagnoseOpenFailure(ctx.common.dir, true));
        default: return unexpected("OpenKey");
        }
    case Call::GetItem:
        switch (rc) {
        case 1: return Done();
        case 0: return Fail(kExitNotFound, "item " + item + " not found in key " + key + " of " + path);
        case -2: return Fail(kExitBadInput, "item name " + item + " cannot be looked up");
        default: return unexpected("GetItem");
        }
    case Call::SetItem:
        switch (rc) {
        case 1:
        case 2: return Done();
        case -2: return Fail(kExitBadInput, "item " + item + " or its value cannot be stored in key " + key);
        default: return unexpected("SetItem");
        }
    case Call::CloseKey:
        switch (rc) {
        case 1: return Done();
        case -1:
            if (std::optional<Step> unusable = CounterUnusable()) return *unusable;
            return RetryOr(kExitBusy, "settings file " + path + " is busy: readers or another writer kept it");
        case -2: return FromDiagnosis(DiagnoseOpenFailure(ctx.common.dir, false));
        case -3:
            if (std::optional<std::string> sticky = StickyDirectoryCause(ctx.common.dir)) {
                return Fail(kExitFileError, "cannot replace settings file " + path + ": " + *sticky + "; key " + key +
                                                " was not saved and the file is unchanged (use a settings directory "
                                                "without the sticky bit, see the README's Security section)");
            }
            return Fail(kExitFileError, "writing settings file " + path +
                                            " failed (disk full, I/O error, or the new file could not keep the old "
                                            "owner and group, see the README's Security section); key " +
                                            key + " may not be saved");
        case -5:
            return Fail(kExitConflict, "another process changed an item of key " + key + " of " + path +
                                           " since it was read; nothing written");
        default: return unexpected("CloseKey");
        }
    }
    return unexpected("the library");
}

int WaitMs(const CommonOptions& common)
{
    return static_cast<int>(std::lround(common.waitSeconds * 1000.0));
}

Step Waited(const Context& ctx, Call call, const std::function<int(int waitMs)>& attempt)
{
    using Clock = std::chrono::steady_clock;
    constexpr int kRecheckMs = 50;
    const auto start = Clock::now();
    std::optional<Outcome> lastBusy;
    int waitMs = WaitMs(ctx.common);
    for (int recheck = 0;; ++recheck) {
        Step step = Interpret(call, attempt(waitMs), ctx);
        if (step.kind != Step::kRetry) return step;
        const bool busy = step.outcome.exit == kExitBusy;
        if (busy) lastBusy = step.outcome;
        if (!busy && recheck < 3) {
            waitMs = kRecheckMs;
            continue;
        }
        Outcome out = lastBusy ? *lastBusy : step.outcome;
        if (out.exit == kExitBusy) {
            out.error +=
                " (gave up after " + Seconds(std::chrono::duration<double>(Clock::now() - start).count()) + ")";
        }
        return Step{Step::kFail, std::move(out)};
    }
}

std::optional<Outcome> OpenChecked(const CommonOptions& common, const std::string& key, CQorvane& store)
{
    if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return bad;
    const Context ctx{common, key, {}};
    const Step step =
        Waited(ctx, Call::OpenKey, [&](int waitMs) { return store.OpenKeyWait(key.c_str(), waitMs); });
    if (step.kind != Step::kDone) return step.outcome;
    return std::nullopt;
}

bool SettingsFileMissing(const CommonOptions& common)
{
    struct stat st {};
    return ::stat(SettingsPath(common.dir).c_str(), &st) != 0 && errno == ENOENT;
}

}  // namespace qorvane::tool

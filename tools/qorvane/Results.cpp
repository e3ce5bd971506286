#include "Results.h"

#include <qorvane/Qorvane.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
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
        case -3: return RetryOr(kExitBusy, "settings file " + path + " is busy: a writer holds it or waits for it");
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
        case -1: return RetryOr(kExitBusy, "settings file " + path + " is busy: readers or another writer kept it");
        case -2: return FromDiagnosis(DiagnoseOpenFailure(ctx.common.dir, false));
        case -3:
            return Fail(kExitFileError, "writing settings file " + path +
                                            " failed (disk full or I/O error); key " + key + " may not be saved");
        default: return unexpected("CloseKey");
        }
    }
    return unexpected("the library");
}

Step Retrying(const Context& ctx, Call call, const std::function<int()>& attempt)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(ctx.common.waitSeconds));
    static thread_local std::mt19937 rng{std::random_device{}()};
    std::uniform_int_distribution<int> pauseMs(5, 25);
    std::optional<Outcome> lastBusy;
    int extraTries = 3;
    for (;;) {
        Step step = Interpret(call, attempt(), ctx);
        if (step.kind != Step::kRetry) return step;
        const bool busy = step.outcome.exit == kExitBusy;
        if (busy) lastBusy = step.outcome;
        const auto now = Clock::now();
        if (now < deadline) {
            std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(pauseMs(rng)), deadline - now));
            continue;
        }
        if (!busy && extraTries-- > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(rng)));
            continue;
        }
        Outcome out = lastBusy ? *lastBusy : step.outcome;
        if (out.exit == kExitBusy) {
            out.error += " (gave up after " + Seconds(std::chrono::duration<double>(now - start).count()) + ")";
        }
        return Step{Step::kFail, std::move(out)};
    }
}

std::optional<Outcome> OpenChecked(const CommonOptions& common, const std::string& key, CQorvane& store)
{
    if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return bad;
    const Context ctx{common, key, {}};
    const Step step = Retrying(ctx, Call::OpenKey, [&] { return store.OpenKey(key.c_str()); });
    if (step.kind != Step::kDone) return step.outcome;
    return std::nullopt;
}

}  // namespace qorvane::tool

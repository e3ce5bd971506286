// Library results: the one place where a result code becomes a message and
// an exit code, and the retrying of busy results.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Outcome.h"
#include "Settings.h"

class CQorvane;

namespace qorvane::tool {

enum class Call { OpenKey, GetItem, SetItem, CloseKey };

struct Step {
    enum Kind { kDone, kRetry, kFail } kind;
    Outcome outcome;  // for kFail, and for kRetry once the wait is over
};

// What a result is about.
struct Context {
    const CommonOptions& common;
    std::string key;
    std::string item;  // the item a GetItem or SetItem was about
};

Step Interpret(Call call, int rc, const Context& ctx);

// The --wait time in milliseconds, for the library's waiting calls.
int WaitMs(const CommonOptions& common);

// Runs a waiting library call (OpenKeyWait, CloseKeyWait, ...; it gets the
// wait in milliseconds) and interprets its result. The library retries busy
// results itself; a failure that looks like a lock that went away just after
// the library's last try (the file is usable and unlocked now) is tried
// again a few times with a short wait.
Step Waited(const Context& ctx, Call call, const std::function<int(int waitMs)>& attempt);

// Checks the directory, then opens the key (waiting while busy). On
// success `store` has the key open.
std::optional<Outcome> OpenChecked(const CommonOptions& common, const std::string& key, CQorvane& store);

// True if there is no settings file in the directory (nothing at its name,
// or a link to nothing). Commands that only read check this first, so that
// they never create the file.
bool SettingsFileMissing(const CommonOptions& common);

}  // namespace qorvane::tool

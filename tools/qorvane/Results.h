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

// Calls `attempt` until it gives something other than a busy result or the
// --wait time is over, pausing a random 5-25 ms in between so that processes
// that collide do not keep colliding in step. A failure that looked like a
// lock that has just gone away is retried a few times even after the wait.
Step Retrying(const Context& ctx, Call call, const std::function<int()>& attempt);

// Checks the directory, then opens the key (retrying while busy). On
// success `store` has the key open.
std::optional<Outcome> OpenChecked(const CommonOptions& common, const std::string& key, CQorvane& store);

}  // namespace qorvane::tool

// Compare-and-set: --expect OLD and --expect-absent of set and unset. The
// item's value is read when the key is opened and compared before anything
// is set; the checked close then stops the write if another process
// changed the item in between, so the write happens only if the item still
// holds the expected value when the file is replaced.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Outcome.h"

class CQorvane;

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace qorvane::tool {

struct Expected {
    bool absent = false;  // --expect-absent
    std::string value;    // --expect VALUE
};

// The --expect (and --expect-absent, if given) options of a command.
struct ExpectOptions {
    CLI::Option* expect = nullptr;
    CLI::Option* absent = nullptr;
    std::vector<std::string> values;
};

// Adds the options to `app`; with `withAbsent` also --expect-absent.
void AddExpectOptions(CLI::App& app, ExpectOptions& options, bool withAbsent);

// The expectations in the order they were given on the command line.
std::vector<Expected> ExpectationsInOrder(const CLI::App& app, const ExpectOptions& options);

// The value GetItem would give for `name` in the open key, if any.
std::optional<std::string> CurrentValue(const CQorvane& store, const std::string& name);

// "item 'N' in key 'K' has the value 'V' (expected 'E')", or "does not
// exist", or "(expected none)".
std::string Mismatch(const std::string& key, const std::string& name, const std::optional<std::string>& now,
                     const Expected& expected);

inline bool Matches(const std::optional<std::string>& now, const Expected& expected)
{
    return expected.absent ? !now.has_value() : now.has_value() && *now == expected.value;
}

// Compares each of `names` in the open key of `store` (null: no file, so
// every item is absent) with its expectation, all before anything is
// written: the failure that names every mismatch, or nothing.
std::optional<Outcome> CheckExpectations(const CQorvane* store, const std::string& key,
                                         const std::vector<std::string>& names, const std::vector<Expected>& expected);

// The outcome of a checked close that found conflicts: each item with the
// value the file holds now, against what was expected of it.
Outcome ConflictOutcome(const CQorvane& store, const std::string& key, const std::vector<std::string>& names,
                        const std::vector<Expected>& expected);

}  // namespace qorvane::tool

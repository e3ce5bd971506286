// qorvane unset KEY ITEM [ITEM...] [--expect OLD ...]: remove items in one
// write, with an expectation per item all or none.
#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Command.h"
#include "Expect.h"
#include "FileFormat.h"
#include "Messages.h"
#include "Results.h"

namespace qorvane::tool {

namespace {

struct UnsetArgs {
    std::string key;
    std::vector<std::string> items;
    ExpectOptions expect;
    CLI::App* app = nullptr;
};

std::string QuotedList(const std::vector<std::string>& names)
{
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + Quote(name);
    return list;
}

Outcome NotInKey(const CommonOptions& common, const std::string& key, const std::vector<std::string>& missing)
{
    const std::string where = " in key " + Quote(key) + " of " + Quote(SettingsPath(common.dir));
    if (missing.size() == 1) return Failure(kExitNotFound, "item " + Quote(missing[0]) + " not found" + where);
    return Failure(kExitNotFound, "none of the items " + QuotedList(missing) + " found" + where);
}

Outcome RunUnset(const CommonOptions& common, const UnsetArgs& args)
{
    if (std::optional<Outcome> bad = CheckKey(args.key)) return *bad;
    std::vector<std::string> items;
    for (const std::string& item : args.items) {
        if (std::optional<Outcome> bad = CheckItemName(item)) return *bad;
        if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
    }
    const std::vector<Expected> expected = ExpectationsInOrder(*args.app, args.expect);
    if (!expected.empty() && expected.size() != args.items.size()) {
        return Failure(kExitBadInput, "unset got " + std::to_string(expected.size()) + " --expect for " +
                                          std::to_string(args.items.size()) + " items; give one per item");
    }
    if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return *bad;
    const bool noFile = SettingsFileMissing(common);
    if (noFile && expected.empty()) return NotInKey(common, args.key, items);
    CQorvane store(LibraryDir(common.dir).c_str());
    if (!noFile) {
        if (std::optional<Outcome> bad = OpenChecked(common, args.key, store)) return *bad;
    }

    // Every expectation is compared before anything is removed: all or none.
    if (std::optional<Outcome> bad = CheckExpectations(noFile ? nullptr : &store, args.key, args.items, expected)) {
        return *bad;
    }

    std::vector<std::string> missing;
    for (const std::string& item : items) {
        const int rc = store.RemoveItem(args.key.c_str(), item.c_str());
        if (rc == 0) missing.push_back(item);
        if (rc < 0) {
            return Failure(kExitFileError, "unexpected result " + std::to_string(rc) + " from RemoveItem of " +
                                               Quote(item) + " in key " + Quote(args.key));
        }
    }
    // Nothing to remove: the object is dropped unclosed, which writes
    // nothing and holds nothing.
    if (missing.size() == items.size()) return NotInKey(common, args.key, missing);

    const Step step = Waited(Context{common, args.key, {}}, Call::CloseKey, [&](int waitMs) {
        return expected.empty() ? store.CloseKeyWait(0, waitMs) : store.CloseKeyCheckedWait(0, waitMs);
    });
    if (step.kind != Step::kDone && step.outcome.exit == kExitConflict) {
        return ConflictOutcome(store, args.key, args.items, expected);
    }
    if (step.kind != Step::kDone) return step.outcome;
    Outcome out;
    if (!missing.empty()) {
        out.note = (missing.size() == 1 ? "item " : "items ") + QuotedList(missing) + " not found in key " +
                   Quote(args.key) + "; the others were removed";
    }
    return out;
}

}  // namespace

Command AddUnsetCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<UnsetArgs>();
    CLI::App* app = parent.add_subcommand("unset", "Remove one or more items of KEY in one write");
    app->add_option("KEY", args->key, "Key (section) name")->required();
    app->add_option("ITEM", args->items, "Item names")->required();
    AddExpectOptions(*app, args->expect, false);
    args->app = app;
    return Command{app, [&common, args] { return RunUnset(common, *args); }};
}

}  // namespace qorvane::tool

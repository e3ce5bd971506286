// qorvane set KEY ITEM VALUE [ITEM VALUE...] [--expect OLD | --expect-absent
// ...]: set items in one write, with an expectation per pair all or none.
#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <memory>
#include <string_view>
#include <vector>

#include "Command.h"
#include "Expect.h"
#include "FileFormat.h"
#include "Messages.h"
#include "Results.h"

namespace qorvane::tool {

namespace {

struct SetArgs {
    std::string key;
    std::vector<std::string> pairs;  // ITEM VALUE ...
    ExpectOptions expect;
    CLI::App* app = nullptr;
};

// CLI11 reads an argument of a list option that starts with '[' and ends
// with ']' as a list and splits it at its commas ("[a,b]" becomes a, b),
// which would shift every later ITEM VALUE pair of set. Such an argument
// reaches set's pairs only in pieces, so it is refused rather than written.
std::optional<Outcome> CheckNoListSyntax(const CommonOptions& common, const SetArgs& args)
{
    for (int i = 1; i < common.argc; ++i) {
        const std::string_view arg = common.argv[i];
        if (arg.size() < 2 || arg.front() != '[' || arg.back() != ']') continue;
        if (arg == common.dir || arg == args.key) continue;
        return Failure(kExitBadInput, "set cannot take the argument " + Quote(arg) +
                                          ": the command line reads a value in [ ] as a list");
    }
    return std::nullopt;
}

Outcome RunSet(const CommonOptions& common, const SetArgs& args)
{
    if (std::optional<Outcome> bad = CheckNoListSyntax(common, args)) return *bad;
    const std::vector<std::string>& pairs = args.pairs;
    if (pairs.size() % 2 != 0) {
        return Failure(kExitBadInput, "item " + Quote(pairs.back()) + " has no value (set takes ITEM VALUE pairs)");
    }
    if (std::optional<Outcome> bad = CheckKey(args.key)) return *bad;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        if (std::optional<Outcome> bad = CheckItemName(pairs[i])) return *bad;
        if (std::optional<Outcome> bad = CheckValue(pairs[i], pairs[i + 1])) return *bad;
        if (std::optional<Outcome> bad = CheckNotAHeader(pairs[i], pairs[i + 1])) return *bad;
        names.push_back(pairs[i]);
    }
    const std::vector<Expected> expected = ExpectationsInOrder(*args.app, args.expect);
    if (!expected.empty() && expected.size() != names.size()) {
        return Failure(kExitBadInput, "set got " + std::to_string(expected.size()) + " --expect/--expect-absent for " +
                                          std::to_string(names.size()) + " ITEM VALUE pairs; give one per pair");
    }
    CQorvane store(LibraryDir(common.dir).c_str());
    if (std::optional<Outcome> bad = OpenChecked(common, args.key, store)) return *bad;

    // Every expectation is compared before anything is set: all or none.
    if (std::optional<Outcome> bad = CheckExpectations(&store, args.key, names, expected)) return *bad;

    // Every item goes into the one open key, so one CloseKey writes them
    // all in a single replace of the file.
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        std::string value = pairs[i + 1];  // SetItem takes a mutable buffer
        const int rc = store.SetItem(args.key.c_str(), pairs[i].c_str(), value.data());
        const Step step = Interpret(Call::SetItem, rc, Context{common, args.key, pairs[i]});
        if (step.kind != Step::kDone) return step.outcome;
    }
    // CloseKeyWait(0) keeps the items on failure, so a close whose file
    // lock went away just after the wait can be tried again. With
    // expectations the close is checked: an item that another process
    // changed since the open no longer holds the expected value.
    const Step step = Waited(Context{common, args.key, {}}, Call::CloseKey, [&](int waitMs) {
        return expected.empty() ? store.CloseKeyWait(0, waitMs) : store.CloseKeyCheckedWait(0, waitMs);
    });
    if (step.kind != Step::kDone && step.outcome.exit == kExitConflict) {
        return ConflictOutcome(store, args.key, names, expected);
    }
    if (step.kind != Step::kDone) return step.outcome;
    return Outcome{};
}

}  // namespace

Command AddSetCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<SetArgs>();
    CLI::App* app = parent.add_subcommand("set", "Set one or more items of KEY in one write");
    app->add_option("KEY", args->key, "Key (section) name")->required();
    app->add_option("ITEM_VALUE", args->pairs, "ITEM VALUE [ITEM VALUE ...]")
        ->required()
        ->expected(2, CLI::detail::expected_max_vector_size)
        ->type_name("ITEM VALUE");
    AddExpectOptions(*app, args->expect, true);
    args->app = app;
    return Command{app, [&common, args] { return RunSet(common, *args); }};
}

}  // namespace qorvane::tool

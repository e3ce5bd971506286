// qorvane show [--json] KEY: every item of a key, in file order.
#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <sys/stat.h>

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "Command.h"
#include "FileFormat.h"
#include "ItemList.h"
#include "Results.h"

namespace qorvane::tool {

namespace {

struct ShowArgs {
    std::string key;
    bool json = false;
};

Outcome Listing(const ShowArgs& args, const ItemList& items);

Outcome RunShow(const CommonOptions& common, const ShowArgs& args)
{
    if (std::optional<Outcome> bad = CheckKey(args.key)) return *bad;
    if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return *bad;
    // No settings file: no items. Reading never creates the file.
    if (SettingsFileMissing(common)) return Listing(args, {});

    // The items go straight from the file into the text (no list of them
    // is built), which is written once the file is let go: a slow reader
    // of the output never keeps the file held.
    Outcome out;
    struct stat st {};
    if (::stat(SettingsPath(common.dir).c_str(), &st) == 0 && st.st_size > 0) {
        out.output.reserve(static_cast<std::size_t>(st.st_size));  // most keys print shorter than the file
    }
    CQorvane store(LibraryDir(common.dir).c_str());
    const Context ctx{common, args.key, {}};
    const Step step = Waited(ctx, Call::OpenKey, [&](int waitMs) {
        out.output.clear();  // what a try that failed while reading passed
        ItemFormatter format(out.output, args.key, args.json);
        const int rc = store.ReadKeyWait(args.key.c_str(), waitMs,
                                         [&](std::string_view name, std::string_view value) { format.Add(name, value); });
        format.Finish();
        return rc;
    });
    if (step.kind != Step::kDone) return step.outcome;
    return out;
}

Outcome Listing(const ShowArgs& args, const ItemList& items)
{
    Outcome out;
    out.output = FormatItems(args.key, items, args.json);
    return out;
}

}  // namespace

Command AddShowCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<ShowArgs>();
    CLI::App* app = parent.add_subcommand("show", "List the items of KEY in file order");
    app->add_option("KEY", args->key, "Key (section) name")->required();
    app->add_flag("--json", args->json, "Print one JSON object: {\"key\":K,\"items\":[[NAME,VALUE],...]}");
    return Command{app, [&common, args] { return RunShow(common, *args); }};
}

}  // namespace qorvane::tool

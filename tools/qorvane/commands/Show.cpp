// qorvane show [--json] KEY: every item of a key, in file order.
#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <memory>
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
    CQorvane store(LibraryDir(common.dir).c_str());
    if (std::optional<Outcome> bad = OpenChecked(common, args.key, store)) return *bad;

    ItemList items;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString name;
        CString value;
        if (store.GetItemAt(i, name, value) == 1) items.emplace_back(name.str(), value.str());
    }
    store.CloseKey(1);
    return Listing(args, items);
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

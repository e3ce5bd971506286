// qorvane get KEY ITEM: the value of one item.
#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "Command.h"
#include "FileFormat.h"
#include "Messages.h"
#include "Results.h"

namespace qorvane::tool {

namespace {

struct GetArgs {
    std::string key;
    std::string item;
};

Outcome RunGet(const CommonOptions& common, const GetArgs& args)
{
    if (std::optional<Outcome> bad = CheckKey(args.key)) return *bad;
    if (std::optional<Outcome> bad = CheckItemName(args.item)) return *bad;
    if (std::optional<Outcome> bad = CheckDirectory(common.dir)) return *bad;
    if (SettingsFileMissing(common)) {
        return Failure(kExitNotFound, "there is no settings file " + Quote(SettingsPath(common.dir)));
    }
    CQorvane store(LibraryDir(common.dir).c_str());
    if (std::optional<Outcome> bad = OpenChecked(common, args.key, store)) return *bad;

    // Size the buffer for the longest value, so that GetItem never cuts.
    std::size_t size = 1;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString name;
        CString value;
        if (store.GetItemAt(i, name, value) == 1) size = std::max(size, value.str().size() + 1);
    }
    std::vector<char> buffer(size, '\0');
    const int rc = store.GetItem(args.key.c_str(), args.item.c_str(), buffer.data(), static_cast<int>(size));
    store.CloseKey(1);  // nothing was set: closes without touching the file
    const Step step = Interpret(Call::GetItem, rc, Context{common, args.key, args.item});
    if (step.kind != Step::kDone) return step.outcome;
    Outcome out;
    out.output = std::string(buffer.data()) + "\n";
    return out;
}

}  // namespace

Command AddGetCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<GetArgs>();
    CLI::App* app = parent.add_subcommand("get", "Print the value of ITEM in KEY");
    app->add_option("KEY", args->key, "Key (section) name")->required();
    app->add_option("ITEM", args->item, "Item name")->required();
    return Command{app, [&common, args] { return RunGet(common, *args); }};
}

}  // namespace qorvane::tool

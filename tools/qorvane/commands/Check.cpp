// qorvane check [--json]: what readers will not see as the file suggests.
#include <CLI/CLI.hpp>

#include <memory>

#include "Command.h"
#include "Json.h"
#include "Results.h"
#include "SettingsText.h"

namespace qorvane::tool {

namespace {

struct CheckArgs {
    bool json = false;
};

Outcome RunCheck(const CommonOptions& common, const CheckArgs& args)
{
    std::string content;
    if (std::optional<Outcome> bad = ReadSettingsFile(common.dir, content)) return *bad;
    const std::vector<Finding> findings = CheckSettingsText(content);
    Outcome out;
    out.output = FormatFindings(SettingsPath(common.dir), findings, args.json);
    out.exit = findings.empty() ? kExitOk : kExitNotFound;
    return out;
}

}  // namespace

Command AddCheckCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<CheckArgs>();
    CLI::App* app = parent.add_subcommand("check", "Report lines that readers will not read as they look");
    app->add_flag("--json", args->json, "Print a JSON array of {\"line\":N,\"kind\":K,\"message\":M}");
    return Command{app, [&common, args] { return RunCheck(common, *args); }};
}

}  // namespace qorvane::tool

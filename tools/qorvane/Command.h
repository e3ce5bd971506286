// The commands of the tool. Each lives in its own file under commands/ and
// has one Add function: it adds its subcommand and options to the
// application and returns what runs it once the command line is parsed. A
// new command is a new file plus its line in the table in tool.cpp.
#pragma once

#include <functional>

#include "Outcome.h"
#include "Settings.h"

namespace CLI {
class App;
}

namespace qorvane::tool {

struct Command {
    CLI::App* app;                // the subcommand
    std::function<Outcome()> run;
};

using AddCommand = Command (*)(CLI::App& parent, const CommonOptions& common);

Command AddGetCommand(CLI::App& parent, const CommonOptions& common);
Command AddSetCommand(CLI::App& parent, const CommonOptions& common);
Command AddShowCommand(CLI::App& parent, const CommonOptions& common);
Command AddKeysCommand(CLI::App& parent, const CommonOptions& common);
Command AddUnsetCommand(CLI::App& parent, const CommonOptions& common);
Command AddCheckCommand(CLI::App& parent, const CommonOptions& common);
Command AddEditCommand(CLI::App& parent, const CommonOptions& common);
Command AddWatchCommand(CLI::App& parent, const CommonOptions& common);

}  // namespace qorvane::tool

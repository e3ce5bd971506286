// The dispatcher: the common options, the table of commands, and the one
// place where an exception becomes an exit code.
#include "tool.h"

#include <CLI/CLI.hpp>

#include <clocale>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Command.h"
#include "Messages.h"
#include "Outcome.h"
#include "Settings.h"

#ifndef QORVANE_TOOL_VERSION
#define QORVANE_TOOL_VERSION "unknown"
#endif

namespace qorvane::tool {
namespace {

// Every command, in the order --help lists them.
constexpr AddCommand kCommands[] = {
    AddGetCommand,
    AddSetCommand,
    AddUnsetCommand,
    AddShowCommand,
    AddCheckCommand,
    AddEditCommand,
    AddKeysCommand,
    AddWatchCommand,
};

constexpr const char* kFooter = R"(Exit codes:
  0  success
  1  get: the item is not in the key, or there is no settings file;
     unset: none of the items was in the key (nothing written);
     check: something was found; edit: nothing written (the editor
     failed, the edit was quit, or it has findings and no --force);
     watch: no change for the whole --timeout
  2  bad usage or bad input: unknown key, or a name or value the settings
     file cannot hold (line break, ';' in a value, '=' or ';' in a name,
     white space at either end, an item line that would read as the
     header of a known key); nothing is written
  3  the settings file stayed busy (locked by another process) for the
     whole --wait time; edit: the file changed meanwhile and the edit
     changes more than items, so it is kept and nothing is written
  4  file or directory error: missing or unusable settings directory, no
     permission, read or write failure; check and edit: no settings file;
     watch: the settings directory was removed while watched
  5  set, unset with --expect or --expect-absent: an item does not hold
     the expected value (or another process changed it meanwhile); edit:
     another process changed an item that the edit changes too; nothing
     is written
Arguments that start with '-' (other than numbers) go after "--":
  qorvane set -- PrinterSet Flag -x)";

int RunToolChecked(int argc, char** argv)
{
    std::setlocale(LC_CTYPE, "");

    CommonOptions common;
    common.argc = argc;
    common.argv = argv;
    CLI::App app{std::string("Reads and changes the shared settings file ") + kSettingsFileName + ".", "qorvane"};
    app.set_version_flag("--version", std::string("qorvane ") + QORVANE_TOOL_VERSION);
    app.require_subcommand(0, 1);
    app.fallthrough();
    app.footer(kFooter);
    app.add_option("-d,--dir", common.dir, "Settings directory (default: the current directory)")->type_name("DIR");
    app.add_option("--wait", common.waitSeconds, "How long to retry while the settings file is busy (default: 2)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0));

    std::vector<Command> commands;
    for (const AddCommand add : kCommands) commands.push_back(add(app, common));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        std::fprintf(stderr, "qorvane: %s (see qorvane --help)\n", OneLine(e.what()).c_str());
        return kExitBadInput;
    }

    for (const Command& command : commands) {
        if (command.app->parsed()) return Report(command.run());
    }
    return Report(Failure(kExitBadInput, "no command given (see qorvane --help)"));
}

}  // namespace
}  // namespace qorvane::tool

int RunTool(int argc, char** argv)
{
    try {
        return qorvane::tool::RunToolChecked(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qorvane: %s\n", qorvane::tool::OneLine(e.what()).c_str());
    } catch (...) {
        std::fprintf(stderr, "qorvane: unexpected error\n");
    }
    return qorvane::tool::kExitFileError;
}

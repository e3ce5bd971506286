// qorvane keys: the catalogue.
#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <cstdio>

#include "Command.h"
#include "FileFormat.h"

namespace qorvane::tool {

Command AddKeysCommand(CLI::App& parent, const CommonOptions&)
{
    CLI::App* app = parent.add_subcommand("keys", "List the known keys and their IDs");
    return Command{app, [] {
                       Outcome out;
                       char id[16];
                       for (const unsigned long keyID : kKeyIDs) {
                           CString name;
                           if (CQorvane::Keys_ID2Name(keyID, name) != 1) continue;
                           std::snprintf(id, sizeof id, "0x%04lX", keyID);
                           out.output += name.str() + " " + id + "\n";
                       }
                       return out;
                   }};
}

}  // namespace qorvane::tool

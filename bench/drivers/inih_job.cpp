// inih driver (read only: the library has no writer). ini_parse with a
// handler that keeps the wanted item.
#include <ini.h>

#include <cstring>

#include "InfGen.h"
#include "JobHarness.h"

namespace {

int Handler(void* user, const char* section, const char* name, const char* value)
{
    auto* found = static_cast<std::string*>(user);
    if (found->empty() && std::strcmp(section, qbench::kReadKey) == 0 &&
        std::strcmp(name, qbench::kReadItem) == 0) {
        *found = value;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    qbench::JobArgs args;
    if (!qbench::ParseJobArgs(argc, argv, args) || args.mode != "read") return qbench::Usage(argv[0]);
    std::string value;
    return qbench::RunTimed(args, [&](int) {
        std::string found;
        if (ini_parse(args.path.c_str(), Handler, &found) < 0 || found.empty()) return false;
        value = found;
        return true;
    }, value);
}

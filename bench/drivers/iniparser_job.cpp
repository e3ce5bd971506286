// iniparser driver: iniparser_load, getstring / set + iniparser_dump_ini.
#include <iniparser/iniparser.h>

#include <cstdio>
#include <string>

#include "InfGen.h"
#include "JobHarness.h"

int main(int argc, char** argv)
{
    qbench::JobArgs args;
    if (!qbench::ParseJobArgs(argc, argv, args)) return qbench::Usage(argv[0]);
    const bool write = args.mode == "write";
    const std::string readKey = std::string(qbench::kReadKey) + ":" + qbench::kReadItem;
    const std::string writeKey = std::string(qbench::kReadKey) + ":" + qbench::kWriteItem;
    std::string value;
    return qbench::RunTimed(args, [&](int i) {
        dictionary* d = iniparser_load(args.path.c_str());
        if (d == nullptr) return false;
        bool ok = true;
        if (!write) {
            const char* v = iniparser_getstring(d, readKey.c_str(), nullptr);
            ok = v != nullptr;
            if (ok) value = v;
        } else {
            value = qbench::WriteValue(i);
            ok = iniparser_set(d, writeKey.c_str(), value.c_str()) == 0;
            FILE* f = ok ? std::fopen(args.path.c_str(), "w") : nullptr;
            ok = f != nullptr;
            if (ok) {
                iniparser_dump_ini(d, f);
                ok = std::fclose(f) == 0;
            }
        }
        iniparser_freedict(d);
        return ok;
    }, value);
}

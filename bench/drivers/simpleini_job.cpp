// SimpleIni driver: LoadFile, GetValue / SetValue + SaveFile.
// Bytes in, bytes out: no character conversion (and no UTF-8 check).
#define SI_NO_CONVERSION
#include <SimpleIni.h>

#include "InfGen.h"
#include "JobHarness.h"

int main(int argc, char** argv)
{
    qbench::JobArgs args;
    if (!qbench::ParseJobArgs(argc, argv, args)) return qbench::Usage(argv[0]);
    const bool write = args.mode == "write";
    std::string value;
    return qbench::RunTimed(args, [&](int i) {
        CSimpleIniA ini;
        if (ini.LoadFile(args.path.c_str()) < 0) return false;
        if (!write) {
            const char* v = ini.GetValue(qbench::kReadKey, qbench::kReadItem, nullptr);
            if (v == nullptr) return false;
            value = v;
            return true;
        }
        value = qbench::WriteValue(i);
        if (ini.SetValue(qbench::kReadKey, qbench::kWriteItem, value.c_str()) < 0) return false;
        return ini.SaveFile(args.path.c_str()) >= 0;
    }, value);
}

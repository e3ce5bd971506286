// qorvane_gen OUT BYTES [--hash]: writes a generated settings file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "InfGen.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUT BYTES [--hash]\n", argv[0]);
        return 2;
    }
    qbench::GenOptions options;
    options.targetBytes = std::strtoull(argv[2], nullptr, 10);
    options.hashComments = argc > 3 && std::strcmp(argv[3], "--hash") == 0;
    try {
        qbench::WriteWholeFile(argv[1], qbench::GenerateInf(options));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

// qorvane_tool_under_test: the qorvane tool on the seam-enabled library,
// with the access counter of the test that runs it instead of the
// machine-wide one. The first argument must be --counter-name=NAME; a
// second argument --watch-without-inotify makes inotify unavailable, so
// that watch takes its status-check path. The rest is the tool's command
// line.
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/Seam.h"
#include "sync/SharedCounter.h"
#include "tool.h"

int main(int argc, char** argv)
{
    constexpr std::string_view kFlag = "--counter-name=";
    if (argc < 2 || std::string_view(argv[1]).substr(0, kFlag.size()) != kFlag) {
        std::fprintf(stderr, "qorvane_tool_under_test: the first argument must be %sNAME\n", kFlag.data());
        return 64;
    }
    qorvane::sync::UseSharedCounterName(std::string(argv[1] + kFlag.size()));
    int shift = 1;
    if (argc > 2 && std::string_view(argv[2]) == "--watch-without-inotify") {
        qorvane::seam::FailFrom(qorvane::seam::Op::Inotify, 1, ENOSPC);
        shift = 2;
    }
    argv[shift] = argv[0];
    return RunTool(argc - shift, argv + shift);
}

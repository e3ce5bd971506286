// qorvane_watch DIR [KEY]: prints the items of KEY (default PrinterSet) of
// the settings file in DIR, then again every time they change, until the
// settings directory goes away. It waits in its own poll() loop, the way an
// application with an event loop would use the watcher's descriptor.
#include <poll.h>
#include <qorvane/Watch.h>

#include <cerrno>
#include <cstdio>

namespace {

void PrintItems(const CQorvaneWatch& watch, const char* key)
{
    std::printf("[%s]%s\n", key, watch.HasSection() ? "" : "  (no such section)");
    for (int i = 0; i < watch.GetItemCount(); ++i) {
        CString name;
        CString value;
        watch.GetItemAt(i, name, value);
        std::printf("  %s = %s\n", name.c_str(), value.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s SETTINGS_DIR [KEY]\n", argv[0]);
        return 2;
    }
    const char* key = argc == 3 ? argv[2] : "PrinterSet";

    CQorvaneWatch watch;
    const int started = watch.Start(argv[1], key);
    if (started < 0) {
        std::fprintf(stderr, "Start = %d: %s\n", started,
                     started == -2 ? "unknown key" : "the settings directory cannot be watched");
        return 1;
    }
    if (started == 2) std::fprintf(stderr, "checking every %d ms: %s\n", CQorvaneWatch::kPollIntervalMs,
                                   watch.GetPollingReason().c_str());
    PrintItems(watch, key);

    for (;;) {
        // Any event loop can wait here: the descriptor becomes readable when
        // the watcher has something to look at.
        pollfd p{watch.GetFd(), POLLIN, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return 1;
        switch (watch.Check()) {  // never blocks
        case 1: PrintItems(watch, key); break;
        case 0: break;            // something happened, but the items are the same
        default:
            std::printf("the settings directory is gone or replaced; the watch has ended\n");
            return 0;
        }
    }
}

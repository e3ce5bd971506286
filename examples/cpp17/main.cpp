// qorvane_cpp17_client DIR: the C++17 interface. Opens PrinterSet in DIR,
// prints its items and typed values, counts this run in Runs with the
// conflict-checked commit (starting again on the file's values when another
// process changed Runs meanwhile), and reports a failure by its message.
#include <qorvane/Key.h>

#include <chrono>
#include <cstdio>
#include <system_error>

int main(int argc, char** argv)
{
    using namespace std::chrono_literals;
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SETTINGS_DIR\n", argv[0]);
        return 2;
    }
    try {
        for (int attempt = 1;; ++attempt) {
            auto key = qorvane::Open(argv[1], "PrinterSet", 2s);
            if (attempt == 1) {
                for (const auto& [name, value] : key) std::printf("  %s = %s\n", name.c_str(), value.c_str());
                qorvane::ReadStatus status{};
                const long long copies = key.GetInt("Copies", 1, &status);
                std::printf("Copies: %lld%s\n", copies, status == qorvane::ReadStatus::found ? "" : " (default)");
                std::printf("Duplex: %s\n", key.GetBool("Duplex", false) ? "yes" : "no");
                std::printf("Port: %s\n", key.Get("Port", "LPT1").c_str());
            }
            const long long runs = key.GetInt("Runs", 0) + 1;
            key.Set("Runs", runs);
            std::error_code ec;
            key.CommitChecked(2s, ec);
            if (!ec) {
                std::printf("Runs: %lld\n", runs);
                return 0;
            }
            if (ec != qorvane::Errc::conflict || attempt == 5) throw std::system_error(ec);
            // Key goes out of scope: the change is dropped, nothing written.
        }
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.code().message().c_str());
        return 1;
    }
}

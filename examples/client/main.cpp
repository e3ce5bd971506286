// qorvane_client DIR: opens the PrinterSet key of the settings file in DIR,
// prints its items and the value of Port, sets LastClient, and writes the
// change back. Prints each result code; exits 0 only if every step worked.
#include <qorvane/Qorvane.h>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SETTINGS_DIR\n", argv[0]);
        return 2;
    }
    CQorvane store(argv[1]);

    // 1 found, 0 no such section yet; below 0 nothing is open.
    const int opened = store.OpenKey("PrinterSet");
    std::printf("OpenKey(PrinterSet) = %d\n", opened);
    if (opened < 0) return 1;

    // The items in file order; the longest value sizes GetItem's buffer.
    std::size_t longest = 0;
    for (int i = 0; i < store.GetItemCount(); ++i) {
        CString name;
        CString value;
        store.GetItemAt(i, name, value);
        std::printf("  %s = %s\n", name.c_str(), value.c_str());
        longest = std::max(longest, static_cast<std::size_t>(value.GetLength()));
    }
    std::vector<char> port(longest + 1);
    const int got = store.GetItem(KEYID_PRINTERSET, "Port", port.data(), static_cast<int>(port.size()));
    std::printf("GetItem(Port) = %d%s%s\n", got, got == 1 ? ", value " : "", got == 1 ? port.data() : "");

    char client[] = "example-client";
    const int set = store.SetItem(KEYID_PRINTERSET, "LastClient", client);
    std::printf("SetItem(LastClient) = %d\n", set);

    // Merges LastClient into the file as it is now and replaces it whole.
    const int closed = store.CloseKey(1);
    std::printf("CloseKey = %d\n", closed);
    return got == 1 && set > 0 && closed == 1 ? 0 : 1;
}

#include "Reliability.h"

#include <sstream>
#include <stdexcept>


namespace qorvane::reliability {

std::string LargeSample(std::size_t bytes)
{
    std::string out(kSample.substr(0, kSample.find('\x1a')));
    std::string line = "; padding ";
    line.append(100, '.');
    line += "\r\n";
    std::size_t n = 0;
    while (out.size() < bytes) {
        out += line;
        out += std::to_string(n++);
    }
    out += kSample.substr(kSample.find('\x1a'));
    return out;
}

int ApplyChange(CQorvane& store)
{
    char port[] = "COM7";
    char added[] = "yes";
    if (store.SetItem(KEYID_PRINTERSET, "Port", port) != 1) return 1;
    if (store.SetItem(KEYID_PRINTERSET, "Added", added) != 2) return 2;
    return 0;
}

int OpenChangeClose(const std::string& dirPath, int clearOnFail)
{
    CQorvane store(dirPath.c_str());
    const int opened = store.OpenKey("PrinterSet");
    if (opened != 1) return 100 + opened;
    if (ApplyChange(store) != 0) return 200;
    return store.CloseKey(clearOnFail);
}

std::string ExpectedAfter(std::string_view before)
{
    testing::TempDir scratch;
    testing::WriteFile(scratch.Settings(), before);
    const int rc = OpenChangeClose(scratch.Path(), 0);
    if (rc != 1) throw std::runtime_error("scratch change failed: " + std::to_string(rc));
    return testing::ReadFile(scratch.Settings());
}

bool OnlySettingsAndHiddenTemps(const std::string& listing)
{
    std::istringstream in(listing);
    std::string name;
    bool settings = false;
    while (in >> name) {
        if (name == "QorRunningSet.Inf") {
            settings = true;
        } else if (name.rfind(".QorRunningSet.Inf.qvtmp-", 0) != 0) {
            return false;
        }
    }
    return settings;
}

}  // namespace qorvane::reliability

#include "format/CharScan.h"
#include "qorvane/Qorvane.h"

namespace {

struct CatalogueEntry {
    unsigned long id;
    const char* name;
};

constexpr CatalogueEntry kCatalogue[] = {
    {KEYID_PRINTERSET, "PrinterSet"},
    {KEYID_HOTKEYSET, "HotKeySet"},
};

}  // namespace

unsigned long CQorvane::Keys_Name2ID(const char* name)
{
    if (name == nullptr) return 0;
    const std::string_view trimmed = qorvane::format::CharScan::FromLocale().Trim(name);
    for (const CatalogueEntry& entry : kCatalogue) {
        if (trimmed == entry.name) return entry.id;
    }
    return 0;
}

int CQorvane::Keys_ID2Name(unsigned long id, CString& name)
{
    for (const CatalogueEntry& entry : kCatalogue) {
        if (entry.id == id) {
            name = entry.name;
            return 1;
        }
    }
    return 0;
}

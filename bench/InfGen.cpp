#include "InfGen.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qbench {
namespace {

constexpr const char* kEol = "\r\n";

void Comment(std::string& out, bool hash, const std::string& text)
{
    out += hash ? '#' : ';';
    out += ' ';
    out += text;
    out += kEol;
}

void Item(std::string& out, const std::string& name, const std::string& value,
          const char* trailing = nullptr)
{
    out += name;
    out += " = ";
    out += value;
    out += ';';
    if (trailing != nullptr) {
        out += ' ';
        out += trailing;
    }
    out += kEol;
}

// One filler section of about 300 bytes.
void FillerSection(std::string& out, bool hash, unsigned n)
{
    char name[32];
    std::snprintf(name, sizeof name, "Section%06u", n);
    out += '[';
    out += name;
    out += ']';
    out += kEol;
    if (n % 3 == 0) Comment(out, hash, std::string("settings of ") + name);
    for (unsigned i = 0; i < 8; ++i) {
        char key[16];
        char value[48];
        std::snprintf(key, sizeof key, "Item%02u", i);
        std::snprintf(value, sizeof value, "value-%u-%u-%08x", n, i, (n * 2654435761u) ^ i);
        Item(out, key, value, (i == 5 && n % 2 == 0) ? "trailing note" : nullptr);
    }
    out += kEol;
}

void RealKeys(std::string& out, bool hash)
{
    out += "[PrinterSet]";
    out += kEol;
    Comment(out, hash, "printer choices of the running set");
    Item(out, "DefaultPrinter", kReadValue);
    Item(out, kWriteItem, "A4");
    Item(out, "Orientation", "Portrait");
    Item(out, "Copies", "1");
    Item(out, "Duplex", "LongEdge", "both sides");
    Item(out, "Tray", "Auto");
    out += kEol;
    out += "[HotKeySet]";
    out += kEol;
    Comment(out, hash, "keyboard shortcuts");
    Item(out, "Print", "Ctrl+P");
    Item(out, "Save", "Ctrl+S");
    Item(out, "Open", "Ctrl+O");
    Item(out, "Quit", "Ctrl+Q");
    out += kEol;
}

}  // namespace

std::string GenerateInf(const GenOptions& options)
{
    std::string out;
    out.reserve(options.targetBytes + 1024);
    Comment(out, options.hashComments, "QorRunningSet.Inf - generated benchmark settings");
    Comment(out, options.hashComments, "do not edit by hand");
    out += kEol;
    const std::size_t half = options.targetBytes / 2;
    bool placed = false;
    unsigned n = 0;
    while (out.size() < options.targetBytes || !placed) {
        if (!placed && out.size() + 150 >= half) {
            RealKeys(out, options.hashComments);
            placed = true;
            continue;
        }
        FillerSection(out, options.hashComments, n++);
    }
    return out;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), static_cast<std::streamsize>(content.size()));
    f.close();
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace qbench

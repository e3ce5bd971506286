// Generator of settings files for the benchmarks and the peer comparison.
//
// The file has many sections of items ("name = value;"), comment lines,
// single blank lines between sections and CR LF line ends. The two keys the
// library knows, PrinterSet and HotKeySet, sit in the middle of the file.
// The layout is already in the form the library writes (one blank line
// before each header, no blank runs, CR LF), so a rewrite that changes one
// item should leave every other byte as it was.
#pragma once

#include <cstddef>
#include <string>

namespace qbench {

inline constexpr const char* kSettingsName = "QorRunningSet.Inf";
inline constexpr const char* kReadKey = "PrinterSet";
inline constexpr const char* kReadItem = "DefaultPrinter";
inline constexpr const char* kReadValue = "Office-Main";
inline constexpr const char* kWriteItem = "PaperSize";

struct GenOptions {
    std::size_t targetBytes = 4096;
    // Comment lines start with '#' instead of ';' (for parsers that reject ';').
    bool hashComments = false;
};

// Deterministic: the same options give the same bytes.
std::string GenerateInf(const GenOptions& options);

// Writes `content` to `path` (no fsync); throws std::runtime_error on error.
void WriteWholeFile(const std::string& path, const std::string& content);
std::string ReadWholeFile(const std::string& path);

}  // namespace qbench

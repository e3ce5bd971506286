// Helpers shared by the crash-point and fault-injection tests: the change
// every case makes, the content it is made on, and the content it must
// produce, computed by making the same change on a scratch copy.
#pragma once

#include <string>
#include <string_view>

#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace qorvane::reliability {

// A file with comments, two keys, a duplicated item, a blank run and bytes
// after 0x1A, so that a rewrite has something to keep and something to
// change.
inline constexpr std::string_view kSample =
    "; shared settings\r\n\r\n\r\n[PrinterSet]\r\nPort = LPT1;\r\nSpeed=2 ; fast\r\nPort = dup;\r\n"
    "\r\n[HotKeySet]\r\nCopy = Ctrl+C;\r\n\x1a tail kept\r\n";

// kSample grown past `bytes` with comment lines in the HotKeySet section,
// so that the temporary file is written in more than one piece.
std::string LargeSample(std::size_t bytes);

// The change each case makes on an object with PrinterSet open: one item
// replaced, one added. Returns 0 when both SetItem calls did what they should.
int ApplyChange(CQorvane& store);

// Opens PrinterSet in `dirPath`, makes the change and closes with
// bClearOnFail. Returns the close's result, or 100 + the open's result when
// the open did not return 1.
int OpenChangeClose(const std::string& dirPath, int clearOnFail);

// The content a successful change turns `before` into.
std::string ExpectedAfter(std::string_view before);

// True when `listing` (TempDir::Listing) holds the settings file and, apart
// from it, only hidden temporary files of the library's own pattern.
bool OnlySettingsAndHiddenTemps(const std::string& listing);

}  // namespace qorvane::reliability

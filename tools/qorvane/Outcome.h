// What a command produces and how the process exits.
#pragma once

#include <string>
#include <utility>

namespace qorvane::tool {

// Exit codes of every command; the man page and --help list them.
enum ExitCode : int {
    kExitOk = 0,
    kExitNotFound = 1,   // the item is not in the key; check found something
    kExitBadInput = 2,   // bad usage or bad input: nothing was written
    kExitBusy = 3,       // the file stayed busy for the whole --wait time
    kExitFileError = 4,  // file or directory error
    kExitConflict = 5,   // an item is not as expected, or another process changed it: nothing written
};

// What a command produced: text for stdout, and on failure one error line
// (without the "qorvane: " prefix) and the exit code. `note` is one line for
// stderr that does not make the command fail.
struct Outcome {
    int exit = kExitOk;
    std::string error;
    std::string output;
    std::string note;
};

inline Outcome Failure(int exit, std::string message)
{
    Outcome out;
    out.exit = exit;
    out.error = std::move(message);
    return out;
}

// Writes the output to stdout and the error or note to stderr; returns the
// exit code (kExitFileError if stdout cannot be written).
int Report(const Outcome& out);

}  // namespace qorvane::tool

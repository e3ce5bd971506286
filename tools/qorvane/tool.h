// The qorvane command-line tool: read and change the shared settings file
// "QorRunningSet.Inf" from a shell, through the public CQorvane API.
//
// Contract of RunTool:
//   - argv is the full command line (argv[0] is the program name).
//   - Returns the process exit code:
//       0  success
//       1  the item (get) is not in the key
//       2  bad usage or bad input (unknown key, a name or value the file
//          format cannot hold); nothing was written
//       3  the settings file stayed busy for the whole --wait time
//       4  file or directory error (missing or unusable settings directory,
//          no permission, read or write failure)
//   - Writes results to stdout and every error as exactly one line on
//     stderr, starting "qorvane: " and naming the directory, key or item.
//   - Never throws.
//   - Sets the LC_CTYPE locale from the environment, because the library
//     scans the file in the character set of that locale.
#pragma once

int RunTool(int argc, char** argv);

// What the console front end needs from the system beyond the conversion
// core: one small file per platform, picked by CMake.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Before anything is written: a closed pipe must be a write error that the
// exit status reports, not the end of the process.
void InitProcess();

// Standard input and output without any line-end translation; false when
// they cannot be switched.
bool SetBinaryStdio();

// Japanese texts when the ANSI code page is 932.
bool UsesJapanese();

// Whether a person watches standard error, so that a progress line helps.
bool StderrIsConsole();

// Appends the paths that one argument names: itself, or on Windows, whose
// prompt passes wildcards on, the files that match it, sorted by name.
// 0, or the system's error code when a listing broke off.
int ExpandArg(const char* pszArg, std::vector<std::string>* pPaths);

}  // namespace cli

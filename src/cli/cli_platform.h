// What the console front end needs from the system beyond the conversion
// core: one small file per platform, picked by CMake. Each platform file
// also holds the program's entry point, which hands the arguments, in the
// code page the core takes, to RunSkconv.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// skconv itself. asArgs: the arguments after the program's name; asUnfit:
// those that the ANSI code page cannot hold exactly, as near as it can
// show them (Windows; never converted, a usage error).
int RunSkconv(const std::vector<std::string>& asArgs, const std::vector<std::string>& asUnfit);

namespace cli {

// Before anything is written: a closed pipe must be a write error that the
// exit status reports, not the end of the process.
void InitProcess();

// Standard input and output without any line-end translation; false when
// they cannot be switched.
bool SetBinaryStdio();

// Japanese texts when the ANSI code page is 932.
bool UsesJapanese();

// The ANSI code page, for the message about a name it cannot hold.
unsigned AnsiCodePage();

// Whether a person watches standard error, so that a progress line helps.
bool StderrIsConsole();

// Writes a message (ANSI code page bytes) to stdout or stderr: as UTF-16 to
// a console, whatever its output code page, and as the bytes themselves to
// a file or pipe. False when it could not be written.
bool WriteText(std::FILE* pStream, const std::string& text);

// Appends the paths that one argument names: itself, or on Windows, whose
// prompt passes wildcards on, the files whose long names match it, sorted
// by name. A matching name that the ANSI code page cannot hold exactly goes
// to pUnfit. 0, or the system's error code when a listing broke off.
int ExpandArg(const std::string& arg, std::vector<std::string>* pPaths,
              std::vector<std::string>* pUnfit);

}  // namespace cli

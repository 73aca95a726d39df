// The console front end's system calls on POSIX systems: the shell has
// already expanded wildcards, and the texts stay English.
#include <csignal>

#include <unistd.h>

#include "cli_platform.h"

namespace cli {

void InitProcess() {
    (void)std::signal(SIGPIPE, SIG_IGN);  // SIG_ERR only for an invalid signal
}

bool SetBinaryStdio() {
    return true;
}

bool UsesJapanese() {
    return false;
}

bool StderrIsConsole() {
    return ::isatty(STDERR_FILENO) == 1;
}

int ExpandArg(const char* pszArg, std::vector<std::string>* pPaths) {
    pPaths->push_back(pszArg);
    return 0;
}

}  // namespace cli

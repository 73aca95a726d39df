// The console front end's system calls on POSIX systems: the shell has
// already expanded wildcards, names are bytes, and the texts stay English.
#include <csignal>

#include <unistd.h>

#include "cli_platform.h"

int main(int argc, char** argv) {
    return RunSkconv(std::vector<std::string>(argv + 1, argv + argc), std::vector<std::string>());
}

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

unsigned AnsiCodePage() {
    return 0;  // no code page stands between a name and its bytes
}

bool StderrIsConsole() {
    return ::isatty(STDERR_FILENO) == 1;
}

bool WriteText(std::FILE* pStream, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), pStream) == text.size();
}

int ExpandArg(const std::string& arg, std::vector<std::string>* pPaths, std::vector<std::string>*) {
    pPaths->push_back(arg);
    return 0;
}

}  // namespace cli

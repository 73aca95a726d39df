// The console front end's system calls on Windows.
#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "cli_platform.h"
#include "path_rules.h"

// The runtime must not expand wildcards itself: ExpandArg does, once, in
// name order, and a name that merely contains brackets stays as it is.
extern "C" {
int _dowildcard = 0;
}

namespace cli {

void InitProcess() {}

bool SetBinaryStdio() {
    return _setmode(_fileno(stdin), _O_BINARY) != -1 && _setmode(_fileno(stdout), _O_BINARY) != -1;
}

bool UsesJapanese() {
    return GetACP() == 932;
}

bool StderrIsConsole() {
    // A console handle answers GetConsoleMode; a file or pipe does not.
    const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD dwMode = 0;
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &dwMode) != 0;
}

int ExpandArg(const char* pszArg, std::vector<std::string>* pPaths) {
    // Neither byte can be the second byte of a double-byte character.
    if (std::strpbrk(pszArg, "*?") == nullptr) {
        pPaths->push_back(pszArg);
        return 0;
    }
    WIN32_FIND_DATAA fd;
    const HANDLE h = FindFirstFileA(pszArg, &fd);
    if (h == INVALID_HANDLE_VALUE) {
        // No match, or a folder part that does not exist: the argument
        // stays, and the conversion reports why it cannot open it.
        pPaths->push_back(pszArg);
        return 0;
    }
    std::vector<std::string> names;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    const DWORD dwError = GetLastError();
    (void)FindClose(h);  // a search handle holds no data
    if (dwError != ERROR_NO_MORE_FILES)
        return dwError != 0 ? static_cast<int>(dwError) : ERROR_GEN_FAILURE;
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return lstrcmpiA(a.c_str(), b.c_str()) < 0;
    });
    const std::string folder(pszArg, sk::FolderLength(pszArg, sk::NativePathRules()));
    if (names.empty())
        pPaths->push_back(pszArg);  // only folders matched: reported as not a file
    for (const std::string& name : names)
        pPaths->push_back(folder + name);
    return 0;
}

}  // namespace cli

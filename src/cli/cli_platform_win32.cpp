// The console front end's system calls on Windows. The command line is read
// wide (wmain, -municode) and each argument converted to the ANSI code page
// exactly: the ANSI command line Windows makes by best fit would turn
// "café.csv" into another file's name "cafe.csv", and an unknown character
// into a "?" that would then be taken for a wildcard.
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

namespace {

// WriteConsoleW is given at most this many characters at a time.
const size_t kConsoleChunk = 4096;

// The ANSI code page's exact form of a wide text; false when a character
// has no exact counterpart (psz then holds the nearest the code page shows).
bool ToAnsi(const wchar_t* pwsz, std::string* ps) {
    ps->clear();
    BOOL bUsedDefault = FALSE;
    const int cb = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pwsz, -1, nullptr, 0, nullptr,
                                       &bUsedDefault);
    if (cb <= 0)
        return false;
    std::vector<char> buf(static_cast<size_t>(cb));
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pwsz, -1, buf.data(), cb, nullptr,
                            &bUsedDefault) != cb)
        return false;
    ps->assign(buf.data());
    return !bUsedDefault;
}

// Empty when the bytes are not text in the ANSI code page.
std::wstring ToWide(const std::string& s) {
    if (s.empty())
        return std::wstring();
    const int n = static_cast<int>(s.size());
    const int cch = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), n, nullptr, 0);
    if (cch <= 0)
        return std::wstring();
    std::wstring w(static_cast<size_t>(cch), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), n, &w[0], cch) != cch)
        return std::wstring();
    return w;
}

// A character is one UTF-16 unit, or two for a surrogate pair.
size_t CharUnits(const wchar_t* p) {
    return p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF ? 2 : 1;
}

// Case is ignored as the file system ignores it: by the system's own
// upper-case table, whatever the user's language.
bool SameChar(const wchar_t* a, size_t cchA, const wchar_t* b, size_t cchB) {
    return CompareStringOrdinal(a, static_cast<int>(cchA), b, static_cast<int>(cchB), TRUE) ==
           CSTR_EQUAL;
}

// Whether a long file name matches a pattern: "*" any run of characters,
// "?" exactly one (a double-byte character of the ANSI code page is one
// UTF-16 unit, so it is never split). Short 8.3 names play no part.
bool MatchesPattern(const wchar_t* pPat, const wchar_t* pName) {
    const wchar_t* pStarPat = nullptr;  // just after the last "*" met
    const wchar_t* pStarName = nullptr;
    while (*pName != L'\0') {
        const size_t cchName = CharUnits(pName);
        if (*pPat == L'*') {
            pStarPat = ++pPat;
            pStarName = pName;
            continue;
        }
        const size_t cchPat = CharUnits(pPat);
        if (*pPat != L'\0' && (*pPat == L'?' || SameChar(pPat, cchPat, pName, cchName))) {
            pPat += *pPat == L'?' ? 1 : cchPat;
            pName += cchName;
        } else if (pStarPat != nullptr) {
            // The last "*" takes one more character, and the rest is tried again.
            pStarName += CharUnits(pStarName);
            pPat = pStarPat;
            pName = pStarName;
        } else {
            return false;
        }
    }
    while (*pPat == L'*')
        ++pPat;
    return *pPat == L'\0';
}

bool IsConsole(HANDLE h) {
    DWORD dwMode = 0;
    return h != INVALID_HANDLE_VALUE && h != nullptr && GetConsoleMode(h, &dwMode) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> asArgs, asUnfit;
    for (int i = 1; i < argc; ++i) {
        std::string s;
        (ToAnsi(wargv[i], &s) ? asArgs : asUnfit).push_back(s);
    }
    return RunSkconv(asArgs, asUnfit);
}

namespace cli {

void InitProcess() {}

bool SetBinaryStdio() {
    return _setmode(_fileno(stdin), _O_BINARY) != -1 && _setmode(_fileno(stdout), _O_BINARY) != -1;
}

bool UsesJapanese() {
    return GetACP() == 932;
}

unsigned AnsiCodePage() {
    return GetACP();
}

bool StderrIsConsole() {
    // A console handle answers GetConsoleMode; a file or pipe does not.
    return IsConsole(GetStdHandle(STD_ERROR_HANDLE));
}

bool WriteText(std::FILE* pStream, const std::string& text) {
    const HANDLE h = GetStdHandle(pStream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (!IsConsole(h))
        return std::fwrite(text.data(), 1, text.size(), pStream) == text.size();
    // A console shows bytes in its own output code page (65001 after
    // "chcp 65001"), not in the ANSI one: give it the characters.
    if (std::fflush(pStream) != 0)
        return false;
    const std::wstring w = ToWide(text);
    if (w.empty() != text.empty())
        return false;
    for (size_t i = 0; i < w.size();) {
        const DWORD cch = static_cast<DWORD>(std::min(kConsoleChunk, w.size() - i));
        DWORD cchWritten = 0;
        if (!WriteConsoleW(h, w.data() + i, cch, &cchWritten, nullptr) || cchWritten == 0)
            return false;
        i += cchWritten;
    }
    return true;
}

int ExpandArg(const std::string& arg, std::vector<std::string>* pPaths,
              std::vector<std::string>* pUnfit) {
    // Neither byte can be the second byte of a double-byte character.
    const size_t cbFolder = sk::FolderLength(arg.c_str(), sk::NativePathRules());
    const std::string folder = arg.substr(0, cbFolder);
    const std::wstring wFolder = ToWide(folder);
    const std::wstring wPattern = ToWide(arg.substr(cbFolder));
    // Wildcards only in the file name; a folder part that holds one stays
    // as it is, and opening it tells why it cannot be converted.
    if (arg.find_first_of("*?", cbFolder) == std::string::npos ||
        folder.find_first_of("*?") != std::string::npos || wFolder.empty() != folder.empty() ||
        wPattern.empty()) {
        pPaths->push_back(arg);
        return 0;
    }
    // Every name of the folder, matched here: FindFirstFile's own matching
    // also tries the 8.3 short name ("*.csv" finds data.csv_old as
    // DATA~1.CSV) and has older rules for "?" and ".".
    WIN32_FIND_DATAW fd;
    const HANDLE h = FindFirstFileW((wFolder + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        // An empty folder, or one that does not exist: the argument stays,
        // and the conversion reports why it cannot open it.
        pPaths->push_back(arg);
        return 0;
    }
    std::vector<std::string> names;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            !MatchesPattern(wPattern.c_str(), fd.cFileName))
            continue;
        std::string name;
        (ToAnsi(fd.cFileName, &name) ? names : *pUnfit).push_back(folder + name);
    } while (FindNextFileW(h, &fd));
    const DWORD dwError = GetLastError();
    (void)FindClose(h);  // a search handle holds no data
    if (dwError != ERROR_NO_MORE_FILES)
        return dwError != 0 ? static_cast<int>(dwError) : ERROR_GEN_FAILURE;
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return lstrcmpiA(a.c_str(), b.c_str()) < 0;
    });
    if (names.empty())
        pPaths->push_back(arg);  // nothing matched: reported as not found
    pPaths->insert(pPaths->end(), names.begin(), names.end());
    return 0;
}

}  // namespace cli

// Behaves like the programs that sit on an office PC's folders (an indexer,
// a virus scanner, a sync client): whenever a file in FOLDER appears or
// changes, it opens it for reading, sharing read and write but not delete,
// and holds it for HOLD_MS, one file at a time, the others in turn. Every
// file present at its start counts as new; once each of those is held, it
// creates READY_FILE. It stops when STOP_FILE exists and prints how many
// holds it made and on which names.
//
//   file_holder FOLDER HOLD_MS READY_FILE STOP_FILE
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

namespace {

const DWORD kPollMs = 2;
const int kMaxHeld = 1;  // one file at a time, as a scanner goes through them

// What tells a changed file from the one already held.
struct FileState {
    ULONGLONG cb;
    ULONGLONG ftWrite;
    bool operator==(const FileState& o) const { return cb == o.cb && ftWrite == o.ftWrite; }
};

struct Hold {
    HANDLE h;
    ULONGLONG tRelease;
};

Hold g_held[kMaxHeld];
int g_cHeld = 0;
int g_cHolds = 0;
std::wstring g_names;  // each name held, in order

bool Fail(const char* pszWhat, const wchar_t* pwszPath) {
    const DWORD dwError = GetLastError();  // before anything else can change it
    std::fprintf(stderr, "file_holder: %s %ls: error %lu\n", pszWhat, pwszPath, dwError);
    return false;
}

// Closes the holds whose time is over (all of them when bAll).
bool Release(bool bAll) {
    const ULONGLONG tNow = GetTickCount64();
    for (int i = g_cHeld - 1; i >= 0; --i) {
        if (!bAll && g_held[i].tRelease > tNow)
            continue;
        if (!CloseHandle(g_held[i].h))
            return false;
        g_held[i] = g_held[--g_cHeld];
    }
    return true;
}

// Opens the file as a scanner does. False with *pbRetry set when the file
// cannot be held now (another program's sharing, a pending delete, a full
// table): the next look at the folder tries again while the name is there.
bool HoldFile(const std::wstring& path, const wchar_t* pwszName, DWORD dwHoldMs, bool* pbRetry) {
    *pbRetry = true;
    if (g_cHeld == kMaxHeld)
        return false;
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        *pbRetry = dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_ACCESS_DENIED ||
                   dwError == ERROR_FILE_NOT_FOUND;  // gone since the listing
        return false;
    }
    g_held[g_cHeld++] = {h, GetTickCount64() + dwHoldMs};
    ++g_cHolds;
    g_names += L' ';
    g_names += pwszName;
    return true;
}

// Looks at the folder once and holds what is new or changed since *pSeen.
// *pbAllHeld: nothing was left to try again.
bool Scan(const std::wstring& folder, DWORD dwHoldMs, std::map<std::wstring, FileState>* pSeen,
          bool* pbAllHeld) {
    std::map<std::wstring, FileState> now;
    *pbAllHeld = true;
    WIN32_FIND_DATAW fd;
    const HANDLE hFind = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return Fail("cannot list", folder.c_str());
    bool bOk = true;
    do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const FileState st = {(ULONGLONG{fd.nFileSizeHigh} << 32) | fd.nFileSizeLow,
                              (ULONGLONG{fd.ftLastWriteTime.dwHighDateTime} << 32) |
                                  fd.ftLastWriteTime.dwLowDateTime};
        const auto it = pSeen->find(fd.cFileName);
        bool bRetry = false;
        if ((it != pSeen->end() && it->second == st) ||
            HoldFile(folder + L"\\" + fd.cFileName, fd.cFileName, dwHoldMs, &bRetry))
            now[fd.cFileName] = st;
        else if (bRetry)
            *pbAllHeld = false;
        else
            bOk = Fail("cannot open", fd.cFileName);
    } while (bOk && FindNextFileW(hFind, &fd));
    if (bOk && GetLastError() != ERROR_NO_MORE_FILES)
        bOk = Fail("cannot list", folder.c_str());
    if (!FindClose(hFind) && bOk)
        bOk = Fail("cannot end the listing of", folder.c_str());
    pSeen->swap(now);
    return bOk;
}

// Holds until pwszStop exists; creates pwszReady once the files present at
// the start are all held.
bool Watch(const std::wstring& folder, DWORD dwHoldMs, const wchar_t* pwszReady,
           const wchar_t* pwszStop) {
    std::map<std::wstring, FileState> seen;
    bool bReady = false;
    for (;;) {
        bool bAllHeld = false;
        if (!Scan(folder, dwHoldMs, &seen, &bAllHeld))
            return false;
        if (!Release(false))
            return Fail("cannot close a held file of", folder.c_str());
        if (!bReady && bAllHeld) {
            const HANDLE h =
                CreateFileW(pwszReady, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE || !CloseHandle(h))
                return Fail("cannot create", pwszReady);
            bReady = true;
        }
        if (GetFileAttributesW(pwszStop) != INVALID_FILE_ATTRIBUTES)
            break;
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return Fail("cannot look for", pwszStop);
        Sleep(kPollMs);
    }
    if (!Release(true))
        return Fail("cannot close a held file of", folder.c_str());
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t* pwszEnd = nullptr;
    const DWORD dwHoldMs = argc == 5 ? std::wcstoul(argv[2], &pwszEnd, 10) : 0;
    if (pwszEnd == nullptr || pwszEnd == argv[2] || *pwszEnd != L'\0') {
        std::fprintf(stderr, "usage: file_holder FOLDER HOLD_MS READY_FILE STOP_FILE\n");
        return 2;
    }
    if (!Watch(argv[1], dwHoldMs, argv[3], argv[4]))
        return 1;
    std::printf("held %d:%ls\n", g_cHolds, g_names.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

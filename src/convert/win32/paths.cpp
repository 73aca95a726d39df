// The names the Windows file layer works with: the input's path made whole
// once, in the wide "\\?\" form that has no length limit, the names of the
// pass's own files beside it, and the system's words for an error. The
// input's path comes as the code page bytes the user chose.
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "layer.h"

namespace sk {

namespace {
bool IsAnsiLeadByte(unsigned char b) {
    return IsDBCSLeadByte(b) != FALSE;
}
const PathRules kAnsiPathRules = {true, IsAnsiLeadByte};
}  // namespace

// The lead bytes of the code page in force, so that a path in another code
// page than 932 is split at its real separators.
const PathRules& NativePathRules() {
    return kAnsiPathRules;
}

namespace fs {

const wchar_t kWorkName[] = L"workfile.txt";
// Where ReplaceFile parks the old file until the new one has its name.
const wchar_t kBackupName[] = L"workfile.bak";

namespace {
const size_t kLongestName = sizeof kBackupName / sizeof kBackupName[0];
}  // namespace

SysError LastError() {
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<SysError>(e) : ERROR_GEN_FAILURE;
}

FolderPath::FolderPath(const Folder& folder, const wchar_t* pszName) {
    std::wmemcpy(m_wsz, folder.m_wszInput, folder.m_cchPrefix);
    std::wcscpy(m_wsz + folder.m_cchPrefix, pszName);  // fits: OpenFolder left the room
}

SysError SetInputPath(const wchar_t* pszFull, size_t cchFull, Folder* pFolder) {
    // "\\?\" turns off the length limit; a device ("\\.\NUL") keeps its form,
    // and a share's "\\server\share" becomes "\\?\UNC\server\share".
    const wchar_t* pszPrefix = L"\\\\?\\";
    if (std::wcsncmp(pszFull, L"\\\\?\\", 4) == 0 || std::wcsncmp(pszFull, L"\\\\.\\", 4) == 0) {
        pszPrefix = L"";
    } else if (std::wcsncmp(pszFull, L"\\\\", 2) == 0) {
        pszPrefix = L"\\\\?\\UNC";
        ++pszFull;  // one backslash of the two stays
        --cchFull;
    }
    const size_t cchPrefix = std::wcslen(pszPrefix);
    if (cchPrefix + cchFull + kLongestName >= Folder::kWideRoom)
        return ERROR_FILENAME_EXCED_RANGE;
    std::wcscpy(pFolder->m_wszInput, pszPrefix);
    std::wcscpy(pFolder->m_wszInput + cchPrefix, pszFull);
    const wchar_t* pszSlash = std::wcsrchr(pFolder->m_wszInput, L'\\');
    pFolder->m_cchPrefix = static_cast<size_t>(pszSlash - pFolder->m_wszInput) + 1;
    return 0;
}

SysError OpenFolder(const char* pszPath, size_t, Folder* pFolder) {
    // The input path keeps the limit of the ANSI calls; only the names the
    // pass adds beside it may go beyond.
    if (std::strlen(pszPath) >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    wchar_t wszPath[MAX_PATH];
    wchar_t wszFull[Folder::kWideRoom];
    if (sys::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszPath, wszPath, MAX_PATH) == 0)
        return LastError();
    const DWORD cch = sys::GetFullPathNameW(wszPath, Folder::kWideRoom, wszFull);
    if (cch == 0)
        return LastError();
    if (cch >= Folder::kWideRoom)
        return ERROR_FILENAME_EXCED_RANGE;
    return SetInputPath(wszFull, cch, pFolder);
}

Cause CauseOf(SysError e) {
    switch (e) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return Cause::kInUse;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Cause::kNotFound;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_NO_UNICODE_TRANSLATION:
            return Cause::kBadName;
        case ERROR_WRITE_PROTECT:
            return Cause::kWriteProtected;
        case ERROR_ACCESS_DENIED:
            return Cause::kDenied;
    }
    return Cause::kOther;
}

bool IsExistsError(SysError e) {
    return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
}

bool IsLinkError(SysError) {
    return false;  // a link opens as itself here, and QueryInput tells
}

bool IsProtectedFolderError(SysError e) {
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

void FormatError(SysError e, char* psz, size_t cch) {
    if (cch == 0)
        return;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(e), 0, psz, static_cast<DWORD>(cch), nullptr);
    while (n > 0 && (psz[n - 1] == '\r' || psz[n - 1] == '\n' || psz[n - 1] == ' '))
        --n;
    if (n == 0) {
        std::snprintf(psz, cch, "system error %d", e);
        return;
    }
    psz[n] = '\0';
}

}  // namespace fs
}  // namespace sk

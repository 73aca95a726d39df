// Wine's own link check. Wine shows a Unix symbolic link as the plain file
// it leads to, with no reparse point to tell it by: only the path the
// system resolves the input to shows it. On Windows a link is a reparse
// point, which QueryInput tells.
#include <cwchar>

#include "layer.h"

namespace sk {
namespace fs {

namespace {

bool UnderWine() {
    const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
}

// A path's final form, as the system resolves it.
SysError FinalPath(HANDLE h, wchar_t* pwsz, DWORD* pcch) {
    *pcch = sys::GetFinalPathNameByHandleW(h, pwsz, Folder::kWideRoom, FILE_NAME_NORMALIZED);
    if (*pcch == 0)
        return LastError();
    return *pcch < Folder::kWideRoom ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

}  // namespace

SysError LeadsElsewhereUnderWine(const Folder& folder, HANDLE hInput, bool* pbElsewhere) {
    // Elsewhere: the input's final path is not the folder's final path and
    // the input's name. A folder that is itself a link (Wine's Documents)
    // leads both alike.
    *pbElsewhere = false;
    if (!UnderWine())
        return 0;
    wchar_t wszFolder[Folder::kWideRoom];
    std::wmemcpy(wszFolder, folder.m_wszInput, folder.m_cchPrefix);
    wszFolder[folder.m_cchPrefix] = L'\0';
    const Handle opened =
        Own(sys::CreateFileW(wszFolder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    if (!opened.IsOpen())
        return LastError();
    DWORD cchFolder = 0;
    if (SysError e = FinalPath(H(opened), wszFolder, &cchFolder))
        return e;
    wchar_t wszFinal[Folder::kWideRoom];
    DWORD cchFinal = 0;
    if (SysError e = FinalPath(hInput, wszFinal, &cchFinal))
        return e;
    if (wszFolder[cchFolder - 1] == L'\\')  // a drive's root
        --cchFolder;
    const wchar_t* pszName = folder.m_wszInput + folder.m_cchPrefix;
    *pbElsewhere =
        cchFinal <= cchFolder || wszFinal[cchFolder] != L'\\' ||
        CompareStringOrdinal(wszFinal, static_cast<int>(cchFolder), wszFolder,
                             static_cast<int>(cchFolder), TRUE) != CSTR_EQUAL ||
        CompareStringOrdinal(wszFinal + cchFolder + 1, -1, pszName, -1, TRUE) != CSTR_EQUAL;
    return 0;
}

}  // namespace fs
}  // namespace sk

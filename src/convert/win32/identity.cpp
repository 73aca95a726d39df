// Which file is where, as the volume tells it. A file id is compared only
// ever with another id read at the same moment, never with one read
// before a rename: on FAT it is the position of the file's directory
// entry, which a rename moves. Where a volume gives no ids (0: WebDAV,
// some network and FUSE volumes), the name the volume gives an open file,
// which follows it wherever it is moved, tells instead.
#include <cstring>
#include <cwchar>

#include "layer.h"

namespace sk {
namespace fs {

namespace {

uint64_t Index(const BY_HANDLE_FILE_INFORMATION& bhfi) {
    return (static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
}

// "No such query here": a system before Windows 8, or a volume that does
// not implement it (FAT).
bool IsNoSuchQuery(DWORD e) {
    return e == ERROR_INVALID_PARAMETER || e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION;
}

// The name the volume gives the file open as h now, from its root.
SysError NameOf(HANDLE h, wchar_t* pwsz, size_t cchRoom) {
    union {
        FILE_NAME_INFO info;
        char room[sizeof(FILE_NAME_INFO) + Folder::kWideRoom * sizeof(wchar_t)];
    } name;
    if (!sys::GetFileInformationByHandleEx(h, FileNameInfo, &name, sizeof name))
        return LastError();
    const size_t cch = name.info.FileNameLength / sizeof(wchar_t);
    if (cch >= cchRoom)
        return ERROR_FILENAME_EXCED_RANGE;
    std::wmemcpy(pwsz, name.info.FileName, cch);
    pwsz[cch] = L'\0';
    return 0;
}

}  // namespace

SysError IdOf(HANDLE h, FileIdentity* pId) {
    // The whole 128-bit id where the system has the query (Windows 8 and
    // later), as the 64-bit index of ReFS is not unique; else the index.
    FILE_ID_INFO fid;
    if (sys::GetFileInformationByHandleEx(h, FileIdInfo, &fid, sizeof fid)) {
        std::memcpy(&pId->ullFile, fid.FileId.Identifier, 8);
        std::memcpy(&pId->ullFileHigh, fid.FileId.Identifier + 8, 8);
        pId->ullVolume = fid.VolumeSerialNumber;
        return 0;
    }
    if (!IsNoSuchQuery(GetLastError()))
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (!sys::GetFileInformationByHandle(h, &bhfi))
        return LastError();
    pId->ullVolume = bhfi.dwVolumeSerialNumber;
    pId->ullFile = Index(bhfi);
    pId->ullFileHigh = 0;
    return 0;
}

bool SameFileHere(const FileIdentity& a, const FileIdentity& b) {
    // On one volume, whatever serial number either shows (Wine shows 0 for
    // a file that another handle renamed).
    return IsKnown(a) && a.ullFile == b.ullFile && a.ullFileHigh == b.ullFileHigh;
}

Handle OpenToAsk(const wchar_t* pszPath) {
    // No data access and every sharing mode, so that no other program's
    // hold gets in the way; a link itself, not what it names.
    return Own(sys::CreateFileW(
        pszPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
}

SysError HeldFileIsAt(HANDLE hHeld, const wchar_t* pszPath, bool* pbAt, bool* pbFree) {
    *pbAt = false;
    if (pbFree != nullptr)
        *pbFree = false;
    const Handle named = OpenToAsk(pszPath);
    if (!named.IsOpen()) {
        const SysError e = LastError();
        if (e != ERROR_FILE_NOT_FOUND)
            return e;
        if (pbFree != nullptr)
            *pbFree = true;
        return 0;
    }
    FileIdentity idHeld = {};
    FileIdentity idNamed = {};
    if (SysError e = IdOf(hHeld, &idHeld))
        return e;
    if (SysError e = IdOf(H(named), &idNamed))
        return e;
    if (IsKnown(idHeld) && IsKnown(idNamed)) {
        *pbAt = SameFileHere(idHeld, idNamed);
        return 0;
    }
    wchar_t wszHeld[Folder::kWideRoom];
    wchar_t wszNamed[Folder::kWideRoom];
    if (SysError e = NameOf(hHeld, wszHeld, Folder::kWideRoom))
        return e;
    if (SysError e = NameOf(H(named), wszNamed, Folder::kWideRoom))
        return e;
    *pbAt = CompareStringOrdinal(wszHeld, -1, wszNamed, -1, TRUE) == CSTR_EQUAL;
    return 0;
}

SysError QueryIdentity(const char* pszPath, FileIdentity* pId) {
    // Asking must not disturb a file that another program holds open.
    wchar_t wszPath[MAX_PATH];
    if (sys::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszPath, wszPath, MAX_PATH) == 0)
        return LastError();
    const Handle file = OpenToAsk(wszPath);
    if (!file.IsOpen())
        return LastError();
    return IdOf(H(file), pId);
}

}  // namespace fs
}  // namespace sk

// File operations on Windows, through the ANSI calls so that paths are the
// code page bytes the user chose.
#include "file_system.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include <aclapi.h>

#include "fault_seam.h"

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

namespace {

HANDLE H(const FileHandle& file) {
    return reinterpret_cast<HANDLE>(file.Get());
}

SysError LastError() {
    const DWORD e = GetLastError();
    return e != 0 ? static_cast<SysError>(e) : ERROR_GEN_FAILURE;
}

// A test build may make the call that follows fail as the system would: with
// the last error set, and handled by the same code as a real failure.
bool Faulted(IoOp op) {
    const int e = InjectedFault(op);
    if (e != 0)
        SetLastError(static_cast<DWORD>(e));
    return e != 0;
}

// The attributes a file may be given by SetFileAttributes, less read-only
// (a read-only input is never converted) and the transient ones.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// ReadFile and WriteFile move at most this many bytes per call.
const size_t kMaxIo = 1u << 30;

DWORD IoSize(size_t cb) {
    return static_cast<DWORD>(cb < kMaxIo ? cb : kMaxIo);
}

}  // namespace

FileHandle::~FileHandle() {
    if (IsOpen())
        (void)CloseHandle(reinterpret_cast<HANDLE>(m_h));  // only failed passes get here
}

Folder::~Folder() {}

namespace {

const wchar_t kWorkName[] = L"workfile.txt";
// Where ReplaceFile parks the old file until the new one has its name.
const wchar_t kBackupName[] = L"workfile.bak";

// A name in the input's folder, in the "\\?\" form.
class FolderPath {
public:
    FolderPath(const Folder& folder, const wchar_t* pszName) {
        std::wmemcpy(m_wsz, folder.m_wszInput, folder.m_cchPrefix);
        std::wcscpy(m_wsz + folder.m_cchPrefix, pszName);  // fits: OpenFolder left the room
    }
    const wchar_t* Get() const { return m_wsz; }

private:
    wchar_t m_wsz[Folder::kWideRoom];
};

const size_t kLongestName = sizeof kBackupName / sizeof kBackupName[0];

SysError SetName(const wchar_t* pszFull, size_t cchFull, Folder* pFolder) {
    // "\\?\" turns off the length limit; a device ("\\.\NUL") keeps its form.
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

}  // namespace

SysError OpenFolder(const char* pszPath, size_t, Folder* pFolder) {
    // The input path keeps the limit of the ANSI calls; only the names the
    // pass adds beside it may go beyond. The full path is made once, here,
    // so that every later call names the same folder.
    if (std::strlen(pszPath) >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    wchar_t wszPath[MAX_PATH];
    wchar_t wszFull[Folder::kWideRoom];
    if (Faulted(IoOp::kFolder) ||
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszPath, -1, wszPath, MAX_PATH) == 0)
        return LastError();
    // GetFullPathNameW: 0 on failure, or the room needed when the buffer is short.
    const DWORD cch = GetFullPathNameW(wszPath, Folder::kWideRoom, wszFull, nullptr);
    if (cch == 0)
        return LastError();
    if (cch >= Folder::kWideRoom)
        return ERROR_FILENAME_EXCED_RANGE;
    return SetName(wszFull, cch, pFolder);
}

SysError OpenInput(const Folder& folder, FileHandle* pFile) {
    // Readers may share the file, writers may not: the text must not change
    // under the pass, which holds this handle until the file is replaced.
    // Sharing delete lets ReplaceFile move it aside meanwhile. Backup
    // semantics let a folder open, so that it is refused as a folder rather
    // than with "access denied"; a link or junction is opened itself, not
    // followed, so that it is refused as one.
    const HANDLE h = Faulted(IoOp::kOpen)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(folder.m_wszInput, GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS |
                                           FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    pFile->Reset(reinterpret_cast<intptr_t>(h));
    return 0;
}

namespace {

int64_t Time(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

SysError Identify(HANDLE h, BY_HANDLE_FILE_INFORMATION* pBhfi) {
    std::memset(pBhfi, 0, sizeof *pBhfi);
    return !Faulted(IoOp::kQuery) && GetFileInformationByHandle(h, pBhfi) ? 0 : LastError();
}

}  // namespace

SysError QueryInput(const FileHandle& file, FileInfo* pInfo) {
    // A device (NUL, CON, COM1 ...) opens like a file but is none.
    SetLastError(NO_ERROR);
    const DWORD dwType = Faulted(IoOp::kQuery) ? FILE_TYPE_UNKNOWN : GetFileType(H(file));
    if (dwType == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    std::memset(&bhfi, 0, sizeof bhfi);
    if (dwType == FILE_TYPE_DISK)
        if (SysError e = Identify(H(file), &bhfi))
            return e;
    const DWORD dwAttr = bhfi.dwFileAttributes;
    pInfo->bDirectory = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pInfo->bLink = (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    pInfo->bRegular =
        dwType == FILE_TYPE_DISK && (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE |
                                               FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    pInfo->bReadOnly = (dwAttr & FILE_ATTRIBUTE_READONLY) != 0;
    pInfo->nLinks = bhfi.nNumberOfLinks;
    pInfo->ulAccess = dwAttr & kKeptAttributes;
    pInfo->ulOwner = 0;
    pInfo->ulGroup = 0;
    pInfo->ullVolume = bhfi.dwVolumeSerialNumber;
    pInfo->ullIndex = (static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
    pInfo->ullSize = (static_cast<uint64_t>(bhfi.nFileSizeHigh) << 32) | bhfi.nFileSizeLow;
    pInfo->llWritten = Time(bhfi.ftLastWriteTime);
    pInfo->llChanged = pInfo->llWritten;
    pInfo->llCreated = Time(bhfi.ftCreationTime);
    return 0;
}

SysError CreateWork(const Folder& folder, const FileHandle& input, FileHandle* pFile) {
    // The work file is created with the input's DACL (with its protection
    // from inheritance) and integrity label, so that it is never more open
    // than the input, not even for a moment, and needs no rights that a
    // later change of its security would. GetSecurityInfo documents only a
    // Win32 error code as its failure, which fails the pass.
    PSID pOwner = nullptr;
    PACL pDacl = nullptr;
    PACL pSacl = nullptr;
    PSECURITY_DESCRIPTOR pInputSd = nullptr;
    const DWORD dwGot =
        Faulted(IoOp::kSecurity)
            ? GetLastError()
            : GetSecurityInfo(H(input), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                  LABEL_SECURITY_INFORMATION,
                              &pOwner, nullptr, &pDacl, &pSacl, &pInputSd);
    // A file system without security (FAT on a memory stick) has none to keep.
    const bool bNoSecurity = dwGot == ERROR_INVALID_FUNCTION || dwGot == ERROR_NOT_SUPPORTED;
    if (dwGot != ERROR_SUCCESS && !bNoSecurity)
        return static_cast<SysError>(dwGot);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    SECURITY_DESCRIPTOR sd;
    // The label is the SACL's only entry here; an empty SACL is left out, as
    // setting one at all would need the auditing privilege.
    const bool bBuilt =
        bNoSecurity ||
        (!Faulted(IoOp::kSecurity) &&
         GetSecurityDescriptorControl(pInputSd, &control, &dwRevision) &&
         InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorOwner(&sd, pOwner, FALSE) &&
         SetSecurityDescriptorDacl(&sd, (control & SE_DACL_PRESENT) != 0, pDacl, FALSE) &&
         SetSecurityDescriptorSacl(&sd, pSacl != nullptr && pSacl->AceCount != 0, pSacl, FALSE) &&
         SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, control & SE_DACL_PROTECTED));
    SysError e = bBuilt ? 0 : LastError();
    const FolderPath work(folder, kWorkName);
    SECURITY_ATTRIBUTES sa = {sizeof sa, bNoSecurity ? nullptr : &sd, FALSE};
    for (int iTry = 0; e == 0 && iTry < 2; ++iTry) {
        const HANDLE h =
            Faulted(IoOp::kCreate)
                ? INVALID_HANDLE_VALUE
                : CreateFileW(work.Get(), GENERIC_WRITE, 0, &sa, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            pFile->Reset(reinterpret_cast<intptr_t>(h));
            break;
        }
        e = LastError();
        // Only an administrator may hand a file to another owner: the work
        // file then belongs to the user who converts it, as after any save.
        if (e == ERROR_INVALID_OWNER && iTry == 0) {
            (void)SetSecurityDescriptorOwner(&sd, nullptr,
                                             FALSE);  // cannot fail on this descriptor
            e = 0;
        }
    }
    if (pInputSd != nullptr)
        LocalFree(pInputSd);
    return e;
}
SysError ReadSome(const FileHandle& file, char* p, size_t cb, size_t* pcbRead) {
    *pcbRead = 0;
    DWORD dwRead = 0;
    if (Faulted(IoOp::kRead) || !ReadFile(H(file), p, IoSize(cb), &dwRead, nullptr))
        return LastError();
    *pcbRead = dwRead;
    return 0;
}

SysError WriteAll(const FileHandle& file, const char* p, size_t cb) {
    while (cb != 0) {
        DWORD dwWritten = 0;
        if (Faulted(IoOp::kWrite) || !WriteFile(H(file), p, IoSize(cb), &dwWritten, nullptr))
            return LastError();
        if (dwWritten == 0)
            return ERROR_WRITE_FAULT;  // no progress and no reason: do not spin
        p += dwWritten;
        cb -= dwWritten;
    }
    return 0;
}

SysError FlushToDisk(const FileHandle& file) {
    return !Faulted(IoOp::kFlush) && FlushFileBuffers(H(file)) ? 0 : LastError();
}

SysError StartWriteBack(const FileHandle&, uint64_t, uint64_t) {
    return 0;  // the lazy writer starts on its own; FlushFileBuffers waits for the rest
}

SysError CloseFile(FileHandle* pFile) {
    const BOOL bClosed = CloseHandle(reinterpret_cast<HANDLE>(pFile->Release()));
    return !Faulted(IoOp::kClose) && bClosed ? 0 : LastError();
}

SysError CopyAccess(const FileHandle& input, const FileHandle& work, const FileInfo& info) {
    // The input's attributes, with the archive bit that tells backup
    // programs the text has changed, and its creation time (which ReplaceFile
    // also keeps where the file system lets it). Through the work file's own
    // handle: its name is only ours by convention.
    (void)input;
    FILE_BASIC_INFO basic;
    std::memset(&basic, 0, sizeof basic);
    basic.CreationTime.QuadPart = info.llCreated;
    basic.FileAttributes = static_cast<DWORD>(info.ulAccess) | FILE_ATTRIBUTE_ARCHIVE;
    return !Faulted(IoOp::kAccess) &&
                   SetFileInformationByHandle(H(work), FileBasicInfo, &basic, sizeof basic)
               ? 0
               : LastError();
}

SysError StillTheInput(const Folder& folder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame) {
    // This pass keeps writers out of the input, but its name may have been
    // given to another file meanwhile (moving a file needs no write access).
    *pbSame = false;
    const HANDLE h =
        Faulted(IoOp::kQuery)
            ? INVALID_HANDLE_VALUE
            : CreateFileW(folder.m_wszInput, FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const SysError e = LastError();
        return e == ERROR_FILE_NOT_FOUND ? 0 : e;  // gone: not the same
    }
    BY_HANDLE_FILE_INFORMATION byName;
    BY_HANDLE_FILE_INFORMATION byHandle;
    SysError e = Identify(h, &byName);
    (void)CloseHandle(h);  // opened for attributes only: nothing to lose
    if (e == 0)
        e = Identify(H(input), &byHandle);
    if (e != 0)
        return e;
    *pbSame = byName.dwVolumeSerialNumber == info.ullVolume &&
              ((static_cast<uint64_t>(byName.nFileIndexHigh) << 32) | byName.nFileIndexLow) ==
                  info.ullIndex &&
              ((static_cast<uint64_t>(byHandle.nFileSizeHigh) << 32) | byHandle.nFileSizeLow) ==
                  info.ullSize &&
              Time(byHandle.ftLastWriteTime) == info.llWritten;
    return 0;
}

namespace {

BOOL Replace(const wchar_t* pszInput, const wchar_t* pszWork, const wchar_t* pszBackup) {
#if defined(SEARCHKEY_FAULT_INJECTION)
    // The one failure that changes names: the old file is already under the
    // backup name, as the documentation says of it.
    const int e = InjectedFault(IoOp::kReplace);
    if (e == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        (void)MoveFileExW(pszInput, pszBackup, MOVEFILE_REPLACE_EXISTING);
    if (e != 0) {
        SetLastError(static_cast<DWORD>(e));
        return FALSE;
    }
#endif
    return ReplaceFileW(pszInput, pszWork, pszBackup, 0, nullptr, nullptr);
}

}  // namespace

SysError ReplaceInput(const Folder& folder, FileHandle* pInput, Replaced* pResult) {
    const FolderPath work(folder, kWorkName);
    const FolderPath backup(folder, kBackupName);
    const wchar_t* const pszInput = folder.m_wszInput;

    // ReplaceFile moves the old file to the backup name and overwrites
    // whatever is there: the name is taken first, so that it is ours.
    const HANDLE hBackup = Faulted(IoOp::kCreate)
                               ? INVALID_HANDLE_VALUE
                               : CreateFileW(backup.Get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hBackup == INVALID_HANDLE_VALUE) {
        const SysError e = LastError();
        pResult->bBackupTaken = IsExistsError(e);
        return e;
    }
    (void)CloseHandle(hBackup);  // empty, and written over by ReplaceFile

    // ReplaceFile keeps the old file's creation time, short name, object id,
    // DACL, encryption, compression and named streams on the new one.
    if (!Replace(pszInput, work.Get(), backup.Get())) {
        const SysError e = LastError();
        if (e == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            // The old file is under the backup name and the new one under
            // its own: the old one goes back, which frees the backup name.
            if (!Faulted(IoOp::kMove) &&
                MoveFileExW(backup.Get(), pszInput, MOVEFILE_WRITE_THROUGH))
                return e;
            pResult->bStranded = true;
            return e;
        }
        // ERROR_UNABLE_TO_MOVE_REPLACEMENT, ERROR_UNABLE_TO_REMOVE_REPLACED
        // and every other error: both files keep their names (a backup name
        // was given), and only the reservation is to be removed.
        if (Faulted(IoOp::kRemove) || !DeleteFileW(backup.Get()))
            pResult->bBackupLeft = true;
        return e;
    }

    // The old file is now under the backup name and still open here: it is
    // deleted when this handle closes.
    if (Faulted(IoOp::kRemove) || !DeleteFileW(backup.Get())) {
        pResult->after = After::kRemoveBackup;
        pResult->eAfter = LastError();
    }
    (void)CloseFile(pInput);  // read only: closing it loses nothing
    if (pResult->after == After::kNone) {
        // ReplaceFile may carry the old attributes over, without the archive bit.
        const DWORD dwAttr =
            Faulted(IoOp::kAccess) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(pszInput);
        if (dwAttr == INVALID_FILE_ATTRIBUTES ||
            ((dwAttr & FILE_ATTRIBUTE_ARCHIVE) == 0 &&
             (Faulted(IoOp::kAccess) ||
              !SetFileAttributesW(pszInput, dwAttr | FILE_ATTRIBUTE_ARCHIVE)))) {
            pResult->after = After::kMarkChanged;
            pResult->eAfter = LastError();
        }
    }
    return 0;
}

SysError RemoveWork(const Folder& folder) {
    const FolderPath work(folder, kWorkName);
    return !Faulted(IoOp::kRemove) && DeleteFileW(work.Get()) ? 0 : LastError();
}

bool IsExistsError(SysError e) {
    return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
}

bool IsLinkError(SysError) {
    return false;  // a link opens as itself here, and QueryInput tells
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

void AdviseSequential(const FileHandle&) {
    // The input is opened with FILE_FLAG_SEQUENTIAL_SCAN, which says the same.
}

SysError QueryIdentity(const char* pszPath, FileIdentity* pId) {
    // No data access and every sharing mode: asking must not disturb a file
    // that another program holds open. Backup semantics open folders too; the
    // reparse flag keeps a link itself from being followed.
    const HANDLE h = CreateFileA(
        pszPath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    const BOOL bOk = GetFileInformationByHandle(h, &bhfi);
    const SysError e = bOk ? 0 : LastError();
    (void)CloseHandle(h);  // opened for no access: nothing to lose on close
    if (e != 0)
        return e;
    pId->ullVolume = bhfi.dwVolumeSerialNumber;
    pId->ullFile = (static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
    return 0;
}

}  // namespace fs
}  // namespace sk

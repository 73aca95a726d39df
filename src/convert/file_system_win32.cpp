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

// Programs that open each new or changed file for a moment (the search
// indexer, virus scanners, sync clients) make a step fail while they hold
// the file: the step is tried again, each wait longer, about 2 s in all.
const DWORD kRetryWaits[] = {10, 20, 40, 80, 160, 320, 500, 500, 500};
const int kRetries = sizeof kRetryWaits / sizeof kRetryWaits[0];

bool HeldByAnother(DWORD e) {
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION || e == ERROR_ACCESS_DENIED;
}

// Makes pfnTry until it succeeds (TRUE), fails for a reason pfnRetry says
// waiting does not cure, or the waits are spent; the last error is kept.
template <typename Try, typename Retry>
BOOL Retried(Try pfnTry, Retry pfnRetry) {
    for (int iTry = 0;; ++iTry) {
        if (pfnTry())
            return TRUE;
        const DWORD e = GetLastError();
        if (iTry == kRetries || !pfnRetry(e)) {
            SetLastError(e);
            return FALSE;
        }
#if !defined(SEARCHKEY_FAULT_INJECTION)
        Sleep(kRetryWaits[iTry]);  // a test's injected failures need no time to clear
#endif
    }
}

template <typename Try>
BOOL Retried(Try pfnTry) {
    return Retried(pfnTry, HeldByAnother);
}

// Wine shows a Unix symbolic link as a plain file; only the path it leads
// to tells it from one.
bool UnderWine() {
    const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
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
    wchar_t* Get() { return m_wsz; }  // for the calls that take a writable name

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

namespace {

// The reparse tags of cloud files: OneDrive and other sync clients' placeholders.
bool IsCloudTag(DWORD dwTag) {
    return (dwTag & ~static_cast<DWORD>(IO_REPARSE_TAG_CLOUD_MASK)) ==
               static_cast<DWORD>(IO_REPARSE_TAG_CLOUD) ||
           dwTag == static_cast<DWORD>(IO_REPARSE_TAG_ONEDRIVE);
}

// A path's final form, as the system resolves it: 0, or the error.
SysError FinalPath(HANDLE h, wchar_t* pwsz, DWORD* pcch) {
    *pcch = Faulted(IoOp::kQuery)
                ? 0
                : GetFinalPathNameByHandleW(h, pwsz, Folder::kWideRoom, FILE_NAME_NORMALIZED);
    if (*pcch == 0)
        return LastError();
    return *pcch < Folder::kWideRoom ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

// Whether the input's path leads to another file than its own name in its
// folder: its final path is not the folder's final path and that name. A
// folder that is itself a link (Wine's Documents) leads both alike.
SysError LeadsElsewhere(const Folder& folder, HANDLE hInput, bool* pbElsewhere) {
    *pbElsewhere = false;
    wchar_t wszFolder[Folder::kWideRoom];
    std::wmemcpy(wszFolder, folder.m_wszInput, folder.m_cchPrefix);
    wszFolder[folder.m_cchPrefix] = L'\0';
    const HANDLE hFolder =
        Faulted(IoOp::kQuery)
            ? INVALID_HANDLE_VALUE
            : CreateFileW(wszFolder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE)
        return LastError();
    DWORD cchFolder = 0;
    SysError e = FinalPath(hFolder, wszFolder, &cchFolder);
    (void)CloseHandle(hFolder);  // opened for no access: nothing to lose
    wchar_t wszFinal[Folder::kWideRoom];
    DWORD cchFinal = 0;
    if (e == 0)
        e = FinalPath(hInput, wszFinal, &cchFinal);
    if (e != 0)
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

}  // namespace

SysError QueryInput(const Folder& folder, const FileHandle& file, FileInfo* pInfo) {
    // A device (NUL, CON, COM1 ...) opens like a file but is none.
    SetLastError(NO_ERROR);
    const DWORD dwType = Faulted(IoOp::kQuery) ? FILE_TYPE_UNKNOWN : GetFileType(H(file));
    if (dwType == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    std::memset(&bhfi, 0, sizeof bhfi);
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    DWORD dwVolumeFlags = 0;
    bool bElsewhere = false;
    if (dwType == FILE_TYPE_DISK) {
        if (SysError e = Identify(H(file), &bhfi))
            return e;
        if (Faulted(IoOp::kQuery) ||
            !GetFileInformationByHandleEx(H(file), FileAttributeTagInfo, &tag, sizeof tag))
            return LastError();
        // Whether the volume keeps security at all (FAT on a memory stick does not).
        if (Faulted(IoOp::kQuery) ||
            !GetVolumeInformationByHandleW(H(file), nullptr, 0, nullptr, nullptr, &dwVolumeFlags,
                                           nullptr, 0))
            return LastError();
        if (UnderWine())
            if (SysError e = LeadsElsewhere(folder, H(file), &bElsewhere))
                return e;
    }
    DWORD dwAttr = bhfi.dwFileAttributes;
    if (const DWORD dwInjected = InjectedReparseTag()) {
        dwAttr |= FILE_ATTRIBUTE_REPARSE_POINT;
        tag.ReparseTag = dwInjected;
    }
    const DWORD dwTag = (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag.ReparseTag : 0;
    // Only a name surrogate (symbolic link, junction, mount point) names
    // another file; every other reparse point holds this file's own text
    // elsewhere, as a cloud file or a deduplicated one does.
    pInfo->bDirectory = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pInfo->bLink = (dwTag != 0 && IsReparseTagNameSurrogate(dwTag)) || bElsewhere;
    pInfo->bPlaceholder = dwTag != 0 && !pInfo->bLink;
    pInfo->bCloud = pInfo->bPlaceholder && IsCloudTag(dwTag);
    pInfo->bSecurity = (dwVolumeFlags & FILE_PERSISTENT_ACLS) != 0;
    pInfo->bRegular = dwType == FILE_TYPE_DISK && !pInfo->bLink &&
                      (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
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

namespace {

bool SameFile(const BY_HANDLE_FILE_INFORMATION& bhfi, const FileInfo& info) {
    return bhfi.dwVolumeSerialNumber == info.ullVolume &&
           ((static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow) ==
               info.ullIndex;
}

}  // namespace

SysError RecallInput(const Folder& folder, const FileInfo& info, FileHandle* pFile) {
    // Opened without FILE_FLAG_OPEN_REPARSE_POINT, the reparse point's own
    // driver (the cloud provider's, deduplication's) serves the text, and
    // downloads it first where it must. Writers stay out, as before.
    const HANDLE h =
        Faulted(IoOp::kOpen)
            ? INVALID_HANDLE_VALUE
            : CreateFileW(folder.m_wszInput, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    SysError e = Identify(h, &bhfi);
    // The name may have been given to another file between the two opens.
    if (e == 0 && !SameFile(bhfi, info))
        e = ERROR_FILE_INVALID;
    if (e != 0) {
        (void)CloseHandle(h);  // read only: nothing to lose
        return e;
    }
    (void)CloseHandle(H(*pFile));  // the same file, still held by the new handle
    pFile->Reset(reinterpret_cast<intptr_t>(h));
    return 0;
}

SysError CreateWork(const Folder& folder, const FileHandle& input, const FileInfo& info,
                    FileHandle* pFile) {
    // The work file is created with the input's DACL and integrity label, so
    // that it is never more open than the input, not even for a moment, and
    // needs no rights that a later change of its security would. The DACL is
    // protected from inheritance whatever the input's is: a DACL given at
    // creation is otherwise merged with the folder's inheritable entries,
    // which may let in more than the input does (a file moved in from
    // another folder keeps its own). ReplaceInput sets the input's
    // protection back. GetSecurityInfo documents only a Win32 error code as
    // its failure, which fails the pass.
    PSID pOwner = nullptr;
    PACL pDacl = nullptr;
    PACL pSacl = nullptr;
    PSECURITY_DESCRIPTOR pInputSd = nullptr;
    SECURITY_DESCRIPTOR sd;
    SysError e = 0;
    if (info.bSecurity) {
        const DWORD dwGot =
            Faulted(IoOp::kSecurity)
                ? GetLastError()
                : GetSecurityInfo(H(input), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      LABEL_SECURITY_INFORMATION,
                                  &pOwner, nullptr, &pDacl, &pSacl, &pInputSd);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD dwRevision = 0;
        // The label is the SACL's only entry here; an empty SACL is left out,
        // as setting one at all would need the auditing privilege.
        if (dwGot != ERROR_SUCCESS)
            e = static_cast<SysError>(dwGot);
        else if (Faulted(IoOp::kSecurity) ||
                 !GetSecurityDescriptorControl(pInputSd, &control, &dwRevision) ||
                 !InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
                 !SetSecurityDescriptorOwner(&sd, pOwner, FALSE) ||
                 !SetSecurityDescriptorDacl(&sd, (control & SE_DACL_PRESENT) != 0, pDacl, FALSE) ||
                 !SetSecurityDescriptorSacl(&sd, pSacl != nullptr && pSacl->AceCount != 0, pSacl,
                                            FALSE) ||
                 !SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            e = LastError();
    }
    const FolderPath work(folder, kWorkName);
    SECURITY_ATTRIBUTES sa = {sizeof sa, info.bSecurity ? &sd : nullptr, FALSE};
    bool bOwnerGiven = info.bSecurity;
    HANDLE h = INVALID_HANDLE_VALUE;
    // Read and write: across a network, write access alone may fail now and
    // then with "access denied".
    if (e == 0 &&
        !Retried(
            [&] {
                h = Faulted(IoOp::kCreate)
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW(work.Get(), GENERIC_READ | GENERIC_WRITE, 0, &sa, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
                return h != INVALID_HANDLE_VALUE;
            },
            [&](DWORD eTry) {
                // Only an administrator may hand a file to another owner: the
                // work file then belongs to the user who converts it, as
                // after any save.
                if (eTry == ERROR_INVALID_OWNER && bOwnerGiven) {
                    bOwnerGiven = false;
                    return SetSecurityDescriptorOwner(&sd, nullptr, FALSE) != FALSE;
                }
                return HeldByAnother(eTry);
            }))
        e = LastError();
    if (e == 0)
        pFile->Reset(reinterpret_cast<intptr_t>(h));
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
    *pbSame = SameFile(byName, info) &&
              ((static_cast<uint64_t>(byHandle.nFileSizeHigh) << 32) | byHandle.nFileSizeLow) ==
                  info.ullSize &&
              Time(byHandle.ftLastWriteTime) == info.llWritten;
    return 0;
}

namespace {

BOOL Replace(const wchar_t* pszInput, const wchar_t* pszWork, const wchar_t* pszBackup,
             DWORD dwFlags) {
#if defined(SEARCHKEY_FAULT_INJECTION)
    // The one failure that changes names: the old file is already under the
    // backup name, as the documentation says of it.
    const int e = InjectedFault(dwFlags != 0 ? IoOp::kReplaceIgnoringAcl : IoOp::kReplace);
    if (e == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
        (void)MoveFileExW(pszInput, pszBackup, MOVEFILE_REPLACE_EXISTING);
    if (e != 0) {
        SetLastError(static_cast<DWORD>(e));
        return FALSE;
    }
#endif
    return ReplaceFileW(pszInput, pszWork, pszBackup, dwFlags, nullptr, nullptr);
}

// Whether pszPath names the input: 0 and the answer, or the error (and
// *pbInput untouched).
SysError IsTheInput(const wchar_t* pszPath, const FileInfo& info, bool* pbInput) {
    const HANDLE h =
        Faulted(IoOp::kQuery)
            ? INVALID_HANDLE_VALUE
            : CreateFileW(pszPath, FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                          nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const SysError e = LastError();
        if (e != ERROR_FILE_NOT_FOUND)
            return e;  // *pbInput stays as the caller supposed
        *pbInput = false;
        return 0;
    }
    BY_HANDLE_FILE_INFORMATION bhfi;
    const SysError e = Identify(h, &bhfi);
    (void)CloseHandle(h);  // opened for attributes only: nothing to lose
    if (e == 0)
        *pbInput = SameFile(bhfi, info);
    return e;
}

BOOL Remove(const wchar_t* pszPath) {
    return Retried([&] {
        return !Faulted(IoOp::kRemove) &&
               (DeleteFileW(pszPath) || GetLastError() == ERROR_FILE_NOT_FOUND);
    });
}

bool SameDacl(PSECURITY_DESCRIPTOR pSd1, PACL pDacl1, PSECURITY_DESCRIPTOR pSd2, PACL pDacl2) {
    const SECURITY_DESCRIPTOR_CONTROL kKept = SE_DACL_PRESENT | SE_DACL_PROTECTED;
    SECURITY_DESCRIPTOR_CONTROL control1 = 0;
    SECURITY_DESCRIPTOR_CONTROL control2 = 0;
    DWORD dwRevision = 0;
    if (!GetSecurityDescriptorControl(pSd1, &control1, &dwRevision) ||
        !GetSecurityDescriptorControl(pSd2, &control2, &dwRevision))
        return false;  // cannot tell: setting it again does no harm
    if ((control1 & kKept) != (control2 & kKept) || (pDacl1 == nullptr) != (pDacl2 == nullptr))
        return false;
    return pDacl1 == nullptr || (pDacl1->AclSize == pDacl2->AclSize &&
                                 std::memcmp(pDacl1, pDacl2, pDacl1->AclSize) == 0);
}

// Gives the file now under the input's name the DACL, and the protection
// from inheritance, of the old file, still open as hOld, where the
// replacement changed them (the work file was created protected). Without
// that protection the folder's inheritable entries are merged in again.
SysError RestoreDacl(HANDLE hOld, wchar_t* pszInput) {
    PACL pOldDacl = nullptr;
    PACL pNewDacl = nullptr;
    PSECURITY_DESCRIPTOR pOldSd = nullptr;
    PSECURITY_DESCRIPTOR pNewSd = nullptr;
    DWORD e = Faulted(IoOp::kSecurity)
                  ? GetLastError()
                  : GetSecurityInfo(hOld, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &pOldDacl, nullptr, &pOldSd);
    if (e == ERROR_SUCCESS)
        e = Faulted(IoOp::kSecurity)
                ? GetLastError()
                : GetNamedSecurityInfoW(pszInput, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, &pNewDacl, nullptr, &pNewSd);
    if (e == ERROR_SUCCESS && !SameDacl(pOldSd, pOldDacl, pNewSd, pNewDacl)) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD dwRevision = 0;
        (void)GetSecurityDescriptorControl(pOldSd, &control, &dwRevision);  // read above
        const SECURITY_INFORMATION si =
            DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
        e = Faulted(IoOp::kSecurity) ? GetLastError()
                                     : SetNamedSecurityInfoW(pszInput, SE_FILE_OBJECT, si, nullptr,
                                                             nullptr, pOldDacl, nullptr);
    }
    if (pOldSd != nullptr)
        LocalFree(pOldSd);
    if (pNewSd != nullptr)
        LocalFree(pNewSd);
    return static_cast<SysError>(e);
}

}  // namespace

SysError ReplaceInput(const Folder& folder, const FileInfo& info, FileHandle* pInput,
                      Replaced* pResult) {
    const FolderPath work(folder, kWorkName);
    const FolderPath backup(folder, kBackupName);
    FolderPath input(folder, folder.m_wszInput + folder.m_cchPrefix);

    // ReplaceFile moves the old file to the backup name and overwrites
    // whatever is there: the name is taken first, so that it is ours.
    HANDLE hBackup = INVALID_HANDLE_VALUE;
    if (!Retried([&] {
            hBackup = Faulted(IoOp::kCreate)
                          ? INVALID_HANDLE_VALUE
                          : CreateFileW(backup.Get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
            return hBackup != INVALID_HANDLE_VALUE;
        })) {
        const SysError e = LastError();
        pResult->bBackupTaken = IsExistsError(e);
        return e;
    }
    (void)CloseHandle(hBackup);  // empty, and written over by ReplaceFile

    // ReplaceFile keeps the old file's creation time, short name, object id,
    // DACL, encryption, compression and named streams on the new one. With
    // both names kept after ERROR_UNABLE_TO_REMOVE_REPLACED and
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT (a backup name is given), it is
    // tried again like any step another program holds up. To merge the old
    // DACL it opens the new file with WRITE_DAC, which a share may not grant:
    // the work file already has that DACL, so its errors may be ignored.
    DWORD dwFlags = 0;
    if (!Retried([&] { return Replace(input.Get(), work.Get(), backup.Get(), dwFlags); },
                 [&](DWORD e) {
                     if (e == ERROR_ACCESS_DENIED && info.bSecurity)
                         dwFlags = REPLACEFILE_IGNORE_ACL_ERRORS;
                     return HeldByAnother(e) || e == ERROR_UNABLE_TO_REMOVE_REPLACED ||
                            e == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
                 })) {
        const SysError e = LastError();
        // After ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 the old file is under the
        // backup name, after every other error only the empty reservation
        // is, says the documentation. Which file it is decides: the old text
        // goes back to its name, the reservation is removed.
        bool bOld = e == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2;
        if (IsTheInput(backup.Get(), info, &bOld) != 0) {
            // Cannot tell: whatever it is stays, and is reported.
            pResult->bStranded = bOld;
            pResult->bBackupLeft = !bOld;
        } else if (bOld) {
            pResult->bStranded = !Retried([&] {
                return !Faulted(IoOp::kMove) &&
                       MoveFileExW(backup.Get(), input.Get(), MOVEFILE_WRITE_THROUGH);
            });
        } else {
            pResult->bBackupLeft = !Remove(backup.Get());
        }
        return e;
    }

    // The old file is now under the backup name and still open here: it is
    // deleted when this handle closes.
    if (!Remove(backup.Get())) {
        pResult->after = After::kRemoveBackup;
        pResult->eAfter = LastError();
    }
    if (info.bSecurity)
        if (SysError e = RestoreDacl(H(*pInput), input.Get()))
            if (pResult->after == After::kNone) {
                pResult->after = After::kRestoreSecurity;
                pResult->eAfter = e;
            }
    (void)CloseFile(pInput);  // read only: closing it loses nothing
    if (pResult->after == After::kNone) {
        // ReplaceFile may carry the old attributes over, without the archive bit.
        const DWORD dwAttr =
            Faulted(IoOp::kAccess) ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(input.Get());
        if (dwAttr == INVALID_FILE_ATTRIBUTES ||
            ((dwAttr & FILE_ATTRIBUTE_ARCHIVE) == 0 &&
             (Faulted(IoOp::kAccess) ||
              !SetFileAttributesW(input.Get(), dwAttr | FILE_ATTRIBUTE_ARCHIVE)))) {
            pResult->after = After::kMarkChanged;
            pResult->eAfter = LastError();
        }
    }
    return 0;
}

SysError RemoveWork(const Folder& folder) {
    const FolderPath work(folder, kWorkName);
    return Remove(work.Get()) ? 0 : LastError();
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

void AdviseDone(const FileHandle&, uint64_t, uint64_t) {
    // The cache manager keeps what it finds worth keeping; no call asks it.
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

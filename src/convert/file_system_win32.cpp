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
bool Faulted(IoOp op, IoFile file = IoFile::kOther) {
    const int e = InjectedFault(op, file);
    if (e != 0)
        SetLastError(static_cast<DWORD>(e));
    return e != 0;
}

// A cloud file's "always keep on this device" and "free up space": the
// user's choice, kept (Windows 10 1709 and later; older headers lack them).
const DWORD kAttributePinned = 0x00080000;
const DWORD kAttributeUnpinned = 0x00100000;

// The attributes a file may be given by SetFileAttributes, less read-only
// (a read-only input is never converted) and the transient ones.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                              kAttributePinned | kAttributeUnpinned;

// ReadFile and WriteFile move at most this many bytes per call.
const size_t kMaxIo = 1u << 30;

DWORD IoSize(size_t cb) {
    return static_cast<DWORD>(cb < kMaxIo ? cb : kMaxIo);
}

// ---- waiting for other programs ----

// Programs that open each new or changed file for a moment (the search
// indexer, virus scanners, sync clients) make a step fail while they hold
// the file: the step is tried again, the first waits short, then every
// 100 ms, so that the end of a hold is seen soon. All waits of one pass
// together stay under 5 s: the window handles no messages meanwhile, and
// Windows calls a window that has not for 5 s "not responding".
const DWORD kFirstWaits[] = {10, 20, 40, 80};
const DWORD kLongestWait = 100;
const unsigned long kPassWaitMs = 4900;
// Opening the input: another program that holds it longer than a scanner
// does (a workbook open in Excel) will not let go soon.
const unsigned long kOpenWaitMs = 2000;

// Sharing and lock violations: another program has the file open.
bool HeldByAnother(DWORD e) {
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION;
}

// "Access denied" from a step that this user has the rights for (the pass
// asked for them when it opened the input): a name whose delete is
// pending, or a file that a rename must go over while another program
// holds it open.
bool HeldOrPending(DWORD e) {
    return HeldByAnother(e) || e == ERROR_ACCESS_DENIED;
}

// Waits before the try after iTry failed ones: false when the pass's time
// for waiting (at most ulLimitMs of it) is spent.
bool WaitForAnother(const Folder& folder, int iTry, unsigned long ulLimitMs) {
    const unsigned long ulLimit = ulLimitMs < kPassWaitMs ? ulLimitMs : kPassWaitMs;
    if (folder.m_ulWaitedMs >= ulLimit)
        return false;
    const int cFirst = sizeof kFirstWaits / sizeof kFirstWaits[0];
    DWORD dwMs = iTry < cFirst ? kFirstWaits[iTry] : kLongestWait;
    if (dwMs > ulLimit - folder.m_ulWaitedMs)
        dwMs = static_cast<DWORD>(ulLimit - folder.m_ulWaitedMs);
    folder.m_ulWaitedMs += dwMs;
#if defined(SEARCHKEY_FAULT_INJECTION)
    InjectedWait(dwMs);  // a test's volume keeps its own time
#else
    Sleep(dwMs);
#endif
    return true;
}

// Makes pfnTry until it succeeds (TRUE), fails for a reason pfnRetry says
// waiting does not cure, or the waits are spent; the last error is kept.
template <typename Try, typename Retry>
BOOL Retried(const Folder& folder, Try pfnTry, Retry pfnRetry,
             unsigned long ulLimitMs = kPassWaitMs) {
    for (int iTry = 0;; ++iTry) {
        if (pfnTry())
            return TRUE;
        const DWORD e = GetLastError();
        if (!pfnRetry(e) || !WaitForAnother(folder, iTry, ulLimitMs)) {
            SetLastError(e);
            return FALSE;
        }
    }
}

template <typename Try>
BOOL Retried(const Folder& folder, Try pfnTry) {
    return Retried(folder, pfnTry, HeldOrPending);
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

namespace {

// Opens the input for reading, and for deleting: the replacement needs
// that right, and holding it keeps out every program that does not share
// delete (the indexer, a virus scanner), so that none of them can hold the
// old file, or later its backup name, while the pass needs it. Readers may
// share it, writers may not: the text must not change under the pass.
// Sharing delete lets ReplaceFile move it aside meanwhile.
HANDLE OpenForPass(const wchar_t* pszPath, DWORD dwAccess, DWORD dwFlags) {
    return Faulted(IoOp::kOpen, IoFile::kInput)
               ? INVALID_HANDLE_VALUE
               : CreateFileW(pszPath, dwAccess, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | dwFlags, nullptr);
}

}  // namespace

SysError OpenInput(const Folder& folder, FileHandle* pFile, bool* pbNoDelete) {
    // Backup semantics let a folder open, so that it is refused as a folder
    // rather than with "access denied"; a link or junction is opened itself,
    // not followed, so that it is refused as one.
    const DWORD dwFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    *pbNoDelete = false;
    HANDLE h = INVALID_HANDLE_VALUE;
    // A read-only file or a folder is refused once looked at: it is not
    // asked for the delete right, whose answer would not change that.
    const DWORD dwAttr = GetFileAttributesW(folder.m_wszInput);
    DWORD dwAccess = GENERIC_READ | DELETE;
    if (dwAttr != INVALID_FILE_ATTRIBUTES &&
        (dwAttr & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        dwAccess = GENERIC_READ;
    const auto open = [&] {
        h = OpenForPass(folder.m_wszInput, dwAccess, dwFlags);
        return h != INVALID_HANDLE_VALUE;
    };
    if (!Retried(folder, open, HeldByAnother, kOpenWaitMs)) {
        // Denied the delete right (not the file's nor the folder's entries
        // allow it, or a protected folder), which no waiting brings: told
        // once the file has been looked at, as it may be no file at all.
        if (GetLastError() != ERROR_ACCESS_DENIED || dwAccess == GENERIC_READ)
            return LastError();
        dwAccess = GENERIC_READ;
        if (!Retried(folder, open, HeldByAnother, kOpenWaitMs))
            return LastError();
        *pbNoDelete = true;
    }
    pFile->Reset(reinterpret_cast<intptr_t>(h));
    return 0;
}

namespace {

int64_t Time(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

uint64_t Index(const BY_HANDLE_FILE_INFORMATION& bhfi) {
    return (static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
}

// The file id of h, compared only ever with another id read now, never
// with one read before a rename: on FAT it is the position of the file's
// directory entry, which a rename moves. The whole 128-bit id where the
// system has the query (Windows 8 and later), as the 64-bit index of ReFS
// is not unique; else, or where the volume does not answer it (FAT), the
// 64-bit index. WebDAV drives and some network volumes answer 0: unknown.
SysError IdOf(HANDLE h, IoFile file, FileIdentity* pId, bool bSeam = true) {
    FileFacts facts = {};
    FILE_ID_INFO fid;
    if (!(bSeam && Faulted(IoOp::kFileId, file)) &&
        GetFileInformationByHandleEx(h, FileIdInfo, &fid, sizeof fid)) {
        std::memcpy(&facts.ullIdLow, fid.FileId.Identifier, 8);
        std::memcpy(&facts.ullIdHigh, fid.FileId.Identifier + 8, 8);
        facts.ullVolume = fid.VolumeSerialNumber;
        facts.b128 = true;
    } else {
        const DWORD e = GetLastError();
        if (e != ERROR_INVALID_PARAMETER && e != ERROR_NOT_SUPPORTED && e != ERROR_INVALID_FUNCTION)
            return LastError();  // not "no such query here"
        BY_HANDLE_FILE_INFORMATION bhfi;
        if ((bSeam && Faulted(IoOp::kQuery, file)) || !GetFileInformationByHandle(h, &bhfi))
            return LastError();
        facts.ullVolume = bhfi.dwVolumeSerialNumber;
        facts.ullIdLow = Index(bhfi);
    }
    if (bSeam)
        InjectedFacts(IoOp::kFileId, file, &facts);
    pId->ullVolume = facts.ullVolume;
    pId->ullFile = facts.ullIdLow;
    pId->ullFileHigh = facts.ullIdHigh;
    return 0;
}

// The name the volume gives the file open as h now, from its root.
SysError NameOf(HANDLE h, IoFile file, wchar_t* pwsz, size_t cchRoom) {
    union {
        FILE_NAME_INFO info;
        char room[sizeof(FILE_NAME_INFO) + Folder::kWideRoom * sizeof(wchar_t)];
    } name;
    if (Faulted(IoOp::kName, file) ||
        !GetFileInformationByHandleEx(h, FileNameInfo, &name, sizeof name))
        return LastError();
    const size_t cch = name.info.FileNameLength / sizeof(wchar_t);
    if (cch >= cchRoom)
        return ERROR_FILENAME_EXCED_RANGE;
    std::wmemcpy(pwsz, name.info.FileName, cch);
    pwsz[cch] = L'\0';
    InjectedName(reinterpret_cast<intptr_t>(h), pwsz, static_cast<unsigned long>(cchRoom));
    return 0;
}

// Known, and the same file, of two files in the input's folder: on one
// volume, whatever serial number either shows (Wine shows 0 for a file
// that another handle renamed).
bool SameFileHere(const FileIdentity& a, const FileIdentity& b) {
    return IsKnown(a) && a.ullFile == b.ullFile && a.ullFileHigh == b.ullFileHigh;
}

// Opens a name only to ask which file it is: no data access and every
// sharing mode, so that no other program's hold gets in the way.
HANDLE OpenToAsk(const wchar_t* pszPath, IoFile file) {
    return Faulted(IoOp::kQuery, file)
               ? INVALID_HANDLE_VALUE
               : CreateFileW(pszPath, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether the file held open as hHeld is the one now at pszPath: by the
// ids of both where the volume gives known ones, else by the name the
// volume gives the held file, which follows it wherever it is moved. An
// error: it cannot be told, and nothing may be done on the strength of it.
SysError HeldFileIsAt(HANDLE hHeld, IoFile held, const wchar_t* pszPath, IoFile named, bool* pbAt) {
    const HANDLE h = OpenToAsk(pszPath, named);
    if (h == INVALID_HANDLE_VALUE) {
        const SysError e = LastError();
        if (e != ERROR_FILE_NOT_FOUND)
            return e;
        *pbAt = false;  // nothing there
        return 0;
    }
    FileIdentity idHeld = {};
    FileIdentity idNamed = {};
    SysError e = IdOf(hHeld, held, &idHeld);
    if (e == 0)
        e = IdOf(h, named, &idNamed);
    if (e == 0 && IsKnown(idHeld) && IsKnown(idNamed)) {
        *pbAt = SameFileHere(idHeld, idNamed);
    } else if (e == 0) {
        wchar_t wszHeld[Folder::kWideRoom];
        wchar_t wszNamed[Folder::kWideRoom];
        e = NameOf(hHeld, held, wszHeld, Folder::kWideRoom);
        if (e == 0)
            e = NameOf(h, named, wszNamed, Folder::kWideRoom);
        if (e == 0)
            *pbAt = CompareStringOrdinal(wszHeld, -1, wszNamed, -1, TRUE) == CSTR_EQUAL;
    }
    (void)CloseHandle(h);  // opened for attributes only: nothing to lose
    return e;
}

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
    const DWORD dwType =
        Faulted(IoOp::kQuery, IoFile::kInput) ? FILE_TYPE_UNKNOWN : GetFileType(H(file));
    if (dwType == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    std::memset(&bhfi, 0, sizeof bhfi);
    FileFacts facts = {};
    bool bElsewhere = false;
    if (dwType == FILE_TYPE_DISK) {
        if (Faulted(IoOp::kQuery, IoFile::kInput) || !GetFileInformationByHandle(H(file), &bhfi))
            return LastError();
        facts.ulAttributes = bhfi.dwFileAttributes;
        // Whether the volume keeps security at all (FAT on a memory stick does not).
        DWORD dwVolumeFlags = 0;
        if (Faulted(IoOp::kQuery, IoFile::kInput) ||
            !GetVolumeInformationByHandleW(H(file), nullptr, 0, nullptr, nullptr, &dwVolumeFlags,
                                           nullptr, 0))
            return LastError();
        facts.ulVolumeFlags = dwVolumeFlags;
        if (UnderWine())
            if (SysError e = LeadsElsewhere(folder, H(file), &bElsewhere))
                return e;
    }
    InjectedFacts(IoOp::kQuery, IoFile::kInput, &facts);
    // Only a reparse point has a tag to ask for: FAT and exFAT, which have
    // none, do not answer the question at all.
    if ((facts.ulAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        FILE_ATTRIBUTE_TAG_INFO tag = {};
        if (Faulted(IoOp::kTag, IoFile::kInput) ||
            !GetFileInformationByHandleEx(H(file), FileAttributeTagInfo, &tag, sizeof tag))
            return LastError();
        facts.ulReparseTag = tag.ReparseTag;
        InjectedFacts(IoOp::kTag, IoFile::kInput, &facts);
    }
    const DWORD dwAttr = facts.ulAttributes;
    const DWORD dwTag = (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? facts.ulReparseTag : 0;
    // Only a name surrogate (symbolic link, junction, mount point) names
    // another file; every other reparse point holds this file's own text
    // elsewhere, as a cloud file or a deduplicated one does.
    pInfo->bDirectory = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pInfo->bLink = (dwTag != 0 && IsReparseTagNameSurrogate(dwTag)) || bElsewhere;
    pInfo->bPlaceholder = dwTag != 0 && !pInfo->bLink;
    pInfo->bCloud = pInfo->bPlaceholder && IsCloudTag(dwTag);
    pInfo->bSecurity = (facts.ulVolumeFlags & FILE_PERSISTENT_ACLS) != 0;
    pInfo->bRegular = dwType == FILE_TYPE_DISK && !pInfo->bLink &&
                      (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    pInfo->bReadOnly = (dwAttr & FILE_ATTRIBUTE_READONLY) != 0;
    pInfo->bNoDelete = false;  // told by the open
    pInfo->nLinks = bhfi.nNumberOfLinks;
    pInfo->ulAccess = dwAttr & kKeptAttributes;
    pInfo->ulOwner = 0;
    pInfo->ulGroup = 0;
    pInfo->ullVolume = bhfi.dwVolumeSerialNumber;
    pInfo->ullIndex = Index(bhfi);
    pInfo->ullSize = (static_cast<uint64_t>(bhfi.nFileSizeHigh) << 32) | bhfi.nFileSizeLow;
    pInfo->llWritten = Time(bhfi.ftLastWriteTime);
    pInfo->llChanged = pInfo->llWritten;
    pInfo->llCreated = Time(bhfi.ftCreationTime);
    return 0;
}

SysError RecallInput(const Folder& folder, const FileInfo&, FileHandle* pFile) {
    // Opened without FILE_FLAG_OPEN_REPARSE_POINT, the reparse point's own
    // driver (the cloud provider's, deduplication's) serves the text, and
    // downloads it first where it must. The same rights as the first open.
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!Retried(
            folder,
            [&] {
                h = OpenForPass(folder.m_wszInput, GENERIC_READ | DELETE, 0);
                return h != INVALID_HANDLE_VALUE;
            },
            HeldByAnother, kOpenWaitMs))
        return LastError();
    // The name may have been given to another file between the two opens:
    // only the same known id makes it the file that was looked at.
    FileIdentity idFirst = {};
    FileIdentity idRecalled = {};
    SysError e = IdOf(H(*pFile), IoFile::kInput, &idFirst);
    if (e == 0)
        e = IdOf(h, IoFile::kInput, &idRecalled);
    if (e == 0 && !SameFileHere(idFirst, idRecalled))
        e = ERROR_FILE_INVALID;
    if (e != 0) {
        (void)CloseHandle(h);  // read only: nothing to lose
        return e;
    }
    (void)CloseHandle(H(*pFile));  // the same file, still held by the new handle
    pFile->Reset(reinterpret_cast<intptr_t>(h));
    return 0;
}

namespace {

// The input's DACL and integrity label, for the files the pass creates
// beside it, so that none of them is ever more open than the input, not
// even for a moment, and each needs no rights that a later change of its
// security would. The DACL is protected from inheritance whatever the
// input's is: a DACL given at creation is otherwise merged with the
// folder's inheritable entries, which may let in more than the input does
// (a file moved in from another folder keeps its own). ReplaceInput sets
// the input's protection back.
class InputSecurity {
public:
    InputSecurity() : m_pInputSd(nullptr), m_sa{sizeof m_sa, nullptr, FALSE}, m_bOwner(false) {}
    ~InputSecurity() {
        if (m_pInputSd != nullptr)
            LocalFree(m_pInputSd);
    }
    InputSecurity(const InputSecurity&) = delete;
    InputSecurity& operator=(const InputSecurity&) = delete;

    // GetSecurityInfo documents only a Win32 error code as its failure.
    SysError Read(HANDLE hInput, const FileInfo& info) {
        if (!info.bSecurity)
            return 0;  // no security on this volume: the files get none
        PSID pOwner = nullptr;
        PACL pDacl = nullptr;
        PACL pSacl = nullptr;
        const DWORD dwGot =
            Faulted(IoOp::kSecurity)
                ? GetLastError()
                : GetSecurityInfo(hInput, SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                      LABEL_SECURITY_INFORMATION,
                                  &pOwner, nullptr, &pDacl, &pSacl, &m_pInputSd);
        if (dwGot != ERROR_SUCCESS)
            return static_cast<SysError>(dwGot);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD dwRevision = 0;
        // The label is the SACL's only entry here; an empty SACL is left out,
        // as setting one at all would need the auditing privilege.
        if (Faulted(IoOp::kSecurity) ||
            !GetSecurityDescriptorControl(m_pInputSd, &control, &dwRevision) ||
            !InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorOwner(&m_sd, pOwner, FALSE) ||
            !SetSecurityDescriptorDacl(&m_sd, (control & SE_DACL_PRESENT) != 0, pDacl, FALSE) ||
            !SetSecurityDescriptorSacl(&m_sd, pSacl != nullptr && pSacl->AceCount != 0, pSacl,
                                       FALSE) ||
            !SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return LastError();
        m_sa.lpSecurityDescriptor = &m_sd;
        m_bOwner = true;
        return 0;
    }

    // Creates pszPath as a new file with this security, held open for
    // writing and deleting, and no sharing: no other program can hold it
    // until the pass lets go of it. Its id goes to *pId.
    SysError CreateNew(const Folder& folder, const wchar_t* pszPath, IoFile file, FileHandle* pFile,
                       FileIdentity* pId) {
        HANDLE h = INVALID_HANDLE_VALUE;
        // Read and write: across a network, write access alone may fail now
        // and then with "access denied". A name whose delete is pending
        // answers "access denied" until it is gone; where the name is free,
        // that answer is the folder's lasting one (no right to create here,
        // a protected folder), and waiting is no use.
        if (!Retried(
                folder,
                [&] {
                    h = Faulted(IoOp::kCreate, file)
                            ? INVALID_HANDLE_VALUE
                            : CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, &m_sa,
                                          CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                                          nullptr);
                    return h != INVALID_HANDLE_VALUE;
                },
                [&](DWORD e) {
                    // Only an administrator may hand a file to another owner:
                    // the file then belongs to the user who converts it, as
                    // after any save.
                    if (e == ERROR_INVALID_OWNER && m_bOwner) {
                        m_bOwner = false;
                        return SetSecurityDescriptorOwner(&m_sd, nullptr, FALSE) != FALSE;
                    }
                    if (e == ERROR_ACCESS_DENIED)
                        return GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES ||
                               (GetLastError() != ERROR_FILE_NOT_FOUND &&
                                GetLastError() != ERROR_PATH_NOT_FOUND);
                    return HeldByAnother(e);
                }))
            return LastError();
        pFile->Reset(reinterpret_cast<intptr_t>(h));
        // Made by this pass: what a later look at the name compares with.
        return IdOf(h, file, pId);
    }

private:
    PSECURITY_DESCRIPTOR m_pInputSd;  // the input's, which m_sd points into
    SECURITY_DESCRIPTOR m_sd;
    SECURITY_ATTRIBUTES m_sa;
    bool m_bOwner;  // m_sd names the input's owner
};

// A new file of the pass's own beside the input, with its security.
SysError CreateOwn(const Folder& folder, const FileHandle& input, const FileInfo& info,
                   const wchar_t* pszName, IoFile file, FileHandle* pFile, FileIdentity* pId) {
    InputSecurity security;
    if (SysError e = security.Read(H(input), info))
        return e;
    const FolderPath path(folder, pszName);
    return security.CreateNew(folder, path.Get(), file, pFile, pId);
}

}  // namespace

SysError CreateWork(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                    FileHandle* pFile) {
    return CreateOwn(*pFolder, input, info, kWorkName, IoFile::kWork, pFile, &pFolder->m_work);
}

SysError ReserveBackup(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                       FileHandle* pFile) {
    // ReplaceFile moves the old file to the backup name and overwrites
    // whatever is there: the name is taken first, so that it is ours. With
    // the input's security, so that this user may remove it as the input.
    return CreateOwn(*pFolder, input, info, kBackupName, IoFile::kBackup, pFile,
                     &pFolder->m_reserved);
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

namespace {

// The attributes SetFileInformationByHandle sets, and so compares.
const DWORD kSetAttributes =
    kKeptAttributes | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

// Whether the work file already shows the attributes dwWanted.
SysError HoldsAttributes(HANDLE hWork, DWORD dwWanted, bool* pbHolds) {
    FILE_BASIC_INFO basic;
    if (Faulted(IoOp::kQuery, IoFile::kWork) ||
        !GetFileInformationByHandleEx(hWork, FileBasicInfo, &basic, sizeof basic))
        return LastError();
    *pbHolds = (basic.FileAttributes & kSetAttributes) == dwWanted;
    return 0;
}

// What a volume answers for attributes it cannot set: Wine on FAT through
// FUSE answers ERROR_GEN_FAILURE, even for those the file already has.
bool IsUnsupported(SysError e) {
    return e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION ||
           e == ERROR_INVALID_PARAMETER || e == ERROR_GEN_FAILURE;
}

}  // namespace

SysError CopyAccess(const FileHandle&, const FileHandle& work, const FileInfo& info) {
    // The input's attributes, with the archive bit that tells backup
    // programs the text has changed, through the work file's own handle: its
    // name is only ours by convention. The creation time is left to
    // ReplaceFile, which keeps the old file's. Nothing is set where the work
    // file has them already, as a volume that cannot set them may refuse even
    // that; "not supported" loses nothing when the work file, read back, has
    // them anyway. Any other failure, and that one otherwise, is the pass's.
    FileFacts given = {};
    given.ulAttributes = static_cast<DWORD>(info.ulAccess) | FILE_ATTRIBUTE_ARCHIVE;
    InjectedFacts(IoOp::kAccess, IoFile::kWork, &given);
    const DWORD dwWanted = given.ulAttributes;
    bool bHolds = false;
    if (SysError e = HoldsAttributes(H(work), dwWanted, &bHolds))
        return e;
    if (bHolds)
        return 0;
    FILE_BASIC_INFO basic;
    std::memset(&basic, 0, sizeof basic);  // times of 0: left as they are
    basic.FileAttributes = dwWanted;
    if (!Faulted(IoOp::kAccess, IoFile::kWork) &&
        SetFileInformationByHandle(H(work), FileBasicInfo, &basic, sizeof basic))
        return 0;
    const SysError e = LastError();
    return IsUnsupported(e) && HoldsAttributes(H(work), dwWanted, &bHolds) == 0 && bHolds ? 0 : e;
}

SysError StillTheInput(const Folder& folder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame) {
    // This pass keeps writers out of the input, but its name may have been
    // given to another file meanwhile (moving a file needs no write access).
    *pbSame = false;
    bool bAt = false;
    if (SysError e =
            HeldFileIsAt(H(input), IoFile::kInput, folder.m_wszInput, IoFile::kInput, &bAt))
        return e;
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (Faulted(IoOp::kQuery, IoFile::kInput) || !GetFileInformationByHandle(H(input), &bhfi))
        return LastError();
    *pbSame =
        bAt &&
        ((static_cast<uint64_t>(bhfi.nFileSizeHigh) << 32) | bhfi.nFileSizeLow) == info.ullSize &&
        Time(bhfi.ftLastWriteTime) == info.llWritten;
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

// Removes a name; one already gone counts as removed.
BOOL Remove(const Folder& folder, const wchar_t* pszPath, IoFile file) {
    return Retried(folder, [&] {
        return !Faulted(IoOp::kRemove, file) &&
               (DeleteFileW(pszPath) || GetLastError() == ERROR_FILE_NOT_FOUND);
    });
}

// Gives pszTo the file under pszFrom, which the pass has proven is the one
// that belongs there; the file now under pszTo, the pass's own, goes.
BOOL MoveBack(const Folder& folder, const wchar_t* pszFrom, const wchar_t* pszTo, DWORD dwFlags) {
    return Retried(folder, [&] {
        return !Faulted(IoOp::kMove, IoFile::kBackup) &&
               MoveFileExW(pszFrom, pszTo, MOVEFILE_WRITE_THROUGH | dwFlags);
    });
}

// Opens a file and marks it to be deleted when the handle closes: the
// system then removes exactly the file the pass holds, wherever its name.
SysError DeleteHeld(HANDLE h, IoFile file) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return !Faulted(IoOp::kRemove, file) &&
                   SetFileInformationByHandle(h, FileDispositionInfo, &disposition,
                                              sizeof disposition)
               ? 0
               : LastError();
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

// Sets the old DACL, and its protection from inheritance, on the file open
// as hNew as they were: stored as given, not recomputed from the folder as
// SetSecurityInfo and SetNamedSecurityInfo would, which could merge in
// today's inheritable entries of the folder.
SysError SetDaclAsItWas(HANDLE hNew, PSECURITY_DESCRIPTOR pOldSd, PACL pOldDacl) {
    const SECURITY_DESCRIPTOR_CONTROL kInheritance = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD dwRevision = 0;
    SECURITY_DESCRIPTOR sd;
    return !Faulted(IoOp::kSecurity, IoFile::kInput) &&
                   GetSecurityDescriptorControl(pOldSd, &control, &dwRevision) &&
                   InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
                   SetSecurityDescriptorDacl(&sd, (control & SE_DACL_PRESENT) != 0, pOldDacl,
                                             FALSE) &&
                   SetSecurityDescriptorControl(&sd, kInheritance, control & kInheritance) &&
                   SetKernelObjectSecurity(hNew, DACL_SECURITY_INFORMATION, &sd)
               ? 0
               : LastError();
}

// Gives the file now under the input's name the DACL and protection of the
// old file, still open as hOld, where the replacement changed them (the
// work file was created protected), through a handle proven to be the
// converted file. Where the volume does not let this user change a DACL
// (a share without WRITE_DAC), the file keeps what the work file was given:
// the old entries, protected from inheritance.
SysError RestoreDacl(const Folder& folder, HANDLE hOld) {
    HANDLE hNew = INVALID_HANDLE_VALUE;
    bool bWriteDac = true;
    const DWORD adwAccess[] = {READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                               READ_CONTROL | FILE_READ_ATTRIBUTES};
    for (DWORD dwAccess : adwAccess) {
        hNew =
            Faulted(IoOp::kSecurity, IoFile::kInput)
                ? INVALID_HANDLE_VALUE
                : CreateFileW(folder.m_wszInput, dwAccess,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (hNew != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            break;
        bWriteDac = false;
    }
    if (hNew == INVALID_HANDLE_VALUE)
        return LastError();
    FileIdentity idNew = {};
    PACL pOldDacl = nullptr;
    PACL pNewDacl = nullptr;
    PSECURITY_DESCRIPTOR pOldSd = nullptr;
    PSECURITY_DESCRIPTOR pNewSd = nullptr;
    DWORD e = Faulted(IoOp::kSecurity, IoFile::kInput)
                  ? GetLastError()
                  : GetSecurityInfo(hOld, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &pOldDacl, nullptr, &pOldSd);
    if (e == ERROR_SUCCESS)
        e = Faulted(IoOp::kSecurity, IoFile::kInput)
                ? GetLastError()
                : GetSecurityInfo(hNew, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  &pNewDacl, nullptr, &pNewSd);
    if (e == ERROR_SUCCESS && !SameDacl(pOldSd, pOldDacl, pNewSd, pNewDacl)) {
        // The work file keeps its id through the replacement.
        e = static_cast<DWORD>(IdOf(hNew, IoFile::kInput, &idNew));
        if (e == ERROR_SUCCESS && !SameFileHere(idNew, folder.m_work))
            e = ERROR_FILE_INVALID;  // not proven the converted file: left alone
        else if (e == ERROR_SUCCESS && !bWriteDac)
            e = ERROR_ACCESS_DENIED;
        else if (e == ERROR_SUCCESS)
            e = static_cast<DWORD>(SetDaclAsItWas(hNew, pOldSd, pOldDacl));
    }
    if (pOldSd != nullptr)
        LocalFree(pOldSd);
    if (pNewSd != nullptr)
        LocalFree(pNewSd);
    (void)CloseHandle(hNew);  // no data access: nothing to lose
    return static_cast<SysError>(e);
}

// After a failed replacement: the old file goes back under its name where
// it was moved to the backup name, and the reservation, proven the pass's
// own, is removed. Whatever cannot be told stays, and is reported.
void PutBack(const Folder& folder, HANDLE hOld, const FolderPath& input, const FolderPath& backup,
             bool bMovedAside, Replaced* pResult) {
    bool bOld = false;
    if (HeldFileIsAt(hOld, IoFile::kInput, backup.Get(), IoFile::kBackup, &bOld) != 0) {
        // Cannot tell: whatever is there stays, and is reported as what
        // the replacement's error says it is.
        pResult->bStranded = bMovedAside;
        pResult->bBackupLeft = !bMovedAside;
        return;
    }
    if (bOld) {
        pResult->bStranded = !MoveBack(folder, backup.Get(), input.Get(), 0);
        return;
    }
    // The reservation, by the id it was made with (not renamed since);
    // where the volume gives no ids, only an empty file may go.
    const HANDLE h = OpenToAsk(backup.Get(), IoFile::kBackup);
    if (h == INVALID_HANDLE_VALUE) {
        pResult->bBackupLeft = GetLastError() != ERROR_FILE_NOT_FOUND;
        return;
    }
    FileIdentity id = {};
    BY_HANDLE_FILE_INFORMATION bhfi;
    bool bOurs =
        IdOf(h, IoFile::kBackup, &id) == 0 &&
        (IsKnown(id) ? SameFileHere(id, folder.m_reserved)
                     : !IsKnown(folder.m_reserved) && GetFileInformationByHandle(h, &bhfi) &&
                           bhfi.nFileSizeHigh == 0 && bhfi.nFileSizeLow == 0);
    (void)CloseHandle(h);  // opened for attributes only: nothing to lose
    pResult->bBackupLeft = !bOurs || !Remove(folder, backup.Get(), IoFile::kBackup);
}

// Takes the backup name again for one more replacement. A reservation made
// but not proven the pass's own is removed, or reported left.
SysError Reserve(Folder* pFolder, const FileHandle& input, const FileInfo& info, bool* pbLeft) {
    FileHandle reserved;
    const SysError e = ReserveBackup(pFolder, input, info, &reserved);
    if (reserved.IsOpen()) {
        if (e != 0)
            *pbLeft = DeleteHeld(H(reserved), IoFile::kBackup) != 0;
        (void)CloseFile(&reserved);  // empty, or being removed: nothing to lose
    }
    return e;
}

// Between two tries of the replacement the pass takes its own files again,
// with no sharing, where no other program holds them now: a scanner that
// waits for one of them then cannot take it meanwhile, only in the moment
// of the next try. Only ever a help: a file that cannot be taken, or not
// proven the pass's own, is simply not held.
class OwnFilesHeld {
public:
    OwnFilesHeld() : m_cHeld(0) {}
    ~OwnFilesHeld() { LetGo(); }
    OwnFilesHeld(const OwnFilesHeld&) = delete;
    OwnFilesHeld& operator=(const OwnFilesHeld&) = delete;

    void Take(const wchar_t* pszPath, const FileIdentity& id) {
        const HANDLE h =
            CreateFileW(pszPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        FileIdentity now = {};
        if (h != INVALID_HANDLE_VALUE && IdOf(h, IoFile::kOther, &now, false) == 0 &&
            SameFileHere(now, id))
            m_ah[m_cHeld++] = h;
        else if (h != INVALID_HANDLE_VALUE)
            (void)CloseHandle(h);  // read only: nothing to lose
    }
    void LetGo() {
        while (m_cHeld > 0)
            (void)CloseHandle(m_ah[--m_cHeld]);  // read only: nothing to lose
    }

private:
    HANDLE m_ah[2];
    int m_cHeld;
};

}  // namespace

SysError ReplaceInput(Folder* pFolder, const FileInfo& info, FileHandle* pInput,
                      FileHandle* pBackup, Replaced* pResult) {
    const Folder& folder = *pFolder;
    const FolderPath work(folder, kWorkName);
    const FolderPath backup(folder, kBackupName);
    FolderPath input(folder, folder.m_wszInput + folder.m_cchPrefix);
    // The reservation was held until now, so that no other program could
    // hold it when the replacement needs its name. Empty: closing it loses
    // nothing.
    (void)CloseHandle(reinterpret_cast<HANDLE>(pBackup->Release()));

    // ReplaceFile keeps the old file's creation time, short name, object id,
    // DACL, encryption, compression and named streams on the new one. It is
    // tried again while another program holds one of the three files, and
    // after the failures that keep both names (ERROR_UNABLE_TO_REMOVE_REPLACED,
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT with a backup name given). To merge
    // the old DACL it opens the new file with WRITE_DAC, which a share may
    // not grant: the work file already has that DACL, so its errors may be
    // ignored.
    DWORD dwFlags = 0;
    OwnFilesHeld held;
    for (int iTry = 0;; ++iTry) {
        held.LetGo();
        if (Replace(input.Get(), work.Get(), backup.Get(), dwFlags))
            break;
        const DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED && info.bSecurity)
            dwFlags = REPLACEFILE_IGNORE_ACL_ERRORS;
        if (e == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
            // The old file was moved to the backup name, over the
            // reservation: back under its name, the backup name taken
            // again, so that it stays ours, and all tried once more.
            PutBack(*pFolder, H(*pInput), input, backup, true, pResult);
            if (pResult->bStranded || pResult->bBackupLeft ||
                !WaitForAnother(*pFolder, iTry, kPassWaitMs))
                return static_cast<SysError>(e);
            if (SysError eReserve = Reserve(pFolder, *pInput, info, &pResult->bBackupLeft))
                return eReserve;
            continue;
        }
        if ((HeldOrPending(e) || e == ERROR_UNABLE_TO_REMOVE_REPLACED ||
             e == ERROR_UNABLE_TO_MOVE_REPLACEMENT) &&
            folder.m_ulWaitedMs < kPassWaitMs) {
            // Both names kept: the same files, a moment later.
            held.Take(work.Get(), folder.m_work);
            held.Take(backup.Get(), folder.m_reserved);
            if (WaitForAnother(*pFolder, iTry, kPassWaitMs))
                continue;
        }
        held.LetGo();
        // Both names kept, says the documentation, and the reservation
        // under the backup name; which file is there decides.
        PutBack(*pFolder, H(*pInput), input, backup, false, pResult);
        SetLastError(e);
        return LastError();
    }

    // The old file is now under the backup name, unless another program
    // gave the input's name to a file of its own at the last moment: then
    // that file is there, and goes back under its name. The old file is
    // still open here, with the delete right, which no scanner shares: no
    // other program can hold it now. Removed by name, it goes when this
    // handle closes.
    bool bOld = false;
    if (SysError e =
            HeldFileIsAt(H(*pInput), IoFile::kInput, backup.Get(), IoFile::kBackup, &bOld)) {
        pResult->after = After::kRemoveBackup;  // cannot tell: it stays
        pResult->eAfter = e;
    } else if (!bOld) {
        pResult->bChanged = true;
        pResult->bStranded =
            !MoveBack(folder, backup.Get(), input.Get(), MOVEFILE_REPLACE_EXISTING);
        (void)CloseFile(pInput);  // read only: closing it loses nothing
        return 0;
    } else if (!Remove(folder, backup.Get(), IoFile::kBackup)) {
        // workfile.bak stays, and is reported.
        pResult->after = After::kRemoveBackup;
        pResult->eAfter = LastError();
    }
    if (info.bSecurity)
        if (SysError e = RestoreDacl(folder, H(*pInput)))
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

void RemoveOwnFiles(const Folder& folder, FileHandle* pWork, FileHandle* pBackup, bool* pbWorkLeft,
                    bool* pbBackupLeft) {
    // Closed for the replacement, which then failed: the work file is the
    // name this pass created and nobody else may (a "workfile.txt" there
    // before is refused); the reservation was seen to by ReplaceInput.
    if (!pWork->IsOpen()) {
        const FolderPath work(folder, kWorkName);
        *pbWorkLeft = !Remove(folder, work.Get(), IoFile::kWork);
    }
    // Still open: the handle is the proof that the file is this pass's own.
    const struct {
        FileHandle* pFile;
        IoFile file;
        bool* pbLeft;
    } kOwn[] = {{pWork, IoFile::kWork, pbWorkLeft}, {pBackup, IoFile::kBackup, pbBackupLeft}};
    for (const auto& own : kOwn) {
        if (!own.pFile->IsOpen())
            continue;
        *own.pbLeft = DeleteHeld(H(*own.pFile), own.file) != 0;
        (void)CloseFile(own.pFile);  // being removed: nothing to keep
    }
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
    const SysError e = IdOf(h, IoFile::kOther, pId);
    (void)CloseHandle(h);  // opened for no access: nothing to lose on close
    return e;
}

}  // namespace fs
}  // namespace sk

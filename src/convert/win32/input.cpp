// The input on Windows: opened for reading and with the right to delete
// it, which the replacement needs; what kind of file it is; whether this
// user may write to it; its text brought back where it is kept elsewhere;
// and, right before the replacement, whether its name still names it.
#include "layer.h"

namespace sk {
namespace fs {

namespace {

// Readers may share the input, writers may not: the text must not change
// under the pass. Sharing delete lets ReplaceFile move it aside meanwhile.
Handle OpenForPass(const Folder& folder, DWORD dwAccess, DWORD dwFlags) {
    return Own(sys::CreateFileW(folder.m_wszInput, dwAccess, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | dwFlags));
}

// The same rights again, waiting out a moment's hold by another program.
SysError OpenHeldOut(Folder* pFolder, DWORD dwAccess, DWORD dwFlags, Handle* pFile) {
    const bool bOpen = Retried(
        pFolder,
        [&] {
            *pFile = OpenForPass(*pFolder, dwAccess, dwFlags);
            return pFile->IsOpen();
        },
        HeldByAnother, kOpenWaitMs);
    return bOpen ? 0 : LastError();
}

int64_t Time(const FILETIME& ft) {
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

uint64_t Size(const BY_HANDLE_FILE_INFORMATION& bhfi) {
    return (static_cast<uint64_t>(bhfi.nFileSizeHigh) << 32) | bhfi.nFileSizeLow;
}

// The reparse tags of cloud files: OneDrive and other sync clients' placeholders.
bool IsCloudTag(DWORD dwTag) {
    return (dwTag & ~static_cast<DWORD>(IO_REPARSE_TAG_CLOUD_MASK)) ==
               static_cast<DWORD>(IO_REPARSE_TAG_CLOUD) ||
           dwTag == static_cast<DWORD>(IO_REPARSE_TAG_ONEDRIVE);
}

// Whether the input's permissions grant this user write access, which
// ReplaceFile needs of the file it replaces. Asked of the permissions, not
// tried by opening it for writing, which would fail while another program
// reads it without sharing writes. Where this cannot be told, the
// replacement itself is the judge.
bool MayNotWrite(HANDLE hInput) {
    PSID pOwner = nullptr;
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pSd = nullptr;
    if (sys::GetSecurityInfo(
            hInput,
            OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
            &pOwner, &pDacl, nullptr, &pSd) != ERROR_SUCCESS)
        return false;
    const LocalMemory sd(pSd);
    HANDLE hProcess = nullptr;
    if (!sys::OpenProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE, &hProcess))
        return false;
    const Handle process = Own(hProcess);
    HANDLE hToken = nullptr;
    if (!sys::DuplicateToken(hProcess, SecurityIdentification, &hToken))
        return false;
    const Handle token = Own(hToken);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                               FILE_ALL_ACCESS};
    BOOL bGranted = TRUE;
    return sys::AccessCheck(pSd, hToken, FILE_GENERIC_WRITE, &mapping, &bGranted) && !bGranted;
}

}  // namespace

SysError OpenInput(Folder* pFolder, FileHandle* pFile, bool* pbNoDelete) {
    // Holding the delete right also keeps out every program that does not
    // share delete (the indexer, a virus scanner), so that none of them can
    // hold the old file, or later its backup name, while the pass needs it.
    // Backup semantics let a folder open, so that it is refused as a folder
    // rather than with "access denied"; a link or junction is opened itself,
    // not followed, so that it is refused as one.
    const DWORD dwFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    *pbNoDelete = false;
    // A read-only file or a folder is refused once looked at: it is not
    // asked for the delete right, whose answer would not change that.
    const DWORD dwAttr = sys::GetFileAttributesW(pFolder->m_wszInput);
    DWORD dwAccess = GENERIC_READ | DELETE;
    if (dwAttr != INVALID_FILE_ATTRIBUTES &&
        (dwAttr & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0)
        dwAccess = GENERIC_READ;
    SysError e = OpenHeldOut(pFolder, dwAccess, dwFlags, pFile);
    // Denied the delete right (not the file's nor the folder's entries
    // allow it, or a protected folder), which no waiting brings: told once
    // the file has been looked at, as it may be no file at all.
    if (e == ERROR_ACCESS_DENIED && dwAccess != GENERIC_READ) {
        e = OpenHeldOut(pFolder, GENERIC_READ, dwFlags, pFile);
        *pbNoDelete = e == 0;
    }
    return e;
}

SysError QueryInput(Folder* pFolder, const FileHandle& file, FileInfo* pInfo) {
    // A device (NUL, CON, COM1 ...) opens like a file but is none.
    SetLastError(NO_ERROR);
    const DWORD dwType = sys::GetFileType(H(file));
    if (dwType == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi = {};
    DWORD dwVolumeFlags = 0;
    bool bElsewhere = false;
    if (dwType == FILE_TYPE_DISK) {
        // Whether the volume keeps security at all (FAT on a memory stick does not).
        if (!sys::GetFileInformationByHandle(H(file), &bhfi) ||
            !sys::GetVolumeInformationByHandleW(H(file), &dwVolumeFlags))
            return LastError();
        if (SysError e = LeadsElsewhereUnderWine(*pFolder, H(file), &bElsewhere))
            return e;
    }
    const DWORD dwAttr = bhfi.dwFileAttributes;
    // Only a reparse point has a tag to ask for: FAT and exFAT, which have
    // none, do not answer the question at all.
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if ((dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        !sys::GetFileInformationByHandleEx(H(file), FileAttributeTagInfo, &tag, sizeof tag))
        return LastError();
    const DWORD dwTag = (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? tag.ReparseTag : 0;
    // Only a name surrogate (symbolic link, junction, mount point) names
    // another file; every other reparse point holds this file's own text
    // elsewhere, as a cloud file or a deduplicated one does.
    pInfo->bDirectory = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pInfo->bLink = (dwTag != 0 && IsReparseTagNameSurrogate(dwTag)) || bElsewhere;
    pInfo->bPlaceholder = dwTag != 0 && !pInfo->bLink;
    pInfo->bCloud = pInfo->bPlaceholder && IsCloudTag(dwTag);
    pInfo->bRegular = dwType == FILE_TYPE_DISK && !pInfo->bLink &&
                      (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    pInfo->bReadOnly = (dwAttr & FILE_ATTRIBUTE_READONLY) != 0;
    pInfo->bNoDelete = false;  // told by the open
    pInfo->nLinks = bhfi.nNumberOfLinks;
    pInfo->ullSize = Size(bhfi);
    pInfo->facts.ulAttributes = dwAttr & kKeptAttributes;
    pInfo->facts.bSecurity = (dwVolumeFlags & FILE_PERSISTENT_ACLS) != 0;
    pInfo->facts.bEncrypted = (dwAttr & FILE_ATTRIBUTE_ENCRYPTED) != 0;
    pInfo->facts.ullSize = pInfo->ullSize;
    pInfo->facts.llWritten = Time(bhfi.ftLastWriteTime);
    pInfo->bNoWrite =
        pInfo->bRegular && !pInfo->bReadOnly && pInfo->facts.bSecurity && MayNotWrite(H(file));
    return 0;
}

SysError RecallInput(Folder* pFolder, const FileInfo& info, FileHandle* pFile) {
    // Opened without FILE_FLAG_OPEN_REPARSE_POINT, the reparse point's own
    // driver (the cloud provider's, deduplication's) serves the text, and
    // downloads it first where it must. The rights the first open was
    // given: asking for more would be refused as "access denied", which
    // would read as a failed download.
    const DWORD dwAccess = info.bNoDelete || info.bReadOnly ? GENERIC_READ : GENERIC_READ | DELETE;
    Handle recalled;
    if (SysError e = OpenHeldOut(pFolder, dwAccess, 0, &recalled))
        return e;
    // The name may have been given to another file between the two opens:
    // only the same known id makes it the file that was looked at.
    FileIdentity idFirst = {};
    FileIdentity idRecalled = {};
    if (SysError e = IdOf(H(*pFile), &idFirst))
        return e;
    if (SysError e = IdOf(H(recalled), &idRecalled))
        return e;
    if (!SameFileHere(idFirst, idRecalled))
        return ERROR_FILE_INVALID;
    *pFile = std::move(recalled);  // the first handle is closed: read only, nothing to lose
    return 0;
}

SysError StillTheInput(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame) {
    // This pass keeps writers out of the input, but its name may have been
    // given to another file meanwhile (moving a file needs no write access).
    *pbSame = false;
    bool bAt = false;
    if (SysError e = HeldFileIsAt(H(input), pFolder->m_wszInput, &bAt))
        return e;
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (!sys::GetFileInformationByHandle(H(input), &bhfi))
        return LastError();
    *pbSame = bAt && Size(bhfi) == info.facts.ullSize &&
              Time(bhfi.ftLastWriteTime) == info.facts.llWritten;
    return 0;
}

}  // namespace fs
}  // namespace sk

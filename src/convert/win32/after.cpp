// The steps after a replacement on Windows, which the pass makes one after
// another: the old file removed from under the backup name, the old DACL
// set back where the replacement changed it, the file marked as changed.
// The file is converted whatever they answer; each failure is reported.
#include <cstring>

#include "layer.h"

namespace sk {
namespace fs {

SysError RemoveBackup(Folder* pFolder, const FileHandle&) {
    // Only once ReplaceInput proved that the name holds the old file: a file
    // that cannot be told stays. The old file is still open with the delete
    // right, which no scanner shares: no other program can hold it now.
    // Removed by name, it goes when that handle closes.
    if (pFolder->m_eOldUnproven != 0)
        return pFolder->m_eOldUnproven;
    const FolderPath backup(*pFolder, kBackupName);
    return Remove(pFolder, backup.Get()) ? 0 : LastError();
}

namespace {

// The DACL of the file open as h, with its descriptor's control bits.
struct Dacl {
    LocalMemory sd;
    PACL pAcl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
};

SysError ReadDacl(HANDLE h, Dacl* pDacl) {
    PSECURITY_DESCRIPTOR pSd = nullptr;
    const DWORD e =
        sys::GetSecurityInfo(h, DACL_SECURITY_INFORMATION, nullptr, &pDacl->pAcl, nullptr, &pSd);
    if (e != ERROR_SUCCESS)
        return static_cast<SysError>(e);
    pDacl->sd.reset(pSd);
    DWORD dwRevision = 0;
    return GetSecurityDescriptorControl(pSd, &pDacl->control, &dwRevision) ? 0 : LastError();
}

// The entries, and whether they are protected from inheritance and were
// inherited automatically.
const SECURITY_DESCRIPTOR_CONTROL kKept =
    SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;

bool SameDacl(const Dacl& a, const Dacl& b) {
    if ((a.control & kKept) != (b.control & kKept) || (a.pAcl == nullptr) != (b.pAcl == nullptr))
        return false;
    return a.pAcl == nullptr || (a.pAcl->AclSize == b.pAcl->AclSize &&
                                 std::memcmp(a.pAcl, b.pAcl, a.pAcl->AclSize) == 0);
}

// Stores the old DACL and its control bits on pszName as given:
// SetFileSecurityW, unlike SetSecurityInfo and SetNamedSecurityInfo, does
// not recompute inherited entries from today's folder.
SysError SetAsItWas(const wchar_t* pszName, const Dacl& old) {
    SECURITY_DESCRIPTOR sd;
    const SECURITY_DESCRIPTOR_CONTROL kInheritance = SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
    if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&sd, (old.control & SE_DACL_PRESENT) != 0, old.pAcl, FALSE) ||
        !SetSecurityDescriptorControl(&sd, kInheritance, old.control & kInheritance) ||
        !sys::SetFileSecurityW(pszName, DACL_SECURITY_INFORMATION, &sd))
        return LastError();
    return 0;
}

}  // namespace

SysError RestoreSecurity(Folder* pFolder, const FileInfo& info, const FileHandle& old) {
    // The work file was created with the old entries, protected from
    // inheritance. Where the old file's were not, they are set back as they
    // were, through a name proven to hold the converted file: opened here
    // without sharing delete, it cannot be renamed or replaced meanwhile.
    // Where the volume does not let this user change a DACL (a share
    // without WRITE_DAC), the file keeps the old entries, protected.
    if (!info.facts.bSecurity)
        return 0;
    Handle now;
    if (!Retried(
            pFolder,
            [&] {
                now = Own(
                    sys::CreateFileW(pFolder->m_wszInput, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
                return now.IsOpen();
            },
            HeldByAnother))
        return LastError();
    Dacl was;
    Dacl is;
    if (SysError e = ReadDacl(H(old), &was))
        return e;
    if (SysError e = ReadDacl(H(now), &is))
        return e;
    if (SameDacl(was, is))
        return 0;
    // The work file keeps its id through the replacement.
    FileIdentity id = {};
    if (SysError e = IdOf(H(now), &id))
        return e;
    if (!SameFileHere(id, pFolder->m_work))
        return ERROR_FILE_INVALID;  // not proven the converted file: left alone
    if (SysError e = SetAsItWas(pFolder->m_wszInput, was))
        return e;
    // Read back: a volume that maps permissions onto its own may store
    // something else than it was given.
    Dacl stored;
    if (SysError e = ReadDacl(H(now), &stored))
        return e;
    return SameDacl(was, stored) ? 0 : ERROR_NOT_SUPPORTED;
}

SysError MarkChanged(Folder* pFolder) {
    // ReplaceFile may carry the old attributes over, without the archive bit.
    const DWORD dwAttr = sys::GetFileAttributesW(pFolder->m_wszInput);
    if (dwAttr == INVALID_FILE_ATTRIBUTES)
        return LastError();
    if ((dwAttr & FILE_ATTRIBUTE_ARCHIVE) != 0 ||
        sys::SetFileAttributesW(pFolder->m_wszInput, dwAttr | FILE_ATTRIBUTE_ARCHIVE))
        return 0;
    return LastError();
}

SysError FlushFolder(Folder*) {
    return 0;  // ReplaceFile's rename is the file system's own to make lasting
}

}  // namespace fs
}  // namespace sk

// The pass's own files on Windows: "workfile.txt", and "workfile.bak",
// reserved for the replacement to park the old file under. Each is created
// new, never over a file of that name, with the input's security, and held
// open with no sharing until the replacement; each is removed only once
// proven the pass's own: through its handle while open, by name after.
#include "layer.h"

namespace sk {
namespace fs {

namespace {

// The input's DACL and integrity label, for the files the pass creates
// beside it, so that none of them is ever more open than the input, not
// even for a moment, and each needs no rights that a later change of its
// security would. The DACL is protected from inheritance whatever the
// input's is: a DACL given at creation is otherwise merged with the
// folder's inheritable entries, which may let in more than the input does
// (a file moved in from another folder keeps its own). RestoreSecurity
// sets the input's protection back.
class InputSecurity {
public:
    InputSecurity() : m_sa{sizeof m_sa, nullptr, FALSE}, m_bOwner(false) {}
    InputSecurity(const InputSecurity&) = delete;
    InputSecurity& operator=(const InputSecurity&) = delete;

    // GetSecurityInfo documents only a Win32 error code as its failure.
    SysError Read(HANDLE hInput, const FileInfo& info) {
        if (!info.facts.bSecurity)
            return 0;  // no security on this volume: the files get none
        PSID pOwner = nullptr;
        PACL pDacl = nullptr;
        PACL pSacl = nullptr;
        PSECURITY_DESCRIPTOR pSd = nullptr;
        const DWORD e = sys::GetSecurityInfo(
            hInput,
            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
            &pOwner, &pDacl, &pSacl, &pSd);
        if (e != ERROR_SUCCESS)
            return static_cast<SysError>(e);
        m_inputSd.reset(pSd);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD dwRevision = 0;
        // The label is the SACL's only entry here; an empty SACL is left out,
        // as setting one at all would need the auditing privilege.
        if (!GetSecurityDescriptorControl(pSd, &control, &dwRevision) ||
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

    // Creates pszPath as a new file with this security, for reading,
    // writing and deleting, and no sharing. Read and write: across a
    // network, write access alone may fail now and then with "access denied".
    Handle Create(const wchar_t* pszPath, DWORD dwAttributes) {
        Handle file = Own(sys::CreateFileW(pszPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, &m_sa,
                                           CREATE_NEW, dwAttributes | FILE_FLAG_SEQUENTIAL_SCAN));
        // Only an administrator may hand a file to another owner: the file
        // then belongs to the user who converts it, as after any save.
        if (!file.IsOpen() && GetLastError() == ERROR_INVALID_OWNER && m_bOwner) {
            m_bOwner = false;
            if (SetSecurityDescriptorOwner(&m_sd, nullptr, FALSE))
                return Create(pszPath, dwAttributes);
            SetLastError(ERROR_INVALID_OWNER);
        }
        return file;
    }

private:
    LocalMemory m_inputSd;  // the input's, which m_sd points into
    SECURITY_DESCRIPTOR m_sd;
    SECURITY_ATTRIBUTES m_sa;
    bool m_bOwner;  // m_sd names the input's owner
};

// Whether a file has the name, or that cannot be told. A missing folder
// frees every name in it.
bool NameTaken(const wchar_t* pszPath) {
    if (sys::GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD e = GetLastError();
    return e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND;
}

// A new file of the pass's own beside the input, and its id as made: what
// a later look at the name compares with.
SysError CreateOwn(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                   const wchar_t* pszName, DWORD dwAttributes, FileHandle* pFile,
                   FileIdentity* pId) {
    InputSecurity security;
    if (SysError e = security.Read(H(input), info))
        return e;
    const FolderPath path(*pFolder, pszName);
    // A name whose delete is pending answers "access denied" until it is
    // gone; where the name is free, that answer is the folder's lasting one
    // (no right to create here), and waiting is no use.
    const bool bMade = Retried(
        pFolder,
        [&] {
            *pFile = security.Create(path.Get(), dwAttributes);
            return pFile->IsOpen();
        },
        [&](DWORD e) {
            return e == ERROR_ACCESS_DENIED ? NameTaken(path.Get()) : HeldByAnother(e);
        });
    if (!bMade)
        return LastError();
    return IdOf(H(*pFile), pId);
}

}  // namespace

SysError CreateWork(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                    FileHandle* pFile) {
    // An encrypted input's text is written encrypted from the first byte:
    // a file made without the flag holds it in clear until it is encrypted.
    const DWORD dwAttributes =
        info.facts.bEncrypted ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_NORMAL;
    return CreateOwn(pFolder, input, info, kWorkName, dwAttributes, pFile, &pFolder->m_work);
}

SysError ReserveBackup(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                       FileHandle* pFile) {
    // ReplaceFile moves the old file to the backup name and overwrites
    // whatever is there: the name is taken first, so that it is ours. With
    // the input's security, so that this user may remove it as the input.
    return CreateOwn(pFolder, input, info, kBackupName, FILE_ATTRIBUTE_NORMAL, pFile,
                     &pFolder->m_reserved);
}

bool BackupNameTaken(Folder* pFolder) {
    const FolderPath backup(*pFolder, kBackupName);
    return NameTaken(backup.Get());
}

bool Remove(Folder* pFolder, const wchar_t* pszPath) {
    return Retried(
        pFolder,
        [&] { return sys::DeleteFileW(pszPath) || GetLastError() == ERROR_FILE_NOT_FOUND; },
        HeldOrPending);
}

SysError DeleteHeld(HANDLE h) {
    // The system then removes exactly the file the pass holds, wherever its name.
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return sys::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)
               ? 0
               : LastError();
}

void RemoveOwnFiles(Folder* pFolder, FileHandle* pWork, FileHandle* pBackup, bool* pbWorkLeft,
                    bool* pbBackupLeft) {
    // Closed for the replacement, which then failed: the work file is the
    // name this pass created and nobody else may (a "workfile.txt" there
    // before is refused); the reservation was seen to by ReplaceInput.
    if (!pWork->IsOpen()) {
        const FolderPath work(*pFolder, kWorkName);
        *pbWorkLeft = !Remove(pFolder, work.Get());
    }
    // Still open: the handle is the proof that the file is this pass's own.
    // Being removed, its close has nothing to keep.
    const struct {
        FileHandle* pFile;
        bool* pbLeft;
    } kOwn[] = {{pWork, pbWorkLeft}, {pBackup, pbBackupLeft}};
    for (const auto& own : kOwn) {
        if (own.pFile->IsOpen()) {
            *own.pbLeft = DeleteHeld(H(*own.pFile)) != 0;
            *own.pFile = FileHandle();
        }
    }
}

}  // namespace fs
}  // namespace sk

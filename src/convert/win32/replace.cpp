// The replacement on Windows, in the order the pass makes it:
//  1. The pass has written workfile.txt, flushed and closed it, and proven
//     that the input's name still names the file it read, unchanged.
//  2. The reservation of workfile.bak is let go of: until now it kept the
//     name free of other programs' holds.
//  3. ReplaceFileW(input, workfile.txt, workfile.bak): the work file takes
//     the input's name and keeps the old file's creation time, short name,
//     object id, DACL, encryption, compression and named streams; the old
//     file goes under workfile.bak. Tried again while another program
//     holds one of the three files (ERROR_UNABLE_TO_REMOVE_REPLACED and
//     ERROR_UNABLE_TO_MOVE_REPLACEMENT keep both names); after "access
//     denied" on a volume with ACLs, with REPLACEFILE_IGNORE_ACL_ERRORS, as
//     merging the DACL needs WRITE_DAC, which a share may not grant, and
//     the work file has that DACL from its creation already.
//  4. Failed: which file is where decides what happens, never the error
//     code (PutBack). After ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 the old file
//     is under workfile.bak: back under its name, the backup name reserved
//     again, and all made once more.
//  5. Done: the file under workfile.bak must be the old one; a file that
//     another program put under the input's name at the last moment is
//     there instead, and goes back under its name.
// The pass then makes the steps after it (after.cpp).
#include "layer.h"

namespace sk {
namespace fs {

namespace {

// Failures after which both names are kept and the same try may work a
// moment later.
bool WorthAnotherTry(DWORD e) {
    return HeldOrPending(e) || e == ERROR_UNABLE_TO_REMOVE_REPLACED ||
           e == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// Gives pszTo the file under pszFrom, which the pass has proven is the one
// that belongs there.
bool MoveBack(Folder* pFolder, const wchar_t* pszFrom, const wchar_t* pszTo, DWORD dwFlags) {
    return Retried(
        pFolder, [&] { return sys::MoveFileExW(pszFrom, pszTo, MOVEFILE_WRITE_THROUGH | dwFlags); },
        HeldOrPending);
}

// What is under the backup name after a failed try: nothing, the
// reservation (by the id it was made with, not renamed since; where the
// volume gives no ids, an empty file), or a file not proven to be it.
enum class Backup { kGone, kReservation, kUnproven };

Backup UnderBackup(const Folder& folder, const FolderPath& backup) {
    const Handle file = OpenToAsk(backup.Get());
    if (!file.IsOpen())
        return GetLastError() == ERROR_FILE_NOT_FOUND ? Backup::kGone : Backup::kUnproven;
    FileIdentity id = {};
    if (IdOf(H(file), &id) != 0)
        return Backup::kUnproven;
    if (IsKnown(id))
        return SameFileHere(id, folder.m_reserved) ? Backup::kReservation : Backup::kUnproven;
    BY_HANDLE_FILE_INFORMATION bhfi;
    const bool bEmpty = sys::GetFileInformationByHandle(H(file), &bhfi) &&
                        bhfi.nFileSizeHigh == 0 && bhfi.nFileSizeLow == 0;
    return !IsKnown(folder.m_reserved) && bEmpty ? Backup::kReservation : Backup::kUnproven;
}

// After a failed try. While the input's own name is free (or cannot be
// told), its text is under the backup name, as ReplaceFile documents of the
// one failure that moves it: it goes back only once proven so, and
// otherwise nothing the pass made is removed and the text under the backup
// name is reported as the user's; ids may change from one open to the
// next, or two files compare equal. Where the name holds a file, the
// reservation goes once proven.
void PutBack(Folder* pFolder, HANDLE hOld, const FolderPath& backup, Replaced* pResult) {
    bool bOldInPlace = false;
    bool bFree = false;
    const SysError eInput = HeldFileIsAt(hOld, pFolder->m_wszInput, &bOldInPlace, &bFree);
    if (eInput != 0 || bFree) {
        bool bOld = false;
        pResult->bStranded = HeldFileIsAt(hOld, backup.Get(), &bOld) != 0 || !bOld ||
                             !MoveBack(pFolder, backup.Get(), pFolder->m_wszInput, 0);
        return;
    }
    switch (UnderBackup(*pFolder, backup)) {
        case Backup::kGone:
            return;
        case Backup::kReservation:
            pResult->bBackupLeft = !Remove(pFolder, backup.Get());
            return;
        case Backup::kUnproven:
            // The old text is not there where it is in its place.
            pResult->bBackupLeft = bOldInPlace;
            pResult->bStranded = !bOldInPlace;
            return;
    }
}

// Takes the backup name again for one more replacement. A reservation made
// but not proven the pass's own is removed, or reported left.
SysError Reserve(Folder* pFolder, const FileHandle& input, const FileInfo& info, bool* pbLeft) {
    FileHandle reserved;
    const SysError e = ReserveBackup(pFolder, input, info, &reserved);
    if (reserved.IsOpen() && e != 0)
        *pbLeft = DeleteHeld(H(reserved)) != 0;
    return e;  // the reservation is let go of here: empty, or being removed
}

}  // namespace

SysError ReplaceInput(Folder* pFolder, const FileInfo& info, const FileHandle& input,
                      FileHandle* pBackup, Replaced* pResult) {
    const FolderPath work(*pFolder, kWorkName);
    const FolderPath backup(*pFolder, kBackupName);
    *pBackup = FileHandle();  // the reservation is empty: closing it loses nothing
    DWORD dwFlags = 0;
    const auto replace = [&] {
        if (sys::ReplaceFileW(pFolder->m_wszInput, work.Get(), backup.Get(), dwFlags))
            return true;
        if (GetLastError() == ERROR_ACCESS_DENIED && info.facts.bSecurity)
            dwFlags = REPLACEFILE_IGNORE_ACL_ERRORS;
        return false;
    };
    while (!Retried(pFolder, replace, WorthAnotherTry)) {
        const DWORD e = GetLastError();
        PutBack(pFolder, H(input), backup, pResult);
        if (e != ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 || pResult->bStranded || pResult->bBackupLeft ||
            !WaitForAnother(pFolder, 0))
            return static_cast<SysError>(e);
        if (SysError eReserve = Reserve(pFolder, input, info, &pResult->bBackupLeft))
            return eReserve;
    }
    bool bOld = false;
    pFolder->m_eOldUnproven = HeldFileIsAt(H(input), backup.Get(), &bOld);
    if (pFolder->m_eOldUnproven == 0 && !bOld) {
        pResult->bChanged = true;
        pResult->bStranded =
            !MoveBack(pFolder, backup.Get(), pFolder->m_wszInput, MOVEFILE_REPLACE_EXISTING);
    }
    return 0;
}

}  // namespace fs
}  // namespace sk

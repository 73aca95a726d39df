// The few file operations a conversion needs, one small folder of files
// per platform behind them (win32/, posix/; CMake picks one, and with it
// that platform's platform_state.h). Each returns 0 or the system's error
// code (errno, or GetLastError() on Windows), so that the cause is kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file_handle.h"
#include "path_rules.h"
#include "platform_state.h"

namespace sk {
namespace fs {

typedef int SysError;

struct FileInfo {
    bool bDirectory;
    bool bRegular;  // an ordinary file on disk (not a device, pipe or link)
    bool bLink;     // names another file: a symbolic link, junction or mount point
    // Holds its text elsewhere (a cloud file, a deduplicated file): read
    // through an open that brings the text back, see RecallInput.
    bool bPlaceholder;
    bool bCloud;     // a cloud file, whose text may have to be downloaded first
    bool bReadOnly;  // read-only attribute, or no owner write bit
    // This user may read it but neither delete nor replace it (Windows: no
    // delete right on the file nor on its folder's entries, or a protected
    // folder): a lasting refusal that no waiting cures.
    bool bNoDelete;
    // This user may not write to it, which replacing it needs (Windows:
    // its permissions grant no write access); as lasting.
    bool bNoWrite;
    unsigned long nLinks;  // names the file has (hard links)
    uint64_t ullSize;
    InputFacts facts;  // what only this platform's layer reads again
};

// pszPath's first cchFolder bytes are its folder; the rest is the input's name.
SysError OpenFolder(const char* pszPath, size_t cchFolder, Folder* pFolder);
// The file to convert, for reading only; others may read it meanwhile, not
// change it. *pbNoDelete: opened, but this user may not delete or replace it.
SysError OpenInput(Folder* pFolder, FileHandle* pFile, bool* pbNoDelete);
SysError QueryInput(Folder* pFolder, const FileHandle& file, FileInfo* pInfo);
// Opens a placeholder again so that reading it brings its text back, with
// the rights the first open was given, and puts that handle in *pFile
// once it is the same file.
SysError RecallInput(Folder* pFolder, const FileInfo& info, FileHandle* pFile);
// A new "workfile.txt" beside the input, that only its owner may open until
// it takes the input's place; fails with an "exists" error when the name is taken.
SysError CreateWork(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                    FileHandle* pFile);
// Takes the name the replacement parks the old file under (Windows), held
// open until the replacement so that no other program can hold it then;
// fails with an "exists" error when the name is somebody's. Nothing where
// the replacement needs no such name.
SysError ReserveBackup(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                       FileHandle* pFile);
// Whether the backup name (Windows) is taken: a file left beside the
// input by an earlier pass, besides "workfile.txt".
bool BackupNameTaken(Folder* pFolder);
// Up to cb bytes; *pcbRead == 0 at the end of the file.
SysError ReadSome(const FileHandle& file, char* p, size_t cb, size_t* pcbRead);
SysError WriteAll(const FileHandle& file, const char* p, size_t cb);
SysError FlushToDisk(const FileHandle& file);
// Starts writing a range already written to the disk, without waiting, so
// that the final flush has little left to do; nothing where the system has
// no such call.
SysError StartWriteBack(const FileHandle& file, uint64_t ullOffset, uint64_t ullLength);
// The handle is released whatever the result.
SysError CloseFile(FileHandle* pFile);
// Gives the work file, still open, what the input carries besides its text:
// owner, permissions and extended attributes (with the ACLs among them) on
// POSIX; attributes on Windows, whose security the work file was created
// with. Sets only what the work file does not show already.
SysError CopyAccess(const FileHandle& input, const FileHandle& work, const FileInfo& info);
// Whether the input's name still names the file that was read, unchanged.
SysError StillTheInput(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame);

// What a replacement left where it failed, or found where it did not.
struct Replaced {
    bool bBackupLeft;  // failed, and the backup name could not be freed again
    // Failed, and the input's own text is, or may be, under the backup
    // name: nothing the pass made is then removed.
    bool bStranded;
    // Another program put a file of its own under the input's name at the
    // last moment: that file keeps the name and the converted text is dropped.
    bool bChanged;
};

// Puts the closed work file in the input's place in one step, keeping what
// the system keeps for a replaced file, and lets go of the reservation
// right before; on failure the input is as it was, or *pResult says where
// it is. The input stays open: the steps below may need it.
SysError ReplaceInput(Folder* pFolder, const FileInfo& info, const FileHandle& input,
                      FileHandle* pBackup, Replaced* pResult);
// The steps after a replacement, in this order; each does nothing (0)
// where its platform has no such step. The file is converted whatever
// they answer. old: the input as it was opened, now the replaced file.
// Removes the replaced file, which the replacement left under the backup name.
SysError RemoveBackup(Folder* pFolder, const FileHandle& old);
// Gives the converted file the old file's permissions where the
// replacement changed them, stored as they were.
SysError RestoreSecurity(Folder* pFolder, const FileInfo& info, const FileHandle& old);
// Marks the converted file changed for backup programs.
SysError MarkChanged(Folder* pFolder);
// Puts the replacement itself on the disk.
SysError FlushFolder(Folder* pFolder);

// Removes the work file and the reservation this pass made: through their
// handles while they are open, else (the work file) by name. Each flag
// tells a file that stays.
void RemoveOwnFiles(Folder* pFolder, FileHandle* pWork, FileHandle* pBackup, bool* pbWorkLeft,
                    bool* pbBackupLeft);

// What a failed open or create says of its cause.
enum class Cause { kOther, kInUse, kNotFound, kBadName, kWriteProtected, kDenied };
Cause CauseOf(SysError e);

bool IsExistsError(SysError e);
// The input's own name is a symbolic link (POSIX, which refuses to open one).
bool IsLinkError(SysError e);
// Creating a file beside an input the pass holds open found no such
// folder: only a protected folder (Controlled Folder Access) answers so.
bool IsProtectedFolderError(SysError e);
// The system's text for an error code, without a line end.
void FormatError(SysError e, char* psz, size_t cch);

// Tells the system that the file is read once from start to end, so that it
// reads further ahead. Only a hint: a system that refuses it reads as well.
void AdviseSequential(const FileHandle& file);
// Tells the system that a range of the input already read is not wanted
// again: the file is being replaced, and the memory that held it then
// serves the work file's text, as memory just used, not memory a virtual
// machine may have handed back to its host. Only a hint.
void AdviseDone(const FileHandle& file, uint64_t ullOffset, uint64_t ullLength);

// What makes two paths the same file, whatever their spelling. The path
// itself, not what a link names: a link is refused as a file anyway.
SysError QueryIdentity(const char* pszPath, FileIdentity* pId);

}  // namespace fs
}  // namespace sk

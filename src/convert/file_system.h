// The few file operations a conversion needs, one small file per platform
// behind them. Each returns 0 or the system's error code (errno, or
// GetLastError() on Windows), so that the cause of a failure is kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "path_rules.h"

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
    bool bSecurity;  // its volume keeps each file's security (Windows)
    bool bReadOnly;  // read-only attribute, or no owner write bit
    // This user may read it but neither delete nor replace it (Windows: no
    // delete right on the file nor on its folder's entries, or a protected
    // folder): a lasting refusal that no waiting cures.
    bool bNoDelete;
    unsigned long nLinks;    // names the file has (hard links)
    unsigned long ulAccess;  // mode bits, or the attributes, that the work file takes over
    unsigned long ulOwner;   // user and group on POSIX systems
    unsigned long ulGroup;
    // What tells that the file is still the one that was read: which file
    // it is, and its size and times (the system's own units).
    uint64_t ullVolume;
    uint64_t ullIndex;
    uint64_t ullSize;
    int64_t llWritten;
    int64_t llChanged;
    int64_t llCreated;
};

// An open file; closes itself on paths that have already failed.
class FileHandle {
public:
    FileHandle() : m_h(kNone) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool IsOpen() const { return m_h != kNone; }
    intptr_t Get() const { return m_h; }
    void Reset(intptr_t h) { m_h = h; }
    intptr_t Release() {
        const intptr_t h = m_h;
        m_h = kNone;
        return h;
    }

private:
    static const intptr_t kNone = -1;  // also INVALID_HANDLE_VALUE
    intptr_t m_h;
};

// Which file a handle holds, as its volume tells it: the volume, and the
// file's id (128 bits where the volume gives them). An id of 0 is unknown.
struct FileIdentity {
    uint64_t ullVolume;    // device, or volume serial number
    uint64_t ullFile;      // inode, file index, or the low half of a 128-bit id
    uint64_t ullFileHigh;  // the high half of a 128-bit id
};
inline bool IsKnown(const FileIdentity& id) {
    return id.ullFile != 0 || id.ullFileHigh != 0;
}
// Known, and the same file.
inline bool IsSameFile(const FileIdentity& a, const FileIdentity& b) {
    return IsKnown(a) && a.ullVolume == b.ullVolume && a.ullFile == b.ullFile &&
           a.ullFileHigh == b.ullFileHigh;
}

// The input's folder, fixed at the start of a pass: the work file is made,
// and the input replaced, relative to it, so that a long folder name cannot
// push "workfile.txt" past the system's path limit. It also keeps what one
// pass learns of its own files there.
class Folder {
public:
    Folder()
        : m_h(-1), m_pszName(nullptr), m_cchPrefix(0), m_work(), m_reserved(), m_ulWaitedMs(0) {}
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    intptr_t m_h;           // the open folder (POSIX)
    const char* m_pszName;  // the input's name in it (POSIX)
    // Windows: the input's full path in the "\\?\" form that has no length
    // limit, and how much of it is the folder, final separator included.
    static const size_t kWideRoom = 1024;
    wchar_t m_wszInput[kWideRoom];
    size_t m_cchPrefix;
    // Windows: the work file and the backup name's reservation, as created.
    FileIdentity m_work;
    FileIdentity m_reserved;
    // How long this pass has waited for other programs to let go of its files.
    mutable unsigned long m_ulWaitedMs;
};

// pszPath's first cchFolder bytes are its folder; the rest is the input's name.
SysError OpenFolder(const char* pszPath, size_t cchFolder, Folder* pFolder);
// The file to convert, for reading only; others may read it meanwhile, not
// change it. *pbNoDelete: opened, but this user may not delete or replace it.
SysError OpenInput(const Folder& folder, FileHandle* pFile, bool* pbNoDelete);
SysError QueryInput(const Folder& folder, const FileHandle& file, FileInfo* pInfo);
// Opens a placeholder again so that reading it brings its text back, and
// puts that handle in *pFile once it is the same file.
SysError RecallInput(const Folder& folder, const FileInfo& info, FileHandle* pFile);
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
SysError StillTheInput(const Folder& folder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame);

// How a replacement ended, for what the pass must report.
enum class After { kNone, kFlushFolder, kRemoveBackup, kMarkChanged, kRestoreSecurity };
struct Replaced {
    bool bBackupLeft;  // failed, and the backup name could not be freed again
    bool bStranded;    // failed, and the text that belongs under the name is under the backup name
    // Another program put a file of its own under the input's name at the
    // last moment: that file keeps the name and the converted text is dropped.
    bool bChanged;
    After after;      // done, but this step after it failed ...
    SysError eAfter;  // ... with this error
};

// Puts the closed work file in the input's place in one step, keeping what
// the system keeps for a replaced file, and lets go of the reservation
// right before; on failure the input is as it was.
SysError ReplaceInput(Folder* pFolder, const FileInfo& info, FileHandle* pInput,
                      FileHandle* pBackup, Replaced* pResult);
// Removes the work file and the reservation this pass made: through their
// handles while they are open, else (the work file) by name. Each flag
// tells a file that stays.
void RemoveOwnFiles(const Folder& folder, FileHandle* pWork, FileHandle* pBackup, bool* pbWorkLeft,
                    bool* pbBackupLeft);

bool IsExistsError(SysError e);
// The input's own name is a symbolic link (POSIX, which refuses to open one).
bool IsLinkError(SysError e);
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

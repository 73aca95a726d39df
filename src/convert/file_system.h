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
    bool bRegular;           // an ordinary file on disk (not a device, pipe or link)
    bool bReadOnly;          // read-only attribute, or no owner write bit
    unsigned long ulAccess;  // mode bits, or the attributes, that the work file takes over
    unsigned long ulOwner;   // user and group on POSIX systems
    unsigned long ulGroup;
    uint64_t ullSize;  // bytes, for a progress display
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

// The file to convert, for reading only; others may read it meanwhile, not change it.
SysError OpenInput(const char* pszPath, FileHandle* pFile);
SysError QueryInput(const FileHandle& file, FileInfo* pInfo);
// A new file; fails with an "exists" error when the name is taken.
SysError CreateWork(const char* pszPath, FileHandle* pFile);
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
// Gives the work file, still open, the input's permissions (and owner where
// the system has one).
SysError CopyAccess(const FileHandle& file, const char* pszPath, const FileInfo& info);
// Puts pszFrom in the place of pszTo in one atomic step.
SysError MoveOver(const char* pszFrom, const char* pszTo);
SysError RemoveWork(const char* pszPath);

bool IsExistsError(SysError e);
// The system's text for an error code, without a line end.
void FormatError(SysError e, char* psz, size_t cch);

// What makes two paths the same file, whatever their spelling.
struct FileIdentity {
    uint64_t ullVolume;  // device, or volume serial number
    uint64_t ullFile;    // inode, or file index
};
// The path itself, not what a link names: a link is refused as a file anyway.
SysError QueryIdentity(const char* pszPath, FileIdentity* pId);

}  // namespace fs
}  // namespace sk

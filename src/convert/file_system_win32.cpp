// File operations on Windows, through the ANSI calls so that paths are the
// code page bytes the user chose.
#include "file_system.h"

#include <cstdio>
#include <cstring>

#include <windows.h>

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

SysError OpenInput(const char* pszPath, FileHandle* pFile) {
    // Readers may share the file, writers may not: the text must not change
    // under the pass. Backup semantics let a folder open, so that it is
    // refused as a folder rather than with "access denied".
    const HANDLE h =
        Faulted(IoOp::kOpen)
            ? INVALID_HANDLE_VALUE
            : CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    pFile->Reset(reinterpret_cast<intptr_t>(h));
    return 0;
}

SysError QueryInput(const FileHandle& file, FileInfo* pInfo) {
    // A device (NUL, CON, COM1 ...) opens like a file but is none.
    SetLastError(NO_ERROR);
    const DWORD dwType = Faulted(IoOp::kQuery) ? FILE_TYPE_UNKNOWN : GetFileType(H(file));
    if (dwType == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
        return LastError();
    BY_HANDLE_FILE_INFORMATION bhfi;
    std::memset(&bhfi, 0, sizeof bhfi);
    if (dwType == FILE_TYPE_DISK &&
        (Faulted(IoOp::kQuery) || !GetFileInformationByHandle(H(file), &bhfi)))
        return LastError();
    const DWORD dwAttr = bhfi.dwFileAttributes;
    pInfo->bDirectory = (dwAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pInfo->bRegular = dwType == FILE_TYPE_DISK &&
                      (dwAttr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    pInfo->bReadOnly = (dwAttr & FILE_ATTRIBUTE_READONLY) != 0;
    pInfo->ulAccess = dwAttr & kKeptAttributes;
    pInfo->ulOwner = 0;
    pInfo->ulGroup = 0;
    pInfo->ullSize = (static_cast<uint64_t>(bhfi.nFileSizeHigh) << 32) | bhfi.nFileSizeLow;
    return 0;
}

SysError CreateWork(const char* pszPath, FileHandle* pFile) {
    const HANDLE h = Faulted(IoOp::kCreate)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileA(pszPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LastError();
    pFile->Reset(reinterpret_cast<intptr_t>(h));
    return 0;
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

SysError CopyAccess(const FileHandle&, const char* pszPath, const FileInfo& info) {
    // By name: setting attributes needs no data access, so the work file's
    // own open handle, which shares nothing, does not stand in the way.
    const DWORD dwAttr =
        info.ulAccess != 0 ? static_cast<DWORD>(info.ulAccess) : FILE_ATTRIBUTE_NORMAL;
    return !Faulted(IoOp::kAccess) && SetFileAttributesA(pszPath, dwAttr) ? 0 : LastError();
}

SysError MoveOver(const char* pszFrom, const char* pszTo) {
    // Not ReplaceFile: without a backup name it can fail with the input's
    // name already gone. A rename over the input either happens or not.
    return !Faulted(IoOp::kMove) &&
                   MoveFileExA(pszFrom, pszTo, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : LastError();
}

SysError RemoveWork(const char* pszPath) {
    return !Faulted(IoOp::kRemove) && DeleteFileA(pszPath) ? 0 : LastError();
}

bool IsExistsError(SysError e) {
    return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
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

// File operations on POSIX systems.
#include "file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fault_seam.h"

namespace sk {

const PathRules& NativePathRules() {
    return kPosixPathRules;
}

namespace fs {

namespace {

int Fd(const FileHandle& file) {
    return static_cast<int>(file.Get());
}

// A test build may make the call that follows fail as the system would: with
// errno set, and handled by the same code as a real failure.
bool Faulted(IoOp op) {
    const int e = InjectedFault(op);
    if (e != 0)
        errno = e;
    return e != 0;
}

}  // namespace

FileHandle::~FileHandle() {
    if (IsOpen())
        (void)::close(static_cast<int>(m_h));  // only failed passes get here
}

SysError OpenInput(const char* pszPath, FileHandle* pFile) {
    // No following of a symbolic link: the rename would replace the link itself.
    // Non-blocking so that a named pipe is refused by the type check, not waited on.
    const int fd = Faulted(IoOp::kOpen)
                       ? -1
                       : ::open(pszPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno;
    pFile->Reset(fd);
    return 0;
}

SysError QueryInput(const FileHandle& file, FileInfo* pInfo) {
    struct stat st;
    if (Faulted(IoOp::kQuery) || ::fstat(Fd(file), &st) != 0)
        return errno;
    pInfo->bDirectory = S_ISDIR(st.st_mode);
    pInfo->bRegular = S_ISREG(st.st_mode);
    // Judged from the mode, not from access(), so that it holds for root too.
    pInfo->bReadOnly = (st.st_mode & S_IWUSR) == 0;
    pInfo->ulAccess = st.st_mode & 07777;
    pInfo->ulOwner = st.st_uid;
    pInfo->ulGroup = st.st_gid;
    pInfo->ullSize = static_cast<uint64_t>(st.st_size);
    return 0;
}

SysError CreateWork(const char* pszPath, FileHandle* pFile) {
    // Private until it takes the input's place and permissions.
    const int fd = Faulted(IoOp::kCreate)
                       ? -1
                       : ::open(pszPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return errno;
    pFile->Reset(fd);
    return 0;
}

SysError ReadSome(const FileHandle& file, char* p, size_t cb, size_t* pcbRead) {
    *pcbRead = 0;
    for (;;) {
        const ssize_t n = Faulted(IoOp::kRead) ? -1 : ::read(Fd(file), p, cb);
        if (n >= 0) {
            *pcbRead = static_cast<size_t>(n);
            return 0;
        }
        if (errno != EINTR)
            return errno;
    }
}

SysError WriteAll(const FileHandle& file, const char* p, size_t cb) {
    while (cb != 0) {
        const ssize_t n = Faulted(IoOp::kWrite) ? -1 : ::write(Fd(file), p, cb);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;  // no progress and no reason: do not spin
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return 0;
}

SysError FlushToDisk(const FileHandle& file) {
    return !Faulted(IoOp::kFlush) && ::fsync(Fd(file)) == 0 ? 0 : errno;
}

SysError StartWriteBack(const FileHandle& file, uint64_t ullOffset, uint64_t ullLength) {
#if defined(__linux__)
    if (Faulted(IoOp::kWriteBack) ||
        ::sync_file_range(Fd(file), static_cast<off64_t>(ullOffset),
                          static_cast<off64_t>(ullLength), SYNC_FILE_RANGE_WRITE) != 0)
        return errno;
#else
    (void)file;
    (void)ullOffset;
    (void)ullLength;
#endif
    return 0;
}

SysError CloseFile(FileHandle* pFile) {
    // The descriptor is gone after close() even when it reports an error, and
    // it must not be closed again (it may already be another file's).
    const int r = ::close(static_cast<int>(pFile->Release()));
    return !Faulted(IoOp::kClose) && r == 0 ? 0 : errno;
}

SysError CopyAccess(const FileHandle& file, const char*, const FileInfo& info) {
    // Through the descriptor, not the name: a name can be swapped for a link
    // to another file meanwhile. Owner first: changing it may clear the
    // set-id bits that the mode then restores. When the owner cannot be kept
    // the pass fails, rather than hand the file to another owner and group
    // than the user gave it.
    if (Faulted(IoOp::kAccess) ||
        ::fchown(Fd(file), static_cast<uid_t>(info.ulOwner), static_cast<gid_t>(info.ulGroup)) != 0)
        return errno;
    if (Faulted(IoOp::kAccess) || ::fchmod(Fd(file), static_cast<mode_t>(info.ulAccess)) != 0)
        return errno;
    return 0;
}

SysError MoveOver(const char* pszFrom, const char* pszTo) {
    return !Faulted(IoOp::kMove) && ::rename(pszFrom, pszTo) == 0 ? 0 : errno;
}

SysError RemoveWork(const char* pszPath) {
    return !Faulted(IoOp::kRemove) && ::unlink(pszPath) == 0 ? 0 : errno;
}

bool IsExistsError(SysError e) {
    return e == EEXIST;
}

void FormatError(SysError e, char* psz, size_t cch) {
    if (cch == 0)
        return;
    std::strncpy(psz, std::strerror(e), cch - 1);
    psz[cch - 1] = '\0';
}

SysError QueryIdentity(const char* pszPath, FileIdentity* pId) {
    struct stat st;
    if (::lstat(pszPath, &st) != 0)
        return errno;
    pId->ullVolume = static_cast<uint64_t>(st.st_dev);
    pId->ullFile = static_cast<uint64_t>(st.st_ino);
    return 0;
}

}  // namespace fs
}  // namespace sk

// File operations on POSIX systems.
#include "file_system.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
bool Faulted(IoOp op, IoFile file = IoFile::kOther) {
    const int e = InjectedFault(op, file);
    if (e != 0)
        errno = e;
    return e != 0;
}

}  // namespace

FileHandle::~FileHandle() {
    if (IsOpen())
        (void)::close(static_cast<int>(m_h));  // only failed passes get here
}

Folder::~Folder() {
    if (m_h >= 0)
        (void)::close(static_cast<int>(m_h));  // opened for lookups only
}

namespace {

const char kWorkName[] = "workfile.txt";

int Dir(const Folder& folder) {
    return static_cast<int>(folder.m_h);
}

int64_t Nanoseconds(const struct timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

SysError OpenFolder(const char* pszPath, size_t cchFolder, Folder* pFolder) {
    // Every later call goes through this descriptor, so the pass stays in one
    // folder even if a name on the way there is changed meanwhile.
    char szFolder[4096] = ".";
    if (cchFolder >= sizeof szFolder)
        return ENAMETOOLONG;
    if (cchFolder != 0) {
        std::memcpy(szFolder, pszPath, cchFolder);
        szFolder[cchFolder] = '\0';
    }
    const int fd =
        Faulted(IoOp::kFolder) ? -1 : ::open(szFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    pFolder->m_h = fd;
    pFolder->m_pszName = pszPath + cchFolder;
    return 0;
}

SysError OpenInput(const Folder& folder, FileHandle* pFile, bool* pbNoDelete) {
    *pbNoDelete = false;  // the rename and its refusals tell
    // No following of a symbolic link: the rename would replace the link itself.
    // Non-blocking so that a named pipe is refused by the type check, not waited on.
    const int fd = Faulted(IoOp::kOpen)
                       ? -1
                       : ::openat(Dir(folder), folder.m_pszName,
                                  O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno;
    pFile->Reset(fd);
    return 0;
}

SysError QueryInput(const Folder&, const FileHandle& file, FileInfo* pInfo) {
    struct stat st;
    if (Faulted(IoOp::kQuery) || ::fstat(Fd(file), &st) != 0)
        return errno;
    pInfo->bDirectory = S_ISDIR(st.st_mode);
    pInfo->bRegular = S_ISREG(st.st_mode);
    pInfo->bLink = S_ISLNK(st.st_mode);
    pInfo->bPlaceholder = false;  // no such files here
    pInfo->bCloud = false;
    pInfo->bSecurity = true;  // mode and owner, whatever the file system
    // Judged from the mode, not from access(), so that it holds for root too.
    pInfo->bReadOnly = (st.st_mode & S_IWUSR) == 0;
    pInfo->bNoDelete = false;
    pInfo->nLinks = static_cast<unsigned long>(st.st_nlink);
    pInfo->ulAccess = st.st_mode & 07777;
    pInfo->ulOwner = st.st_uid;
    pInfo->ulGroup = st.st_gid;
    pInfo->ullVolume = static_cast<uint64_t>(st.st_dev);
    pInfo->ullIndex = static_cast<uint64_t>(st.st_ino);
    pInfo->ullSize = static_cast<uint64_t>(st.st_size);
    pInfo->llWritten = Nanoseconds(st.st_mtim);
    pInfo->llChanged = Nanoseconds(st.st_ctim);
    pInfo->llCreated = 0;
    return 0;
}

SysError RecallInput(const Folder&, const FileInfo&, FileHandle*) {
    return 0;  // never asked: nothing here is a placeholder
}

SysError CreateWork(Folder* pFolder, const FileHandle&, const FileInfo&, FileHandle* pFile) {
    // Private until it takes the input's place and permissions.
    const int fd =
        Faulted(IoOp::kCreate, IoFile::kWork)
            ? -1
            : ::openat(Dir(*pFolder), kWorkName,
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
    pFile->Reset(fd);
    return 0;
}

SysError ReserveBackup(Folder*, const FileHandle&, const FileInfo&, FileHandle*) {
    return 0;  // a rename needs no second name
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

namespace {

// The most a list of names or one value can take (Linux's own limits).
const size_t kXattrRoom = 64 * 1024;

// Copies every extended attribute of the input, the POSIX ACLs
// (system.posix_acl_access) and security labels among them. A file system
// without them answers ENOTSUP for the list, and then there is none to keep;
// any other failure fails the pass, rather than hand over a file that lost
// who may read it.
SysError CopyExtendedAttributes(int fdFrom, int fdTo) {
    char names[kXattrRoom];
    ssize_t cbNames = Faulted(IoOp::kSecurity) ? -1 : ::flistxattr(fdFrom, names, sizeof names);
    if (cbNames < 0)
        return errno == ENOTSUP ? 0 : errno;
    char value[kXattrRoom];
    for (const char* pszName = names; pszName < names + cbNames;
         pszName += std::strlen(pszName) + 1) {
        const ssize_t cbValue =
            Faulted(IoOp::kSecurity) ? -1 : ::fgetxattr(fdFrom, pszName, value, sizeof value);
        if (cbValue < 0) {
            if (errno == ENODATA)
                continue;  // removed since the list was read
            return errno;
        }
        if (Faulted(IoOp::kSecurity) ||
            ::fsetxattr(fdTo, pszName, value, static_cast<size_t>(cbValue), 0) != 0)
            return errno;
    }
    return 0;
}

// What a file system answers for an owner or a mode it cannot hold (FAT
// through FUSE answers ENOSYS even for the ones the file already shows).
bool IsUnsupported(SysError e) {
    return e == ENOSYS || e == ENOTSUP || e == EOPNOTSUPP;
}

// Whether the work file already has the input's owner and group (bMode
// false) or its mode (true), as the file system shows them now.
SysError HoldsAccess(int fd, const FileInfo& info, bool bMode, bool* pbHolds) {
    struct stat st;
    if (Faulted(IoOp::kQuery) || ::fstat(fd, &st) != 0)
        return errno;
    *pbHolds = bMode ? (st.st_mode & 07777) == info.ulAccess
                     : st.st_uid == info.ulOwner && st.st_gid == info.ulGroup;
    return 0;
}

// Gives the work file the input's owner or mode unless it has it already:
// a file system without owners or modes may refuse even to set what it
// shows. "Not supported" loses nothing when the file, read back, has it
// anyway; any other failure, and that one otherwise, is the pass's.
SysError KeepAccess(int fd, const FileInfo& info, bool bMode) {
    bool bHolds = false;
    if (SysError e = HoldsAccess(fd, info, bMode, &bHolds))
        return e;
    if (bHolds)
        return 0;
    if (!Faulted(IoOp::kAccess) && (bMode ? ::fchmod(fd, static_cast<mode_t>(info.ulAccess))
                                          : ::fchown(fd, static_cast<uid_t>(info.ulOwner),
                                                     static_cast<gid_t>(info.ulGroup))) == 0)
        return 0;
    const SysError e = errno;
    return IsUnsupported(e) && HoldsAccess(fd, info, bMode, &bHolds) == 0 && bHolds ? 0 : e;
}

}  // namespace

SysError CopyAccess(const FileHandle& input, const FileHandle& work, const FileInfo& info) {
    // Through the descriptors, not the names: a name can be swapped for a
    // link to another file meanwhile. Owner first: changing it may clear the
    // set-id bits that the mode then restores; the mode last, as it also sets
    // the mask entry of an ACL (and copying an ACL changes the mode, so it is
    // read again). When the owner cannot be kept the pass fails, rather than
    // hand the file to another owner and group than the user gave it.
    if (SysError e = KeepAccess(Fd(work), info, false))
        return e;
    if (SysError e = CopyExtendedAttributes(Fd(input), Fd(work)))
        return e;
    return KeepAccess(Fd(work), info, true);
}

SysError StillTheInput(const Folder& folder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame) {
    // Other programs may write to the file during the pass: its name must
    // still lead to it, and its size and times must be as they were read.
    *pbSame = false;
    struct stat byName;
    struct stat byHandle;
    if (Faulted(IoOp::kQuery) ||
        ::fstatat(Dir(folder), folder.m_pszName, &byName, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (Faulted(IoOp::kQuery) || ::fstat(Fd(input), &byHandle) != 0)
        return errno;
    *pbSame = static_cast<uint64_t>(byName.st_dev) == info.ullVolume &&
              static_cast<uint64_t>(byName.st_ino) == info.ullIndex &&
              static_cast<uint64_t>(byHandle.st_size) == info.ullSize &&
              Nanoseconds(byHandle.st_mtim) == info.llWritten &&
              Nanoseconds(byHandle.st_ctim) == info.llChanged;
    return 0;
}

SysError ReplaceInput(Folder* pFolder, const FileInfo&, FileHandle* pInput, FileHandle*,
                      Replaced* pResult) {
    const Folder& folder = *pFolder;
    if (Faulted(IoOp::kMove) ||
        ::renameat(Dir(folder), kWorkName, Dir(folder), folder.m_pszName) != 0)
        return errno;
    (void)CloseFile(pInput);  // read only: closing it loses nothing
    // The rename is on disk only once the folder is.
    if (Faulted(IoOp::kSyncFolder) || ::fsync(Dir(folder)) != 0) {
        pResult->after = After::kFlushFolder;
        pResult->eAfter = errno;
    }
    return 0;
}

void RemoveOwnFiles(const Folder& folder, FileHandle* pWork, FileHandle*, bool* pbWorkLeft, bool*) {
    if (pWork->IsOpen())
        (void)CloseFile(pWork);  // being removed: its own error adds nothing
    *pbWorkLeft = Faulted(IoOp::kRemove, IoFile::kWork) ||
                  (::unlinkat(Dir(folder), kWorkName, 0) != 0 && errno != ENOENT);
}

bool IsExistsError(SysError e) {
    return e == EEXIST;
}

bool IsLinkError(SysError e) {
    // What an O_NOFOLLOW open answers for a link as the last component, and
    // the name here has no other.
    return e == ELOOP;
}

void FormatError(SysError e, char* psz, size_t cch) {
    if (cch == 0)
        return;
    std::strncpy(psz, std::strerror(e), cch - 1);
    psz[cch - 1] = '\0';
}

void AdviseSequential(const FileHandle& file) {
    // Its only failures are a bad descriptor or a pipe, which the pass has
    // refused before; the reads work the same without it.
    (void)::posix_fadvise(Fd(file), 0, 0, POSIX_FADV_SEQUENTIAL);
}

void AdviseDone(const FileHandle& file, uint64_t ullOffset, uint64_t ullLength) {
    // Fails only as AdviseSequential may; the pass goes on the same without it.
    (void)::posix_fadvise(Fd(file), static_cast<off_t>(ullOffset), static_cast<off_t>(ullLength),
                          POSIX_FADV_DONTNEED);
}

SysError QueryIdentity(const char* pszPath, FileIdentity* pId) {
    struct stat st;
    if (::lstat(pszPath, &st) != 0)
        return errno;
    pId->ullVolume = static_cast<uint64_t>(st.st_dev);
    pId->ullFile = static_cast<uint64_t>(st.st_ino);
    pId->ullFileHigh = 0;
    return 0;
}

}  // namespace fs
}  // namespace sk

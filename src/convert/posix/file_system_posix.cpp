// File operations on POSIX systems: the work file is made beside the input
// and renamed over it, and the folder flushed so that the rename lasts.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "calls.h"
#include "file_system.h"

namespace sk {

const PathRules& NativePathRules() {
    return kPosixPathRules;
}

namespace fs {

namespace {

int Fd(const FileHandle& file) {
    return static_cast<int>(file.Get());
}

const char kWorkName[] = "workfile.txt";

int64_t Nanoseconds(const struct timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

void FileHandle::Close() {
    if (IsOpen())
        (void)sys::close(static_cast<int>(Release()));  // see CloseFile
}

SysError OpenFolder(const char* pszPath, size_t cchFolder, Folder* pFolder) {
    char szFolder[4096] = ".";
    if (cchFolder >= sizeof szFolder)
        return ENAMETOOLONG;
    if (cchFolder != 0) {
        std::memcpy(szFolder, pszPath, cchFolder);
        szFolder[cchFolder] = '\0';
    }
    const int fd = sys::open(szFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    pFolder->m_dir = FileHandle(fd);
    pFolder->m_pszName = pszPath + cchFolder;
    return 0;
}

SysError OpenInput(Folder* pFolder, FileHandle* pFile, bool* pbNoDelete) {
    *pbNoDelete = false;  // the rename and its refusals tell
    // No following of a symbolic link: the rename would replace the link itself.
    // Non-blocking so that a named pipe is refused by the type check, not waited on.
    const int fd = sys::openat(Fd(pFolder->m_dir), pFolder->m_pszName,
                               O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno;
    *pFile = FileHandle(fd);
    return 0;
}

SysError QueryInput(Folder*, const FileHandle& file, FileInfo* pInfo) {
    struct stat st;
    if (sys::fstat(Fd(file), &st) != 0)
        return errno;
    pInfo->bDirectory = S_ISDIR(st.st_mode);
    pInfo->bRegular = S_ISREG(st.st_mode);
    pInfo->bLink = S_ISLNK(st.st_mode);
    pInfo->bPlaceholder = false;  // no such files here
    pInfo->bCloud = false;
    // Judged from the mode, not from access(), so that it holds for root too.
    pInfo->bReadOnly = (st.st_mode & S_IWUSR) == 0;
    pInfo->bNoDelete = false;
    pInfo->bNoWrite = false;  // a rename needs no write access to the file
    pInfo->nLinks = static_cast<unsigned long>(st.st_nlink);
    pInfo->ullSize = static_cast<uint64_t>(st.st_size);
    pInfo->facts.ulMode = st.st_mode & 07777;
    pInfo->facts.ulOwner = st.st_uid;
    pInfo->facts.ulGroup = st.st_gid;
    pInfo->facts.ullDevice = static_cast<uint64_t>(st.st_dev);
    pInfo->facts.ullInode = static_cast<uint64_t>(st.st_ino);
    pInfo->facts.ullSize = pInfo->ullSize;
    pInfo->facts.llWritten = Nanoseconds(st.st_mtim);
    pInfo->facts.llChanged = Nanoseconds(st.st_ctim);
    return 0;
}

SysError RecallInput(Folder*, const FileInfo&, FileHandle*) {
    return 0;  // never asked: nothing here is a placeholder
}

SysError CreateWork(Folder* pFolder, const FileHandle&, const FileInfo&, FileHandle* pFile) {
    // Private until it takes the input's place and permissions.
    const int fd =
        sys::openat(Fd(pFolder->m_dir), kWorkName,
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
    *pFile = FileHandle(fd);
    return 0;
}

SysError ReserveBackup(Folder*, const FileHandle&, const FileInfo&, FileHandle*) {
    return 0;  // a rename needs no second name
}

bool BackupNameTaken(Folder*) {
    return false;  // no backup name here
}

SysError ReadSome(const FileHandle& file, char* p, size_t cb, size_t* pcbRead) {
    *pcbRead = 0;
    for (;;) {
        const ssize_t n = sys::read(Fd(file), p, cb);
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
        const ssize_t n = sys::write(Fd(file), p, cb);
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
    return sys::fsync(Fd(file)) == 0 ? 0 : errno;
}

SysError StartWriteBack(const FileHandle& file, uint64_t ullOffset, uint64_t ullLength) {
#if defined(__linux__)
    if (sys::sync_file_range(Fd(file), static_cast<off64_t>(ullOffset),
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
    return sys::close(static_cast<int>(pFile->Release())) == 0 ? 0 : errno;
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
    ssize_t cbNames = sys::flistxattr(fdFrom, names, sizeof names);
    if (cbNames < 0)
        return errno == ENOTSUP ? 0 : errno;
    char value[kXattrRoom];
    for (const char* pszName = names; pszName < names + cbNames;
         pszName += std::strlen(pszName) + 1) {
        const ssize_t cbValue = sys::fgetxattr(fdFrom, pszName, value, sizeof value);
        if (cbValue < 0) {
            if (errno == ENODATA)
                continue;  // removed since the list was read
            return errno;
        }
        if (sys::fsetxattr(fdTo, pszName, value, static_cast<size_t>(cbValue), 0) != 0)
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
SysError HoldsAccess(int fd, const InputFacts& facts, bool bMode, bool* pbHolds) {
    struct stat st;
    if (sys::fstat(fd, &st) != 0)
        return errno;
    *pbHolds = bMode ? (st.st_mode & 07777) == facts.ulMode
                     : st.st_uid == facts.ulOwner && st.st_gid == facts.ulGroup;
    return 0;
}

// Gives the work file the input's owner or mode unless it has it already:
// a file system without owners or modes may refuse even to set what it
// shows. "Not supported" loses nothing when the file, read back, has it
// anyway; any other failure, and that one otherwise, is the pass's.
SysError KeepAccess(int fd, const InputFacts& facts, bool bMode) {
    bool bHolds = false;
    if (SysError e = HoldsAccess(fd, facts, bMode, &bHolds))
        return e;
    if (bHolds)
        return 0;
    if ((bMode ? sys::fchmod(fd, static_cast<mode_t>(facts.ulMode))
               : sys::fchown(fd, static_cast<uid_t>(facts.ulOwner),
                             static_cast<gid_t>(facts.ulGroup))) == 0)
        return 0;
    const SysError e = errno;
    return IsUnsupported(e) && HoldsAccess(fd, facts, bMode, &bHolds) == 0 && bHolds ? 0 : e;
}

}  // namespace

SysError CopyAccess(const FileHandle& input, const FileHandle& work, const FileInfo& info) {
    // Through the descriptors, not the names: a name can be swapped for a
    // link to another file meanwhile. Owner first: changing it may clear the
    // set-id bits that the mode then restores; the mode last, as it also sets
    // the mask entry of an ACL (and copying an ACL changes the mode, so it is
    // read again). When the owner cannot be kept the pass fails, rather than
    // hand the file to another owner and group than the user gave it.
    if (SysError e = KeepAccess(Fd(work), info.facts, false))
        return e;
    if (SysError e = CopyExtendedAttributes(Fd(input), Fd(work)))
        return e;
    return KeepAccess(Fd(work), info.facts, true);
}

SysError StillTheInput(Folder* pFolder, const FileHandle& input, const FileInfo& info,
                       bool* pbSame) {
    // Other programs may write to the file during the pass: its name must
    // still lead to it, and its size and times must be as they were read.
    *pbSame = false;
    struct stat byName;
    struct stat byHandle;
    if (sys::fstatat(Fd(pFolder->m_dir), pFolder->m_pszName, &byName, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (sys::fstat(Fd(input), &byHandle) != 0)
        return errno;
    const InputFacts& facts = info.facts;
    *pbSame = static_cast<uint64_t>(byName.st_dev) == facts.ullDevice &&
              static_cast<uint64_t>(byName.st_ino) == facts.ullInode &&
              static_cast<uint64_t>(byHandle.st_size) == facts.ullSize &&
              Nanoseconds(byHandle.st_mtim) == facts.llWritten &&
              Nanoseconds(byHandle.st_ctim) == facts.llChanged;
    return 0;
}

SysError ReplaceInput(Folder* pFolder, const FileInfo&, const FileHandle&, FileHandle*, Replaced*) {
    const int fdDir = Fd(pFolder->m_dir);
    return sys::renameat(fdDir, kWorkName, fdDir, pFolder->m_pszName) == 0 ? 0 : errno;
}

SysError RemoveBackup(Folder*, const FileHandle&) {
    return 0;  // the rename left no old file behind
}

SysError RestoreSecurity(Folder*, const FileInfo&, const FileHandle&) {
    return 0;  // CopyAccess gave the work file all of it before the rename
}

SysError MarkChanged(Folder*) {
    return 0;  // a new file is changed to every backup program
}

SysError FlushFolder(Folder* pFolder) {
    // The rename is on disk only once the folder is.
    return sys::fsync(Fd(pFolder->m_dir)) == 0 ? 0 : errno;
}

void RemoveOwnFiles(Folder* pFolder, FileHandle* pWork, FileHandle*, bool* pbWorkLeft, bool*) {
    *pWork = FileHandle();  // being removed: its close adds nothing
    *pbWorkLeft = sys::unlinkat(Fd(pFolder->m_dir), kWorkName, 0) != 0 && errno != ENOENT;
}

Cause CauseOf(SysError e) {
    switch (e) {
        case EBUSY:
        case ETXTBSY:
            return Cause::kInUse;
        case ENOENT:
        case ENOTDIR:
            return Cause::kNotFound;
        case EILSEQ:
            return Cause::kBadName;
        case EROFS:
            return Cause::kWriteProtected;
        case EACCES:
        case EPERM:
            return Cause::kDenied;
    }
    return Cause::kOther;
}

bool IsExistsError(SysError e) {
    return e == EEXIST;
}

bool IsLinkError(SysError e) {
    // What an O_NOFOLLOW open answers for a link as the last component, and
    // the name here has no other.
    return e == ELOOP;
}

bool IsProtectedFolderError(SysError) {
    return false;  // no such folders here
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
    if (sys::lstat(pszPath, &st) != 0)
        return errno;
    pId->ullVolume = static_cast<uint64_t>(st.st_dev);
    pId->ullFile = static_cast<uint64_t>(st.st_ino);
    pId->ullFileHigh = 0;
    return 0;
}

}  // namespace fs
}  // namespace sk

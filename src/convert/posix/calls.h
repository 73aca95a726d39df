// Every POSIX call of the file layer that a file or a volume answers, each
// as one thin wrapper of the same name in sk::sys. The layer calls only
// these, so that a test build can ask the volume under test (fault_seam.h)
// before each call, in the call's own terms; in the product each wrapper
// is the plain call. Each answers as the call does: -1 and errno. Hints
// whose answer changes nothing (posix_fadvise) are made directly.
#pragma once

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "fault_seam.h"

namespace sk {
namespace sys {

using seam::Asked;
using seam::ByName;
using seam::Call;
using seam::OnHandle;

// The volume's answer: true when it fails the call, with errno set.
inline bool Refused(const Asked& asked) {
    const int e = seam::Answer(asked);
    if (e != 0)
        errno = e;
    return e != 0;
}

// Asked: the name and the flags.
inline int open(const char* pszName, int nFlags) {
    const Asked asked = ByName(Call::kOpen, pszName, 0, 0, static_cast<unsigned long>(nFlags));
    if (Refused(asked))
        return -1;
    const int fd = ::open(pszName, nFlags);
    seam::Opened(asked, fd);
    return fd;
}

// Asked: the name and the flags.
inline int openat(int fdDir, const char* pszName, int nFlags, mode_t mode = 0) {
    const Asked asked = ByName(Call::kOpenat, pszName, 0, 0, static_cast<unsigned long>(nFlags));
    if (Refused(asked))
        return -1;
    const int fd = ::openat(fdDir, pszName, nFlags, mode);
    seam::Opened(asked, fd);
    return fd;
}

// The descriptor is gone whatever the volume answers, and must not be
// closed again (it may already be another file's).
inline int close(int fd) {
    const int e = seam::Answer(OnHandle(Call::kClose, fd));
    seam::Closing(fd);
    const int r = ::close(fd);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return r;
}

inline ssize_t read(int fd, void* p, size_t cb) {
    return Refused(OnHandle(Call::kRead, fd)) ? -1 : ::read(fd, p, cb);
}

inline ssize_t write(int fd, const void* p, size_t cb) {
    return Refused(OnHandle(Call::kWrite, fd)) ? -1 : ::write(fd, p, cb);
}

inline int fsync(int fd) {
    return Refused(OnHandle(Call::kFsync, fd)) ? -1 : ::fsync(fd);
}

#if defined(__linux__)
inline int sync_file_range(int fd, off64_t offset, off64_t length, unsigned int nFlags) {
    return Refused(OnHandle(Call::kSyncFileRange, fd, nFlags))
               ? -1
               : ::sync_file_range(fd, offset, length, nFlags);
}
#endif

inline int fstat(int fd, struct stat* pSt) {
    const Asked asked = OnHandle(Call::kFstat, fd);
    if (Refused(asked) || ::fstat(fd, pSt) != 0)
        return -1;
    seam::Tell(asked, pSt, sizeof *pSt);
    return 0;
}

// Asked: the name and the flags.
inline int fstatat(int fdDir, const char* pszName, struct stat* pSt, int nFlags) {
    const Asked asked = ByName(Call::kFstatat, pszName, 0, 0, static_cast<unsigned long>(nFlags));
    if (Refused(asked) || ::fstatat(fdDir, pszName, pSt, nFlags) != 0)
        return -1;
    seam::Tell(asked, pSt, sizeof *pSt);
    return 0;
}

inline int lstat(const char* pszName, struct stat* pSt) {
    return Refused(ByName(Call::kLstat, pszName)) ? -1 : ::lstat(pszName, pSt);
}

// Asked: the name moved from.
inline int renameat(int fdFrom, const char* pszFrom, int fdTo, const char* pszTo) {
    return Refused(ByName(Call::kRenameat, pszFrom)) ? -1
                                                     : ::renameat(fdFrom, pszFrom, fdTo, pszTo);
}

inline int unlinkat(int fdDir, const char* pszName, int nFlags) {
    return Refused(ByName(Call::kUnlinkat, pszName, 0, 0, static_cast<unsigned long>(nFlags)))
               ? -1
               : ::unlinkat(fdDir, pszName, nFlags);
}

// Asked: the mode, as flags.
inline int fchmod(int fd, mode_t mode) {
    return Refused(OnHandle(Call::kFchmod, fd, 0, mode)) ? -1 : ::fchmod(fd, mode);
}

inline int fchown(int fd, uid_t uid, gid_t gid) {
    return Refused(OnHandle(Call::kFchown, fd)) ? -1 : ::fchown(fd, uid, gid);
}

inline ssize_t flistxattr(int fd, char* p, size_t cb) {
    return Refused(OnHandle(Call::kFlistxattr, fd)) ? -1 : ::flistxattr(fd, p, cb);
}

inline ssize_t fgetxattr(int fd, const char* pszName, void* p, size_t cb) {
    return Refused(OnHandle(Call::kFgetxattr, fd)) ? -1 : ::fgetxattr(fd, pszName, p, cb);
}

inline int fsetxattr(int fd, const char* pszName, const void* p, size_t cb, int nFlags) {
    return Refused(OnHandle(Call::kFsetxattr, fd)) ? -1 : ::fsetxattr(fd, pszName, p, cb, nFlags);
}

}  // namespace sys
}  // namespace sk

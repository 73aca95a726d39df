// The seam inside each system-call wrapper of the file layers (win32/calls.h,
// posix/calls.h). A test build asks the volume under test how each call
// answers, in the terms of the call's own documentation: which call, about
// which name or open handle, with which access, disposition or information
// class, and flags. The volume may fail the call with a real error code,
// rewrite what it tells (in the call's own structures) or let time pass.
// In the product every wrapper is the plain call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sk {
namespace seam {

// Every system call the file layers make that a volume answers, by its name.
enum class Call {
    // Windows
    kAccessCheck,
    kCloseHandle,
    kCreateFileW,
    kDeleteFileW,
    kDuplicateToken,
    kFlushFileBuffers,
    kGetFileAttributesW,
    kGetFileInformationByHandle,
    kGetFileInformationByHandleEx,
    kGetFileType,
    kGetFinalPathNameByHandleW,
    kGetFullPathNameW,
    kGetSecurityInfo,
    kGetVolumeInformationByHandleW,
    kMoveFileExW,
    kMultiByteToWideChar,
    kOpenProcessToken,
    kReadFile,
    kReplaceFileW,
    kSetFileAttributesW,
    kSetFileInformationByHandle,
    kSetFileSecurityW,
    kWriteFile,
    // POSIX
    kClose,
    kFchmod,
    kFchown,
    kFgetxattr,
    kFlistxattr,
    kFsetxattr,
    kFstat,
    kFstatat,
    kFsync,
    kLstat,
    kOpen,
    kOpenat,
    kRead,
    kRenameat,
    kSyncFileRange,
    kUnlinkat,
    kWrite,
};

// What one call was asked. Each wrapper says which of its arguments go
// where; a call that names a file gives its name, one on an open file its
// handle (a descriptor on POSIX).
struct Asked {
    Call call;
    const wchar_t* pwszName;
    const char* pszName;
    intptr_t h;              // -1: none
    unsigned long ulAccess;  // the access asked for
    unsigned long ulHow;     // the disposition, information class or operation
    unsigned long ulFlags;   // flags, or the attributes to set
};

inline Asked ByName(Call call, const wchar_t* pwszName, unsigned long ulAccess = 0,
                    unsigned long ulHow = 0, unsigned long ulFlags = 0) {
    return Asked{call, pwszName, nullptr, -1, ulAccess, ulHow, ulFlags};
}
inline Asked ByName(Call call, const char* pszName, unsigned long ulAccess = 0,
                    unsigned long ulHow = 0, unsigned long ulFlags = 0) {
    return Asked{call, nullptr, pszName, -1, ulAccess, ulHow, ulFlags};
}
inline Asked OnHandle(Call call, intptr_t h, unsigned long ulHow = 0, unsigned long ulFlags = 0) {
    return Asked{call, nullptr, nullptr, h, 0, ulHow, ulFlags};
}

#if defined(SEARCHKEY_FAULT_INJECTION)
// Before the call: the error code it fails with, or 0 to make the real call.
int Answer(const Asked& asked);
// After a call that succeeded: what the volume tells instead, written over
// the call's own answer of cbOut bytes at pOut.
void Tell(const Asked& asked, void* pOut, size_t cbOut);
// A handle the call opened (-1: none), and one about to be closed.
void Opened(const Asked& asked, intptr_t h);
void Closing(intptr_t h);
// The volume's own clock, in milliseconds: waits pass only there.
unsigned long long Now();
void Wait(unsigned long ulMs);
#else
inline int Answer(const Asked&) {
    return 0;
}
inline void Tell(const Asked&, void*, size_t) {}
inline void Opened(const Asked&, intptr_t) {}
inline void Closing(intptr_t) {}
#endif

}  // namespace seam
}  // namespace sk

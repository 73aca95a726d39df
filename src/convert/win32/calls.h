// Every Win32 call of the Windows file layer that a file, a volume or the
// clock answers, each as one thin wrapper of the same name in sk::sys. The
// layer calls only these, so that a test build can ask the volume under
// test (fault_seam.h) before each call, in the call's own terms; in the
// product each wrapper is the plain call. Calls that only work on memory
// the layer passes in (building a security descriptor, comparing names,
// GetLastError) or ask about this process (whether it runs under Wine,
// the system's text for an error) are made directly.
#pragma once

#include <windows.h>

#include <aclapi.h>

#include "fault_seam.h"

namespace sk {
namespace sys {

using seam::Asked;
using seam::ByName;
using seam::Call;
using seam::OnHandle;

inline intptr_t Id(HANDLE h) {
    return reinterpret_cast<intptr_t>(h);
}

// The volume's answer: true when it fails the call, with the last error set.
inline bool Refused(const Asked& asked) {
    const int e = seam::Answer(asked);
    if (e != 0)
        SetLastError(static_cast<DWORD>(e));
    return e != 0;
}

// ---- opening and closing ----

// Asked: the name, its access, disposition and flags.
inline HANDLE CreateFileW(const wchar_t* pszName, DWORD dwAccess, DWORD dwShare,
                          SECURITY_ATTRIBUTES* pSa, DWORD dwHow, DWORD dwFlags) {
    const Asked asked = ByName(Call::kCreateFileW, pszName, dwAccess, dwHow, dwFlags);
    if (Refused(asked))
        return INVALID_HANDLE_VALUE;
    const HANDLE h = ::CreateFileW(pszName, dwAccess, dwShare, pSa, dwHow, dwFlags, nullptr);
    seam::Opened(asked, Id(h));
    return h;
}

// The handle is closed whatever the volume answers: it is gone either way.
inline BOOL CloseHandle(HANDLE h) {
    const int e = seam::Answer(OnHandle(Call::kCloseHandle, Id(h)));
    seam::Closing(Id(h));
    const BOOL bClosed = ::CloseHandle(h);
    if (e != 0)
        SetLastError(static_cast<DWORD>(e));
    return bClosed && e == 0;
}

// ---- reading and writing ----

inline BOOL ReadFile(HANDLE h, void* p, DWORD cb, DWORD* pcbRead) {
    return !Refused(OnHandle(Call::kReadFile, Id(h))) && ::ReadFile(h, p, cb, pcbRead, nullptr);
}

inline BOOL WriteFile(HANDLE h, const void* p, DWORD cb, DWORD* pcbWritten) {
    return !Refused(OnHandle(Call::kWriteFile, Id(h))) &&
           ::WriteFile(h, p, cb, pcbWritten, nullptr);
}

inline BOOL FlushFileBuffers(HANDLE h) {
    return !Refused(OnHandle(Call::kFlushFileBuffers, Id(h))) && ::FlushFileBuffers(h);
}

// ---- what a file and its volume tell ----

// FILE_TYPE_UNKNOWN with a last error other than NO_ERROR is a failure.
inline DWORD GetFileType(HANDLE h) {
    if (Refused(OnHandle(Call::kGetFileType, Id(h))))
        return FILE_TYPE_UNKNOWN;
    return ::GetFileType(h);
}

inline BOOL GetFileInformationByHandle(HANDLE h, BY_HANDLE_FILE_INFORMATION* pInfo) {
    const Asked asked = OnHandle(Call::kGetFileInformationByHandle, Id(h));
    if (Refused(asked) || !::GetFileInformationByHandle(h, pInfo))
        return FALSE;
    seam::Tell(asked, pInfo, sizeof *pInfo);
    return TRUE;
}

// Asked: the information class.
inline BOOL GetFileInformationByHandleEx(HANDLE h, FILE_INFO_BY_HANDLE_CLASS what, void* p,
                                         DWORD cb) {
    const Asked asked = OnHandle(Call::kGetFileInformationByHandleEx, Id(h), what);
    if (Refused(asked) || !::GetFileInformationByHandleEx(h, what, p, cb))
        return FALSE;
    seam::Tell(asked, p, cb);
    return TRUE;
}

// Asked: the information class, and as flags the attributes to set
// (FileBasicInfo) or whether to delete (FileDispositionInfo).
inline BOOL SetFileInformationByHandle(HANDLE h, FILE_INFO_BY_HANDLE_CLASS what, void* p,
                                       DWORD cb) {
    DWORD dwFlags = 0;
    if (what == FileBasicInfo)
        dwFlags = static_cast<const FILE_BASIC_INFO*>(p)->FileAttributes;
    if (what == FileDispositionInfo)
        dwFlags = static_cast<const FILE_DISPOSITION_INFO*>(p)->DeleteFile;
    return !Refused(OnHandle(Call::kSetFileInformationByHandle, Id(h), what, dwFlags)) &&
           ::SetFileInformationByHandle(h, what, p, cb);
}

// Only the volume's flags are asked for.
inline BOOL GetVolumeInformationByHandleW(HANDLE h, DWORD* pdwFlags) {
    const Asked asked = OnHandle(Call::kGetVolumeInformationByHandleW, Id(h));
    if (Refused(asked) ||
        !::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, pdwFlags, nullptr, 0))
        return FALSE;
    seam::Tell(asked, pdwFlags, sizeof *pdwFlags);
    return TRUE;
}

// 0 on failure, or the length (the room needed when cch is too small).
inline DWORD GetFinalPathNameByHandleW(HANDLE h, wchar_t* p, DWORD cch, DWORD dwFlags) {
    if (Refused(OnHandle(Call::kGetFinalPathNameByHandleW, Id(h), 0, dwFlags)))
        return 0;
    return ::GetFinalPathNameByHandleW(h, p, cch, dwFlags);
}

inline DWORD GetFileAttributesW(const wchar_t* pszName) {
    const Asked asked = ByName(Call::kGetFileAttributesW, pszName);
    if (Refused(asked))
        return INVALID_FILE_ATTRIBUTES;
    DWORD dwAttributes = ::GetFileAttributesW(pszName);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES)
        seam::Tell(asked, &dwAttributes, sizeof dwAttributes);
    return dwAttributes;
}

// Asked: the attributes to set, as flags.
inline BOOL SetFileAttributesW(const wchar_t* pszName, DWORD dwAttributes) {
    return !Refused(ByName(Call::kSetFileAttributesW, pszName, 0, 0, dwAttributes)) &&
           ::SetFileAttributesW(pszName, dwAttributes);
}

// ---- names ----

// 0 on failure, or the length (the room needed when cch is too small).
inline DWORD GetFullPathNameW(const wchar_t* pszName, DWORD cch, wchar_t* p) {
    if (Refused(ByName(Call::kGetFullPathNameW, pszName)))
        return 0;
    return ::GetFullPathNameW(pszName, cch, p, nullptr);
}

// The code page text of a path, which names no file yet. Asked: the flags.
inline int MultiByteToWideChar(UINT uCodePage, DWORD dwFlags, const char* psz, wchar_t* p,
                               int cch) {
    if (Refused(Asked{Call::kMultiByteToWideChar, nullptr, nullptr, -1, 0, 0, dwFlags}))
        return 0;
    return ::MultiByteToWideChar(uCodePage, dwFlags, psz, -1, p, cch);
}

// ---- replacing, moving, removing ----

// Asked: the replaced file's name, and the flags.
inline BOOL ReplaceFileW(const wchar_t* pszReplaced, const wchar_t* pszReplacement,
                         const wchar_t* pszBackup, DWORD dwFlags) {
    return !Refused(ByName(Call::kReplaceFileW, pszReplaced, 0, 0, dwFlags)) &&
           ::ReplaceFileW(pszReplaced, pszReplacement, pszBackup, dwFlags, nullptr, nullptr);
}

// Asked: the name moved from, and the flags.
inline BOOL MoveFileExW(const wchar_t* pszFrom, const wchar_t* pszTo, DWORD dwFlags) {
    return !Refused(ByName(Call::kMoveFileExW, pszFrom, 0, 0, dwFlags)) &&
           ::MoveFileExW(pszFrom, pszTo, dwFlags);
}

inline BOOL DeleteFileW(const wchar_t* pszName) {
    return !Refused(ByName(Call::kDeleteFileW, pszName)) && ::DeleteFileW(pszName);
}

// ---- security ----

// Returns the error code itself, as the call does. Asked: what is asked
// for, as the operation. The descriptor is the caller's to LocalFree.
inline DWORD GetSecurityInfo(HANDLE h, SECURITY_INFORMATION what, PSID* ppOwner, PACL* ppDacl,
                             PACL* ppSacl, PSECURITY_DESCRIPTOR* ppSd) {
    const Asked asked = OnHandle(Call::kGetSecurityInfo, Id(h), what);
    if (const int e = seam::Answer(asked))
        return static_cast<DWORD>(e);
    const DWORD e =
        ::GetSecurityInfo(h, SE_FILE_OBJECT, what, ppOwner, nullptr, ppDacl, ppSacl, ppSd);
    if (e == ERROR_SUCCESS)
        seam::Tell(asked, *ppSd, 0);  // a descriptor tells its own length
    return e;
}

// Stores the descriptor as given. Asked: the name and what is set, as the operation.
inline BOOL SetFileSecurityW(const wchar_t* pszName, SECURITY_INFORMATION what,
                             PSECURITY_DESCRIPTOR pSd) {
    return !Refused(ByName(Call::kSetFileSecurityW, pszName, 0, what)) &&
           ::SetFileSecurityW(pszName, what, pSd);
}

inline BOOL OpenProcessToken(DWORD dwAccess, HANDLE* ph) {
    const Asked asked{Call::kOpenProcessToken, nullptr, nullptr, -1, dwAccess, 0, 0};
    if (Refused(asked) || !::OpenProcessToken(GetCurrentProcess(), dwAccess, ph))
        return FALSE;
    seam::Opened(asked, Id(*ph));
    return TRUE;
}

inline BOOL DuplicateToken(HANDLE hToken, SECURITY_IMPERSONATION_LEVEL level, HANDLE* ph) {
    const Asked asked = OnHandle(Call::kDuplicateToken, Id(hToken), level);
    if (Refused(asked) || !::DuplicateToken(hToken, level, ph))
        return FALSE;
    seam::Opened(asked, Id(*ph));
    return TRUE;
}

// Asked: the access asked for. What the volume tells is *pbGranted.
inline BOOL AccessCheck(PSECURITY_DESCRIPTOR pSd, HANDLE hToken, DWORD dwAccess,
                        GENERIC_MAPPING* pMapping, BOOL* pbGranted) {
    const Asked asked{Call::kAccessCheck, nullptr, nullptr, Id(hToken), dwAccess, 0, 0};
    PRIVILEGE_SET privileges;
    DWORD cbPrivileges = sizeof privileges;
    DWORD dwGranted = 0;
    if (Refused(asked) || !::AccessCheck(pSd, hToken, dwAccess, pMapping, &privileges,
                                         &cbPrivileges, &dwGranted, pbGranted))
        return FALSE;
    seam::Tell(asked, pbGranted, sizeof *pbGranted);
    return TRUE;
}

// ---- time ----

#if defined(SEARCHKEY_FAULT_INJECTION)
inline ULONGLONG GetTickCount64() {
    return seam::Now();
}
inline void Sleep(DWORD dwMs) {
    seam::Wait(dwMs);
}
#else
inline ULONGLONG GetTickCount64() {
    return ::GetTickCount64();
}
inline void Sleep(DWORD dwMs) {
    ::Sleep(dwMs);
}
#endif

}  // namespace sys
}  // namespace sk

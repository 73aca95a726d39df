// What the rooms of the Windows file layer share: its handles, the names
// it makes beside the input, the one way it waits for other programs, and
// how it tells which file is where. Each room is one file of this folder;
// file_system.h says what the pass asks of them.
#pragma once

#include <cstddef>
#include <memory>

#include "calls.h"
#include "file_system.h"

namespace sk {
namespace fs {

// Every kernel handle the layer opens (files, folders, tokens).
using Handle = FileHandle;

inline HANDLE H(const FileHandle& h) {
    return reinterpret_cast<HANDLE>(h.Get());
}
inline Handle Own(HANDLE h) {
    return Handle(reinterpret_cast<intptr_t>(h));
}

// Memory the system allocated with LocalAlloc for the caller (a security
// descriptor), freed with it.
struct LocalFreer {
    void operator()(void* p) const { (void)LocalFree(p); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

SysError LastError();

// A cloud file's "always keep on this device" and "free up space": the
// user's choice, kept (Windows 10 1709 and later; older headers lack them).
const DWORD kAttributePinned = 0x00080000;
const DWORD kAttributeUnpinned = 0x00100000;

// The attributes a converted file keeps, less read-only (a read-only input
// is never converted) and the transient ones.
const DWORD kKeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                              kAttributePinned | kAttributeUnpinned;

// ---- names beside the input (paths.cpp) ----

extern const wchar_t kWorkName[];
extern const wchar_t kBackupName[];

// Sets the folder's input path from a full path of cchFull characters, in
// the "\\?\" form (a share's in "\\?\UNC\"), with room for the names beside it.
SysError SetInputPath(const wchar_t* pszFull, size_t cchFull, Folder* pFolder);

// A name in the input's folder, in the "\\?\" form.
class FolderPath {
public:
    FolderPath(const Folder& folder, const wchar_t* pszName);
    const wchar_t* Get() const { return m_wsz; }

private:
    wchar_t m_wsz[Folder::kWideRoom];
};

// ---- waiting for other programs (wait.cpp) ----

// How long opening the input may wait, and all waiting of one pass,
// counted from the first moment another program held one of its files.
const unsigned long kOpenWaitMs = 2000;
const unsigned long kPassWaitMs = 4900;

// Sharing and lock violations: another program has the file open.
bool HeldByAnother(DWORD e);
// Those, or "access denied" from a step this user has the rights for: a
// name whose delete is pending, a rename over a file held open.
bool HeldOrPending(DWORD e);
// Waits before the try after iTry failed ones: false once the waiting
// allowed (ulLimitMs, at most kPassWaitMs) is spent.
bool WaitForAnother(Folder* pFolder, int iTry, unsigned long ulLimitMs = kPassWaitMs);

// Makes tryOnce until it succeeds (true), fails for a reason that retry
// says waiting does not cure, or the waiting is spent; the last error is kept.
template <typename Try, typename Retry>
bool Retried(Folder* pFolder, Try tryOnce, Retry retry, unsigned long ulLimitMs = kPassWaitMs) {
    for (int iTry = 0;; ++iTry) {
        if (tryOnce())
            return true;
        const DWORD e = GetLastError();
        if (!retry(e) || !WaitForAnother(pFolder, iTry, ulLimitMs)) {
            SetLastError(e);
            return false;
        }
    }
}

// ---- which file is where (identity.cpp) ----

// The file id of h, compared only ever with another id read now.
SysError IdOf(HANDLE h, FileIdentity* pId);
// Known, and the same file, of two files in the input's folder.
bool SameFileHere(const FileIdentity& a, const FileIdentity& b);
// Opens a name only to ask which file it is.
Handle OpenToAsk(const wchar_t* pszPath);
// Whether the file held open as hHeld is the one now at pszPath; an error
// when that cannot be told. *pbFree: nothing is at pszPath (may be null).
SysError HeldFileIsAt(HANDLE hHeld, const wchar_t* pszPath, bool* pbAt, bool* pbFree = nullptr);

// ---- the pass's own files (own_files.cpp) ----

// Removes a name; one already gone counts as removed.
bool Remove(Folder* pFolder, const wchar_t* pszPath);
// Marks the file open as h to be deleted when the handle closes.
SysError DeleteHeld(HANDLE h);

// ---- Wine (wine_links.cpp) ----

// Under Wine only: whether the input's path leads to another file than its
// own name in its folder (Wine shows a Unix symbolic link as a plain file).
SysError LeadsElsewhereUnderWine(const Folder& folder, HANDLE hInput, bool* pbElsewhere);

}  // namespace fs
}  // namespace sk

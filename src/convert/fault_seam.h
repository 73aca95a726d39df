// The point before every operating-system call of a conversion where a test
// build can make that call fail with a real error code, or answer as a
// volume of another kind would (a memory stick, a share, a cloud folder).
// In the product it is an inline zero that the compiler removes.
#pragma once

#include <cstdint>

namespace sk {

enum class IoOp {
    kFolder,
    kOpen,
    kQuery,
    kTag,     // a file's reparse tag
    kFileId,  // a file's 128-bit id
    kName,    // the name the volume gives an open file
    kCreate,
    kRead,
    kWrite,
    kWriteBack,
    kFlush,
    kClose,
    kAccess,
    kSecurity,
    kMove,
    kReplace,
    kReplaceIgnoringAcl,  // the same, told to ignore that it cannot merge the DACL
    kSyncFolder,
    kRemove
};

// Which of the pass's files a call is about.
enum class IoFile { kOther, kInput, kWork, kBackup };

// What a volume tells of a file, in the terms the file layer uses.
struct FileFacts {
    unsigned long ulAttributes;
    unsigned long ulReparseTag;
    unsigned long ulVolumeFlags;
    uint64_t ullVolume;
    uint64_t ullIdLow;   // the 64-bit file index, or the low half of a 128-bit id
    uint64_t ullIdHigh;  // the high half of a 128-bit id
    bool b128;           // the id came whole, from the 128-bit query
};

#if defined(SEARCHKEY_FAULT_INJECTION)
// The error code the call must fail with, or 0 to make the real call.
int InjectedFault(IoOp op, IoFile file = IoFile::kOther);
// Rewrites what the test system told of a file (kQuery: its attributes and
// volume; kTag: its reparse tag; kFileId: its id) as the volume under test
// would tell it; kAccess: sees the attributes the pass gives the work file.
void InjectedFacts(IoOp op, IoFile file, FileFacts* pFacts);
// The name the volume gives the file open as hFile, from its root: the
// test system's own answer in, the volume's out.
void InjectedName(intptr_t hFile, wchar_t* pwszName, unsigned long cchRoom);
// Instead of sleeping while another program holds a file: time passes only
// for the volume under test.
void InjectedWait(unsigned long ulMs);
#else
inline int InjectedFault(IoOp, IoFile = IoFile::kOther) {
    return 0;
}
inline void InjectedFacts(IoOp, IoFile, FileFacts*) {}
inline void InjectedName(intptr_t, wchar_t*, unsigned long) {}
#endif

}  // namespace sk

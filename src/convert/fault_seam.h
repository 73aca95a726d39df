// The point before every operating-system call of a conversion where a test
// build can make that call fail with a real error code. In the product it is
// an inline zero that the compiler removes.
#pragma once

namespace sk {

enum class IoOp {
    kFolder,
    kOpen,
    kQuery,
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

#if defined(SEARCHKEY_FAULT_INJECTION)
// The error code the call must fail with, or 0 to make the real call.
int InjectedFault(IoOp op);
// The reparse tag the input is to show instead of its own (0: its own), for
// the kinds of file a test system has none of (cloud files, deduplication).
unsigned long InjectedReparseTag();
#else
inline int InjectedFault(IoOp) {
    return 0;
}
inline unsigned long InjectedReparseTag() {
    return 0;
}
#endif

}  // namespace sk

// The one way the Windows file layer waits for another program to let go
// of a file. Programs that open each new or changed file for a moment (the
// search indexer, virus scanners, sync clients) make a step fail while
// they hold it: the step is tried again, the first waits short, then every
// 100 ms, so that the end of a hold is seen soon. The window handles no
// messages while it converts, and Windows calls a window that has not for
// 5 s "not responding", which counts every moment, not only the sleeps: a
// sleep may run a clock tick long, a try that meets another program's
// oplock waits inside the call, and the pass's own work goes on between
// the waits. So waiting ends at a deadline on the system's clock, a fixed
// time after the first moment another program held one of the pass's files.
#include "layer.h"

namespace sk {
namespace fs {

namespace {
const DWORD kFirstWaits[] = {10, 20, 40, 80};
const DWORD kLongestWait = 100;
}  // namespace

bool HeldByAnother(DWORD e) {
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION;
}

bool HeldOrPending(DWORD e) {
    return HeldByAnother(e) || e == ERROR_ACCESS_DENIED;
}

bool WaitForAnother(Folder* pFolder, int iTry, unsigned long ulLimitMs) {
    const unsigned long long ullNow = sys::GetTickCount64();
    if (pFolder->m_ullHeldSince == 0)
        pFolder->m_ullHeldSince = ullNow;
    const unsigned long long ullEnd =
        pFolder->m_ullHeldSince + (ulLimitMs < kPassWaitMs ? ulLimitMs : kPassWaitMs);
    if (ullNow >= ullEnd)
        return false;
    const int cFirst = sizeof kFirstWaits / sizeof kFirstWaits[0];
    DWORD dwMs = iTry < cFirst ? kFirstWaits[iTry] : kLongestWait;
    if (dwMs > ullEnd - ullNow)
        dwMs = static_cast<DWORD>(ullEnd - ullNow);
    sys::Sleep(dwMs);
    return true;
}

}  // namespace fs
}  // namespace sk

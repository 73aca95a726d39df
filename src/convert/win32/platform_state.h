// What the Windows file layer keeps of one pass and of its input, beyond
// what the pass itself reads: the full paths it works with, the ids of
// the files it made, and when its waiting for other programs must end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file_handle.h"

namespace sk {
namespace fs {

// What QueryInput learns of the input that only this layer uses again.
struct InputFacts {
    unsigned long ulAttributes;  // those a converted file keeps (see kKeptAttributes)
    bool bSecurity;              // its volume keeps each file's security
    bool bEncrypted;             // EFS: its text must never be on the disk in clear
    uint64_t ullSize;            // size and last write, to tell a change since
    int64_t llWritten;
};

// The input's folder, fixed at the start of a pass: every name the pass
// uses is made from it once, so that all its calls name the same folder.
class Folder {
public:
    Folder()
        : m_wszInput(),
          m_cchPrefix(0),
          m_work(),
          m_reserved(),
          m_ullHeldSince(0),
          m_eOldUnproven(0) {}
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // The input's full path in the "\\?\" form, which has no length limit,
    // and how much of it is the folder, final separator included.
    static const size_t kWideRoom = 1024;
    wchar_t m_wszInput[kWideRoom];
    size_t m_cchPrefix;
    // The work file and the backup name's reservation, as created.
    FileIdentity m_work;
    FileIdentity m_reserved;
    // When another program first held one of the pass's files (the
    // system's tick count), or 0: all waiting ends a fixed time after it.
    unsigned long long m_ullHeldSince;
    // After a replacement: 0 once workfile.bak is proven to hold the old
    // file, else why it could not be (it is then never removed).
    int m_eOldUnproven;
};

}  // namespace fs
}  // namespace sk

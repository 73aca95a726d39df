// What the POSIX file layer keeps of one pass and of its input, beyond
// what the pass itself reads: the open folder, and what tells the input
// and its owner and permissions.
#pragma once

#include <cstdint>

#include "file_handle.h"

namespace sk {
namespace fs {

// What QueryInput learns of the input that only this layer uses again.
struct InputFacts {
    unsigned long ulMode;  // permission bits
    unsigned long ulOwner;
    unsigned long ulGroup;
    uint64_t ullDevice;
    uint64_t ullInode;
    uint64_t ullSize;
    int64_t llWritten;  // modification and status change times, in ns
    int64_t llChanged;
};

// The input's folder, opened once: every later call goes through it, so
// that the pass stays in one folder even if a name on the way is changed.
class Folder {
public:
    Folder() : m_dir(), m_pszName(nullptr) {}
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    FileHandle m_dir;       // opened for lookups only
    const char* m_pszName;  // the input's name in it
};

}  // namespace fs
}  // namespace sk

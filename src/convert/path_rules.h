// Where a path's folder ends and its file name begins, as a pure function so
// that the Windows rules (drive, both slashes, double-byte characters whose
// second byte is 0x5C) are tested on every platform.
#pragma once

#include <cstddef>

namespace sk {

struct PathRules {
    bool bWindows;  // backslash and drive letter separate, not only the slash
    // On Windows, whether a byte starts a double-byte character in the ANSI code page.
    bool (*pfnIsLeadByte)(unsigned char b);
};

// Lead bytes of code page 932.
bool IsCp932LeadByte(unsigned char b);

extern const PathRules kPosixPathRules;
extern const PathRules kCp932PathRules;

// The rules of the platform the program runs on (its ANSI code page on Windows).
const PathRules& NativePathRules();

// Length of the folder part of pszPath: through the last separator, or the
// drive letter and colon; 0 for a bare name. The file name is what follows.
size_t FolderLength(const char* pszPath, const PathRules& rules);

}  // namespace sk

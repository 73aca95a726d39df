// Splitting a path into folder and file name.
#include "path_rules.h"

namespace sk {

namespace {
bool NoLeadBytes(unsigned char) {
    return false;
}
bool IsAsciiLetter(unsigned char b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}
}  // namespace

bool IsCp932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

const PathRules kPosixPathRules = {false, NoLeadBytes};
const PathRules kCp932PathRules = {true, IsCp932LeadByte};

size_t FolderLength(const char* pszPath, const PathRules& rules) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pszPath);
    size_t i = 0;
    size_t cchFolder = 0;
    if (rules.bWindows && IsAsciiLetter(p[0]) && p[1] == ':')
        i = cchFolder = 2;
    while (p[i] != '\0') {
        if (rules.bWindows && rules.pfnIsLeadByte(p[i]) && p[i + 1] != '\0') {
            i += 2;  // the second byte of a character is never a separator
            continue;
        }
        if (p[i] == '/' || (rules.bWindows && p[i] == '\\'))
            cchFolder = i + 1;
        ++i;
    }
    return cchFolder;
}

}  // namespace sk

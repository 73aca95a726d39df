// Where the folder ends: the Windows rules are pure, so they are proven here too.
#include <string>

#include <gtest/gtest.h>

#include "path_rules.h"

namespace {

struct SplitCase {
    const char* pszPath;
    const char* pszFolderOnWindows;
    const char* pszFolderOnPosix;
};

const SplitCase kCases[] = {
    {"", "", ""},
    {"a.csv", "", ""},
    {"C:\\data\\a.csv", "C:\\data\\", ""},
    {"C:/data/a.csv", "C:/data/", "C:/data/"},
    {"C:a.csv", "C:", ""},
    {"C:", "C:", ""},
    {"1:a.csv", "", ""},  // only a letter makes a drive
    {"\\\\server\\share\\a.csv", "\\\\server\\share\\", ""},
    {"dir\\sub/a.csv", "dir\\sub/", "dir\\sub/"},
    {"dir/sub\\a.csv", "dir/sub\\", "dir/"},
    {"C:\\data\\", "C:\\data\\", ""},
    {"/home/u/a.csv", "/home/u/", "/home/u/"},
    {"a.b.c", "", ""},
    // 表 is 0x95 0x5C and ソ is 0x83 0x5C: their second byte is no separator.
    {"\x95\x5c.csv", "", ""},
    {"C:\\\x95\x5c\\\x83\x5c.csv", "C:\\\x95\x5c\\", ""},
    {"C:\\\x95\x5c"
     "a\\b.csv",
     "C:\\\x95\x5c"
     "a\\",
     ""},
    {"d/\x95\x5c.csv", "d/", "d/"},
    // A single-byte katakana (0xA0-0xDF) is no lead byte: the backslash after it separates.
    {"\xb1\\a.csv", "\xb1\\", ""},
    // The edges of the two lead-byte ranges.
    {"\x80\\a", "\x80\\", ""},
    {"\x81\\a", "", ""},
    {"\x9f\\a", "", ""},
    {"\xa0\\a", "\xa0\\", ""},
    {"\xdf\\a", "\xdf\\", ""},
    {"\xe0\\a", "", ""},
    {"\xfc\\a", "", ""},
    {"\xfd\\a", "\xfd\\", ""},
    // A lead byte at the very end has no second byte to protect.
    {"a\\\x95", "a\\", ""},
};

TEST(FolderLength, SplitsByTheRulesOfEachPlatform) {
    for (const SplitCase& c : kCases) {
        const std::string path = c.pszPath;
        EXPECT_EQ(std::string(c.pszFolderOnWindows),
                  path.substr(0, sk::FolderLength(c.pszPath, sk::kCp932PathRules)))
            << "Windows, path " << path;
        EXPECT_EQ(std::string(c.pszFolderOnPosix),
                  path.substr(0, sk::FolderLength(c.pszPath, sk::kPosixPathRules)))
            << "POSIX, path " << path;
    }
}

}  // namespace

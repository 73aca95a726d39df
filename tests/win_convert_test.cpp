// The file pass on Windows, through the ANSI calls and code page 932 names:
// attributes, sharing, devices and the backslash rules of real paths.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "layer.h"
#include "search_key_converter.h"
#include "temp_folder.h"

namespace {

using sk::ConvertStep;
using std::string;

string In(const TempFolder& dir, const string& name) {
    return dir.Path() + "\\" + name;
}

// Names in a folder as the ANSI calls see them (code page bytes).
std::set<string> Names(const string& folder) {
    std::set<string> names;
    WIN32_FIND_DATAA fd;
    const HANDLE h = FindFirstFileA((folder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (string(fd.cFileName) != "." && string(fd.cFileName) != "..")
            names.insert(fd.cFileName);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

void WriteA(const string& path, const string& bytes) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << path << " error " << GetLastError();
    DWORD dw = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &dw, nullptr));
    ASSERT_TRUE(CloseHandle(h));
}

string ReadA(const string& path) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<cannot open, error " + std::to_string(GetLastError()) + ">";
    string bytes;
    char buf[4096];
    DWORD dw = 0;
    while (ReadFile(h, buf, sizeof buf, &dw, nullptr) && dw != 0)
        bytes.append(buf, dw);
    CloseHandle(h);
    return bytes;
}

const char kInput[] = "id,key\r\n1,\r\n2,7\n3,0";
const char kOutput[] = "id,key100\r\n1,\r\n2,7\r\n3,0103\r\n";  // "1," keeps its key 1

TEST(WinConvert, ConvertsPathsWrittenEitherWay) {
    TempFolder dir;
    WriteA(In(dir, "a.csv"), kInput);
    SearchKeyConverter conv;
    ASSERT_EQ(1, conv.Convert(In(dir, "a.csv").c_str()));
    EXPECT_EQ(kOutput, ReadA(In(dir, "a.csv")));
    string slashed = dir.Path() + "/b.csv";
    WriteA(slashed, kInput);
    ASSERT_EQ(1, conv.Convert(slashed.c_str()));
    EXPECT_EQ(kOutput, ReadA(slashed));
    EXPECT_EQ((std::set<string>{"a.csv", "b.csv"}), Names(dir.Path()));
}

TEST(WinConvert, PutsTheWorkFileBesideANameWhoseSecondByteIsABackslash) {
    // 表 is 0x95 0x5C: the folder is 表, not a folder named with its first byte.
    if (GetACP() != 932)
        GTEST_SKIP() << "needs code page 932, this system has " << GetACP();
    TempFolder dir;
    const string folder = In(dir, "\x95\x5c");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << GetLastError();
    const string file = folder + "\\\x95\x5c.csv";
    WriteA(file, kInput);
    SearchKeyConverter conv;
    ASSERT_EQ(1, conv.Convert(file.c_str()));
    EXPECT_EQ(kOutput, ReadA(file));
    EXPECT_EQ(std::set<string>{"\x95\x5c.csv"}, Names(folder));
    EXPECT_EQ(std::set<string>{"\x95\x5c"}, Names(dir.Path()));
}

// The file's DACL (with its protection from inheritance) as text.
string Dacl(const string& path) {
    PSECURITY_DESCRIPTOR pSd = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &pSd) != ERROR_SUCCESS)
        return "<no security descriptor>";
    char* psz = nullptr;
    string text = "<cannot format>";
    if (ConvertSecurityDescriptorToStringSecurityDescriptorA(
            pSd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &psz, nullptr)) {
        text = psz;
        LocalFree(psz);
    }
    LocalFree(pSd);
    return text;
}

// Lets only this user in, and nobody through the folder's inheritance.
void MakePrivate(const string& path) {
    HANDLE hToken = nullptr;
    char buf[256];
    DWORD cb = 0;
    char* pszSid = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken));
    ASSERT_TRUE(GetTokenInformation(hToken, TokenUser, buf, sizeof buf, &cb));
    CloseHandle(hToken);
    ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &pszSid));
    PSECURITY_DESCRIPTOR pSd = nullptr;
    const string sddl = string("D:P(A;;FA;;;") + pszSid + ")";
    LocalFree(pszSid);
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                                     &pSd, nullptr));
    EXPECT_TRUE(SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, pSd)) << GetLastError();
    LocalFree(pSd);
}

// What a file carries besides its text, kept by a conversion. Wine 8 keeps
// no named streams, EFS encryption or NTFS compression, and no creation
// time it was given: those are ReplaceFile's to keep on Windows, and not
// shown here.
TEST(WinConvert, KeepsTheDaclAndAttributesButNotStreamsEfsOrCreationTimeWhichWineLacks) {
    const struct {
        const char* pszWhat;
        void (*pfnSetUp)(const string& file);
        DWORD dwAttributes;  // that the file must have afterwards
    } kKept[] = {
        {"a private DACL", MakePrivate, FILE_ATTRIBUTE_ARCHIVE},
        {"hidden, archive bit cleared",
         [](const string& file) {
             ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN));
         },
         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
    };
    for (const auto& k : kKept) {
        TempFolder dir;
        const string file = In(dir, "h.csv");
        WriteA(file, kInput);
        k.pfnSetUp(file);
        const string dacl = Dacl(file);
        SearchKeyConverter conv;
        ASSERT_EQ(1, conv.Convert(file.c_str())) << k.pszWhat;
        EXPECT_EQ(kOutput, ReadA(file)) << k.pszWhat;
        EXPECT_EQ(dacl, Dacl(file)) << k.pszWhat;
        EXPECT_EQ(k.dwAttributes, GetFileAttributesA(file.c_str()) & ~FILE_ATTRIBUTE_NORMAL)
            << k.pszWhat;
        EXPECT_EQ(std::set<string>{"h.csv"}, Names(dir.Path())) << k.pszWhat;
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(WinConvert, ConvertsAFileWhoseFolderLeavesNoRoomForTheWorkFilesName) {
    // The file's path fits the 259 bytes; the folder and "workfile.txt" would not.
    TempFolder dir;
    std::vector<std::wstring> made;  // removed here: too long for the usual calls
    string folder = dir.Path();
    while (folder.size() < 250) {
        folder += "\\" + string(std::min<size_t>(250 - folder.size() - 1, 100), 'd');
        made.push_back(L"\\\\?\\" + std::wstring(folder.begin(), folder.end()));
        ASSERT_TRUE(CreateDirectoryW(made.back().c_str(), nullptr)) << GetLastError();
    }
    const string file = folder + "\\a.csv";
    ASSERT_LT(file.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_GT(folder.size() + sizeof "\\workfile.txt", static_cast<size_t>(MAX_PATH));
    WriteA(file, kInput);
    SearchKeyConverter conv;
    EXPECT_EQ(1, conv.Convert(file.c_str())) << conv.FailedError();
    EXPECT_EQ(kOutput, ReadA(file));
    EXPECT_TRUE(DeleteFileA(file.c_str()));
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        EXPECT_TRUE(RemoveDirectoryW(it->c_str())) << GetLastError();
}

struct Refusal {
    const char* pszWhat;
    const char* pszName;  // converted in the folder
    DWORD dwAttributes;   // set on in.csv before the pass
    DWORD dwHoldAccess;   // another open handle on in.csv, if nonzero
    DWORD dwHoldShare;
    ConvertStep step;
    bool bSecondName = false;  // in.csv has a second hard link, also.csv
    bool bBackupLeft = false;  // an earlier pass left workfile.bak too
};

const Refusal kRefusals[] = {
    {"no such file", "none.csv", 0, 0, 0, ConvertStep::kNotFound},
    // Where a pass ended in the replacement, the old text may be there.
    {"no such file, workfile.bak beside it", "none.csv", 0, 0, 0, ConvertStep::kNotFound, false,
     true},
    {"no such folder", "gone\\none.csv", 0, 0, 0, ConvertStep::kNotFound},
    {"read-only", "in.csv", FILE_ATTRIBUTE_READONLY, 0, 0, ConvertStep::kReadOnly},
    {"open for writing elsewhere", "in.csv", 0, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
     ConvertStep::kInUse},
    // Known before anything is made: the pass asks for the right to delete.
    {"open elsewhere without sharing delete", "in.csv", 0, GENERIC_READ, FILE_SHARE_READ,
     ConvertStep::kInUse},
    {"a folder", "sub", 0, 0, 0, ConvertStep::kIsFolder},
    {"the work file's own name", "WORKFILE.TXT", 0, 0, 0, ConvertStep::kWorkFileExists},
    // Every file in the way is told at once.
    {"both of a killed pass's files", "in.csv", 0, 0, 0, ConvertStep::kWorkFileExists, false, true},
    {"a second hard link", "in.csv", 0, 0, 0, ConvertStep::kHardLinks, true},
};

TEST(WinConvert, RefusesAndLeavesTheFolderAsItWas) {
    for (const Refusal& r : kRefusals) {
        TempFolder dir;
        WriteA(In(dir, "in.csv"), kInput);
        WriteA(In(dir, "WORKFILE.TXT"), "somebody's data,\r\n");
        ASSERT_TRUE(CreateDirectoryA(In(dir, "sub").c_str(), nullptr));
        if (r.bSecondName) {
            ASSERT_TRUE(
                CreateHardLinkA(In(dir, "also.csv").c_str(), In(dir, "in.csv").c_str(), nullptr));
        }
        if (r.dwAttributes != 0) {
            ASSERT_TRUE(SetFileAttributesA(In(dir, "in.csv").c_str(), r.dwAttributes));
        }
        if (r.bBackupLeft)
            WriteA(In(dir, "workfile.bak"), kInput);
        HANDLE hHold = INVALID_HANDLE_VALUE;
        if (r.dwHoldAccess != 0) {
            hHold = CreateFileA(In(dir, "in.csv").c_str(), r.dwHoldAccess, r.dwHoldShare, nullptr,
                                OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, hHold) << r.pszWhat << " error " << GetLastError();
        }
        // Without the extra WORKFILE.TXT, except where it is the point.
        if (r.step != ConvertStep::kWorkFileExists) {
            ASSERT_TRUE(DeleteFileA(In(dir, "WORKFILE.TXT").c_str()));
        }
        const std::set<string> before = Names(dir.Path());

        SearchKeyConverter conv;
        EXPECT_EQ(0, conv.Convert(In(dir, r.pszName).c_str())) << r.pszWhat;
        EXPECT_EQ(r.step, conv.FailedStep()) << r.pszWhat << ", error " << conv.FailedError();
        EXPECT_FALSE(conv.WorkFileLeft()) << r.pszWhat;
        EXPECT_EQ(r.bBackupLeft, conv.BackupInTheWay()) << r.pszWhat;
        if (hHold != INVALID_HANDLE_VALUE)
            CloseHandle(hHold);
        EXPECT_EQ(kInput, ReadA(In(dir, "in.csv"))) << r.pszWhat;
        EXPECT_EQ(before, Names(dir.Path())) << r.pszWhat;
        SetFileAttributesA(In(dir, "in.csv").c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// The full path of the input becomes the "\\?\" form, which has no length
// limit: a share's in "\\?\UNC\", a device's and one in that form already kept.
TEST(WinConvert, MakesTheInputsPathWhole) {
    const struct {
        const wchar_t* pszFull;
        const wchar_t* pszInput;  // nullptr: too long
        size_t cchFolder;
    } kPaths[] = {
        {L"C:\\d\\a.csv", L"\\\\?\\C:\\d\\a.csv", 9},
        {L"\\\\nas\\share\\a.csv", L"\\\\?\\UNC\\nas\\share\\a.csv", 18},
        {L"\\\\?\\C:\\a.csv", L"\\\\?\\C:\\a.csv", 7},
        {L"\\\\.\\NUL", L"\\\\.\\NUL", 4},
        {nullptr, nullptr, 0},
    };
    for (const auto& p : kPaths) {
        const std::wstring full =
            p.pszFull != nullptr ? p.pszFull : L"C:\\" + std::wstring(1010, L'x');
        sk::fs::Folder folder;
        const sk::fs::SysError e = sk::fs::SetInputPath(full.c_str(), full.size(), &folder);
        if (p.pszInput == nullptr) {
            EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, e);
            continue;
        }
        ASSERT_EQ(0, e) << p.pszInput;
        EXPECT_EQ(std::wstring(p.pszInput), folder.m_wszInput);
        EXPECT_EQ(p.cchFolder, folder.m_cchPrefix) << p.pszInput;
    }
}

TEST(WinConvert, RefusesADevice) {
    SearchKeyConverter conv;
    EXPECT_EQ(0, conv.Convert("NUL"));
    EXPECT_EQ(ConvertStep::kNotAFile, conv.FailedStep());
}

}  // namespace

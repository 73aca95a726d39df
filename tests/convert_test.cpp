// The file pass on real files in a fresh folder each: what a successful pass
// writes, and that every failure leaves the folder exactly as it found it.
#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "outcome_texts.h"
#include "search_key_converter.h"
#include "temp_folder.h"

namespace {

using sk::ConvertStep;
using std::string;

const size_t kChunk = 1 << 20;  // the pass's read size

string Lines(int n, const char* pszText) {
    string s;
    for (int i = 0; i < n; ++i)
        s += pszText;
    return s;
}

struct PassCase {
    const char* pszWhat;
    string input;
    string output;
};

std::vector<PassCase> PassCases() {
    std::vector<PassCase> cases = {
        {"three empty keys, CR LF", "a,\r\nb,\r\nc,\r\n", "a,100\r\nb,101\r\nc,102\r\n"},
        {"only the second has a key", "a,\r\nb,5\r\nc,\r\n", "a,100\r\nb,5\r\nc,102\r\n"},
        {"empty file", "", ""},
        {"bare line feeds", "x\ny,1\n", "x100\r\ny,1\r\n"},
        {"no line end at the end", "a,1\nb,c", "a,1\r\nb,c101\r\n"},
        {"lone CRs stay", "a\rb\r\r\n\r", "a\rb\r100\r\n\r101\r\n"},
        {"byte 26 ends the input",
         "a,1\r\nb\x1a"
         "c,\r\nd\r\n",
         "a,1\r\nb101\r\n"},
        {"NUL is a byte", string("\0,0\n\0\0\n", 7),
         string("\0,0100\r\n\0\0"
                "101\r\n",
                15)},
        {"code page 932 text", "\x8c\x9f\x8d\xf5,\x83\x4c\x81\x5b\r\n",
         "\x8c\x9f\x8d\xf5,\x83\x4c\x81\x5b"
         "100\r\n"},
        // The pass reads 1 MiB at a time: put the interesting bytes on that boundary.
        {"CR LF split by a read", string(kChunk - 1, 'x') + "\r\n,",
         string(kChunk - 1, 'x') + "100\r\n,101\r\n"},
        {"lone CR at a read's end", string(kChunk - 1, 'x') + "\ry\n",
         string(kChunk - 1, 'x') + "\ry100\r\n"},
        {"byte 26 right after a read", string(kChunk, '7') + "\x1a,\n",
         string(kChunk, '7') + "\r\n"},
        {"1 MB in one line", "k," + string(1 << 20, 'v') + ",0",
         "k," + string(1 << 20, 'v') + ",0100\r\n"},
        // Unchanged lines go out as one run: here the run ends inside a line cut by a read.
        {"unchanged lines across a read", Lines(kChunk / 5 + 1, "1,1\r\n") + "x,\r\n",
         Lines(kChunk / 5 + 1, "1,1\r\n") + "x," + std::to_string(100 + kChunk / 5 + 1) + "\r\n"},
    };
    string many;
    string manyOut;
    for (int i = 0; i < 5000; ++i) {
        const string id = std::to_string(i);
        many += "r" + id + (i % 3 ? ",7\n" : ",\n");
        manyOut += "r" + id + (i % 3 ? ",7\r\n" : "," + std::to_string(100 + i) + "\r\n");
    }
    cases.push_back({"5,000 lines", many, manyOut});
    return cases;
}

TEST(Convert, RewritesTheFileInItsPlace) {
    for (const PassCase& c : PassCases()) {
        TempFolder dir;
        WriteBytes(dir / "data.csv", c.input);
        SearchKeyConverter conv;
        ASSERT_EQ(1, conv.Convert((dir / "data.csv").c_str())) << c.pszWhat;
        const std::map<string, string> expected = {{"data.csv", c.output}};
        EXPECT_TRUE(expected == dir.Snapshot()) << c.pszWhat;
        EXPECT_EQ(ConvertStep::kNone, conv.FailedStep()) << c.pszWhat;
    }
}

TEST(Convert, NumbersAgainOnASecondPass) {
    TempFolder dir;
    WriteBytes(dir / "d.txt", "a,b,\nabc\n , 0\n");
    SearchKeyConverter conv;
    ASSERT_EQ(1, conv.Convert((dir / "d.txt").c_str()));
    ASSERT_EQ("a,b,100\r\nabc101\r\n , 0102\r\n", ReadBytes(dir / "d.txt"));
    ASSERT_EQ(1, conv.Convert((dir / "d.txt").c_str()));
    EXPECT_EQ("a,b,100\r\nabc101101\r\n , 0102\r\n", ReadBytes(dir / "d.txt"));
}

// And the owner and group, where the user may give them (root; as
// another user the conversion would fail rather than take the file).
TEST(Convert, KeepsTheFilesPermissionsAndOwner) {
    for (unsigned mode : {0600u, 0640u, 0664u, 0700u, 0755u}) {
        TempFolder dir;
        WriteBytes(dir / "p.csv", "a,\n");
        const bool bRoot = ::geteuid() == 0;
        const unsigned uOwner = bRoot ? 1000 + mode : ::geteuid();
        const unsigned uGroup = bRoot ? 2000 + mode : ::getegid();
        ASSERT_EQ(0, ::chown((dir / "p.csv").c_str(), uOwner, uGroup));
        ASSERT_EQ(0, ::chmod((dir / "p.csv").c_str(), mode));
        SearchKeyConverter conv;
        ASSERT_EQ(1, conv.Convert((dir / "p.csv").c_str())) << std::oct << mode;
        struct stat st;
        ASSERT_EQ(0, ::stat((dir / "p.csv").c_str(), &st));
        EXPECT_EQ(mode, st.st_mode & 07777) << std::oct << mode;
        EXPECT_EQ(uOwner, st.st_uid) << std::oct << mode;
        EXPECT_EQ(uGroup, st.st_gid) << std::oct << mode;
    }
}

// An access ACL as the kernel stores it: owner rw, user 1234 r, group r, mask r, others none.
string AccessAcl() {
    const unsigned char bytes[] = {2,    0, 0, 0,                           // version
                                   0x01, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,   // owner
                                   0x02, 0, 4, 0, 0xd2, 0x04, 0,    0,      // user 1234
                                   0x04, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,   // group
                                   0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,   // mask
                                   0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};  // others
    return string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

TEST(Convert, KeepsTheFilesExtendedAttributesAndAcl) {
    const struct {
        const char* pszName;
        string value;
        unsigned mode;  // what the file's mode reads afterwards
    } kAttributes[] = {
        {"user.origin", "mail attachment", 0644},
        {"system.posix_acl_access", AccessAcl(), 0640},
    };
    for (const auto& a : kAttributes) {
        TempFolder dir;
        WriteBytes(dir / "x.csv", "a,\n");
        ASSERT_EQ(0, ::chmod((dir / "x.csv").c_str(), 0644));
        if (::setxattr((dir / "x.csv").c_str(), a.pszName, a.value.data(), a.value.size(), 0) != 0)
            GTEST_SKIP() << a.pszName << " cannot be set here: " << std::strerror(errno);
        SearchKeyConverter conv;
        ASSERT_EQ(1, conv.Convert((dir / "x.csv").c_str())) << a.pszName;
        char value[256];
        const ssize_t cb = ::getxattr((dir / "x.csv").c_str(), a.pszName, value, sizeof value);
        EXPECT_EQ(a.value, string(value, cb > 0 ? static_cast<size_t>(cb) : 0)) << a.pszName;
        EXPECT_EQ(a.mode, FileMode(dir / "x.csv")) << a.pszName;
    }
}

// The current directory, restored at the end of the test.
class InFolder {
public:
    explicit InFolder(const string& path) {
        if (::getcwd(m_szOld, sizeof m_szOld) == nullptr || ::chdir(path.c_str()) != 0)
            ADD_FAILURE() << "cannot change to " << path;
    }
    ~InFolder() { (void)::chdir(m_szOld); }

private:
    char m_szOld[4096];
};

TEST(Convert, ConvertsTheFileThePathNamesWhateverTheCurrentFolder) {
    TempFolder dir;
    ASSERT_EQ(0, ::mkdir((dir / "picked").c_str(), 0700));
    ASSERT_EQ(0, ::mkdir((dir / "current").c_str(), 0700));
    WriteBytes(dir / "picked/t.csv", "p,\n");
    WriteBytes(dir / "current/t.csv", "c,\n");
    InFolder cwd(dir / "current");
    SearchKeyConverter conv;
    ASSERT_EQ(1, conv.Convert((dir / "picked/t.csv").c_str()));
    const std::map<string, string> afterFolderPath = {{"current", "<dir>"},
                                                      {"current/t.csv", "c,\n"},
                                                      {"picked", "<dir>"},
                                                      {"picked/t.csv", "p,100\r\n"}};
    EXPECT_TRUE(afterFolderPath == dir.Snapshot());

    // A bare name is the file in the current folder.
    ASSERT_EQ(1, conv.Convert("t.csv"));
    EXPECT_EQ("c,100\r\n", ReadBytes(dir / "current/t.csv"));
    EXPECT_EQ("p,100\r\n", ReadBytes(dir / "picked/t.csv"));
}

TEST(Convert, SplitsAtTheSlashOnlyOnPosix) {
    // 表 ends in byte 0x5C, which is no separator here.
    TempFolder dir;
    ASSERT_EQ(0, ::mkdir((dir / "\x95\x5c").c_str(), 0700));
    WriteBytes(dir / "\x95\x5c/\x95\x5c.csv", "\x95\x5c,\n");
    SearchKeyConverter conv;
    ASSERT_EQ(1, conv.Convert((dir / "\x95\x5c/\x95\x5c.csv").c_str()));
    const std::map<string, string> expected = {{"\x95\x5c", "<dir>"},
                                               {"\x95\x5c/\x95\x5c.csv", "\x95\x5c,100\r\n"}};
    EXPECT_TRUE(expected == dir.Snapshot());
}

struct FailCase {
    const char* pszWhat;
    void (*pfnSetUp)(const TempFolder& dir);
    const char* pszPath;  // relative to the folder
    ConvertStep step;
};

void NoFiles(const TempFolder&) {}
void OneFile(const TempFolder& dir) {
    WriteBytes(dir / "in.csv", "a,\r\nb,0\r\n");
}
void OneFolder(const TempFolder& dir) {
    OneFile(dir);
    ASSERT_EQ(0, ::mkdir((dir / "sub").c_str(), 0700));
}
void ReadOnlyFile(const TempFolder& dir) {
    OneFile(dir);
    ASSERT_EQ(0, ::chmod((dir / "in.csv").c_str(), 0444));
}
void WorkFileThere(const TempFolder& dir) {
    OneFile(dir);
    WriteBytes(dir / "workfile.txt", "left from before\r\n");
}
void InputIsWorkFile(const TempFolder& dir) {
    WriteBytes(dir / "workfile.txt", "only copy,\r\n");
}
void LinkToFile(const TempFolder& dir) {
    OneFile(dir);
    ASSERT_EQ(0, ::symlink("in.csv", (dir / "link.csv").c_str()));
}
void SecondName(const TempFolder& dir) {
    OneFile(dir);
    ASSERT_EQ(0, ::link((dir / "in.csv").c_str(), (dir / "also.csv").c_str()));
}
void Pipe(const TempFolder& dir) {
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.csv").c_str(), 0600));
}
void ReadOnlyFolder(const TempFolder& dir) {
    OneFile(dir);
    ASSERT_EQ(0, ::chmod(dir.Path().c_str(), 0500));
}

const FailCase kFailCases[] = {
    {"no such file", NoFiles, "in.csv", ConvertStep::kNotFound},
    {"a folder", OneFolder, "sub", ConvertStep::kIsFolder},
    {"a folder with a slash", OneFolder, "sub/", ConvertStep::kNoFileName},
    {"a read-only file", ReadOnlyFile, "in.csv", ConvertStep::kReadOnly},
    {"workfile.txt exists", WorkFileThere, "in.csv", ConvertStep::kWorkFileExists},
    {"the input is workfile.txt", InputIsWorkFile, "workfile.txt", ConvertStep::kWorkFileExists},
    {"a symbolic link", LinkToFile, "link.csv", ConvertStep::kIsLink},
    {"a second hard link", SecondName, "in.csv", ConvertStep::kHardLinks},
    {"a named pipe", Pipe, "pipe.csv", ConvertStep::kNotAFile},
    {"a folder without write permission", ReadOnlyFolder, "in.csv", ConvertStep::kCreateWork},
};

TEST(Convert, FailsAndLeavesTheFolderAsItWas) {
    for (const FailCase& c : kFailCases) {
        if (c.pfnSetUp == ReadOnlyFolder && ::geteuid() == 0) {
            std::printf("skipped '%s': root may write into any folder\n", c.pszWhat);
            continue;
        }
        TempFolder dir;
        c.pfnSetUp(dir);
        const std::map<string, string> before = dir.Snapshot();
        SearchKeyConverter conv;
        EXPECT_EQ(0, conv.Convert((dir / c.pszPath).c_str())) << c.pszWhat;
        EXPECT_EQ(c.step, conv.FailedStep()) << c.pszWhat;
        EXPECT_FALSE(conv.WorkFileLeft()) << c.pszWhat;
        EXPECT_TRUE(before == dir.Snapshot()) << c.pszWhat;
    }
}

TEST(Convert, FailsOnAnEmptyPath) {
    SearchKeyConverter conv;
    EXPECT_EQ(0, conv.Convert(""));
    EXPECT_EQ(ConvertStep::kNoFileName, conv.FailedStep());
    EXPECT_EQ(0, conv.Convert(nullptr));
}

TEST(Convert, FailsCleanlyOnAFullDisk) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    TempFolder dir;
    const string disk = dir / "disk";
    ASSERT_EQ(0, ::mkdir(disk.c_str(), 0700));
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    // 120,000 empty lines take 120 KB and become 6 to 8 bytes each: no room.
    const string input = Lines(120000, "\n");
    WriteBytes(disk + "/big.csv", input);
    SearchKeyConverter conv;
    const int nResult = conv.Convert((disk + "/big.csv").c_str());
    const ConvertStep step = conv.FailedStep();
    const int nError = conv.FailedError();
    const bool bSame = ReadBytes(disk + "/big.csv") == input;
    const bool bWorkGone = !Exists(disk + "/workfile.txt");
    ASSERT_EQ(0, ::umount(disk.c_str()));
    EXPECT_EQ(0, nResult);
    EXPECT_EQ(ConvertStep::kWrite, step);
    EXPECT_EQ(ENOSPC, nError);
    EXPECT_TRUE(bSame);
    EXPECT_TRUE(bWorkGone);
}

// The outcome as skconv's line gives it: each cause in its own words.
TEST(Convert, DescribesWhyItFailed) {
    const struct {
        const char* pszName;
        void (*pfnSetUp)(const TempFolder& dir);
        const char* pszLine;
    } kOutcomes[] = {
        {"in.csv", WorkFileThere, "workfile.txt already exists in the file's folder"},
        {"none.csv", NoFiles, "the file is not there"},
        {"in.csv", [](const TempFolder& dir) { WriteBytes(dir / "in.csv", "PK\x03\x04"); },
         "the file is a ZIP file (such as an .xlsx workbook), not text"},
    };
    for (const auto& o : kOutcomes) {
        TempFolder dir;
        o.pfnSetUp(dir);
        SearchKeyConverter conv;
        ASSERT_EQ(0, conv.Convert((dir / o.pszName).c_str())) << o.pszLine;
        char szLine[512];
        sk::DescribeOutcome(sk::kEnglishOutcome, conv, (dir / o.pszName).c_str(), sk::Layout::kLine,
                            szLine, sizeof szLine);
        EXPECT_STREQ(o.pszLine, szLine);
    }
}

}  // namespace

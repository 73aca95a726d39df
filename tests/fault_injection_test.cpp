// Every system call of a conversion, made to fail in turn: the pass must
// answer 0, keep the cause, and leave the folder exactly as it was. Built
// against the core compiled with the seam in each call's wrapper switched
// on; on Windows the same seam answers as other kinds of volume would.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <sys/stat.h>
#endif

#include "fault_plan.h"
#include "search_key_converter.h"
#include "temp_folder.h"

namespace {

using sk::ConvertStep;
using std::string;
using Plan = std::map<int, int>;  // call number: error
using Folder = std::map<string, string>;

#if defined(_WIN32)
const int kAccessDenied = 5, kSharing = 32, kLock = 33, kInvalidParameter = 87, kDiskFull = 112,
          kCannotRemoveReplaced = 1175, kCannotMoveReplacement = 1176, kOldFileAside = 1177;
// What a volume that holds no attributes answers for setting them: Wine on
// FAT through FUSE.
const int kUnsupported = 31;  // ERROR_GEN_FAILURE
// The call that puts the work file in the input's place.
const Call kReplaceCall = Call::kReplaceFileW;
#else
const int kUnsupported = ENOSYS;  // Linux's FUSE FAT
const Call kReplaceCall = Call::kRenameat;
#endif

// The calls by name, in the order of Call.
string CallName(Call call) {
    static const char kNames[] =
        "AccessCheck CloseHandle CreateFileW DeleteFileW DuplicateToken FlushFileBuffers "
        "GetFileAttributesW GetFileInformationByHandle GetFileInformationByHandleEx GetFileType "
        "GetFinalPathNameByHandleW GetFullPathNameW GetSecurityInfo GetVolumeInformationByHandleW "
        "MoveFileExW MultiByteToWideChar OpenProcessToken ReadFile ReplaceFileW SetFileAttributesW "
        "SetFileInformationByHandle SetFileSecurityW WriteFile close fchmod fchown fgetxattr "
        "flistxattr fsetxattr fstat fstatat fsync lstat open openat read renameat sync_file_range "
        "unlinkat write";
    std::istringstream words(kNames);
    string name;
    for (int i = 0; i <= static_cast<int>(call); ++i)
        words >> name;
    return name;
}

const char* FileName(File file) {
    static const char* const kNames[] = {"any", "other", "folder", "input", "work", "backup"};
    return kNames[static_cast<size_t>(file)];
}

// The errors a real system gives for a call going wrong: one, but for
// ReplaceFile, each of whose documented failures leaves the files in
// another state, and for setting attributes, owners or modes, which a
// volume may answer "not supported".
std::vector<int> RealErrors(const Traced& t) {
#if defined(_WIN32)
    switch (t.call) {
        case Call::kCreateFileW:
            return {t.file == File::kWork || t.file == File::kBackup ? kAccessDenied : kSharing};
        case Call::kReplaceFileW:
            return {kSharing, kCannotRemoveReplaced, kCannotMoveReplacement, kOldFileAside};
        case Call::kMoveFileExW:
            return {kSharing};
        case Call::kWriteFile:
            return {kDiskFull};
        case Call::kReadFile:
        case Call::kGetFileType:
        case Call::kGetFileInformationByHandle:
        case Call::kGetFileInformationByHandleEx:
        case Call::kGetVolumeInformationByHandleW:
        case Call::kGetFinalPathNameByHandleW:
        case Call::kGetFileAttributesW:
            return {30};  // ERROR_READ_FAULT
        case Call::kCloseHandle:
        case Call::kFlushFileBuffers:
            return {29};  // ERROR_WRITE_FAULT
        case Call::kGetFullPathNameW:
        case Call::kMultiByteToWideChar:
            return {3};  // ERROR_PATH_NOT_FOUND
        case Call::kSetFileInformationByHandle:
        case Call::kSetFileAttributesW:
            return {kAccessDenied, kUnsupported};
        default:
            return {kAccessDenied};
    }
#else
    switch (t.call) {
        case Call::kOpenat:
            return {t.file == File::kWork ? ENOSPC : EACCES};
        case Call::kWrite:
            return {ENOSPC};
        case Call::kFchmod:
        case Call::kFchown:
            return {EPERM, kUnsupported};
        case Call::kFlistxattr:
        case Call::kFgetxattr:
        case Call::kFsetxattr:
        case Call::kOpen:
        case Call::kRenameat:
            return {t.call == Call::kRenameat || t.call == Call::kOpen ? EACCES : EPERM};
        default:
            return {EIO};
    }
#endif
}

// A failure the pass rides out by design: a close whose result it does not
// need, a glance or a question whose answer only saves it a step, the old
// file left aside by the replacement, which goes back before it is made
// again. Call nCall of trace, failing with nError.
bool RiddenOut(const std::vector<Traced>& trace, int nCall, int nError) {
    const Traced& t = trace.at(nCall - 1);
#if defined(_WIN32)
    // Whether the input's permissions grant writing is asked before the
    // work file is made; the replacement is the judge where it cannot be.
    const auto itWork =
        std::find(trace.begin(), trace.end(), Traced{Call::kCreateFileW, File::kWork});
    const bool bQuestion = t.call == Call::kGetSecurityInfo && nCall <= itWork - trace.begin();
    // The work file's close matters until its text has taken the input's place.
    const auto itReplace =
        std::find(trace.begin(), trace.end(), Traced{Call::kReplaceFileW, File::kInput});
    const bool bReplaced = itReplace - trace.begin() < nCall;
    return (t.call == Call::kCloseHandle && (t.file != File::kWork || bReplaced)) ||
           t.call == Call::kGetFileAttributesW || t.call == Call::kOpenProcessToken ||
           t.call == Call::kDuplicateToken || t.call == Call::kAccessCheck || bQuestion ||
           (t.call == kReplaceCall && nError == kOldFileAside);
#else
    (void)nError;
    return t.call == Call::kClose && t.file != File::kWork;
#endif
}

struct Input {
    const char* pszWhat;
    string bytes;
};

const std::vector<Input>& Inputs() {
    static const std::vector<Input> inputs = {
        {"CR LF", "id,key\r\n1,\r\n2,7\r\n"},
        {"bare LF", "a,\nb,0\nc,5\n"},
        {"no final line end", "a,1\nb,"},
        // Several reads and writes, and the write-back started on the way.
        {"a long line", "x," + string(150000, 'y') + ",0\r\nz,\r\n"},
        {"empty", ""},
    };
    return inputs;
}

struct PassRun {
    int nResult;
    SearchKeyConverter conv;
    std::vector<Traced> trace;
    unsigned long ulElapsedMs;
};

// One conversion of dir's in.csv with the calls of plan failing, each for
// as long as its step is tried again unless told otherwise, on pVolume.
void Convert(const TempFolder& dir, const Plan& plan, PassRun* pRun,
             int cTimes = FaultPlan::kAlways, const Volume* pVolume = nullptr) {
    FaultPlan::Reset();
    if (pVolume != nullptr)
        FaultPlan::SetVolume(pVolume, dir.Path());
    for (const auto& f : plan)
        FaultPlan::FailCall(f.first, f.second, cTimes);
    pRun->nResult = pRun->conv.Convert((dir / "in.csv").c_str());
    pRun->trace = FaultPlan::Trace();
    pRun->ulElapsedMs = FaultPlan::ElapsedMs();
}

// The call number (from 1) of the iNth call of call on file.
int CallOf(const std::vector<Traced>& trace, Call call, int iNth = 1, File file = File::kAny) {
    for (size_t i = 0; i < trace.size(); ++i)
        if (trace[i].call == call && (file == File::kAny || trace[i].file == file) && --iNth == 0)
            return static_cast<int>(i) + 1;
    ADD_FAILURE() << "no such call: " << CallName(call);
    return 0;
}

// Whether the last failed call of a plan came after a replacement that
// succeeded: a replacement call that was not failed, neither by the plan
// nor as a try again of a failed one right before it.
bool AfterTheReplacement(const std::vector<Traced>& trace, const Plan& plan) {
    const auto failed = [&](int n) {
        for (; n >= 1; --n) {
            if (plan.count(n) != 0)
                return true;
            if (n == 1 || !(trace[n - 1] == trace[n - 2]))
                return false;
        }
        return false;
    };
    for (int n = plan.rbegin()->first - 1; n >= 1; --n)
        if (trace[n - 1].call == kReplaceCall)
            return !failed(n);
    return false;
}

string Describe(const Input& in, const Plan& plan, const std::vector<Traced>& trace) {
    string s = string(in.pszWhat) + ", failing call";
    for (const auto& f : plan) {
        s += " " + std::to_string(f.first) + " (";
        if (f.first <= static_cast<int>(trace.size()))
            s += CallName(trace[f.first - 1].call) + " on " + FileName(trace[f.first - 1].file);
        s += ", error " + std::to_string(f.second) + ")";
    }
    return s;
}

// The converted text is on the disk before it takes the file's place, and
// the replacement is on the disk before the pass reports it.
void ExpectDurableOrder(const std::vector<Traced>& trace, bool bWritten, const string& what) {
#if defined(_WIN32)
    const Traced kOrder[] = {{Call::kWriteFile, File::kWork},
                             {Call::kFlushFileBuffers, File::kWork},
                             {Call::kCloseHandle, File::kWork},
                             {Call::kReplaceFileW, File::kInput}};
#else
    const Traced kOrder[] = {{Call::kWrite, File::kWork},
                             {Call::kFsync, File::kWork},
                             {Call::kRenameat, File::kWork},
                             {Call::kFsync, File::kFolder}};
#endif
    auto it = trace.begin();
    for (const Traced& t : kOrder) {
        if (&t == kOrder && !bWritten)
            continue;  // an empty text has no write
        it = std::find(it, trace.end(), t);
        EXPECT_NE(trace.end(), it) << what << ": no " << CallName(t.call) << " on "
                                   << FileName(t.file) << " where it belongs";
    }
    const auto itFlush = std::find(trace.begin(), trace.end(), kOrder[1]);
    EXPECT_EQ(trace.end(), std::find(itFlush, trace.end(), kOrder[0]))
        << what << ": written after its flush";
}

// Checks one failing run against the clean one.
void ExpectFailureHandled(const Input& in, const string& converted, const Plan& plan,
                          const PassRun& run, const Folder& before, const Folder& after) {
    const string what = Describe(in, plan, run.trace);
    const Traced& first = run.trace.at(plan.begin()->first - 1);
    // The old file left aside is ridden out only where it went back.
    const bool bFirstRiddenOut =
        RiddenOut(run.trace, plan.begin()->first, plan.begin()->second) &&
        !(first.call == kReplaceCall && (run.conv.OriginalStranded() || run.conv.BackupLeft()));
    const bool bLastRiddenOut = RiddenOut(run.trace, plan.rbegin()->first, plan.rbegin()->second);
    // The first failure is the cause kept, unless the pass rode it out.
    const int nCause =
        plan.size() > 1 && bFirstRiddenOut ? plan.rbegin()->second : plan.begin()->second;
    if (run.nResult == 1) {
        // Only a step after the replacement may fail and still answer 1,
        // and it is reported; or one the pass rides out.
        const bool bAfter = AfterTheReplacement(run.trace, plan);
        EXPECT_TRUE(bAfter || bLastRiddenOut || bFirstRiddenOut)
            << what << ": a failure before the replacement answered 1";
        if (bAfter && !bLastRiddenOut && !bFirstRiddenOut) {
            EXPECT_NE(ConvertStep::kNone, run.conv.WarningStep()) << what;
            EXPECT_EQ(nCause, run.conv.WarningError()) << what;
        }
        Folder expected = {{"in.csv", converted}};
        if (run.conv.WarningStep() == ConvertStep::kRemoveBackup)
            expected["workfile.bak"] = in.bytes;
        EXPECT_TRUE(expected == after) << what << ": the folder is not as converted";
        return;
    }
    if (after.count("in.csv") != 0 && after.at("in.csv") == converted && converted != in.bytes)
        ADD_FAILURE() << what << ": the failure was reported after the file was replaced";
    EXPECT_EQ(nCause, run.conv.FailedError()) << what;
    if (run.conv.OriginalStranded()) {
        // The old text is, or may be, under the backup name (where which
        // file is where could not be told), and nothing the pass made is
        // removed: the user is told where each text may be.
        EXPECT_GT(plan.size(), 1u) << what;
        EXPECT_TRUE(run.conv.WorkFileLeft()) << what;
        const bool bAside = after.count("in.csv") == 0 && after.count("workfile.bak") != 0 &&
                            after.at("workfile.bak") == in.bytes;
        const bool bInPlace = after.count("in.csv") != 0 && after.at("in.csv") == in.bytes &&
                              after.count("workfile.bak") != 0;
        EXPECT_TRUE((bAside || bInPlace) && after.count("workfile.txt") != 0 &&
                    after.at("workfile.txt") == converted)
            << what << ": the texts are not where the user is told";
        return;
    }
    // Only a failing cleanup leaves one of the pass's own files, which it
    // names; the user's file is untouched.
    Folder expected = before;
    const struct {
        bool bLeft;
        const char* pszName;
    } kLeft[] = {{run.conv.WorkFileLeft(), "workfile.txt"},
                 {run.conv.BackupLeft(), "workfile.bak"}};
    for (const auto& l : kLeft) {
        if (!l.bLeft)
            continue;
        EXPECT_GT(plan.size(), 1u) << what << ": " << l.pszName << " left";
        EXPECT_EQ(1u, after.count(l.pszName)) << what << ": " << l.pszName;
        expected[l.pszName] = after.count(l.pszName) ? after.at(l.pszName) : "";
    }
    EXPECT_TRUE(expected == after) << what << ": the folder changed";
}

TEST(FaultInjection, EveryFailedCallLeavesTheFolderAsItWas) {
    std::map<Call, int> covered;
    int nPoints = 0;
    for (const Input& in : Inputs()) {
        // A clean run first: it counts the calls and gives the converted text.
        string converted;
        std::vector<Traced> clean;
        {
            TempFolder dir;
            WriteBytes(dir / "in.csv", in.bytes);
            PassRun run;
            Convert(dir, {}, &run);
            ASSERT_EQ(1, run.nResult) << in.pszWhat;
            converted = ReadBytes(dir / "in.csv");
            clean = run.trace;
            ExpectDurableOrder(clean, !converted.empty(), in.pszWhat);
        }
        // Fail each call of the clean run in turn, then each call that the
        // failing run made afterwards (its cleanup) together with it.
        for (int n = 1; n <= static_cast<int>(clean.size()); ++n) {
            std::vector<Plan> plans;
            for (int e : RealErrors(clean[n - 1]))
                plans.push_back({{n, e}});
            const size_t cFirst = plans.size();
            for (size_t iPlan = 0; iPlan < plans.size(); ++iPlan) {
                const Plan plan = plans[iPlan];  // a copy: plans grows below
                TempFolder dir;
                WriteBytes(dir / "in.csv", in.bytes);
                const Folder before = dir.Snapshot();
                PassRun run;
                Convert(dir, plan, &run);
                ++nPoints;
                for (const auto& f : plan)
                    ++covered[run.trace.at(f.first - 1).call];
                // Then each later call of this run, once per step: a call of the
                // kind right before it is the same step tried again. A failure
                // it rides out changes nothing there, nor after it.
                // The old file left aside is the exception: it must go back.
                const bool bExpand =
                    iPlan < cFirst && (clean[n - 1].call == kReplaceCall ||
                                       !RiddenOut(run.trace, n, plan.begin()->second));
                for (int m = n + 1; bExpand && m <= static_cast<int>(run.trace.size()); ++m)
                    if (!(run.trace[m - 1] == run.trace[m - 2]) &&
                        !RiddenOut(run.trace, m, RealErrors(run.trace[m - 1]).front()))
                        plans.push_back(
                            {{n, plan.begin()->second}, {m, RealErrors(run.trace[m - 1]).front()}});
                ExpectFailureHandled(in, converted, plan, run, before, dir.Snapshot());
            }
        }
    }
    std::printf("fault injection: %d failure points exercised over %zu files:", nPoints,
                Inputs().size());
    for (const auto& c : covered)
        std::printf(" %s %d", CallName(c.first).c_str(), c.second);
    std::printf("\n");
}

// Appends bytes to a file as another program would, one that shares it
// with every other; false when the system keeps it out.
bool Append(const string& path, const string& bytes) {
#if defined(_WIN32)
    const HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    DWORD cb = 0;
    const bool bWritten =
        h != INVALID_HANDLE_VALUE &&
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h) && bWritten;
#else
    FILE* f = std::fopen(path.c_str(), "ab");
    const bool bWritten = f != nullptr && std::fputs(bytes.c_str(), f) >= 0;
    return f != nullptr && std::fclose(f) == 0 && bWritten;
#endif
}

// Another program writes to the file, or gives its name to another file,
// after the pass has read it: that must not be lost under the converted
// text. Nor may it take workfile.txt, which the pass holds with no sharing.
TEST(FaultInjection, AChangeByAnotherProgramDuringThePassIsNotLost) {
    const string original = "a,\r\nb,1\r\n";
    enum Change { kWrite, kRename, kOpenWork };
    const struct {
        const char* pszWhat;
        Change change;
    } kChanges[] = {{"the file written to", kWrite},
                    {"its name given to another file", kRename},
                    {"workfile.txt opened", kOpenWork}};
    for (const auto& c : kChanges) {
        // Right after the work file's flush: all is read and written, nothing replaced.
        int nAt = 0;
        {
            TempFolder dir;
            WriteBytes(dir / "in.csv", original);
            PassRun clean;
            Convert(dir, {}, &clean);
            ASSERT_EQ(1, clean.nResult);
            nAt = CallOf(clean.trace,
                         kReplaceCall == Call::kRenameat ? Call::kFsync : Call::kFlushFileBuffers) +
                  1;
        }
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        bool bChanged = false;
        FaultPlan::Reset();
        FaultPlan::AtCall(nAt, [&] {
            if (c.change == kRename) {
                WriteBytes(dir / "new.csv", "late,\r\n");
                bChanged = std::rename((dir / "in.csv").c_str(), (dir / "old.csv").c_str()) == 0 &&
                           std::rename((dir / "new.csv").c_str(), (dir / "in.csv").c_str()) == 0;
                return;
            }
            bChanged = Append(dir / (c.change == kWrite ? "in.csv" : "workfile.txt"),
                              c.change == kWrite ? "late,\r\n" : "");
        });
        SearchKeyConverter conv;
        const int nResult = conv.Convert((dir / "in.csv").c_str());
#if defined(_WIN32)
        // Writers are kept out for the whole pass, and everyone out of
        // workfile.txt; a rename is not.
        EXPECT_EQ(c.change == kRename, bChanged) << c.pszWhat;
#else
        EXPECT_EQ(c.change != kOpenWork || bChanged, bChanged) << c.pszWhat;
#endif
        if (!bChanged || c.change == kOpenWork) {
            EXPECT_EQ(1, nResult) << c.pszWhat;
            continue;
        }
        EXPECT_EQ(0, nResult) << c.pszWhat;
        EXPECT_EQ(ConvertStep::kChanged, conv.FailedStep()) << c.pszWhat;
        const Folder expected = c.change == kRename
                                    ? Folder{{"in.csv", "late,\r\n"}, {"old.csv", original}}
                                    : Folder{{"in.csv", original + "late,\r\n"}};
        EXPECT_TRUE(expected == dir.Snapshot()) << c.pszWhat;
    }
}

// Gives a file permissions (attributes on Windows) that a new file lacks.
void GiveAccess(const string& path) {
#if defined(_WIN32)
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
#else
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
#endif
}

// "Not supported" for giving the work file the input's permissions or
// attributes loses nothing when the work file shows them all the same (given
// here by another hand as the call fails); otherwise, or for another error,
// the pass fails and leaves the file as it was.
TEST(FaultInjection, NotSupportedIsNoFailureWhereTheWorkFileShowsTheInputsAccess) {
#if defined(_WIN32)
    const Call kSetCall = Call::kSetFileInformationByHandle;
#else
    const Call kSetCall = Call::kFchmod;
#endif
    const struct {
        int nError;
        bool bShown;
        int nResult;
    } kCases[] = {{kUnsupported, true, 1},
                  {kUnsupported, false, 0},
                  {RealErrors({kSetCall, File::kWork}).front(), true, 0}};
    int nAt = 0;  // the call that sets them, in a clean pass
    {
        TempFolder dir;
        WriteBytes(dir / "in.csv", "a,\r\n");
        GiveAccess(dir / "in.csv");
        PassRun run;
        Convert(dir, {}, &run);
        nAt = CallOf(run.trace, kSetCall, 1, File::kWork);
    }
    for (const auto& c : kCases) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", "a,\r\n");
        GiveAccess(dir / "in.csv");
        FaultPlan::Reset();
        FaultPlan::AtCall(nAt, [&] {
            if (c.bShown)
                GiveAccess(dir / "workfile.txt");
        });
        FaultPlan::FailCall(nAt, c.nError);
        SearchKeyConverter conv;
        EXPECT_EQ(c.nResult, conv.Convert((dir / "in.csv").c_str())) << c.nError << c.bShown;
        const Folder expected = {{"in.csv", c.nResult ? "a,100\r\n" : "a,\r\n"}};
        EXPECT_TRUE(expected == dir.Snapshot()) << c.nError << c.bShown;
    }
}

// Whether a trace creates the work file.
bool CreatesWork(const std::vector<Traced>& trace) {
#if defined(_WIN32)
    return std::count(trace.begin(), trace.end(), Traced{Call::kCreateFileW, File::kWork}) != 0;
#else
    return std::count(trace.begin(), trace.end(), Traced{Call::kOpenat, File::kWork}) != 0;
#endif
}

// A file that starts as a format that is not text is refused by the pass and
// the check before anything is created; text that merely starts alike converts.
TEST(FaultInjection, AFileThatIsNotTextIsRefusedBeforeAnythingIsCreated) {
    const struct {
        const char* pszWhat;
        string bytes;
        string converted;  // empty: refused
    } kFiles[] = {
        {"UTF-16 LE", "\xff\xfe,", ""},
        {"UTF-16 BE", "\xfe\xff,", ""},
        {"UTF-32 BE", string("\0\0\xfe\xff", 4), ""},
        {"JPEG", "\xff\xd8\xff\xe0", ""},
        {"ZIP", "PK\x03\x04\x14", ""},
        {"empty ZIP", "PK\x05\x06", ""},
        {"split ZIP", "PK\x07\x08PK\x03\x04", ""},
        {"ZIP marked for splitting", "PK00PK\x03\x04", ""},
        {"compound file", "\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", ""},
        {"PDF", "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n", ""},
        {"PNG", "\x89PNG\r\n\x1a\nIHDR", ""},
        {"GIF87a", "GIF87a\x01", ""},
        {"GIF89a", "GIF89a,1\n", ""},
        {"UTF-8", "\xef\xbb\xbfid,key\r\nx,\n", "\xef\xbb\xbfid,key100\r\nx,101\r\n"},
        {"compound file cut short", "\xd0\xcf\x11\xe0,1", "\xd0\xcf\x11\xe0,1\r\n"},
        {"like ZIP", "PK,1", "PK,1\r\n"},
        {"like PDF", "%PDF-A,0", "%PDF-A,0100\r\n"},
        {"like GIF", "GIF,2", "GIF,2\r\n"},
        {"like a bitmap", "BM,3", "BM,3\r\n"},
    };
    for (const auto& f : kFiles) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", f.bytes);
        const Folder before = dir.Snapshot();
        PassRun run;
        Convert(dir, {}, &run);
        if (!f.converted.empty()) {
            EXPECT_EQ(1, run.nResult) << f.pszWhat;
            EXPECT_EQ(f.converted, ReadBytes(dir / "in.csv")) << f.pszWhat;
            continue;
        }
        EXPECT_EQ(0, run.nResult) << f.pszWhat;
        EXPECT_EQ(ConvertStep::kNotText, run.conv.FailedStep()) << f.pszWhat;
        EXPECT_FALSE(CreatesWork(run.trace)) << f.pszWhat;
        EXPECT_EQ(0, run.conv.Check((dir / "in.csv").c_str())) << f.pszWhat;
        EXPECT_EQ(ConvertStep::kNotText, run.conv.FailedStep()) << f.pszWhat;
        EXPECT_TRUE(before == dir.Snapshot()) << f.pszWhat;
    }
}

#if !defined(_WIN32)
TEST(FaultInjection, InterruptedReadsAndWritesAreRetried) {
    for (const Input& in : Inputs()) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", in.bytes);
        PassRun clean;
        Convert(dir, {}, &clean);
        ASSERT_EQ(1, clean.nResult);
        const string converted = ReadBytes(dir / "in.csv");
        for (int n = 1; n <= static_cast<int>(clean.trace.size()); ++n) {
            const Call call = clean.trace[n - 1].call;
            if (call != Call::kRead && call != Call::kWrite)
                continue;
            TempFolder again;
            WriteBytes(again / "in.csv", in.bytes);
            PassRun run;
            Convert(again, {{n, EINTR}}, &run, 1);
            EXPECT_EQ(1, run.nResult) << in.pszWhat << ", EINTR on call " << n;
            EXPECT_EQ(converted, ReadBytes(again / "in.csv"))
                << in.pszWhat << ", EINTR on call " << n;
        }
    }
}
#endif

#if defined(_WIN32)
// ---- kinds of volume ----
// How each kind of volume an office keeps files on answers the pass's
// calls where that differs from Wine's view of a Linux folder, with the
// source of each answer, in the calls' own terms and structures.

const unsigned long kReparsePoint = FILE_ATTRIBUTE_REPARSE_POINT, kPinned = 0x80000,
                    kCloudTag = 0x9000001A;
// All waiting of one pass ends this long after another program first held one of its files.
const unsigned long kPassWaitMs = 4900;

// Moves the input aside under the backup name, as ReplaceFile does before
// it fails with ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 (ReplaceFileW).
void MoveOldAside(const string& folder) {
    ASSERT_TRUE(MoveFileExA((folder + "\\in.csv").c_str(), (folder + "\\workfile.bak").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
}

// The attributes a call tells, in whichever of its structures, or null.
DWORD* AttributesTold(const Asked& a, void* p) {
    if (a.call == Call::kGetFileInformationByHandle)
        return &static_cast<BY_HANDLE_FILE_INFORMATION*>(p)->dwFileAttributes;
    if (a.call == Call::kGetFileAttributesW)
        return static_cast<DWORD*>(p);
    if (a.call == Call::kGetFileInformationByHandleEx && a.ulHow == FileAttributeTagInfo)
        return &static_cast<FILE_ATTRIBUTE_TAG_INFO*>(p)->FileAttributes;
    return nullptr;
}

// Shows the input as a reparse point with the tag g_ulTag.
unsigned long g_ulTag = 0;
void ShowTag(const Asked& a, File file, void* p, unsigned long ulAlso = 0) {
    DWORD* pAttr = AttributesTold(a, p);
    if (file == File::kInput && pAttr != nullptr)
        *pAttr |= kReparsePoint | ulAlso;
    if (file == File::kInput && a.call == Call::kGetFileInformationByHandleEx &&
        a.ulHow == FileAttributeTagInfo)
        static_cast<FILE_ATTRIBUTE_TAG_INFO*>(p)->ReparseTag = g_ulTag;
}

// Sets or clears control bits of the security descriptor that GetSecurityInfo told.
void ShowControl(void* pSd, SECURITY_DESCRIPTOR_CONTROL bits, bool bSet) {
    ASSERT_TRUE(SetSecurityDescriptorControl(pSd, bits, bSet ? bits : 0));
}

// The work file was created with the input's DACL protected from
// inheritance, which NTFS keeps (DACL for a new object): right after the
// replacement the converted file's DACL shows it, where the old file's
// inherited from its folder. Wine reads every file's DACL from its mode.
void NtfsTell(const Asked& a, File file, void* p, VolumeState* pState) {
    if (a.call == Call::kGetSecurityInfo && file == File::kWork && pState->cTold++ == 0)
        ShowControl(p, SE_DACL_PROTECTED, true);
}

// FAT32 and exFAT (memory sticks, SD cards): no ACLs (FILE_PERSISTENT_ACLS
// clear), and a file index that is the position of the file's directory
// entry, which a rename moves (BY_HANDLE_FILE_INFORMATION remarks).
void FatTell(const Asked& a, File, void* p, VolumeState*) {
    if (a.call == Call::kGetVolumeInformationByHandleW)
        *static_cast<DWORD*>(p) &= ~static_cast<DWORD>(FILE_PERSISTENT_ACLS);
    if (a.call == Call::kGetFileInformationByHandle) {
        auto* pInfo = static_cast<BY_HANDLE_FILE_INFORMATION*>(p);
        const std::wstring name = FaultPlan::NameOf(
            (static_cast<uint64_t>(pInfo->nFileIndexHigh) << 32) | pInfo->nFileIndexLow);
        const uint64_t ullAt = std::hash<std::wstring>()(name) | 1;  // where the name is
        pInfo->nFileIndexHigh = static_cast<DWORD>(ullAt >> 32);
        pInfo->nFileIndexLow = static_cast<DWORD>(ullAt);
    }
}

// ReFS: the 64-bit file index is not unique; FileIdInfo holds the 128-bit
// id (BY_HANDLE_FILE_INFORMATION remarks, FILE_ID_INFO).
void RefsTell(const Asked& a, File file, void* p, VolumeState* pState) {
    if (a.call == Call::kGetFileInformationByHandle) {
        static_cast<BY_HANDLE_FILE_INFORMATION*>(p)->nFileIndexHigh = 0;
        static_cast<BY_HANDLE_FILE_INFORMATION*>(p)->nFileIndexLow = 0x5EF5;  // for every file
    }
    NtfsTell(a, file, p, pState);
}

// A WebDAV drive (and some network and FUSE volumes): every file id is 0
// (python/cpython issue 74665, winfsp/sshfs-win issue 349), no ACLs; the
// redirector names an open file where it is now.
void WebDavTell(const Asked& a, File, void* p, VolumeState*) {
    if (a.call == Call::kGetVolumeInformationByHandleW)
        *static_cast<DWORD*>(p) &= ~static_cast<DWORD>(FILE_PERSISTENT_ACLS);
    if (a.call == Call::kGetFileInformationByHandle) {
        auto* pInfo = static_cast<BY_HANDLE_FILE_INFORMATION*>(p);
        pInfo->dwVolumeSerialNumber = pInfo->nFileIndexHigh = pInfo->nFileIndexLow = 0;
    }
    if (a.call == Call::kGetFileInformationByHandleEx && a.ulHow == FileIdInfo)
        std::memset(p, 0, sizeof(FILE_ID_INFO));
    if (a.call == Call::kGetFileInformationByHandleEx && a.ulHow == FileNameInfo) {
        auto* pName = static_cast<FILE_NAME_INFO*>(p);
        const std::wstring name = FaultPlan::NameOf(FaultPlan::IndexOf(a.h));
        std::wstring told(pName->FileName, pName->FileNameLength / sizeof(wchar_t));
        told = told.substr(0, told.rfind(L'\\') + 1) + name;
        std::memcpy(pName->FileName, told.data(), told.size() * sizeof(wchar_t));
        pName->FileNameLength = static_cast<DWORD>(told.size() * sizeof(wchar_t));
    }
}

// A OneDrive folder: the file is a cloud placeholder (a reparse point with
// a cloud tag), pinned "always keep on this device" (file attribute
// constants: FILE_ATTRIBUTE_PINNED).
void OneDriveTell(const Asked& a, File file, void* p, VolumeState* pState) {
    g_ulTag = kCloudTag;
    ShowTag(a, file, p, kPinned);
    NtfsTell(a, file, p, pState);
}

// EFS: the file is encrypted (FILE_ATTRIBUTE_ENCRYPTED), which Wine has not.
void EfsTell(const Asked& a, File file, void* p, VolumeState* pState) {
    DWORD* pAttr = AttributesTold(a, p);
    if (file == File::kInput && pAttr != nullptr)
        *pAttr |= FILE_ATTRIBUTE_ENCRYPTED;
    NtfsTell(a, file, p, pState);
}

// A share that maps permissions onto its own (Samba onto POSIX ACLs): the
// converted file keeps the protection it was created with, whatever
// SetFileSecurityW gives it.
void MappedShareTell(const Asked& a, File file, void* p, VolumeState*) {
    if (a.call == Call::kGetSecurityInfo && file == File::kWork)
        ShowControl(p, SE_DACL_PROTECTED, true);
}

void NoWriteTell(const Asked& a, File file, void* p, VolumeState* pState) {
    if (a.call == Call::kAccessCheck)
        *static_cast<BOOL*>(p) = FALSE;  // not granted
    NtfsTell(a, file, p, pState);
}

// A folder where this user may create files but not delete them (the
// ReplaceFile remarks; Controlled Folder Access may answer alike): asking
// for the delete right is denied, every time.
const std::vector<Rule> kNoDelete = {
    Rule(Call::kCreateFileW, File::kInput).With(Field::kAccess, DELETE).Fails(kAccessDenied),
    Rule(Call::kDeleteFileW).Fails(kAccessDenied).Guard(),
    Rule(Call::kReplaceFileW).Fails(kAccessDenied).Guard(),
};
std::vector<Rule> Plus(std::vector<Rule> rules, const std::vector<Rule>& more) {
    rules.insert(rules.end(), more.begin(), more.end());
    return rules;
}

// What a pass on a kind of volume ends in, where not in what the situation does.
struct Profile {
    Volume volume;
    ConvertStep refusal = ConvertStep::kNone;  // every situation is refused so, the folder as found
    ConvertStep warning = ConvertStep::kNone;  // every conversion warns so ...
    int nWarning = 0;                          // ... with this error
};

const Profile kProfiles[] = {
    {{"NTFS", {Rule(Call::kSetFileSecurityW, File::kInput)}, NtfsTell}},
    // FileAttributeTagInfo and FileIdInfo fail with ERROR_INVALID_PARAMETER
    // (microsoft/STL issue 233 and pull 2373, winfsp issue 661): FileIdInfo
    // is NTFS's and ReFS's, and no file here is a reparse point to ask.
    {{"FAT32 or exFAT",
      {Rule(Call::kGetFileInformationByHandleEx).How(FileIdInfo).Fails(kInvalidParameter),
       Rule(Call::kGetFileInformationByHandleEx)
           .How(FileAttributeTagInfo)
           .Fails(kInvalidParameter)
           .Guard()},
      FatTell}},
    {{"ReFS", {}, RefsTell}},
    {{"WebDAV", {}, WebDavTell}},
    {{"OneDrive, pinned",
      {Rule(Call::kSetFileInformationByHandle, File::kWork).With(Field::kFlags, kPinned)},
      OneDriveTell}},
    {{"OneDrive, may read but not delete", kNoDelete, OneDriveTell}, ConvertStep::kMayNotReplace},
    // The text is written encrypted from its first byte ("To encrypt a new
    // file, use CreateFile with FILE_ATTRIBUTE_ENCRYPTED": Handling
    // Encrypted Files and Directories).
    {{"EFS-encrypted file",
      {Rule(Call::kCreateFileW, File::kWork).With(Field::kFlags, FILE_ATTRIBUTE_ENCRYPTED)},
      EfsTell}},
    // An SMB share or NAS box that grants write but not WRITE_DAC:
    // ReplaceFile without REPLACEFILE_IGNORE_ACL_ERRORS fails with "access
    // denied" (ReplaceFileW), and so does setting the old DACL back.
    {{"share without WRITE_DAC",
      {Rule(Call::kReplaceFileW)
           .Without(Field::kFlags, REPLACEFILE_IGNORE_ACL_ERRORS)
           .Fails(kAccessDenied),
       Rule(Call::kSetFileSecurityW).Fails(kAccessDenied)},
      NtfsTell},
     ConvertStep::kNone,
     ConvertStep::kRestoreSecurity,
     kAccessDenied},
    {{"share mapping permissions onto its own", {}, MappedShareTell},
     ConvertStep::kNone,
     ConvertStep::kRestoreSecurity,
     50},  // ERROR_NOT_SUPPORTED
    {{"may create, not delete", kNoDelete, NtfsTell}, ConvertStep::kMayNotReplace},
    // Permissions that let this user read and delete the file but not write
    // to it, which ReplaceFile needs ("The caller must have write access to
    // the file to be replaced"). Wine shows such a file as read-only.
    {{"may read and delete, not write",
      {Rule(Call::kAccessCheck).With(Field::kAccess, FILE_WRITE_DATA)},
      NoWriteTell},
     ConvertStep::kMayNotWrite},
    // The same folder while a scanner holds the file for 300 ms: the delete
    // right is denied first (access is checked before sharing), and the
    // open for reading then meets the hold.
    {{"may create, not delete, scanned",
      Plus(kNoDelete, {Rule(Call::kCreateFileW, File::kInput)
                           .Without(Field::kAccess, DELETE)
                           .Fails(kSharing)
                           .During(0, 300)}),
      NtfsTell},
     ConvertStep::kMayNotReplace},
    // Controlled Folder Access refuses a new file in a protected folder with
    // ERROR_FILE_NOT_FOUND (marktext/marktext 2663, dotnet/corefx 26561,
    // microsoft/WSL 2594); the file itself opens.
    {{"protected folder",
      {Rule(Call::kCreateFileW, File::kWork).How(CREATE_NEW).Fails(2)},
      NtfsTell},
     ConvertStep::kProtectedFolder},
    // A scanner that opens each new or changed file in turn, sharing read
    // and write but not delete, and holds it 1.5 s: the input when the pass
    // starts; workfile.txt the moment it is let go, and then workfile.bak,
    // a rename over which is denied while it is open (WINDOWS-NOTES:
    // programs that hold files for a moment; DeleteFileW, ReplaceFileW).
    {{"scanner holding 1.5 s",
      {Rule(Call::kCreateFileW, File::kInput).Fails(kSharing).During(0, 1500),
       Rule(Call::kReplaceFileW).Fails(kSharing).During(0, 1500),
       Rule(Call::kReplaceFileW).Fails(kAccessDenied).During(1500, 3000)},
      NtfsTell}},
};

// The same few situations on every kind of volume: each converts, or fails
// for its reason with the folder as it was found, within the waits of one
// pass; and every answer a volume defines is asked for.
TEST(FaultInjection, EveryKindOfVolumeConvertsOrRefusesForItsReason) {
    const string original = "a,\r\nb,1\r\n";
    const string converted = "a,100\r\nb,1\r\n";
    const string late = "late,\r\n";
    const struct {
        const char* pszWhat;
        int nError;  // the replacement's first try fails with it; 0: none
        bool bSwap;  // another program gives the name to its own file then
        ConvertStep step;
        Folder after;
    } kSituations[] = {
        {"a plain conversion", 0, false, ConvertStep::kNone, {{"in.csv", converted}}},
        {"the old file left aside, then all made again",
         kOldFileAside,
         false,
         ConvertStep::kNone,
         {{"in.csv", converted}}},
        {"a replacement that cannot be made",
         kDiskFull,
         false,
         ConvertStep::kReplace,
         {{"in.csv", original}}},
        {"the name given to another file at the last moment",
         0,
         true,
         ConvertStep::kChanged,
         {{"in.csv", late}, {"old.csv", original}}},
    };
    for (const Profile& p : kProfiles) {
        std::vector<int> answered(p.volume.rules.size(), 0);
        for (const auto& sit : kSituations) {
            const string what = string(p.volume.pszName) + ", " + sit.pszWhat;
            int nReplace = 0;  // the replacement's first try on this volume
            {
                TempFolder dir;
                WriteBytes(dir / "in.csv", original);
                PassRun run;
                Convert(dir, {}, &run, 1, &p.volume);
                const auto it =
                    std::find_if(run.trace.begin(), run.trace.end(),
                                 [](const Traced& t) { return t.call == kReplaceCall; });
                nReplace = static_cast<int>(it - run.trace.begin()) + 1;
            }
            TempFolder dir;
            WriteBytes(dir / "in.csv", original);
            FaultPlan::Reset();
            FaultPlan::SetVolume(&p.volume, dir.Path());
            if (sit.nError != 0)
                FaultPlan::FailCall(nReplace, sit.nError);
            if (sit.nError == kOldFileAside)
                FaultPlan::AtCall(nReplace, [&] { MoveOldAside(dir.Path()); });
            if (sit.bSwap) {
                FaultPlan::AtCall(nReplace, [&] {
                    ASSERT_EQ(0, std::rename((dir / "in.csv").c_str(), (dir / "old.csv").c_str()));
                    WriteBytes(dir / "in.csv", late);
                });
            }
            SearchKeyConverter conv;
            const int nResult = conv.Convert((dir / "in.csv").c_str());
            const unsigned long ulElapsed = FaultPlan::ElapsedMs();
            for (size_t i = 0; i < answered.size(); ++i)
                answered[i] += FaultPlan::Answered()[i];
            const bool bRefused = p.refusal != ConvertStep::kNone;
            const ConvertStep step = bRefused ? p.refusal : sit.step;
            EXPECT_EQ(step == ConvertStep::kNone, nResult == 1) << what;
            EXPECT_EQ(step, conv.FailedStep()) << what << ", error " << conv.FailedError();
            EXPECT_EQ(nResult == 1 ? p.warning : ConvertStep::kNone, conv.WarningStep()) << what;
            if (nResult == 1) {
                EXPECT_EQ(p.nWarning, conv.WarningError()) << what;
            }
            EXPECT_FALSE(conv.WorkFileLeft() || conv.BackupLeft() || conv.OriginalStranded())
                << what;
            EXPECT_TRUE((bRefused ? Folder{{"in.csv", original}} : sit.after) == dir.Snapshot())
                << what << ": the folder is not as expected";
            // Waiting never cures a lasting refusal, and never freezes the
            // window long enough to be called "not responding".
            EXPECT_LT(ulElapsed, 5000u) << what;
            if (bRefused) {
                if (p.refusal == ConvertStep::kMayNotReplace) {
                    EXPECT_FALSE(CreatesWork(FaultPlan::Trace())) << what;
                }
                // Only a hold is waited out, never the refusal.
                const bool bHeld = std::any_of(p.volume.rules.begin(), p.volume.rules.end(),
                                               [](const Rule& r) { return r.nError == kSharing; });
                EXPECT_EQ(bHeld, ulElapsed >= 300) << what << ": waited " << ulElapsed << " ms";
            }
        }
        for (size_t i = 0; i < answered.size(); ++i)
            EXPECT_TRUE(answered[i] > 0 || p.volume.rules[i].bGuard)
                << p.volume.pszName << ": answer " << i + 1 << " ("
                << CallName(p.volume.rules[i].call) << ") was never asked for";
    }
}

// A shared folder of a virtual machine (JuliaLang/julia issue 50596; ids
// "not guaranteed to remain constant": FILE_INTERNAL_INFORMATION): a
// file's id comes from the name its handle was opened by, so that it
// changes with a rename, and two files opened by one name compare equal.
void ByNameAtOpenTell(const Asked& a, File, void* p, VolumeState*) {
    const uint64_t ullId = 0x100 + static_cast<uint64_t>(FaultPlan::OpenedAs(a.h));
    if (a.call == Call::kGetFileInformationByHandleEx && a.ulHow == FileIdInfo) {
        std::memset(static_cast<FILE_ID_INFO*>(p)->FileId.Identifier, 0, 16);
        std::memcpy(static_cast<FILE_ID_INFO*>(p)->FileId.Identifier, &ullId, 8);
    }
    if (a.call == Call::kGetFileInformationByHandle) {
        static_cast<BY_HANDLE_FILE_INFORMATION*>(p)->nFileIndexHigh = 0;
        static_cast<BY_HANDLE_FILE_INFORMATION*>(p)->nFileIndexLow = static_cast<DWORD>(ullId);
    }
}

// Another program (the search indexer, a virus scanner, a sync client)
// holds a file a step needs: the step is tried again, and the pass ends as
// if nothing had held it up, or, where the hold outlasts the waiting of
// one pass, fails with the folder as found, within that time. What is
// under which name after a failed replacement decides what is done, never
// its error code.
TEST(FaultInjection, AStepHeldForAMomentByAnotherProgramIsTriedAgain) {
    const string original = "a,\r\nb,1\r\n";
    const string converted = "a,100\r\nb,1\r\n";
    const int kInvalidOwner = 1307;
    PassRun clean;
    {
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        Convert(dir, {}, &clean);
    }
    const int nReplace = CallOf(clean.trace, Call::kReplaceFileW);
    const auto failedTrace = [&](int nError, void (*pfnMove)(const string&)) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        FaultPlan::Reset();
        FaultPlan::FailCall(nReplace, nError);
        if (pfnMove != nullptr)
            FaultPlan::AtCall(nReplace, [&] { pfnMove(dir.Path()); });
        SearchKeyConverter conv;
        conv.Convert((dir / "in.csv").c_str());
        return FaultPlan::Trace();
    };
    const std::vector<Traced> movedBack = failedTrace(kOldFileAside, MoveOldAside);
    const std::vector<Traced> gaveUp = failedTrace(kDiskFull, nullptr);
    const Volume kLongHold = {"holds workfile.bak 10 s",
                              {Rule(Call::kReplaceFileW).Fails(kSharing).During(0, 10000)}};
    const Volume kOplocked = {"holds it for good, each try waiting 0.2 s for an oplock break",
                              {Rule(Call::kReplaceFileW).Fails(kSharing).Taking(200)}};
    const Volume kSaysKept = {
        "says both names are kept, but moved the old file aside",
        {Rule(Call::kReplaceFileW).Fails(kCannotMoveReplacement).Doing(MoveOldAside)}};
    const Volume kVmIds = {"ids by the name a handle was opened by", {}, ByNameAtOpenTell};
    const struct {
        const char* pszWhat;
        std::map<int, std::pair<int, int>> failures;  // call: error, times
        const Volume* pVolume;
        int nResult;
        bool bAside = false;          // the replacement that fails first moves the old file aside
        bool bStranded = false;       // ... and it stays there, reported
        unsigned long ulLeastMs = 0;  // the pass waited at least this long, and at most
        unsigned long ulMostMs = 0;   // this long (0: under 5 s)
    } kHolds[] = {
        {"workfile.txt's creation",
         {{CallOf(clean.trace, Call::kCreateFileW, 1, File::kWork), {kSharing, 4}}},
         nullptr,
         1},
        {"workfile.bak's creation",
         {{CallOf(clean.trace, Call::kCreateFileW, 1, File::kBackup), {kLock, 4}}},
         nullptr,
         1},
        // Only an administrator may give a file away: the user's own, as after any save.
        {"workfile.txt refused the input's owner",
         {{CallOf(clean.trace, Call::kCreateFileW, 1, File::kWork), {kInvalidOwner, 1}}},
         nullptr,
         1},
        {"the replacement, sharing", {{nReplace, {kSharing, 4}}}, nullptr, 1},
        {"the replacement, lock", {{nReplace, {kLock, 4}}}, nullptr, 1},
        // A rename over a file that another program holds open.
        {"the replacement, access denied", {{nReplace, {kAccessDenied, 4}}}, nullptr, 1},
        {"the replacement, replaced file", {{nReplace, {kCannotRemoveReplaced, 4}}}, nullptr, 1},
        {"the replacement, replacement", {{nReplace, {kCannotMoveReplacement, 4}}}, nullptr, 1},
        {"workfile.bak's removal",
         {{CallOf(clean.trace, Call::kDeleteFileW), {kSharing, 9}}},
         nullptr,
         1},
        // The old file put back after the replacement failed halfway, and all tried again.
        {"the move back after a failed replacement",
         {{nReplace, {kOldFileAside, 1}}, {CallOf(movedBack, Call::kMoveFileExW), {kSharing, 9}}},
         nullptr,
         1,
         true},
        {"the removals after a failed replacement",
         {{nReplace, {kDiskFull, 1}},
          {CallOf(gaveUp, Call::kDeleteFileW), {kLock, 9}},
          {CallOf(gaveUp, Call::kDeleteFileW, 2), {kSharing, 9}}},
         nullptr,
         0},
        {"a hold that outlasts the waiting", {}, &kLongHold, 0, false, false, kPassWaitMs},
        // The first try's wait and the last one's count besides the waiting.
        {"every try slowed by an oplock",
         {},
         &kOplocked,
         0,
         false,
         false,
         kPassWaitMs,
         kPassWaitMs + 2 * 200 + 2 * FaultPlan::kTickMs},
        // The error code says the old file is in its place; it is not.
        {"a replacement whose error hides the move", {}, &kSaysKept, 0},
        // The error code says the old file was moved aside; it was not.
        {"ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 without the move",
         {{nReplace, {kOldFileAside, 1}}},
         nullptr,
         1},
        // After the move aside, the ids say the old file is not under the
        // backup name, and the reservation is: whatever the ids say, while
        // the input's name is free nothing is removed.
        {"the old file left aside where ids change with a rename",
         {{nReplace, {kOldFileAside, 1}}},
         &kVmIds,
         0,
         true,
         true},
    };
    for (const auto& h : kHolds) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        FaultPlan::Reset();
        if (h.pVolume != nullptr)
            FaultPlan::SetVolume(h.pVolume, dir.Path());
        for (const auto& f : h.failures)
            FaultPlan::FailCall(f.first, f.second.first, f.second.second);
        if (h.bAside)
            FaultPlan::AtCall(nReplace, [&] { MoveOldAside(dir.Path()); });
        SearchKeyConverter conv;
        EXPECT_EQ(h.nResult, conv.Convert((dir / "in.csv").c_str())) << h.pszWhat;
        const unsigned long ulElapsed = FaultPlan::ElapsedMs();
        EXPECT_EQ(ConvertStep::kNone, conv.WarningStep()) << h.pszWhat;
        EXPECT_EQ(h.nResult == 1 ? ConvertStep::kNone : ConvertStep::kReplace, conv.FailedStep())
            << h.pszWhat << ", error " << conv.FailedError();
        EXPECT_EQ(h.bStranded, conv.OriginalStranded()) << h.pszWhat;
        EXPECT_EQ(h.bStranded, conv.WorkFileLeft()) << h.pszWhat;
        EXPECT_FALSE(conv.BackupLeft()) << h.pszWhat;
        const Folder expected =
            h.bStranded ? Folder{{"workfile.bak", original}, {"workfile.txt", converted}}
                        : Folder{{"in.csv", h.nResult ? converted : original}};
        EXPECT_TRUE(expected == dir.Snapshot()) << h.pszWhat << ": the folder is not as expected";
        EXPECT_GE(ulElapsed, h.ulLeastMs) << h.pszWhat;
        EXPECT_LT(ulElapsed, h.ulMostMs != 0 ? h.ulMostMs : 5000) << h.pszWhat;
    }
}

// Only a reparse point that names another file is refused; the others
// (cloud files, deduplicated files) hold the file's own text, which is read
// through a second open that brings it back from where it is kept.
TEST(FaultInjection, AReparsePointIsConvertedUnlessItNamesAnotherFile) {
    const string original = "a,\r\nb,1\r\n";
    const string converted = "a,100\r\nb,1\r\n";
    const unsigned long kCloudSubtype = 0x9000301A, kOneDrive = 0x80000021, kDedup = 0x80000013,
                        kSymlink = 0xA000000C, kMountPoint = 0xA0000003;
    const int kProviderNotRunning = 362, kCannotAccess = 1920;
    const Volume kTagged = {"tagged", {}, [](const Asked& a, File file, void* p, VolumeState*) {
                                ShowTag(a, file, p);
                            }};
    const struct {
        const char* pszWhat;
        unsigned long ulTag;
        Call failing;  // its first call after the first open fails, unless kAccessCheck
        int nError;
        ConvertStep step;
    } kTags[] = {
        {"cloud file", kCloudTag, Call::kAccessCheck, 0, ConvertStep::kNone},
        {"cloud file of another kind", kCloudSubtype, Call::kAccessCheck, 0, ConvertStep::kNone},
        {"OneDrive file", kOneDrive, Call::kAccessCheck, 0, ConvertStep::kNone},
        {"deduplicated file", kDedup, Call::kAccessCheck, 0, ConvertStep::kNone},
        {"symbolic link", kSymlink, Call::kAccessCheck, 0, ConvertStep::kIsLink},
        {"junction or mount point", kMountPoint, Call::kAccessCheck, 0, ConvertStep::kIsLink},
        {"cloud file offline", kCloudTag, Call::kCreateFileW, kProviderNotRunning,
         ConvertStep::kOffline},
        {"cloud file whose download fails", kCloudTag, Call::kReadFile, kProviderNotRunning,
         ConvertStep::kOffline},
        {"deduplicated file out of reach", kDedup, Call::kCreateFileW, kCannotAccess,
         ConvertStep::kOpenInput},
    };
    for (const auto& t : kTags) {
        g_ulTag = t.ulTag;
        int nFailing = 0;
        if (t.nError != 0) {
            TempFolder dir;
            WriteBytes(dir / "in.csv", original);
            PassRun clean;
            Convert(dir, {}, &clean, 1, &kTagged);
            nFailing = CallOf(clean.trace, t.failing, t.failing == Call::kCreateFileW ? 2 : 1,
                              File::kInput);
        }
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        PassRun run;
        Convert(dir, nFailing != 0 ? Plan{{nFailing, t.nError}} : Plan{}, &run, 1, &kTagged);
        EXPECT_EQ(t.step == ConvertStep::kNone, run.nResult == 1) << t.pszWhat;
        EXPECT_EQ(t.step, run.conv.FailedStep()) << t.pszWhat;
        EXPECT_EQ(t.nError, run.conv.FailedError()) << t.pszWhat;
        const Folder expected = {{"in.csv", run.nResult ? converted : original}};
        EXPECT_TRUE(expected == dir.Snapshot()) << t.pszWhat << ": the folder is not as expected";
        // Read through a second open, the link never opened again.
        const bool bLink = t.step == ConvertStep::kIsLink;
        const auto itWork =
            std::find(run.trace.begin(), run.trace.end(), Traced{Call::kCreateFileW, File::kWork});
        const auto opens =
            std::count(run.trace.begin(), itWork, Traced{Call::kCreateFileW, File::kInput});
        EXPECT_EQ(bLink ? 1 : 2, opens) << t.pszWhat << ": opens of the input";
    }
}
#endif

}  // namespace

// Every operating-system call of a conversion, made to fail in turn: the pass
// must answer 0, keep the cause, and leave the folder exactly as it was.
// Built against the core compiled with the fault seam switched on.
#include <algorithm>
#include <functional>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "fault_plan.h"
#include "search_key_converter.h"
#include "temp_folder.h"

namespace {

using sk::IoOp;
using std::string;

const char* OpName(IoOp op) {
    switch (op) {
        case IoOp::kFolder:
            return "folder";
        case IoOp::kOpen:
            return "open";
        case IoOp::kQuery:
            return "query";
        case IoOp::kTag:
            return "reparse tag";
        case IoOp::kFileId:
            return "file id";
        case IoOp::kName:
            return "name";
        case IoOp::kCreate:
            return "create";
        case IoOp::kRead:
            return "read";
        case IoOp::kWrite:
            return "write";
        case IoOp::kWriteBack:
            return "write-back";
        case IoOp::kFlush:
            return "flush";
        case IoOp::kClose:
            return "close";
        case IoOp::kAccess:
            return "access";
        case IoOp::kSecurity:
            return "security";
        case IoOp::kMove:
            return "move";
        case IoOp::kReplace:
            return "replace";
        case IoOp::kReplaceIgnoringAcl:
            return "replace ignoring ACL errors";
        case IoOp::kSyncFolder:
            return "folder flush";
        case IoOp::kRemove:
            return "remove";
    }
    return "?";
}

// Every kind of call the pass makes on this platform.
const IoOp kAllOps[] = {IoOp::kFolder,  IoOp::kOpen,     IoOp::kQuery, IoOp::kCreate,
                        IoOp::kRead,    IoOp::kWrite,    IoOp::kFlush, IoOp::kClose,
                        IoOp::kAccess,  IoOp::kSecurity, IoOp::kMove,  IoOp::kRemove,
#if defined(_WIN32)
                        IoOp::kReplace, IoOp::kFileId
#else
                        IoOp::kWriteBack,  // Windows writes back by itself
                        IoOp::kSyncFolder
#endif
};

// The call that puts the work file in the input's place.
#if defined(_WIN32)
const IoOp kReplaceOp = IoOp::kReplace;
#else
const IoOp kReplaceOp = IoOp::kMove;
#endif

// The error a real system gives for each kind of call going wrong.
int RealError(IoOp op) {
#if defined(_WIN32)
    const int kAccessDenied = 5, kWriteFault = 29, kReadFault = 30, kSharingViolation = 32,
              kDiskFull = 112, kPathNotFound = 3;
    switch (op) {
        case IoOp::kFolder:
            return kPathNotFound;
        case IoOp::kOpen:
            return kSharingViolation;
        case IoOp::kQuery:
        case IoOp::kTag:
        case IoOp::kFileId:
        case IoOp::kName:
            return kReadFault;
        case IoOp::kCreate:
            return kAccessDenied;
        case IoOp::kRead:
            return kReadFault;
        case IoOp::kWrite:
            return kDiskFull;
        case IoOp::kWriteBack:
            return kWriteFault;
        case IoOp::kFlush:
            return kWriteFault;
        case IoOp::kClose:
            return kWriteFault;
        case IoOp::kAccess:
            return kAccessDenied;
        case IoOp::kSecurity:
            return kAccessDenied;
        case IoOp::kMove:
            return kSharingViolation;
        case IoOp::kReplace:
        case IoOp::kReplaceIgnoringAcl:
            return kSharingViolation;
        case IoOp::kSyncFolder:
            return kWriteFault;
        case IoOp::kRemove:
            return kAccessDenied;
    }
#else
    switch (op) {
        case IoOp::kFolder:
            return EACCES;
        case IoOp::kOpen:
            return EACCES;
        case IoOp::kQuery:
        case IoOp::kTag:
        case IoOp::kFileId:
        case IoOp::kName:
            return EIO;
        case IoOp::kCreate:
            return ENOSPC;
        case IoOp::kRead:
            return EIO;
        case IoOp::kWrite:
            return ENOSPC;
        case IoOp::kWriteBack:
            return EIO;
        case IoOp::kFlush:
            return EIO;
        case IoOp::kClose:
            return EIO;
        case IoOp::kAccess:
            return EPERM;
        case IoOp::kSecurity:
            return EPERM;
        case IoOp::kMove:
            return EACCES;
        case IoOp::kReplace:
        case IoOp::kReplaceIgnoringAcl:
            return EACCES;
        case IoOp::kSyncFolder:
            return EIO;
        case IoOp::kRemove:
            return EIO;
    }
#endif
    return 0;
}

// What a volume that holds no permissions or attributes answers for setting
// them: Wine on FAT through FUSE, and Linux's FUSE FAT itself.
#if defined(_WIN32)
const int kUnsupported = 31;  // ERROR_GEN_FAILURE
#else
const int kUnsupported = ENOSYS;
#endif

// Every error a call is made to fail with: one, but for ReplaceFile, each of
// whose documented failures leaves the files in another state, and for
// setting the permissions or attributes, which may also be "not supported".
std::vector<int> RealErrors(IoOp op) {
#if defined(_WIN32)
    if (op == IoOp::kReplace)
        return {RealError(op), 1175, 1176, 1177};  // cannot remove replaced, move replacement (2)
#endif
    if (op == IoOp::kAccess)
        return {RealError(op), kUnsupported};
    return {RealError(op)};
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
        // Three reads and several writes.
        {"a long line", "x," + string(150000, 'y') + ",0\r\nz,\r\n"},
        {"empty", ""},
    };
    return inputs;
}

// One conversion with the given calls failing; returns the result.
struct PassRun {
    int nResult;
    SearchKeyConverter conv;
    std::vector<IoOp> trace;
};

// A failure goes on, unless told otherwise, for as long as the step is tried again.
void Convert(const string& path, const std::map<int, int>& failures, PassRun* pRun,
             int cTimes = FaultPlan::kAlways) {
    FaultPlan::Reset();
    for (const auto& f : failures)
        FaultPlan::FailCall(f.first, f.second, cTimes);
    pRun->nResult = pRun->conv.Convert(path.c_str());
    pRun->trace = FaultPlan::Trace();
    FaultPlan::Reset();
}

// Whether the last failed call of a plan came after a replacement that
// succeeded: a replacement call that was not failed, neither by the plan
// nor as a try again of a failed one right before it.
bool AfterTheReplacement(const std::vector<IoOp>& trace, const std::map<int, int>& plan) {
    const auto failed = [&](int n) {
        for (; n >= 1; --n) {
            if (plan.count(n) != 0)
                return true;
            if (n == 1 || trace[n - 1] != trace[n - 2])
                return false;
        }
        return false;
    };
    for (int n = plan.rbegin()->first - 1; n >= 1; --n)
        if (trace[n - 1] == kReplaceOp)
            return !failed(n);
    return false;
}

string Describe(const Input& in, const std::map<int, int>& failures,
                const std::vector<IoOp>& trace) {
    string s = string(in.pszWhat) + ", failing call";
    for (const auto& f : failures)
        s += " " + std::to_string(f.first) + " (" +
             (f.first <= static_cast<int>(trace.size()) ? OpName(trace[f.first - 1]) : "none") +
             ")";
    return s;
}

TEST(FaultInjection, EveryFailedCallLeavesTheFolderAsItWas) {
    std::map<IoOp, int> covered;
    int nPoints = 0;
    for (const Input& in : Inputs()) {
        // A clean run first: it counts the calls and gives the converted text.
        string converted;
        std::vector<IoOp> cleanTrace;
        {
            TempFolder dir;
            WriteBytes(dir / "in.csv", in.bytes);
            PassRun run;
            Convert(dir / "in.csv", {}, &run);
            ASSERT_EQ(1, run.nResult) << in.pszWhat;
            converted = ReadBytes(dir / "in.csv");
            cleanTrace = run.trace;
        }
        ASSERT_FALSE(cleanTrace.empty());

        // Fail each call of the clean run in turn, then each call that the
        // failing run made afterwards (its cleanup) together with it.
        for (int n = 1; n <= static_cast<int>(cleanTrace.size()); ++n) {
            std::vector<std::map<int, int>> plans;
            for (int e : RealErrors(cleanTrace[n - 1]))
                plans.push_back({{n, e}});
            const size_t cFirst = plans.size();
            for (size_t iPlan = 0; iPlan < plans.size(); ++iPlan) {
                const std::map<int, int> plan = plans[iPlan];  // a copy: plans grows below
                TempFolder dir;
                WriteBytes(dir / "in.csv", in.bytes);
                const std::map<string, string> before = dir.Snapshot();
                PassRun run;
                Convert(dir / "in.csv", plan, &run);
                const string what = Describe(in, plan, run.trace);
                ++nPoints;
                for (const auto& f : plan)
                    ++covered[run.trace.at(f.first - 1)];
                const std::map<string, string> after = dir.Snapshot();
                const IoOp lastFailed = run.trace.at(plan.rbegin()->first - 1);
                // The first failure is the cause that is kept, unless the pass
                // rode it out (a replacement that left the old file aside,
                // put back and made again; the close of the input after the
                // replacement): then the one that ended it.
                const int kOldFileAside = 1177;  // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2
                const IoOp firstFailed = run.trace.at(plan.begin()->first - 1);
                const bool bFirstRiddenOut =
                    plan.size() > 1 && !run.conv.OriginalStranded() &&
                    ((firstFailed == kReplaceOp && plan.begin()->second == kOldFileAside) ||
                     (firstFailed == IoOp::kClose &&
                      AfterTheReplacement(run.trace, {*plan.begin()})));
                const int nCause = bFirstRiddenOut ? plan.rbegin()->second : plan.begin()->second;
                // Then each later call of this run, once per step: a call of the
                // kind right before it is the same step tried again.
                for (int m = n + 1; iPlan < cFirst && m <= static_cast<int>(run.trace.size()); ++m)
                    if (run.trace[m - 1] != run.trace[m - 2])
                        plans.push_back(
                            {{n, plan.begin()->second}, {m, RealError(run.trace[m - 1])}});

                if (run.nResult == 1) {
                    // Only a step after the replacement may fail and still
                    // answer 1: the file is converted, and the step is
                    // reported. Or a step the pass rides out: a close whose
                    // result it does not need (the read-only input, the
                    // empty reservation), a replacement that left the old
                    // file aside and is made again once it is back.
                    const bool bAfter = AfterTheReplacement(run.trace, plan);
                    const bool bRiddenOut = lastFailed == IoOp::kClose || lastFailed == kReplaceOp;
                    EXPECT_TRUE(bAfter || bRiddenOut)
                        << what << ": a failure before the replacement answered 1";
                    if (bAfter && !bRiddenOut) {
                        EXPECT_NE(sk::ConvertStep::kNone, run.conv.WarningStep()) << what;
                        EXPECT_EQ(nCause, run.conv.WarningError()) << what;
                    }
                    EXPECT_EQ(converted, ReadBytes(dir / "in.csv")) << what;
                    std::map<string, string> expected = {{"in.csv", converted}};
                    if (run.conv.WarningStep() == sk::ConvertStep::kRemoveBackup)
                        expected["workfile.bak"] = in.bytes;
                    EXPECT_TRUE(expected == after) << what << ": the folder is not as converted";
                    continue;
                }
                if (Exists(dir / "in.csv") && ReadBytes(dir / "in.csv") == converted &&
                    converted != in.bytes)
                    ADD_FAILURE() << what
                                  << ": the failure was reported after the file was replaced";
                if (run.conv.OriginalStranded()) {
                    // The old file could not be moved back from the backup
                    // name (or not told from the reservation): it is whole
                    // there, and the user is told so.
                    EXPECT_TRUE(plan.size() > 1 &&
                                (lastFailed == IoOp::kMove || lastFailed == IoOp::kQuery ||
                                 lastFailed == IoOp::kFileId))
                        << what;
                    EXPECT_EQ(in.bytes, ReadBytes(dir / "workfile.bak")) << what;
                } else {
                    // Only a failing cleanup leaves one of the pass's own
                    // files, which it names; the user's file is untouched.
                    std::map<string, string> expected = before;
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
                EXPECT_EQ(nCause, run.conv.FailedError()) << what;
            }
        }
    }
    std::printf("fault injection: %d failure points exercised over %zu files:", nPoints,
                Inputs().size());
    for (IoOp op : kAllOps) {
        std::printf(" %s %d", OpName(op), covered[op]);
        EXPECT_GT(covered[op], 0) << "no failure of " << OpName(op) << " was exercised";
    }
    std::printf("\n");
}

// Another program writes to the file, or gives its name to another file,
// after the pass has read it: that must not be lost under the converted text.
TEST(FaultInjection, AChangeByAnotherProgramDuringThePassIsNotLost) {
    const string original = "a,\r\nb,1\r\n";
    const struct {
        const char* pszWhat;
        bool (*pfnChange)(const TempFolder& dir);  // false: the system kept the change out
    } kChanges[] = {
        {"the file written to",
         [](const TempFolder& dir) {
             FILE* f = std::fopen((dir / "in.csv").c_str(), "ab");
             return f != nullptr && std::fputs("late,\r\n", f) >= 0 && std::fclose(f) == 0;
         }},
        {"its name given to another file",
         [](const TempFolder& dir) {
             WriteBytes(dir / "new.csv", "late,\r\n");
             return std::rename((dir / "in.csv").c_str(), (dir / "old.csv").c_str()) == 0 &&
                    std::rename((dir / "new.csv").c_str(), (dir / "in.csv").c_str()) == 0;
         }},
    };
    for (const auto& c : kChanges) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        PassRun clean;
        Convert(dir / "in.csv", {}, &clean);
        ASSERT_EQ(1, clean.nResult);
        // Right after the work file's flush: all is read and written, nothing replaced.
        const auto itFlush = std::find(clean.trace.begin(), clean.trace.end(), IoOp::kFlush);
        ASSERT_NE(clean.trace.end(), itFlush);
        const int nAt = static_cast<int>(itFlush - clean.trace.begin()) + 2;

        TempFolder again;
        WriteBytes(again / "in.csv", original);
        bool bChanged = false;
        FaultPlan::Reset();
        FaultPlan::AtCall(nAt, [&] { bChanged = c.pfnChange(again); });
        SearchKeyConverter conv;
        const int nResult = conv.Convert((again / "in.csv").c_str());
        FaultPlan::Reset();
#if defined(_WIN32)
        // Writers are kept out for the whole pass; a rename is not.
        EXPECT_EQ(c.pfnChange != kChanges[0].pfnChange, bChanged) << c.pszWhat;
#else
        EXPECT_TRUE(bChanged) << c.pszWhat;
#endif
        if (!bChanged) {
            EXPECT_EQ(1, nResult) << c.pszWhat;
            continue;
        }
        EXPECT_EQ(0, nResult) << c.pszWhat;
        EXPECT_EQ(sk::ConvertStep::kChanged, conv.FailedStep()) << c.pszWhat;
        std::map<string, string> expected = {{"in.csv", original + "late,\r\n"}};
        if (c.pfnChange != kChanges[0].pfnChange)
            expected = {{"in.csv", "late,\r\n"}, {"old.csv", original}};
        EXPECT_TRUE(expected == again.Snapshot()) << c.pszWhat;
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
    const struct {
        int nError;
        bool bShown;
        int nResult;
    } kCases[] = {
        {kUnsupported, true, 1}, {kUnsupported, false, 0}, {RealError(IoOp::kAccess), true, 0}};
    int nAt = 0;  // the call that sets them, in a clean pass
    {
        TempFolder dir;
        WriteBytes(dir / "in.csv", "a,\r\n");
        GiveAccess(dir / "in.csv");
        PassRun run;
        Convert(dir / "in.csv", {}, &run);
        nAt = static_cast<int>(std::find(run.trace.begin(), run.trace.end(), IoOp::kAccess) -
                               run.trace.begin()) +
              1;
        ASSERT_LE(nAt, static_cast<int>(run.trace.size()));
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
        FaultPlan::Reset();
        const std::map<string, string> expected = {{"in.csv", c.nResult ? "a,100\r\n" : "a,\r\n"}};
        EXPECT_TRUE(expected == dir.Snapshot()) << c.nError << c.bShown;
    }
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
        const std::map<string, string> before = dir.Snapshot();
        PassRun run;
        Convert(dir / "in.csv", {}, &run);
        if (!f.converted.empty()) {
            EXPECT_EQ(1, run.nResult) << f.pszWhat;
            EXPECT_EQ(f.converted, ReadBytes(dir / "in.csv")) << f.pszWhat;
            continue;
        }
        EXPECT_EQ(0, run.nResult) << f.pszWhat;
        EXPECT_EQ(sk::ConvertStep::kNotText, run.conv.FailedStep()) << f.pszWhat;
        EXPECT_EQ(0, std::count(run.trace.begin(), run.trace.end(), IoOp::kCreate)) << f.pszWhat;
        EXPECT_EQ(0, run.conv.Check((dir / "in.csv").c_str())) << f.pszWhat;
        EXPECT_EQ(sk::ConvertStep::kNotText, run.conv.FailedStep()) << f.pszWhat;
        EXPECT_TRUE(before == dir.Snapshot()) << f.pszWhat;
    }
}

#if defined(_WIN32)
// The calls of a clean conversion of bytes, with the input showing ulTag.
std::vector<IoOp> CleanTrace(const string& bytes, unsigned long ulTag = 0) {
    TempFolder dir;
    WriteBytes(dir / "in.csv", bytes);
    FaultPlan::Reset();
    FaultPlan::ShowReparseTag(ulTag);
    SearchKeyConverter conv;
    EXPECT_EQ(1, conv.Convert((dir / "in.csv").c_str()));
    const std::vector<IoOp> trace = FaultPlan::Trace();
    FaultPlan::Reset();
    return trace;
}

// The call number (from 1) of the iNth call of kind op.
int CallOf(const std::vector<IoOp>& trace, IoOp op, int iNth = 1) {
    for (size_t i = 0; i < trace.size(); ++i)
        if (trace[i] == op && --iNth == 0)
            return static_cast<int>(i) + 1;
    ADD_FAILURE() << "no such call: " << OpName(op);
    return 0;
}

// Another program (the search indexer, a virus scanner, a sync client)
// holds the file a step needs for a moment: the step is tried again, and
// the pass ends as if nothing had held it up.
TEST(FaultInjection, AStepHeldForAMomentByAnotherProgramIsTriedAgain) {
    const string original = "a,\r\nb,1\r\n";
    const string converted = "a,100\r\nb,1\r\n";
    const int kDenied = 5, kSharing = 32, kLock = 33, kDiskFull = 112, kCannotRemoveReplaced = 1175,
              kCannotMoveReplacement = 1176, kCannotMoveReplacement2 = 1177;
    const std::vector<IoOp> clean = CleanTrace(original);
    const int nReplace = CallOf(clean, IoOp::kReplace);
    const auto failedTrace = [&](int nError) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        PassRun run;
        Convert(dir / "in.csv", {{nReplace, nError}}, &run, 1);
        return run.trace;
    };
    const std::vector<IoOp> movedBack = failedTrace(kCannotMoveReplacement2);
    const std::vector<IoOp> gaveUp = failedTrace(kDiskFull);
    const struct {
        const char* pszWhat;
        std::map<int, std::pair<int, int>> failures;  // call: error, times
        int nResult;
    } kHolds[] = {
        {"workfile.txt's creation", {{CallOf(clean, IoOp::kCreate), {kSharing, 4}}}, 1},
        {"workfile.bak's creation", {{CallOf(clean, IoOp::kCreate, 2), {kLock, 4}}}, 1},
        {"the replacement, sharing", {{nReplace, {kSharing, 4}}}, 1},
        {"the replacement, lock", {{nReplace, {kLock, 4}}}, 1},
        // A rename over a file that another program holds open.
        {"the replacement, access denied", {{nReplace, {kDenied, 4}}}, 1},
        {"the replacement, replaced file", {{nReplace, {kCannotRemoveReplaced, 4}}}, 1},
        {"the replacement, replacement", {{nReplace, {kCannotMoveReplacement, 4}}}, 1},
        // A share that lets the DACL be read but not written.
        {"the replacement, DACL not writable", {{nReplace, {kDenied, FaultPlan::kAlways}}}, 1},
        {"workfile.bak's removal", {{CallOf(clean, IoOp::kRemove), {kSharing, 9}}}, 1},
        // The old file put back after the replacement failed halfway, and all tried again.
        {"the move back after a failed replacement",
         {{nReplace, {kCannotMoveReplacement2, 1}},
          {CallOf(movedBack, IoOp::kMove), {kSharing, 9}}},
         1},
        {"the removals after a failed replacement",
         {{nReplace, {kDiskFull, 1}},
          {CallOf(gaveUp, IoOp::kRemove), {kLock, 9}},
          {CallOf(gaveUp, IoOp::kRemove, 2), {kSharing, 9}}},
         0},
    };
    for (const auto& h : kHolds) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        FaultPlan::Reset();
        for (const auto& f : h.failures)
            FaultPlan::FailCall(f.first, f.second.first, f.second.second);
        SearchKeyConverter conv;
        EXPECT_EQ(h.nResult, conv.Convert((dir / "in.csv").c_str())) << h.pszWhat;
        const std::vector<IoOp> trace = FaultPlan::Trace();
        FaultPlan::Reset();
        EXPECT_EQ(sk::ConvertStep::kNone, conv.WarningStep()) << h.pszWhat;
        EXPECT_FALSE(conv.WorkFileLeft() || conv.BackupLeft() || conv.OriginalStranded())
            << h.pszWhat;
        const std::map<string, string> expected = {{"in.csv", h.nResult ? converted : original}};
        EXPECT_TRUE(expected == dir.Snapshot()) << h.pszWhat << ": the folder is not as expected";
        if (h.failures.begin()->second.second == FaultPlan::kAlways) {
            EXPECT_EQ(1, std::count(trace.begin(), trace.end(), IoOp::kReplaceIgnoringAcl))
                << h.pszWhat;
        }
    }
}

// Only a reparse point that names another file is refused; the others
// (cloud files, deduplicated files) hold the file's own text, which is read
// through a second open that brings it back from where it is kept.
TEST(FaultInjection, AReparsePointIsConvertedUnlessItNamesAnotherFile) {
    const string original = "a,\r\nb,1\r\n";
    const string converted = "a,100\r\nb,1\r\n";
    const unsigned long kCloud = 0x9000001A, kCloudSubtype = 0x9000301A, kOneDrive = 0x80000021,
                        kDedup = 0x80000013, kSymlink = 0xA000000C, kMountPoint = 0xA0000003;
    const int kProviderNotRunning = 362, kCannotAccess = 1920;
    const struct {
        const char* pszWhat;
        unsigned long ulTag;
        IoOp failing;  // its first call after the first open fails, unless kFolder
        int nError;
        sk::ConvertStep step;
    } kTags[] = {
        {"cloud file", kCloud, IoOp::kFolder, 0, sk::ConvertStep::kNone},
        {"cloud file of another kind", kCloudSubtype, IoOp::kFolder, 0, sk::ConvertStep::kNone},
        {"OneDrive file", kOneDrive, IoOp::kFolder, 0, sk::ConvertStep::kNone},
        {"deduplicated file", kDedup, IoOp::kFolder, 0, sk::ConvertStep::kNone},
        {"symbolic link", kSymlink, IoOp::kFolder, 0, sk::ConvertStep::kIsLink},
        {"junction or mount point", kMountPoint, IoOp::kFolder, 0, sk::ConvertStep::kIsLink},
        {"cloud file offline", kCloud, IoOp::kOpen, kProviderNotRunning, sk::ConvertStep::kOffline},
        {"cloud file whose download fails", kCloud, IoOp::kRead, kProviderNotRunning,
         sk::ConvertStep::kOffline},
        {"deduplicated file out of reach", kDedup, IoOp::kOpen, kCannotAccess,
         sk::ConvertStep::kOpenInput},
    };
    for (const auto& t : kTags) {
        int nFailing = 0;
        if (t.failing != IoOp::kFolder) {
            const std::vector<IoOp> clean = CleanTrace(original, t.ulTag);
            nFailing = CallOf(clean, t.failing, t.failing == IoOp::kOpen ? 2 : 1);
        }
        TempFolder dir;
        WriteBytes(dir / "in.csv", original);
        FaultPlan::Reset();
        FaultPlan::ShowReparseTag(t.ulTag);
        if (nFailing != 0)
            FaultPlan::FailCall(nFailing, t.nError);
        SearchKeyConverter conv;
        const int nResult = conv.Convert((dir / "in.csv").c_str());
        const std::vector<IoOp> trace = FaultPlan::Trace();
        FaultPlan::Reset();
        EXPECT_EQ(t.step == sk::ConvertStep::kNone, nResult == 1) << t.pszWhat;
        EXPECT_EQ(t.step, conv.FailedStep()) << t.pszWhat;
        EXPECT_EQ(t.nError, conv.FailedError()) << t.pszWhat;
        const std::map<string, string> expected = {{"in.csv", nResult ? converted : original}};
        EXPECT_TRUE(expected == dir.Snapshot()) << t.pszWhat << ": the folder is not as expected";
        // Read through a second open, the link never opened again.
        const bool bLink = t.step == sk::ConvertStep::kIsLink;
        EXPECT_EQ(bLink ? 1 : 2, std::count(trace.begin(), trace.end(), IoOp::kOpen)) << t.pszWhat;
    }
}
// ---- kinds of volume ----
// How each kind of volume an office keeps files on answers the pass's
// calls where that differs from Wine's view of a Linux folder, with the
// source of each answer.

const int kAccessDenied = 5, kSharing = 32, kInvalidParameter = 87;
const unsigned long kPersistentAcls = 0x8, kReparsePoint = 0x400, kPinned = 0x80000,
                    kCloudTag = 0x9000001A;

int Answers(IoOp, sk::IoFile, VolumeState*) {
    return 0;
}

// FAT32 and exFAT (memory sticks, SD cards): no reparse tag query
// (FileAttributeTagInfo fails with ERROR_INVALID_PARAMETER: microsoft/STL
// issue 233 and pull 2373, winfsp issue 661), no 128-bit id (FileIdInfo
// is NTFS's and ReFS's), no ACLs (FILE_PERSISTENT_ACLS clear), and a file
// index that is the position of the file's directory entry, which a rename
// moves (BY_HANDLE_FILE_INFORMATION remarks).
int FatAnswers(IoOp op, sk::IoFile, VolumeState*) {
    return op == IoOp::kTag || op == IoOp::kFileId ? kInvalidParameter : 0;
}
void FatFacts(IoOp op, sk::IoFile, sk::FileFacts* p, VolumeState*) {
    p->ulVolumeFlags &= ~kPersistentAcls;
    if (op == IoOp::kFileId) {
        const std::wstring name = FaultPlan::NameOf(p->ullIdLow);
        if (!name.empty())
            p->ullIdLow = std::hash<std::wstring>()(name) | 1;  // where the name is
    }
}

// ReFS: the 64-bit file index is not unique; FileIdInfo holds the 128-bit id
// (BY_HANDLE_FILE_INFORMATION remarks, FILE_ID_INFO).
void RefsFacts(IoOp op, sk::IoFile, sk::FileFacts* p, VolumeState*) {
    if (op == IoOp::kFileId && !p->b128)
        p->ullIdLow = 0x5EF5;  // the same for every file
}

// A WebDAV drive (and some network and FUSE volumes): every file id is 0
// (python/cpython issue 74665, winfsp/sshfs-win issue 349), no ACLs; the
// redirector names an open file where it is now.
void WebDavFacts(IoOp op, sk::IoFile, sk::FileFacts* p, VolumeState*) {
    p->ulVolumeFlags &= ~kPersistentAcls;
    if (op == IoOp::kFileId)
        p->ullVolume = p->ullIdLow = p->ullIdHigh = 0;
}

// A OneDrive folder: the file is a cloud placeholder (a reparse point with
// a cloud tag), pinned "always keep on this device" (file attribute
// constants: FILE_ATTRIBUTE_PINNED).
void OneDriveFacts(IoOp op, sk::IoFile file, sk::FileFacts* p, VolumeState* pState) {
    if (op == IoOp::kQuery && file == sk::IoFile::kInput)
        p->ulAttributes |= kReparsePoint | kPinned;
    if (op == IoOp::kTag)
        p->ulReparseTag = kCloudTag;
    if (op == IoOp::kAccess)
        pState->ulGivenAttr = p->ulAttributes;
}

// An SMB share or NAS box that grants write but not WRITE_DAC: ReplaceFile
// without REPLACEFILE_IGNORE_ACL_ERRORS fails with "access denied"
// (ReplaceFileW), and so does opening the file for WRITE_DAC.
int ShareAnswers(IoOp op, sk::IoFile file, VolumeState* pState) {
    if (op == IoOp::kReplaceIgnoringAcl)
        pState->bArmed = true;  // the next open of the input asks for WRITE_DAC
    if (op == IoOp::kOpen && file == sk::IoFile::kInput && pState->bArmed) {
        pState->bArmed = false;
        return kAccessDenied;
    }
    return op == IoOp::kReplace ? kAccessDenied : 0;
}

// A folder where this user may create files but not delete them (the
// ReplaceFile remarks; Controlled Folder Access answers alike): asking for
// the delete right is denied, every time.
int NoDeleteAnswers(IoOp op, sk::IoFile file, VolumeState* pState) {
    if (op == IoOp::kOpen && file == sk::IoFile::kInput && !pState->bArmed) {
        pState->bArmed = true;  // the open that asks for it; reading is allowed
        return kAccessDenied;
    }
    return op == IoOp::kRemove || op == IoOp::kReplace ? kAccessDenied : 0;
}

// The same folder while a scanner holds the file for 300 ms: the delete
// right is denied first (access is checked before sharing), and the open for
// reading then meets the hold.
int NoDeleteScannedAnswers(IoOp op, sk::IoFile file, VolumeState* pState) {
    if (op == IoOp::kOpen && file == sk::IoFile::kInput && pState->bArmed && pState->ulNowMs < 300)
        return kSharing;
    return NoDeleteAnswers(op, file, pState);
}

// A scanner that opens each new or changed file in turn, sharing read and
// write but not delete, and holds it 1.5 s: the input when the pass starts;
// workfile.txt the moment it is let go, and then workfile.bak, a rename
// over which is denied while it is open (WINDOWS-NOTES: programs that hold
// files for a moment; DeleteFileW, ReplaceFileW).
int ScannerAnswers(IoOp op, sk::IoFile file, VolumeState* pState) {
    const unsigned long kHoldMs = 1500;
    if (op == IoOp::kOpen && file == sk::IoFile::kInput)
        return pState->ulNowMs < kHoldMs ? kSharing : 0;
    if (op != IoOp::kReplace && op != IoOp::kReplaceIgnoringAcl)
        return 0;
    if (pState->ulMarkMs == 0)
        pState->ulMarkMs = pState->ulNowMs + 1;
    const unsigned long ulHeldMs = pState->ulNowMs + 1 - pState->ulMarkMs;
    return ulHeldMs < kHoldMs ? kSharing : ulHeldMs < 2 * kHoldMs ? kAccessDenied : 0;
}

const Volume kVolumes[] = {
    {"NTFS", Answers, nullptr, false},
    {"FAT32 or exFAT", FatAnswers, FatFacts, false},
    {"ReFS", Answers, RefsFacts, false},
    {"WebDAV", Answers, WebDavFacts, true},
    {"OneDrive, pinned", Answers, OneDriveFacts, false},
    {"share without WRITE_DAC", ShareAnswers, nullptr, false},
    {"may create, not delete", NoDeleteAnswers, nullptr, false},
    {"may create, not delete, scanned", NoDeleteScannedAnswers, nullptr, false},
    {"scanner holding 1.5 s", ScannerAnswers, nullptr, false},
};

// The same few situations on every kind of volume: each converts, or fails
// for its reason with the folder as it was found, within the waits of one pass.
TEST(FaultInjection, EveryKindOfVolumeConvertsOrRefusesForItsReason) {
    const string original = "a,\r\nb,1\r\n";
    const string converted = "a,100\r\nb,1\r\n";
    const string late = "late,\r\n";
    const int kDiskFull = 112, kOldFileAside = 1177;
    using Folder = std::map<string, string>;
    const struct {
        const char* pszWhat;
        int nError;  // the replacement's first try fails with it; 0: none
        int cTimes;
        bool bSwap;  // another program gives the name to its own file then
        sk::ConvertStep step;
        Folder after;
    } kSituations[] = {
        {"a plain conversion", 0, 0, false, sk::ConvertStep::kNone, {{"in.csv", converted}}},
        {"the old file left aside, then all made again",
         kOldFileAside,
         1,
         false,
         sk::ConvertStep::kNone,
         {{"in.csv", converted}}},
        {"a replacement that cannot be made",
         kDiskFull,
         1,
         false,
         sk::ConvertStep::kReplace,
         {{"in.csv", original}}},
        {"the name given to another file at the last moment",
         0,
         0,
         true,
         sk::ConvertStep::kChanged,
         {{"in.csv", late}, {"old.csv", original}}},
    };
    for (const Volume& v : kVolumes) {
        const bool bRefused = v.pfnFault == NoDeleteAnswers || v.pfnFault == NoDeleteScannedAnswers;
        for (const auto& sit : kSituations) {
            const string what = string(v.pszName) + ", " + sit.pszWhat;
            int nReplace = 0;  // the replacement's first try on this volume
            {
                TempFolder dir;
                WriteBytes(dir / "in.csv", original);
                FaultPlan::Reset();
                FaultPlan::SetVolume(&v, dir.Path());
                SearchKeyConverter conv;
                conv.Convert((dir / "in.csv").c_str());
                const std::vector<IoOp> trace = FaultPlan::Trace();
                const auto it = std::find_if(trace.begin(), trace.end(), [](IoOp op) {
                    return op == IoOp::kReplace || op == IoOp::kReplaceIgnoringAcl;
                });
                nReplace = static_cast<int>(it - trace.begin()) + 1;
            }
            TempFolder dir;
            WriteBytes(dir / "in.csv", original);
            FaultPlan::Reset();
            FaultPlan::SetVolume(&v, dir.Path());
            if (sit.nError != 0)
                FaultPlan::FailCall(nReplace, sit.nError, sit.cTimes);
            if (sit.bSwap) {
                FaultPlan::AtCall(nReplace, [&] {
                    ASSERT_EQ(0, std::rename((dir / "in.csv").c_str(), (dir / "old.csv").c_str()));
                    WriteBytes(dir / "in.csv", late);
                });
            }
            SearchKeyConverter conv;
            const int nResult = conv.Convert((dir / "in.csv").c_str());
            const VolumeState state = FaultPlan::State();
            const std::vector<IoOp> trace = FaultPlan::Trace();
            FaultPlan::Reset();
            const sk::ConvertStep step = bRefused ? sk::ConvertStep::kMayNotReplace : sit.step;
            EXPECT_EQ(step == sk::ConvertStep::kNone, nResult == 1) << what;
            EXPECT_EQ(step, conv.FailedStep()) << what << ", error " << conv.FailedError();
            EXPECT_EQ(sk::ConvertStep::kNone, conv.WarningStep()) << what;
            EXPECT_FALSE(conv.WorkFileLeft() || conv.BackupLeft() || conv.OriginalStranded())
                << what;
            EXPECT_TRUE((bRefused ? Folder{{"in.csv", original}} : sit.after) == dir.Snapshot())
                << what << ": the folder is not as expected";
            // Waiting never cures a lasting refusal, and never freezes the
            // window long enough to be called "not responding".
            EXPECT_LT(state.ulNowMs, 5000u) << what;
            if (bRefused) {
                // Only the hold is waited out, never the refusal.
                if (v.pfnFault == NoDeleteAnswers)
                    EXPECT_EQ(0u, state.ulNowMs) << what;
                else
                    EXPECT_GE(state.ulNowMs, 300u) << what;
                EXPECT_EQ(0, std::count(trace.begin(), trace.end(), IoOp::kCreate)) << what;
            }
            if (v.pfnFacts == OneDriveFacts && nResult == 1) {
                EXPECT_NE(0u, state.ulGivenAttr & kPinned) << what << ": the pin was not kept";
            }
        }
    }
}
#endif

#if !defined(_WIN32)
TEST(FaultInjection, InterruptedReadsAndWritesAreRetried) {
    for (const Input& in : Inputs()) {
        TempFolder dir;
        WriteBytes(dir / "in.csv", in.bytes);
        PassRun clean;
        Convert(dir / "in.csv", {}, &clean);
        ASSERT_EQ(1, clean.nResult);
        const string converted = ReadBytes(dir / "in.csv");
        for (int n = 1; n <= static_cast<int>(clean.trace.size()); ++n) {
            const IoOp op = clean.trace[n - 1];
            if (op != IoOp::kRead && op != IoOp::kWrite)
                continue;
            TempFolder again;
            WriteBytes(again / "in.csv", in.bytes);
            PassRun run;
            Convert(again / "in.csv", {{n, EINTR}}, &run, 1);
            EXPECT_EQ(1, run.nResult) << in.pszWhat << ", EINTR on call " << n;
            EXPECT_EQ(converted, ReadBytes(again / "in.csv"))
                << in.pszWhat << ", EINTR on call " << n;
        }
    }
}
#endif

}  // namespace

// Fills in missing search keys: the line rule and the pass that rewrites a
// file through "workfile.txt" beside it.
#pragma once

#include <cstddef>

#include "line_rewriter.h"
#include "text_signature.h"

namespace sk {

// The step at which a conversion stopped; kNone after a success.
enum class ConvertStep {
    kNone,
    kNoFileName,
    kPathTooLong,
    kOpenInput,
    // The input could not be opened, for a cause of its own:
    kInUse,           // another program has it open without sharing it
    kNotFound,        // no such file, or no such folder on the way
    kBadName,         // a name the system does not take
    kWriteProtected,  // the medium is write-protected
    kNoAccess,        // the permissions do not let this user open it
    kQueryInput,
    kOpenFolder,
    kIsFolder,
    kIsLink,
    kHardLinks,
    kNotAFile,
    kReadOnly,
    kMayNotReplace,
    kMayNotWrite,
    kNotText,
    kOffline,
    kWorkFileExists,
    kProtectedFolder,
    kCreateWork,
    kRead,
    kWrite,
    kTooManyLines,
    kFlushWork,
    kCloseWork,
    kCopyAccess,
    kChanged,
    kBackupExists,
    kCreateBackup,
    kReplace,
    // After the file was converted:
    kFlushFolder,
    kRemoveBackup,
    kMarkChanged,
    kRestoreSecurity,
};
// How many steps there are: one more than the last. The tables of texts
// have one row per step and are checked against it.
const int kStepCount = static_cast<int>(ConvertStep::kRestoreSecurity) + 1;

namespace fs {
class FileHandle;
class Folder;
struct FileInfo;
}  // namespace fs

// Told how far a pass has read, for a progress display.
class ProgressObserver {
public:
    virtual ~ProgressObserver() {}
    virtual void OnProgress(unsigned long long ullRead, unsigned long long ullSize) = 0;
};

}  // namespace sk

class SearchKeyConverter {
public:
    static const size_t kLineRoom = 256;

    SearchKeyConverter();
    virtual ~SearchKeyConverter();

    // Puts one line, as the line reader gives it, into the line buffer
    // (cut at 255 bytes: longer lines are for Convert, which has no such limit).
    void SetLine(const char* pszLine);

    // Removes the line feed from the line buffer and tells whether the line's
    // key field is empty or reads as zero: 1 missing, 0 present.
    int KeyIsMissing();

    // Rewrites the file that pszPath names: 1 on success, 0 on failure. On
    // failure the file and its folder are as they were before the call.
    int Convert(const char* pszPath);

    // Reads the file as Convert would, opened and refused the same way, and
    // counts the lines that would get a key number (Lines()); creates and
    // changes nothing. 1 when the file was read through, 0 otherwise.
    // After a 1, FailedStep() is kReadOnly when Convert would refuse the
    // file for that, else kNone.
    int Check(const char* pszPath);

    // After Convert or Check answered 1: the file's lines, and those that
    // got (or would get) a key number, counted in the same pass.
    const sk::LineCounts& Lines() const { return m_lines; }

    // Called after each read of Convert and Check; none by default.
    void SetProgress(sk::ProgressObserver* pProgress) { m_pProgress = pProgress; }

    // Why the last Convert returned 0 (kNone after a success), and the
    // system's error code for it (0 when the pass itself refused).
    sk::ConvertStep FailedStep() const { return m_failStep; }
    int FailedError() const { return m_nFailError; }
    // "workfile.txt" could not be removed after a failure, or was kept
    // because the old text is under the backup name.
    bool WorkFileLeft() const { return m_bWorkLeft; }
    // kWorkFileExists, kNotFound: "workfile.bak" is in the folder (beside
    // a missing file, it may hold the file's old text).
    bool BackupInTheWay() const { return m_bBackupInTheWay; }
    // kNotText: the format the file starts as.
    sk::NonText NotTextFormat() const { return m_nonText; }
    // Nor the empty "workfile.bak" that kept the backup name free.
    bool BackupLeft() const { return m_bBackupLeft; }
    // The old text could not be put back: it is under the backup name.
    bool OriginalStranded() const { return m_bStranded; }
    // After a success: a step after the replacement that failed (kNone when
    // none did), and its system error. The file is converted all the same.
    sk::ConvertStep WarningStep() const { return m_warnStep; }
    int WarningError() const { return m_nWarnError; }

private:
    int Fail(sk::ConvertStep step, int nError);
    // A failed open of the input, by its cause.
    int FailOpen(sk::fs::Folder* pFolder, int nError);
    void Reset();
    // The path's folder, once the path names a file in it: 1 when open.
    int OpenFolder(const char* pszPath, sk::fs::Folder* pFolder);
    // Opens the input and refuses what is not a plain file: 1 when open.
    int OpenPlainFile(sk::fs::Folder* pFolder, sk::fs::FileHandle* pIn, sk::fs::FileInfo* pInfo);
    // Reads the input's first bytes into pPrefix and refuses a file they
    // show is not text: 1 when it may be converted.
    int ReadPrefix(const sk::fs::FileHandle& in, const sk::fs::FileInfo& info, char* pPrefix,
                   size_t* pcbPrefix);
    int WriteWorkFile(sk::fs::FileHandle* pIn, const char* pPrefix, size_t cbPrefix,
                      sk::fs::FileHandle* pWork, const sk::fs::FileInfo& info);
    int Replace(sk::fs::Folder* pFolder, const sk::fs::FileHandle& in, sk::fs::FileHandle* pWork,
                sk::fs::FileHandle* pBackup, const sk::fs::FileInfo& info);
    // A step after the replacement that failed: the first is reported.
    void Warn(sk::ConvertStep step, int nError);

    char m_szLine[kLineRoom];
    sk::ConvertStep m_failStep;
    int m_nFailError;
    bool m_bWorkLeft;
    bool m_bBackupInTheWay;
    sk::NonText m_nonText;
    bool m_bBackupLeft;
    bool m_bStranded;
    sk::ConvertStep m_warnStep;
    int m_nWarnError;
    sk::ProgressObserver* m_pProgress;
    sk::LineCounts m_lines;
};

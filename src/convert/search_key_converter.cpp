// The line rule on the line buffer, and the file pass: read the input, write
// the converted lines to a new "workfile.txt" beside it, flush it to disk and
// move it over the input in one step. Any failure removes the work file this
// pass created and leaves the input untouched.
#include "search_key_converter.h"

#include <cstdio>
#include <cstring>

#include "byte_sink.h"
#include "file_system.h"
#include "key_field.h"
#include "path_rules.h"
#include "rewrite_pipeline.h"
#include "text_signature.h"

using sk::ConvertStep;
namespace fs = sk::fs;

namespace {

// Longest input path, terminator included (PATH_MAX on Linux; Windows keeps
// the input to its own shorter limit).
const size_t kPathRoom = 4096;

// Reads the input for the pass, tells the progress observer, if any, and
// keeps the first error. The first bytes, already read to judge them, come
// first, filled up to a whole block so that the reads stay as without them.
class InputSource : public sk::BlockSource {
public:
    // bDropRead: the input is being replaced, and what has been read of it
    // is not wanted again.
    InputSource(const fs::FileHandle& file, const char* pPrefix, size_t cbPrefix, uint64_t ullSize,
                sk::ProgressObserver* pProgress, bool bDropRead)
        : m_file(file),
          m_pPrefix(pPrefix),
          m_cbPrefix(cbPrefix),
          m_bEnd(cbPrefix < sk::kSignatureRoom),
          m_ullSize(ullSize),
          m_ullRead(0),
          m_ullDropped(0),
          m_bDropRead(bDropRead),
          m_pProgress(pProgress),
          m_nError(0) {}
    int Read(char* p, size_t cb, size_t* pcbRead) override {
        const size_t cbPrefix = m_cbPrefix < cb ? m_cbPrefix : cb;
        std::memcpy(p, m_pPrefix, cbPrefix);
        m_pPrefix += cbPrefix;
        m_cbPrefix -= cbPrefix;
        *pcbRead = 0;
        if (!m_bEnd && cb > cbPrefix) {
            if (fs::SysError e = fs::ReadSome(m_file, p + cbPrefix, cb - cbPrefix, pcbRead)) {
                m_nError = e;
                return 0;
            }
            m_bEnd = *pcbRead == 0;  // no second read to find the end again
        }
        *pcbRead += cbPrefix;
        m_ullRead += *pcbRead;
        if (m_bDropRead && m_ullRead - m_ullDropped >= kDropStep) {
            fs::AdviseDone(m_file, m_ullDropped, m_ullRead - m_ullDropped);
            m_ullDropped = m_ullRead;
        }
        if (m_pProgress != nullptr)
            m_pProgress->OnProgress(m_ullRead, m_ullSize);
        return 1;
    }
    int Error() const { return m_nError; }

private:
    const fs::FileHandle& m_file;
    const char* m_pPrefix;  // what is not yet handed out
    size_t m_cbPrefix;
    bool m_bEnd;                                            // the file has no more bytes to read
    static const uint64_t kDropStep = 32 * sk::kBlockSize;  // 8 MiB

    const uint64_t m_ullSize;
    uint64_t m_ullRead;
    uint64_t m_ullDropped;  // the bytes before this offset have been given up
    const bool m_bDropRead;
    sk::ProgressObserver* const m_pProgress;
    int m_nError;
};

// Hands the rewritten text to the work file and keeps the first error. Every
// few megabytes it asks the system to start writing them to the disk, so
// that the disk works while the pass reads on and the final flush is short.
class WorkSink : public sk::ByteSink {
public:
    explicit WorkSink(const fs::FileHandle& file)
        : m_file(file), m_ullWritten(0), m_ullStarted(0), m_nError(0), m_step(ConvertStep::kNone) {}
    int Write(const char* p, size_t cb) override {
        if (fs::SysError e = fs::WriteAll(m_file, p, cb))
            return Failed(ConvertStep::kWrite, e);
        m_ullWritten += cb;
        if (m_ullWritten - m_ullStarted >= kWriteBackStep) {
            if (fs::SysError e =
                    fs::StartWriteBack(m_file, m_ullStarted, m_ullWritten - m_ullStarted))
                return Failed(ConvertStep::kFlushWork, e);
            m_ullStarted = m_ullWritten;
        }
        return 1;
    }
    int Error() const { return m_nError; }
    ConvertStep Step() const { return m_step; }

private:
    static const unsigned long long kWriteBackStep = 32 * sk::kBlockSize;  // 8 MiB

    int Failed(ConvertStep step, int nError) {
        m_step = step;
        m_nError = nError;
        return 0;
    }

    const fs::FileHandle& m_file;
    unsigned long long m_ullWritten;
    unsigned long long m_ullStarted;
    int m_nError;
    ConvertStep m_step;
};

// A cloud file's text comes down as it is read: a read that fails there
// is most likely a download that did.
ConvertStep ReadFailure(const fs::FileInfo& info) {
    return info.bCloud ? ConvertStep::kOffline : ConvertStep::kRead;
}

// The check's output: only which lines get a number matters.
class DiscardSink : public sk::ByteSink {
public:
    int Write(const char*, size_t) override { return 1; }
};

}  // namespace

SearchKeyConverter::SearchKeyConverter()
    : m_szLine(),
      m_failStep(ConvertStep::kNone),
      m_nFailError(0),
      m_bWorkLeft(false),
      m_bBackupInTheWay(false),
      m_nonText(sk::NonText::kNone),
      m_bBackupLeft(false),
      m_bStranded(false),
      m_warnStep(ConvertStep::kNone),
      m_nWarnError(0),
      m_pProgress(nullptr),
      m_lines() {}

SearchKeyConverter::~SearchKeyConverter() {}

void SearchKeyConverter::SetLine(const char* pszLine) {
    std::strncpy(m_szLine, pszLine, kLineRoom - 1);
    m_szLine[kLineRoom - 1] = '\0';
}

int SearchKeyConverter::KeyIsMissing() {
    size_t cch = std::strlen(m_szLine);
    if (cch != 0 && m_szLine[cch - 1] == '\n')
        m_szLine[--cch] = '\0';
    sk::KeyField key;
    key.Feed(m_szLine, cch);
    return key.IsMissing();
}

int SearchKeyConverter::Fail(ConvertStep step, int nError) {
    m_failStep = step;
    m_nFailError = nError;
    return 0;
}

int SearchKeyConverter::FailOpen(fs::Folder* pFolder, int nError) {
    switch (fs::CauseOf(nError)) {
        case fs::Cause::kInUse:
            return Fail(ConvertStep::kInUse, nError);
        case fs::Cause::kNotFound:
            // A pass ended in the replacement may have left the old text there.
            m_bBackupInTheWay = fs::BackupNameTaken(pFolder);
            return Fail(ConvertStep::kNotFound, nError);
        case fs::Cause::kBadName:
            return Fail(ConvertStep::kBadName, nError);
        case fs::Cause::kWriteProtected:
            return Fail(ConvertStep::kWriteProtected, nError);
        case fs::Cause::kDenied:
            return Fail(ConvertStep::kNoAccess, nError);
        case fs::Cause::kOther:
            break;
    }
    return Fail(ConvertStep::kOpenInput, nError);
}

void SearchKeyConverter::Reset() {
    m_failStep = ConvertStep::kNone;
    m_nFailError = 0;
    m_bWorkLeft = false;
    m_bBackupInTheWay = false;
    m_nonText = sk::NonText::kNone;
    m_bBackupLeft = false;
    m_bStranded = false;
    m_warnStep = ConvertStep::kNone;
    m_nWarnError = 0;
    m_lines = sk::LineCounts();
}

int SearchKeyConverter::OpenFolder(const char* pszPath, fs::Folder* pFolder) {
    // The work file goes into the input's own folder, whatever the current
    // directory is, so that the final move stays inside one folder.
    const size_t cchPath = pszPath != nullptr ? std::strlen(pszPath) : 0;
    const size_t cchFolder = cchPath != 0 ? sk::FolderLength(pszPath, sk::NativePathRules()) : 0;
    if (cchFolder == cchPath)
        return Fail(ConvertStep::kNoFileName, 0);
    if (cchPath >= kPathRoom)
        return Fail(ConvertStep::kPathTooLong, 0);
    if (fs::SysError e = fs::OpenFolder(pszPath, cchFolder, pFolder))
        return Fail(ConvertStep::kOpenFolder, e);
    return 1;
}

int SearchKeyConverter::Convert(const char* pszPath) {
    Reset();
    fs::Folder folder;
    if (!OpenFolder(pszPath, &folder))
        return 0;
    fs::FileHandle in;
    fs::FileInfo info;
    if (!OpenPlainFile(&folder, &in, &info))
        return 0;
    if (info.bReadOnly)
        return Fail(ConvertStep::kReadOnly, 0);
    if (info.bNoDelete)
        return Fail(ConvertStep::kMayNotReplace, 0);
    if (info.bNoWrite)
        return Fail(ConvertStep::kMayNotWrite, 0);
    char prefix[sk::kSignatureRoom];
    size_t cbPrefix = 0;
    if (!ReadPrefix(in, info, prefix, &cbPrefix))
        return 0;

    fs::FileHandle work;
    fs::FileHandle backup;
    if (fs::SysError e = fs::CreateWork(&folder, in, info, &work)) {
        if (fs::IsExistsError(e)) {
            // Somebody's, or left by an earlier pass: all that is in the way is told at once.
            m_bBackupInTheWay = fs::BackupNameTaken(&folder);
            Fail(ConvertStep::kWorkFileExists, e);
        } else {
            Fail(fs::IsProtectedFolderError(e)                  ? ConvertStep::kProtectedFolder
                 : fs::CauseOf(e) == fs::Cause::kWriteProtected ? ConvertStep::kWriteProtected
                                                                : ConvertStep::kCreateWork,
                 e);
        }
        if (!work.IsOpen())
            return 0;  // nothing made
    } else if (fs::SysError e = fs::ReserveBackup(&folder, in, info, &backup)) {
        Fail(fs::IsExistsError(e) ? ConvertStep::kBackupExists : ConvertStep::kCreateBackup, e);
    } else if (WriteWorkFile(&in, prefix, cbPrefix, &work, info) &&
               Replace(&folder, in, &work, &backup, info)) {
        return 1;
    }
    // The old text is under the backup name: nothing the pass made goes.
    if (m_bStranded) {
        m_bWorkLeft = true;
        return 0;
    }
    // The one cleanup path: only the files this pass created are removed.
    fs::RemoveOwnFiles(&folder, &work, &backup, &m_bWorkLeft, &m_bBackupLeft);
    return 0;
}

int SearchKeyConverter::Replace(fs::Folder* pFolder, const fs::FileHandle& in,
                                fs::FileHandle* pWork, fs::FileHandle* pBackup,
                                const fs::FileInfo& info) {
    // Right before the replacement: a write by another program since the
    // read must not be lost under the converted text.
    bool bSame = false;
    if (fs::SysError e = fs::StillTheInput(pFolder, in, info, &bSame))
        return Fail(ConvertStep::kQueryInput, e);
    if (!bSame)
        return Fail(ConvertStep::kChanged, 0);
    // The pass's own files were held until now, so that no other program
    // could hold them when the replacement needs them.
    if (fs::SysError e = fs::CloseFile(pWork))
        return Fail(ConvertStep::kCloseWork, e);
    fs::Replaced r = {};
    const fs::SysError e = fs::ReplaceInput(pFolder, info, in, pBackup, &r);
    m_bBackupLeft = r.bBackupLeft;
    m_bStranded = r.bStranded;
    if (e != 0)
        return Fail(ConvertStep::kReplace, e);
    if (r.bChanged)
        return Fail(ConvertStep::kChanged, 0);
    // The file is converted. The steps after it, each reported if it fails.
    Warn(ConvertStep::kRemoveBackup, fs::RemoveBackup(pFolder, in));
    Warn(ConvertStep::kRestoreSecurity, fs::RestoreSecurity(pFolder, info, in));
    Warn(ConvertStep::kMarkChanged, fs::MarkChanged(pFolder));
    Warn(ConvertStep::kFlushFolder, fs::FlushFolder(pFolder));
    return 1;
}

void SearchKeyConverter::Warn(ConvertStep step, int nError) {
    if (nError != 0 && m_warnStep == ConvertStep::kNone) {
        m_warnStep = step;
        m_nWarnError = nError;
    }
}

int SearchKeyConverter::OpenPlainFile(fs::Folder* pFolder, fs::FileHandle* pIn,
                                      fs::FileInfo* pInfo) {
    bool bNoDelete = false;
    if (fs::SysError e = fs::OpenInput(pFolder, pIn, &bNoDelete))
        return fs::IsLinkError(e) ? Fail(ConvertStep::kIsLink, e) : FailOpen(pFolder, e);
    if (fs::SysError e = fs::QueryInput(pFolder, *pIn, pInfo))
        return Fail(ConvertStep::kQueryInput, e);
    pInfo->bNoDelete = bNoDelete;
    if (pInfo->bDirectory)
        return Fail(ConvertStep::kIsFolder, 0);
    if (pInfo->bLink)
        return Fail(ConvertStep::kIsLink, 0);
    if (pInfo->bPlaceholder)
        if (fs::SysError e = fs::RecallInput(pFolder, *pInfo, pIn))
            return pInfo->bCloud ? Fail(ConvertStep::kOffline, e) : FailOpen(pFolder, e);
    if (!pInfo->bRegular)
        return Fail(ConvertStep::kNotAFile, 0);
    // A rename gives the converted text to this name only.
    if (pInfo->nLinks > 1)
        return Fail(ConvertStep::kHardLinks, 0);
    return 1;
}

int SearchKeyConverter::Check(const char* pszPath) {
    Reset();
    fs::Folder folder;
    fs::FileHandle in;
    fs::FileInfo info;
    char prefix[sk::kSignatureRoom];
    size_t cbPrefix = 0;
    if (!OpenFolder(pszPath, &folder) || !OpenPlainFile(&folder, &in, &info) ||
        !ReadPrefix(in, info, prefix, &cbPrefix))
        return 0;
    InputSource source(in, prefix, cbPrefix, info.ullSize, m_pProgress, false);
    DiscardSink sink;
    switch (sk::RewriteAll(&source, &sink, &m_lines)) {
        case sk::PipelineResult::kDone:
            break;
        case sk::PipelineResult::kReadFailed:
            return Fail(ReadFailure(info), source.Error());
        case sk::PipelineResult::kWriteFailed:  // the discarding sink never fails
        case sk::PipelineResult::kTooManyLines:
            return Fail(ConvertStep::kTooManyLines, 0);
    }
    // Read only: closing it loses nothing, and the handle does it.
    if (info.bReadOnly)
        m_failStep = ConvertStep::kReadOnly;
    return 1;
}

int SearchKeyConverter::ReadPrefix(const fs::FileHandle& in, const fs::FileInfo& info,
                                   char* pPrefix, size_t* pcbPrefix) {
    fs::AdviseSequential(in);
    // Until the signature's room is full or the file ends, however the system cuts the reads.
    size_t cbRead = 1;
    while (*pcbPrefix < sk::kSignatureRoom && cbRead != 0) {
        if (fs::SysError e =
                fs::ReadSome(in, pPrefix + *pcbPrefix, sk::kSignatureRoom - *pcbPrefix, &cbRead))
            return Fail(ReadFailure(info), e);
        *pcbPrefix += cbRead;
    }
    m_nonText = sk::NonTextFormat(pPrefix, *pcbPrefix);
    if (m_nonText != sk::NonText::kNone)
        return Fail(ConvertStep::kNotText, 0);
    return 1;
}

int SearchKeyConverter::WriteWorkFile(fs::FileHandle* pIn, const char* pPrefix, size_t cbPrefix,
                                      fs::FileHandle* pWork, const fs::FileInfo& info) {
    InputSource source(*pIn, pPrefix, cbPrefix, info.ullSize, m_pProgress, true);
    WorkSink sink(*pWork);
    switch (sk::RewriteAll(&source, &sink, &m_lines)) {
        case sk::PipelineResult::kDone:
            break;
        case sk::PipelineResult::kReadFailed:
            return Fail(ReadFailure(info), source.Error());
        case sk::PipelineResult::kWriteFailed:
            return Fail(sink.Step(), sink.Error());
        case sk::PipelineResult::kTooManyLines:
            return Fail(ConvertStep::kTooManyLines, 0);
    }
    // What the file carries besides its text, before the flush, so that the
    // flush covers it too. The input stays open until it is replaced.
    if (fs::SysError e = fs::CopyAccess(*pIn, *pWork, info))
        return Fail(ConvertStep::kCopyAccess, e);
    if (fs::SysError e = fs::FlushToDisk(*pWork))
        return Fail(ConvertStep::kFlushWork, e);
    return 1;
}

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
#include "line_rewriter.h"
#include "path_rules.h"

using sk::ConvertStep;
namespace fs = sk::fs;

namespace {

const char kWorkFileName[] = "workfile.txt";

// Longest path the pass builds, terminator included (PATH_MAX on Linux; the
// Windows calls refuse longer paths themselves).
const size_t kPathRoom = 4096;

// Read and write sizes: large enough for the speed of a plain copy, small
// enough that a pass needs 128 KiB whatever the file.
const size_t kChunk = 64 * 1024;

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
#if defined(SEARCHKEY_FAULT_INJECTION)
    static const unsigned long long kWriteBackStep = 64 << 10;  // reached by small test files
#else
    static const unsigned long long kWriteBackStep = 8 << 20;
#endif

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

// The check's output: only which lines get a number matters.
class DiscardSink : public sk::ByteSink {
public:
    int Write(const char*, size_t) override { return 1; }
};

const char* StepText(ConvertStep step) {
    switch (step) {
        case ConvertStep::kNone:
            return "converted";
        case ConvertStep::kNoFileName:
            return "the path names no file";
        case ConvertStep::kPathTooLong:
            return "the path is too long";
        case ConvertStep::kOpenInput:
            return "cannot open the file";
        case ConvertStep::kQueryInput:
            return "cannot read the file's attributes";
        case ConvertStep::kIsFolder:
            return "the path names a folder, not a file";
        case ConvertStep::kNotAFile:
            return "the path names a device or pipe, not a file";
        case ConvertStep::kReadOnly:
            return "the file is read-only";
        case ConvertStep::kWorkFileExists:
            return "workfile.txt already exists in the file's folder";
        case ConvertStep::kCreateWork:
            return "cannot create workfile.txt";
        case ConvertStep::kRead:
            return "cannot read the file";
        case ConvertStep::kWrite:
            return "cannot write workfile.txt";
        case ConvertStep::kTooManyLines:
            return "the file has too many lines";
        case ConvertStep::kCloseInput:
            return "cannot close the file";
        case ConvertStep::kFlushWork:
            return "cannot flush workfile.txt to disk";
        case ConvertStep::kCloseWork:
            return "cannot close workfile.txt";
        case ConvertStep::kCopyAccess:
            return "cannot give workfile.txt the file's owner and permissions";
        case ConvertStep::kReplace:
            return "cannot replace the file with workfile.txt";
    }
    return "failed";
}

}  // namespace

SearchKeyConverter::SearchKeyConverter()
    : m_szLine(),
      m_failStep(ConvertStep::kNone),
      m_nFailError(0),
      m_bWorkLeft(false),
      m_pProgress(nullptr) {}

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

int SearchKeyConverter::Convert(const char* pszPath) {
    m_failStep = ConvertStep::kNone;
    m_nFailError = 0;
    m_bWorkLeft = false;

    // The work file goes into the input's own folder, whatever the current
    // directory is, so that the final move stays inside one folder.
    const size_t cchPath = pszPath != nullptr ? std::strlen(pszPath) : 0;
    const size_t cchFolder = cchPath != 0 ? sk::FolderLength(pszPath, sk::NativePathRules()) : 0;
    if (cchFolder == cchPath)
        return Fail(ConvertStep::kNoFileName, 0);
    if (cchPath >= kPathRoom || cchFolder + sizeof kWorkFileName > kPathRoom)
        return Fail(ConvertStep::kPathTooLong, 0);
    char szWork[kPathRoom];
    std::memcpy(szWork, pszPath, cchFolder);
    std::memcpy(szWork + cchFolder, kWorkFileName, sizeof kWorkFileName);

    fs::FileHandle in;
    fs::FileInfo info;
    if (!OpenPlainFile(pszPath, &in, &info))
        return 0;
    if (info.bReadOnly)
        return Fail(ConvertStep::kReadOnly, 0);

    fs::FileHandle work;
    if (fs::SysError e = fs::CreateWork(szWork, &work)) {
        return Fail(fs::IsExistsError(e) ? ConvertStep::kWorkFileExists : ConvertStep::kCreateWork,
                    e);
    }
    if (WriteWorkFile(&in, &work, info, szWork)) {
        fs::SysError e = fs::MoveOver(szWork, pszPath);
        if (e == 0)
            return 1;
        Fail(ConvertStep::kReplace, e);
    }

    // The one cleanup path: only the work file this pass created is removed.
    if (work.IsOpen())
        (void)fs::CloseFile(&work);  // already failing; its own error adds nothing
    if (fs::RemoveWork(szWork) != 0)
        m_bWorkLeft = true;
    return 0;
}

int SearchKeyConverter::OpenPlainFile(const char* pszPath, fs::FileHandle* pIn,
                                      fs::FileInfo* pInfo) {
    if (fs::SysError e = fs::OpenInput(pszPath, pIn))
        return Fail(ConvertStep::kOpenInput, e);
    if (fs::SysError e = fs::QueryInput(*pIn, pInfo))
        return Fail(ConvertStep::kQueryInput, e);
    if (pInfo->bDirectory)
        return Fail(ConvertStep::kIsFolder, 0);
    if (!pInfo->bRegular)
        return Fail(ConvertStep::kNotAFile, 0);
    return 1;
}

int SearchKeyConverter::Check(const char* pszPath, sk::NumberedLineObserver* pObserver) {
    m_failStep = ConvertStep::kNone;
    m_nFailError = 0;
    m_bWorkLeft = false;
    fs::FileHandle in;
    fs::FileInfo info;
    if (!OpenPlainFile(pszPath, &in, &info))
        return 0;

    char inBuf[kChunk];
    char outBuf[kChunk];
    DiscardSink sink;
    sk::LineRewriter rewriter(&sink, outBuf, sizeof outBuf);
    rewriter.SetObserver(pObserver);
    unsigned long long ullRead = 0;
    while (!rewriter.Stopped()) {
        size_t cbRead = 0;
        if (fs::SysError e = fs::ReadSome(in, inBuf, sizeof inBuf, &cbRead))
            return Fail(ConvertStep::kRead, e);
        if (cbRead == 0)
            break;
        ullRead += cbRead;
        if (m_pProgress != nullptr)
            m_pProgress->OnProgress(ullRead, info.ullSize);
        if (!rewriter.Feed(inBuf, cbRead))
            break;
    }
    if (!rewriter.Finish())
        return Fail(ConvertStep::kTooManyLines, 0);
    if (fs::SysError e = fs::CloseFile(&in))
        return Fail(ConvertStep::kCloseInput, e);
    if (info.bReadOnly)
        m_failStep = ConvertStep::kReadOnly;
    return 1;
}

int SearchKeyConverter::WriteWorkFile(fs::FileHandle* pIn, fs::FileHandle* pWork,
                                      const fs::FileInfo& info, const char* pszWork) {
    char inBuf[kChunk];
    char outBuf[kChunk];
    WorkSink sink(*pWork);
    sk::LineRewriter rewriter(&sink, outBuf, sizeof outBuf);
    unsigned long long ullRead = 0;
    while (!rewriter.Stopped()) {
        size_t cbRead = 0;
        if (fs::SysError e = fs::ReadSome(*pIn, inBuf, sizeof inBuf, &cbRead))
            return Fail(ConvertStep::kRead, e);
        if (cbRead == 0)
            break;
        ullRead += cbRead;
        if (m_pProgress != nullptr)
            m_pProgress->OnProgress(ullRead, info.ullSize);
        if (!rewriter.Feed(inBuf, cbRead))
            break;
    }
    if (!rewriter.Finish()) {
        return sink.Error() != 0 ? Fail(sink.Step(), sink.Error())
                                 : Fail(ConvertStep::kTooManyLines, 0);
    }
    if (fs::SysError e = fs::CloseFile(pIn))
        return Fail(ConvertStep::kCloseInput, e);
    // Permissions before the flush, so that the flush covers them too.
    if (fs::SysError e = fs::CopyAccess(*pWork, pszWork, info))
        return Fail(ConvertStep::kCopyAccess, e);
    if (fs::SysError e = fs::FlushToDisk(*pWork))
        return Fail(ConvertStep::kFlushWork, e);
    if (fs::SysError e = fs::CloseFile(pWork))
        return Fail(ConvertStep::kCloseWork, e);
    return 1;
}

void SearchKeyConverter::DescribeFailure(char* psz, size_t cch) const {
    if (cch == 0)
        return;
    char szSystem[256] = "";
    if (m_nFailError != 0)
        fs::FormatError(m_nFailError, szSystem, sizeof szSystem);
    std::snprintf(psz, cch, "%s%s%s%s", StepText(m_failStep), szSystem[0] != '\0' ? ": " : "",
                  szSystem, m_bWorkLeft ? " (workfile.txt could not be removed)" : "");
}

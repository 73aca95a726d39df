// skconv: converts the files named on the command line, one after another,
// with the same pass as the window's 編集 button; checks them, or filters
// standard input. For scripts and machines without a display. Every argument
// is looked at before the first file is touched.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "byte_sink.h"
#include "cli_platform.h"
#include "cli_texts.h"
#include "file_system.h"
#include "line_rewriter.h"
#include "search_key_converter.h"

namespace fs = sk::fs;

namespace {

enum ExitStatus { kAllDone = 0, kSomeFailed = 1, kUsage = 2, kReportLost = 3 };

// A progress line pays off only when a file takes seconds.
const unsigned long long kProgressFrom = 64ull << 20;
const std::chrono::milliseconds kProgressEvery(250);

// The line-number list of a check stops after this many.
const unsigned long long kListedLines = 5;

// Percent and speed on standard error, redrawn in place a few times a second.
class ProgressLine : public sk::ProgressObserver {
public:
    ProgressLine(const cli::Texts& texts, bool bOn) : m_texts(texts), m_bOn(bOn), m_bShown(false) {}
    void Start() {
        m_start = m_last = std::chrono::steady_clock::now();
        m_bShown = false;
    }
    void OnProgress(unsigned long long ullRead, unsigned long long ullSize) override {
        if (!m_bOn || ullSize <= kProgressFrom)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_last < kProgressEvery)
            return;
        m_last = now;
        const double dSeconds = std::chrono::duration<double>(now - m_start).count();
        const unsigned uPercent =
            ullRead >= ullSize ? 100u : static_cast<unsigned>(ullRead * 100 / ullSize);
        std::fprintf(stderr, m_texts.pszProgress, uPercent, ullRead / 1e6 / dSeconds);
        std::fflush(stderr);
        m_bShown = true;
    }
    // Clears the line, so that the file's result line stands alone.
    void End() {
        if (m_bShown)
            std::fputs("\r                         \r", stderr);
        m_bShown = false;
    }

private:
    const cli::Texts& m_texts;
    bool m_bOn;
    bool m_bShown;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last;
};

// Counts the lines a check finds and keeps the first line numbers.
class NumberedLines : public sk::NumberedLineObserver {
public:
    NumberedLines() : m_ullCount(0), m_aullFirst() {}
    void OnNumbered(const char* pKey, size_t cch) override {
        if (m_ullCount < kListedLines) {
            unsigned long long ullKey = 0;
            for (size_t i = 0; i < cch; ++i)
                ullKey = ullKey * 10 + static_cast<unsigned>(pKey[i] - '0');
            m_aullFirst[m_ullCount] = ullKey - (sk::LineRewriter::kFirstKeyNumber - 1);
        }
        ++m_ullCount;
    }
    unsigned long long Count() const { return m_ullCount; }
    // " (1, 4, 9, ...)", or nothing when no line gets a number.
    std::string List() const {
        std::string s;
        for (unsigned long long i = 0; i < m_ullCount && i < kListedLines; ++i)
            s += (i == 0 ? " (" : ", ") + std::to_string(m_aullFirst[i]);
        if (m_ullCount > kListedLines)
            s += ", ...";
        return m_ullCount != 0 ? s + ")" : s;
    }

private:
    unsigned long long m_ullCount;
    unsigned long long m_aullFirst[kListedLines];
};

class StdoutSink : public sk::ByteSink {
public:
    int Write(const char* p, size_t cb) override {
        return std::fwrite(p, 1, cb, stdout) == cb ? 1 : 0;
    }
};

// A step in words, with the system's reason when there is one.
std::string StepAndError(const cli::Texts& texts, sk::ConvertStep step, int nError) {
    std::string s = cli::StepText(texts, step);
    if (nError != 0) {
        char szSystem[256] = "";
        fs::FormatError(nError, szSystem, sizeof szSystem);
        s += std::string(": ") + szSystem;
    }
    return s;
}

std::string Reason(const cli::Texts& texts, const SearchKeyConverter& conv) {
    std::string s = StepAndError(texts, conv.FailedStep(), conv.FailedError());
    if (conv.OriginalStranded())
        s += texts.pszStranded;
    else if (conv.WorkFileLeft())
        s += texts.pszWorkLeft;
    return s;
}

void PrintFailed(const cli::Texts& texts, const char* pszPath, const std::string& why) {
    std::fflush(stdout);  // keep the lines in order when both go to one place
    std::fprintf(stderr, texts.pszFailed, pszPath, why.c_str());
}

bool ReportWritten() {
    const bool bOut = std::fflush(stdout) == 0 && !std::ferror(stdout);
    return bOut && std::fflush(stderr) == 0 && !std::ferror(stderr);
}

// "-": standard input through the same line rule to standard output.
int Filter(const cli::Texts& texts) {
    if (!cli::SetBinaryStdio()) {
        std::fprintf(stderr, texts.pszFailed, texts.pszStdin,
                     cli::StepText(texts, sk::ConvertStep::kRead));
        return kSomeFailed;
    }
    static char inBuf[64 * 1024];
    static char outBuf[64 * 1024];
    StdoutSink sink;
    sk::LineRewriter rewriter(&sink, outBuf, sizeof outBuf);
    bool bOk = true;
    while (bOk && !rewriter.Stopped()) {
        const size_t cbRead = std::fread(inBuf, 1, sizeof inBuf, stdin);
        if (cbRead == 0) {
            if (std::ferror(stdin)) {
                std::fprintf(stderr, texts.pszFailed, texts.pszStdin,
                             cli::StepText(texts, sk::ConvertStep::kRead));
                return kSomeFailed;
            }
            break;
        }
        bOk = rewriter.Feed(inBuf, cbRead) != 0;
    }
    if (!bOk || !rewriter.Finish() || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, texts.pszFailed, texts.pszStdout,
                     cli::StepText(texts, sk::ConvertStep::kWrite));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace

int main(int argc, char** argv) {
    cli::InitProcess();
    const cli::Texts& texts = cli::UsesJapanese() ? cli::kJapanese : cli::kEnglish;

    // Options may stand anywhere before "--"; anything unknown stops the run
    // before a file is touched, so that a mistyped option never converts.
    bool bHelp = false, bVersion = false, bCheck = false, bOptionsEnd = false;
    std::vector<const char*> args;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (bOptionsEnd || a[0] != '-' || a[1] == '\0') {
            args.push_back(a);
        } else if (std::strcmp(a, "--") == 0) {
            bOptionsEnd = true;
        } else if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            bHelp = true;
        } else if (std::strcmp(a, "--version") == 0) {
            bVersion = true;
        } else if (std::strcmp(a, "--check") == 0) {
            bCheck = true;
        } else {
            std::fprintf(stderr, texts.pszUnknownOption, a);
            std::fputs(texts.pszUsage, stderr);
            return kUsage;
        }
    }
    if (bHelp || bVersion) {
        if (bHelp)
            std::fputs(texts.pszHelp, stdout);
        else
            std::printf("skconv %s\n", SEARCHKEY_VERSION);
        return ReportWritten() ? kAllDone : kReportLost;
    }
    const bool bFilter = args.size() == 1 && std::strcmp(args[0], "-") == 0;
    bool bStdinAmongOthers = false;
    for (const char* a : args)
        bStdinAmongOthers = bStdinAmongOthers || (!bFilter && std::strcmp(a, "-") == 0);
    if (args.empty() || bStdinAmongOthers || (bFilter && bCheck)) {
        if (bStdinAmongOthers || bFilter)
            std::fputs(texts.pszFilterAlone, stderr);
        std::fputs(texts.pszUsage, stderr);
        return kUsage;
    }
    if (bFilter)
        return Filter(texts);

    std::vector<std::string> paths;
    for (const char* a : args) {
        if (int e = cli::ExpandArg(a, &paths)) {
            char szSystem[256] = "";
            fs::FormatError(e, szSystem, sizeof szSystem);
            std::fprintf(stderr, texts.pszListFailed, a, szSystem);
            return kSomeFailed;
        }
    }
    // Identities now, before any pass: a converted file is a new file, and
    // a second name for it would no longer match.
    std::vector<size_t> first(paths.size());
    std::vector<fs::FileIdentity> ids(paths.size());
    std::vector<bool> known(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        known[i] = fs::QueryIdentity(paths[i].c_str(), &ids[i]) == 0;
        first[i] = i;
        for (size_t j = 0; known[i] && j < i; ++j) {
            if (known[j] && ids[j].ullVolume == ids[i].ullVolume &&
                ids[j].ullFile == ids[i].ullFile) {
                first[i] = j;
                break;
            }
        }
    }

    ProgressLine progress(texts, cli::StderrIsConsole());
    int nFailed = 0, nChanged = 0, nDone = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        const char* pszPath = paths[i].c_str();
        if (first[i] != i) {
            std::printf(texts.pszSkipped, pszPath, paths[first[i]].c_str());
            continue;
        }
        SearchKeyConverter conv;
        conv.SetProgress(&progress);
        progress.Start();
        NumberedLines lines;
        const int bOk = bCheck ? conv.Check(pszPath, &lines) : conv.Convert(pszPath);
        progress.End();
        if (!bOk) {
            PrintFailed(texts, pszPath, Reason(texts, conv));
            ++nFailed;
        } else if (bCheck) {
            std::printf(texts.pszCheckCount, pszPath, lines.Count(), lines.List().c_str());
            if (conv.FailedStep() == sk::ConvertStep::kReadOnly)
                std::printf(texts.pszCheckReadOnly, pszPath);
            nChanged += lines.Count() != 0;
        } else {
            std::printf(texts.pszConverted, pszPath);
            ++nDone;
            if (conv.WarningStep() != sk::ConvertStep::kNone) {
                const std::string what =
                    StepAndError(texts, conv.WarningStep(), conv.WarningError());
                std::fflush(stdout);
                std::fprintf(stderr, texts.pszWarning, pszPath, what.c_str());
            }
        }
    }
    // A script that retries on 1 must not number a converted file again.
    if (!ReportWritten() && (nDone != 0 || bCheck))
        return kReportLost;
    return nFailed != 0 || nChanged != 0 ? kSomeFailed : kAllDone;
}

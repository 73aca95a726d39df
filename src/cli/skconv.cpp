// skconv: converts the files named on the command line, one after another,
// with the same pass as the window's 編集 button; checks them, or filters
// standard input. For scripts and machines without a display. Every argument
// is looked at before the first file is touched.
#include <chrono>
#include <cstdarg>
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
#include "outcome_texts.h"
#include "path_rules.h"
#include "search_key_converter.h"

namespace fs = sk::fs;

namespace {

enum ExitStatus { kAllDone = 0, kSomeFailed = 1, kUsage = 2, kReportLost = 3 };

// A progress line pays off only when a file takes seconds.
const unsigned long long kProgressFrom = 64ull << 20;
const std::chrono::milliseconds kProgressEvery(250);

// Set when a message could not be written: the exit status must say so.
bool g_bReportLost = false;

void Put(std::FILE* pStream, const std::string& text) {
    if (!cli::WriteText(pStream, text))
        g_bReportLost = true;
}

// printf into a message, written as the stream needs it (see WriteText).
void Print(std::FILE* pStream, const char* pszFormat, ...) {
    char sz[1024];
    va_list args;
    va_start(args, pszFormat);
    const int n = std::vsnprintf(sz, sizeof sz, pszFormat, args);
    va_end(args);
    if (n < 0) {
        g_bReportLost = true;
        return;
    }
    if (static_cast<size_t>(n) < sizeof sz) {
        Put(pStream, std::string(sz, static_cast<size_t>(n)));
        return;
    }
    std::string s(static_cast<size_t>(n) + 1, '\0');
    va_start(args, pszFormat);
    (void)std::vsnprintf(&s[0], s.size(), pszFormat, args);  // the same length as above
    va_end(args);
    s.resize(static_cast<size_t>(n));
    Put(pStream, s);
}

// Percent and speed on standard error, redrawn in place a few times a second.
// The first line is drawn at once, so that a large file shows that it is
// being worked on even when it converts within the first interval.
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
        if (m_bShown && now - m_last < kProgressEvery)
            return;
        m_last = now;
        const unsigned uPercent =
            ullRead >= ullSize ? 100u : static_cast<unsigned>(ullRead * 100 / ullSize);
        // No speed yet for the first line: too little time has passed to tell.
        if (!m_bShown)
            Print(stderr, m_texts.pszProgressStart, uPercent);
        else
            Print(stderr, m_texts.pszProgress, uPercent,
                  ullRead / 1e6 / std::chrono::duration<double>(now - m_start).count());
        std::fflush(stderr);
        m_bShown = true;
    }
    // Clears the line, so that the file's result line stands alone.
    void End() {
        if (m_bShown)
            Put(stderr, "\r                         \r");
        m_bShown = false;
    }

private:
    const cli::Texts& m_texts;
    bool m_bOn;
    bool m_bShown;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last;
};

// The first lines that get a number, in the outcome's words.
std::string FirstLines(const cli::Texts& texts, const sk::LineCounts& lines) {
    char sz[256];
    sk::FirstLinesText(*texts.pOutcome, lines, sz, sizeof sz);
    return sz;
}

class StdoutSink : public sk::ByteSink {
public:
    int Write(const char* p, size_t cb) override {
        return std::fwrite(p, 1, cb, stdout) == cb ? 1 : 0;
    }
};

// What failed, with the system's reason when there is one.
std::string WithError(const char* pszWhat, int nError) {
    std::string s = pszWhat;
    if (nError != 0) {
        char szSystem[256] = "";
        fs::FormatError(nError, szSystem, sizeof szSystem);
        s += std::string(": ") + szSystem;
    }
    return s;
}

const char* StepText(const cli::Texts& texts, sk::ConvertStep step) {
    return sk::ReasonText(*texts.pOutcome, step);
}

// The outcome of a pass on pszPath, laid out as one line.
std::string Outcome(const cli::Texts& texts, const char* pszPath, const SearchKeyConverter& conv) {
    char sz[2048];
    sk::DescribeOutcome(*texts.pOutcome, conv, pszPath, sk::Layout::kLine, sz, sizeof sz);
    return sz;
}

void PrintFailed(const cli::Texts& texts, const char* pszPath, const std::string& why) {
    std::fflush(stdout);  // keep the lines in order when both go to one place
    Print(stderr, texts.pszFailed, pszPath, why.c_str());
}

bool ReportWritten() {
    const bool bOut = std::fflush(stdout) == 0 && !std::ferror(stdout);
    return bOut && std::fflush(stderr) == 0 && !std::ferror(stderr) && !g_bReportLost;
}

// "-": standard input through the same line rule to standard output.
int Filter(const cli::Texts& texts) {
    if (!cli::SetBinaryStdio()) {
        Print(stderr, texts.pszFailed, texts.pszStdin, StepText(texts, sk::ConvertStep::kRead));
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
                Print(stderr, texts.pszFailed, texts.pszStdin,
                      StepText(texts, sk::ConvertStep::kRead));
                return kSomeFailed;
            }
            break;
        }
        bOk = rewriter.Feed(inBuf, cbRead) != 0;
    }
    if (!bOk || !rewriter.Finish() || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Print(stderr, texts.pszFailed, texts.pszStdout, StepText(texts, sk::ConvertStep::kWrite));
        return kSomeFailed;
    }
    return kAllDone;
}

}  // namespace

int RunSkconv(const std::vector<std::string>& asArgs, const std::vector<std::string>& asUnfit) {
    cli::InitProcess();
    const cli::Texts& texts = cli::UsesJapanese() ? cli::kJapanese : cli::kEnglish;

    // A name the ANSI code page cannot hold would be opened as another
    // name, perhaps another file's: nothing is done.
    if (!asUnfit.empty()) {
        for (const std::string& a : asUnfit)
            Print(stderr, texts.pszUnfitName, a.c_str(), cli::AnsiCodePage());
        return kUsage;
    }
    // Options may stand anywhere before "--"; anything unknown stops the run
    // before a file is touched, so that a mistyped option never converts.
    bool bHelp = false, bVersion = false, bCheck = false, bOptionsEnd = false;
    std::vector<std::string> args;
    for (const std::string& a : asArgs) {
        if (bOptionsEnd || a.size() < 2 || a[0] != '-') {
            args.push_back(a);
        } else if (a == "--") {
            bOptionsEnd = true;
        } else if (a == "--help" || a == "-h") {
            bHelp = true;
        } else if (a == "--version") {
            bVersion = true;
        } else if (a == "--check") {
            bCheck = true;
        } else {
            Print(stderr, texts.pszUnknownOption, a.c_str());
            Put(stderr, texts.pszUsage);
            return kUsage;
        }
    }
    if (bHelp || bVersion) {
        if (bHelp)
            Put(stdout, texts.pszHelp);
        else
            Print(stdout, "skconv %s\n", SEARCHKEY_VERSION);
        return ReportWritten() ? kAllDone : kReportLost;
    }
    const bool bFilter = args.size() == 1 && args[0] == "-";
    bool bStdinAmongOthers = false;
    for (const std::string& a : args)
        bStdinAmongOthers = bStdinAmongOthers || (!bFilter && a == "-");
    if (args.empty() || bStdinAmongOthers || (bFilter && bCheck)) {
        if (bStdinAmongOthers)
            Put(stderr, texts.pszFilterAlone);
        else if (bFilter)
            Put(stderr, texts.pszCheckNoFilter);
        Put(stderr, texts.pszUsage);
        return kUsage;
    }
    if (bFilter)
        return Filter(texts);

    std::vector<std::string> paths, unfit;
    for (const std::string& a : args) {
        if (int e = cli::ExpandArg(a, &paths, &unfit)) {
            char szSystem[256] = "";
            fs::FormatError(e, szSystem, sizeof szSystem);
            Print(stderr, texts.pszListFailed, a.c_str(), szSystem);
            return kSomeFailed;
        }
    }
    if (!unfit.empty()) {
        for (const std::string& name : unfit)
            Print(stderr, texts.pszUnfitName, name.c_str(), cli::AnsiCodePage());
        return kUsage;
    }
    // Identities now, before any pass: a converted file is a new file, and
    // a second name for it would no longer match. A file whose identity
    // cannot be read is not converted: it might be another's second name.
    // An id of 0 is a file system's "unknown", never a match.
    std::vector<size_t> first(paths.size());
    std::vector<fs::FileIdentity> ids(paths.size());
    std::vector<int> idErrors(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        idErrors[i] = fs::QueryIdentity(paths[i].c_str(), &ids[i]);
        first[i] = i;
        for (size_t j = 0; idErrors[i] == 0 && j < i; ++j) {
            if (idErrors[j] == 0 && fs::IsSameFile(ids[j], ids[i])) {
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
            Print(stdout, texts.pszSkipped, pszPath, paths[first[i]].c_str());
            continue;
        }
        if (idErrors[i] != 0) {
            // Reading the file says why, in the pass's words, when it can;
            // otherwise the identity alone failed.
            SearchKeyConverter probe;
            PrintFailed(texts, pszPath,
                        probe.Check(pszPath) ? WithError(texts.pszNoIdentity, idErrors[i])
                                             : Outcome(texts, pszPath, probe));
            ++nFailed;
            continue;
        }
        SearchKeyConverter conv;
        conv.SetProgress(&progress);
        progress.Start();
        const int bOk = bCheck ? conv.Check(pszPath) : conv.Convert(pszPath);
        progress.End();
        if (!bOk) {
            PrintFailed(texts, pszPath, Outcome(texts, pszPath, conv));
            ++nFailed;
        } else if (bCheck) {
            const sk::LineCounts& lines = conv.Lines();
            Print(stdout, texts.pszCheckCount, pszPath, lines.ullNumbered,
                  FirstLines(texts, lines).c_str());
            if (conv.FailedStep() == sk::ConvertStep::kReadOnly)
                Print(stdout, texts.pszCheckReadOnly, pszPath);
            nChanged += lines.ullNumbered != 0;
        } else {
            Print(stdout, texts.pszConverted, pszPath, Outcome(texts, pszPath, conv).c_str());
            ++nDone;
            char szWarning[1024];
            sk::DescribeWarning(*texts.pOutcome, conv, sk::Layout::kLine, szWarning,
                                sizeof szWarning);
            if (szWarning[0] != '\0') {
                std::fflush(stdout);
                Print(stderr, texts.pszWarning, pszPath, szWarning);
            }
        }
    }
    // A script that retries on 1 must not number a converted file again.
    if (!ReportWritten() && (nDone != 0 || bCheck))
        return kReportLost;
    return nFailed != 0 || nChanged != 0 ? kSomeFailed : kAllDone;
}

// Streaming line rule: bounded memory for any line or file length. The lines
// go through one of two builds of line_rewriter.inc, chosen by the processor
// once: the shipped 32-bit program may not assume SSE2 (Windows Vista and 7
// ran on processors without it), but should use it where it is there.
#include "line_rewriter.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#define SK_SSE2_PATH 1
#include <emmintrin.h>
#else
#define SK_SSE2_PATH 0
#endif

namespace sk {

namespace {
const char kLf = '\n';
const char kCr = '\r';
const char kEndOfText = 26;
// CR LF, with room to read 16 bytes from it as from a key number's text.
const char kCrLf[16] = {kCr, kLf};
const size_t kcbCrLf = 2;
// Room on both sides of a short run's copy: its moves overshoot by up to
// this much, which the bytes that follow overwrite.
const size_t kShortRoom = 128;
}  // namespace

namespace line_portable {
#define SK_LINE_SSE2 0
#include "line_rewriter.inc"
#undef SK_LINE_SSE2
}  // namespace line_portable

#if SK_SSE2_PATH
// Where the build may not assume SSE2, only this region uses it.
#if !defined(__SSE2__)
#pragma GCC push_options
#pragma GCC target("sse2")
#endif
namespace line_sse2 {
#define SK_LINE_SSE2 1
#include "line_rewriter.inc"
#undef SK_LINE_SSE2
}  // namespace line_sse2
#if !defined(__SSE2__)
#pragma GCC pop_options
#endif
#endif

namespace {

bool ProcessorHasSse2() {
#if defined(__SSE2__)
    return true;  // the build assumes it
#elif SK_SSE2_PATH
    __builtin_cpu_init();  // may run before the constructor that would call it
    return __builtin_cpu_supports("sse2");
#else
    return false;
#endif
}

const LinePathCode* CodeOf(LinePath path) {
#if SK_SSE2_PATH
    if (path == LinePath::kSse2)
        return &line_sse2::kCode;
#endif
    (void)path;
    return &line_portable::kCode;
}

}  // namespace

LinePath FastestLinePath() {
    static const LinePath path = ProcessorHasSse2() ? LinePath::kSse2 : LinePath::kPortable;
    return path;
}

bool LinePathRuns(LinePath path) {
    return path == LinePath::kPortable || FastestLinePath() == LinePath::kSse2;
}

int LineAfterLfIsMissing(LinePath path, const char* pReadable, const char* p, size_t cb) {
    return CodeOf(path)->pfnLineAfterLfIsMissing(pReadable, p, cb);
}

LineState::LineState(ByteSink* pSinkIn, char* pOutIn, size_t cbOutIn)
    : pSink(pSinkIn),
      pOut(pOutIn),
      cbOut(cbOutIn),
      cbUsed(0),
      number(LineRewriter::kFirstKeyNumber),
      bLineOpen(false),
      bPendingCr(false),
      bStopped(false),
      bFailed(false),
      counts(),
      achTail(),
      cbTail(0) {}

void LineState::EndLine(int bMissing) {
    if (bMissing) {
        counts.ullRenumbered += number.EndsText(achTail, cbTail);
        Put(number.Text(), number.Length());
        CountNumbered();
    }
    cbTail = 0;
    Put(kCrLf, kcbCrLf);
    ++counts.ullLines;
    if (!number.Increment())
        bFailed = true;
    key.Reset();
    bLineOpen = false;
}

void LineState::KeepTail(const char* p, size_t cb) {
    const size_t cbRoom = sizeof achTail;
    if (cb >= cbRoom) {
        std::memcpy(achTail, p + cb - cbRoom, cbRoom);
        cbTail = cbRoom;
        return;
    }
    const size_t cbKept = cbTail + cb <= cbRoom ? cbTail : cbRoom - cb;
    std::memmove(achTail, achTail + cbTail - cbKept, cbKept);
    std::memcpy(achTail + cbKept, p, cb);
    cbTail = cbKept + cb;
}

void LineState::PutSlow(const char* p, size_t cb) {
    while (!bFailed && cb > cbOut - cbUsed) {
        const size_t cbRoom = cbOut - cbUsed;
        std::memcpy(pOut + cbUsed, p, cbRoom);
        cbUsed = cbOut;
        p += cbRoom;
        cb -= cbRoom;
        Flush();
    }
    if (bFailed)
        return;
    std::memcpy(pOut + cbUsed, p, cb);
    cbUsed += cb;
}

void LineState::Flush() {
    if (bFailed || cbUsed == 0)
        return;
    if (!pSink->Write(pOut, cbUsed)) {
        bFailed = true;
    } else {
        pOut = pSink->NextBuffer(pOut);
    }
    cbUsed = 0;
}

int LineState::Finish() {
    if (bPendingCr) {
        // A CR that ends the input is text.
        bPendingCr = false;
        bLineOpen = true;
        key.Feed(&kCr, 1);
        KeepTail(&kCr, 1);
        Put(&kCr, 1);
    }
    // A last line without a line feed is a line like any other.
    if (bLineOpen)
        EndLine(key.IsMissing());
    Flush();
    return bFailed ? 0 : 1;
}

LineRewriter::LineRewriter(ByteSink* pSink, char* pOut, size_t cbOut)
    : LineRewriter(pSink, pOut, cbOut, FastestLinePath()) {}

LineRewriter::LineRewriter(ByteSink* pSink, char* pOut, size_t cbOut, LinePath path)
    : m_state(pSink, pOut, cbOut),
      m_pCode(CodeOf(LinePathRuns(path) ? path : LinePath::kPortable)) {}

}  // namespace sk

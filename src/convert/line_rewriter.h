// The text rules of a conversion, applied to the raw bytes of the file as they
// stream past: CR LF reads as LF (also across two reads), a lone CR stays,
// byte 26 ends the input, every line gets the line rule and ends in CR LF.
#pragma once

#include <cstddef>
#include <cstring>

#include "byte_sink.h"
#include "key_field.h"
#include "key_number.h"

namespace sk {

// What a rewrite did to the lines, for the report after a conversion or a check.
struct LineCounts {
    static constexpr size_t kListed = 5;
    unsigned long long ullLines;     // lines of the input
    unsigned long long ullNumbered;  // of those, lines that got a key number
    // Of those, lines that ended in that very number already: what a file
    // converted before looks like.
    unsigned long long ullRenumbered;
    // The line numbers (from 1) of the first numbered lines, min(ullNumbered, kListed) of them.
    unsigned long long aullFirst[kListed];
};

// The code that rewrites the lines. kSse2 finds the line feeds of 64 bytes
// at once and judges each line without a branch that the keys can make go
// either way; kPortable runs on any processor, a byte at a time. Both give
// the same output for every input.
enum class LinePath { kPortable, kSse2 };

// The fastest path this processor runs; the processor is asked once.
LinePath FastestLinePath();
// Whether this processor runs the path.
bool LinePathRuns(LinePath path);

// A path's judgement of a line of cb bytes at p, without its line feed, that
// starts at pReadable or after a line feed, where the bytes from pReadable
// on and the one after the line may be read: what KeyField::LineIsMissing
// says, for tests that hold every path to the same table. The path must run.
int LineAfterLfIsMissing(LinePath path, const char* pReadable, const char* p, size_t cb);

// Where a rewrite stands; both paths work on the same state. The steps
// here run once a line at most, where a line is not whole in the input or
// the output buffer is full, or once a buffer.
struct LineState {
    LineState(ByteSink* pSink, char* pOut, size_t cbOut);

    // Ends the current line: its number if bMissing, CR LF, the next number.
    void EndLine(int bMissing);
    // Keeps the last bytes of the current line, which arrives in pieces,
    // to tell whether it ends in its own number already.
    void KeepTail(const char* p, size_t cb);
    // Counts a line that gets a key number; counts.ullLines is its line's index.
    void CountNumbered() {
        if (counts.ullNumbered < LineCounts::kListed)
            counts.aullFirst[counts.ullNumbered] = counts.ullLines + 1;
        ++counts.ullNumbered;
    }
    // Copies to the output buffer, handing it to the sink whenever full.
    void Put(const char* p, size_t cb) {
        if (cb <= cbOut - cbUsed && !bFailed) {
            std::memcpy(pOut + cbUsed, p, cb);
            cbUsed += cb;
        } else {
            PutSlow(p, cb);
        }
    }
    void PutSlow(const char* p, size_t cb);
    void Flush();
    int Finish();

    ByteSink* pSink;
    char* pOut;
    size_t cbOut;
    size_t cbUsed;
    KeyField key;
    KeyNumber number;
    bool bLineOpen;   // bytes of a line have come since the last line feed
    bool bPendingCr;  // the last byte read was a CR whose partner may follow
    bool bStopped;
    bool bFailed;
    LineCounts counts;
    char achTail[KeyNumber::kMaxDigits];  // the current line's last bytes ...
    size_t cbTail;                        // ... so many of them
};

// One path's code.
struct LinePathCode {
    LinePath path;
    int (*pfnFeed)(LineState* pState, const char* p, size_t cb);
    int (*pfnLineAfterLfIsMissing)(const char* pReadable, const char* p, size_t cb);
};

class LineRewriter {
public:
    static const unsigned long long kFirstKeyNumber = 100;

    // pOut is the caller's output buffer; it is handed to pSink whenever full,
    // and the sink's NextBuffer says where the output goes on. The lines go
    // through FastestLinePath(), or through path where it runs (else kPortable).
    LineRewriter(ByteSink* pSink, char* pOut, size_t cbOut);
    LineRewriter(ByteSink* pSink, char* pOut, size_t cbOut, LinePath path);

    // Rewrites the next bytes of the file. 0 when the sink failed or the key
    // numbers ran out; the rewriter then takes no more input.
    int Feed(const char* p, size_t cb) { return m_pCode->pfnFeed(&m_state, p, cb); }

    // The input has ended: ends a last line that has no line feed and hands
    // the rest of the output to the sink. 1 on success.
    int Finish() { return m_state.Finish(); }

    // A byte 26 has ended the input: nothing after it is wanted.
    bool Stopped() const { return m_state.bStopped; }

    // The lines so far; after Finish, those of the whole input.
    const LineCounts& Counts() const { return m_state.counts; }

    // The path the lines go through.
    LinePath Path() const { return m_pCode->path; }

private:
    LineState m_state;
    const LinePathCode* m_pCode;
};

}  // namespace sk

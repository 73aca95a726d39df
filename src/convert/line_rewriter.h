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

class LineRewriter {
public:
    static const unsigned long long kFirstKeyNumber = 100;

    // pOut is the caller's output buffer; it is handed to pSink whenever full,
    // and the sink's NextBuffer says where the output goes on.
    LineRewriter(ByteSink* pSink, char* pOut, size_t cbOut);

    // Rewrites the next bytes of the file. 0 when the sink failed or the key
    // numbers ran out; the rewriter then takes no more input.
    int Feed(const char* p, size_t cb);

    // The input has ended: ends a last line that has no line feed and hands
    // the rest of the output to the sink. 1 on success.
    int Finish();

    // A byte 26 has ended the input: nothing after it is wanted.
    bool Stopped() const { return m_bStopped; }

    // The lines so far; after Finish, those of the whole input.
    const LineCounts& Counts() const { return m_counts; }

private:
    void AddLineBytes(const char* p, size_t cb);
    // Rewrites the complete lines at p while they fit the output buffer;
    // returns where it stopped.
    const char* PutWholeLines(const char* p, const char* pEnd);
    void EndLine(int bMissing);
    // Counts a line that gets a key number; ullLines is its line's index.
    void CountNumbered() {
        if (m_counts.ullNumbered < LineCounts::kListed)
            m_counts.aullFirst[m_counts.ullNumbered] = m_counts.ullLines + 1;
        ++m_counts.ullNumbered;
    }
    // Copies to the output buffer; the common case, room enough, stays inline.
    void Put(const char* p, size_t cb) {
        if (cb <= m_cbOut - m_cbUsed && !m_bFailed) {
            std::memcpy(m_pOut + m_cbUsed, p, cb);
            m_cbUsed += cb;
        } else {
            PutSlow(p, cb);
        }
    }
    void PutSlow(const char* p, size_t cb);
    void Flush();

    ByteSink* m_pSink;
    char* m_pOut;
    size_t m_cbOut;
    size_t m_cbUsed;
    KeyField m_key;
    KeyNumber m_number;
    bool m_bLineOpen;   // bytes of a line have come since the last line feed
    bool m_bPendingCr;  // the last byte read was a CR whose partner may follow
    bool m_bStopped;
    bool m_bFailed;
    LineCounts m_counts;
};

}  // namespace sk

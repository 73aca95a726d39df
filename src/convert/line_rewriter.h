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

// Told of each line that gets a key number, for a check that converts nothing.
class NumberedLineObserver {
public:
    virtual ~NumberedLineObserver() {}
    // The key number's digits that the line gets (cch of them, no terminator).
    virtual void OnNumbered(const char* pKey, size_t cch) = 0;
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

    // Before the first Feed. With an observer every line takes the slower
    // path that ends each line on its own; without one nothing changes.
    void SetObserver(NumberedLineObserver* pObserver) { m_pObserver = pObserver; }

private:
    void AddLineBytes(const char* p, size_t cb);
    // Rewrites the complete lines at p while they fit the output buffer;
    // returns where it stopped.
    const char* PutWholeLines(const char* p, const char* pEnd);
    void EndLine(int bMissing);
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
    NumberedLineObserver* m_pObserver;
};

}  // namespace sk

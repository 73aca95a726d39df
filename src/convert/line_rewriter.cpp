// Streaming line rule: bounded memory for any line or file length.
#include "line_rewriter.h"

#include <cstring>

namespace sk {

namespace {
const char kLf = '\n';
const char kCr = '\r';
const char kEndOfText = 26;
const char kCrLf[] = {kCr, kLf};
}  // namespace

LineRewriter::LineRewriter(ByteSink* pSink, char* pOut, size_t cbOut)
    : m_pSink(pSink),
      m_pOut(pOut),
      m_cbOut(cbOut),
      m_cbUsed(0),
      m_number(kFirstKeyNumber),
      m_bLineOpen(false),
      m_bPendingCr(false),
      m_bStopped(false),
      m_bFailed(false),
      m_pObserver(nullptr) {}

int LineRewriter::Feed(const char* p, size_t cb) {
    if (m_bStopped || m_bFailed || cb == 0)
        return m_bFailed ? 0 : 1;
    if (const void* pEot = std::memchr(p, kEndOfText, cb)) {
        cb = static_cast<size_t>(static_cast<const char*>(pEot) - p);
        m_bStopped = true;
    }
    const char* const pEnd = p + cb;
    if (m_bPendingCr && p != pEnd) {
        m_bPendingCr = false;
        if (*p != kLf)
            AddLineBytes(&kCr, 1);  // a lone CR is text
    }
    while (p != pEnd && !m_bFailed) {
        if (!m_bLineOpen && m_pObserver == nullptr) {
            p = PutWholeLines(p, pEnd);
            if (p == pEnd || m_bFailed)
                break;
        }
        const char* pLf =
            static_cast<const char*>(std::memchr(p, kLf, static_cast<size_t>(pEnd - p)));
        if (pLf == nullptr) {
            const char* pTextEnd = pEnd;
            if (pTextEnd[-1] == kCr) {
                // Whether this CR is a line end is known only with the next byte.
                --pTextEnd;
                m_bPendingCr = true;
                m_bLineOpen = true;
            }
            AddLineBytes(p, static_cast<size_t>(pTextEnd - p));
            break;
        }
        const char* pTextEnd = pLf;
        if (pTextEnd != p && pTextEnd[-1] == kCr)
            --pTextEnd;
        if (m_bLineOpen) {
            AddLineBytes(p, static_cast<size_t>(pTextEnd - p));
            EndLine(m_key.IsMissing());
        } else {
            const size_t cbText = static_cast<size_t>(pTextEnd - p);
            Put(p, cbText);  // a whole line, but the output buffer is full
            EndLine(KeyField::LineIsMissing(p, cbText));
        }
        p = pLf + 1;
    }
    return m_bFailed ? 0 : 1;
}

int LineRewriter::Finish() {
    if (m_bPendingCr) {
        m_bPendingCr = false;
        AddLineBytes(&kCr, 1);
    }
    // A last line without a line feed is a line like any other.
    if (m_bLineOpen)
        EndLine(m_key.IsMissing());
    Flush();
    return m_bFailed ? 0 : 1;
}

void LineRewriter::AddLineBytes(const char* p, size_t cb) {
    if (cb == 0)
        return;
    m_bLineOpen = true;
    m_key.Feed(p, cb);
    Put(p, cb);
}

const char* LineRewriter::PutWholeLines(const char* p, const char* pEnd) {
    // Locals, not members: the compiler keeps them in registers across the
    // byte copies.
    char* pOut = m_pOut + m_cbUsed;
    char* const pOutEnd = m_pOut + m_cbOut;
    for (;;) {
        const char* pLf =
            static_cast<const char*>(std::memchr(p, kLf, static_cast<size_t>(pEnd - p)));
        if (pLf == nullptr)
            break;
        const char* pTextEnd = pLf != p && pLf[-1] == kCr ? pLf - 1 : pLf;
        const size_t cbText = static_cast<size_t>(pTextEnd - p);
        const size_t cbNumber = KeyField::LineIsMissing(p, cbText) ? m_number.Length() : 0;
        if (cbText + cbNumber + sizeof kCrLf > static_cast<size_t>(pOutEnd - pOut))
            break;
        std::memcpy(pOut, p, cbText);
        std::memcpy(pOut + cbText, m_number.Text(), cbNumber);
        pOut += cbText + cbNumber;
        *pOut++ = kCr;
        *pOut++ = kLf;
        p = pLf + 1;
        if (!m_number.Increment()) {
            m_bFailed = true;
            break;
        }
    }
    m_cbUsed = static_cast<size_t>(pOut - m_pOut);
    return p;
}

void LineRewriter::EndLine(int bMissing) {
    if (bMissing) {
        Put(m_number.Text(), m_number.Length());
        if (m_pObserver != nullptr)
            m_pObserver->OnNumbered(m_number.Text(), m_number.Length());
    }
    Put(kCrLf, sizeof kCrLf);
    if (!m_number.Increment())
        m_bFailed = true;
    m_key.Reset();
    m_bLineOpen = false;
}

void LineRewriter::PutSlow(const char* p, size_t cb) {
    while (!m_bFailed && cb > m_cbOut - m_cbUsed) {
        const size_t cbRoom = m_cbOut - m_cbUsed;
        std::memcpy(m_pOut + m_cbUsed, p, cbRoom);
        m_cbUsed = m_cbOut;
        p += cbRoom;
        cb -= cbRoom;
        Flush();
    }
    if (m_bFailed)
        return;
    std::memcpy(m_pOut + m_cbUsed, p, cb);
    m_cbUsed += cb;
}

void LineRewriter::Flush() {
    if (m_bFailed || m_cbUsed == 0)
        return;
    if (!m_pSink->Write(m_pOut, m_cbUsed))
        m_bFailed = true;
    m_cbUsed = 0;
}

}  // namespace sk

// Streaming line rule: bounded memory for any line or file length.
#include "line_rewriter.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sk {

namespace {
const char kLf = '\n';
const char kCr = '\r';
const char kEndOfText = 26;
// CR LF, with room to read 16 bytes from it as from a key number's text.
const char kCrLf[16] = {kCr, kLf};
const size_t kcbCrLf = 2;

// The first byte ch in [p, pEnd), or null. glibc's memchr looks at many
// bytes at a time; other C libraries' (the msvcrt of Wine among them) may
// look at one, which costs more than the rest of the rewriting, so
// elsewhere 64 bytes go in one step where the processor has SSE2.
inline const char* FindByte(const char* p, const char* pEnd, char ch) {
#if defined(__SSE2__) && !defined(__GLIBC__)
    const __m128i v = _mm_set1_epi8(ch);
    for (; pEnd - p >= 64; p += 64) {
        const __m128i* q = reinterpret_cast<const __m128i*>(p);
        const __m128i m01 = _mm_or_si128(_mm_cmpeq_epi8(_mm_loadu_si128(q), v),
                                         _mm_cmpeq_epi8(_mm_loadu_si128(q + 1), v));
        const __m128i m23 = _mm_or_si128(_mm_cmpeq_epi8(_mm_loadu_si128(q + 2), v),
                                         _mm_cmpeq_epi8(_mm_loadu_si128(q + 3), v));
        if (_mm_movemask_epi8(_mm_or_si128(m01, m23)) != 0)
            break;  // it is in these 64 bytes
    }
    for (; pEnd - p >= 16; p += 16) {
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), v)));
        if (m != 0)
            return p + __builtin_ctz(m);
    }
#endif
    return static_cast<const char*>(std::memchr(p, ch, static_cast<size_t>(pEnd - p)));
}

// The line feeds of a stretch of input, in order. Where the processor has
// SSE2 it finds those of 64 bytes at once and hands them out from a bit
// mask, so that a short line costs a few instructions, not a call.
class LfScanner {
public:
    LfScanner(const char* p, const char* pEnd) : m_pNext(p), m_pEnd(pEnd), m_ullMask(0) {}

    // The next line feed, or null.
    const char* Next() {
#if defined(__SSE2__)
        while (m_ullMask == 0) {
            if (m_pEnd - m_pNext < 64)
                return Rest();
            m_ullMask = Mask(m_pNext);
            m_pWindow = m_pNext;
            m_pNext += 64;
        }
        const char* pLf = m_pWindow + static_cast<unsigned>(__builtin_ctzll(m_ullMask));
        m_ullMask &= m_ullMask - 1;
        return pLf;
#else
        return Rest();
#endif
    }

private:
    const char* Rest() {
        const char* pLf = FindByte(m_pNext, m_pEnd, kLf);
        if (pLf != nullptr)
            m_pNext = pLf + 1;
        return pLf;
    }
#if defined(__SSE2__)
    static unsigned long long Mask(const char* p) {
        const __m128i lf = _mm_set1_epi8(kLf);
        const __m128i* q = reinterpret_cast<const __m128i*>(p);
        const unsigned long long m0 =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(q), lf)));
        const unsigned long long m1 =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(q + 1), lf)));
        const unsigned long long m2 =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(q + 2), lf)));
        const unsigned long long m3 =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(q + 3), lf)));
        return m0 | m1 << 16 | m2 << 32 | m3 << 48;
    }
    const char* m_pWindow = nullptr;  // the 64 bytes that m_ullMask describes
#endif
    const char* m_pNext;  // the first byte not yet looked at
    const char* const m_pEnd;
    unsigned long long m_ullMask;  // line feeds of the window not yet handed out
};

// Room on both sides of a short run's copy: its moves overshoot by up to
// this much, which the bytes that follow overwrite.
const size_t kShortRoom = 128;

// Copies a run of bytes, with kShortRoom bytes of room after it on both
// sides. The common runs, one or two lines of a record, go in four or eight
// fixed 16-byte moves; longer runs with memcpy.
inline void CopyRun(char* pOut, const char* p, size_t cb) {
#if defined(__SSE2__)
    const __m128i* q = reinterpret_cast<const __m128i*>(p);
    __m128i* r = reinterpret_cast<__m128i*>(pOut);
    if (cb <= 64) {
        for (int i = 0; i < 4; ++i)  // unrolled by the compiler
            _mm_storeu_si128(r + i, _mm_loadu_si128(q + i));
        return;
    }
    if (cb <= kShortRoom) {
        for (int i = 0; i < 8; ++i)
            _mm_storeu_si128(r + i, _mm_loadu_si128(q + i));
        return;
    }
#endif
    std::memcpy(pOut, p, cb);
}

// Copies a line's end of up to 22 bytes from p, which can be read 16 bytes
// far, to pOut, with kShortRoom bytes of room.
inline void CopyEnd(char* pOut, const char* p, size_t cb) {
#if defined(__SSE2__)
    if (cb <= 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return;
    }
#endif
    std::memcpy(pOut, p, cb);
}
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
      m_counts() {}

int LineRewriter::Feed(const char* p, size_t cb) {
    if (m_bStopped || m_bFailed || cb == 0)
        return m_bFailed ? 0 : 1;
    if (const char* pEot = FindByte(p, p + cb, kEndOfText)) {
        cb = static_cast<size_t>(pEot - p);
        m_bStopped = true;
    }
    const char* const pEnd = p + cb;
    if (m_bPendingCr && p != pEnd) {
        m_bPendingCr = false;
        if (*p != kLf)
            AddLineBytes(&kCr, 1);  // a lone CR is text
    }
    while (p != pEnd && !m_bFailed) {
        if (!m_bLineOpen) {
            p = PutWholeLines(p, pEnd);
            if (p == pEnd || m_bFailed)
                break;
        }
        const char* pLf = FindByte(p, pEnd, kLf);
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
    unsigned long long ullLines = m_counts.ullLines;
    unsigned long long ullNumbered = m_counts.ullNumbered;
    const char* const pStart = p;
    // Lines that end in CR LF and keep their key go out as they came: they
    // are copied as one run when a line that changes ends it.
    const char* pRun = p;
    LfScanner lfs(p, pEnd);
    for (;;) {
        const char* pLf = lfs.Next();
        if (pLf == nullptr)
            break;
        const bool bCrLf = pLf != p && pLf[-1] == kCr;
        const char* pTextEnd = bCrLf ? pLf - 1 : pLf;
        const size_t cbLine = static_cast<size_t>(pTextEnd - p);
        // A CR LF line that keeps its key ends the run only where a line
        // that changes follows it: the run goes on branching on the key, so
        // the key is judged with branches, which cost least where keys
        // follow a pattern. A line feed alone always changes: judged without
        // a branch that the keys can make go either way.
        const bool bMissing = bCrLf ? KeyField::LineIsMissing(p, cbLine) != 0
                                    : KeyField::LineAfterLfIsMissing(pStart, p, cbLine) != 0;
        // One comparison: kept when it ends in CR LF and keeps its key.
        if (!(bCrLf > bMissing)) {
            // A CR LF line that changes gets a number: known before its key
            // is judged, the end's length is then not waiting for that.
            const bool bNumber = bCrLf | bMissing;
            const size_t cbText = static_cast<size_t>(pTextEnd - pRun);
            const size_t cbRoom = static_cast<size_t>(pOutEnd - pOut);
            const char* pEndText = m_number.LineEnd(bNumber);
            const size_t cbEnd = m_number.LineEndLength(bNumber);
            if (cbText + kShortRoom <= cbRoom &&
                static_cast<size_t>(pEnd - pTextEnd) >= kShortRoom) {
                CopyRun(pOut, pRun, cbText);
                pOut += cbText;
                CopyEnd(pOut, pEndText, cbEnd);
            } else {
                if (cbText + cbEnd > cbRoom)
                    break;
                std::memcpy(pOut, pRun, cbText);
                pOut += cbText;
                std::memcpy(pOut, pEndText, cbEnd);
            }
            pOut += cbEnd;
            if (ullNumbered < LineCounts::kListed && bNumber)
                m_counts.aullFirst[ullNumbered] = ullLines + 1;
            ullNumbered += bNumber;
            pRun = pLf + 1;
        }
        p = pLf + 1;
        ++ullLines;
        if (!m_number.Increment()) {
            m_bFailed = true;
            break;
        }
    }
    m_cbUsed = static_cast<size_t>(pOut - m_pOut);
    m_counts.ullLines = ullLines;
    m_counts.ullNumbered = ullNumbered;
    Put(pRun, static_cast<size_t>(p - pRun));  // the unchanged lines since the last change
    return p;
}

void LineRewriter::EndLine(int bMissing) {
    if (bMissing) {
        Put(m_number.Text(), m_number.Length());
        CountNumbered();
    }
    Put(kCrLf, kcbCrLf);
    ++m_counts.ullLines;
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
    if (!m_pSink->Write(m_pOut, m_cbUsed)) {
        m_bFailed = true;
    } else {
        m_pOut = m_pSink->NextBuffer(m_pOut);
    }
    m_cbUsed = 0;
}

}  // namespace sk

// Follows the key field of a line while its bytes stream past, so that a line
// of any length is judged by its real last field without being held whole.
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sk {

class KeyField {
public:
    KeyField() { Reset(); }

    // Starts a new line.
    void Reset();

    // Adds bytes of the current line (never a line feed); any number of calls.
    void Feed(const char* p, size_t cb);

    // 1 when the key field of the bytes fed so far is empty or reads as zero.
    // The key field is the last field, or the one before a comma that ends the line.
    int IsMissing() const;

    // The same judgement for a whole line at once, without its line feed.
    static int LineIsMissing(const char* p, size_t cb);
    // The same for a line that starts at pReadable or after a line feed,
    // where the bytes from pReadable on and the one after the line may be
    // read: a line is then judged with few branches.
    static int LineAfterLfIsMissing(const char* pReadable, const char* p, size_t cb);

private:
    // The zero test, one byte at a time: blanks, at most one sign, then digits.
    // The key reads as zero unless a nonzero digit comes in that run of digits,
    // which is zero in exact arithmetic for any number of digits.
    struct Zero {
        enum Phase { kBlanks, kSign, kDigits, kDone };
        Phase phase;
        bool bNonzero;
        void Reset() {
            phase = kBlanks;
            bNonzero = false;
        }
        void Feed(const char* p, size_t cb);
    };

    Zero m_cur;        // the field after the last comma
    Zero m_prev;       // the field before the last comma
    bool m_bSawComma;  // the line has a comma so far
    bool m_bCurEmpty;  // nothing came after the last comma (or since the line began)
};

// Inline: all of it runs for every line of a file.
namespace key_field_detail {

// The blanks that the C library's atoi skips.
constexpr bool IsBlank(unsigned char b) {
    return b == ' ' || b == '\t' || b == '\n' || b == '\v' || b == '\f' || b == '\r';
}

inline bool IsDigit(unsigned char b) {
    return b >= '0' && b <= '9';
}

// The start of the field that ends at pEnd: just after the last comma
// before pEnd, or p. 16 bytes a step where the processor has SSE2.
inline const char* FieldStart(const char* p, const char* pEnd) {
#if defined(__SSE2__)
    const __m128i comma = _mm_set1_epi8(',');
    for (; pEnd - p >= 16; pEnd -= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pEnd - 16));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, comma)));
        if (m != 0)
            return pEnd - 16 + (32 - __builtin_clz(m));
    }
#endif
    while (pEnd != p && pEnd[-1] != ',')
        --pEnd;
    return pEnd;
}

// 1 when the key in [p, pEnd) reads as zero.
inline int ReadsAsZero(const char* p, const char* pEnd) {
    if (p == pEnd)
        return 1;
    // Above '0' only a nonzero digit makes a key: blanks and signs are
    // below it. So most keys are known by their first byte.
    const unsigned char b = static_cast<unsigned char>(*p);
    if (b > '0')
        return b > '9' ? 1 : 0;
    for (; p != pEnd && IsBlank(static_cast<unsigned char>(*p)); ++p) {
    }
    if (p != pEnd && (*p == '+' || *p == '-'))
        ++p;
    for (; p != pEnd && *p == '0'; ++p) {
    }
    return p != pEnd && *p >= '1' && *p <= '9' ? 0 : 1;
}

// What the first byte of a key and its length, 0, 1 or more, tell: 0 it
// reads as nonzero, 1 as zero, 2 the key must be read in full (two bytes
// or more, the first a blank, a sign or '0').
struct KeyStartTable {
    unsigned char a[3][256];
};
constexpr KeyStartTable MakeKeyStartTable() {
    KeyStartTable t = {};
    for (int n = 0; n < 3; ++n) {
        for (int b = 0; b < 256; ++b) {
            const bool bOpen =
                IsBlank(static_cast<unsigned char>(b)) || b == '+' || b == '-' || b == '0';
            t.a[n][b] = n == 0 ? 1 : b >= '1' && b <= '9' ? 0 : n == 2 && bOpen ? 2 : 1;
        }
    }
    return t;
}
inline constexpr KeyStartTable kKeyStart = MakeKeyStartTable();

// The same for a key of cb bytes at p, where p[0] may be read even when cb
// is 0: most keys are known from a table without a branch that the data
// can make go either way.
inline int KeyReadsAsZero(const char* p, size_t cb) {
    const unsigned char r = kKeyStart.a[cb < 2 ? cb : 2][static_cast<unsigned char>(*p)];
    return r != 2 ? r : ReadsAsZero(p, p + cb);
}

inline const char* LastComma(const char* p, size_t cb) {
    const char* pField = FieldStart(p, p + cb);
    return pField != p ? pField - 1 : nullptr;
}

}  // namespace key_field_detail

inline void KeyField::Zero::Feed(const char* p, size_t cb) {
    for (const char* e = p + cb; p != e && phase != kDone; ++p) {
        const unsigned char b = static_cast<unsigned char>(*p);
        switch (phase) {
            case kBlanks:
                if (key_field_detail::IsBlank(b))
                    break;
                if (b == '+' || b == '-') {
                    phase = kSign;
                    break;
                }
                [[fallthrough]];
            case kSign:
            case kDigits:
                if (!key_field_detail::IsDigit(b)) {
                    phase = kDone;
                } else if (b != '0') {
                    bNonzero = true;
                    phase = kDone;  // nothing after it can make the key zero again
                } else {
                    phase = kDigits;
                }
                break;
            case kDone:
                break;
        }
    }
}

inline void KeyField::Reset() {
    m_cur.Reset();
    m_prev.Reset();
    m_bSawComma = false;
    m_bCurEmpty = true;
}

inline void KeyField::Feed(const char* p, size_t cb) {
    if (cb == 0)
        return;
    const char* pEnd = p + cb;
    const char* pComma = key_field_detail::LastComma(p, cb);
    if (pComma == nullptr) {
        m_cur.Feed(p, cb);
        m_bCurEmpty = false;
        return;
    }
    // The field before the last comma becomes the key only if the line ends
    // right after that comma; it is needed only while that may still happen.
    if (pComma + 1 == pEnd) {
        const char* pComma2 = key_field_detail::LastComma(p, static_cast<size_t>(pComma - p));
        if (pComma2 != nullptr) {
            m_prev.Reset();
            m_prev.Feed(pComma2 + 1, static_cast<size_t>(pComma - pComma2 - 1));
        } else {
            m_cur.Feed(p, static_cast<size_t>(pComma - p));
            m_prev = m_cur;
        }
    }
    m_cur.Reset();
    m_cur.Feed(pComma + 1, static_cast<size_t>(pEnd - pComma - 1));
    m_bCurEmpty = pComma + 1 == pEnd;
    m_bSawComma = true;
}

inline int KeyField::IsMissing() const {
    const Zero& key = (m_bSawComma && m_bCurEmpty) ? m_prev : m_cur;
    return key.bNonzero ? 0 : 1;
}

inline int KeyField::LineIsMissing(const char* p, size_t cb) {
    // Backwards from the line's end over the key field only, so that a line
    // costs a few instructions beyond its line-feed scan.
    const char* pKeyEnd = p + cb;
    const char* pKey;
#if defined(__SSE2__)
    // The last 16 bytes hold the key and the comma before it on many lines,
    // also the comma before one that ends the line: one look at them.
    if (cb >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pKeyEnd - 16));
        unsigned m =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(','))));
        if (m & 0x8000) {
            // A comma ends the line: the key is the field before it.
            --pKeyEnd;
            m &= 0x7fff;
        }
        pKey = m != 0 ? p + cb - 16 + (32 - __builtin_clz(m))
                      : key_field_detail::FieldStart(p, p + cb - 16);
        return key_field_detail::ReadsAsZero(pKey, pKeyEnd);
    }
#endif
    pKey = key_field_detail::FieldStart(p, pKeyEnd);
    if (pKey == pKeyEnd && pKey != p) {
        pKeyEnd = pKey - 1;
        pKey = key_field_detail::FieldStart(p, pKeyEnd);
    }
    return key_field_detail::ReadsAsZero(pKey, pKeyEnd);
}

inline int KeyField::LineAfterLfIsMissing(const char* pReadable, const char* p, size_t cb) {
#if defined(__SSE2__)
    // The last 32 bytes hold the key and what comes before it on most lines:
    // a comma, or the line feed before the line. Their commas and line feeds
    // as bits; no branch that the data can make go either way.
    const char* const pEnd = p + cb;
    if (pEnd - pReadable >= 32) {
        const char* const pLook = pEnd - 32;
        const __m128i comma = _mm_set1_epi8(',');
        const __m128i lf = _mm_set1_epi8('\n');
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pLook));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pLook + 16));
        const unsigned m0 = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b0, comma), _mm_cmpeq_epi8(b0, lf))));
        const unsigned m1 = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b1, comma), _mm_cmpeq_epi8(b1, lf))));
        // A comma that ends the line makes the field before it the key.
        const unsigned bCommaEnd = pEnd[-1] == ',';
        const unsigned m = (m0 | m1 << 16) ^ bCommaEnd << 31;
        if (m != 0) {
            const unsigned iKey = (31 ^ static_cast<unsigned>(__builtin_clz(m))) + 1;
            return key_field_detail::KeyReadsAsZero(pLook + iKey, 32 - bCommaEnd - iKey);
        }
    }
#else
    (void)pReadable;
#endif
    return LineIsMissing(p, cb);
}

}  // namespace sk

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
inline bool IsBlank(unsigned char b) {
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
    const char* pKey = key_field_detail::FieldStart(p, pKeyEnd);
    if (pKey == pKeyEnd && pKey != p) {
        // A comma ends the line: the key is the field before it.
        pKeyEnd = pKey - 1;
        pKey = key_field_detail::FieldStart(p, pKeyEnd);
    }
    // A key that starts with a nonzero digit, the common one, is known at once.
    if (pKey != pKeyEnd && static_cast<unsigned char>(*pKey - '1') < 9)
        return 0;
    for (; pKey != pKeyEnd && key_field_detail::IsBlank(static_cast<unsigned char>(*pKey));
         ++pKey) {
    }
    if (pKey != pKeyEnd && (*pKey == '+' || *pKey == '-'))
        ++pKey;
    for (; pKey != pKeyEnd && *pKey == '0'; ++pKey) {
    }
    return pKey != pKeyEnd && *pKey >= '1' && *pKey <= '9' ? 0 : 1;
}

}  // namespace sk

// Follows the key field of a line while its bytes stream past, so that a line
// of any length is judged by its real last field without being held whole.
#pragma once

#include <cstddef>

namespace sk {

namespace key_field_detail {

// The start of the field that ends at pEnd: just after the last comma
// before pEnd, or p. A byte at a time; the rewriter passes its own, which
// looks at more bytes at once where the processor can.
inline const char* FieldStart(const char* p, const char* pEnd) {
    while (pEnd != p && pEnd[-1] != ',')
        --pEnd;
    return pEnd;
}

}  // namespace key_field_detail

// Finds the start of the field that ends at pEnd, as key_field_detail::FieldStart does.
using FieldStartFinder = const char* (*)(const char* p, const char* pEnd);

class KeyField {
public:
    KeyField() { Reset(); }

    // Starts a new line.
    void Reset();

    // Adds bytes of the current line (never a line feed); any number of calls.
    void Feed(const char* p, size_t cb) { FeedWith<key_field_detail::FieldStart>(p, cb); }
    template <FieldStartFinder FindFieldStart>
    void FeedWith(const char* p, size_t cb);

    // 1 when the key field of the bytes fed so far is empty or reads as zero.
    // The key field is the last field, or the one before a comma that ends the line.
    int IsMissing() const;

    // The same judgement for a whole line at once, without its line feed.
    static int LineIsMissing(const char* p, size_t cb) {
        return LineIsMissingWith<key_field_detail::FieldStart>(p, cb);
    }
    template <FieldStartFinder FindFieldStart>
    static int LineIsMissingWith(const char* p, size_t cb);

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
// can make go either way. Always inlined: the rewriter's SSE2 code, built
// for another processor than this header, calls it for every line.
[[gnu::always_inline]] inline int KeyReadsAsZero(const char* p, size_t cb) {
    const unsigned char r = kKeyStart.a[cb < 2 ? cb : 2][static_cast<unsigned char>(*p)];
    return r != 2 ? r : ReadsAsZero(p, p + cb);
}

template <FieldStartFinder FindFieldStart>
inline const char* LastComma(const char* p, size_t cb) {
    const char* pField = FindFieldStart(p, p + cb);
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

template <FieldStartFinder FindFieldStart>
inline void KeyField::FeedWith(const char* p, size_t cb) {
    if (cb == 0)
        return;
    const char* pEnd = p + cb;
    const char* pComma = key_field_detail::LastComma<FindFieldStart>(p, cb);
    if (pComma == nullptr) {
        m_cur.Feed(p, cb);
        m_bCurEmpty = false;
        return;
    }
    // The field before the last comma becomes the key only if the line ends
    // right after that comma; it is needed only while that may still happen.
    if (pComma + 1 == pEnd) {
        const char* pComma2 =
            key_field_detail::LastComma<FindFieldStart>(p, static_cast<size_t>(pComma - p));
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

template <FieldStartFinder FindFieldStart>
inline int KeyField::LineIsMissingWith(const char* p, size_t cb) {
    // Backwards from the line's end over the key field only, so that a line
    // costs a few instructions beyond its line-feed scan.
    const char* pKeyEnd = p + cb;
    const char* pKey = FindFieldStart(p, pKeyEnd);
    if (pKey == pKeyEnd && pKey != p) {
        // A comma ends the line: the key is the field before it.
        pKeyEnd = pKey - 1;
        pKey = FindFieldStart(p, pKeyEnd);
    }
    return key_field_detail::ReadsAsZero(pKey, pKeyEnd);
}

}  // namespace sk

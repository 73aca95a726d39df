// The key-field scan and the zero test of the line rule.
#include "key_field.h"

namespace sk {

namespace {

// The blanks that the C library's atoi skips.
bool IsBlank(unsigned char b) {
    return b == ' ' || b == '\t' || b == '\n' || b == '\v' || b == '\f' || b == '\r';
}

bool IsDigit(unsigned char b) {
    return b >= '0' && b <= '9';
}

const char* LastComma(const char* p, size_t cb) {
    for (const char* q = p + cb; q != p;) {
        if (*--q == ',')
            return q;
    }
    return nullptr;
}

}  // namespace

void KeyField::Zero::Feed(const char* p, size_t cb) {
    for (const char* e = p + cb; p != e && phase != kDone; ++p) {
        const unsigned char b = static_cast<unsigned char>(*p);
        switch (phase) {
            case kBlanks:
                if (IsBlank(b))
                    break;
                if (b == '+' || b == '-') {
                    phase = kSign;
                    break;
                }
                [[fallthrough]];
            case kSign:
            case kDigits:
                if (!IsDigit(b)) {
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

void KeyField::Reset() {
    m_cur.Reset();
    m_prev.Reset();
    m_bSawComma = false;
    m_bCurEmpty = true;
}

void KeyField::Feed(const char* p, size_t cb) {
    if (cb == 0)
        return;
    const char* pEnd = p + cb;
    const char* pComma = LastComma(p, cb);
    if (pComma == nullptr) {
        m_cur.Feed(p, cb);
        m_bCurEmpty = false;
        return;
    }
    // The field before the last comma becomes the key only if the line ends
    // right after that comma; it is needed only while that may still happen.
    if (pComma + 1 == pEnd) {
        const char* pComma2 = LastComma(p, static_cast<size_t>(pComma - p));
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

int KeyField::LineIsMissing(const char* p, size_t cb) {
    const char* pEnd = p + cb;
    const char* pField = p;
    if (const char* pComma = LastComma(p, cb)) {
        pField = pComma + 1;
        if (pField == pEnd) {
            // A comma that ends the line opens no field: the key is the one before it.
            pEnd = pComma;
            const char* pComma2 = LastComma(p, static_cast<size_t>(pEnd - p));
            pField = pComma2 != nullptr ? pComma2 + 1 : p;
        }
    }
    Zero key;
    key.Reset();
    key.Feed(pField, static_cast<size_t>(pEnd - pField));
    return key.bNonzero ? 0 : 1;
}

int KeyField::IsMissing() const {
    const Zero& key = (m_bSawComma && m_bCurEmpty) ? m_prev : m_cur;
    return key.bNonzero ? 0 : 1;
}

}  // namespace sk

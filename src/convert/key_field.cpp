// The key-field scan of a line that arrives in pieces.
#include "key_field.h"

namespace sk {

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

int KeyField::IsMissing() const {
    const Zero& key = (m_bSawComma && m_bCurEmpty) ? m_prev : m_cur;
    return key.bNonzero ? 0 : 1;
}

}  // namespace sk

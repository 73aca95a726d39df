// Decimal key numbers of any length up to 20 digits.
#include "key_number.h"

namespace sk {

KeyNumber::KeyNumber(unsigned long long ullFirst) : m_szDigits(), m_iFirst(kMaxDigits) {
    m_szDigits[kMaxDigits] = '\0';
    do {
        m_szDigits[--m_iFirst] = static_cast<char>('0' + ullFirst % 10);
        ullFirst /= 10;
    } while (ullFirst != 0);
}

int KeyNumber::Carry() {
    for (size_t i = kMaxDigits; i > m_iFirst; --i) {
        if (m_szDigits[i - 1] != '9') {
            ++m_szDigits[i - 1];
            return 1;
        }
        m_szDigits[i - 1] = '0';
    }
    if (m_iFirst == 0) {
        // Restore 99...9 so that the text stays what it was before the call.
        for (size_t i = 0; i < kMaxDigits; ++i)
            m_szDigits[i] = '9';
        return 0;
    }
    m_szDigits[--m_iFirst] = '1';
    return 1;
}

}  // namespace sk

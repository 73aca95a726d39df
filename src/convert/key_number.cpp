// Decimal key numbers of any length up to 20 digits.
#include "key_number.h"

namespace sk {

KeyNumber::KeyNumber(unsigned long long ullFirst) : m_achText(), m_cDigits(0) {
    m_achText[kMaxDigits] = '\r';
    m_achText[kMaxDigits + 1] = '\n';
    do {
        m_achText[kMaxDigits - ++m_cDigits] = static_cast<char>('0' + ullFirst % 10);
        ullFirst /= 10;
    } while (ullFirst != 0);
}

int KeyNumber::Carry() {
    for (size_t i = kMaxDigits; i > kMaxDigits - m_cDigits; --i) {
        if (m_achText[i - 1] != '9') {
            ++m_achText[i - 1];
            return 1;
        }
        m_achText[i - 1] = '0';
    }
    if (m_cDigits == kMaxDigits) {
        // Restore 99...9 so that the text stays what it was before the call.
        for (size_t i = 0; i < kMaxDigits; ++i)
            m_achText[i] = '9';
        return 0;
    }
    m_achText[kMaxDigits - ++m_cDigits] = '1';
    return 1;
}

}  // namespace sk

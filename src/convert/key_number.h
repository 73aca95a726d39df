// The key number of the current line, kept as decimal text so that moving to
// the next line costs a digit increment instead of a full conversion.
#pragma once

#include <cstddef>

namespace sk {

class KeyNumber {
public:
    // Up to 20 digits: a file would need more than 10^19 lines to need more.
    static const size_t kMaxDigits = 20;

    explicit KeyNumber(unsigned long long ullFirst);

    const char* Text() const { return m_szDigits + m_iFirst; }
    size_t Length() const { return kMaxDigits - m_iFirst; }

    // Moves to the next number; 0 when it no longer fits (never for a real file).
    int Increment() {
        char& chLast = m_szDigits[kMaxDigits - 1];
        if (chLast == '9')
            return Carry();
        ++chLast;
        return 1;
    }

private:
    int Carry();

    char m_szDigits[kMaxDigits + 1];  // right-aligned digits, then a terminator
    size_t m_iFirst;                  // index of the first digit
};

}  // namespace sk

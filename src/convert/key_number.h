// The key number of the current line, kept as decimal text so that moving to
// the next line costs a digit increment instead of a full conversion.
#pragma once

#include <cstddef>
#include <cstring>

namespace sk {

class KeyNumber {
public:
    // Up to 20 digits: a file would need more than 10^19 lines to need more.
    static const size_t kMaxDigits = 20;

    explicit KeyNumber(unsigned long long ullFirst);

    const char* Text() const { return m_szDigits + m_iFirst; }
    size_t Length() const { return kMaxDigits - m_iFirst; }

    // Writes the first cb bytes of the text (all or none) to p, which has
    // cbRoom bytes; short texts go in one fixed 16-byte move, whose
    // overshoot the caller's next bytes overwrite.
    void CopyTo(char* p, size_t cbRoom, size_t cb) const {
        if (cb <= 16 && cbRoom >= 16)
            std::memcpy(p, Text(), 16);
        else
            std::memcpy(p, Text(), cb);
    }

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

    // Right-aligned digits, a terminator, and room to read 16 bytes from the
    // first digit of any number.
    char m_szDigits[kMaxDigits + 16];
    size_t m_iFirst;  // index of the first digit
};

}  // namespace sk

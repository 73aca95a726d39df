// The key number of the current line, kept as decimal text so that moving to
// the next line costs a digit increment instead of a full conversion, and
// followed by CR LF, the bytes that end a numbered line.
#pragma once

#include <cstddef>
#include <cstring>

namespace sk {

class KeyNumber {
public:
    // Up to 20 digits: a file would need more than 10^19 lines to need more.
    static const size_t kMaxDigits = 20;

    explicit KeyNumber(unsigned long long ullFirst);

    const char* Text() const { return m_achText + kMaxDigits - m_cDigits; }
    size_t Length() const { return m_cDigits; }
    // Read for every numbered line, also by the rewriter's SSE2 code (see LineEnd).
    [[gnu::always_inline]] char LastDigit() const { return m_achText[kMaxDigits - 1]; }
    // Whether the cb bytes of text at p end in this number's digits.
    bool EndsText(const char* p, size_t cb) const {
        return cb >= m_cDigits && std::memcmp(p + cb - m_cDigits, Text(), m_cDigits) == 0;
    }
    // The end of a line that gets the number, the number and CR LF, or of
    // one that does not, CR LF alone; 16 bytes can be read from either.
    // Chosen by arithmetic: no branch that the lines can make go either way.
    // These two and Increment run for every line, also in the rewriter's
    // SSE2 code, which is built for another processor than this header:
    // always inlined, as GCC inlines across that only when told.
    [[gnu::always_inline]] const char* LineEnd(bool bNumber) const {
        return m_achText + kMaxDigits - Digits(bNumber);
    }
    [[gnu::always_inline]] size_t LineEndLength(bool bNumber) const { return Digits(bNumber) + 2; }

    // Moves to the next number; 0 when it no longer fits (never for a real file).
    [[gnu::always_inline]] int Increment() {
        char& chLast = m_achText[kMaxDigits - 1];
        if (chLast == '9')
            return Carry();
        ++chLast;
        return 1;
    }

private:
    int Carry();
    // The number's length if bNumber, else 0.
    [[gnu::always_inline]] size_t Digits(bool bNumber) const {
        return m_cDigits & (0 - static_cast<size_t>(bNumber));
    }

    // Right-aligned digits, CR LF, and room to read 16 bytes from the first
    // digit of any number.
    char m_achText[kMaxDigits + 16];
    size_t m_cDigits;
};

}  // namespace sk

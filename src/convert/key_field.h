// Follows the key field of a line while its bytes stream past, so that a line
// of any length is judged by its real last field without being held whole.
#pragma once

#include <cstddef>

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

}  // namespace sk

// The signatures a text of records cannot start with. Each is certain for one
// of two reasons: it holds a byte that no code page 932 text holds (a byte
// that is no character of the code page, 0x80, 0xA0 or 0xFD to 0xFF, or a
// control character that text never uses), or it is a format's own header,
// naming the format and its version, long enough that no record begins with
// it. Left out on purpose: "BM" (bitmaps; "BMW,3" is a record) and TIFF's
// "II*"/"MM" with a NUL (NUL bytes are text to the pass).
#include "text_signature.h"

namespace sk {

namespace {

// In a pattern, this stands for any digit.
const char kAnyDigit = '#';

struct Signature {
    const char* pszPattern;
    size_t cb;
    NonText format;
};

const Signature kSignatures[] = {
    // UTF-32 LE's mark starts as UTF-16 LE's, and is told apart first.
    {"\xff\xfe\0\0", 4, NonText::kUtf32},
    {"\xff\xfe", 2, NonText::kUtf16},      // UTF-16 LE byte-order mark: 0xFF
    {"\xfe\xff", 2, NonText::kUtf16},      // UTF-16 BE byte-order mark: 0xFE
    {"\0\0\xfe\xff", 4, NonText::kUtf32},  // UTF-32 BE byte-order mark: 0xFE
    {"\xff\xd8\xff", 3, NonText::kJpeg},   // JPEG: 0xFF
    {"PK\x03\x04", 4, NonText::kZip},      // ZIP (.xlsx, .docx): end of text, end of transmission
    {"PK\x05\x06", 4, NonText::kZip},      // an empty ZIP: enquiry, acknowledge
    {"PK\x07\x08", 4, NonText::kZip},      // the first part of a split ZIP: bell, backspace
    {"PK00PK\x03\x04", 8, NonText::kZip},  // a ZIP marked for splitting in one part: as ZIP
    {"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", 8,
     NonText::kCompound},            // compound file (.xls, .doc): device control 1
    {"%PDF-#.#", 8, NonText::kPdf},  // PDF's header line and version
    {"\x89PNG\r\n\x1a\n", 8,
     NonText::kPng},               // PNG: made to be no text, with byte 26 and a line feed after it
    {"GIF87a", 6, NonText::kGif},  // GIF's header and version
    {"GIF89a", 6, NonText::kGif},
};

bool Matches(const Signature& sig, const char* p, size_t cb) {
    if (cb < sig.cb)
        return false;
    for (size_t i = 0; i < sig.cb; ++i) {
        const char c = sig.pszPattern[i];
        if (c == kAnyDigit ? p[i] < '0' || p[i] > '9' : p[i] != c)
            return false;
    }
    return true;
}

}  // namespace

NonText NonTextFormat(const char* p, size_t cb) {
    for (const Signature& sig : kSignatures) {
        if (Matches(sig, p, cb))
            return sig.format;
    }
    return NonText::kNone;
}

}  // namespace sk

// Judges a file's first bytes: whether they are the signature of a format
// that is certainly not code page 932 text, so that the pass refuses the file
// instead of numbering lines inside a workbook, a PDF or an image.
#pragma once

#include <cstddef>

namespace sk {

// The most bytes the judgment looks at; a shorter file is judged on what it has.
const size_t kSignatureRoom = 8;

// The formats such a signature names, so that the user is told which was found.
enum class NonText { kNone, kZip, kCompound, kPdf, kUtf16, kUtf32, kJpeg, kPng, kGif };

// The format whose signature p[0..cb) starts with, or kNone. Only
// signatures that no text of records can start with count: a doubt converts.
NonText NonTextFormat(const char* p, size_t cb);

}  // namespace sk

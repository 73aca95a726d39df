// What a conversion's outcome is called, in each language the programs
// speak: one table per language with a row per step of the pass (why it
// stopped there, what the user can do), and one function that lays an
// outcome out, as the window's box or as skconv's line. Both front ends
// take their words from here, so that they never say two different things.
#pragma once

#include <cstddef>

#include "search_key_converter.h"

namespace sk {

// The words for one step of a conversion.
struct StepWords {
    ConvertStep step;       // the row's own step, so that the table's order is checked
    const char* pszReason;  // what happened, without its full stop (for the steps after
                            // the replacement: what failed, the file being converted)
    const char* pszRemedy;  // what to do, whole sentences; nullptr: nothing
    bool bDetail;           // the system's text for the error adds to the reason
};

// The words for a format a file that is not text starts as.
struct FormatWords {
    NonText format;         // the row's own, so that the table's order is checked
    const char* pszName;    // in the reason's place for it
    const char* pszRemedy;  // what to do with such a file
};

struct OutcomeTexts {
    const StepWords* pSteps;      // kStepCount rows, in the order of ConvertStep
    const FormatWords* pFormats;  // one row per NonText after kNone, in its order
    const char* pszNotText;       // %s the format's name
    // Where a step's own words do not fit: the window's path before a file
    // was chosen (a folder), both of a killed pass's files in the way, a
    // missing file whose old text may be under workfile.bak.
    const char* pszNoFileChosen;
    const char* pszNoFileChosenRemedy;
    const char* pszBothInTheWay;
    const char* pszBothInTheWayRemedy;
    const char* pszOldTextMaybeLeft;  // the remedy for the missing file
    const char* pszDetail;            // %s the system's text for the error
    const char* pszPlace;             // %s the full path of a file in the way
    const char* pszLeft;              // %s a file of the pass's own it could not remove
    const char* pszLeftRemedy;
    // %s where the old text is, %s the name to give it back, %s where the converted text is.
    const char* pszStranded;
    const char* pszCounted;      // %s lines, %s of them numbered, %s the list (FirstLinesText)
    const char* pszNoneCounted;  // %s lines, none of them numbered
    const char* pszOfFile;       // %s the file's name, %s what was done to its lines
    // %s lines that got a number but ended in that very number already.
    const char* pszConvertedBefore;
    // The list of the first numbered lines: " (1, 3, 7, ...)".
    const char* pszListOpen;
    const char* pszListSeparator;
    const char* pszListMore;  // after the last listed number, when more lines got one
    const char* pszListClose;
    const char* pszStop;     // after a sentence of the box or a warning
    const char* pszBetween;  // between two sentences on one line
};

extern const OutcomeTexts kEnglishOutcome;
extern const OutcomeTexts kJapaneseOutcome;

// Why a pass stopped at step, in the texts' language.
const char* ReasonText(const OutcomeTexts& texts, ConvertStep step);

// How an outcome is laid out: as the lines of the window's box, after its
// first line, or as skconv's one line (without the path and the advice).
enum class Layout { kBox, kLine };

// What conv's last Convert of pszPath did (or a Check that failed): after a failure, why,
// with the system's words where they add something, where the files it
// left are and what to do; after a success, how many lines got a number
// (in the box: of which file) and what failed after the replacement.
void DescribeOutcome(const OutcomeTexts& texts, const SearchKeyConverter& conv, const char* pszPath,
                     Layout layout, char* psz, size_t cch);
// What failed after a successful replacement, and that the file may have
// been converted before (the box's last lines, skconv's warning line); ""
// when neither.
void DescribeWarning(const OutcomeTexts& texts, const SearchKeyConverter& conv, Layout layout,
                     char* psz, size_t cch);

// Appends pszMore to the text in psz (room cch) as far as whole characters
// of the ANSI code page fit: a text cut short never ends in half a
// double-byte character.
void AppendWhole(char* psz, size_t cch, const char* pszMore);
// The same for a printf text of up to 1023 bytes.
void AppendFormat(char* psz, size_t cch, const char* pszFormat, ...);

// " (1, 3, 7)": the first numbered lines in the texts' words, or an empty
// text when no line got a number. Cut short between two characters when
// cch is too small.
void FirstLinesText(const OutcomeTexts& texts, const LineCounts& lines, char* psz, size_t cch);
// "1,234 行のうち 25 行に番号を付けました (1、3、7 … 行目)", or that no line
// got a number; without a full stop.
void LinesText(const OutcomeTexts& texts, const LineCounts& lines, char* psz, size_t cch);

// The window's own words for choosing a file. It always speaks Japanese:
// its texts are code page 932 bytes, as are its captions.
extern const char kBrowseFailed[];       // the first line when a choice is refused
extern const char kBrowsePathTooLong[];  // %u the bytes a path may have
extern const char kBrowseNameUnfit[];    // a name that code page 932 cannot spell
extern const char kBrowseError[];        // %lu the dialog's error code

}  // namespace sk

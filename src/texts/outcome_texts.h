// What a conversion's outcome is called, in each language the programs
// speak: why a pass stopped, what the user can do about it, the files it
// left behind and how many lines got a number. The window and skconv both
// take their words from here, so that they never say two different things.
#pragma once

#include <cstddef>

#include "search_key_converter.h"

namespace sk {

// The words for one step of a conversion.
struct StepWords {
    ConvertStep step;       // the row's own step, so that the table's order is checked
    const char* pszReason;  // why the pass stopped there (for the steps after the
                            // replacement: what failed, the file being converted)
    const char* pszRemedy;  // one sentence of what to do; nullptr after a success
};

struct OutcomeTexts {
    // kStepCount rows in the order of ConvertStep; nullptr: the core's
    // English words (StepText), and no remedies.
    const StepWords* pSteps;
    const char* pszLeft;         // %s a file of the pass's own that could not be removed
    const char* pszStranded;     // %s where the old text is now, %s the name to give it back
    const char* pszCounted;      // %s lines, %s of them numbered, %s the list (FirstLinesText)
    const char* pszNoneCounted;  // %s lines, none of them numbered
    // The list of the first numbered lines: " (1, 3, 7, ...)".
    const char* pszListOpen;
    const char* pszListSeparator;
    const char* pszListMore;  // after the last listed number, when more lines got one
    const char* pszListClose;
};

extern const OutcomeTexts kEnglishOutcome;
extern const OutcomeTexts kJapaneseOutcome;

// Why a pass stopped at step, in the texts' language.
const char* ReasonText(const OutcomeTexts& texts, ConvertStep step);
// What the user can do about it; nullptr when the texts hold no advice.
const char* RemedyText(const OutcomeTexts& texts, ConvertStep step);

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

// The window's own words. It always speaks Japanese: its texts are code
// page 932 bytes, as are its captions.
extern const char kWindowDetail[];       // %s the system's text for the error
extern const char kWindowPlace[];        // %s the full path of the file the step is about
extern const char kWindowLeftRemedy[];   // after the files the pass left were named
extern const char kBrowseFailed[];       // the first line when the open dialog failed
extern const char kBrowsePathTooLong[];  // %u the bytes a path may have
extern const char kBrowseError[];        // %lu the dialog's error code

}  // namespace sk

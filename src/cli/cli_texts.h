// Every text skconv prints, one table per language, so that a line never
// mixes two languages. printf formats take their arguments in the same order
// in every language. The words for a conversion's outcome are the window's
// too, and live with it (outcome_texts).
#pragma once

#include "outcome_texts.h"

namespace cli {

struct Texts {
    const char* pszHelp;
    const char* pszUsage;          // after a usage error, on standard error
    const char* pszUnknownOption;  // %s option
    const char* pszFilterAlone;
    const char* pszCheckNoFilter;  // --check given with -
    const char* pszConverted;      // %s path, %s the lines numbered (LinesText)
    const char* pszFailed;         // %s path, %s reason
    const char* pszSkipped;        // %s path, %s the earlier path
    const char* pszListFailed;     // %s pattern, %s system text
    const char* pszUnfitName;      // %s the name as near as it shows, %u code page
    const char* pszNoIdentity;     // why a file failed, before its system text
    const char* pszCheckCount;     // %s path, %llu lines, %s FirstLinesText
    const char* pszCheckReadOnly;  // %s path
    const char* pszStdin;          // the name "-" stands for in messages
    const char* pszStdout;
    const char* pszProgressStart;  // %u percent
    const char* pszProgress;       // %u percent, %.1f MB/s
    const char* pszWarning;        // %s path, %s what failed after the conversion
    const sk::OutcomeTexts* pOutcome;
};

extern const Texts kEnglish;
extern const Texts kJapanese;

}  // namespace cli

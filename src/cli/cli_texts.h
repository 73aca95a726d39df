// Every text skconv prints, one table per language, so that a line never
// mixes two languages. printf formats take their arguments in the same order
// in every language.
#pragma once

#include "search_key_converter.h"

namespace cli {

struct Texts {
    const char* pszHelp;
    const char* pszUsage;          // after a usage error, on standard error
    const char* pszUnknownOption;  // %s option
    const char* pszFilterAlone;
    const char* pszConverted;      // %s path
    const char* pszFailed;         // %s path, %s reason
    const char* pszSkipped;        // %s path, %s the earlier path
    const char* pszListFailed;     // %s pattern, %s system text
    const char* pszUnfitName;      // %s the name as near as it shows, %u code page
    const char* pszNoIdentity;     // why a file failed, before its system text
    const char* pszCheckCount;     // %s path, %llu lines, %s " (1, 4, ...)" or ""
    const char* pszCheckReadOnly;  // %s path
    const char* pszWorkLeft;
    const char* pszBackupLeft;
    const char* pszStdin;  // the name "-" stands for in messages
    const char* pszStdout;
    const char* pszProgressStart;  // %u percent
    const char* pszProgress;       // %u percent, %.1f MB/s
    const char* pszWarning;        // %s path, %s what failed after the conversion
    const char* pszStranded;
    // The steps in the order of sk::ConvertStep; none: the core's English words.
    const char* apszSteps[static_cast<int>(sk::ConvertStep::kRestoreSecurity) + 1];
};

extern const Texts kEnglish;
extern const Texts kJapanese;

// The step at which a pass stopped, in words.
const char* StepText(const Texts& texts, sk::ConvertStep step);

}  // namespace cli

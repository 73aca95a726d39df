// Decides, in the fault-injection build, which operating-system call of a
// conversion fails and with which error, what kind of volume the calls
// answer as, and records every call made.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fault_seam.h"

// What a volume remembers during one pass: its own time, and what its
// answers depend on.
struct VolumeState {
    unsigned long ulNowMs;      // the time the pass has waited so far
    unsigned long ulMarkMs;     // when something the volume waits on began (0: not yet)
    bool bArmed;                // a one-time answer is due
    unsigned long ulGivenAttr;  // the attributes the pass gave the work file
};

// One kind of volume: how the calls of a pass answer on it, where that
// differs from the test system's answers.
struct Volume {
    const char* pszName;
    // The error the call fails with, or 0.
    int (*pfnFault)(sk::IoOp op, sk::IoFile file, VolumeState* pState);
    // Rewrites what a query told (see InjectedFacts).
    void (*pfnFacts)(sk::IoOp op, sk::IoFile file, sk::FileFacts* pFacts, VolumeState* pState);
    // Names an open file wherever it is now, after renames by other handles
    // too, which the test system does not.
    bool bNamesFollow;
};

class FaultPlan {
public:
    static const int kAlways = 1 << 30;

    // Counts from zero again, fails nothing and shows every file as it is.
    static void Reset();
    // Call number nCall (from 1) fails with nError, and so do the calls of
    // the same kind right after it (a step tried again), cTimes in all.
    static void FailCall(int nCall, int nError, int cTimes = 1);
    // Runs pfn right before call number nCall (from 1): another program's
    // doing in the middle of a pass.
    static void AtCall(int nCall, std::function<void()> pfn);
    // The input shows this reparse tag (Windows) instead of its own.
    static void ShowReparseTag(unsigned long ulTag);
    // The calls answer as pVolume's do; its files are in folder.
    static void SetVolume(const Volume* pVolume, const std::string& folder);
    // The calls made since Reset, in order.
    static const std::vector<sk::IoOp>& Trace();
    // The volume's state, its time (the pass's waits) among it.
    static const VolumeState& State();
    // The name of the file in the volume's folder whose id (as the test
    // system gives it) is ullIndex, or "".
    static std::wstring NameOf(uint64_t ullIndex);

private:
    static std::vector<sk::IoOp> s_trace;
    static std::map<int, std::pair<int, int>> s_failures;  // error, times
    static std::map<int, std::function<void()>> s_actions;
    static int s_nStreakError;  // the failure that goes on, and how many more times
    static int s_cStreakLeft;
    static unsigned long s_ulTag;
    static const Volume* s_pVolume;
    static std::string s_folder;
    static VolumeState s_state;
    friend int sk::InjectedFault(sk::IoOp op, sk::IoFile file);
    friend void sk::InjectedFacts(sk::IoOp op, sk::IoFile file, sk::FileFacts* pFacts);
    friend void sk::InjectedName(intptr_t hFile, wchar_t* pwszName, unsigned long cchRoom);
    friend void sk::InjectedWait(unsigned long ulMs);
};

// Decides, in the fault-injection build, which operating-system call of a
// conversion fails and with which error, and records every call made.
#pragma once

#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "fault_seam.h"

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
    // The calls made since Reset, in order.
    static const std::vector<sk::IoOp>& Trace();

private:
    static std::vector<sk::IoOp> s_trace;
    static std::map<int, std::pair<int, int>> s_failures;  // error, times
    static std::map<int, std::function<void()>> s_actions;
    static int s_nStreakError;  // the failure that goes on, and how many more times
    static int s_cStreakLeft;
    static unsigned long s_ulTag;
    friend int sk::InjectedFault(sk::IoOp op);
    friend unsigned long sk::InjectedReparseTag();
};

// Decides, in the fault-injection build, which operating-system call of a
// conversion fails and with which error, and records every call made.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "fault_seam.h"

class FaultPlan {
public:
    // Counts from zero again and fails nothing.
    static void Reset();
    // Call number nCall (from 1) fails with nError.
    static void FailCall(int nCall, int nError);
    // Runs pfn right before call number nCall (from 1): another program's
    // doing in the middle of a pass.
    static void AtCall(int nCall, std::function<void()> pfn);
    // The calls made since Reset, in order.
    static const std::vector<sk::IoOp>& Trace();

private:
    static std::vector<sk::IoOp> s_trace;
    static std::map<int, int> s_failures;
    static std::map<int, std::function<void()>> s_actions;
    friend int sk::InjectedFault(sk::IoOp op);
};

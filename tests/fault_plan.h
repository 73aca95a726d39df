// Decides, in the fault-injection build, which operating-system call of a
// conversion fails and with which error, and records every call made.
#pragma once

#include <map>
#include <vector>

#include "fault_seam.h"

class FaultPlan {
public:
    // Counts from zero again and fails nothing.
    static void Reset();
    // Call number nCall (from 1) fails with nError.
    static void FailCall(int nCall, int nError);
    // The calls made since Reset, in order.
    static const std::vector<sk::IoOp>& Trace();

private:
    static std::vector<sk::IoOp> s_trace;
    static std::map<int, int> s_failures;
    friend int sk::InjectedFault(sk::IoOp op);
};

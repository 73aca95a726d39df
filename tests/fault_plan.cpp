// The fault-injection build's side of the seam in the file layer.
#include "fault_plan.h"

std::vector<sk::IoOp> FaultPlan::s_trace;
std::map<int, int> FaultPlan::s_failures;
std::map<int, std::function<void()>> FaultPlan::s_actions;

void FaultPlan::Reset() {
    s_trace.clear();
    s_failures.clear();
    s_actions.clear();
}

void FaultPlan::AtCall(int nCall, std::function<void()> pfn) {
    s_actions[nCall] = pfn;
}

void FaultPlan::FailCall(int nCall, int nError) {
    s_failures[nCall] = nError;
}

const std::vector<sk::IoOp>& FaultPlan::Trace() {
    return s_trace;
}

int sk::InjectedFault(sk::IoOp op) {
    FaultPlan::s_trace.push_back(op);
    const auto action = FaultPlan::s_actions.find(static_cast<int>(FaultPlan::s_trace.size()));
    if (action != FaultPlan::s_actions.end())
        action->second();
    const auto it = FaultPlan::s_failures.find(static_cast<int>(FaultPlan::s_trace.size()));
    return it != FaultPlan::s_failures.end() ? it->second : 0;
}

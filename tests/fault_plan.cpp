// The fault-injection build's side of the seam in the file layer.
#include "fault_plan.h"

std::vector<sk::IoOp> FaultPlan::s_trace;
std::map<int, std::pair<int, int>> FaultPlan::s_failures;
std::map<int, std::function<void()>> FaultPlan::s_actions;
int FaultPlan::s_nStreakError = 0;
int FaultPlan::s_cStreakLeft = 0;
unsigned long FaultPlan::s_ulTag = 0;

void FaultPlan::Reset() {
    s_trace.clear();
    s_failures.clear();
    s_actions.clear();
    s_cStreakLeft = 0;
    s_ulTag = 0;
}

void FaultPlan::AtCall(int nCall, std::function<void()> pfn) {
    s_actions[nCall] = pfn;
}

void FaultPlan::FailCall(int nCall, int nError, int cTimes) {
    s_failures[nCall] = {nError, cTimes};
}

void FaultPlan::ShowReparseTag(unsigned long ulTag) {
    s_ulTag = ulTag;
}

const std::vector<sk::IoOp>& FaultPlan::Trace() {
    return s_trace;
}

int sk::InjectedFault(sk::IoOp op) {
    auto& trace = FaultPlan::s_trace;
    const bool bAgain = !trace.empty() && trace.back() == op && FaultPlan::s_cStreakLeft > 0;
    trace.push_back(op);
    const int nCall = static_cast<int>(trace.size());
    const auto action = FaultPlan::s_actions.find(nCall);
    if (action != FaultPlan::s_actions.end())
        action->second();
    if (bAgain) {
        --FaultPlan::s_cStreakLeft;
        return FaultPlan::s_nStreakError;
    }
    FaultPlan::s_cStreakLeft = 0;
    const auto it = FaultPlan::s_failures.find(nCall);
    if (it == FaultPlan::s_failures.end())
        return 0;
    FaultPlan::s_nStreakError = it->second.first;
    FaultPlan::s_cStreakLeft = it->second.second - 1;
    return it->second.first;
}

unsigned long sk::InjectedReparseTag() {
    return FaultPlan::s_ulTag;
}

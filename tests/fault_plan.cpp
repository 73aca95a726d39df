// The fault-injection build's side of the seam in the file layer.
#include "fault_plan.h"

#include <cwchar>

#if defined(_WIN32)
#include <windows.h>
#endif

std::vector<sk::IoOp> FaultPlan::s_trace;
std::map<int, std::pair<int, int>> FaultPlan::s_failures;
std::map<int, std::function<void()>> FaultPlan::s_actions;
int FaultPlan::s_nStreakError = 0;
int FaultPlan::s_cStreakLeft = 0;
unsigned long FaultPlan::s_ulTag = 0;
const Volume* FaultPlan::s_pVolume = nullptr;
std::string FaultPlan::s_folder;
VolumeState FaultPlan::s_state = {};

void FaultPlan::Reset() {
    s_trace.clear();
    s_failures.clear();
    s_actions.clear();
    s_cStreakLeft = 0;
    s_ulTag = 0;
    s_pVolume = nullptr;
    s_state = VolumeState();
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

void FaultPlan::SetVolume(const Volume* pVolume, const std::string& folder) {
    s_pVolume = pVolume;
    s_folder = folder;
}

const std::vector<sk::IoOp>& FaultPlan::Trace() {
    return s_trace;
}

const VolumeState& FaultPlan::State() {
    return s_state;
}

int sk::InjectedFault(sk::IoOp op, sk::IoFile file) {
    auto& trace = FaultPlan::s_trace;
    const bool bAgain = !trace.empty() && trace.back() == op && FaultPlan::s_cStreakLeft > 0;
    trace.push_back(op);
    const int nCall = static_cast<int>(trace.size());
    const auto action = FaultPlan::s_actions.find(nCall);
    if (action != FaultPlan::s_actions.end())
        action->second();
    const int nVolume = FaultPlan::s_pVolume != nullptr
                            ? FaultPlan::s_pVolume->pfnFault(op, file, &FaultPlan::s_state)
                            : 0;
    if (bAgain) {
        --FaultPlan::s_cStreakLeft;
        return FaultPlan::s_nStreakError;
    }
    FaultPlan::s_cStreakLeft = 0;
    const auto it = FaultPlan::s_failures.find(nCall);
    if (it == FaultPlan::s_failures.end())
        return nVolume;
    FaultPlan::s_nStreakError = it->second.first;
    FaultPlan::s_cStreakLeft = it->second.second - 1;
    return it->second.first;
}

void sk::InjectedFacts(sk::IoOp op, sk::IoFile file, sk::FileFacts* pFacts) {
    const unsigned long kReparsePoint = 0x400;
    if (FaultPlan::s_ulTag != 0 && file == sk::IoFile::kInput) {
        if (op == sk::IoOp::kQuery)
            pFacts->ulAttributes |= kReparsePoint;
        if (op == sk::IoOp::kTag)
            pFacts->ulReparseTag = FaultPlan::s_ulTag;
    }
    if (FaultPlan::s_pVolume != nullptr && FaultPlan::s_pVolume->pfnFacts != nullptr)
        FaultPlan::s_pVolume->pfnFacts(op, file, pFacts, &FaultPlan::s_state);
}

void sk::InjectedWait(unsigned long ulMs) {
    FaultPlan::s_state.ulNowMs += ulMs;
}

#if defined(_WIN32)
std::wstring FaultPlan::NameOf(uint64_t ullIndex) {
    wchar_t wszFolder[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, s_folder.c_str(), -1, wszFolder, MAX_PATH) == 0)
        return L"";
    WIN32_FIND_DATAW fd;
    const HANDLE hFind = FindFirstFileW((std::wstring(wszFolder) + L"\\*").c_str(), &fd);
    std::wstring name;
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore && name.empty();
         bMore = FindNextFileW(hFind, &fd)) {
        const HANDLE h = CreateFileW((std::wstring(wszFolder) + L"\\" + fd.cFileName).c_str(),
                                     FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        BY_HANDLE_FILE_INFORMATION bhfi;
        if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &bhfi) &&
            ((static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow) == ullIndex)
            name = fd.cFileName;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    return name;
}

void sk::InjectedName(intptr_t hFile, wchar_t* pwszName, unsigned long cchRoom) {
    if (FaultPlan::s_pVolume == nullptr || !FaultPlan::s_pVolume->bNamesFollow)
        return;
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(hFile), &bhfi))
        return;
    const std::wstring name =
        FaultPlan::NameOf((static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow);
    wchar_t* pwszLast = std::wcsrchr(pwszName, L'\\');
    if (name.empty() || pwszLast == nullptr ||
        static_cast<size_t>(pwszLast + 1 - pwszName) + name.size() >= cchRoom)
        return;
    std::wcscpy(pwszLast + 1, name.c_str());
}
#else
std::wstring FaultPlan::NameOf(uint64_t) {
    return L"";  // the POSIX layer asks no names
}

void sk::InjectedName(intptr_t, wchar_t*, unsigned long) {}
#endif

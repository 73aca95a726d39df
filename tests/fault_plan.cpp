// The fault-injection build's side of the seam in the file layer.
#include "fault_plan.h"

#include <cwchar>
#include <cwctype>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {

const unsigned long long kStartMs = 1000000;  // the volume's clock when a pass starts

std::vector<Traced> g_trace;
std::map<int, std::pair<int, int>> g_failures;  // call: error, times
std::map<int, std::function<void()>> g_actions;
int g_nStreakError = 0;  // the failure that goes on, and how many more times
int g_cStreakLeft = 0;
const Volume* g_pVolume = nullptr;
std::string g_folder;
std::vector<int> g_answered;              // per rule of the volume
std::vector<unsigned long long> g_asked;  // when each rule was first asked, or 0
VolumeState g_state = {};
unsigned long long g_ullNow = kStartMs;
std::map<intptr_t, File> g_handles;
std::map<intptr_t, File> g_openedAs;
std::map<uint64_t, File> g_files;  // by the test system's index

}  // namespace

// The index the test system gives the file open as h, or 0.
uint64_t FaultPlan::IndexOf(intptr_t h) {
#if defined(_WIN32)
    BY_HANDLE_FILE_INFORMATION bhfi;
    if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(h), &bhfi))
        return 0;
    return (static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow;
#else
    struct stat st;
    return ::fstat(static_cast<int>(h), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
#endif
}

namespace {

// The pass's file a name is: by its last part, as the pass names only
// its folder, its input and its own two files.
template <typename Char>
File FileNamed(const Char* psz) {
    const Char* pszLast = psz;
    for (const Char* p = psz; *p != 0; ++p)
        if (*p == '\\' || *p == '/')
            pszLast = p + 1;
    std::wstring last;
    for (const Char* p = pszLast; *p != 0; ++p)
        last += static_cast<wchar_t>(std::towlower(static_cast<wint_t>(*p)));
    if (last.empty())
        return File::kFolder;
    if (last == L"workfile.txt")
        return File::kWork;
    if (last == L"workfile.bak")
        return File::kBackup;
    return File::kInput;
}

bool Matches(const Rule& rule, const Asked& asked, File file) {
    if (rule.call != asked.call || (rule.file != File::kAny && rule.file != file))
        return false;
    const unsigned long ulField = rule.field == Field::kAccess ? asked.ulAccess
                                  : rule.field == Field::kHow  ? asked.ulHow
                                                               : asked.ulFlags;
    return rule.field == Field::kNone || (ulField & rule.ulMask) == rule.ulValue;
}

}  // namespace

void FaultPlan::Reset() {
    g_trace.clear();
    g_failures.clear();
    g_actions.clear();
    g_cStreakLeft = 0;
    g_pVolume = nullptr;
    g_answered.clear();
    g_asked.clear();
    g_state = VolumeState();
    g_ullNow = kStartMs;
    g_handles.clear();
    g_openedAs.clear();
    g_files.clear();
}

void FaultPlan::FailCall(int nCall, int nError, int cTimes) {
    g_failures[nCall] = {nError, cTimes};
}

void FaultPlan::AtCall(int nCall, std::function<void()> pfn) {
    g_actions[nCall] = pfn;
}

void FaultPlan::SetVolume(const Volume* pVolume, const std::string& folder) {
    g_pVolume = pVolume;
    g_folder = folder;
    g_answered.assign(pVolume->rules.size(), 0);
    g_asked.assign(pVolume->rules.size(), 0);
}

const std::vector<Traced>& FaultPlan::Trace() {
    return g_trace;
}

unsigned long FaultPlan::ElapsedMs() {
    return static_cast<unsigned long>(g_ullNow - kStartMs);
}

const std::vector<int>& FaultPlan::Answered() {
    return g_answered;
}

File FaultPlan::FileOf(intptr_t h) {
    const auto it = g_handles.find(h);
    return it != g_handles.end() ? it->second : File::kOther;
}

File FaultPlan::OpenedAs(intptr_t h) {
    const auto it = g_openedAs.find(h);
    return it != g_openedAs.end() ? it->second : File::kOther;
}

File FaultPlan::FileAsked(const Asked& asked) {
    if (asked.h != -1)
        return FileOf(asked.h);
    if (asked.call == Call::kOpen)
        return File::kFolder;  // the only file opened by its whole path
    if (asked.pwszName != nullptr)
        return FileNamed(asked.pwszName);
    if (asked.pszName != nullptr)
        return FileNamed(asked.pszName);
    return File::kOther;
}

int FaultPlan::VolumeAnswer(const Asked& asked, File file) {
    if (g_pVolume == nullptr)
        return 0;
    const std::vector<Rule>& rules = g_pVolume->rules;
    // Every rule's time counts from the first call it matches, answered or not.
    for (size_t i = 0; i < rules.size(); ++i)
        if (Matches(rules[i], asked, file) && g_asked[i] == 0)
            g_asked[i] = g_ullNow;
    for (size_t i = 0; i < rules.size(); ++i) {
        const Rule& rule = rules[i];
        const unsigned long long ullSince = g_ullNow - g_asked[i];
        if (!Matches(rule, asked, file) || ullSince < rule.ulFromMs ||
            (rule.ulToMs != 0 && ullSince >= rule.ulToMs))
            continue;
        if (g_answered[i]++ == 0 && rule.pfnFirst != nullptr)
            rule.pfnFirst(g_folder);
        g_ullNow += rule.ulTakesMs;
        return rule.nError;
    }
    return 0;
}

int sk::seam::Answer(const Asked& asked) {
    const Traced traced = {asked.call, FaultPlan::FileAsked(asked)};
    const bool bAgain = !g_trace.empty() && g_trace.back() == traced && g_cStreakLeft > 0;
    g_trace.push_back(traced);
    const int nCall = static_cast<int>(g_trace.size());
    const auto action = g_actions.find(nCall);
    if (action != g_actions.end())
        action->second();
    const int nVolume = FaultPlan::VolumeAnswer(asked, traced.file);
    if (bAgain) {
        --g_cStreakLeft;
        return g_nStreakError;
    }
    g_cStreakLeft = 0;
    const auto it = g_failures.find(nCall);
    if (it == g_failures.end())
        return nVolume;
    g_nStreakError = it->second.first;
    g_cStreakLeft = it->second.second - 1;
    return it->second.first;
}

void sk::seam::Tell(const Asked& asked, void* pOut, size_t) {
    if (g_pVolume != nullptr && g_pVolume->pfnTell != nullptr)
        g_pVolume->pfnTell(asked, FaultPlan::FileAsked(asked), pOut, &g_state);
}

void sk::seam::Opened(const Asked& asked, intptr_t h) {
    if (h == -1 || h == 0)
        return;
    File file = asked.pwszName != nullptr || asked.pszName != nullptr ? FaultPlan::FileAsked(asked)
                                                                      : File::kOther;
    g_openedAs[h] = file;
    const uint64_t ullIndex = FaultPlan::IndexOf(h);
    const auto known = g_files.find(ullIndex);
    if (ullIndex != 0 && known != g_files.end()) {
        file = known->second;
    } else if (ullIndex != 0) {
        // Another file under the input's name than the one first opened is not the input.
        for (const auto& f : g_files)
            if (file == File::kInput && f.second == File::kInput)
                file = File::kOther;
        g_files[ullIndex] = file;
    }
    g_handles[h] = file;
}

void sk::seam::Closing(intptr_t h) {
    g_handles.erase(h);
    g_openedAs.erase(h);
}

unsigned long long sk::seam::Now() {
    return g_ullNow;
}

void sk::seam::Wait(unsigned long ulMs) {
    g_ullNow += ulMs + FaultPlan::kTickMs;
}

#if defined(_WIN32)
std::wstring FaultPlan::NameOf(uint64_t ullIndex) {
    wchar_t wszFolder[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, g_folder.c_str(), -1, wszFolder, MAX_PATH) == 0)
        return L"";
    WIN32_FIND_DATAW fd;
    const HANDLE hFind = FindFirstFileW((std::wstring(wszFolder) + L"\\*").c_str(), &fd);
    std::wstring name;
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore && name.empty();
         bMore = FindNextFileW(hFind, &fd)) {
        const HANDLE h = CreateFileW((std::wstring(wszFolder) + L"\\" + fd.cFileName).c_str(),
                                     FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE &&
            FaultPlan::IndexOf(reinterpret_cast<intptr_t>(h)) == ullIndex)
            name = fd.cFileName;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    return name;
}
#else
std::wstring FaultPlan::NameOf(uint64_t) {
    return L"";  // the POSIX layer asks no names
}
#endif

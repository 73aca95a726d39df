// The driver's view of searchkey.exe, through public Win32 calls only.
#include "session.h"

#include <cstdio>

namespace {

std::string g_exe;
int g_nCaseFailures = 0;

const DWORD kStartLimitMs = 20000;
const DWORD kWindowLimitMs = 20000;
const DWORD kExitLimitMs = 10000;
const DWORD kSendLimitMs = 5000;

void Report(const char* pszWhat, const std::string& expected, const std::string& actual,
            DWORD dwError) {
    ++g_nCaseFailures;
    std::printf("    FAIL %s\n      expected: %s\n      actual:   %s\n      GetLastError() = %lu\n",
                pszWhat, expected.c_str(), actual.c_str(), dwError);
}

std::string WideEscaped(const std::wstring& text) {
    std::string out;
    char sz[8];
    for (wchar_t ch : text) {
        if (ch >= 0x20 && ch < 0x7F) {
            out += static_cast<char>(ch);
        } else {
            std::snprintf(sz, sizeof sz, "\\u%04x", static_cast<unsigned>(ch));
            out += sz;
        }
    }
    return out;
}

}  // namespace

bool Check(bool bOk, const char* pszWhat, const std::string& expected, const std::string& actual) {
    const DWORD dwError = GetLastError();
    if (!bOk)
        Report(pszWhat, expected, actual, dwError);
    return bOk;
}

bool CheckEq(const char* pszWhat, long long expected, long long actual) {
    const DWORD dwError = GetLastError();
    if (expected == actual)
        return true;
    char szExpected[48];
    char szActual[48];
    std::snprintf(szExpected, sizeof szExpected, "%lld (0x%llx)", expected, expected);
    std::snprintf(szActual, sizeof szActual, "%lld (0x%llx)", actual, actual);
    Report(pszWhat, szExpected, szActual, dwError);
    return false;
}

bool CheckBytes(const char* pszWhat, const std::string& expected, const std::string& actual) {
    const DWORD dwError = GetLastError();
    if (expected == actual)
        return true;
    Report(pszWhat, "\"" + Escaped(expected) + "\"", "\"" + Escaped(actual) + "\"", dwError);
    return false;
}

bool CheckWide(const char* pszWhat, const std::wstring& expected, const std::wstring& actual) {
    const DWORD dwError = GetLastError();
    if (expected == actual)
        return true;
    Report(pszWhat, "L\"" + WideEscaped(expected) + "\"", "L\"" + WideEscaped(actual) + "\"",
           dwError);
    return false;
}

void StartCase() {
    g_nCaseFailures = 0;
}

int CaseFailures() {
    return g_nCaseFailures;
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    char sz[8];
    for (unsigned char b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += static_cast<char>(b);
        } else {
            std::snprintf(sz, sizeof sz, "\\x%02x", b);
            out += sz;
        }
    }
    return out;
}

std::string TextA(HWND hWnd) {
    char sz[4096] = "";  // a message box's text is up to 2 KB
    GetWindowTextA(hWnd, sz, sizeof sz);
    return sz;
}

std::wstring TextW(HWND hWnd) {
    wchar_t sz[1024] = L"";
    GetWindowTextW(hWnd, sz, 1024);
    return sz;
}

std::string ClassOf(HWND hWnd) {
    char sz[256] = "";
    GetClassNameA(hWnd, sz, sizeof sz);
    return sz;
}

RECT RectIn(HWND hWnd, HWND hParent) {
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

namespace {
struct TopWindowQuery {
    DWORD dwPid;
    const char* pszClass;
    HWND hOwner;
    HWND hFound;
};

BOOL CALLBACK MatchTopWindow(HWND hWnd, LPARAM lParam) {
    TopWindowQuery* q = reinterpret_cast<TopWindowQuery*>(lParam);
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid != q->dwPid || !IsWindowVisible(hWnd) || GetWindow(hWnd, GW_OWNER) != q->hOwner ||
        ClassOf(hWnd) != q->pszClass)
        return TRUE;
    q->hFound = hWnd;
    return FALSE;
}
}  // namespace

HWND FindTopWindow(DWORD dwPid, const char* pszClass, HWND hOwner) {
    TopWindowQuery q = {dwPid, pszClass, hOwner, nullptr};
    EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&q));
    return q.hFound;
}

void App::SetExe(const std::string& exe) {
    g_exe = exe;
}

App::~App() {
    if (m_pi.hProcess == nullptr)
        return;
    if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
        std::printf("    (ending the program left running by this case)\n");
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, kExitLimitMs);
    }
    CloseHandle(m_pi.hThread);
    CloseHandle(m_pi.hProcess);
}

bool App::Start(const std::string& dir, int nShow) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (nShow != kNoShowCommand) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(nShow);
    }
    std::string cmd = "\"" + g_exe + "\"";
    if (!Check(CreateProcessA(g_exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                              dir.c_str(), &si, &m_pi) != FALSE,
               "CreateProcessA", "the program started", g_exe + " did not start"))
        return false;
    // The window comes visible or, for a hidden show command, not at all.
    const bool bFound = WaitFor(kStartLimitMs, [this] {
        m_hMain = FindWindowExA(nullptr, nullptr, "MYWNDCLSS", nullptr);
        while (m_hMain != nullptr) {
            DWORD dwPid = 0;
            GetWindowThreadProcessId(m_hMain, &dwPid);
            if (dwPid == m_pi.dwProcessId)
                return true;
            m_hMain = FindWindowExA(nullptr, m_hMain, "MYWNDCLSS", nullptr);
        }
        return false;
    });
    if (!Check(bFound, "main window of class MYWNDCLSS", "found", "none within the limit"))
        return false;
    if (!CheckEq("WaitForInputIdle", 0, WaitForInputIdle(m_pi.hProcess, kStartLimitMs)))
        return false;
    // Wine can report the program idle between CreateWindowExA and ShowWindow;
    // on a slow (emulated) run the cases must not see that moment.
    if (nShow != SW_HIDE)
        WaitFor(kStartLimitMs, [this] { return IsWindowVisible(m_hMain) != FALSE; });
    return true;
}

bool App::Click(int nId) {
    return Check(PostMessageA(Control(nId), BM_CLICK, 0, 0) != FALSE, "post BM_CLICK", "posted",
                 "refused");
}

bool App::Sync() {
    DWORD_PTR dwResult = 0;
    return Check(
        SendMessageTimeoutA(m_hMain, WM_NULL, 0, 0, SMTO_NORMAL, kSendLimitMs, &dwResult) != 0,
        "WM_NULL round trip", "answered", "no answer within the limit");
}

HWND App::WaitBox() {
    HWND hBox = nullptr;
    WaitFor(kWindowLimitMs, [&] {
        hBox = FindTopWindow(m_pi.dwProcessId, "#32770", m_hMain);
        return hBox != nullptr;
    });
    Check(hBox != nullptr, "message box owned by the main window", "shown",
          "none within the limit");
    return hBox;
}

HWND App::WaitOpenDialog() {
    HWND hDlg = nullptr;
    WaitFor(kWindowLimitMs, [&] {
        hDlg = FindTopWindow(m_pi.dwProcessId, "#32770", nullptr);
        return hDlg != nullptr;
    });
    Check(hDlg != nullptr, "open dialog without owner", "shown", "none within the limit");
    return hDlg;
}

bool App::CheckExit(DWORD dwExpected) {
    if (!CheckEq("WaitForSingleObject(process)", WAIT_OBJECT_0,
                 WaitForSingleObject(m_pi.hProcess, kExitLimitMs)))
        return false;
    DWORD dwCode = 0;
    GetExitCodeProcess(m_pi.hProcess, &dwCode);
    return CheckEq("exit code", dwExpected, dwCode);
}

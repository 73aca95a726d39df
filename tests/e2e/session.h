// Checks that report themselves, and searchkey.exe seen from outside: the
// running process, its windows and the waits on them. Every wait has a limit.
#pragma once

#include <string>

#include <windows.h>

// ---- checks ----
// A failed check prints what was expected, what came and GetLastError(), and
// counts against the running case.
bool Check(bool bOk, const char* pszWhat, const std::string& expected, const std::string& actual);
bool CheckEq(const char* pszWhat, long long expected, long long actual);
bool CheckBytes(const char* pszWhat, const std::string& expected, const std::string& actual);
bool CheckWide(const char* pszWhat, const std::wstring& expected, const std::wstring& actual);
void StartCase();
int CaseFailures();

// Printable ASCII as it is, every other byte as \xNN.
std::string Escaped(const std::string& bytes);

// Polls pred every 20 ms until it holds or ms milliseconds have passed.
template <class Pred>
bool WaitFor(DWORD ms, Pred pred) {
    const ULONGLONG tEnd = GetTickCount64() + ms;
    for (;;) {
        if (pred())
            return true;
        if (GetTickCount64() >= tEnd)
            return false;
        Sleep(20);
    }
}

// ---- windows ----
std::string TextA(HWND hWnd);
std::wstring TextW(HWND hWnd);
std::string ClassOf(HWND hWnd);
// hWnd's outer rectangle in the client coordinates of hParent.
RECT RectIn(HWND hWnd, HWND hParent);
// A visible top-level window of class pszClass in process dwPid whose owner
// is hOwner; nullptr when there is none.
HWND FindTopWindow(DWORD dwPid, const char* pszClass, HWND hOwner);

// ---- the program ----
// searchkey.exe started by the driver; ended by force if a case leaves it
// running.
class App {
public:
    static const int kNoShowCommand = -1;
    static void SetExe(const std::string& exe);

    App() {}
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Starts the program in folder dir, with show command nShow if given, and
    // waits until its main window is up and idle.
    bool Start(const std::string& dir, int nShow = kNoShowCommand);
    HWND Main() const { return m_hMain; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    HWND Control(int nId) const { return GetDlgItem(m_hMain, nId); }

    // Clicks a button of the main window. Posted, so that a modal window it
    // opens does not block the driver.
    bool Click(int nId);
    // Waits until the program's thread has handled everything sent before.
    bool Sync();
    // The message box owned by the main window, or nullptr after a wait.
    HWND WaitBox();
    // The open dialog (no owner), or nullptr after a wait.
    HWND WaitOpenDialog();
    // Waits for the process to end and checks its exit code.
    bool CheckExit(DWORD dwExpected);

private:
    PROCESS_INFORMATION m_pi = {};
    HWND m_hMain = nullptr;
};

// The main window's procedure: creation, commands and destruction. Its
// control groups and converter live for one call each; what must last is in
// the globals.
#include "main_window.h"

#include "app_globals.h"
#include "button_bar.h"
#include "commands.h"
#include "label_panel.h"
#include "search_key_converter.h"

namespace {

const char kCaption[] = "ドルミカサーチキー３設定";

// ---- WM_CREATE ----
LRESULT OnCreate(HWND hWnd, ButtonBar* pBar, LabelPanel* pPanel) {
    SendMessageA(hWnd, WM_SETTEXT, 0, (LPARAM)kCaption);

    // A folder whose path does not fit leaves the path empty rather than cut.
    const DWORD cch = GetCurrentDirectoryA(sizeof g_szPath, g_szPath);
    if (cch == 0 || cch >= sizeof g_szPath)
        g_szPath[0] = '\0';

    pBar->Create(g_hInst, hWnd);
    pPanel->Create(g_hInst, hWnd, g_szPath);
    g_hPathLabel = pPanel->PathLabel();
    return 0;
}

}  // namespace

LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    ButtonBar bar;
    LabelPanel panel;
    SearchKeyConverter conv;

    switch (uMsg) {
        case WM_CREATE:
            return OnCreate(hWnd, &bar, &panel);
        case WM_COMMAND:
            return OnCommand(hWnd, wParam, &bar, &panel, &conv);
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

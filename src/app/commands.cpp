// The commands of the three buttons: 編集 converts the chosen file, 閉じる
// ends the program, 参照 chooses the file.
#include "commands.h"

#include <cstddef>
#include <cstring>

#include <commdlg.h>

#include "app_globals.h"
#include "button_bar.h"
#include "label_panel.h"
#include "search_key_converter.h"

namespace {

const char kBoxCaption[] = "サーチキー変換";
const char kDone[] = "正常に処理しました。";
const char kFailed[] = "失敗しました。";

// Display text and pattern pairs; the literal's own terminator ends the list.
const char kFilter[] = "txt\0*.TXT\0csv\0*.CSV\0all\0*.*\0";

// The dialog record as the oldest platforms know it (76 bytes on 32-bit
// Windows), so that the dialog opens on every version.
const DWORD kOfnSize = offsetof(OPENFILENAMEA, pvReserved);
static_assert(sizeof(void*) != 4 || kOfnSize == 76, "the 32-bit dialog record is 76 bytes");

// ---- 編集 ----
void OnEdit(HWND hWnd, SearchKeyConverter* pConv) {
    // No message is handled while the file is converted, so the wait cursor
    // stays until it is put back.
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    const int nOk = pConv->Convert(g_szPath);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));

    if (nOk)
        MessageBoxA(hWnd, kDone, kBoxCaption, MB_OK | MB_ICONINFORMATION);
    else
        MessageBoxA(hWnd, kFailed, kBoxCaption, MB_OK | MB_ICONWARNING);
}

// ---- 閉じる ----
void OnClose(HWND hWnd, ButtonBar* pBar, LabelPanel* pPanel) {
    // These groups were made for this call and hold no handles; the
    // controls end together with the main window.
    pBar->Destroy();
    pPanel->Destroy();
    SendMessageA(hWnd, WM_CLOSE, 0, 0);
}

// ---- 参照 ----
void OnBrowse() {
    char szFile[kPathRoom] = "";
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = kOfnSize;
    ofn.lpstrFilter = kFilter;
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = sizeof szFile;
    ofn.lpstrInitialDir = g_szPath;
    if (!GetOpenFileNameA(&ofn))
        return;  // cancelled: path, label and current directory stay

    SendMessageA(g_hPathLabel, WM_SETTEXT, 0, (LPARAM)szFile);
    std::memcpy(g_szPath, szFile, sizeof g_szPath);
    // Makes a chosen folder the working folder; for a file it fails and
    // changes nothing, and the conversion does not depend on it.
    (void)SetCurrentDirectoryA(g_szPath);
}

}  // namespace

LRESULT OnCommand(HWND hWnd, WPARAM wParam, ButtonBar* pBar, LabelPanel* pPanel,
                  SearchKeyConverter* pConv) {
    switch (wParam) {
        case IDC_BTN_EDIT:
            OnEdit(hWnd, pConv);
            break;
        case IDC_BTN_CLOSE:
            OnClose(hWnd, pBar, pPanel);
            break;
        case IDC_BTN_BROWSE:
            OnBrowse();
            break;
    }
    return 0;
}

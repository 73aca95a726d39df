// The commands of the three buttons: 編集 converts the chosen file, 閉じる
// ends the program, 参照 chooses the file.
#include "commands.h"

#include <cstddef>
#include <cstring>

#include <cderr.h>
#include <commdlg.h>

#include "app_globals.h"
#include "button_bar.h"
#include "file_system.h"
#include "label_panel.h"
#include "outcome_texts.h"
#include "path_rules.h"
#include "search_key_converter.h"

namespace {

const char kBoxCaption[] = "サーチキー変換";
const char kDone[] = "正常に処理しました。";
const char kFailed[] = "失敗しました。";

// The dialog record as the oldest platforms know it (76 bytes on 32-bit
// Windows), so that the dialog opens on every version. Its filter: display
// text and pattern pairs; the literal's own terminator ends the list.
const DWORD kOfnSize = offsetof(OPENFILENAMEW, pvReserved);
static_assert(sizeof(void*) != 4 || kOfnSize == 76, "the 32-bit dialog record is 76 bytes");

// Room for a box's text: its first line, a reason, the system's text,
// three full paths and a sentence of advice. Longer texts are cut short.
const size_t kBoxRoom = 2048;

// ---- 編集 ----
void OnEdit(HWND hWnd, SearchKeyConverter* pConv) {
    // No message is handled while the file is converted, so the wait cursor
    // stays until it is put back.
    SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    const int nOk = pConv->Convert(g_szPath);
    SetCursor(LoadCursorA(nullptr, IDC_ARROW));

    // The first line is the outcome itself; what follows says more.
    char szBox[kBoxRoom] = "";
    sk::AppendWhole(szBox, sizeof szBox, nOk ? kDone : kFailed);
    sk::AppendWhole(szBox, sizeof szBox, "\n\n");
    const size_t cchFirst = std::strlen(szBox);
    sk::DescribeOutcome(sk::kJapaneseOutcome, *pConv, g_szPath, sk::Layout::kBox, szBox + cchFirst,
                        sizeof szBox - cchFirst);
    MessageBoxA(hWnd, szBox, kBoxCaption, MB_OK | (nOk ? MB_ICONINFORMATION : MB_ICONWARNING));
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
// A choice that is refused, or a dialog that failed as opposed to being
// cancelled: why, in a box. Nothing else changes.
void ShowBrowseFailure(HWND hWnd, const char* pszWhy) {
    char szBox[kBoxRoom] = "";
    sk::AppendWhole(szBox, sizeof szBox, sk::kBrowseFailed);
    sk::AppendWhole(szBox, sizeof szBox, "\n\n");
    sk::AppendWhole(szBox, sizeof szBox, pszWhy);
    MessageBoxA(hWnd, szBox, kBoxCaption, MB_OK | MB_ICONWARNING);
}

void ShowPathTooLong(HWND hWnd) {
    char szWhy[512] = "";
    sk::AppendFormat(szWhy, sizeof szWhy, sk::kBrowsePathTooLong,
                     static_cast<unsigned>(kPathRoom - 1));
    ShowBrowseFailure(hWnd, szWhy);
}

// The chosen path in the ANSI code page, exactly: a name it spells only by
// best fit (café.csv as cafe.csv) or not at all (an emoji as ?) would be
// opened as another name, maybe another file. nullptr when exact, else why
// it is refused ("": longer than the program holds).
const char* ToAnsiExactly(const wchar_t* pwszPath, char* psz, size_t cch) {
    BOOL bSubstituted = FALSE;
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pwszPath, -1, psz, static_cast<int>(cch),
                            nullptr, &bSubstituted) == 0)
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? "" : sk::kBrowseNameUnfit;
    return bSubstituted ? sk::kBrowseNameUnfit : nullptr;
}

void OnBrowse(HWND hWnd) {
    // The wide dialog, so that the name chosen is known exactly; the
    // program keeps it in the code page, as the user sees it.
    static const wchar_t kFilter[] = L"txt\0*.TXT\0csv\0*.CSV\0all\0*.*\0";
    wchar_t wszFile[kPathRoom] = L"";
    wchar_t wszInitial[kPathRoom] = L"";
    wchar_t wszCurrent[MAX_PATH] = L"";
    (void)MultiByteToWideChar(CP_ACP, 0, g_szPath, -1, wszInitial, kPathRoom);
    // The dialog moves the current directory where the user browses; a
    // refused choice puts it back.
    const DWORD cchCurrent = GetCurrentDirectoryW(MAX_PATH, wszCurrent);
    OPENFILENAMEW ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = kOfnSize;
    ofn.lpstrFilter = kFilter;
    ofn.lpstrFile = wszFile;
    ofn.nMaxFile = kPathRoom;
    ofn.lpstrInitialDir = wszInitial;
    if (!GetOpenFileNameW(&ofn)) {
        // Zero with no error is a cancel. Either way path, label and
        // current directory stay.
        const DWORD dwError = CommDlgExtendedError();
        if (dwError == FNERR_BUFFERTOOSMALL) {
            ShowPathTooLong(hWnd);
        } else if (dwError != 0) {
            char szWhy[512] = "";
            sk::AppendFormat(szWhy, sizeof szWhy, sk::kBrowseError,
                             static_cast<unsigned long>(dwError));
            ShowBrowseFailure(hWnd, szWhy);
        }
        return;
    }
    char szFile[kPathRoom];
    if (const char* pszWhy = ToAnsiExactly(wszFile, szFile, sizeof szFile)) {
        if (cchCurrent != 0 && cchCurrent < MAX_PATH)
            (void)SetCurrentDirectoryW(wszCurrent);  // as it was: a folder that was there
        if (pszWhy[0] == '\0')
            ShowPathTooLong(hWnd);
        else
            ShowBrowseFailure(hWnd, pszWhy);
        return;
    }
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
            OnBrowse(hWnd);
            break;
    }
    return 0;
}

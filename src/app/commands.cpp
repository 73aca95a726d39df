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

// Display text and pattern pairs; the literal's own terminator ends the list.
const char kFilter[] = "txt\0*.TXT\0csv\0*.CSV\0all\0*.*\0";

// The dialog record as the oldest platforms know it (76 bytes on 32-bit
// Windows), so that the dialog opens on every version.
const DWORD kOfnSize = offsetof(OPENFILENAMEA, pvReserved);
static_assert(sizeof(void*) != 4 || kOfnSize == 76, "the 32-bit dialog record is 76 bytes");

// Room for a box's text: its first line, a reason, the system's text,
// three full paths and a sentence of advice. Longer texts are cut short.
const size_t kBoxRoom = 2048;

// The full path of a file the pass names in the folder of g_szPath.
void PathInFolder(const char* pszName, char* psz, size_t cch) {
    const size_t cchFolder = sk::FolderLength(g_szPath, sk::NativePathRules());
    psz[0] = '\0';
    sk::AppendFormat(psz, cch, "%.*s%s", static_cast<int>(cchFolder), g_szPath, pszName);
}

// After the success box's first line: how many lines got a number, and what
// failed after the file was converted, if anything did.
void AddConverted(const SearchKeyConverter& conv, char* pszBox) {
    const sk::OutcomeTexts& texts = sk::kJapaneseOutcome;
    char szLines[256];
    sk::LinesText(texts, conv.Lines(), szLines, sizeof szLines);
    sk::AppendFormat(pszBox, kBoxRoom, "\n\n%s。", szLines);
    if (conv.WarningStep() != sk::ConvertStep::kNone)
        sk::AppendFormat(pszBox, kBoxRoom, "\n%s。", sk::ReasonText(texts, conv.WarningStep()));
}

// After the failure box's first line: the reason, the system's text, where
// the old text or the pass's own files are, and what to do.
void AddFailure(const SearchKeyConverter& conv, char* pszBox) {
    const sk::OutcomeTexts& texts = sk::kJapaneseOutcome;
    const sk::ConvertStep step = conv.FailedStep();
    char szPath[kPathRoom + 16];
    sk::AppendFormat(pszBox, kBoxRoom, "\n\n%s。", sk::ReasonText(texts, step));
    if (conv.FailedError() != 0) {
        char szSystem[256] = "";
        sk::fs::FormatError(conv.FailedError(), szSystem, sizeof szSystem);
        sk::AppendWhole(pszBox, kBoxRoom, "\n");
        sk::AppendFormat(pszBox, kBoxRoom, sk::kWindowDetail, szSystem);
    }
    // Somebody's file in the way: where it is, so that it can be looked at.
    const char* pszInTheWay = step == sk::ConvertStep::kWorkFileExists ? "workfile.txt"
                              : step == sk::ConvertStep::kBackupExists ? "workfile.bak"
                                                                       : nullptr;
    if (pszInTheWay != nullptr) {
        PathInFolder(pszInTheWay, szPath, sizeof szPath);
        sk::AppendWhole(pszBox, kBoxRoom, "\n");
        sk::AppendFormat(pszBox, kBoxRoom, sk::kWindowPlace, szPath);
    }
    sk::AppendWhole(pszBox, kBoxRoom, "\n");
    // The file's own name may be gone: giving it back comes before all else.
    if (conv.OriginalStranded()) {
        PathInFolder("workfile.bak", szPath, sizeof szPath);
        const char* pszName = g_szPath + sk::FolderLength(g_szPath, sk::NativePathRules());
        sk::AppendWhole(pszBox, kBoxRoom, "\n");
        sk::AppendFormat(pszBox, kBoxRoom, texts.pszStranded, szPath, pszName);
        sk::AppendWhole(pszBox, kBoxRoom, "。");
        return;
    }
    const char* const apszLeft[] = {conv.WorkFileLeft() ? "workfile.txt" : nullptr,
                                    conv.BackupLeft() ? "workfile.bak" : nullptr};
    for (const char* pszLeft : apszLeft) {
        if (pszLeft == nullptr)
            continue;
        PathInFolder(pszLeft, szPath, sizeof szPath);
        sk::AppendWhole(pszBox, kBoxRoom, "\n");
        sk::AppendFormat(pszBox, kBoxRoom, texts.pszLeft, szPath);
        sk::AppendWhole(pszBox, kBoxRoom, "。");
    }
    if (conv.WorkFileLeft() || conv.BackupLeft()) {
        sk::AppendWhole(pszBox, kBoxRoom, "\n");
        sk::AppendWhole(pszBox, kBoxRoom, sk::kWindowLeftRemedy);
    }
    const char* pszRemedy = sk::RemedyText(texts, step);
    if (pszRemedy != nullptr) {
        sk::AppendWhole(pszBox, kBoxRoom, "\n");
        sk::AppendWhole(pszBox, kBoxRoom, pszRemedy);
    }
}

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
    if (nOk) {
        AddConverted(*pConv, szBox);
        MessageBoxA(hWnd, szBox, kBoxCaption, MB_OK | MB_ICONINFORMATION);
    } else {
        AddFailure(*pConv, szBox);
        MessageBoxA(hWnd, szBox, kBoxCaption, MB_OK | MB_ICONWARNING);
    }
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
// The dialog failed, as opposed to being cancelled: why, in a box. Nothing
// else changes.
void ShowBrowseFailure(HWND hWnd, DWORD dwError) {
    char szBox[kBoxRoom] = "";
    sk::AppendWhole(szBox, sizeof szBox, sk::kBrowseFailed);
    sk::AppendWhole(szBox, sizeof szBox, "\n\n");
    if (dwError == FNERR_BUFFERTOOSMALL)
        sk::AppendFormat(szBox, sizeof szBox, sk::kBrowsePathTooLong,
                         static_cast<unsigned>(kPathRoom - 1));
    else
        sk::AppendFormat(szBox, sizeof szBox, sk::kBrowseError,
                         static_cast<unsigned long>(dwError));
    MessageBoxA(hWnd, szBox, kBoxCaption, MB_OK | MB_ICONWARNING);
}

void OnBrowse(HWND hWnd) {
    char szFile[kPathRoom] = "";
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = kOfnSize;
    ofn.lpstrFilter = kFilter;
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = sizeof szFile;
    ofn.lpstrInitialDir = g_szPath;
    if (!GetOpenFileNameA(&ofn)) {
        // Zero with no error is a cancel. Either way path, label and
        // current directory stay.
        const DWORD dwError = CommDlgExtendedError();
        if (dwError != 0)
            ShowBrowseFailure(hWnd, dwError);
        return;
    }
    // A dialog that measures the buffer in UTF-16 characters (Wine does) can
    // answer success with a path cut at 260 bytes and no terminator: that
    // path is too long, and would name another file.
    if (std::memchr(szFile, '\0', sizeof szFile) == nullptr) {
        ShowBrowseFailure(hWnd, FNERR_BUFFERTOOSMALL);
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

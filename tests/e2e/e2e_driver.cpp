// End-to-end tests of searchkey.exe: starts the program and works its window
// as a person would, through public Win32 calls only, then checks what the
// window shows and what became of the files. Prints PASS or FAIL per case
// and exits nonzero when any case failed.
//
//   e2e_driver SEARCHKEY_EXE SCREENSHOT_BMP
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <windows.h>
#include <dlgs.h>

#include "button_bar.h"
#include "label_panel.h"
#include "outcome_texts.h"
#include "screen.h"
#include "session.h"

namespace {

// The program's texts as code page 932 bytes (from iconv -t CP932) and as
// UTF-16, each with its UTF-8 form in the comment.
const char kCaption[] =  // ドルミカサーチキー３設定
    "\x83\x68\x83\x8b\x83\x7e\x83\x4a\x83\x54\x81\x5b\x83\x60\x83\x4c\x81\x5b\x82\x52\x90\xdd\x92"
    "\xe8";
const wchar_t kCaptionW[] =
    L"\u30c9\u30eb\u30df\u30ab\u30b5\u30fc\u30c1\u30ad\u30fc\uff13\u8a2d\u5b9a";
const char kEdit[] = "\x95\xd2\x8f\x57";           // 編集
const char kClose[] = "\x95\xc2\x82\xb6\x82\xe9";  // 閉じる
const char kBrowse[] = "\x8e\x51\x8f\xc6";         // 参照
const char kBoxCaption[] =                         // サーチキー変換
    "\x83\x54\x81\x5b\x83\x60\x83\x4c\x81\x5b\x95\xcf\x8a\xb7";
const char kDone[] =  // 正常に処理しました。
    "\x90\xb3\x8f\xed\x82\xc9\x8f\x88\x97\x9d\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
const char kFailed[] =  // 失敗しました。
    "\x8e\xb8\x94\x73\x82\xb5\x82\xdc\x82\xb5\x82\xbd\x81\x42";
// Names whose second byte is a backslash: ソ and 表.
const char kFolderSo[] = "\x83\x5c";
const char kFileHyoCsv[] = "\x95\x5c.csv";

const int kWidth = 480;
const int kHeight = 360;

std::string g_root;   // the driver's own folder under %TEMP%
std::string g_start;  // the folder each program starts in
std::string g_shot;   // where the picture of the main window goes

// ---- files ----

std::string NewFolder(const std::string& name) {
    const std::string path = g_root + "\\" + name;
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD cb = 0;
    const bool bOk = h != INVALID_HANDLE_VALUE &&
                     WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr) &&
                     cb == bytes.size();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return Check(bOk, "write the test file", path, "not written");
}

bool ReadBytes(const std::string& path, std::string* pBytes) {
    pBytes->clear();
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    char buf[4096];
    DWORD cb = 0;
    while (ReadFile(h, buf, sizeof buf, &cb, nullptr) && cb != 0)
        pBytes->append(buf, cb);
    CloseHandle(h);
    return true;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CheckFile(const char* pszWhat, const std::string& path, const std::string& expected) {
    std::string actual;
    if (!Check(ReadBytes(path, &actual), pszWhat, "a readable file", "cannot open " + path))
        return false;
    return CheckBytes(pszWhat, expected, actual);
}

bool CheckNoWorkFile(const std::string& folder) {
    const std::string work = folder + "\\workfile.txt";
    return Check(!Exists(work), "no work file left", "absent", "present: " + work);
}

// ---- the program's windows ----

struct BoxParts {
    HWND hText = nullptr;
    HWND hIcon = nullptr;
    HWND hButton = nullptr;
    int nButtons = 0;
};

BOOL CALLBACK CollectBoxPart(HWND hWnd, LPARAM lParam) {
    BoxParts* p = reinterpret_cast<BoxParts*>(lParam);
    const std::string cls = ClassOf(hWnd);
    const LONG_PTR style = GetWindowLongPtrA(hWnd, GWL_STYLE);
    if (!IsWindowVisible(hWnd))
        return TRUE;  // unused buttons exist hidden under Wine
    if (lstrcmpiA(cls.c_str(), "Button") == 0) {
        ++p->nButtons;
        p->hButton = hWnd;
    } else if (lstrcmpiA(cls.c_str(), "Static") == 0) {
        // The icon's id differs between Windows (20) and Wine (1088).
        if ((style & SS_TYPEMASK) == SS_ICON)
            p->hIcon = hWnd;
        else if (!TextA(hWnd).empty())
            p->hText = hWnd;
    }
    return TRUE;
}

// Icon handles are per process: compare what the box shows with the stock
// icons drawn here on the same ground, waiting until the box has painted.
void CheckIcon(HWND hIcon, LPCSTR idExpected, LPCSTR idOther) {
    RECT rc = {};
    GetWindowRect(hIcon, &rc);
    Picture shot;
    Picture want;
    Picture other;
    int nWant = -1;
    int nOther = -1;
    WaitFor(3000, [&] {
        if (!CaptureScreen(rc, &shot))
            return false;
        const DWORD rgbGround = shot.At(0, 0);  // a corner the icons leave clear
        DrawIconPicture(LoadIconA(nullptr, idExpected), rgbGround, shot.cx, shot.cy, &want);
        DrawIconPicture(LoadIconA(nullptr, idOther), rgbGround, shot.cx, shot.cy, &other);
        nWant = DifferingPixels(shot, want, 24);
        nOther = DifferingPixels(shot, other, 24);
        return nWant >= 0 && nWant * 50 <= shot.cx * shot.cy;
    });
    const int nPixels = shot.cx * shot.cy;
    char szActual[96];
    std::snprintf(szActual, sizeof szActual, "%d of %d pixels differ from it, %d from the other",
                  nWant, nPixels, nOther);
    Check(nWant >= 0 && nWant * 50 <= nPixels && nOther > 5 * nWant + nPixels / 20,
          "message box icon", "the stock icon within 2% of its pixels, the other one far off",
          szActual);
}

// Checks a box of the main window: its caption, one OK button, the icon of
// a success or a warning, and a text that starts with prefix and holds
// also; then dismisses it with its OK button.
bool CheckBoxAndDismiss(App& app, bool bSuccess, const std::string& prefix,
                        const std::string& also = "") {
    const HWND hBox = app.WaitBox();
    if (hBox == nullptr)
        return false;
    CheckBytes("message box caption", kBoxCaption, TextA(hBox));
    CheckEq("main window enabled while the box is open", FALSE, IsWindowEnabled(app.Main()));
    BoxParts parts;
    EnumChildWindows(hBox, CollectBoxPart, reinterpret_cast<LPARAM>(&parts));
    const std::string text = TextA(parts.hText);
    CheckBytes("message box text, its start", prefix, text.substr(0, prefix.size()));
    Check(text.find(also) != std::string::npos, "message box text",
          "\"" + Escaped(also) + "\" in it", "\"" + Escaped(text) + "\"");
    CheckEq("visible buttons in the box", 1, parts.nButtons);
    CheckEq("the button's id", IDOK, GetDlgCtrlID(parts.hButton));
    if (Check(parts.hIcon != nullptr, "message box icon", "an SS_ICON static", "none"))
        CheckIcon(parts.hIcon, bSuccess ? IDI_INFORMATION : IDI_WARNING,
                  bSuccess ? IDI_WARNING : IDI_INFORMATION);

    PostMessageA(parts.hButton, BM_CLICK, 0, 0);
    return Check(WaitFor(5000, [&] { return !IsWindow(hBox) && IsWindowEnabled(app.Main()); }),
                 "message box dismissed", "gone, main window enabled", "still there");
}

// What the boxes say after their first line, in the program's own words.
const sk::OutcomeTexts& kTexts = sk::kJapaneseOutcome;

std::string Sentence(const std::string& text) {
    return text + kTexts.pszStop;
}

std::string Reason(sk::ConvertStep step) {
    return Sentence(sk::ReasonText(kTexts, step));
}

std::string NotText(sk::NonText format) {
    char sz[512] = "";
    sk::AppendFormat(sz, sizeof sz, kTexts.pszNotText,
                     kTexts.pFormats[static_cast<int>(format) - 1].pszName);
    return Sentence(sz);
}

// The success box's count, of the file named pszName.
std::string Counted(const char* pszName, const sk::LineCounts& lines) {
    char szLines[256];
    char sz[512] = "";
    sk::LinesText(kTexts, lines, szLines, sizeof szLines);
    sk::AppendFormat(sz, sizeof sz, kTexts.pszOfFile, pszName, szLines);
    return Sentence(sz);
}

BOOL CALLBACK FindEdit(HWND hWnd, LPARAM lParam) {
    if (lstrcmpiA(ClassOf(hWnd).c_str(), "Edit") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(lParam) = hWnd;
    return FALSE;
}

// The file name box: an edit of its own (edt1), or the edit inside the
// combo box cmb13 (Wine and newer Windows nest it in a ComboBoxEx).
HWND FileNameEdit(HWND hDlg) {
    HWND hEdit = GetDlgItem(hDlg, edt1);
    const HWND hCombo = GetDlgItem(hDlg, cmb13);
    if (hEdit == nullptr && hCombo != nullptr)
        EnumChildWindows(hCombo, FindEdit, reinterpret_cast<LPARAM>(&hEdit));
    return hEdit;
}

// Clicks 参照, types the full path into the dialog's file name and presses
// OK; true when the dialog has closed.
bool TypeInDialog(App& app, const std::wstring& path) {
    if (!app.Click(IDC_BTN_BROWSE))
        return false;
    const HWND hDlg = app.WaitOpenDialog();
    if (hDlg == nullptr)
        return false;
    const HWND hEdit = FileNameEdit(hDlg);
    DWORD_PTR dwResult = 0;
    if (!Check(hEdit != nullptr &&
                   SendMessageTimeoutW(hEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                                       SMTO_NORMAL, 5000, &dwResult) != 0,
               "type the file name", "typed", "no file name edit in the dialog"))
        return false;
    PostMessageA(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0);
    return Check(WaitFor(10000, [&] { return !IsWindow(hDlg); }), "open dialog closed by OK",
                 "gone", "still open");
}

bool TypeInDialog(App& app, const std::string& path) {
    wchar_t wsz[MAX_PATH * 2] = L"";
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wsz, MAX_PATH * 2);
    return TypeInDialog(app, std::wstring(wsz));
}

// Chooses the file in the dialog, then waits for the path label to show it.
bool ChooseFile(App& app, const std::string& path) {
    if (!TypeInDialog(app, path))
        return false;
    const HWND hLabel = app.Control(IDC_LBL_PATH);
    WaitFor(5000, [&] { return TextA(hLabel) == path; });
    return CheckBytes("path label after the choice", path, TextA(hLabel));
}

// 編集, and the box it ends with: its first line, then after a blank line
// the text body starts with, holding also.
bool ClickEdit(App& app, bool bSuccess, const std::string& body = "",
               const std::string& also = "") {
    return app.Click(IDC_BTN_EDIT) &&
           CheckBoxAndDismiss(app, bSuccess,
                              (bSuccess ? kDone : kFailed) + std::string("\n\n") + body, also);
}

bool ClickClose(App& app) {
    return app.Click(IDC_BTN_CLOSE) && app.CheckExit(0);
}

// Draws the control's text here in the default GUI font and in the system
// font, and checks that the control's own drawing is as big as the first.
// Measured from outside because WM_GETFONT does not cross processes in Wine.
void CheckFont(HWND hCtl, HWND hMain, int nInset) {
    RECT rcCtl = {};
    RECT rcClient = {};
    GetWindowRect(hCtl, &rcCtl);
    GetClientRect(hMain, &rcClient);
    MapWindowPoints(hMain, nullptr, reinterpret_cast<POINT*>(&rcClient), 2);
    RECT rcSeen = {};
    IntersectRect(&rcSeen, &rcCtl, &rcClient);
    Picture shot;
    if (!Check(CaptureScreen(rcSeen, &shot), "capture the control", "pixels", "none"))
        return;
    const RECT rcArea = {nInset, nInset, shot.cx - nInset, shot.cy - nInset};
    const DWORD rgbGround = CommonPixel(shot, rcArea);
    const RECT ink = InkBox(shot, rcArea, rgbGround);

    const std::string text = TextA(hCtl);
    Picture gui;
    Picture sys;
    DrawTextPicture(text.c_str(), (HFONT)GetStockObject(DEFAULT_GUI_FONT), rgbGround, &gui);
    DrawTextPicture(text.c_str(), (HFONT)GetStockObject(SYSTEM_FONT), rgbGround, &sys);
    const RECT rcAll = {0, 0, gui.cx, gui.cy};
    const RECT inkGui = InkBox(gui, rcAll, rgbGround);
    const RECT inkSys = InkBox(sys, rcAll, rgbGround);
    const int cx = ink.right - ink.left, cy = ink.bottom - ink.top;
    const int cxGui = inkGui.right - inkGui.left, cyGui = inkGui.bottom - inkGui.top;
    const int cxSys = inkSys.right - inkSys.left, cySys = inkSys.bottom - inkSys.top;

    char szExpected[96];
    char szActual[64];
    std::snprintf(szExpected, sizeof szExpected, "text %dx%d (the system font would be %dx%d)",
                  cxGui, cyGui, cxSys, cySys);
    std::snprintf(szActual, sizeof szActual, "text %dx%d", cx, cy);
    // One pixel of slack for edge pixels of smoothed glyphs.
    Check(std::abs(cx - cxGui) <= 1 && std::abs(cy - cyGui) <= 1,
          ("font of \"" + Escaped(text) + "\"").c_str(), szExpected, szActual);
    Check(std::abs(cxGui - cxSys) > 2 || std::abs(cyGui - cySys) > 2,
          "the two fonts draw this text at different sizes", "different", szExpected);
}

// ---- cases ----

void CaseStartUp() {
    App app;
    if (!app.Start(g_start))
        return;
    const HWND hMain = app.Main();
    CheckBytes("caption (code page 932)", kCaption, TextA(hMain));
    CheckWide("caption (UTF-16)", kCaptionW, TextW(hMain));
    CheckEq("class style", 0, GetClassLongPtrA(hMain, GCL_STYLE));
    CheckEq("window style", WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS,
            GetWindowLongPtrA(hMain, GWL_STYLE));
    // The platform adds the window edge to a captioned window.
    CheckEq("extended style", 0, GetWindowLongPtrA(hMain, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE);
    RECT rc = {};
    GetWindowRect(hMain, &rc);
    CheckEq("outer width", kWidth, rc.right - rc.left);
    CheckEq("outer height", kHeight, rc.bottom - rc.top);
    CheckEq("minimized", FALSE, IsIconic(hMain));
    CheckBytes("path label: the start-up folder", g_start, TextA(app.Control(IDC_LBL_PATH)));

    Picture shot;
    if (Check(CaptureScreen(rc, &shot), "capture the main window", "pixels", "none"))
        Check(SaveBmp(shot, g_shot), "save the screenshot", g_shot, "not written");
    ClickClose(app);
}

void CaseControls() {
    struct Row {
        int nId;
        const char* pszClass;
        const char* pszText;  // nullptr: checked elsewhere
        RECT rc;              // in the main window's client coordinates
        int nInset;           // border to leave out when looking at the text
    };
    const Row kRows[] = {
        {IDC_BTN_EDIT, "Button", kEdit, {10, 10, 82, 34}, 3},
        {IDC_BTN_CLOSE, "Button", kClose, {90, 10, 162, 34}, 3},
        {IDC_BTN_BROWSE, "Button", kBrowse, {170, 10, 242, 34}, 3},
        {IDC_LBL_PATH, "Static", nullptr, {10, 60, kWidth, 88}, 0},
        {IDC_LBL_NOTICE, "Static", nullptr, {10, 100, kWidth, 128}, 0},
    };
    App app;
    if (!app.Start(g_start))
        return;
    const HWND hMain = app.Main();
    HWND hPrev = nullptr;
    for (const Row& row : kRows) {
        const HWND hCtl = app.Control(row.nId);
        char szWhat[32];
        std::snprintf(szWhat, sizeof szWhat, "control %d", row.nId);
        if (!Check(hCtl != nullptr, szWhat, "present", "missing"))
            continue;
        // Created in table order: each comes after the one before.
        CheckEq("creation order", reinterpret_cast<LONG_PTR>(hPrev),
                reinterpret_cast<LONG_PTR>(GetWindow(hCtl, GW_HWNDPREV)));
        hPrev = hCtl;
        CheckEq("GetDlgCtrlID", row.nId, GetDlgCtrlID(hCtl));
        Check(lstrcmpiA(ClassOf(hCtl).c_str(), row.pszClass) == 0, "class", row.pszClass,
              ClassOf(hCtl));
        CheckEq("style", WS_CHILD | WS_VISIBLE, GetWindowLongPtrA(hCtl, GWL_STYLE));
        CheckEq("extended style", 0, GetWindowLongPtrA(hCtl, GWL_EXSTYLE));
        const RECT rc = RectIn(hCtl, hMain);
        CheckEq("left", row.rc.left, rc.left);
        CheckEq("top", row.rc.top, rc.top);
        CheckEq("right", row.rc.right, rc.right);
        CheckEq("bottom", row.rc.bottom, rc.bottom);
        if (row.pszText != nullptr)
            CheckBytes("button text", row.pszText, TextA(hCtl));
        CheckFont(hCtl, hMain, row.nInset);
    }

    // The notice: one line of ASCII, whole within the window.
    const std::string notice = TextA(app.Control(IDC_LBL_NOTICE));
    bool bAscii = !notice.empty();
    for (unsigned char b : notice)
        bAscii = bAscii && b >= 0x20 && b < 0x7F;
    Check(bAscii, "notice text", "one line of printable ASCII", "\"" + Escaped(notice) + "\"");
    HDC hdc = CreateCompatibleDC(nullptr);
    SelectObject(hdc, GetStockObject(DEFAULT_GUI_FONT));
    SIZE size = {};
    GetTextExtentPoint32A(hdc, notice.c_str(), static_cast<int>(notice.size()), &size);
    DeleteDC(hdc);
    RECT rcClient = {};
    GetClientRect(hMain, &rcClient);
    CheckEq("notice fits in the window", 1, size.cx <= rcClient.right - 10);

    // Resizing moves and sizes no control.
    SetWindowPos(hMain, nullptr, 0, 0, kWidth + 160, kHeight + 120,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    app.Sync();
    RECT rcMain = {};
    GetWindowRect(hMain, &rcMain);
    CheckEq("width after resizing", kWidth + 160, rcMain.right - rcMain.left);
    for (const Row& row : kRows) {
        const RECT rc = RectIn(app.Control(row.nId), hMain);
        CheckEq("left after resizing", row.rc.left, rc.left);
        CheckEq("right after resizing", row.rc.right, rc.right);
    }
    ClickClose(app);
}

void CaseBackground() {
    // A menu colour of its own, so that no other colour passes for it.
    const int nIndex = COLOR_MENU;
    const COLORREF crOld = GetSysColor(COLOR_MENU);
    const COLORREF crMenu = RGB(0x30, 0x90, 0x60);
    SetSysColors(1, &nIndex, &crMenu);
    {
        App app;
        if (app.Start(g_start)) {
            POINT pt = {300, 45};  // right of the buttons, above the labels
            ClientToScreen(app.Main(), &pt);
            const RECT rc = {pt.x, pt.y, pt.x + 1, pt.y + 1};
            Picture shot;
            CaptureScreen(rc, &shot);
            CheckEq("window background (RGB)", RgbOf(crMenu), shot.cx == 1 ? shot.At(0, 0) : -1);
            ClickClose(app);
        }
    }
    SetSysColors(1, &nIndex, &crOld);
}

void CaseBrowseThenEdit() {
    const std::string folder = NewFolder(kFolderSo);
    const std::string file = folder + "\\" + kFileHyoCsv;
    WriteBytes(file, "a,b,\r\nc,5,\r\n\x95\x5c,\r\n");
    App app;
    if (!app.Start(g_start) || !ChooseFile(app, file) || !ClickEdit(app, true))
        return;
    CheckFile("converted file", file, "a,b,100\r\nc,5,\r\n\x95\x5c,102\r\n");
    CheckNoWorkFile(folder);
    CheckBytes("path label after the conversion", file, TextA(app.Control(IDC_LBL_PATH)));
    ClickClose(app);
}

// Before a file is chosen the path is the start-up folder: the box says so.
void CaseEditBeforeBrowse() {
    App app;
    if (!app.Start(g_start) ||
        !ClickEdit(app, false, Sentence(kTexts.pszNoFileChosen), kTexts.pszNoFileChosenRemedy))
        return;
    CheckNoWorkFile(g_start);
    CheckNoWorkFile(g_root);
    CheckEq("start-up folder still a folder", FILE_ATTRIBUTE_DIRECTORY,
            GetFileAttributesA(g_start.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    ClickClose(app);
}

void CaseEditMissingFile() {
    const std::string folder = NewFolder("missing");
    const std::string gone = folder + "\\gone.csv";
    const std::string never = folder + "\\never.csv";
    WriteBytes(gone, "a,\r\n");
    App app;
    if (!app.Start(g_start) || !ChooseFile(app, gone))
        return;
    Check(DeleteFileA(gone.c_str()) != FALSE, "delete the chosen file", "deleted", "still there");
    if (!ClickEdit(app, false, Reason(sk::ConvertStep::kNotFound)))
        return;
    Check(!Exists(gone), "deleted file", "not made again", "present");
    CheckNoWorkFile(folder);

    // A name typed for a file that never existed is taken, and fails alike.
    if (!ChooseFile(app, never) || !ClickEdit(app, false, Reason(sk::ConvertStep::kNotFound)))
        return;
    Check(!Exists(never), "file never chosen", "not made", "present");
    CheckNoWorkFile(folder);
    ClickClose(app);
}

void CaseCancelledDialog() {
    App app;
    if (!app.Start(g_start) || !app.Click(IDC_BTN_BROWSE))
        return;
    const HWND hDlg = app.WaitOpenDialog();
    if (hDlg == nullptr)
        return;
    // Without an owner the main window stays usable while the dialog is open.
    CheckEq("main window enabled while the dialog is open", TRUE, IsWindowEnabled(app.Main()));

    const wchar_t* const kTypes[] = {L"txt", L"csv", L"all"};
    const HWND hTypes = GetDlgItem(hDlg, cmb1);
    DWORD_PTR dwCount = 0;
    DWORD_PTR dwSel = 0;
    SendMessageTimeoutW(hTypes, CB_GETCOUNT, 0, 0, SMTO_NORMAL, 5000, &dwCount);
    SendMessageTimeoutW(hTypes, CB_GETCURSEL, 0, 0, SMTO_NORMAL, 5000, &dwSel);
    CheckEq("file types offered", 3, static_cast<LONG_PTR>(dwCount));
    CheckEq("file type in force", 0, static_cast<LONG_PTR>(dwSel));
    for (int i = 0; i < 3; ++i) {
        // The ANSI message gives one character only: the combo keeps no strings.
        wchar_t sz[64] = L"";
        DWORD_PTR dwLen = 0;
        SendMessageTimeoutW(hTypes, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(sz), SMTO_NORMAL,
                            5000, &dwLen);
        CheckWide("file type text", kTypes[i], sz);
    }

    PostMessageA(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
    if (!Check(WaitFor(10000, [&] { return !IsWindow(hDlg); }), "open dialog closed by Cancel",
               "gone", "still open"))
        return;
    app.Sync();
    Check(FindTopWindow(app.Pid(), "#32770", app.Main()) == nullptr, "a box after Cancel", "none",
          "one is open");
    CheckBytes("path label after Cancel", g_start, TextA(app.Control(IDC_LBL_PATH)));
    // The path is still the folder, so 編集 fails as before any choice.
    if (ClickEdit(app, false))
        ClickClose(app);
}

void CaseHighHalfIgnored() {
    App app;
    if (!app.Start(g_start))
        return;
    const int kIds[] = {IDC_BTN_EDIT, IDC_BTN_CLOSE, IDC_BTN_BROWSE};
    for (int nId : kIds) {
        // Sent, so that a box or dialog it wrongly opened shows as a timeout.
        DWORD_PTR dwResult = 1;
        const LRESULT lSent = SendMessageTimeoutA(app.Main(), WM_COMMAND, MAKEWPARAM(nId, 1), 0,
                                                  SMTO_NORMAL, 3000, &dwResult);
        CheckEq("WM_COMMAND with high half 1 answered", 1, lSent != 0);
        CheckEq("its result", 0, static_cast<LONG_PTR>(dwResult));
        CheckEq("main window still there", TRUE, IsWindow(app.Main()));
        Check(FindTopWindow(app.Pid(), "#32770", app.Main()) == nullptr &&
                  FindTopWindow(app.Pid(), "#32770", nullptr) == nullptr,
              "no box or dialog", "none", "one is open");
    }
    CheckBytes("path label unchanged", g_start, TextA(app.Control(IDC_LBL_PATH)));
    // The same id with a zero high half is a click and is obeyed.
    PostMessageA(app.Main(), WM_COMMAND, MAKEWPARAM(IDC_BTN_CLOSE, BN_CLICKED), 0);
    app.CheckExit(0);
}

void CaseTitleBarClose() {
    App app;
    if (!app.Start(g_start))
        return;
    PostMessageA(app.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    app.CheckExit(0);
}

void CaseShowCommands() {
    struct Row {
        int nShow;
        BOOL bIconic;
        BOOL bZoomed;
    };
    const Row kRows[] = {
        {App::kNoShowCommand, FALSE, FALSE},
        {SW_SHOWMINNOACTIVE, TRUE, FALSE},
        {SW_MINIMIZE, TRUE, FALSE},
        {SW_SHOWMAXIMIZED, FALSE, TRUE},
    };
    for (const Row& row : kRows) {
        std::printf("    show command %d\n", row.nShow);
        App app;
        if (!app.Start(g_start, row.nShow))
            continue;
        CheckEq("minimized", row.bIconic, IsIconic(app.Main()));
        CheckEq("maximized", row.bZoomed, IsZoomed(app.Main()));
        CheckBytes("caption", kCaption, TextA(app.Main()));
        PostMessageA(app.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
        app.CheckExit(0);
    }
}

// The success box tells how many lines got a number, on the first 編集 and
// on a second one, which numbers text keys again.
void CaseSecondEdit() {
    struct Row {
        const char* pszName;
        const char* pszBefore;
        const char* pszFirst;  // the file after the first 編集
        sk::LineCounts first;  // what that 編集 numbered
        const char* pszSecond;
        sk::LineCounts second;  // ullRenumbered: the box says it may have been converted before
    };
    const Row kRows[] = {
        {"three.txt",
         "a,\r\nb,0\r\n,\r\n",
         "a,100\r\nb,0101\r\n,102\r\n",
         {3, 3, 0, {1, 2, 3}},
         "a,100\r\nb,0101\r\n,102\r\n",
         {3, 0, 0, {}}},
        {"twice.txt",
         "abc\r\na,b,100\r\n",
         "abc100\r\na,b,100\r\n",
         {2, 1, 0, {1}},
         "abc100100\r\na,b,100\r\n",
         {2, 1, 1, {1}}},
    };
    const std::string folder = NewFolder("twice");
    for (const Row& row : kRows) {
        std::printf("    %s\n", row.pszName);
        const std::string file = folder + "\\" + row.pszName;
        WriteBytes(file, row.pszBefore);
        App app;
        if (!app.Start(g_start) || !ChooseFile(app, file) ||
            !ClickEdit(app, true, Counted(row.pszName, row.first)))
            continue;
        CheckFile("after the first 編集", file, row.pszFirst);
        char szBefore[512] = "";
        if (row.second.ullRenumbered != 0)
            sk::AppendFormat(szBefore, sizeof szBefore, kTexts.pszConvertedBefore, "1");
        if (!ClickEdit(app, true, Counted(row.pszName, row.second), szBefore))
            continue;
        CheckFile("after the second 編集", file, row.pszSecond);
        CheckNoWorkFile(folder);
        ClickClose(app);
    }
}

// Files the pass refuses, each for a reason of its own that the failure box
// gives after its first line; each left whole, and converted once the
// obstacle is gone (a workbook stays one).
void CaseFileInUse() {
    enum Obstacle { kOpenElsewhere, kReadOnly, kLeftWorkFile, kWorkbook };
    struct Row {
        const char* pszName;
        Obstacle obstacle;
        sk::ConvertStep step;
    };
    const Row kRows[] = {
        // Known when the file is opened: the pass asks for the right to replace it.
        {"held open", kOpenElsewhere, sk::ConvertStep::kInUse},
        {"read-only", kReadOnly, sk::ConvertStep::kReadOnly},
        {"beside a leftover workfile.txt", kLeftWorkFile, sk::ConvertStep::kWorkFileExists},
        {"not text", kWorkbook, sk::ConvertStep::kNotText},
    };
    const std::string folder = NewFolder("inuse");
    const std::string file = folder + "\\held.csv";
    const std::string work = folder + "\\workfile.txt";
    const std::string converted = "a,b,100\r\nc,101\r\n";
    const std::string leftover = "somebody's text\r\n";
    for (const Row& row : kRows) {
        std::printf("    %s\n", row.pszName);
        const std::string original = row.obstacle == kWorkbook
                                         ? std::string("PK\x03\x04\x14\x00,\r\n", 9)
                                         : std::string("a,b,\r\nc,\r\n");
        WriteBytes(file, original);
        HANDLE h = INVALID_HANDLE_VALUE;
        std::string place;  // the box must name where the file in the way is
        if (row.obstacle == kOpenElsewhere) {
            h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
            Check(h != INVALID_HANDLE_VALUE, "hold the file open", "open", "not opened");
        } else if (row.obstacle == kReadOnly) {
            Check(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY) != FALSE,
                  "make the file read-only", "read-only", "unchanged");
        } else if (row.obstacle == kLeftWorkFile) {
            WriteBytes(work, leftover);
            char sz[MAX_PATH + 64] = "";
            sk::AppendFormat(sz, sizeof sz, kTexts.pszPlace, work.c_str());
            place = sz;
        }
        App app;
        const std::string reason =
            row.step == sk::ConvertStep::kNotText ? NotText(sk::NonText::kZip) : Reason(row.step);
        const bool bRefused =
            app.Start(g_start) && ChooseFile(app, file) && ClickEdit(app, false, reason, place);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (row.obstacle == kLeftWorkFile) {
            CheckFile("the leftover workfile.txt", work, leftover);
            DeleteFileA(work.c_str());
        }
        if (!bRefused)
            continue;
        CheckFile("refused file", file, original);
        CheckNoWorkFile(folder);
        if (row.obstacle != kWorkbook && ClickEdit(app, true))
            CheckFile("file once released", file, converted);
        ClickClose(app);
    }
    // Each row stands for a fault of its own only if no two give the same reason.
    for (const Row& a : kRows) {
        for (const Row* b = &a + 1; b != std::end(kRows); ++b)
            Check(a.step != b->step, "two rows' reasons", "different", a.pszName);
    }
}

// A path longer than the dialog's 260-byte buffer holds: the dialog fails
// rather than cancels, and a box says why; the path stays as it was.
void CaseBrowsePathTooLong() {
    // あ, two bytes that never hold a backslash: 80 of them make a folder name
    // of 160 bytes and a file name of 164, a path of some 360 bytes in fewer
    // than 200 characters, which the file functions take.
    std::string a80;
    for (int i = 0; i < 80; ++i)
        a80 += "\x82\xa0";
    const std::string folder = NewFolder(a80);
    const std::string file = folder + "\\" + a80 + ".csv";
    if (!WriteBytes(file, "a,\r\n"))
        return;
    char szWhy[512] = "";
    sk::AppendFormat(szWhy, sizeof szWhy, sk::kBrowsePathTooLong, MAX_PATH - 1u);
    App app;
    if (!app.Start(g_start) || !TypeInDialog(app, file) ||
        !CheckBoxAndDismiss(app, false, sk::kBrowseFailed + std::string("\n\n") + szWhy))
        return;
    CheckBytes("path label after the failed dialog", g_start, TextA(app.Control(IDC_LBL_PATH)));
    CheckFile("the file", file, "a,\r\n");
    ClickClose(app);
}

// A name code page 932 spells only by best fit (café.csv as cafe.csv) or not
// at all (an emoji): the choice is refused, and path, label and the file
// of the look-alike name stay as they were.
void CaseNameUnfit() {
    const std::string folder = NewFolder("unfit");
    wchar_t wszFolder[MAX_PATH] = L"";
    MultiByteToWideChar(CP_ACP, 0, folder.c_str(), -1, wszFolder, MAX_PATH);
    const std::string lookalike = folder + "\\cafe.csv";
    WriteBytes(lookalike, "a,\r\n");
    for (const wchar_t* pszName : {L"caf\u00e9.csv", L"\U0001F600.csv"}) {
        const std::wstring path = std::wstring(wszFolder) + L"\\" + pszName;
        const HANDLE h =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        Check(h != INVALID_HANDLE_VALUE, "make the file", "made", "not made");
        CloseHandle(h);
        App app;
        if (!app.Start(g_start) || !TypeInDialog(app, path) ||
            !CheckBoxAndDismiss(app, false,
                                sk::kBrowseFailed + std::string("\n\n") + sk::kBrowseNameUnfit))
            continue;
        CheckBytes("path label after the refused choice", g_start,
                   TextA(app.Control(IDC_LBL_PATH)));
        ClickEdit(app, false, Sentence(kTexts.pszNoFileChosen));
        CheckFile("the file of the look-alike name", lookalike, "a,\r\n");
        ClickClose(app);
    }
}

struct Case {
    const char* pszName;
    void (*pfn)();
};

const Case kCases[] = {
    {"caption, window and path label after start", CaseStartUp},
    {"controls: ids, classes, styles, places, texts, fonts", CaseControls},
    {"window background is the menu colour", CaseBackground},
    {"browse then edit converts the file", CaseBrowseThenEdit},
    {"edit before any browse fails", CaseEditBeforeBrowse},
    {"edit on a deleted or never existing file fails", CaseEditMissingFile},
    {"a cancelled dialog changes nothing", CaseCancelledDialog},
    {"a command with a nonzero high half is ignored", CaseHighHalfIgnored},
    {"close by the title bar exits 0", CaseTitleBarClose},
    {"the show command of the start is honoured", CaseShowCommands},
    {"a second edit on the same file", CaseSecondEdit},
    {"a file refused says why, is left whole, converts once released", CaseFileInUse},
    {"a path too long for the dialog says so and changes nothing", CaseBrowsePathTooLong},
    {"a name code page 932 cannot spell is refused when chosen", CaseNameUnfit},
};

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) {
        std::fprintf(stderr, "usage: e2e_driver SEARCHKEY_EXE SCREENSHOT_BMP\n");
        return 2;
    }
    App::SetExe(argv[1]);
    g_shot = argv[2];
    if (GetACP() != 932) {
        std::printf("FAIL the ANSI code page is %u, not 932: run with LC_ALL=ja_JP.UTF-8\n",
                    GetACP());
        return 1;
    }
    char szTemp[MAX_PATH] = "";
    GetTempPathA(sizeof szTemp, szTemp);
    g_root = std::string(szTemp) + "searchkey-e2e";
    CreateDirectoryA(g_root.c_str(), nullptr);
    g_start = NewFolder("start");

    int nFailed = 0;
    for (const Case& c : kCases) {
        StartCase();
        c.pfn();
        const bool bPassed = CaseFailures() == 0;
        nFailed += bPassed ? 0 : 1;
        std::printf("%s %s\n", bPassed ? "PASS" : "FAIL", c.pszName);
    }
    std::printf("%d of %d cases passed\n",
                static_cast<int>(sizeof kCases / sizeof kCases[0]) - nFailed,
                static_cast<int>(sizeof kCases / sizeof kCases[0]));
    return nFailed == 0 ? 0 : 1;
}

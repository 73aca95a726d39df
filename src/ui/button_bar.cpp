// ButtonBar: creates the three buttons; the window procedure keeps no handle
// of them, since a click reports itself through WM_COMMAND.
#include "button_bar.h"

namespace {
const int kTop = 10;
const int kWidth = 72;
const int kHeight = 24;
}  // namespace

ButtonBar::ButtonBar() : m_hEdit(nullptr), m_hClose(nullptr), m_hBrowse(nullptr) {}

// The buttons end with their parent window, not with this object.
ButtonBar::~ButtonBar() {}

void ButtonBar::Create(HINSTANCE hInst, HWND hParent) {
    // Plain push buttons without tab stops: the window is driven by mouse.
    m_hEdit = CreateWindowExA(0, "BUTTON", "編集", WS_CHILD | WS_VISIBLE, 10, kTop, kWidth, kHeight,
                              hParent, (HMENU)(INT_PTR)IDC_BTN_EDIT, hInst, nullptr);
    m_hClose = CreateWindowExA(0, "BUTTON", "閉じる", WS_CHILD | WS_VISIBLE, 90, kTop, kWidth,
                               kHeight, hParent, (HMENU)(INT_PTR)IDC_BTN_CLOSE, hInst, nullptr);
    m_hBrowse = CreateWindowExA(0, "BUTTON", "参照", WS_CHILD | WS_VISIBLE, 170, kTop, kWidth,
                                kHeight, hParent, (HMENU)(INT_PTR)IDC_BTN_BROWSE, hInst, nullptr);

    // Without it the buttons would draw in the bold system font.
    const WPARAM wFont = (WPARAM)GetStockObject(DEFAULT_GUI_FONT);
    SendMessageA(m_hEdit, WM_SETFONT, wFont, TRUE);
    SendMessageA(m_hClose, WM_SETFONT, wFont, TRUE);
    SendMessageA(m_hBrowse, WM_SETFONT, wFont, TRUE);
}

void ButtonBar::Destroy() {
    // A null handle is refused without effect, so no test is needed.
    (void)DestroyWindow(m_hEdit);
    (void)DestroyWindow(m_hClose);
    (void)DestroyWindow(m_hBrowse);
}

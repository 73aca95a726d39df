// LabelPanel: creates the path label and the notice label, as wide as the
// main window was when they were made; they keep that size on resizing.
#include "label_panel.h"

namespace {
const char kNotice[] = "Choose a file with the right button, then press the left one.";
const int kLeft = 10;
const int kHeight = 28;
}  // namespace

LabelPanel::LabelPanel() : m_hPath(nullptr), m_hNotice(nullptr) {}

// The labels end with their parent window, not with this object.
LabelPanel::~LabelPanel() {}

void LabelPanel::Create(HINSTANCE hInst, HWND hParent, const char* pszPath) {
    RECT rc = {};
    (void)GetWindowRect(hParent, &rc);  // a failure leaves zero-width labels
    const int nWidth = rc.right - rc.left - kLeft;

    m_hPath = CreateWindowExA(0, "STATIC", pszPath, WS_CHILD | WS_VISIBLE, kLeft, 60, nWidth,
                              kHeight, hParent, (HMENU)(INT_PTR)IDC_LBL_PATH, hInst, nullptr);
    m_hNotice = CreateWindowExA(0, "STATIC", kNotice, WS_CHILD | WS_VISIBLE, kLeft, 100, nWidth,
                                kHeight, hParent, (HMENU)(INT_PTR)IDC_LBL_NOTICE, hInst, nullptr);

    const WPARAM wFont = (WPARAM)GetStockObject(DEFAULT_GUI_FONT);
    SendMessageA(m_hPath, WM_SETFONT, wFont, TRUE);
    SendMessageA(m_hNotice, WM_SETFONT, wFont, TRUE);
}

void LabelPanel::Destroy() {
    // A null handle is refused without effect, so no test is needed.
    (void)DestroyWindow(m_hPath);
    (void)DestroyWindow(m_hNotice);
}

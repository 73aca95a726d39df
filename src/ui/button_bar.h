// The row of three push buttons along the top of the main window.
#pragma once

#include <windows.h>

// Command ids: a click arrives as WM_COMMAND with the id as its whole first
// parameter.
const int IDC_BTN_EDIT = 101;
const int IDC_BTN_CLOSE = 102;
const int IDC_BTN_BROWSE = 103;

class ButtonBar {
public:
    ButtonBar();
    virtual ~ButtonBar();

    // Creates 編集, 閉じる and 参照 from left to right in hParent, in the
    // default GUI font.
    void Create(HINSTANCE hInst, HWND hParent);
    void Destroy();

private:
    HWND m_hEdit;
    HWND m_hClose;
    HWND m_hBrowse;
};

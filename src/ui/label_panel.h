// The two text lines below the buttons: the current path and a fixed notice.
#pragma once

#include <windows.h>

const int IDC_LBL_PATH = 201;
const int IDC_LBL_NOTICE = 202;

class LabelPanel {
public:
    LabelPanel();
    virtual ~LabelPanel();

    // Creates the path label showing pszPath and the notice label in
    // hParent, in the default GUI font.
    void Create(HINSTANCE hInst, HWND hParent, const char* pszPath);
    void Destroy();

    HWND PathLabel() const { return m_hPath; }

private:
    HWND m_hPath;
    HWND m_hNotice;
};

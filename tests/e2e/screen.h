// Pictures of the screen and of text and icons drawn here, for the checks
// that can only be made by looking: fonts, icons and colours of another
// process's windows.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

// A top-down picture; each pixel 0x00RRGGBB.
struct Picture {
    int cx = 0;
    int cy = 0;
    std::vector<DWORD> px;
    DWORD At(int x, int y) const { return px[static_cast<size_t>(y) * cx + x]; }
};

DWORD RgbOf(COLORREF cr);

// What the screen shows inside rcScreen.
bool CaptureScreen(const RECT& rcScreen, Picture* pPic);

// pszText in hFont on a ground of rgbBack, with room around it.
bool DrawTextPicture(const char* pszText, HFONT hFont, DWORD rgbBack, Picture* pPic);

// hIcon at its own size on a cx by cy ground of rgbBack.
bool DrawIconPicture(HICON hIcon, DWORD rgbBack, int cx, int cy, Picture* pPic);

// The commonest pixel inside rcArea: the ground a control draws on.
DWORD CommonPixel(const Picture& pic, const RECT& rcArea);

// The smallest rectangle inside rcArea holding every pixel that is not
// rgbBack; empty when there is none.
RECT InkBox(const Picture& pic, const RECT& rcArea, DWORD rgbBack);

// How many pixels of two same-sized pictures differ by more than nSlack in
// some colour channel; -1 when the sizes differ.
int DifferingPixels(const Picture& a, const Picture& b, int nSlack);

bool SaveBmp(const Picture& pic, const std::string& path);

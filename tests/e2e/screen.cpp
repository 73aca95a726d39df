// Pictures through a 32-bit DIB section, the same drawing code Wine uses
// for window surfaces, so that drawn and captured pixels compare.
#include "screen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// A memory DC with a top-down 32-bit DIB section selected into it.
class Canvas {
public:
    Canvas(int cx, int cy) : m_cx(cx), m_cy(cy) {
        BITMAPINFO bmi = {};
        bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
        bmi.bmiHeader.biWidth = cx;
        bmi.bmiHeader.biHeight = -cy;
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        bmi.bmiHeader.biCompression = BI_RGB;
        m_hdc = CreateCompatibleDC(nullptr);
        m_hbm = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &m_pvBits, nullptr, 0);
        if (m_hdc != nullptr && m_hbm != nullptr)
            m_hOld = SelectObject(m_hdc, m_hbm);
    }
    ~Canvas() {
        if (m_hOld != nullptr)
            SelectObject(m_hdc, m_hOld);
        if (m_hbm != nullptr)
            DeleteObject(m_hbm);
        if (m_hdc != nullptr)
            DeleteDC(m_hdc);
    }
    bool Ok() const { return m_hOld != nullptr && m_pvBits != nullptr; }
    HDC Dc() const { return m_hdc; }
    void Fill(DWORD rgb) {
        DWORD* p = static_cast<DWORD*>(m_pvBits);
        for (int i = 0; i < m_cx * m_cy; ++i)
            p[i] = rgb;
    }
    void CopyTo(Picture* pPic) const {
        GdiFlush();
        const DWORD* p = static_cast<const DWORD*>(m_pvBits);
        pPic->cx = m_cx;
        pPic->cy = m_cy;
        pPic->px.assign(p, p + m_cx * m_cy);
        for (DWORD& d : pPic->px)
            d &= 0x00FFFFFF;
    }

private:
    int m_cx;
    int m_cy;
    HDC m_hdc = nullptr;
    HBITMAP m_hbm = nullptr;
    HGDIOBJ m_hOld = nullptr;
    void* m_pvBits = nullptr;
};

}  // namespace

DWORD RgbOf(COLORREF cr) {
    return (GetRValue(cr) << 16) | (GetGValue(cr) << 8) | GetBValue(cr);
}

bool CaptureScreen(const RECT& rc, Picture* pPic) {
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    if (cx <= 0 || cy <= 0)
        return false;
    Canvas canvas(cx, cy);
    HDC hdcScreen = GetDC(nullptr);
    const bool bOk = canvas.Ok() && hdcScreen != nullptr &&
                     BitBlt(canvas.Dc(), 0, 0, cx, cy, hdcScreen, rc.left, rc.top, SRCCOPY);
    if (hdcScreen != nullptr)
        ReleaseDC(nullptr, hdcScreen);
    if (bOk)
        canvas.CopyTo(pPic);
    return bOk;
}

bool DrawTextPicture(const char* pszText, HFONT hFont, DWORD rgbBack, Picture* pPic) {
    Canvas canvas(800, 100);
    if (!canvas.Ok())
        return false;
    canvas.Fill(rgbBack);
    SelectObject(canvas.Dc(), hFont);
    SetBkMode(canvas.Dc(), TRANSPARENT);
    SetTextColor(canvas.Dc(), GetSysColor(COLOR_BTNTEXT));
    if (!TextOutA(canvas.Dc(), 20, 20, pszText, static_cast<int>(std::strlen(pszText))))
        return false;
    canvas.CopyTo(pPic);
    return true;
}

bool DrawIconPicture(HICON hIcon, DWORD rgbBack, int cx, int cy, Picture* pPic) {
    Canvas canvas(cx, cy);
    if (!canvas.Ok())
        return false;
    canvas.Fill(rgbBack);
    if (!DrawIcon(canvas.Dc(), 0, 0, hIcon))
        return false;
    canvas.CopyTo(pPic);
    return true;
}

DWORD CommonPixel(const Picture& pic, const RECT& rc) {
    std::map<DWORD, int> counts;
    for (int y = rc.top; y < rc.bottom; ++y)
        for (int x = rc.left; x < rc.right; ++x)
            ++counts[pic.At(x, y)];
    DWORD best = 0;
    int nBest = -1;
    for (const auto& kv : counts) {
        if (kv.second > nBest) {
            best = kv.first;
            nBest = kv.second;
        }
    }
    return best;
}

RECT InkBox(const Picture& pic, const RECT& rc, DWORD rgbBack) {
    RECT box = {rc.right, rc.bottom, rc.left, rc.top};
    for (int y = rc.top; y < rc.bottom; ++y) {
        for (int x = rc.left; x < rc.right; ++x) {
            if (pic.At(x, y) == rgbBack)
                continue;
            box.left = x < box.left ? x : box.left;
            box.top = y < box.top ? y : box.top;
            box.right = x + 1 > box.right ? x + 1 : box.right;
            box.bottom = y + 1 > box.bottom ? y + 1 : box.bottom;
        }
    }
    if (box.left >= box.right)
        box = RECT{0, 0, 0, 0};
    return box;
}

int DifferingPixels(const Picture& a, const Picture& b, int nSlack) {
    if (a.cx != b.cx || a.cy != b.cy)
        return -1;
    int n = 0;
    for (size_t i = 0; i < a.px.size(); ++i) {
        for (int shift = 0; shift <= 16; shift += 8) {
            const int d = static_cast<int>((a.px[i] >> shift) & 0xFF) -
                          static_cast<int>((b.px[i] >> shift) & 0xFF);
            if (std::abs(d) > nSlack) {
                ++n;
                break;
            }
        }
    }
    return n;
}

bool SaveBmp(const Picture& pic, const std::string& path) {
    BITMAPFILEHEADER bfh = {};
    BITMAPINFOHEADER bih = {};
    const DWORD cbPixels = static_cast<DWORD>(pic.px.size() * sizeof(DWORD));
    bfh.bfType = 0x4D42;  // "BM"
    bfh.bfOffBits = sizeof bfh + sizeof bih;
    bfh.bfSize = bfh.bfOffBits + cbPixels;
    bih.biSize = sizeof bih;
    bih.biWidth = pic.cx;
    bih.biHeight = -pic.cy;
    bih.biPlanes = 1;
    bih.biBitCount = 32;
    bih.biCompression = BI_RGB;
    FILE* pf = std::fopen(path.c_str(), "wb");
    if (pf == nullptr)
        return false;
    bool bOk = std::fwrite(&bfh, sizeof bfh, 1, pf) == 1 &&
               std::fwrite(&bih, sizeof bih, 1, pf) == 1 &&
               std::fwrite(pic.px.data(), 1, cbPixels, pf) == cbPixels;
    bOk = std::fclose(pf) == 0 && bOk;
    return bOk;
}

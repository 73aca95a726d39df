// The program's entry: registers the main window's class, shows the window
// and runs the message loop until the window is destroyed.
#include <cstring>

#include <windows.h>

#include "app_globals.h"
#include "main_window.h"

namespace {
const char kClassName[] = "MYWNDCLSS";
const int kWidth = 480;
const int kHeight = 360;
}  // namespace

static_assert(sizeof(void*) != 4 || sizeof(WNDCLASSEXA) == 48,
              "the 32-bit class record is 48 bytes");

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int nCmdShow) {
    g_hInst = hInstance;

    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = hInstance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(INT_PTR)(COLOR_MENU + 1);
    wc.lpszClassName = kClassName;
    (void)RegisterClassExA(&wc);  // a failure shows as a failed CreateWindowExA

    const HWND hWnd =
        CreateWindowExA(0, kClassName, nullptr, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        kWidth, kHeight, nullptr, nullptr, hInstance, nullptr);
    // Without a window nothing could ever end the message loop.
    if (hWnd == nullptr)
        return 1;
    ShowWindow(hWnd, nCmdShow);

    // -1 is an error, not a message: stop rather than spin.
    MSG msg;
    msg.wParam = 0;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}

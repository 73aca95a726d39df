// The state that outlives one message of the main window.
#pragma once

#include <windows.h>

// The room of a path: the platform's longest path and its terminator.
const int kPathRoom = MAX_PATH;

extern HINSTANCE g_hInst;         // this module, for creating windows
extern char g_szPath[kPathRoom];  // the start-up folder, then the chosen file
extern HWND g_hPathLabel;         // the label that shows g_szPath

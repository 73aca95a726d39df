// The process-wide state of the window program.
#include "app_globals.h"

HINSTANCE g_hInst = nullptr;
char g_szPath[kPathRoom] = "";
HWND g_hPathLabel = nullptr;

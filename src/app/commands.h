// What the three buttons do.
#pragma once

#include <windows.h>

class ButtonBar;
class LabelPanel;
class SearchKeyConverter;

// Carries out the command whose id is wParam; any other value, a
// notification code in the high half included, does nothing. Returns 0.
LRESULT OnCommand(HWND hWnd, WPARAM wParam, ButtonBar* pBar, LabelPanel* pPanel,
                  SearchKeyConverter* pConv);

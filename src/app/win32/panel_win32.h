// The monitor panel's widgets in brevalink.exe: the window's 18 monitor lines and
// 3 status lines with their two fonts. Main thread only.
#pragma once

#include <windows.h>

// Two fonts, 18 monitor lines, three status lines, as children of window.
void createMonitorPanel(HWND window);
// Moves every monitor line up by one and puts text at the bottom. Main thread.
void panelScrollAndPlace(const char* text);

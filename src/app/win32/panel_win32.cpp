// The monitor panel's widgets: 18 monitor lines and three status lines, each a
// STATIC child of the main window, and the scroll that moves the monitor lines up.
// Created once at start-up and never destroyed before the window. Main thread only:
// other threads reach the scroll through uiScrollAndPlace, which sends it here.
#include <windows.h>

#include "core/app_state.h"
#include "app/win32/panel_win32.h"
#include "app/win32/window_win32.h"

namespace {

constexpr int kLineHeight = 16;
// Wider than the window on purpose: the window edge cuts long lines off.
constexpr int kLineWidth = 676;

HFONT makeFont(int height, const char* face) {
    return CreateFontA(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, face);
}

HWND makeLine(HWND window, HINSTANCE instance, int y, HFONT font) {
    HWND line = CreateWindowExA(0, "STATIC", nullptr, WS_CHILD | WS_VISIBLE, 0, y, kLineWidth, kLineHeight,
                                window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(-1)), instance, nullptr);
    SendMessageA(line, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
    return line;
}

}  // namespace

void createMonitorPanel(HWND window) {
    HFONT monitorFont = makeFont(8, "MS Sans Serif");
    HFONT statusFont = makeFont(12, "Fixedsys");
    widgets.monitorFont = monitorFont;
    widgets.statusFont = statusFont;
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
    for (int i = 0; i < kMonitorLines; ++i)
        widgets.monitorLines[i] = makeLine(window, instance, kLineHeight * i, monitorFont);
    for (int i = 0; i < kStatusLines; ++i)
        widgets.statusLines[i] = makeLine(window, instance, kLineHeight * (kMonitorLines + i), statusFont);
}

void panelScrollAndPlace(const char* text) {
    // Every caller runs on the main thread, so one scroll always finishes before
    // the next begins.
    char moving[kRingSlotSize];
    for (int i = 1; i < kMonitorLines; ++i) {
        moving[0] = '\0';
        SendMessageA(widgets.monitorLines[i], WM_GETTEXT, sizeof moving,
                     reinterpret_cast<LPARAM>(moving));
        SendMessageA(widgets.monitorLines[i - 1], WM_SETTEXT, 0,
                     reinterpret_cast<LPARAM>(moving));
    }
    SendMessageA(widgets.monitorLines[kMonitorLines - 1], WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>(text));
}

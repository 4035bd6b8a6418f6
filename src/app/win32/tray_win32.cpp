// The notification-area icon: neutral at start, green bell with the serial port
// open, red bell when it failed; a right-button press opens the one-item tray
// menu. Main thread only.
#include <windows.h>
#include <shellapi.h>

#include "core/app_state.h"
#include "core/frontend.h"
#include "app/win32/window_win32.h"

namespace {

constexpr UINT kTrayIconId = 1006;

// Filled by the add and reused by every later call. It lives here rather than in
// AppState because its type is the shell's.
NOTIFYICONDATAA trayData;

const char* iconOfState(int state) {
    switch (state) {
    case 1: return "ICON_2";
    case 2: return "ICON_3";
    default: return "ICON_1";
    }
}

}  // namespace

int setTrayIcon(int operation, int state) {
    HINSTANCE instance = static_cast<HINSTANCE>(app.appInstance);
    if (operation == NIM_ADD) {
        ZeroMemory(&trayData, sizeof trayData);
        // The original record (88 bytes in a 32-bit process): the fields up to the
        // 64-byte tip, whatever the pointer size.
        trayData.cbSize = NOTIFYICONDATAA_V1_SIZE;
        trayData.hWnd = static_cast<HWND>(app.mainWindow);
        trayData.uID = kTrayIconId;
        trayData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        trayData.uCallbackMessage = kMsgTray;
        trayData.hIcon = LoadIconA(instance, "ICON_1");
        copyText(trayData.szTip, 64, kMainWindowTitle);
        return Shell_NotifyIconA(NIM_ADD, &trayData) ? 1 : 0;
    }
    if (operation == NIM_MODIFY) {
        if (state == widgets.trayState) return 1;
        widgets.trayState = state;
        trayData.hIcon = LoadIconA(instance, iconOfState(state));
        return Shell_NotifyIconA(NIM_MODIFY, &trayData) ? 1 : 0;
    }
    return Shell_NotifyIconA(static_cast<DWORD>(operation), &trayData) ? 1 : 0;
}

int showTrayMenu(HWND window, HINSTANCE instance) {
    HMENU menu = LoadMenuA(instance, "MENU_Tray");
    if (!menu) return 0;
    HMENU popup = GetSubMenu(menu, 0);
    if (!popup) {
        DestroyMenu(menu);
        return 0;
    }
    SetForegroundWindow(window);
    POINT cursor{};
    GetCursorPos(&cursor);
    // The chosen item comes back as WM_COMMAND 101 to window.
    int result = TrackPopupMenu(popup, 0, cursor.x, cursor.y, 0, window, nullptr);
    DestroyMenu(menu);
    return result;
}

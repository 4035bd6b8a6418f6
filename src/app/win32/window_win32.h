// What the Win32 pieces of the main window share: the window procedure, the
// monitor panel's widgets and the tray menu. brevalink.exe only; main thread unless
// a comment says otherwise.
#pragma once

#include <windows.h>

#include "core/app_state.h"

#include "app/win32/panel_win32.h"

// Our own private message: another thread has handed the main thread a line to
// scroll in and waits in SendMessage (wParam and lParam 0).
inline constexpr UINT kMsgScrollPlace = 1040;
// Timer 1 of the main window: the station's 100 ms tick.
inline constexpr UINT_PTR kTickTimer = 1;

// The window's widgets and what this front end keeps of them. Main thread.
struct Win32Widgets {
    HWND monitorLines[kMonitorLines] = {};
    HWND statusLines[kStatusLines] = {};
    HFONT monitorFont = nullptr;
    HFONT statusFont = nullptr;
    int trayState = 0;  // the icon shown: 0 starting, 1 port open, 2 port failed or lost
    // The newest instance of each dialog with a TAB cycle, and its focus stop (-1
    // while it is not open).
    HWND serverDialog = nullptr;
    int serverTabPosition = -1;
    HWND coordDialog = nullptr;
    int coordTabPosition = -1;
    HWND tcpSourceDialog = nullptr;
    int tcpSourceTabPosition = -1;
    // The window of what the station hears while it is open.
    HWND hearsWindow = nullptr;
    // The receiver search's window while it is open.
    HWND findWindow = nullptr;
};
extern Win32Widgets widgets;

// The creation title of the main window, also the tray icon's tip.
extern const char kMainWindowTitle[];
inline constexpr char kMainWindowClass[] = "brevalinkWnd";

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// kMsgScrollPlace: scrolls in the line another thread handed over. Main thread.
void scrollInHandedOverLine();

// Tray icon operations: NIM_ADD, NIM_MODIFY (state 0 starting, 1 port open, 2 port
// failed or lost), NIM_DELETE. 1 on success.
int setTrayIcon(int operation, int state);

// The tray's one-item pop-up at the cursor; the tracking result, or 0 when the
// menu resource is missing. Blocks while the menu is open.
int showTrayMenu(HWND window, HINSTANCE instance);

// kCmdStationHears: opens the window of what the station hears, or brings the open
// one to the front. It is owned by the main window, so it goes with it.
void openStationHears();
// From the 100 ms tick: refreshes that window once a second while it is open.
void stationHearsTick();

// kCmdFindReceiver: opens the receiver search's window (or brings the open one
// to the front) and starts the search over the system's ports; its OK writes
// init.ini and BinarComOn.ini for the receiver found and opens it, Cancel (or
// its close box) ends the search and changes nothing.
void openFindReceiver();
// A first start (no init.ini, comAwaitsSearch set): the same window and search,
// the port opened once it ends: the receiver found on OK, the settings' port on
// Cancel. Without any serial port, that port is opened at once. Main thread,
// after stationStart.
void findReceiverAtFirstStart();
// From the 100 ms tick: the search's progress and table while the window is open.
void findReceiverTick();

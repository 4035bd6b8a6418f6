// The main window procedure: the one place where the main thread's events arrive.
// Each message is unpacked here and handed to the one function that owns it; the
// procedure keeps no state of its own. Main thread only.
#include <windows.h>

#include "core/app_state.h"
#include "app/win32/window_win32.h"
#include "station/commands.h"
#include "station/station.h"

namespace {

LRESULT onTrayNotify(HWND window, LPARAM mouseMessage) {
    // Only the right-button press opens the menu; the icon never hides or restores
    // the window.
    if (mouseMessage != WM_RBUTTONDOWN) return 0;
    return showTrayMenu(window, static_cast<HINSTANCE>(app.appInstance));
}

}  // namespace

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_KEYDOWN:
        return 0;
    case WM_CHAR:
        handleKey(static_cast<int>(wParam));
        return 0;
    case WM_COMMAND:
        // A window of this front end alone: the portable dispatcher has no part in it.
        if (LOWORD(wParam) == kCmdStationHears) {
            openStationHears();
            return 1;
        }
        if (LOWORD(wParam) == kCmdFindReceiver) {
            openFindReceiver();
            return 1;
        }
        return handleCommand(LOWORD(wParam));
    case WM_TIMER:
        if (wParam == kTickTimer) {
            stationTick();
            stationHearsTick();
            findReceiverTick();
        }
        return 0;
    case kMsgRelayListen:
    case kMsgRelayOtherListen:
    case kMsgRelayClient:
    case kMsgFeedLink:
    case kMsgStatusRefresh:
        stationEvent(window, message, static_cast<Socket>(wParam), static_cast<long>(lParam));
        return 0;
    case kMsgScrollPlace:
        scrollInHandedOverLine();
        return 0;
    case kMsgTray:
        return onTrayNotify(window, lParam);
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

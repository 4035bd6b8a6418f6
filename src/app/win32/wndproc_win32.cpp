// The main window procedure: the one place where the main thread's events arrive.
// Each message is unpacked here and handed to the one function that owns it; the
// procedure keeps no state of its own. Main thread only.
#include <windows.h>

#include "core/app_state.h"
#include "core/commands.h"
#include "app/win32/window_win32.h"
#include "display/display.h"
#include "net/feed_link.h"
#include "net/relay_server.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;

void onTimer(UINT_PTR id) {
    if (id != kTickTimer) return;
    tickDuties();
    ++app.exchangeTick;
}

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
        return handleCommand(LOWORD(wParam));
    case WM_TIMER:
        onTimer(wParam);
        return 0;
    case kMsgRelayListen:
        onAcceptEvent(window, static_cast<long>(lParam));
        return 0;
    case kMsgRelayClient:
        onClientEvent(window, static_cast<Socket>(wParam), static_cast<long>(lParam));
        return 0;
    case kMsgFeedLink:
        onFeedLinkEvent(window, static_cast<Socket>(wParam), static_cast<long>(lParam));
        return 0;
    case kMsgStatusRefresh:
        refreshStatusLines();
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

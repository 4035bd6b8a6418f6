// The Win32 front end: what the station tells the window, shown on its tray,
// menus, statics and boxes. Updates of the panel from other threads are carried
// out by the main thread while the caller waits (SendMessage), so the widgets,
// connect.list and the status texts are only ever touched by the main thread.
// Once the window is destroyed (shutdown) those sends fail at once, so a thread
// the shutdown waits for can never block on it.
#include <windows.h>
#include <shellapi.h>

#include "core/app_state.h"
#include "core/frontend.h"
#include "app/win32/window_win32.h"
#include "display/display.h"
#include "station/station.h"

Win32Widgets widgets;

namespace {

HWND mainHwnd() { return static_cast<HWND>(app.mainWindow); }

// A line on its way from another thread to the main thread. The sender holds the
// lock until the main thread has placed the line, so senders take turns; the main
// thread never takes it. The message carries no pointer, so a stray message of
// this number from elsewhere can only show the last line again.
SRWLOCK handOverLock = SRWLOCK_INIT;
char handOverLine[kRingSlotSize];

}  // namespace

void uiScrollAndPlace(const char* text) {
    if (onMainThread()) {
        panelScrollAndPlace(text);
        return;
    }
    AcquireSRWLockExclusive(&handOverLock);
    copyText(handOverLine, sizeof handOverLine, text);
    SendMessageA(mainHwnd(), kMsgScrollPlace, 0, 0);
    ReleaseSRWLockExclusive(&handOverLock);
}

void scrollInHandedOverLine() { panelScrollAndPlace(handOverLine); }

// The window shows only the newest line per tick, from the display ring.
void uiRecordLine(const char*, int) {}

void uiSetStatusLine(int index, const char* text) {
    if (index < 0 || index >= kStatusLines) return;
    SetWindowTextA(widgets.statusLines[index], text);
}

void uiRefreshStatus() {
    if (onMainThread()) {
        refreshStatusLines();
        return;
    }
    SendMessageA(mainHwnd(), kMsgStatusRefresh, 0, 0);
}

int uiMessageBox(int ownedByMain, const char* text, const char* caption, int buttons) {
    int answer = MessageBoxA(ownedByMain ? mainHwnd() : nullptr, text, caption,
                             buttons == kBoxYesNo ? MB_YESNO : MB_OK);
    return answer == IDOK || answer == IDYES;
}

// The monitor is where the window's user looks; the line scrolls in at once.
void uiNotice(const char* text) { displayLine(text, kDisplayShowNow); }

namespace {

void checkMenuItem(int commandId, int checked) {
    CheckMenuItem(GetMenu(mainHwnd()), static_cast<UINT>(commandId),
                  MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void setMenuItemText(int commandId, const char* text) {
    // Only the text: the item keeps its check mark.
    MENUITEMINFOA item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_STRING;
    item.dwTypeData = const_cast<char*>(text);
    SetMenuItemInfoA(GetMenu(mainHwnd()), static_cast<UINT>(commandId), FALSE, &item);
}

}  // namespace

// The tray shows the port: the green bell while it is open, the red one otherwise.
void uiSourceChanged(SourceState state) { setTrayIcon(NIM_MODIFY, state == SourceState::kOpened ? 1 : 2); }

// The TCP source's state shows on the tray as the port's does; the feed link and
// the TCP source are on status lines 1 and 2, the push targets in their dialog.
void uiLinkChanged(LinkKind kind, const char*, LinkState state, const char*) {
    if (kind != LinkKind::kTcpSource || state == LinkState::kRemoved || state == LinkState::kListening ||
        state == LinkState::kRefused)
        return;
    // From the main thread only (the TCP source's news is the tick's).
    if (onMainThread()) setTrayIcon(NIM_MODIFY, state == LinkState::kConnected ? 1 : 2);
}

// Status line 2 shows the worst warning; the window has nothing more to say.
void uiCheckChanged(int, int, const char*) {}

// The server status line shows the relay's port and clients.
void uiRelayChanged(RelayEvent, const char*, int) {}

// The title, then the menu item's text, then its mark. From the playback thread the
// title is set by the main thread while the caller waits.
void uiExchangeChanged(ExchangeEvent event, const char*) {
    ExchangeView view = exchangeView(event);
    char title[400];
    formatTitle(view.titleState, title, sizeof title);
    SetWindowTextA(mainHwnd(), title);
    setMenuItemText(view.commandId, view.menuText);
    checkMenuItem(view.commandId, view.checked);
}

void uiModeChanged(int commandId, int on) { checkMenuItem(commandId, on); }

void uiStationStopping() {
    KillTimer(mainHwnd(), kTickTimer);
    setTrayIcon(NIM_DELETE, 0);
}

void uiCloseMainWindow() { DestroyWindow(mainHwnd()); }

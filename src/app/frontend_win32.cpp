// Win32 front end. (Placeholders until the main window exists.)
#include <windows.h>

#include "app/app_state.h"
#include "app/frontend.h"

void uiScrollAndPlace(const char*) {}
void uiSetStatusLine(int, const char*) {}
void uiSetTitle(const char*) {}
void uiRefreshStatus() {}
int uiMessageBox(int, const char* text, const char* caption, int buttons) {
    return MessageBoxA(nullptr, text, caption, buttons == kBoxYesNo ? MB_YESNO : MB_OK) == IDYES ||
           buttons == kBoxOk;
}
void uiCheckMenuItem(int, int) {}
void uiSetMenuItemText(int, const char*) {}
int setTrayIcon(int, int) { return 1; }
void uiCloseMainWindow() {}

// Process entry of brevalink.exe: start-up, the message loop and shutdown, in that
// fixed order, all on the main thread.
#include <windows.h>
#include <shellapi.h>

#include "core/app_state.h"
#include "core/frontend.h"
#include "app/win32/window_win32.h"
#include "station/dialogs.h"
#include "station/find.h"
#include "station/startup.h"
#include "station/station.h"

const char kMainWindowTitle[] = "Связывающая программа (ORMELA)";

namespace {

constexpr DWORD kMainWindowStyle = 0x10CA0080;  // visible, caption, system menu, minimise box
constexpr int kMainWindowWidth = 585;
// 16 pixels taller than the window always was, so that status line 2 (the TCP
// source's state) is seen whole below the other two.
constexpr int kMainWindowHeight = 388;
constexpr UINT kTickMs = 100;

int registerMainClass(HINSTANCE instance) {
    WNDCLASSA wc{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = mainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, "ICON_1");
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = "MENU_1";
    wc.lpszClassName = kMainWindowClass;
    return RegisterClassA(&wc) != 0;
}

// The settings dialogs are modeless and get no dialog-manager keyboard handling;
// only TAB is given to the two dialogs that cycle their fields with it.
int runMessageLoop() {
    MSG msg{};
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_CHAR && msg.wParam == 9 && offerTabToDialogs(msg.hwnd)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    markMainThread();
    app.appInstance = instance;

    int refusal = stationLoad();
    if (refusal != kStartGoOn) return refusal;
    // A first start looks for the receiver before any port is opened.
    app.comAwaitsSearch = !app.tcp.chosen.load() && !findInitFileExists();

    if (!registerMainClass(instance)) return 0;
    HWND window = CreateWindowExA(0, kMainWindowClass, kMainWindowTitle, kMainWindowStyle, CW_USEDEFAULT,
                                  CW_USEDEFAULT, kMainWindowWidth, kMainWindowHeight, nullptr, nullptr,
                                  instance, nullptr);
    if (!window) {
        // Nothing has started yet that would need taking down.
        libraryFree(app.zlibModule);
        return 0;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    app.mainWindow = window;

    createMonitorPanel(window);
    SetTimer(window, kTickTimer, kTickMs, nullptr);
    setTrayIcon(NIM_ADD, 0);
    stationStart(window);
    if (app.comAwaitsSearch) findReceiverAtFirstStart();

    int exitCode = runMessageLoop();
    // After the window is gone: every wait in the shutdown is for a thread that
    // may try to update the window, and with the window destroyed those updates
    // fail at once.
    stationStop(window);
    return exitCode;
}

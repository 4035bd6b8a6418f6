// The receiver search's window: a line of progress, one row per port as the
// search finds it out, and OK / Cancel. Modeless and owned by the main window;
// the search runs on the finder's own threads and the 100 ms tick shows it.
// Nothing is written or opened before OK. A first start's search holds the port
// closed until its end: OK opens the receiver found, Cancel the port of the
// settings as a start without a search would. Main thread only.
#include <windows.h>

#include <cstdio>

#include "app/win32/window_win32.h"
#include "core/app_state.h"
#include "input/serial_source.h"
#include "input/source.h"
#include "station/commands.h"
#include "station/find.h"

namespace {

constexpr char kFindClass[] = "brevalinkFind";
constexpr char kFindTitle[] = "Поиск приемника";
constexpr int kProgressId = 100;
constexpr int kListId = 101;

HWND progress = nullptr;
HWND list = nullptr;
HWND okButton = nullptr;
DetectRun run;  // large: never on a stack
int running = 0;
int firstStart = 0;  // this window is a first start's: the port waits for it

// Ends the search (each port's thread within one read turn) and forgets it.
void endSearch() {
    if (!running) return;
    run.cancel.store(1);
    detectWait(run);
    running = 0;
}

void refresh() {
    int done = detectDone(run);
    char line[3 * kPortTextSize];
    int chosen = done == run.count ? detectChosen(run) : -1;
    if (done < run.count)
        std::snprintf(line, sizeof line, "Идет поиск: проверено портов %d из %d", done, run.count);
    else if (chosen >= 0)
        std::snprintf(line, sizeof line, "Приемник найден на %s. OK - использовать его", run.ports[chosen].info.name);
    else if (firstStart)
        std::snprintf(line, sizeof line, "Приемник не найден (портов %d). Отмена - открыть %s", run.count,
                      app.comPortName);
    else
        std::snprintf(line, sizeof line, "Приемник не найден (портов %d)", run.count);
    SetWindowTextA(progress, line);
    int selected = static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    for (int i = 0; i < run.count; ++i) {
        char shown[2 * kPortTextSize + 8];
        findShownName(run.ports[i], shown, sizeof shown);
        detectResultText(run.ports[i], shown, line, sizeof line);
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    }
    if (selected >= 0) SendMessageA(list, LB_SETCURSEL, selected, 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    EnableWindow(okButton, chosen >= 0);
    if (done == run.count && running) {
        detectWait(run);
        running = 0;
    }
}

// A first start's port, once its search has ended either way: opened as start-up
// opens it (the receiver's start commands in text mode, the box when it fails).
// Called after the window is gone, so that the box has no window under it.
void openAwaitedPort() {
    if (!app.comAwaitsSearch) return;
    app.comAwaitsSearch = 0;
    if (!app.tcp.chosen.load()) startSerialSource();
}

// OK: the files for the receiver found, its form, and the port opened with them.
void useChosen(HWND window) {
    int chosen = detectChosen(run);
    if (chosen < 0) return;
    const DetectPort& p = run.ports[chosen];
    findApply(p);
    setModeFlag(kCmdBinaryMode, p.result.binary ? 1 : 0);
    DestroyWindow(window);
    if (app.comAwaitsSearch)
        openAwaitedPort();
    else
        applySerialSource(app.comPortName, app.comBaudText);
}

void cancelSearch(HWND window) {
    DestroyWindow(window);
    openAwaitedPort();
}

LRESULT CALLBACK findProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        HINSTANCE instance = reinterpret_cast<CREATESTRUCTA*>(lParam)->hInstance;
        HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        progress = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 8, 8, 584, 18, window,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProgressId)), instance, nullptr);
        list = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL |
                               LBS_NOINTEGRALHEIGHT, 8, 30, 584, 200, window,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), instance, nullptr);
        SendMessageA(list, LB_SETHORIZONTALEXTENT, 1200, 0);
        okButton = CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_DEFPUSHBUTTON, 412,
                                   238, 86, 24, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDOK)),
                                   instance, nullptr);
        HWND cancel = CreateWindowExA(0, "BUTTON", "Отмена", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 506, 238, 86, 24,
                                      window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDCANCEL)), instance,
                                      nullptr);
        HWND controls[] = {progress, list, okButton, cancel};
        for (HWND w : controls) SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(font), 0);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            useChosen(window);
            return 0;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            cancelSearch(window);
            return 0;
        }
        return 0;
    case WM_CLOSE:
        cancelSearch(window);
        return 0;
    case WM_DESTROY:
        // Also when the main window goes first (the program ends): the port that
        // waited is then never opened.
        endSearch();
        widgets.findWindow = nullptr;
        firstStart = 0;
        progress = list = okButton = nullptr;
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// The window made and its search started: 1, or 0 when it could not be made.
int openSearchWindow() {
    HINSTANCE instance = static_cast<HINSTANCE>(app.appInstance);
    static int registered = 0;
    if (!registered) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = findProc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconA(instance, "ICON_1");
        wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kFindClass;
        if (!RegisterClassA(&wc)) return 0;
        registered = 1;
    }
    RECT size{0, 0, 600, 270};
    AdjustWindowRect(&size, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, FALSE);
    HWND window = CreateWindowExA(0, kFindClass, kFindTitle, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                  CW_USEDEFAULT, size.right - size.left, size.bottom - size.top,
                                  static_cast<HWND>(app.mainWindow), nullptr, instance, nullptr);
    if (!window) return 0;
    widgets.findWindow = window;
    detectStart(run);
    running = 1;
    refresh();
    ShowWindow(window, SW_SHOWNORMAL);
    return 1;
}

}  // namespace

void openFindReceiver() {
    if (widgets.findWindow) {
        ShowWindow(widgets.findWindow, SW_RESTORE);
        SetForegroundWindow(widgets.findWindow);
        return;
    }
    findListPorts(run);
    openSearchWindow();
}

void findReceiverAtFirstStart() {
    // A system without a serial port has nothing to search: the start goes on
    // as it did before there was a search.
    if (findListPorts(run) > 0) {
        firstStart = 1;
        if (openSearchWindow()) return;
        firstStart = 0;
    }
    openAwaitedPort();
}

void findReceiverTick() {
    if (widgets.findWindow && (running || detectDone(run) < run.count)) refresh();
}

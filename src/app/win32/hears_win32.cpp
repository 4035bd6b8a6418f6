// The window of what the station hears: the look's summary in four lines and its
// aircraft in a list, refreshed once a second from the main window's tick while it
// is open. Modeless and owned by the main window, so it never blocks it and is
// destroyed with it at the exit. Main thread only.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "app/win32/window_win32.h"
#include "platform/platform.h"
#include "station/look.h"

namespace {

constexpr char kHearsClass[] = "brevalinkHears";
constexpr char kHearsTitle[] = "Что слышит станция";
constexpr int kSummaryLines = 4;
constexpr int kSummaryHeight = 18;
constexpr int kListId = 100;
constexpr std::int64_t kRefreshMs = 1000;

HWND summary[kSummaryLines] = {};
HWND list = nullptr;
HFONT listFont = nullptr;
std::int64_t lastRefreshMs = 0;
// Large for the stack of a window procedure, and only the main thread uses it.
LookFigures figures;

// Thousands apart by a space, as the labels read: "9 412".
void grouped(std::uint64_t value, char* out, int capacity) {
    char digits[24];
    int n = std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    int o = 0;
    for (int i = 0; i < n && o < capacity - 2; ++i) {
        if (i > 0 && (n - i) % 3 == 0) out[o++] = ' ';
        out[o++] = digits[i];
    }
    out[o] = '\0';
}

void kilometres(int metres, char* out, int capacity) {
    if (metres < 0)
        std::snprintf(out, static_cast<size_t>(capacity), "—");
    else
        std::snprintf(out, static_cast<size_t>(capacity), "%d км", (metres + 500) / 1000);
}

void aircraftLine(const LookAircraft& a, char* out, int capacity) {
    char altitude[16] = "";
    char distance[16] = "";
    char bearing[16] = "";
    char level[8] = "";
    if (a.hasAltitude) std::snprintf(altitude, sizeof altitude, "%d", a.altitudeFt);
    if (a.hasDistance) {
        std::snprintf(distance, sizeof distance, "%.1f", a.distanceM / 1000.0);
        std::snprintf(bearing, sizeof bearing, "%.0f", a.bearingDeg);
    }
    if (a.level >= 0) std::snprintf(level, sizeof level, "%d", a.level);
    std::snprintf(out, static_cast<size_t>(capacity), "%06X  %-8s %7s %7s %5s %7u %5s %5.0f",
                  static_cast<unsigned>(a.icao & 0xFFFFFF), a.callsign, altitude, distance, bearing,
                  static_cast<unsigned>(a.messages), level, a.ageS);
}

// The selection follows its aircraft, not its row, since the list is ordered by
// the last frame; the top row stays where the user scrolled it.
void refresh() {
    lookFigures(monotonicMs(), &figures);
    char line[160];
    char a[24], b[24];
    std::snprintf(line, sizeof line, "Самолетов сейчас: %d (с координатами %d)", figures.aircraftNow,
                  figures.withPosition);
    SetWindowTextA(summary[0], line);
    kilometres(figures.farthestNowM, a, sizeof a);
    kilometres(figures.farthestDayM, b, sizeof b);
    std::snprintf(line, sizeof line, "Дальше всех сейчас: %s, за сутки: %s", a, b);
    SetWindowTextA(summary[1], line);
    std::uint64_t good = 0, bad = 0;
    for (int df = 0; df < kDownlinkFormats; ++df) {
        good += figures.byDf[df][0];
        bad += figures.byDf[df][1];
    }
    grouped(good, a, sizeof a);
    grouped(bad, b, sizeof b);
    std::snprintf(line, sizeof line, "Кадров: верных %s, с ошибкой %s", a, b);
    SetWindowTextA(summary[2], line);

    int top = static_cast<int>(SendMessageA(list, LB_GETTOPINDEX, 0, 0));
    int selected = static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
    LRESULT selectedIcao = selected >= 0 ? SendMessageA(list, LB_GETITEMDATA, selected, 0) : -1;
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    int reselect = -1;
    for (int i = 0; i < figures.listed; ++i) {
        aircraftLine(figures.aircraft[i], line, sizeof line);
        LRESULT row = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
        SendMessageA(list, LB_SETITEMDATA, row, static_cast<LPARAM>(figures.aircraft[i].icao));
        if (static_cast<LRESULT>(figures.aircraft[i].icao) == selectedIcao) reselect = static_cast<int>(row);
    }
    if (reselect >= 0) SendMessageA(list, LB_SETCURSEL, reselect, 0);
    if (top > 0) SendMessageA(list, LB_SETTOPINDEX, top, 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
    lastRefreshMs = monotonicMs();
}

void layout(HWND window) {
    RECT client{};
    GetClientRect(window, &client);
    int y = 4;
    for (int i = 0; i < kSummaryLines; ++i, y += kSummaryHeight)
        MoveWindow(summary[i], 6, y, client.right - 12, kSummaryHeight, TRUE);
    MoveWindow(list, 6, y + 2, client.right - 12, client.bottom - y - 8, TRUE);
}

LRESULT CALLBACK hearsProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        HINSTANCE instance = reinterpret_cast<CREATESTRUCTA*>(lParam)->hInstance;
        HFONT labelFont = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        for (HWND& line : summary) {
            line = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, window, nullptr,
                                   instance, nullptr);
            SendMessageA(line, WM_SETFONT, reinterpret_cast<WPARAM>(labelFont), 0);
        }
        // The fourth line heads the list's columns, in the list's font.
        listFont = CreateFontA(14, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0,
                               FIXED_PITCH | FF_MODERN, "Courier New");
        SendMessageA(summary[3], WM_SETFONT, reinterpret_cast<WPARAM>(listFont), 0);
        char heading[96];
        // The same widths as aircraftLine, so the heading stands over its columns.
        std::snprintf(heading, sizeof heading, "%-6s  %-8s %7s %7s %5s %7s %5s %5s", "Адрес", "Позывной", "Выс.фт",
                      "Дал.км", "Азим°", "Сообщ.", "Уров.", "Сек.");
        SetWindowTextA(summary[3], heading);
        list = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", "",
                               WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0, 0, 0,
                               0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kListId)), instance,
                               nullptr);
        SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(listFont), 0);
        return 0;
    }
    case WM_SIZE:
        layout(window);
        return 0;
    case WM_DESTROY:
        widgets.hearsWindow = nullptr;
        list = nullptr;
        DeleteObject(listFont);
        listFont = nullptr;
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

void openStationHears() {
    if (widgets.hearsWindow) {
        ShowWindow(widgets.hearsWindow, SW_RESTORE);
        SetForegroundWindow(widgets.hearsWindow);
        return;
    }
    HINSTANCE instance = static_cast<HINSTANCE>(app.appInstance);
    static int registered = 0;
    if (!registered) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = hearsProc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconA(instance, "ICON_1");
        wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kHearsClass;
        if (!RegisterClassA(&wc)) return;
        registered = 1;
    }
    HWND window = CreateWindowExA(0, kHearsClass, kHearsTitle,
                                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 600, 420, static_cast<HWND>(app.mainWindow),
                                  nullptr, instance, nullptr);
    if (!window) return;
    widgets.hearsWindow = window;
    refresh();
    ShowWindow(window, SW_SHOWNORMAL);
}

void stationHearsTick() {
    if (!widgets.hearsWindow) return;
    if (monotonicMs() - lastRefreshMs >= kRefreshMs) refresh();
}

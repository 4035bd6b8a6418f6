// The full-screen monitor on a terminal, laid out like the window: a title row,
// the 18 monitor lines, the 3 status lines, then the last message and the keys.
// Drawn with ncurses from the picture the core keeps up to date; only the main
// thread calls in here. Keys 0-5 do what they do in the window, q is Exit, and a
// puts the aircraft the Mode S look hears in place of the monitor lines (the
// window has no room for them; a terminal user has no status page at hand).
#include <curses.h>
#include <langinfo.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/linux/shell_linux.h"
#include "core/app_state.h"
#include "station/commands.h"
#include "core/version.h"
#include "input/tcp_source.h"
#include "net/push.h"
#include "platform/platform.h"
#include "station/look.h"

namespace {

constexpr int kRows = 1 + kMonitorLines + kStatusLines + 2;

int started = 0;
int utf8 = 0;
unsigned drawn = ~0u;
int lastBoxes = 0;
int showAircraft = 0;
std::int64_t tableDrawnMs = 0;

void putRow(int y, const char* text, int highlight);

// Distances in whole km; "—" where nothing was placed.
void kmText(int metres, char* out, std::size_t capacity) {
    if (metres < 0) std::snprintf(out, capacity, "—");
    else std::snprintf(out, capacity, "%d км", (metres + 500) / 1000);
}

// The aircraft table in the monitor's rows from y on: the summary, the column
// names, then the most recently heard aircraft, as many as fit.
void drawAircraft(int y, int rows) {
    if (rows <= 0) return;
    static LookFigures m;  // some 6 kB, kept off the stack
    tableDrawnMs = monotonicMs();
    lookFigures(tableDrawnMs, &m);
    char now[32], day[32], line[256];
    kmText(m.farthestNowM, now, sizeof now);
    kmText(m.farthestDayM, day, sizeof day);
    std::snprintf(line, sizeof line, "Самолетов сейчас: %d, с координатами %d, дальше всех %s (за сутки %s)",
                  m.aircraftNow, m.withPosition, now, day);
    putRow(y++, line, 0);
    if (--rows == 0) return;
    putRow(y++, "Адрес   Рейс      Высота,фт  Дальн.,км  Азимут  Кадров  Уровень  Сек.", 0);
    --rows;
    for (int i = 0; i < m.listed && i < rows; ++i) {
        const LookAircraft& a = m.aircraft[i];
        char alt[16] = "", dist[16] = "", bearing[16] = "", level[16] = "—";
        if (a.hasAltitude) std::snprintf(alt, sizeof alt, "%d", a.altitudeFt);
        if (a.hasDistance) {
            std::snprintf(dist, sizeof dist, "%.0f", a.distanceM / 1000);
            std::snprintf(bearing, sizeof bearing, "%.0f°", a.bearingDeg);
        }
        if (a.level >= 0) std::snprintf(level, sizeof level, "%d", a.level);
        // The degree sign and the dash are one column wide but one byte here (the
        // texts are Windows-1251), so printf's widths line them up.
        std::snprintf(line, sizeof line, "%06X  %-8s  %9s  %9s  %6s  %6u  %7s  %4.0f",
                      static_cast<unsigned>(a.icao), a.callsign, alt, dist, bearing, a.messages, level, a.ageS);
        putRow(y++, line, 0);
    }
}

// Puts a Windows-1251 text on row y, cut to the screen's width, in the
// terminal's encoding (UTF-8, or plain ASCII with "?" for the rest).
void putRow(int y, const char* text, int highlight) {
    if (y < 0 || y >= LINES) return;
    static char out[8192];
    std::size_t n = cp1251ToUtf8(text, std::strlen(text), out, sizeof out, 1);
    // Cut to COLS characters (every character we show takes one column).
    int columns = 0;
    std::size_t i = 0;
    for (; i < n; ++i) {
        auto b = static_cast<unsigned char>(out[i]);
        if ((b & 0xC0) == 0x80) continue;
        if (columns == COLS) break;
        ++columns;
    }
    out[i] = '\0';
    if (!utf8) {
        std::size_t k = 0;
        for (std::size_t j = 0; j < i; ++j) {
            auto b = static_cast<unsigned char>(out[j]);
            if (b < 0x80) out[k++] = out[j];
            else if ((b & 0xC0) != 0x80) out[k++] = '?';
        }
        out[k] = '\0';
    }
    if (highlight) attron(A_REVERSE);
    move(y, 0);
    clrtoeol();
    addstr(out);
    if (highlight) {
        for (int c = columns; c < COLS; ++c) addch(' ');
        attroff(A_REVERSE);
    }
}

const char* portText(int state) {
    switch (state) {
        case 1: return "открыт";
        case 2: return app.comBusy.load() ? "занят, повтор через 2 с" : "нет связи, повтор через 2 с";
        default: return "запуск";
    }
}

void draw() {
    erase();
    // Rows the screen has no room for are taken from the top of the monitor.
    static PushFigures push[kPushTargets];
    int pushes = pushFigures(push, kPushTargets);
    int monitorRows = LINES - (kRows - kMonitorLines) - (pushes ? 1 : 0);
    if (monitorRows > kMonitorLines) monitorRows = kMonitorLines;
    if (monitorRows < 0) monitorRows = 0;

    char title[400], header[1536], source[2 * kNameSize + 64];
    shellTitle(title, sizeof title);
    if (app.tcp.chosen.load()) {
        char where[kNameSize + 16];
        tcpSourceName(where, sizeof where);
        // The wait before the next attempt is on status line 2.
        int listen = app.tcp.chosen.load() == kTcpChoiceListen;
        std::snprintf(source, sizeof source, "ТСР %s: %s", where,
                      shellPortState() == 1   ? "соединение"
                      : listen                ? "ждем подключения"
                      : shellPortState() == 2 ? "нет связи"
                                              : "запуск");
    } else {
        std::snprintf(source, sizeof source, "порт %s %s: %s", app.comPortName, app.comBaudText,
                      portText(shellPortState()));
    }
    std::snprintf(header, sizeof header, "brevalink %s%s%s | %s | %s%s%s", kBrevalinkVersion,
                  title[0] ? "  " : "", title, source,
                  shellMarked(kCmdBinaryMode) ? "бинарный" : "текстовый",
                  shellMarked(kCmdCompressFeed) ? ", сжатие" : "",
                  shellMarked(kCmdRelativeTime) ? ", отн. время" : "");
    putRow(0, header, 1);

    char line[kRingSlotSize];
    int y = 1;
    if (showAircraft) {
        drawAircraft(y, monitorRows);
        y += monitorRows;
    } else {
        for (int i = kMonitorLines - monitorRows; i < kMonitorLines; ++i, ++y) {
            shellMonitorLine(i, line, sizeof line);
            putRow(y, line, 0);
        }
    }
    char status[2048];
    for (int i = 0; i < kStatusLines; ++i, ++y) {
        shellStatusLine(i, status, sizeof status);
        putRow(y, status, 0);
    }
    if (pushes) {
        // The push targets' row: each target and its state.
        char row[2048];
        int used = std::snprintf(row, sizeof row, "Передача:");
        for (int i = 0; i < pushes && used < static_cast<int>(sizeof row) - 1; ++i) {
            char state[64];
            if (push[i].state == kPushUp)
                std::snprintf(state, sizeof state, "связь есть, %llu КБ", static_cast<unsigned long long>(push[i].bytesSent / 1024));
            else if (push[i].state == kPushWaiting)
                std::snprintf(state, sizeof state, "нет связи, повтор через %d с", push[i].retrySeconds);
            else
                std::snprintf(state, sizeof state, "идет установление связи");
            int n = std::snprintf(row + used, sizeof row - static_cast<std::size_t>(used), "%s %s %s", i ? " ·" : "",
                                  push[i].target, state);
            used += n > 0 ? n : 0;
        }
        putRow(y++, row, 0);
    }
    char text[4096], caption[256], message[4400];
    if (shellLastMessage(text, sizeof text, caption, sizeof caption) > 0) {
        std::snprintf(message, sizeof message, "%s%s%s", caption, caption[0] ? ": " : "", text);
        putRow(y, message, 0);
    }
    ++y;
    putRow(y, "0-3 режим приёмника   4 строки вкл/выкл   5 относительное время   a самолеты   q выход", 1);
    refresh();
}

}  // namespace

int terminalStart() {
    std::setlocale(LC_ALL, "");
    utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    if (!initscr()) return 0;
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    keypad(stdscr, TRUE);
    curs_set(0);
    started = 1;
    drawn = ~0u;
    return 1;
}

void terminalStop() {
    if (!started) return;
    endwin();
    started = 0;
}

void terminalTurn() {
    if (!started) return;
    bool force = false;
    for (int ch; (ch = getch()) != ERR;) {
        if (ch == KEY_RESIZE) {
            force = true;
        } else if (ch == 'q' || ch == 'Q') {
            handleCommand(kCmdExit);
        } else if (ch == 'a' || ch == 'A') {
            showAircraft = !showAircraft;
            force = true;
        } else if (ch >= '0' && ch <= '5') {
            handleKey(ch);
            force = true;
        }
    }
    unsigned now = shellChanges();
    int boxes = shellLastMessage(nullptr, 0, nullptr, 0);
    // The table ages by itself: its seconds and the expiry change nothing the core draws.
    if (showAircraft && monotonicMs() - tableDrawnMs >= 1000) force = true;
    // The push targets' row counts bytes and seconds by itself.
    static std::int64_t pushDrawnMs = 0;
    PushFigures one[1];
    if (pushFigures(one, 1) && monotonicMs() - pushDrawnMs >= 1000) {
        pushDrawnMs = monotonicMs();
        force = true;
    }
    if (!force && now == drawn && boxes == lastBoxes) return;
    drawn = now;
    lastBoxes = boxes;
    draw();
}

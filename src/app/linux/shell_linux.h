// What the pieces of the Linux program share: the picture of the window the core
// draws into (monitor, status lines, title, port state), and the two ways of
// showing it, the full-screen terminal monitor and the service's journal lines.
// Linux program only.
#pragma once

#include <cstddef>

#include "core/cp1251.h"  // the terminal and the journal show UTF-8
#include "station/status_view.h"

// ---- the picture (frontend_linux.cpp) ------------------------------------
// Written by the core from any thread under one lock; the main thread reads it to
// draw. Texts are kept as the core gives them (Windows-1251).
enum class ShellMode { kTerminal, kService };

struct ShellOptions {
    ShellMode mode = ShellMode::kService;
    int lines = 0;                    // service: every record line into the journal
    const char* recordFile = nullptr; // the answer of the save dialog, once
    const char* playFile = nullptr;   // the answer of the open dialog, once
};

void shellStart(const ShellOptions& options);
// 1 once the core asked to end (Exit) or a signal did.
int shellQuitRequested();
void shellRequestQuit();
// Main thread, every turn of the loop: a status refresh another thread asked for,
// and the summary of relay joins and leaves once their minute is over.
void shellRunDeferred();
// At the end: says the joins and leaves not yet summed up. Main thread.
void shellSayPending();
// A copy of monitor line i (0 top .. 17 bottom), status line i, the title, the port
// state (tray: 0 starting, 1 open, 2 failed or lost) and the menu marks.
void shellMonitorLine(int index, char* out, std::size_t capacity);
void shellStatusLine(int index, char* out, std::size_t capacity);
void shellTitle(char* out, std::size_t capacity);
int shellPortState();
int shellMarked(int commandId);
// The last message box's text and caption, and a counter that grows with each box.
int shellLastMessage(char* text, std::size_t textCapacity, char* caption, std::size_t captionCapacity);
// The links (feed, TCP source, push targets) as their last change told them, up
// to capacity; how many were copied.
int shellLinks(LinkView* out, int capacity);
// A number that changes whenever anything drawn has changed.
unsigned shellChanges();

// ---- the journal (journal_linux.cpp) --------------------------------------
// One UTF-8 line per event on stdout, written by a thread of its own from a
// bounded queue, so neither the receiver's path nor the main loop waits for the
// reader of stdout. When the queue is full the line is counted and a note says
// how many were lost once there is room again.
void journalStart();
void journalStop();  // writes what is queued, then ends the writer
// A line in Windows-1251 or ASCII, printf style.
void journalLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A record line: queued only while less than half the queue is in use, so events
// always find room.
void journalRecordLine(const char* line, int length);

// ---- the status endpoint and the service manager (status_linux.cpp) --------
// Where the status page, status.json and /metrics are served: inithttp.ini line 1
// the port (0: off), line 2 the listening address (a dotted IPv4 address).
struct HttpEndpoint {
    char address[64] = "127.0.0.1";
    int port = 8754;
};
// inithttp.ini over what *out holds, as every settings file is read: a missing
// file or line, or a value refused, keeps it, and a refusal names it in the
// journal. Main thread.
void readHttpSettings(HttpEndpoint* out);
// "ADDR:PORT" (--http); 1 when it names an IPv4 address and a port 0..65535.
int parseHttpOverride(const char* text, HttpEndpoint* out);
// Starts, moves or stops the endpoint to match; a port that cannot be had is
// tried again every 5 s. Main thread.
void statusApply(const HttpEndpoint& endpoint);
// The endpoint last applied (whether its port could be had or not); before the
// first, the defaults. Main thread.
HttpEndpoint statusInUse();
void statusStop();
// Every turn of the main loop; once a second it publishes a new snapshot for the
// endpoint, tells systemd the loop is alive (WATCHDOG=1) and, when it changed, the
// one-line summary (STATUS=). Never waits for an HTTP client.
void statusTurn();

// ---- the service manager (notify_linux.cpp) -------------------------------
// READY=1 once the station runs, WATCHDOG=1 from the main loop, STATUS= a one-line
// summary (UTF-8), STOPPING=1 when it ends. Without NOTIFY_SOCKET they do nothing.
// Main thread; none waits for the manager: READY and the newest STATUS are sent
// again on later calls until there is room, WATCHDOG and STOPPING are dropped.
void serviceReady();
void serviceStatus(const char* utf8Line);
void serviceWatchdog();
void serviceStopping();

// ---- the terminal (terminal_linux.cpp) ------------------------------------
// All on the main thread.
int terminalStart();   // 1 when the screen could be set up
void terminalStop();
// Draws the picture when it changed (or the screen was resized); reads the keys
// typed since the last call and carries them out.
void terminalTurn();

// ---- the receiver finder (find_linux.cpp) ---------------------------------
// --find-receiver: lists the ports, prints each one's verdict as it comes and the
// choice; with apply, writes init.ini and BinarComOn.ini line 1. Returns the exit
// code: 0 found, 3 none, 1 when the files could not be written. Main thread.
int findReceiverCommand(int apply);

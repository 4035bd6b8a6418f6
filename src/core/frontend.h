// What the portable core asks of the user interface.
//
// brevalink.exe implements these with Win32 windows, menus, message boxes and the
// tray (the *_win32.cpp files); the native build implements them in memory
// (frontend_headless.cpp) so tests can see what a user would have seen.
// Unless a comment says otherwise these run on the main thread.
#pragma once

#include <cstddef>

// Scrolls the 18 monitor lines up by one and puts text on the bottom line.
// Any thread: from another thread the main thread does the work while the caller
// waits, so one scroll never interleaves with another.
void uiScrollAndPlace(const char* text);
// Every record line the decoder makes (without its line end), as it makes it,
// whether or not the monitor shows it. The serial reader's or playback's thread:
// must return at once and never wait for a screen, a pipe or a disk.
void uiRecordLine(const char* line, int length);
// Sets the text of status line 0, 1 or 2. Main thread.
void uiSetStatusLine(int index, const char* text);
// Sets the main window's title text. Any thread (carried out on the main thread).
void uiSetTitle(const char* text);
// The status refresh (kMsgStatusRefresh): runs refreshStatusLines on the main thread;
// a caller on another thread waits until it is done.
void uiRefreshStatus();

inline constexpr int kBoxOk = 0;
inline constexpr int kBoxYesNo = 1;
// A message box; owned by the main window when ownedByMain is 1. Blocks until the
// user answers. Returns 1 for OK or Yes, 0 for No. Main thread.
int uiMessageBox(int ownedByMain, const char* text, const char* caption, int buttons);

// A message for whoever looks after the station that needs no answer (a recording
// that had to stop, a port that takes no writes, a relay client cut off): a
// monitor line in the window, a journal line or the terminal's message row on
// Linux. Any thread; never waits for a person.
void uiNotice(const char* text);

// Menu check marks and item texts of the main menu, by command id. Any thread.
void uiCheckMenuItem(int commandId, int checked);
void uiSetMenuItemText(int commandId, const char* text);

// Shutdown: the front end's 100 ms tick ends (the window's timer).
void uiEndTicks();

// Tray icon operations: 0 add, 1 modify (state 0, 1, 2), 2 delete. 1 on success.
int setTrayIcon(int operation, int state);

// Opens the settings dialog of a menu command (102, 105, 109, 110, 111, 115, 116, 117).
void uiOpenDialog(int commandId);
// Ends the program as the Exit command does (destroys the main window).
void uiCloseMainWindow();

// The save and open file dialogs of recording and playback. Write the chosen full
// path into out (always terminated) and return 1; 0 when cancelled.
int uiChooseSaveFile(const char* suggested, char* out, std::size_t capacity);
int uiChooseOpenFile(const char* previous, char* out, std::size_t capacity);

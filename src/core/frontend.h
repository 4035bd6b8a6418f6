// What the station tells a front end, in the station's words: what happened to
// the receiver's source, the relay, recording and playback and the modes; the
// monitor and status lines; messages for the user. Each front end shows it its own
// way: src/app/win32 on the tray, menus, statics and message boxes as the Windows
// program always has; src/app/linux in its journal and terminal; src/app/headless
// in memory, so that tests see what a user would have seen.
// Unless a comment says otherwise these run on the main thread.
#pragma once

#include <cstddef>

// Scrolls the 18 monitor lines up by one and puts text on the bottom line.
// Any thread: from another thread the main thread does the work while the caller
// waits, so one scroll never interleaves with another.
void uiScrollAndPlace(const char* text);
// Every record line the decoder makes (without its line end), as it makes it,
// whether or not the monitor shows it. The source's reader's or playback's thread:
// must return at once and never wait for a screen, a pipe or a disk.
void uiRecordLine(const char* line, int length);
// Sets the text of status line 0, 1 or 2. Main thread.
void uiSetStatusLine(int index, const char* text);
// The status refresh (kMsgStatusRefresh): runs refreshStatusLines on the main thread;
// a caller on another thread waits until it is done.
void uiRefreshStatus();

// ---- messages --------------------------------------------------------------

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

// ---- what happened --------------------------------------------------------

// The receiver's source (its serial port).
enum class SourceState {
    kOpened,      // opened (at start, from the dialog, or again after a loss)
    kCannotOpen,  // could not be opened; tried again every 2 s
    kBusy,        // another program holds it; tried again every 2 s
    kLost,        // went away while open; tried again every 2 s
};
void uiSourceChanged(SourceState state);

// The relay server: its listening port, and a client that came or went (peer is
// its address, else ""); clients is how many are connected after the change.
enum class RelayEvent { kListening, kPortBusy, kClientJoined, kClientLeft };
void uiRelayChanged(RelayEvent event, const char* peer, int clients);

// Recording and playback started or ended, with their file. Any thread: a
// playback ends on its own thread, and the window may carry the change out on the
// main thread while the caller waits.
enum class ExchangeEvent { kRecordingStarted, kRecordingStopped, kPlaybackStarted, kPlaybackEnded };
void uiExchangeChanged(ExchangeEvent event, const char* file);

// A mode switched on or off, by the command that switches it: binary mode,
// compression, relative time.
void uiModeChanged(int commandId, int on);

// A check of the receiver's data (StationCheck) began to warn, with its text, or
// is fine again (warning 0, the text it had). Status line 2 shows the worst
// warning already; this is for a journal.
void uiCheckChanged(int check, int warning, const char* text);

// Shutdown has come to the front end's part: its 100 ms tick and its tray go.
void uiStationStopping();

// ---- what the user asked for ----------------------------------------------

// Opens the settings dialog of a menu command (the kCmd...Dialog ids).
void uiOpenDialog(int commandId);
// Ends the program as the Exit command does (destroys the main window).
void uiCloseMainWindow();

// The save and open file dialogs of recording and playback. Write the chosen full
// path into out (always terminated) and return 1; 0 when cancelled.
int uiChooseSaveFile(const char* suggested, char* out, std::size_t capacity);
int uiChooseOpenFile(const char* previous, char* out, std::size_t capacity);

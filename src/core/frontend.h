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

// The receiver's serial port (the TCP source is a link: uiLinkChanged).
enum class SourceState {
    kOpened,      // opened (at start, from the dialog, or again after a loss)
    kCannotOpen,  // could not be opened; tried again every 2 s
    kBusy,        // another program holds it; tried again every 2 s
    kLost,        // went away while open; tried again every 2 s
};
void uiSourceChanged(SourceState state);

// The relay server: its listening port (told when it listens or is busy, or
// moves: a busy port retried is no news), and a client that came or went (peer is
// its address, else ""); clients is how many are connected after the change. The
// other-format port (initsocket.ini line 3) is told as kOther... the same way.
enum class RelayEvent { kListening, kPortBusy, kClientJoined, kClientLeft, kOtherListening, kOtherPortBusy };
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

// A link to another machine: the feed link to the MLAT feed server, the TCP
// source and each push target. Each tells what happened to it here, once per
// change (a connect that fails again for the same reason is no news): name is
// the link's far end ("host:port"), detail what the front end may show beside
// the state (the address connected to, why it failed or ended and the wait
// before the next try, the port it listens on), "" for nothing; texts in
// Windows-1251. Any thread; must return at once, never wait for a person, a
// screen or a pipe, and never call back into the station.
enum class LinkKind { kFeed, kTcpSource, kPush };
enum class LinkState {
    kConnected,  // up; detail the address connected to (or the peer that connected)
    kFailed,     // an attempt failed; detail why, and the wait before the next
    kLost,       // a connection that was up ended; detail why, and the wait
    kListening,  // waits for a peer to connect; detail where it listens
    kRemoved,    // taken out of use (settings changed, shutdown); detail ""
    kRefused,    // a listening source took one peer too many and closed it; detail who
};
void uiLinkChanged(LinkKind kind, const char* name, LinkState state, const char* detail);
// The words a journal uses for them.
inline const char* linkKindName(LinkKind kind) {
    switch (kind) {
        case LinkKind::kFeed: return "feed";
        case LinkKind::kTcpSource: return "tcp source";
        case LinkKind::kPush: return "push";
    }
    return "";
}
inline const char* linkStateName(LinkState state) {
    switch (state) {
        case LinkState::kConnected: return "connected";
        case LinkState::kFailed: return "cannot connect";
        case LinkState::kLost: return "lost";
        case LinkState::kListening: return "listening";
        case LinkState::kRemoved: return "removed";
        case LinkState::kRefused: return "refused";
    }
    return "";
}

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

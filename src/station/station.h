// The station: start-up, the tick, socket events and shutdown, written once for
// every front end. A front end's main does only what is its own (its window or
// terminal, its message or poll loop, its signals) and calls these in order:
//
//   stationLoad()           the compression library and the settings files
//   ... the front end makes its window or terminal, its tick and its tray ...
//   stationStart(window)    the receiver's port, the network, the feed link, the relay
//   stationTick()           every 100 ms           } while the loop runs
//   stationEvent(...)       each socket event      }
//   stationStop(window)     shutdown in its fixed order
//
// Main thread only. `window` is what the platform's sockWatch delivers events to
// (the main window on Windows, nothing natively).
#pragma once

#include "platform/platform.h"

// Loads the compression library and reads every settings file. Returns
// kStartGoOn (station/startup.h), or the exit code the process must end with.
int stationLoad();

// Opens the receiver's port (and starts the receiver in text mode) or starts the
// TCP source, starts the network, the feed link's thread and the relay server,
// and marks the mode flags in the menu. Blocks about 1 s when a port in text mode
// gets the receiver's start commands. A port that awaits a first start's search
// (comAwaitsSearch) is left for the search's end to open.
void stationStart(void* window);

// One tick (100 ms): the compression clock and its flush, the newest monitor line,
// the retries of a lost receiver port and a busy relay port, the stop of a
// recording whose disk failed, the checks (once a second) and status line 2,
// then the exchange clock.
void stationTick();

// A socket event or a status refresh, by our message number (the relay's
// listening and client sockets, the feed link, the refresh). 1 when the message
// was one of these.
int stationEvent(void* window, unsigned message, Socket s, long lParam);

// Status line 2: the TCP source's state while it is chosen, then the worst
// warning of the checks; "" when the port is the source and all is well. Any thread.
void writeSourceLine(char* out, int capacity);

// Rebuilds status lines 0 (relay server), 1 (feed link) and 2 (source, checks). Main thread; other
// threads reach it through uiRefreshStatus.
void refreshStatusLines();

// Shutdown: the relay server, the feed link's thread, a TCP source and the
// network, playback and the exchange files, the front end's tick and tray, the
// receiver's stop command and port, the compression library. Ends within a few seconds whatever
// the peers, the disk or the port do.
void stationStop(void* window);

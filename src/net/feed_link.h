// The feed link LINK_FEED to the MLAT feed server: connecting (reconnect thread),
// its socket events (main thread), dropping it, and the per-tick duties.
#pragma once

#include "platform/platform.h"

// One connect attempt to host on LINK_FEED's port; registers the socket for
// message 1033 on window and sends the introduction. Reconnect thread only; blocks
// in name resolution and connect.
void linkConnect(void* window, const char* host);
// The reconnect thread: about once a second, connect when not connected. Ends when
// reconnectStop is set (checked before every attempt).
void reconnectLoop(void* unused);
// Message 1033: a read passes the feed server's command on; a close drops the link.
// Main thread.
void onFeedLinkEvent(void* window, Socket s, long lParam);
// Closes the link, status "Связь разорвана", refresh, state 10. Main thread.
void dropLink();
// Every tick: the compression clock, then the newest monitor line. Main thread.
void tickDuties();
// Start-up: starts the reconnect thread. Shutdown: stops it cooperatively, waiting
// at most about one attempt's time, and takes the link out of use so that no feed
// data is sent any more. Main thread.
void startReconnectThread();
void stopReconnectThread();

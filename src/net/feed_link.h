// The feed link LINK_FEED to the MLAT feed server: connecting (reconnect thread),
// its socket events (main thread) and dropping it.
#pragma once

#include "platform/platform.h"

// One connect attempt to host on LINK_FEED's port; registers the socket for
// kMsgFeedLink on window and queues the introduction. Reconnect thread only;
// blocks in name resolution and connect.
void linkConnect(void* window, const char* host);
// Writes the link's queue to its socket while the link is up; returns once it has
// been dropped (by anyone, or here: no byte taken for 30 s while data waited, or
// the queue overflowed) or shutdown has begun, with the queue emptied. Returns at
// once when the link is not connected. Reconnect thread only; blocks at most
// 300 ms at a time.
void serveLink();
// The reconnect thread: about once a second, connect when not connected, then
// write the link's data until it ends. Ends when reconnectStop is set.
void reconnectLoop(void* unused);
// kMsgFeedLink: a read passes the feed server's command on; a close drops the link.
// Main thread.
void onFeedLinkEvent(void* window, Socket s, long lParam);
// Closes the link, status "Связь разорвана", refresh, state 10; a link that was
// up is told lost, for `why`. Main thread, or the reconnect thread giving up a
// stalled server; blocks for one send call at most.
void dropLink(const char* why = "closed by the server");
// New settings for the link (address, name, position): a connected link is
// dropped so that the reconnect thread introduces us again, and a back-off wait
// in progress ends, so the new settings are tried at once. Main thread.
void relinkFeed();
// The status text of a connect attempt in progress.
extern const char kLinkConnectingText[];
// dropLink, unless the link has been dropped since its drop count was `drops`.
void dropLinkOf(unsigned drops, const char* why);
// Start-up: starts the reconnect thread. Shutdown: stops it cooperatively, waiting
// at most about one attempt's time, and takes the link out of use so that no feed
// data is sent any more. Main thread.
void startReconnectThread();
void stopReconnectThread();

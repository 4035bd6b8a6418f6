// The relay server: up to 100 local TCP clients receive the receiver's bytes as
// they are. Accepts, client events, the status text and the stop run on the main
// thread; the bytes reach the clients through the fan-out (relay_fanout.h).
#pragma once

#include "platform/platform.h"

// Our own event on kMsgRelayClient (no Winsock FD_ bit): the fan-out thread gave up
// on this client because it could not take a whole window; the main thread frees it.
inline constexpr long kEventRelayDrop = 0x4000;

// Creates, binds (serverPort), listens and registers the listening socket for
// kMsgRelayListen, and otherPort's for kMsgRelayOtherListen when it is set; then
// refreshes the status lines. When the port cannot be had the
// status line says so ("занят") and relayServerTick tries again. Main thread, at
// start-up.
void startRelayServer(void* window);
// Every tick: while the started server has no listening socket, a new start every
// 5 s. Main thread.
void relayServerTick();
// kMsgRelayListen: accept into the lowest free entry (or accept and close when 100
// clients are connected). Main thread.
void onAcceptEvent(void* window, long lParam);
// kMsgRelayOtherListen: the same for the other-format port.
void onOtherAcceptEvent(void* window, long lParam);
// kMsgRelayClient: reads and discards what a client sends; frees its entry on close
// or on a relay drop. Main thread.
void onClientEvent(void* window, Socket s, long lParam);
// Closes every client and the listening socket. Main thread, at shutdown.
void stopRelayServer(void* window);
// Builds the server status line ("Сервер: %5d " and the client addresses, or
// "занят" while the port cannot be had) into buffer, and appends the list,
// time-stamped, to connect.list when it differs from the last line written this
// run. The status refresh's thread.
void writeServerStatus(char* buffer, int capacity);

// Relay server. (Accepting clients arrives with the distribution work; until then
// only the status text and the relay pass exist.)
#include "net/relay_server.h"

#include <cstdio>

#include "app/app_state.h"
#include "net/feed_encoder.h"

void startRelayServer(void*) {}
void onAcceptEvent(void*, long) {}
void onClientEvent(void*, Socket, long) {}
void stopRelayServer(void*) {}

void relayToClients(const unsigned char* data, int count) {
    for (ClientEntry& e : app.clients.entries) {
        if (e.relaying.load(std::memory_order_acquire)) sendWithRetry(e.socket.load(), data, count);
    }
}

void writeServerStatus(char* buffer, int capacity) {
    int n = std::snprintf(buffer, capacity, "Сервер: %5d ", static_cast<int>(app.serverPort.load()));
    TextGuard guard(app.clients.peerLock);
    for (ClientEntry& e : app.clients.entries) {
        if (e.peer[0] == '\0' || n >= capacity) continue;
        n += std::snprintf(buffer + n, capacity - n, "%s ", e.peer);
    }
}

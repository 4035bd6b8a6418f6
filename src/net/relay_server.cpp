// Relay server: up to 100 local TCP clients get the receiver's bytes unchanged.
//
// Threads: the main thread alone accepts, frees entries, writes peer texts and
// connect.list (or the reconnect thread through a status refresh, natively), and
// starts and stops the server with its fan-out thread (relay_fanout.cpp), which
// alone sends.
//
// A client that cannot take a whole window at once is not retried: one stalled
// reader would hold every other client. The fan-out thread stops relaying to it,
// marks it dropped and posts a drop event to the main thread, which frees the
// entry exactly as after the client's own close. So every client gets the stream
// without holes, and only the main thread ever frees an entry.
//
// Before the main thread closes an entry's socket it clears `relaying` and waits
// until the fan-out thread is not inside a send to that entry (`sending`); the
// sends are non-blocking, so that wait is a few microseconds. A relay send
// therefore never reaches a socket number that has been closed and perhaps reused
// meanwhile.
//
// A relay port that cannot be had (another program holds it, or an old socket of
// ours still lingers) is said in the server status line and tried again every 5 s
// from the tick until it can.
//
// A second port (initsocket.ini line 3) serves the stream in the other format; its
// clients live in the same table, count in the same 100 and are dropped by the
// same rule, and its fan-out thread sends them the decoder's conversions.
//
// Relay clients have nothing to say: each read event takes one bounded read, and
// a client that has sent more than kClientSendLimit in all is disconnected, so a
// flooding client costs the main loop a few dozen reads and nothing more.
// connect.list is kept under kConnectListLimit: a full one becomes
// connect.list.old (replacing an older one) and a new one is begun.
#include "net/relay_server.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "net/relay_fanout.h"

namespace {

constexpr int kListenBacklog = 1;
constexpr int kClientReadSize = 1024;
constexpr int kRetryTicks = 50;  // 5 s between tries of a busy relay port
constexpr int kClientSendLimit = 64 * 1024;
constexpr long kConnectListLimit = 1 << 20;
// A disconnected flooder is said at most this often.
constexpr std::int64_t kFloodNoticeMs = 60000;

// Main thread: takes the entry out of relaying, closes its socket, frees it.
void freeEntry(ClientEntry& e) {
    e.relaying.store(0);
    while (e.sending.load() != 0) sleepMs(0);
    Socket s = e.socket.load();
    if (s != kNoSocket) {
        sockClose(s);
        if (e.other.load()) app.clients.joinedOther.fetch_sub(1);
        app.clients.joined.fetch_sub(1);
    }
    e.socket.store(kNoSocket);
    e.other.store(0);
    e.dropped.store(0);
    e.received = 0;
    TextGuard guard(app.clients.peerLock);
    e.peer[0] = '\0';
}

int connectedClients() {
    int n = 0;
    for (ClientEntry& e : app.clients.entries) n += e.socket.load() != kNoSocket;
    return n;
}

// Frees the entry of a client that has gone (or was cut off, or the server
// stops) and tells the front end who left. Main thread.
void clientLeft(ClientEntry& e) {
    char peer[kPeerSize];
    {
        TextGuard guard(app.clients.peerLock);
        copyText(peer, sizeof peer, e.peer);
    }
    freeEntry(e);
    uiRelayChanged(RelayEvent::kClientLeft, peer, connectedClients());
}

ClientEntry* findEntry(Socket s) {
    if (s == kNoSocket) return nullptr;
    for (ClientEntry& e : app.clients.entries)
        if (e.socket.load() == s) return &e;
    return nullptr;
}

}  // namespace

namespace {

// A listening socket on port at the relay's address registered for message, or
// kNoSocket.
Socket listenOn(void* window, std::uint16_t port, unsigned message) {
    // Every interface unless the settings narrow it to one address of this machine.
    std::uint32_t address = 0;
    if (app.relayAddress[0] && !sockParseAddress(app.relayAddress, &address)) address = 0;
    Socket s = sockTcp();
    if (s != kNoSocket && (!sockBind(s, address, port) || !sockListen(s, kListenBacklog) ||
                           !sockWatch(window, s, message, kEventAccept))) {
        sockClose(s);
        s = kNoSocket;
    }
    return s;
}

void startMainPort(void* window) {
    Socket s = listenOn(window, app.serverPort.load(), kMsgRelayListen);
    app.listenSocket.store(s);
    app.relayPortBusy.store(s == kNoSocket);
    int told = s == kNoSocket ? 2 : 1;
    unsigned port = app.serverPort.load();
    if (told != app.relayToldState || port != app.relayToldPort ||
        std::strcmp(app.relayAddress, app.relayToldAddress) != 0) {
        app.relayToldState = told;
        app.relayToldPort = port;
        copyText(app.relayToldAddress, kNameSize, app.relayAddress);
        uiRelayChanged(s == kNoSocket ? RelayEvent::kPortBusy : RelayEvent::kListening, "", connectedClients());
    }
}

void startOtherPort(void* window) {
    unsigned port = app.otherPort.load();
    Socket s = listenOn(window, static_cast<std::uint16_t>(port), kMsgRelayOtherListen);
    app.otherListenSocket.store(s);
    app.otherPortBusy.store(s == kNoSocket);
    int told = s == kNoSocket ? 2 : 1;
    if (told != app.otherToldState || port != app.otherToldPort) {
        app.otherToldState = told;
        app.otherToldPort = port;
        uiRelayChanged(s == kNoSocket ? RelayEvent::kOtherPortBusy : RelayEvent::kOtherListening, "",
                       connectedClients());
    }
}

// Accepts a client of either port into the lowest free entry.
void acceptClient(void* window, Socket listening, long lParam, int other) {
    if ((lParam >> 16) & 0xFFFF) {
        // The listening socket failed: accept no more until restart; clients stay.
        sockWatch(window, listening, 0, 0);
        return;
    }
    ClientEntry* slot = nullptr;
    for (ClientEntry& e : app.clients.entries) {
        if (e.socket.load() == kNoSocket) {
            slot = &e;
            break;
        }
    }
    if (!slot) {
        // Table full (both ports' clients count): the newcomer is accepted and closed at once.
        sockClose(sockAccept(listening, nullptr, 0));
        return;
    }
    char peer[kPeerSize];
    Socket s = sockAccept(listening, peer, sizeof peer);
    if (s == kNoSocket) return;
    // Each block leaves as soon as the receiver gave it: with Nagle's algorithm a
    // block could wait up to a client's delayed acknowledgement (40 ms) behind
    // the one before, which a client timing the frames would see.
    sockSetNoDelay(s);
    sockSetSendBuffer(s, kRelaySendBuffer);
    slot->socket.store(s);
    if (!sockWatch(window, s, kMsgRelayClient, kEventRead | kEventClose)) {
        sockClose(s);
        slot->socket.store(kNoSocket);
        return;
    }
    {
        TextGuard guard(app.clients.peerLock);
        copyText(slot->peer, kPeerSize, peer);
    }
    slot->dropped.store(0);
    slot->bytesSent.store(0);
    slot->other.store(other);
    if (other) app.clients.joinedOther.fetch_add(1);
    app.clients.joined.fetch_add(1);
    slot->relaying.store(1);
    uiRelayChanged(RelayEvent::kClientJoined, peer, connectedClients());
    uiRefreshStatus();
}

}  // namespace

void startRelayServer(void* window) {
    app.relayWanted = 1;
    app.relayRetryTicks = 0;
    startRelayFanout();
    // Only the ports not yet listening: a retry leaves the other one alone.
    if (app.listenSocket.load() == kNoSocket) startMainPort(window);
    if (app.otherPort.load() && app.otherListenSocket.load() == kNoSocket) startOtherPort(window);
    uiRefreshStatus();
}

void relayServerTick() {
    if (!app.relayWanted) return;
    if (app.listenSocket.load() != kNoSocket && (!app.otherPort.load() || app.otherListenSocket.load() != kNoSocket))
        return;
    if (++app.relayRetryTicks < kRetryTicks) return;
    startRelayServer(app.mainWindow);
}

void onAcceptEvent(void* window, long lParam) { acceptClient(window, app.listenSocket.load(), lParam, 0); }

void onOtherAcceptEvent(void* window, long lParam) { acceptClient(window, app.otherListenSocket.load(), lParam, 1); }

void onClientEvent(void*, Socket s, long lParam) {
    long event = lParam & 0xFFFF;
    ClientEntry* e = findEntry(s);
    if (event == kEventRead) {
        // Only from a client still in the table: a late event of one freed already
        // names a number that may be the feed link's by now, whose bytes are not
        // ours to read.
        char discard[kClientReadSize];
        if (!e) return;
        int n = sockRecv(s, discard, sizeof discard);
        if (n <= 0) return;
        e->received += n;
        if (e->received <= kClientSendLimit) return;
        static std::int64_t lastNotice = -kFloodNoticeMs;
        std::int64_t now = monotonicMs();
        if (now - lastNotice >= kFloodNoticeMs) {
            lastNotice = now;
            char text[kPeerSize + 128];
            {
                TextGuard guard(app.clients.peerLock);
                std::snprintf(text, sizeof text, "Клиент сервера %s отключен: прислал больше %d КБ", e->peer,
                              kClientSendLimit / 1024);
            }
            uiNotice(text);
        }
        clientLeft(*e);
        uiRefreshStatus();
        return;
    }
    if (event != kEventClose && event != kEventRelayDrop) return;
    // Only a socket still in the table is closed: a late event for one freed
    // already must not close a number that may belong to someone else by now.
    if (!e) return;
    if (event == kEventRelayDrop && !e->dropped.load()) return;
    clientLeft(*e);
    uiRefreshStatus();
}

void stopRelayServer(void* window) {
    app.relayWanted = 0;
    // What the ring holds still reaches the clients before they are closed.
    stopRelayFanout();
    for (ClientEntry& e : app.clients.entries) {
        Socket s = e.socket.load();
        if (s == kNoSocket) continue;
        sockWatch(window, s, 0, 0);
        clientLeft(e);
    }
    Socket l = app.listenSocket.exchange(kNoSocket);
    if (l != kNoSocket) sockClose(l);
    Socket o = app.otherListenSocket.exchange(kNoSocket);
    if (o != kNoSocket) sockClose(o);
}

void writeServerStatus(char* buffer, int capacity) {
    if (capacity <= 0) return;
    // A snapshot of the addresses, so no file is written under the lock.
    char peers[kMaxClients][kPeerSize];
    int count = 0;
    {
        TextGuard guard(app.clients.peerLock);
        for (ClientEntry& e : app.clients.entries) {
            if (e.peer[0] == '\0') continue;
            copyText(peers[count++], kPeerSize, e.peer);
        }
    }

    int n = std::snprintf(buffer, static_cast<std::size_t>(capacity), "Сервер: %5d ",
                          static_cast<int>(app.serverPort.load()));
    if (app.relayPortBusy.load() && n >= 0 && n < capacity)
        n += std::snprintf(buffer + n, static_cast<std::size_t>(capacity - n), "занят");
    // The other-format port, after the main one: "+7778", "+7778 занят".
    if (app.otherPort.load() && n >= 0 && n < capacity)
        n += std::snprintf(buffer + n, static_cast<std::size_t>(capacity - n),
                           app.otherPortBusy.load() ? "%s+%u занят " : "%s+%u ", app.relayPortBusy.load() ? " " : "",
                           static_cast<unsigned>(app.otherPort.load()));
    char list[sizeof app.listedPeers];
    int listed = 0;
    for (int i = 0; i < count; ++i) {
        if (listed < static_cast<int>(sizeof list))
            listed += std::snprintf(list + listed, sizeof list - static_cast<std::size_t>(listed),
                                    i == 0 ? "|%s|" : "%s|", peers[i]);
        if (n >= 0 && n < capacity) n += std::snprintf(buffer + n, static_cast<std::size_t>(capacity - n), "%s ", peers[i]);
    }
    list[listed < static_cast<int>(sizeof list) ? listed : static_cast<int>(sizeof list) - 1] = '\0';

    // connect.list gets a line when the clients differ from its last line of this
    // run: refreshes come with every feed connect attempt, and an unattended
    // station must not write a line a second for months.
    {
        TextGuard guard(app.listLock);
        if (app.listWritten && std::strcmp(list, app.listedPeers) == 0) return;
        copyText(app.listedPeers, sizeof app.listedPeers, list);
        app.listWritten = 1;
    }
    // Appended in binary with CR LF written out, as text mode writes it on Windows.
    std::FILE* file = std::fopen("connect.list", "ab");
    if (!file) return;
    if (std::fseek(file, 0, SEEK_END) == 0 && std::ftell(file) >= kConnectListLimit) {
        std::fclose(file);
        fileReplace("connect.list", "connect.list.old");
        file = std::fopen("connect.list", "ab");
        if (!file) return;
    }
    UtcTime t;
    utcNow(&t);
    std::fprintf(file, "%02d/%02d/%02d %02d:%02d:%02d %s\r\n", t.day, t.month, t.year, t.hour, t.minute, t.second,
                 list);
    std::fclose(file);
}

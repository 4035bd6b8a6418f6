// The station's snapshot. Main thread.
#include "station/snapshot.h"

#include <cstring>

#include "input/tcp_source.h"

void takeStationSnapshot(StationSnapshot* out) {
    std::memset(out, 0, sizeof *out);
    std::int64_t now = monotonicMs();
    out->uptimeMs = app.startedMs ? now - app.startedMs : 0;
    {
        TextGuard guard(app.nameLock);
        copyText(out->stationName, kNameSize, app.receiverName);
    }
    out->stationLat = app.receiverLat.load() / 3600.0;
    out->stationLon = app.receiverLon.load() / 3600.0;

    out->sourceTcp = app.tcp.chosen.load();
    const SourceStats& chosen = app.stats[out->sourceTcp ? kSourceTcp : kSourcePort];
    if (out->sourceTcp) {
        tcpSourceName(out->sourceName, sizeof out->sourceName);
        int state = app.tcp.state.load();
        out->sourceUp = state == kTcpConnected || state == kTcpReading;
    } else {
        copyText(out->sourceName, sizeof out->sourceName, app.comPortName);
        out->sourceUp = app.comHandle.load() != kNoSerial && !app.comLost.load();
    }
    out->binaryMode = app.binaryMode.load();
    std::int64_t last = chosen.lastByteMs.load();
    out->lastByteAgeS = last ? static_cast<double>(now - last) / 1000.0 : -1;
    for (const SourceStats& s : app.stats) {
        out->sourceBytes += s.bytes.load();
        for (int k = 0; k < kStreamKinds; ++k) out->kinds[k] += s.kinds[k].load();
        out->heldBack += s.heldBack.load();
        out->stray += s.stray.load();
    }
    out->bytesRate = chosen.bytesRate.load();
    for (int k = 0; k < kStreamKinds; ++k) {
        out->kindRates[k] = chosen.kindRates[k].load();
        if (k != kKindLineOther) out->framesRate += out->kindRates[k];
    }
    {
        TextGuard guard(app.checks.textLock);
        for (int c = 0; c < kCheckCount; ++c) {
            out->checks[c].warning = app.checks.checks[c].warning.load();
            copyText(out->checks[c].text, kNameSize, app.checks.checks[c].text);
        }
    }
    out->measuredHz = app.checks.measuredHz.load();
    out->settingHz = app.timerFrequency.load();
    lookFigures(now, &out->modes);

    out->relayPort = app.serverPort.load();
    out->relayListening = app.listenSocket.load() != kNoSocket;
    {
        TextGuard guard(app.clients.peerLock);
        for (ClientEntry& e : app.clients.entries) {
            if (e.socket.load() == kNoSocket) continue;
            SnapshotClient& c = out->clients[out->relayClients++];
            copyText(c.peer, kPeerSize, e.peer);
            c.bytes = e.bytesSent.load();
        }
    }
    out->relayBytes = app.relayRing.bytesSent.load();
    out->relayDrops = app.clients.drops.load();
    out->relayOverruns = app.relayRing.overruns.load();

    {
        TextGuard guard(app.feed.textLock);
        copyText(out->feedHost, kNameSize, app.feed.host);
        copyText(out->feedStatus, kNameSize, app.feed.status);
    }
    out->feedPort = app.feed.port.load();
    out->feedUp = app.feed.state.load() == kLinkConnected;
    std::uint64_t head = app.feedQueue.head.load();  // first: the tail is never behind it
    out->feedQueueBytes = app.feedQueue.tail.load() - head;
    out->feedConnections = app.feed.connections.load();
    out->pushCount = pushFigures(out->push, kPushTargets);
}

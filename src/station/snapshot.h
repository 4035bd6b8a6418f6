// A copy of what the station is doing, for whoever shows it from afar (a status
// page, metrics, the service manager's status line): taken in one go on the main
// thread from the state record's counters and texts, then read at leisure by
// another thread, so nothing that serves it ever touches the live state. Plain
// values; texts in Windows-1251 as the station keeps them.
#pragma once

#include <cstdint>

#include "core/app_state.h"
#include "net/push.h"
#include "station/look.h"

struct SnapshotClient {
    char peer[kPeerSize];
    std::uint64_t bytes;  // relayed to this client since it joined
};

struct SnapshotCheck {
    int warning;
    char text[kNameSize];
};

struct StationSnapshot {
    std::int64_t uptimeMs;
    char stationName[kNameSize];   // name.ini
    double stationLat, stationLon; // point.ini, degrees
    // The receiver's source: the chosen one's state and rates; the counters of both
    // sources added (they only grow).
    int sourceTcp;                 // 1 the TCP source, 0 the serial port
    char sourceName[kNameSize + 16];
    int sourceUp;                  // the port is open, or the connection has brought bytes
    int binaryMode;
    double lastByteAgeS;           // since the chosen source's last block; -1 none yet
    std::uint64_t sourceBytes;
    std::uint64_t kinds[kStreamKinds];
    std::uint64_t heldBack, stray;
    double bytesRate;              // per second over the last 10 s
    double kindRates[kStreamKinds];
    double framesRate;             // every kind but other text lines
    SnapshotCheck checks[kCheckCount];
    double measuredHz;             // 0 until measured
    std::int32_t settingHz;
    // The Mode S look: aircraft, ranges, frames by DF and verdict.
    LookFigures modes;
    // The relay.
    int relayPort;
    int relayListening;
    int relayClients;
    SnapshotClient clients[kMaxClients];  // the first relayClients are used
    std::uint64_t relayBytes, relayDrops, relayOverruns;
    // The feed link.
    char feedHost[kNameSize];
    int feedPort;
    int feedUp;
    char feedStatus[kNameSize];
    std::uint64_t feedQueueBytes;
    unsigned feedConnections;
    // The push targets, in the order configured.
    int pushCount;
    PushFigures push[kPushTargets];
};

// Fills out from the state record. Main thread (the checks' texts and the
// client table are the main thread's).
void takeStationSnapshot(StationSnapshot* out);

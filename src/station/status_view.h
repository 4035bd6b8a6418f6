// What the station's status endpoint serves, from a copy of the station: the
// Prometheus metrics ("/metrics"), the same state for programs ("/status.json")
// and the page for people ("/", with its chart of the last hour). Owns the three
// bodies' layout and the chart's history record; the HTTP server, the copy's
// passing between threads and the process figures are the front end's. Pure
// functions of their arguments: any thread, on its own copy.
//
// Texts in the view are Windows-1251 as the station keeps them; every body comes
// out UTF-8, as it goes on the wire.
#pragma once

#include <string>

#include "station/snapshot.h"

// The chart shows frames per second over this many of the last seconds.
inline constexpr int kFpsHistorySeconds = 3600;

// One frames-per-second value a second, a ring; zero-initialised is empty.
struct FpsHistory {
    float fps[kFpsHistorySeconds];
    int newest;  // the slot of the last second
    int count;   // seconds held, up to kFpsHistorySeconds
};

// Adds this second's value, dropping the oldest once the ring is full.
void fpsHistoryAdd(FpsHistory* history, double framesPerSecond);

// A link to another machine as the front end last heard of it (uiLinkChanged):
// kind and state are LinkKind and LinkState's values.
inline constexpr int kLinkViews = 16;
struct LinkView {
    int kind, state;
    char name[kNameSize + 16];
    char detail[kNameSize];
    std::int64_t sinceMs;  // monotonicMs of the change
};

// Everything the bodies are made of, taken together so that they agree.
struct StatusView {
    StationSnapshot station;
    char monitor[kMonitorLines][kRingSlotSize];  // top to bottom, without line ends
    char status[kStatusLines][2048];             // without line ends
    FpsHistory history;
    LinkView links[kLinkViews];  // the first linkCount are used
    int linkCount;
    std::int64_t nowMs;          // monotonicMs when the view was taken: the links' ages
};

// The process as the OS measures it, for the metrics of that name.
struct ProcessFigures {
    double cpuSeconds;     // user and system
    double residentBytes;
};

// text/plain; version=0.0.4: every metric with its # HELP and # TYPE.
std::string renderMetrics(const StatusView& view, const ProcessFigures& process);
// application/json, ending in a line end.
std::string renderStatusJson(const StatusView& view);
// text/html, every text of the view escaped.
std::string renderStatusPage(const StatusView& view);

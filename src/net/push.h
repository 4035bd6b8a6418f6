// Push outputs: the relay's stream, as it leaves for the relay clients (the same
// bytes, in the same format), pushed to up to kPushTargets other networks on
// connections the program opens (initpush.ini, --push). A second network that
// takes a Beast stream pushed to a host and port is fed this way.
//
// The source's reader only copies its bytes into the push input ring
// (pushToTargets, next to the relay's hand-off) and goes on: it never waits for
// a target. The hub's own thread moves them into the stream ring, where it marks
// where each frame (binary mode) or line (text mode) starts, and keeps every
// target's backlog bounded. Each target has a thread of its own that connects
// (with back-off and jitter), sends its backlog without ever blocking on the
// socket, and gives up a connection that takes no byte for 30 s while data
// waits. So a slow or dead network costs nothing to the reader, the relay
// clients, the feed or the other targets.
//
// Every connection starts at a frame start and carries whole frames only: a
// target whose backlog passes kPushBacklog drops whole frames from its oldest
// end (down to three quarters of it), counted; the frame it was sending, if
// any, is finished first. The targets share the one stream ring, each with its
// own read position, so their backlogs are bounded each on its own without eight
// copies of the stream.
//
// The state is this module's own: nothing else reads or writes it but through
// these calls. Threads: main (apply, start, stop, tick, figures), the source's
// reader (pushToTargets), the hub, one thread per target.
#pragma once

#include <cstdint>

#include "core/app_state.h"

inline constexpr int kPushTargets = 8;
// A target's backlog: about a minute of a busy site's stream.
inline constexpr int kPushBacklog = 1 << 20;
inline constexpr int kPushTargetTextSize = kNameSize;

// Where a target stands (PushFigures::state).
inline constexpr int kPushConnecting = 0;  // resolving, connecting
inline constexpr int kPushUp = 1;          // connected
inline constexpr int kPushWaiting = 2;     // no connection; the next attempt after the back-off

struct PushFigures {
    char target[kPushTargetTextSize];  // "host:port" as configured
    int state;
    int retrySeconds;                  // while waiting: seconds until the next attempt
    std::uint64_t bytesSent;           // since the target was configured
    std::uint64_t framesDropped;       // whole frames (or lines) dropped from its backlog
    std::uint64_t bytesDropped;
    std::uint64_t backlogBytes;        // waiting to be sent now
    unsigned connections;              // connections made
    char lastError[kNameSize];         // why the last attempt or connection ended; "" none yet
};

// "host:port" (an IPv6 address in brackets, "[fd00::7]:30004") into its host
// and port; 1 when the text is one (a host without blanks, a port 1..65535).
int pushParseTarget(const char* text, char* host, int capacity, std::uint16_t* port);

// The receiver's bytes, as they go to the relay clients. Copies them for the hub
// and returns; with no target it does nothing. When the input ring is full (the
// hub kept from running for most of a second) the bytes are not kept and every
// target resumes at the next frame start, its connection renewed. Any source
// thread.
void pushToTargets(const unsigned char* data, int count);

// The hub's thread and the targets in use (start-up, after the network).
void pushStart();
// Makes the targets in use these (each "host:port", checked by the caller):
// a target whose text is still in the list is left untouched, a new one starts
// with an empty backlog, one no longer listed stops (told as removed). At most
// kPushTargets are taken. Before pushStart it only records them. Returns how many
// targets started or stopped. Main thread.
int pushApply(const char* const* targets, int count);
// The targets in use (their texts into out, each kPushTargetTextSize); how many.
int pushTargetsInUse(char (*out)[kPushTargetTextSize], int capacity);
// Every tick: the threads of stopped targets that have ended are released.
void pushTick();
// Shutdown: every target and the hub end (a thread inside the system's name
// lookup is left to end by itself and touches nothing after). Main thread;
// blocks about 1 s at most.
void pushStop();
// Each target's figures, in the order configured; how many.
int pushFigures(PushFigures* out, int capacity);

// Tests shorten the write deadline (30 s) and the back-off's first step (2 s).
void pushSetTimings(int stallLimitMs, int firstRetryMs);

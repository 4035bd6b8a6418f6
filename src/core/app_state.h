// AppState: the one process-wide state record, `app`. It lives for the whole process
// and is never copied.
//
// Threads: main (start-up, message loop, timer, dialogs, socket events), serial
// reader or TCP source (the source's reader), reconnect, playback, record writer. Each field says who writes it. A field written by one
// thread and read by another is std::atomic, or its text is guarded by a TextLock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"
#include "platform/text_lock.h"

inline constexpr int kNameSize = 256;       // names, hosts, port names, status texts
inline constexpr int kPathSize = 1024;      // directories
inline constexpr int kFileNameSize = 260;   // file dialog buffers
inline constexpr int kRecordLineSize = 128; // one RecordLine with its terminating zero
inline constexpr int kDecoderLineSize = 1024;
// The longest binary frame, unescaped: 0x1A, type, 6 timestamp bytes, level, 14 payload bytes.
inline constexpr int kLongestFrame = 23;
inline constexpr int kMaxClients = 100;
inline constexpr int kPeerSize = 32;
inline constexpr int kRingSlots = 30;
inline constexpr int kRingSlotSize = 1024;
inline constexpr int kMonitorLines = 18;
inline constexpr int kStatusLines = 3;
inline constexpr int kFeedBufferSize = 65536;
// The framing work area holds the worst case: every payload byte doubled, plus the
// header and trailer, so framing can never overrun whatever payload fits blockBuffer.
inline constexpr int kFrameWorkSize = 2 * kFeedBufferSize + 16;
// The feed link's outbound queue: about half a minute of uncompressed record lines
// at a busy site (4,300 lines a second), and the largest framed block many times
// over. A feed server that lets it fill up has stopped taking data.
inline constexpr int kFeedQueueSize = 4 << 20;
// The recording's queue to its writer: about 5 s of a busy site's log lines (one
// line of up to 16 bytes per received byte). A disk that lets it fill up cannot
// keep the log, and the recording stops rather than leave holes in it.
inline constexpr int kRecordQueueSize = 4 << 20;
// The relay's window. The source's bytes wait in the ring for the fan-out thread,
// which sends them to every client at most once per window: bytes after a quiet
// spell go at once, the rest wait for the window since the last send to pass, or
// until kRelayWindowLimit bytes wait. The window grows with the clients,
// kRelayWindowPerClientUs each, up to kRelayWindowMs: a few clients get every
// frame as it comes, a hundred get one send every 2 ms, and the sends of a busy
// site stay under some 50,000 a second whatever the number of clients.
// The ring holds about 0.85 s of a full 3 Mbaud line. A source that finds it full
// waits up to kRelayRoomWaitMs for room (only a source faster than any line, or a
// fan-out thread kept from running, fills it); then every client goes rather than
// get a hole.
inline constexpr int kRelayRingSize = 256 * 1024;
inline constexpr int kRelayWindowLimit = 16 * 1024;
inline constexpr int kRelayWindowMs = 2;
inline constexpr int kRelayWindowPerClientUs = 20;
inline constexpr int kRelayRoomWaitMs = 200;
// A fan-out thread that is behind sends up to this much at once, so that it
// catches up with fewer sends than the source took reads.
inline constexpr int kRelaySendLimit = 64 * 1024;
// Each relay client's send buffer in the kernel: about 0.85 s of a full 3 Mbaud
// line. A client that falls further behind is dropped, and a slow remote reader
// holds no more of the machine's memory than this.
inline constexpr int kRelaySendBuffer = 256 * 1024;

// Window messages of our own.
inline constexpr unsigned kMsgRelayListen = 1025;
inline constexpr unsigned kMsgRelayClient = 1026;
inline constexpr unsigned kMsgRelayOtherListen = 1027;  // the other-format relay port's listening socket
inline constexpr unsigned kMsgFeedLink = 1033;
inline constexpr unsigned kMsgStatusRefresh = 1034;
inline constexpr unsigned kMsgTray = 1055;

using CompressFn = int (*)(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                           unsigned long sourceLen);
// Takes one Mode S frame from the decoder: its 7 or 14 bytes and its signal level
// 0..255, -1 for a text line, which has none.
using ModesFrameSink = void (*)(const unsigned char* msg, int length, int level);

// Playback states (playState): a stop is asked for, or nothing ever ran; a
// playback runs; its thread has ended.
inline constexpr int kPlayStop = 0;
inline constexpr int kPlayRunning = 1;
inline constexpr int kPlayEnded = 100;

// Where the live source stands with a playback (liveGate): handing on; asked to
// pause at the end of its frame in progress; paused; asked to resume at its next
// frame start.
inline constexpr int kLiveFlowing = 0;
inline constexpr int kLivePausing = 1;
inline constexpr int kLivePaused = 2;
inline constexpr int kLiveResuming = 3;

// Link states.
inline constexpr int kLinkNotYet = 0;
inline constexpr int kLinkNoSocket = 1;
inline constexpr int kLinkConnected = 9;
inline constexpr int kLinkDropped = 10;

// The feed link to the MLAT feed server.
struct LinkSlot {
    std::atomic<Socket> socket{kNoSocket};  // reconnect thread (connect), main (drop)
    std::atomic<std::uint16_t> port{8888};  // main (settings, dialog)
    char host[kNameSize] = "127.0.0.1";     // main (settings, dialog); under textLock
    char status[kNameSize] = "";            // reconnect thread and main; under textLock
    std::atomic<int> state{kLinkNotYet};    // reconnect thread (connect), main (drop)
    TextLock textLock;                       // guards host and status
    std::atomic<unsigned> drops{0};         // every drop; the link thread compares it
    std::atomic<int> sending{0};            // the link thread inside one send call on socket
    // The wait before the next connect after links that ended soon after their
    // connect: the reconnect thread sets it, a new address (main) clears it to 0,
    // which ends the wait.
    std::atomic<int> retryDelayMs{0};
    // The server ended the link (its close, or a stall): main or the link thread
    // set it, the next connect clears it. Only such links back off.
    std::atomic<int> endedByServer{0};
    std::atomic<unsigned> connections{0};   // reconnect thread: links made since the start
    // What the link last told the front end (uiLinkChanged), so that a failure
    // like the last one is no news; under textLock.
    int toldState = -1;
    char toldDetail[kNameSize] = "";
    char toldName[kNameSize + 16] = "";     // "host:port" of the link last connected
};

// Everything bound for the feed server, in wire order, on its way to the link's
// own thread, which alone writes the link's socket. Producers (the feed senders
// under FeedLock, the introduction on the link thread) append whole units (a line,
// a block, a raw chunk) or nothing; the link thread takes bytes from the front.
// head and tail count bytes since the start and only grow; bytes[i % size] holds
// byte i. When a unit does not fit, `overflow` is set and nothing more is taken
// until the link thread has dropped the link and emptied the queue.
struct FeedQueue {
    unsigned char bytes[kFeedQueueSize];
    std::atomic<std::uint64_t> head{0};     // link thread: bytes handed to the socket
    std::atomic<std::uint64_t> tail{0};     // producers: bytes queued
    std::atomic<int> overflow{0};           // producers set, link thread clears
    std::atomic<EventHandle> wake{kNoEvent};  // set on every append and drop; link thread waits
};

// Where the TCP source's thread is (TcpSourceSlot::state).
inline constexpr int kTcpOff = 0;         // no thread: the serial port is the source
inline constexpr int kTcpConnecting = 1;  // resolving the host's name, connecting
inline constexpr int kTcpConnected = 2;   // connected, no byte yet
inline constexpr int kTcpReading = 3;     // bytes have come on this connection
inline constexpr int kTcpWaiting = 4;     // no connection; the next attempt at retryAtMs
inline constexpr int kTcpListening = 5;   // listening, no peer connected

// Why the last attempt or connection ended (TcpSourceSlot::lastEnd).
inline constexpr int kTcpEndNone = 0;
inline constexpr int kTcpEndNoName = 1;    // the host's name resolves nowhere
inline constexpr int kTcpEndRefused = 2;   // nobody listens there
inline constexpr int kTcpEndTimedOut = 3;  // no answer within the connect time-out
inline constexpr int kTcpEndFailed = 4;    // any other connect failure
inline constexpr int kTcpEndClosed = 5;    // the far end closed a connection
inline constexpr int kTcpEndSilent = 6;    // a connection brought no byte for silentLimitMs
inline constexpr int kTcpEndBroken = 7;    // a connection failed (reset, keep-alive gave up)
inline constexpr int kTcpEndLookupBusy = 8;  // an ended thread's name lookup has not returned yet
inline constexpr int kTcpEndPortBusy = 9;    // the port to listen on cannot be had

// What inittcp.ini line 3 chooses (TcpSourceSlot::chosen): the serial port, a
// connection we make, or one a pushing receiver makes to us.
inline constexpr int kTcpChoicePort = 0;
inline constexpr int kTcpChoiceConnect = 1;
inline constexpr int kTcpChoiceListen = 2;

// Threads stopped while the system resolved a name are left to end by themselves
// (they hand nothing on once stopped); their handles wait here to be released.
// Only one thread at a time may be inside a lookup, so at most one of them can
// be stuck there; the others end within one of their waits.
inline constexpr int kTcpLeftThreads = 8;

// The receiver's bytes over TCP: a decoder's Beast or AVR port, ser2net, another
// relay. The source's own thread resolves, connects, reads and hands the bytes on
// as the serial reader does; the main thread starts and stops it, writes the
// receiver commands and shows its state.
struct TcpSourceSlot {
    std::atomic<int> chosen{kTcpChoicePort}; // main (settings, dialog, reload): inittcp.ini line 3
    std::atomic<std::uint16_t> port{30005};  // main (settings, dialog, reload)
    // The host to connect to, or the address to listen on ("" every interface).
    char host[kNameSize] = "127.0.0.1";      // main writes; under textLock
    TextLock textLock;                       // guards host, peer and refusedPeer
    ThreadHandle thread = kNoThread;         // main
    ThreadHandle leftThreads[kTcpLeftThreads] = {};  // main
    unsigned leftRuns[kTcpLeftThreads] = {};          // main: each left thread's run number
    // The run number of the thread inside the name lookup and connect, 0 for none:
    // a thread takes it before its lookup and gives it back after.
    std::atomic<unsigned> lookupRun{0};      // source threads
    // The number of the one thread that may hand bytes on; the main thread ends a
    // thread by changing it, and the thread ends once it sees the change.
    std::atomic<unsigned> run{0};            // main
    std::atomic<int> handing{0};             // source thread: inside a hand-on
    std::atomic<Socket> socket{kNoSocket};   // source thread (connect, close); writers read
    std::atomic<int> writers{0};             // main and playback: inside a write on socket
    std::atomic<int> state{kTcpOff};         // source thread; main at start and stop
    std::atomic<int> lastEnd{kTcpEndNone};   // source thread
    std::atomic<std::int64_t> retryAtMs{0};  // source thread: when kTcpWaiting ends
    std::atomic<unsigned> connections{0};    // source thread: connections made
    // A decoder that hangs with its socket open must not stop the station for
    // days: a connection silent this long is replaced. Tests shorten it.
    std::atomic<int> silentLimitMs{120000};  // main
    unsigned connectionsSeen = 0;            // main: connections already told
    int toldWaiting = 0;                     // main: the last wait has been told
    int toldEnd = -1;                        // main: the end of the last failure told (uiLinkChanged)
    char runningName[kNameSize + 16] = "";   // main: "host:port" of the thread running
    int runningChoice = kTcpChoicePort;      // main: what the thread running does (kTcpChoice...)
    char peer[64] = "";                      // source thread: the address connected to; under textLock
    int startTicks = -1;                     // main: ticks until "#43-12" after a connect
    // Listening: one peer at a time, so that a second receiver cannot mix its
    // clock into the stream; the others are accepted and closed at once.
    std::atomic<unsigned> listens{0};        // source thread: times the port began to listen
    std::atomic<unsigned> ended{0};          // source thread: peers' connections ended
    std::atomic<unsigned> refused{0};        // source thread: peers refused
    char refusedPeer[64] = "";               // source thread: the last refused; under textLock
    unsigned listensSeen = 0, endedSeen = 0, refusedSeen = 0;  // main: already told
};

// What the stream counters tell apart in the source's bytes, whatever the mode:
// binary escape frames by type, and text lines by their first character.
enum StreamKind {
    kKindModeAC, kKindModeSShort, kKindModeSLong,  // binary frames '1', '2', '3'
    kKindLineTimed,                                 // text lines "@" (with the receiver's time)
    kKindLineUntimed,                               // text lines "*" (without)
    kKindLineOther,                                 // any other text line ("MSG", replies), in text mode
    kStreamKinds
};
inline constexpr int kSourcePort = 0;  // SourceStats index of the serial source
inline constexpr int kSourceTcp = 1;   // ... and of the TCP source
inline constexpr int kSourceCount = 2;

// One source's counters since start: the source's reader adds (relaxed atomics,
// O(1) a byte); the main thread's second turns them into rates over the last 10 s.
struct SourceStats {
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<std::uint64_t> blocks{0};      // hand-ons of the reader: its wakes that did work
    std::atomic<std::uint64_t> kinds[kStreamKinds] = {};
    std::atomic<std::uint64_t> heldBack{0};    // binary frames under the level threshold
    std::atomic<std::uint64_t> stray{0};       // bytes in no frame (binary mode) or no used line (text)
    std::atomic<std::uint64_t> zeroStamps{0};  // binary frames whose timestamp is 0
    std::atomic<std::int64_t> lastByteMs{0};   // monotonicMs of the last block; 0 none yet
    // Per second over the last 10 s: main.
    std::atomic<double> bytesRate{0};
    std::atomic<double> kindRates[kStreamKinds] = {};
    std::atomic<double> heldBackRate{0};
    std::atomic<double> strayRate{0};
};

// The station's checks of the receiver's data, in order of severity.
enum StationCheck {
    kCheckNoData, kCheckWrongMode, kCheckNoTimestamps, kCheckFrequency, kCheckJumps, kCheckThreshold,
    kCheckCoordinates,
    kCheckCount
};
struct CheckState {
    std::atomic<int> warning{0};            // main: 1 while the check finds a fault
    std::atomic<std::int64_t> sinceMs{0};   // main: monotonicMs of the last change
    char text[kNameSize] = "";               // main; under ChecksState::textLock
};
// The counters of both sources a second apart, the checks' windows: main.
inline constexpr int kCheckHistory = 61;  // the longest window (60 s) and its start
struct CountSnapshot {
    std::uint64_t bytes, kinds[kStreamKinds], heldBack, stray, zeroStamps;
};
struct ChecksState {
    CheckState checks[kCheckCount];
    CountSnapshot history[kSourceCount][kCheckHistory] = {};  // main
    int newest = -1, filled = 0;                 // main: the history's ring
    std::int64_t lastMs = 0;                      // main: the last second's turn
    unsigned resetsSeen = 0;                      // main: counter resets already said
    int wasOpen = 0;                              // main: the source was open at the last turn
    std::int64_t openedMs = 0;                    // main: when it opened
    TextLock textLock;                          // guards every text
    // The receiver's clock as measured against ours (the source's reader).
    std::atomic<double> measuredHz{0};          // 0 until a minute of timestamps is in
    std::atomic<int> jumpsPerMinute{0};
    std::atomic<unsigned> counterResets{0};     // the counter restarted near zero
    // The wrong-mode check's proof: while modeProbe is 1 (main sets it while the
    // check warns), the source's reader judges the parity of the Mode S frames in
    // both forms and counts the good ones since the start (source's reader).
    std::atomic<int> modeProbe{0};
    std::atomic<std::uint32_t> probeBinaryGood{0};
    std::atomic<std::uint32_t> probeTextGood{0};
};

struct ClientEntry {
    std::atomic<Socket> socket{kNoSocket};  // main (accept, close, stop, relay drop)
    std::atomic<int> relaying{0};           // 1 while peer is set: windows are sent here; main
    char peer[kPeerSize] = "";              // main; under ClientTable::peerLock
    std::atomic<int> sending{0};            // 1 while the fan-out thread sends to this entry
    std::atomic<int> dropped{0};            // fan-out: could not take a window; main frees it
    int received = 0;                       // main: bytes the client has sent us in all
    std::atomic<std::uint64_t> bytesSent{0};  // fan-out thread: bytes relayed to this client; main zeroes at accept
    std::atomic<int> other{0};              // main at accept: a client of the other-format port
};

struct ClientTable {
    ClientEntry entries[kMaxClients];
    TextLock peerLock;                      // guards every peer text
    std::atomic<int> joined{0};             // main: entries with a client; 0 lets the sources skip the ring
    std::atomic<int> joinedOther{0};        // main: ... of them the other-format port's
    std::atomic<std::uint64_t> drops{0};    // fan-out thread: clients dropped for not taking a window
};

// The source's bytes on their way to the relay clients. The sources (the port's
// reader, the TCP source, playback: up to two at once) append under `lock`; the
// fan-out thread alone sends and advances `sent`. Both count bytes since the start
// and only grow; queued - sent never exceeds the ring.
struct RelayRing {
    unsigned char bytes[kRelayRingSize];
    std::atomic<std::uint64_t> queued{0};   // sources, under lock
    std::atomic<std::uint64_t> sent{0};     // fan-out thread
    TextLock lock;                          // between the sources only; held for one copy
    std::atomic<int> idle{0};               // fan-out thread: waiting for a first byte
    std::atomic<int> overrun{0};            // a source found no room; the fan-out drops every client
    std::atomic<EventHandle> wake{kNoEvent};  // made once and kept; set on a first byte, a full window, a stop
    std::atomic<int> running{0};            // main starts and stops the fan-out thread
    ThreadHandle thread = kNoThread;        // main
    std::atomic<std::uint64_t> windows{0};  // fan-out thread: windows sent
    std::atomic<std::uint64_t> bytesSent{0};  // fan-out thread: bytes sent, summed over the clients
    std::atomic<std::uint64_t> overruns{0}; // sources: bytes that found the ring full
};

struct FeedAccumulator {
    unsigned char bytes[kFeedBufferSize];       // feed sender (under FeedLock)
    int fill = 0;                               // feed sender (under FeedLock)
    std::atomic<int> flushTicks{0};             // main (tick) and feed sender
    unsigned char blockBuffer[kFeedBufferSize]; // feed sender
    unsigned char frameWork[kFrameWorkSize];    // feed sender
};

// The exchange log on its way to its writer thread, which alone touches the file:
// the source's reader (the one producer) appends whole chunks of log lines or
// nothing; head and tail count bytes since the start and only grow.
struct RecordQueue {
    char bytes[kRecordQueueSize];
    std::atomic<std::uint64_t> head{0};     // writer: bytes written to the file
    std::atomic<std::uint64_t> tail{0};     // reader thread: bytes queued
    std::atomic<EventHandle> wake{kNoEvent};  // set on every append and at the stop
};

struct DisplayRing {
    char slots[kRingSlots][kRingSlotSize] = {};  // any thread; under lock
    int write = 0;                                // under lock
    int shown = 0;                                // under lock
    TextLock lock;                                // guards slots and both indexes
};

struct AppState {
    // ---- start-up and shutdown (main thread) ----
    void* appInstance = nullptr;
    void* mainWindow = nullptr;
    void* zlibModule = nullptr;
    CompressFn zlibCompress = nullptr;
    CompressFn zlibUncompress = nullptr;
    ThreadHandle reconnectThread = kNoThread;
    std::atomic<int> reconnectStop{0};           // main sets it at shutdown
    std::int64_t startedMs = 0;                  // main: monotonicMs when the station started

    // ---- settings (main thread writes; others read the atomics) ----
    char settingsDir[kPathSize] = "";
    char startDir[kPathSize] = "";
    char comPortName[kNameSize] = "COM1";
    char comBaudText[kNameSize] = "9600";
    std::atomic<std::uint16_t> serverPort{7777};
    // initsocket.ini line 3: a second relay port serving the stream in the other
    // format (Beast frames from a text receiver, '@' lines from a binary one); 0 off.
    std::atomic<std::uint16_t> otherPort{0};
    char relayAddress[kNameSize] = "";           // the relay listens here; "" = every interface
    std::atomic<int> binaryMode{0};
    std::atomic<int> compressFeed{0};
    int flagsLine3 = 0;
    int flagsLine4 = 60;
    std::atomic<double> receiverLat{169913.52};  // arc-seconds
    std::atomic<double> receiverLon{142661.52};  // arc-seconds
    char receiverName[kNameSize] = "Rostov-on-Don";  // under nameLock
    TextLock nameLock;
    std::atomic<std::int32_t> levelThreshold{50};
    std::atomic<std::int32_t> compressInterval{50};
    std::atomic<std::int32_t> timerFrequency{12000000};

    // ---- the stream's one frame parser (the source's reader only: serial reader or TCP source) ----
    // One scan of the receiver's bytes collects both forms at once, a text line and
    // a binary frame; the decoder, the counters and the look take what it finds.
    unsigned char decoderLine[kDecoderLineSize] = {};  // the text line being collected, kept part
    int decoderPos = 0;              // the kept part's length
    int decoderDiscard = 0;          // the text line being collected is dropped at its end
    int decoderLineLength = 0;       // the line's bytes so far, kept or not (saturates)
    int decoderLinePrintable = 1;    // ... all of them printable ASCII
    int decoderLineHanded = 0;       // its first byte was handed on (the live gate was open)
    unsigned char decoderLastByte = 0;  // the byte before, 0 right after an escaped pair
    int decoderLastHanded = 0;       // ... and whether it was handed on
    int decoderEscapeHeld = 0;       // that byte is a 0x1A outside a frame: stray unless it starts one
    unsigned char decoderFrame[kLongestFrame] = {};  // the binary frame being collected, unescaped
    int decoderFramePos = 0;         // its length so far; 0 while none is
    int decoderFrameRaw = 0;         // its bytes on the line, escapes included
    int decoderFrameHanded = 0;      // its escape was handed on
    // Where the decoder hands every Mode S frame it cuts: the station's look, wired
    // by the station at start (main) before the source's reader runs; the reader
    // calls it. nullptr: nobody looks (tests and benches of the decoder alone).
    std::atomic<ModesFrameSink> modesFrameSink{nullptr};

    // ---- the live source and playback, never both at once ----
    // A playback asks the live source to pause and takes over once the source's
    // reader has handed on its frame in progress; when the playback ends, the
    // reader resumes at the next frame start. Meanwhile the reader drops the
    // live bytes (counted) but still counts what the source sends.
    std::atomic<int> liveGate{kLiveFlowing};     // playback asks; the source's reader moves it on
    std::atomic<int> liveHanding{0};              // the source's reader inside a hand-on
    std::atomic<std::uint64_t> liveHeldBack{0};   // source's reader: live bytes kept back for playbacks
    int cutEscape = 0;    // source's reader: the last live byte was an escape not yet paired
    int cutLineEnd = 0;   // source's reader: the last live byte ended a text line
    int cutSkipped = 0;   // source's reader: bytes kept back while resuming

    // ---- serial source ----
    std::atomic<SerialHandle> comHandle{kNoSerial};  // main (open, close); reader polls it
    int comOpenCount = 0;                            // main
    std::atomic<int> comBusy{0};                     // main: the last open found the port held by another
    // A write that the receiver's port or connection did not take within its
    // deadline: the writers then abandon theirs at once until sourceWriteRetryMs,
    // and it is said once. A new port or connection starts afresh.
    std::atomic<int> sourceWriteStuck{0};            // any writer
    std::atomic<std::int64_t> sourceWriteRetryMs{0}; // any writer
    ThreadHandle comReader = kNoThread;              // main
    std::atomic<int> comLost{0};                     // reader: the port has gone; main clears
    int comRetry = 0;                                // main: 1 while comPortName is retried
    int comRetryTicks = 0;                           // main: ticks since the last try
    int comStartTicks = -1;                          // main: ticks until "#43-12" after a reopen
    // A first start (no init.ini) whose receiver search decides the port: start-up
    // leaves the port closed and the search's end opens it. Main.
    int comAwaitsSearch = 0;

    // ---- TCP source (chosen instead of the serial source) ----
    TcpSourceSlot tcp;

    // ---- what came from each source, and the checks of it ----
    SourceStats stats[kSourceCount];
    ChecksState checks;

    // ---- feed link and encoder ----
    LinkSlot feed;
    std::atomic<int> rawFeed{0};  // main (feed server commands)
    FeedAccumulator acc;
    FeedQueue feedQueue;

    // ---- relay server (main thread; sends from the fan-out thread) ----
    ClientTable clients;
    RelayRing relayRing;
    RelayRing otherRing;                      // the other-format port's clients' stream
    std::atomic<Socket> listenSocket{kNoSocket};
    std::atomic<Socket> otherListenSocket{kNoSocket};
    std::atomic<int> otherPortBusy{0};        // main: the last start could not listen on otherPort
    int otherToldState = 0;                   // main: as relayToldState, for otherPort
    unsigned otherToldPort = 0;
    int relayWanted = 0;                      // main: started and not yet stopped
    std::atomic<int> relayPortBusy{0};        // main: the last start could not listen
    int relayRetryTicks = 0;                  // main
    // What the relay last told of its port (uiRelayChanged): a busy port is tried
    // every 5 s and told once, until it listens or moves. Main.
    int relayToldState = 0;                   // 0 nothing yet, 1 listening, 2 busy
    unsigned relayToldPort = 0;
    char relayToldAddress[kNameSize] = "";
    // The clients of the last connect.list line written this run; under listLock.
    char listedPeers[kMaxClients * (kPeerSize + 1) + 2] = "";
    int listWritten = 0;
    TextLock listLock;

    // ---- monitor display ----
    DisplayRing ring;

    // ---- receiver clock annotation ----
    std::atomic<int> showLines{1};         // main (key '4')
    std::atomic<int> relativeTime{0};      // main (key '5', kCmdRelativeTime)
    std::atomic<int> clockRefTaken{0};     // main clears, reader sets
    std::uint64_t clockRefReceiver = 0;    // reader
    std::int64_t clockRefComputer = 0;     // reader

    // ---- recording and playback ----
    // The main thread opens recordFile and hands it to the record writer thread,
    // which alone writes and closes it; recordFile stays set while the recording
    // runs. The reader queues log lines into recordQueue, counted in recordWriters,
    // and a stop waits for that count to fall to 0 before it ends the writer.
    std::atomic<std::FILE*> recordFile{nullptr};
    std::atomic<int> recordWriters{0};
    RecordQueue recordQueue;
    std::atomic<int> recordFailed{0};           // reader (queue full) or writer (disk); main stops
    std::atomic<int> recordStop{0};             // main: the writer ends once the queue is empty
    ThreadHandle recordThread = kNoThread;      // main
    std::atomic<std::FILE*> playFile{nullptr};  // main opens, playback thread closes
    std::atomic<int> playState{kPlayStop};  // main (start, stop), playback (kPlayEnded at end)
    std::atomic<std::int32_t> exchangeTick{0};  // main (timer, start), playback (pacing)
    char recordFileName[kFileNameSize] = "";
    char playFileName[kFileNameSize] = "";
    ThreadHandle playThread = kNoThread;    // main
    // Where playback writes the bytes it plays: the receiver's port, wired by the
    // station at start-up (main, before any playback thread exists).
    int (*playbackPortWrite)(const void* data, int count) = nullptr;

};

extern AppState app;

// Bounded copy of a zero-terminated text into a fixed field; always terminates.
// Returns the number of characters copied.
int copyText(char* dest, int capacity, const char* source);

// Copies count bytes (at most size) into a ring of size bytes, starting at byte
// `at` counted since the ring's start, wrapping at its end.
void ringCopyIn(void* ring, std::size_t size, std::uint64_t at, const void* data, std::size_t count);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int hexDigitValue(char c);

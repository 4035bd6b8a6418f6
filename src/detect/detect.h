// The receiver finder: which serial port has a receiver, at which speed, sending
// binary escape frames or text lines. A port counts as a receiver only by Mode S
// frames whose parity checks (DF11/17/18, at least kDetectLeastFrames in one
// second of listening); noise, a modem, a GPS's NMEA lines or a wrong speed never
// do. Nothing is ever written to a port here, and each port's settings are put
// back as they were before it is closed.
//
// Threads: detectStart runs the ports on threads of their own (kDetectParallel at
// a time); the caller polls the ports' states and reads a port's result once its
// state is kDetectDone. One DetectRun is used by one caller at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

// The speeds tried, in order: 3,000,000 first (the binary receivers' own speed,
// and the busiest line, so a receiver there is seen soonest), 115,200 next (the
// usual speed of text receivers and this program's own default), then 921,600,
// 1,000,000 and 230,400, the others receivers are sold with.
inline constexpr int kDetectSpeeds = 5;
extern const unsigned long kDetectSpeedOrder[kDetectSpeeds];
inline constexpr int kDetectListenMs = 1000;
inline constexpr int kDetectLeastFrames = 5;
// A port that gives no byte at all at the first two speeds gives none at any:
// a line that carries anything shows bytes (or framing errors) at every speed.
inline constexpr int kDetectSilentSpeeds = 2;
inline constexpr int kDetectParallel = 8;
inline constexpr int kDetectMaxPorts = 64;

// What a stretch of bytes held, by form.
struct DetectCounts {
    std::uint32_t bytes = 0;
    std::uint32_t binaryFrames = 0, binaryChecked = 0, binaryGood = 0;  // Mode S; checked: DF11/17/18
    std::uint32_t textFrames = 0, textChecked = 0, textGood = 0;
    std::uint32_t nmeaLines = 0;  // '$' lines whose checksum fits
};

// The two framings at once, as the bytes come; fixed size, no allocation.
struct DetectScanner {
    DetectCounts counts;
    // Binary escape frames.
    bool escape = false;
    int frameNeed = 0, framePos = 0;
    unsigned char frame[24] = {};
    // Text lines.
    int linePos = 0;
    bool lineLost = false;
    char line[96] = {};
};
void detectScanReset(DetectScanner& s);
void detectScanBytes(DetectScanner& s, const unsigned char* bytes, int count);

enum DetectVerdict {
    kDetectReceiver,  // found: speed and form below
    kDetectBusy,      // another program holds it
    kDetectOurs,      // this program reads it now: left alone
    kDetectNoOpen,    // could not be opened
    kDetectNmea,      // NMEA lines: a GPS
    kDetectNoise,     // bytes, but nothing like a receiver
    kDetectSilent,    // no byte at all
};

struct DetectResult {
    int verdict = kDetectNoise;
    unsigned long baud = 0;
    int binary = 0;
    double framesPerSecond = 0;
    double goodPercent = 0;  // of the DF11/17/18 frames, those whose parity checks
};

inline constexpr int kDetectWaiting = 0, kDetectListening = 1, kDetectDone = 2;

struct DetectPort {
    SerialPortInfo info{};
    int ours = 0;  // set by the caller: the program reads this port now
    std::atomic<int> state{kDetectWaiting};
    std::atomic<unsigned long> tryingBaud{0};
    DetectResult result;  // the port's thread; read once state is kDetectDone
};

struct DetectRun {
    DetectPort ports[kDetectMaxPorts];
    int count = 0;
    std::atomic<int> next{0};
    std::atomic<int> cancel{0};
    ThreadHandle threads[kDetectParallel] = {};
    int listenMs = kDetectListenMs;
};

// Listens to one port at each speed in turn (blocks up to kDetectSpeeds listens).
void detectPort(DetectPort& port, int listenMs, const std::atomic<int>* cancel);
// Starts the run over run.ports[0..count); returns at once.
void detectStart(DetectRun& run);
// Ports done so far; the run is over when it equals count.
int detectDone(const DetectRun& run);
// Waits for every port's thread (after a cancel, within one read turn).
void detectWait(DetectRun& run);
// The receiver to use: the one receiver found, or the busiest of several; -1 none.
int detectChosen(const DetectRun& run);
// "COM7: 3 000 000 бод, двоичный поток, 4 210 кадров/с, CRC верны 99,8 %" and
// the like, with shown as the port's name. Windows-1251.
void detectResultText(const DetectPort& port, const char* shown, char* out, int capacity);

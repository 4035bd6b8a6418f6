// The receiver clock estimator: measures the real rate of the receiver's 48-bit
// frame counter against the computer's monotonic clock, so that the owner can be
// told "measured about 12.00 MHz, set 20.00 MHz", and notices counter resets and
// jumps (two receivers on one line, a receiver that restarts its counter).
//
// Owns one ReceiverClock of fixed size: the unwrapped counter, one sample per
// computer second over the last 10 minutes, the current fit and the jumps of the
// last minute. Nothing is allocated. Single-threaded: the source's reader thread
// owns the struct and calls every function here; whatever other threads need
// (the measured rate, the jump count) the caller publishes through its own atomics.
#pragma once

#include <cstdint>

// What receiverClockAdd says about one frame.
inline constexpr int kClockSteady = 0;
// The counter restarted near zero (a receiver restart): the measurement starts afresh.
inline constexpr int kClockReset = 1;
// The counter ran backwards by more than a second's worth (not a 48-bit wrap) or
// forward far faster than the computer's clock: the measurement starts afresh from
// this frame and the jump is counted.
inline constexpr int kClockJump = 2;

// One computer second's best frame: the one that arrived least late against the
// current rate, since late frames only ever add delay.
struct ReceiverClockSample {
    double seconds;       // arrival, computer seconds since the measurement's first frame
    double ticks;         // unwrapped counter since the measurement's first frame
    std::int64_t second;  // whole computer second since the first frame
};

inline constexpr int kClockWindowSeconds = 600;
inline constexpr int kClockJumpSeconds = 60;

struct ReceiverClock {
    int started;
    std::uint64_t maxTicks;      // highest unwrapped count seen (reordered frames lag it)
    std::int64_t maxTicksUs;     // computer time the highest count arrived
    std::uint64_t originTicks;   // the measurement's first frame
    std::int64_t originUs;
    // The open computer second: its best frame so far.
    std::int64_t openSecond;
    int openValid;
    double openSeconds, openTicks, openDelay;
    double selectHz;  // rate that ranks frames by lateness: the last fit, or the setting
    // Closed seconds, oldest at head, count of them; a restart just empties it.
    ReceiverClockSample samples[kClockWindowSeconds];
    int head, count;
    double hz;  // published: 0 until 60 s of samples are in
    // Jumps per wall second of the monotonic clock, for the last minute.
    std::int64_t jumpSecond[kClockJumpSeconds];
    int jumpCount[kClockJumpSeconds];
    std::int64_t jumpsTotal, resetsTotal;
};

void receiverClockReset(ReceiverClock* c);

// One frame: its 48-bit counter value, seen at computer time nowUs (monotonic,
// microseconds, never going back). expectedHz: the rate the user set; it tells a
// jump from the flow of time until a measurement exists, and 0 or less counts as
// 12 MHz. A zero counter (a receiver that stamps no time) is ignored. Returns
// kClockSteady, kClockReset or kClockJump; the first frame after a reset or a jump
// is the new measurement's origin. O(1) per frame; once per computer second, when
// the second closes, a refit over at most 600 samples.
int receiverClockAdd(ReceiverClock* c, std::uint64_t timestamp, std::int64_t nowUs, double expectedHz);

// The measured rate in Hz, refreshed as each computer second closes, once the
// closed samples cover 60 computer seconds (at least 10 of them holding frames);
// 0 before that and again after a reset or a jump.
double receiverClockHz(const ReceiverClock* c);

// Jumps (not resets) reported within the last 60 s of the monotonic clock.
int receiverClockJumps(const ReceiverClock* c, std::int64_t nowUs);

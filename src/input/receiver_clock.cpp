#include "input/receiver_clock.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr std::uint64_t kMask48 = (std::uint64_t{1} << 48) - 1;
constexpr double kDefaultHz = 12e6;
// The measurement is shown once its samples cover this much computer time.
constexpr std::int64_t kPublishSeconds = 60;
constexpr int kPublishSamples = 10;
// Forward steps beyond kForwardRate times the computer's elapsed time plus
// kForwardSlack seconds are jumps: the rate may be off by the factor before a
// measurement exists (12 MHz set, 20 MHz real), and a burst hands over frames
// that the computer sees at once.
constexpr double kForwardRate = 4.0;
constexpr double kForwardSlack = 2.0;
// Trimming keeps delays within this many robust deviations of the median, but
// never narrower than kTrimFloor seconds, or a clean clock would trim itself empty.
constexpr double kTrimDeviations = 3.0;
constexpr double kTrimFloor = 0.5e-3;
constexpr int kTrimPasses = 8;

// The step from the highest count to raw, taken the short way round 2^48, so that
// a wrap and a frame reordered across a wrap both come out as small steps.
std::int64_t step48(std::uint64_t raw, std::uint64_t from) {
    std::uint64_t d = (raw - from) & kMask48;
    return d >= (std::uint64_t{1} << 47) ? static_cast<std::int64_t>(d) - (std::int64_t{1} << 48)
                                         : static_cast<std::int64_t>(d);
}

const ReceiverClockSample& sampleAt(const ReceiverClock* c, int i) {
    return c->samples[(c->head + i) % kClockWindowSeconds];
}

struct Line {
    double hz;
    double offset;  // ticks at 0 s
    int used;
};

double delayOf(const ReceiverClockSample& s, const Line& l) { return s.seconds - (s.ticks - l.offset) / l.hz; }

// Least squares ticks = hz * seconds + offset over the samples whose delay against
// `around` lies within [lo, hi] (all of them when around is null). Centred sums:
// the raw products of ten minutes of 20 MHz ticks lose the slope to rounding.
Line fitLine(const ReceiverClock* c, const Line* around, double lo, double hi) {
    Line l{0, 0, 0};
    double sx = 0, sy = 0;
    int n = 0;
    for (int i = 0; i < c->count; ++i) {
        const ReceiverClockSample& s = sampleAt(c, i);
        if (around) {
            double d = delayOf(s, *around);
            if (d < lo || d > hi) continue;
        }
        sx += s.seconds;
        sy += s.ticks;
        ++n;
    }
    if (n < 2) return l;
    double mx = sx / n, my = sy / n, sxx = 0, sxy = 0;
    for (int i = 0; i < c->count; ++i) {
        const ReceiverClockSample& s = sampleAt(c, i);
        if (around) {
            double d = delayOf(s, *around);
            if (d < lo || d > hi) continue;
        }
        sxx += (s.seconds - mx) * (s.seconds - mx);
        sxy += (s.seconds - mx) * (s.ticks - my);
    }
    if (!(sxx > 0)) return l;
    l.hz = sxy / sxx;
    l.offset = my - l.hz * mx;
    l.used = n;
    return l;
}

// The plain fit, then again and again: drop the samples whose delay strays from
// the median delay (seconds whose every frame came late, a corrupt stamp) and
// refit. A few late seconds early on tilt the first line so much that the next
// ones still look in place; each pass narrows in, until the kept set holds.
Line robustFit(const ReceiverClock* c) {
    Line l = fitLine(c, nullptr, 0, 0);
    double delays[kClockWindowSeconds];
    for (int pass = 0; pass < kTrimPasses && l.used >= 5 && l.hz > 0; ++pass) {
        for (int i = 0; i < c->count; ++i) delays[i] = delayOf(sampleAt(c, i), l);
        int mid = c->count / 2;
        std::nth_element(delays, delays + mid, delays + c->count);
        double median = delays[mid];
        for (int i = 0; i < c->count; ++i) delays[i] = std::fabs(delays[i] - median);
        std::nth_element(delays, delays + mid, delays + c->count);
        double width = std::max(kTrimDeviations * 1.4826 * delays[mid], kTrimFloor);
        Line next = fitLine(c, &l, median - width, median + width);
        if (next.used < 3 || !(next.hz > 0)) break;
        bool settled = next.used == l.used;
        l = next;
        if (settled) break;
    }
    return l;
}

void closeSecond(ReceiverClock* c, double expectedHz) {
    if (c->count == kClockWindowSeconds) {
        c->head = (c->head + 1) % kClockWindowSeconds;
        --c->count;
    }
    while (c->count > 0 && sampleAt(c, 0).second <= c->openSecond - kClockWindowSeconds) {
        c->head = (c->head + 1) % kClockWindowSeconds;
        --c->count;
    }
    c->samples[(c->head + c->count) % kClockWindowSeconds] = {c->openSeconds, c->openTicks, c->openSecond};
    ++c->count;
    c->openValid = 0;

    Line l = robustFit(c);
    // A rough early fit still ranks frames better than a wrong setting does; a wild
    // one (three samples, all late) does not.
    if (l.used >= 3 && l.hz > expectedHz / 10 && l.hz < expectedHz * 10) c->selectHz = l.hz;
    std::int64_t covered = c->openSecond - sampleAt(c, 0).second + 1;
    c->hz = (covered >= kPublishSeconds && c->count >= kPublishSamples && l.hz > 0) ? l.hz : 0;
}

void restart(ReceiverClock* c, std::uint64_t raw, std::int64_t nowUs, double expectedHz) {
    c->started = 1;
    c->maxTicks = raw;
    c->maxTicksUs = nowUs;
    c->originTicks = raw;
    c->originUs = nowUs;
    c->openSecond = 0;
    c->openValid = 1;
    c->openSeconds = 0;
    c->openTicks = 0;
    c->openDelay = 0;
    c->selectHz = expectedHz;
    c->head = 0;
    c->count = 0;
    c->hz = 0;
}

void countJump(ReceiverClock* c, std::int64_t nowUs) {
    std::int64_t second = nowUs / 1000000;
    int slot = static_cast<int>(((second % kClockJumpSeconds) + kClockJumpSeconds) % kClockJumpSeconds);
    if (c->jumpSecond[slot] != second) {
        c->jumpSecond[slot] = second;
        c->jumpCount[slot] = 0;
    }
    ++c->jumpCount[slot];
    ++c->jumpsTotal;
}

}  // namespace

void receiverClockReset(ReceiverClock* c) {
    *c = ReceiverClock{};
    for (std::int64_t& s : c->jumpSecond) s = INT64_MIN;
}

int receiverClockAdd(ReceiverClock* c, std::uint64_t timestamp, std::int64_t nowUs, double expectedHz) {
    std::uint64_t raw = timestamp & kMask48;
    if (raw == 0) return kClockSteady;
    if (!(expectedHz > 0)) expectedHz = kDefaultHz;
    if (!c->started) {
        restart(c, raw, nowUs, expectedHz);
        return kClockSteady;
    }

    double refHz = c->hz > 0 ? c->hz : expectedHz;
    std::int64_t step = step48(raw, c->maxTicks);
    double elapsed = static_cast<double>(std::max<std::int64_t>(0, nowUs - c->maxTicksUs)) / 1e6;
    double ahead = static_cast<double>(step);
    if (ahead < -refHz || ahead > refHz * (kForwardRate * elapsed + kForwardSlack)) {
        // A receiver that restarted counts from zero: far below where the count
        // stood, and showing no more time than has passed since the last frame
        // (with the same allowance as a forward step), however long it stayed
        // silent before its first frame. Anywhere else the counter is not one
        // clock.
        double counted = static_cast<double>(raw);
        int fell = ahead < -refHz || counted < refHz;
        int kind = fell && counted <= refHz * (kForwardRate * elapsed + kForwardSlack) ? kClockReset : kClockJump;
        restart(c, raw, nowUs, expectedHz);
        if (kind == kClockJump) countJump(c, nowUs);
        else ++c->resetsTotal;
        return kind;
    }

    std::uint64_t ticks = c->maxTicks + static_cast<std::uint64_t>(step);
    if (step > 0) {
        c->maxTicks = ticks;
        c->maxTicksUs = nowUs;
    }
    std::int64_t sinceUs = nowUs - c->originUs;
    std::int64_t second = sinceUs / 1000000;
    if (second > c->openSecond) {
        if (c->openValid) closeSecond(c, expectedHz);
        c->openSecond = second;
        c->openValid = 0;
    }
    double seconds = static_cast<double>(sinceUs) / 1e6;
    double counted = static_cast<double>(static_cast<std::int64_t>(ticks - c->originTicks));
    double delay = seconds - counted / c->selectHz;
    if (!c->openValid || delay < c->openDelay) {
        c->openValid = 1;
        c->openSeconds = seconds;
        c->openTicks = counted;
        c->openDelay = delay;
    }
    return kClockSteady;
}

double receiverClockHz(const ReceiverClock* c) { return c->hz; }

int receiverClockJumps(const ReceiverClock* c, std::int64_t nowUs) {
    std::int64_t second = nowUs / 1000000;
    int n = 0;
    for (int i = 0; i < kClockJumpSeconds; ++i)
        if (c->jumpSecond[i] > second - kClockJumpSeconds && c->jumpSecond[i] <= second) n += c->jumpCount[i];
    return n;
}

// The receiver clock estimator on made-up counter streams: the rate through jitter,
// bursts and reordering, a rate other than the one set, the 48-bit wrap, a counter
// reset, and two receivers' counters on one line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "input/receiver_clock.h"

namespace {

// One receiver as the computer sees it: about 300 frames a second, each 0-50 ms
// late, 1 % of them 200 ms late, about every 30 s a 2 s stall, one in 50 stamped
// up to 0.27 s before its neighbours (as a reordering recorder leaves them),
// handed over in order and in 100 ms bursts; from 20 s to 30 s a congested link
// holds every frame 0.3 s more.
struct Receiver {
    double hz = 12e6;
    std::int64_t base = 5'000'000'000'000LL;  // count at receiver second 0
    double setHz = 12e6;
};

struct Feed {
    std::mt19937 rng{7};
    double lastNow = 0;  // computer seconds; the computer's clock runs 1000 s ahead
    int seen[3] = {0, 0, 0};
    std::int64_t nowUs() const { return std::llround(lastNow * 1e6); }
};

void run(ReceiverClock* c, Feed& f, const Receiver& r, double from, double to) {
    std::uniform_real_distribution<double> unit(0, 1);
    std::exponential_distribution<double> gap(300);
    for (double t = from; t < to; t += gap(f.rng)) {
        double late = 0.05 * unit(f.rng) + (unit(f.rng) < 0.01 ? 0.2 : 0) + (unit(f.rng) < 1 / 9000.0 ? 2 : 0) +
                      (t >= 20 && t < 30 ? 0.3 : 0);
        double now = std::max(f.lastNow, std::ceil((1000 + t + late) * 10) / 10);
        double stamped = unit(f.rng) < 0.02 ? std::max(from, t - 0.27 * unit(f.rng)) : t;
        f.lastNow = now;
        auto ticks = static_cast<std::uint64_t>(r.base + std::llround(stamped * r.hz)) & 0xFFFFFFFFFFFFULL;
        ++f.seen[receiverClockAdd(c, ticks, std::llround(now * 1e6), r.setHz)];
    }
}

TEST(ReceiverClock, MeasuresTheRateOnlyOnceAMinuteIsIn) {
    for (double real : {12e6, 20e6}) {
        for (double set : {12e6, 20e6}) {
            ReceiverClock c;
            receiverClockReset(&c);
            Feed f;
            Receiver r{real, 5'000'000'000'000LL, set};
            run(&c, f, r, 0, 59.5);
            EXPECT_EQ(receiverClockHz(&c), 0) << real << " set " << set;
            run(&c, f, r, 59.5, 90);
            EXPECT_NEAR(receiverClockHz(&c) / real, 1, 3e-4) << real << " set " << set;
            EXPECT_EQ(f.seen[kClockReset] + f.seen[kClockJump] + receiverClockJumps(&c, f.nowUs()), 0);
        }
    }
}

TEST(ReceiverClock, AWrapOf48BitsChangesNothing) {
    // The same frames, once far from the top and once wrapping 30 s in.
    double hz[2];
    for (int wraps = 0; wraps < 2; ++wraps) {
        ReceiverClock c;
        receiverClockReset(&c);
        Feed f;
        Receiver r;
        r.base = wraps ? (std::int64_t{1} << 48) - static_cast<std::int64_t>(30 * r.hz) : 1'000'000'000LL;
        run(&c, f, r, 0, 90);
        EXPECT_EQ(f.seen[kClockReset] + f.seen[kClockJump], 0);
        hz[wraps] = receiverClockHz(&c);
    }
    EXPECT_GT(hz[0], 0);
    EXPECT_DOUBLE_EQ(hz[0], hz[1]);
}

TEST(ReceiverClock, AResetIsReportedOnceAndTheMeasurementStartsAgain) {
    ReceiverClock c;
    receiverClockReset(&c);
    Feed f;
    run(&c, f, Receiver{}, 0, 70);
    ASSERT_GT(receiverClockHz(&c), 0);
    // The receiver restarts 70 s in and counts again from 1 ms worth.
    Receiver rebooted{12e6, 12'000 - 70 * 12'000'000LL, 12e6};
    run(&c, f, rebooted, 70, 100);
    EXPECT_EQ(f.seen[kClockReset], 1);
    EXPECT_EQ(f.seen[kClockJump], 0);
    EXPECT_EQ(receiverClockHz(&c), 0);  // 30 s since the restart
    run(&c, f, rebooted, 100, 135);
    EXPECT_NEAR(receiverClockHz(&c) / 12e6, 1, 3e-4);
    EXPECT_EQ(f.seen[kClockReset], 1);

    // A receiver silent for 3 s from its restart on: its first frame shows 3 s of
    // counter, still a restart and not a jump.
    Receiver slow{12e6, -135 * 12'000'000LL, 12e6};
    run(&c, f, slow, 138, 140);
    EXPECT_EQ(f.seen[kClockReset], 2);
    EXPECT_EQ(f.seen[kClockJump], 0);
}

TEST(ReceiverClock, TwoReceiversOnOneLineJumpAndAreNotMeasured) {
    ReceiverClock c;
    receiverClockReset(&c);
    Feed f;
    Receiver a, b{12e6, 3'000'000'000'000LL, 12e6};
    // They take turns every 4 s for two minutes; then a alone.
    for (int turn = 0; turn < 30; ++turn) run(&c, f, turn % 2 ? b : a, turn * 4.0, turn * 4.0 + 4);
    EXPECT_GE(receiverClockJumps(&c, f.nowUs()), 10);
    EXPECT_EQ(f.seen[kClockReset], 0);
    EXPECT_EQ(receiverClockHz(&c), 0);
    run(&c, f, a, 120, 190);
    EXPECT_EQ(receiverClockJumps(&c, f.nowUs()), 0);  // aged out of the minute
    EXPECT_NEAR(receiverClockHz(&c) / 12e6, 1, 3e-4);
}

}  // namespace

// The receiver clock estimator: what it measures and what it costs.
//   accuracy on the real 60-second capture, its stamps given arrival times with
//   transport delay and bursts (skipped when ../shared/data is absent), and on
//   synthetic streams of 10 minutes, in ppm against the rate the stamps were made at;
//   cost per frame against a baseline in the same run that only unwraps and copies
//   the stamps, and against the decoder's cost per frame on the capture.
//
// Prints figures and ratios only; nothing here passes or fails.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/app_state.h"
#include "input/decoder.h"
#include "input/receiver_clock.h"

namespace {

constexpr std::uint64_t kMask48 = 0xFFFFFFFFFFFFULL;

struct Frame {
    std::uint64_t ticks;
    std::int64_t nowUs;
};

struct Capture {
    std::string bytes;
    std::vector<std::uint64_t> stamps;
    int byType[3] = {0, 0, 0};
    int escaped = 0;
    int junk = 0;  // bytes outside any frame
};

Capture loadCapture() {
    Capture c;
    std::ifstream in(std::string(BREVALINK_SOURCE_DIR) + "/../shared/data/beast-capture-60s.bin", std::ios::binary);
    c.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
    std::size_t n = c.bytes.size(), i = 0;
    while (i < n) {
        if (p[i] != 0x1A || i + 1 >= n || p[i + 1] < 0x31 || p[i + 1] > 0x33) {
            ++c.junk;
            ++i;
            continue;
        }
        int type = p[i + 1] - 0x31;
        std::size_t need = 7 + (type == 0 ? 2 : type == 1 ? 7 : 14);
        unsigned char body[21];
        std::size_t got = 0, j = i + 2;
        int esc = 0;
        while (got < need && j < n) {
            if (p[j] == 0x1A) {
                if (j + 1 < n && p[j + 1] == 0x1A) {
                    body[got++] = 0x1A;
                    j += 2;
                    ++esc;
                    continue;
                }
                break;  // a new frame begins: this one was cut short
            }
            body[got++] = p[j++];
        }
        if (got < need) {
            c.junk += static_cast<int>(j - i);
            i = j;
            continue;
        }
        std::uint64_t t = 0;
        for (int k = 0; k < 6; ++k) t = (t << 8) | body[k];
        c.stamps.push_back(t);
        ++c.byType[type];
        c.escaped += esc;
        i = j;
    }
    return c;
}

void describeCapture(const Capture& c) {
    const auto& s = c.stamps;
    int backward = 0;
    std::uint64_t largestBack = 0;
    for (std::size_t i = 1; i < s.size(); ++i)
        if (s[i] < s[i - 1]) {
            ++backward;
            largestBack = std::max(largestBack, s[i - 1] - s[i]);
        }
    auto [lo, hi] = std::minmax_element(s.begin(), s.end());
    double span = static_cast<double>(s.back() - s.front()) / 12e6;
    double fullSpan = static_cast<double>(*hi - *lo) / 12e6;
    std::printf("capture: %zu frames (%d Mode A/C, %d short, %d long), %d escaped 0x1A, %d stray bytes\n",
                s.size(), c.byType[0], c.byType[1], c.byType[2], c.escaped, c.junk);
    std::printf("capture: first to last stamp %.3f s, lowest to highest %.3f s, %d backward steps, largest %.3f s\n",
                span, fullSpan, backward, static_cast<double>(largestBack) / 12e6);
    bool asDocumented = s.size() == 13954 && c.byType[0] == 5026 && c.byType[1] == 4942 && c.byType[2] == 3986 &&
                        c.escaped == 1208 && backward == 1355 && std::fabs(span - 60.87) < 0.005 &&
                        std::fabs(static_cast<double>(largestBack) / 12e6 - 0.27) < 0.005;
    std::printf("capture: %s the data README\n", asDocumented ? "as described in" : "NOT as described in");
}

// Arrival times for stamps made at stampHz: each frame late by 0-30 ms, 1 % of
// them by 200 ms more, handed over in the order they were recorded and in 100 ms
// bursts (every frame waits for the next tenth of a second).
std::vector<Frame> deliver(const std::vector<std::uint64_t>& stamps, double stampHz, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<Frame> out;
    out.reserve(stamps.size());
    double last = 0;
    for (std::uint64_t t : stamps) {
        double ideal = 5000 + static_cast<double>(static_cast<std::int64_t>(t - stamps.front())) / stampHz;
        double late = 0.03 * unit(rng) + (unit(rng) < 0.01 ? 0.2 : 0);
        last = std::max(last, std::ceil((ideal + late) * 10) / 10);
        out.push_back({t & kMask48, std::llround(last * 1e6)});
    }
    return out;
}

// A receiver at realHz for `seconds`, about `rate` frames a second, 2 % of them
// stamped up to 0.27 s early (a reordering recorder); about every 30 s the
// transport stalls for 2 s (a frame 2 s late, and the ones behind it wait for it),
// and from 20 s to 30 s a congested link holds every frame 0.3 s more.
std::vector<std::uint64_t> synthetic(double realHz, double seconds, double rate, std::uint32_t seed,
                                     std::vector<double>* extraLate) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0, 1);
    std::exponential_distribution<double> gap(rate);
    std::vector<std::uint64_t> out;
    const double base = 7.0e12;
    for (double t = 0; t < seconds; t += gap(rng)) {
        double stamped = unit(rng) < 0.02 ? std::max(0.0, t - 0.27 * unit(rng)) : t;
        out.push_back(static_cast<std::uint64_t>(base + std::llround(stamped * realHz)));
        extraLate->push_back((unit(rng) < 1 / (30 * rate) ? 2.0 : 0.0) + (t >= 20 && t < 30 ? 0.3 : 0.0));
    }
    return out;
}

struct Outcome {
    double hz = 0;
    int resets = 0, jumps = 0;
};

Outcome feed(const std::vector<Frame>& frames, double setHz, std::size_t upTo) {
    auto c = std::make_unique<ReceiverClock>();
    receiverClockReset(c.get());
    Outcome o;
    for (std::size_t i = 0; i < upTo && i < frames.size(); ++i) {
        int r = receiverClockAdd(c.get(), frames[i].ticks, frames[i].nowUs, setHz);
        o.resets += r == kClockReset;
        o.jumps += r == kClockJump;
    }
    o.hz = receiverClockHz(c.get());
    return o;
}

double ppm(double measured, double real) { return measured > 0 ? (measured / real - 1) * 1e6 : NAN; }

void captureAccuracy(const Capture& cap) {
    if (cap.stamps.empty()) {
        std::printf("capture: ../shared/data/beast-capture-60s.bin absent, skipped\n");
        return;
    }
    describeCapture(cap);
    // The stamps were made at 12 MHz, so whatever the estimator says beyond that is its error.
    const int runs = 50;
    double worst = 0, sum = 0, worstSet20 = 0;
    int measured = 0, flagged = 0;
    for (int seed = 1; seed <= runs; ++seed) {
        std::vector<Frame> frames = deliver(cap.stamps, 12e6, static_cast<std::uint32_t>(seed));
        Outcome o = feed(frames, 12e6, frames.size());
        Outcome o20 = feed(frames, 20e6, frames.size());
        flagged += o.resets + o.jumps + o20.resets + o20.jumps;
        if (o.hz <= 0 || o20.hz <= 0) continue;
        ++measured;
        double e = ppm(o.hz, 12e6);
        sum += std::fabs(e);
        worst = std::max(worst, std::fabs(e));
        worstSet20 = std::max(worstSet20, std::fabs(ppm(o20.hz, 12e6)));
        if (seed == 1) std::printf("capture, delivery 1: measured %.1f Hz (%+.1f ppm)\n", o.hz, e);
    }
    std::printf("capture, %d deliveries (0-30 ms late, 1 %% 200 ms more, 100 ms bursts): measured in %d, "
                "mean |error| %.1f ppm, worst %.1f ppm; with 20 MHz set, worst %.1f ppm; resets+jumps %d\n",
                runs, measured, measured ? sum / measured : 0.0, worst, worstSet20, flagged);
}

void syntheticAccuracy() {
    struct Case {
        const char* name;
        double realHz, setHz, rate;
    } cases[] = {{"12 MHz receiver, 12 MHz set, 300 frames/s", 12e6 * (1 + 12.5e-6), 12e6, 300},
                 {"20 MHz receiver, 12 MHz set, 300 frames/s", 20e6 * (1 - 30e-6), 12e6, 300},
                 {"12 MHz receiver, 20 MHz set, 300 frames/s", 12e6, 20e6, 300},
                 {"12 MHz receiver, 12 MHz set, 5 frames/s", 12e6, 12e6, 5}};
    const double at[] = {61, 120, 300, 600};
    const int points = 4, runs = 20;
    for (const Case& k : cases) {
        double sum[points] = {}, worst[points] = {};
        int missing[points] = {}, flagged = 0;
        for (int seed = 1; seed <= runs; ++seed) {
            std::vector<double> extra;
            std::vector<std::uint64_t> stamps = synthetic(k.realHz, 601, k.rate, 100 + seed, &extra);
            // The stamps' own rate is k.realHz: deliver at it, with the stalls added.
            std::vector<Frame> frames = deliver(stamps, k.realHz, 200 + seed);
            for (std::size_t i = 0; i < frames.size(); ++i) {
                frames[i].nowUs += std::llround(extra[i] * 1e6);
                if (i > 0) frames[i].nowUs = std::max(frames[i].nowUs, frames[i - 1].nowUs);
            }
            auto c = std::make_unique<ReceiverClock>();
            receiverClockReset(c.get());
            int next = 0;
            for (const Frame& f : frames) {
                while (next < points && f.nowUs - frames[0].nowUs >= std::llround(at[next] * 1e6)) {
                    double e = ppm(receiverClockHz(c.get()), k.realHz);
                    if (std::isnan(e)) ++missing[next];
                    else {
                        sum[next] += std::fabs(e);
                        worst[next] = std::max(worst[next], std::fabs(e));
                    }
                    ++next;
                }
                flagged += receiverClockAdd(c.get(), f.ticks, f.nowUs, k.setHz) != kClockSteady;
            }
        }
        std::printf("synthetic, %s, %d runs, |error| mean/worst:", k.name, runs);
        for (int i = 0; i < points; ++i) {
            std::printf("  %3.0f s %.1f/%.1f ppm", at[i], runs > missing[i] ? sum[i] / (runs - missing[i]) : 0.0,
                        worst[i]);
            if (missing[i]) std::printf(" (%d not measured)", missing[i]);
        }
        std::printf("%s\n", flagged ? "  (resets or jumps!)" : "");
    }
}

template <class F>
double bestNsPerFrame(std::size_t frames, F&& pass) {
    double best = 1e30;
    for (int round = 0; round < 7; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        pass();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(frames));
    }
    return best;
}

void cost(const Capture& cap) {
    std::vector<double> extra;
    std::vector<std::uint64_t> stamps = synthetic(12e6, 600, 1000, 21, &extra);
    std::vector<Frame> frames = deliver(stamps, 12e6, 22);
    std::vector<Frame> copied(frames.size());
    auto c = std::make_unique<ReceiverClock>();

    // The baseline: unwrap each stamp against the highest so far and copy it out.
    double baseline = bestNsPerFrame(frames.size(), [&] {
        std::uint64_t high = frames[0].ticks;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            std::uint64_t d = (frames[i].ticks - high) & kMask48;
            std::int64_t step = d >= (std::uint64_t{1} << 47) ? static_cast<std::int64_t>(d) - (std::int64_t{1} << 48)
                                                              : static_cast<std::int64_t>(d);
            std::uint64_t u = high + static_cast<std::uint64_t>(step);
            if (step > 0) high = u;
            copied[i] = {u, frames[i].nowUs};
        }
        asm volatile("" : : "r"(copied.data()) : "memory");
    });
    int sink = 0;
    double estimator = bestNsPerFrame(frames.size(), [&] {
        receiverClockReset(c.get());
        for (const Frame& f : frames) sink += receiverClockAdd(c.get(), f.ticks, f.nowUs, 12e6);
        asm volatile("" : : "r"(c.get()) : "memory");
    });
    std::printf("cost, %zu frames over 600 s: estimator %.2f ns/frame, baseline (unwrap and copy) %.2f ns/frame, "
                "ratio %.1f (%.0f Hz measured, %d)\n",
                frames.size(), estimator, baseline, estimator / baseline, receiverClockHz(c.get()), sink);

    // One frame a second: every frame closes a second, so each costs a refit over
    // the window (up to 600 samples); the worst a single frame ever costs.
    std::vector<Frame> sparse;
    for (int i = 0; i < 1200; ++i)
        sparse.push_back({static_cast<std::uint64_t>(7e12 + 12e6 * i + (i % 7) * 1200.0),
                          1'000'000'000LL + i * 1'000'000LL + (i % 5) * 3000});
    double refit = bestNsPerFrame(sparse.size(), [&] {
        receiverClockReset(c.get());
        for (const Frame& f : sparse) sink += receiverClockAdd(c.get(), f.ticks, f.nowUs, 12e6);
        asm volatile("" : : "r"(c.get()) : "memory");
    });
    std::printf("cost: one frame a second for 20 minutes, each closing a second and refitting: %.1f us/frame\n",
                refit / 1000);

    if (cap.stamps.empty()) return;
    feedLockCreate();
    app.binaryMode = 1;
    app.feed.state = kLinkNotYet;
    app.levelThreshold = -1;  // the decoding alone, as decoder_bench's "sinks counted"
    app.showLines = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(cap.bytes.data());
    double decoder = bestNsPerFrame(cap.stamps.size(),
                                    [&] { decodeReceiverBytes(bytes, static_cast<int>(cap.bytes.size())); });
    std::printf("cost: decoder on the capture, one block, sinks counted: %.1f ns/frame; estimator/decoder %.3f\n",
                decoder, estimator / decoder);
}

}  // namespace

int main() {
    Capture cap = loadCapture();
    captureAccuracy(cap);
    syntheticAccuracy();
    cost(cap);
    return 0;
}

// Decoder throughput, one byte per call as the serial reader used to hand them over,
// on the real 60-second capture (or on built-in frames when it is absent).
// The baseline in the same run is a plain pass that only sums the bytes.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/app_state.h"
#include "input/decoder.h"
#include "net/relay_fanout.h"

namespace {

std::string loadStream() {
    std::ifstream in(std::string(BREVALINK_SOURCE_DIR) + "/../shared/data/beast-capture-60s.bin", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string bytes = s.str();
    if (!bytes.empty()) return bytes;
    // 10,000 long frames of a well-known CRC-valid message.
    const unsigned char frame[] = {0x1A, '3', 0, 1, 2, 3, 4, 5, 0x80, 0x8D, 0x48, 0x40, 0xD6, 0x20,
                                   0x2C, 0xC3, 0x71, 0xC3, 0x2C, 0xE0, 0x57, 0x60, 0x98};
    for (int i = 0; i < 10000; ++i) bytes.append(reinterpret_cast<const char*>(frame), sizeof frame);
    return bytes;
}

const std::string& stream() {
    static const std::string bytes = loadStream();
    return bytes;
}

void prepare(bool sinksOn) {
    feedLockCreate();
    app.binaryMode = 1;
    app.feed.state = kLinkNotYet;
    // Sinks off: the level gate is shut and lines are not shown, so only the
    // decoding itself is measured. Sinks on: the feed lock is taken for every line
    // and every line is stored in the display ring, as in the running program.
    app.levelThreshold = sinksOn ? 0 : -1;
    app.showLines = sinksOn ? 1 : 0;
}

void BM_Baseline_SumBytes(benchmark::State& state) {
    const std::string& s = stream();
    for (auto _ : state) {
        unsigned sum = 0;
        for (unsigned char c : s) {
            sum += c;
            benchmark::DoNotOptimize(sum);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.size());
}

void decodeByteAtATime(benchmark::State& state, bool sinksOn) {
    prepare(sinksOn);
    const std::string& s = stream();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    for (auto _ : state) {
        for (size_t i = 0; i < s.size(); ++i) decodeReceiverBytes(p + i, 1);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.size());
}

void BM_Decoder_OneByteCalls_SinksCounted(benchmark::State& state) { decodeByteAtATime(state, false); }
void BM_Decoder_OneByteCalls_SinksLive(benchmark::State& state) { decodeByteAtATime(state, true); }

void BM_Decoder_WholeBlock_SinksLive(benchmark::State& state) {
    prepare(true);
    const std::string& s = stream();
    for (auto _ : state)
        decodeReceiverBytes(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.size());
}

// The same with a client on the other-format port: every frame's line is also
// appended to that port's ring (its fan-out thread runs, with nobody to send to).
void BM_Decoder_WholeBlock_OtherFormatPort(benchmark::State& state) {
    prepare(true);
    app.otherPort = 1;
    startRelayFanout();
    app.clients.joined = 1;
    app.clients.joinedOther = 1;
    const std::string& s = stream();
    for (auto _ : state)
        decodeReceiverBytes(reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * s.size());
    app.clients.joined = 0;
    app.clients.joinedOther = 0;
    stopRelayFanout();
    app.otherPort = 0;
}

}  // namespace

BENCHMARK(BM_Baseline_SumBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decoder_OneByteCalls_SinksCounted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decoder_OneByteCalls_SinksLive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decoder_WholeBlock_SinksLive)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decoder_WholeBlock_OtherFormatPort)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

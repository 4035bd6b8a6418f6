// What the serial and the TCP source share.
#include "input/receiver.h"

#include <cstdio>

#include "core/app_state.h"
#include "input/decoder.h"
#include "input/stream_stats.h"
#include "net/feed_encoder.h"
#include "net/relay_fanout.h"
#include "record/exchange.h"

namespace {
constexpr std::int64_t kStuckWriteRestMs = 5000;
}  // namespace

void handOnReceiverBytes(int source, const unsigned char* block, int count) {
    relayToClients(block, count);
    feedOffer(block, count, FeedKind::kReceiverBytes);
    decodeReceiverBytes(block, count);
    logReceivedBytes(block, count);
    countSourceBytes(source, block, count, monotonicMs());
}

int receiverModeCommand(int value, char* out, int capacity) {
    int n = std::snprintf(out, static_cast<std::size_t>(capacity), "#43-%02X\n", value & 0xFF);
    return n < 0 ? 0 : (n < capacity ? n : capacity - 1);
}

int receiverWriteMayTry() { return monotonicMs() >= app.sourceWriteRetryMs.load(); }

int receiverWriteEnded(int ok) {
    if (ok) {
        app.sourceWriteStuck.store(0);
        return 0;
    }
    app.sourceWriteRetryMs.store(monotonicMs() + kStuckWriteRestMs);
    return !app.sourceWriteStuck.exchange(1);
}

void receiverWriteReset() {
    app.sourceWriteStuck.store(0);
    app.sourceWriteRetryMs.store(0);
}

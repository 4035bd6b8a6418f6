// Feed encoder. (Compression and framing arrive with the feed link; until then the
// feed goes out plain.)
#include "net/feed_encoder.h"

#include "app/app_state.h"

int sendWithRetry(Socket s, const unsigned char* data, int count) {
    int attempts = 0;
    for (;;) {
        int sent = sockSend(s, data, count);
        if (sent == count) return attempts;
        if (sent > 0) {
            data += sent;
            count -= sent;
        }
        if (++attempts > 15) return attempts;
        sleepMs(300);
        if (s == kNoSocket) return attempts;
    }
}

int feedSend(Socket s, const unsigned char* data, int count) { return sendWithRetry(s, data, count); }

int frameBlock(unsigned char, unsigned char*, int*) { return 1; }

void sendFeedIntroduction(Socket) {}

void handleFeedCommand(const unsigned char*, int) {}

void advanceFlushClock() {
    if (app.compressFeed.load()) app.acc.flushTicks.fetch_add(1);
}

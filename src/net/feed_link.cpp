// Feed link. (Placeholder definitions; connecting arrives with the distribution work.)
#include "net/feed_link.h"

#include "app/app_state.h"
#include "display/display.h"
#include "net/feed_encoder.h"

void linkConnect(void*, const char*) {}
void reconnectLoop(void*) {}
void onFeedLinkEvent(void*, Socket, long) {}
void dropLink() {}

void tickDuties() {
    advanceFlushClock();
    displayLine("", kDisplayShowNewest);
}

void startReconnectThread() {}
void stopReconnectThread() {}

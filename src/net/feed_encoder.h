// The feed encoder: the one way into the feed (feedOffer), the feed introduction,
// the feed data (plain, or staged in the FeedAccumulator and sent as
// zlib-compressed framed blocks) and the two commands the feed server sends back.
//
// feedSend runs on the sender's thread (the source's reader or playback) and always
// under FeedLock; the accumulator has no lock of its own. Feed data and the
// introduction go into the feed link's queue, never straight to the socket.
#pragma once

#include "platform/platform.h"

// What a feed sender hands over, which says when it goes to the feed.
enum class FeedKind {
    kRecordLine,     // a decoded record line: unless the server asked for raw bytes
    kReceiverBytes,  // the receiver's bytes as read: only while the server asks for them
    kPlayedBytes,    // played-back bytes: always, since playback decodes nothing
};

// The one entry point of feed data, for the decoder, the source's reader and
// playback. While the link is connected and the kind is wanted, takes FeedLock,
// waiting at most 5000 ms: a lock that cannot be had means another sender is
// stuck, and the data is then kept from the feed rather than sent beside it. Then
// feedSend. Never waits for the server. Returns 1 when the data was queued.
int feedOffer(const unsigned char* data, int count, FeedKind kind);

// Feed data for LINK_FEED, into its queue, staged and compressed when
// compressFeed is on. Caller holds FeedLock and has seen the link connected.
// Never blocks: a copy, and now and then one compression. Returns 0, or 1 when the
// link's queue refused a unit (the link is then dropped for a server that stopped
// taking data).
int feedSend(const unsigned char* data, int count);
// The tick's flush: once the compression interval has passed, whatever is staged
// goes out as one block even when no further feed data comes, so no line waits
// longer than the interval and one tick. Only while the link is connected; when a
// sender holds FeedLock it waits for the next tick. Main thread.
void flushStagedByTime();

// Frames payload (n bytes) into out: DLE STX type len-hi len-lo 0 payload DLE ETX,
// every 0x10 of type, length and payload doubled. out must hold 2 * n + 11 bytes;
// returns the block length. The feed frames into FeedAccumulator::frameWork and
// sends from there.
int frameBlockInto(unsigned char type, const unsigned char* payload, int n, unsigned char* out);

// Queues the four introduction lines (name, latitude, longitude, kind of data) for
// a new link. Reconnect thread, under FeedLock, into the emptied queue and before
// the link is marked connected, so they open its stream.
void sendFeedIntroduction();

// One received block from the feed server: switches rawFeed on the two exact
// commands, ignores anything else. Main thread.
void handleFeedCommand(const unsigned char* data, int count);

// One tick of the compression clock (while compressFeed is on). Main thread.
void advanceFlushClock();

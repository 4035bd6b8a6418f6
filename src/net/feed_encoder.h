// The feed encoder: the one TCP send primitive, the feed introduction, the feed
// data (plain, or staged in the FeedAccumulator and sent as zlib-compressed framed
// blocks) and the two commands the feed server sends back.
//
// feedSend runs on the sender's thread (serial reader or playback) and is always
// called under FeedLock; the accumulator has no lock of its own. Feed data and the
// introduction go into the feed link's queue, never straight to the socket.
#pragma once

#include "platform/platform.h"

// Sends all bytes: at most 16 send calls, 300 ms apart. Returns the number of calls
// that did not finish the data (0 = the first call sent everything, 16 = gave up).
// Blocks up to about 4.5 s, so only a thread for which a stall is harmless may use
// it: never the serial reader, playback or the main thread.
int sendWithRetry(Socket s, const unsigned char* data, int count);

// Feed data for LINK_FEED (the socket argument names the link; the bytes go into
// its queue), staged and compressed when compressFeed is on. Caller holds FeedLock
// and has seen the link connected. Never blocks: a copy, and now and then one
// compression. Returns 0, or 1 when the link's queue refused a unit (the link is
// then dropped for a server that stopped taking data).
int feedSend(Socket s, const unsigned char* data, int count);
// The tick's flush: once the compression interval has passed, whatever is staged
// goes out as one block even when no further feed data comes, so no line waits
// longer than the interval and one tick. Only while the link is connected; when a
// sender holds FeedLock it waits for the next tick. Main thread.
void flushStagedByTime();

// Frames the payload in buffer in place: DLE STX type len-hi len-lo 0 payload DLE
// ETX, every 0x10 of type, length and payload doubled. buffer must hold the framed
// block (at most 2 * length + 8 bytes). length: payload in, block out. Returns 1.
int frameBlock(unsigned char type, unsigned char* buffer, int* length);
// The same framing from payload (n bytes) into out, which must hold 2 * n + 11
// bytes; returns the block length. The feed frames into FeedAccumulator::frameWork
// this way and sends from there.
int frameBlockInto(unsigned char type, const unsigned char* payload, int n, unsigned char* out);

// Queues the four introduction lines (name, latitude, longitude, kind of data) for
// the new link on socket s. Reconnect thread, under FeedLock, into the emptied
// queue and before the link is marked connected, so they open its stream.
void sendFeedIntroduction(Socket s);

// One received block from the feed server: switches rawFeed on the two exact
// commands, ignores anything else. Main thread.
void handleFeedCommand(const unsigned char* data, int count);

// One tick of the compression clock (while compressFeed is on). Main thread.
void advanceFlushClock();

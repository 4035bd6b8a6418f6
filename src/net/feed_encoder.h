// The feed encoder: the one TCP send primitive, the feed introduction, the feed
// data (plain, or staged in the FeedAccumulator and sent as zlib-compressed framed
// blocks) and the two commands the feed server sends back.
//
// feedSend runs on the sender's thread (serial reader or playback) and is always
// called under FeedLock; the accumulator has no lock of its own.
#pragma once

#include "platform/platform.h"

// Sends all bytes: at most 16 send calls, 300 ms apart. Returns the number of calls
// that did not finish the data (0 = the first call sent everything, 16 = gave up).
// Blocks up to about 4.5 s. Any thread.
int sendWithRetry(Socket s, const unsigned char* data, int count);

// Sends feed data on LINK_FEED's socket, staging and compressing when compressFeed
// is on. Caller holds FeedLock and has seen the link connected. Its retries end
// once the link is dropped meanwhile. Returns the result of the last
// sendWithRetry-style send it made, 0 if none.
int feedSend(Socket s, const unsigned char* data, int count);

// Frames the payload in buffer in place: DLE STX type len-hi len-lo 0 payload DLE
// ETX, every 0x10 of type, length and payload doubled. buffer must hold the framed
// block (at most 2 * length + 8 bytes). length: payload in, block out. Returns 1.
int frameBlock(unsigned char type, unsigned char* buffer, int* length);
// The same framing from payload (n bytes) into out, which must hold 2 * n + 11
// bytes; returns the block length. The feed frames into FeedAccumulator::frameWork
// this way and sends from there.
int frameBlockInto(unsigned char type, const unsigned char* payload, int n, unsigned char* out);

// The four introduction lines (name, latitude, longitude, kind of data), each with
// its own sendWithRetry. Reconnect thread, before the link is marked connected.
void sendFeedIntroduction(Socket s);

// One received block from the feed server: switches rawFeed on the two exact
// commands, ignores anything else. Main thread.
void handleFeedCommand(const unsigned char* data, int count);

// One tick of the compression clock (while compressFeed is on). Main thread.
void advanceFlushClock();

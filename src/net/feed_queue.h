// The feed link's outbound queue (FeedQueue in AppState): every byte bound for the
// feed server passes through it in wire order, from the threads that make feed
// data to the link's own thread, which alone writes the socket. So a feed server
// that stalls costs the source's reader nothing but a copy.
//
// One producer at a time (the feed senders hold FeedLock; the link thread queues
// the introduction under FeedLock too) and one consumer (the link thread).
#pragma once

#include <cstdint>

// Appends one unit (a record line, a framed block, a chunk of raw bytes, an
// introduction line) whole, or nothing. 1 when queued. A unit that does not fit
// marks the queue overflowed and wakes the link thread, which drops the link;
// until the queue is emptied every further unit is refused, so the wire never
// has a hole in the middle of a connection. Caller holds FeedLock. Never blocks.
int feedQueuePut(const unsigned char* data, int count);
// The oldest queued bytes that lie together in the ring: their count (0 when the
// queue is empty) and where they start. Link thread.
int feedQueuePeek(const unsigned char** data);
// Marks count bytes from the front as written to the socket. Link thread.
void feedQueueTake(int count);
// Empties the queue and clears its overflow mark. Link thread, under FeedLock, once
// no feed sender can queue for the ended connection any more.
void feedQueueDiscard();
// Bytes waiting to be written. Any thread.
std::uint64_t feedQueueWaiting();

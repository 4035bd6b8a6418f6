// What every source of the receiver's bytes shares, the serial port and the TCP
// connection alike: where a block read goes, the receiver's mode command, and
// the rest after a write the receiver did not take.
#pragma once

#include <cstdint>

// Hands one block of source (kSourcePort or kSourceTcp) on, in the order every
// destination has always seen the bytes: relay clients, the raw feed, the
// decoder, the exchange log; then the stream's counters. The source's own thread
// (serial reader or TCP source); one source at a time. Never waits for a client,
// the feed server or a disk.
// While a playback runs (liveGate) the block is not handed on but kept back,
// counted in liveHeldBack; the reader pauses at the end of its frame in progress
// and resumes at a frame start.
void handOnReceiverBytes(int source, const unsigned char* block, int count);
// A new stream of the receiver's bytes (a connection made, the port opened): the
// decoder, the counters' scanners and the frame cut forget whatever the last one
// left half-built, so the first frame taken is one whose start was seen. The
// source's reader, before its first hand-on of the stream.
void beginReceiverStream();

// The readers gather: bytes that come less than kReceiverGatherMs after the last
// hand-on wait for the rest of that time in the port's or the socket's own buffer
// and go on together, so that a busy site (some 5,000 frames a second, most read
// one by one) wakes the reader, the decoder and the relay a few hundred times a
// second instead; the first byte after a quiet spell goes on at once. No byte
// waits longer than the window: the relay's clients see it as 2 ms at most.
inline constexpr int kReceiverGatherMs = 2;
// Called by a source's reader when a byte has come and before it takes what else
// is queued: sleeps what is left of the window since *handedUs (monotonicUs of the
// last hand-on, 0 none), then notes this hand-on's time there. Sleeps at most
// kReceiverGatherMs and waits for nothing else; returns the milliseconds slept.
int receiverGather(std::int64_t* handedUs);

// "#43-%02X\n" with value into out (16 bytes are enough); its length.
int receiverModeCommand(int value, char* out, int capacity);

// A write that ran out of time makes the writes after it give up at once for a
// while, so that playback and the keys go on at their pace instead of a second
// per write. receiverWriteMayTry: 1 when a write may go to the receiver now.
// receiverWriteEnded: its outcome; 1 when this was the first write that ran out
// of time (the caller says so once). receiverWriteReset: a new port or
// connection. Any thread.
int receiverWriteMayTry();
int receiverWriteEnded(int ok);
void receiverWriteReset();

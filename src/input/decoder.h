// The stream's one frame parser and the decoder on it: receiver bytes in, binary
// escape frames and text lines found in one scan (both forms at once, whatever the
// mode), and from them RecordLines out (text lines or binary frames, chosen by
// binaryMode as each one ends), the stream's counters and the Mode S look; and,
// while the other-format relay port has clients, each frame in the other form
// (a binary frame's record line, a '@' or '*' line's Beast frame) to them.
//
// Its state lives in AppState (decoderLine, decoderPos, decoderFrame and the rest
// of the parser's fields) and is touched only by the source's reader (serial
// reader or TCP source thread); any other caller must be serialised with it.
// Split-invariant: a block parses exactly as its bytes would one by one.
#pragma once

#include <cstdint>

// The live bytes of source (kSourcePort or kSourceTcp), scanned once: every frame
// and line goes to the stream's counters, and to the decoder when its first byte
// was handed on: block[handedFrom, handedTo) went on to the relay and the feed
// (handedFrom -1: the block before's last byte went on now as well); the rest was
// kept back for a playback. source -1 counts nothing. Blocks only where the
// decoder does.
void parseReceiverBytes(int source, const unsigned char* block, int count, int handedFrom, int handedTo,
                                 std::int64_t nowMs);

// Decodes count bytes in order, all of them handed on, counted nowhere; each
// finished RecordLine goes to the feed (under FeedLock, when the level gate is
// open, LINK_FEED is connected and rawFeed is 0) and then to showRecordLine.
// Blocks only on FeedLock (at most 5000 ms) and on the feed send. A count of 0 or
// less does nothing.
void decodeReceiverBytes(const unsigned char* bytes, int count);
// Forgets the line or frame being collected: the next one taken is one whose
// start comes after this call. Same thread rule as decodeReceiverBytes.
void restartDecoder();

// The escape that starts a binary frame (and is doubled inside one).
inline constexpr unsigned char kFrameEscape = 0x1A;
// The longest Beast frame made from a text line: escape, type, and every byte of
// timestamp, level and 14-byte payload doubled.
inline constexpr int kBeastFromLineSize = 2 + 2 * (6 + 1 + 14);
// A binary frame's length with its escape and type byte ('1' Mode A/C, '2' Mode S
// short, '3' Mode S long), unescaped; 0 for any other type byte.
int binaryFrameLength(unsigned char type);

// Hands one finished record line to the feed and the display, as the decoder does.
// Exposed for tests and for any other decoder-side caller on the reader thread.
void emitRecordLine(const char* line, int length, int feedGateOpen);

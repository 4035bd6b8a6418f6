// The stream decoder: receiver bytes in, RecordLines out (text lines or binary
// escape frames, chosen by binaryMode at every byte).
//
// Its state lives in AppState (decoderLine, decoderPos, decoderLastByte, decoderDiscard) and is
// touched only by the source's reader (serial reader or TCP source thread); any
// other caller must be serialised with it. Split-invariant: a block decodes exactly as its bytes would one by one.
#pragma once

// Decodes count bytes in order; each finished RecordLine goes to the feed (under
// FeedLock, when the level gate is open, LINK_FEED is connected and rawFeed is 0)
// and then to showRecordLine. Blocks only on FeedLock (at most 5000 ms) and on the
// feed send. A count of 0 or less does nothing.
void decodeReceiverBytes(const unsigned char* bytes, int count);
// Forgets the line or frame being collected: the next one taken is one whose
// start comes after this call. Same thread rule as decodeReceiverBytes.
void restartDecoder();

// The escape that starts a binary frame (and is doubled inside one).
inline constexpr unsigned char kFrameEscape = 0x1A;
// A binary frame's length with its escape and type byte ('1' Mode A/C, '2' Mode S
// short, '3' Mode S long), unescaped; 0 for any other type byte.
int binaryFrameLength(unsigned char type);

// Hands one finished record line to the feed and the display, as the decoder does.
// Exposed for tests and for any other decoder-side caller on the reader thread.
void emitRecordLine(const char* line, int length, int feedGateOpen);

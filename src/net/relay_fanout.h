// The relay's fan-out: the source's bytes reach the relay clients in windows of a
// few milliseconds, one send per client and window, instead of one send per block
// the receiver happened to deliver. The sources only copy into a ring
// (relayToClients); the fan-out thread sends.
#pragma once

// Copies the bytes into the ring for the fan-out thread and returns: never sends,
// never waits for a client. It waits only for another source's copy and, when the
// ring is full, up to kRelayRoomWaitMs for the fan-out thread to make room. With no
// client connected the bytes are not kept. A ring still full after that does not
// take the bytes and every client is dropped, so that no client is left with a
// hole in its stream. Any source thread.
void relayToClients(const unsigned char* data, int count);
// The same for the other-format port's clients: the stream's frames in the other
// form (Beast frames when the receiver speaks text, '@' lines when it speaks
// binary), one whole frame or line a call. The decoder, on the source's reader.
void relayOtherFormat(const unsigned char* data, int count);
// 1 while the other-format port has a client: the decoder converts only then.
int relayOtherFormatWanted();
// Starts the fan-out thread unless it runs (and the other-format port's, when
// that port is set); what the ring held before is for nobody and is passed over.
// Main thread.
void startRelayFanout();
// Sends what the rings still hold, then ends the fan-out threads (within one send
// round). Main thread, before the clients are closed.
void stopRelayFanout();

// The serial source: the receiver's port, its reader thread and the receiver
// commands. The port handle (comHandle) is opened and closed on the main thread;
// the reader thread runs while it is set and ends by itself once it is cleared.
#pragma once

// Opens and configures the port. 1 on success (comHandle set, comOpenCount + 1).
// Main thread.
int openComPort(const char* name);
// Clears comHandle, waits for the reader to end and for writes in progress, then
// closes the port. Returns 1. Main thread; blocks up to one reader turn.
int closeComPort();
// One blocking write on comHandle. Returns the write's success (1/0). Any thread.
int writeComPort(const void* data, int count);
// One blocking read of up to count bytes on comHandle (at most 140 ms for one
// byte); the number of bytes read, or -1 when the port has gone. Reader thread.
int readComPort(void* buffer, int count);
// Whatever is already queued at the port, up to capacity, without waiting.
// Reader thread.
int readComPortQueued(void* buffer, int capacity);

// The most the reader takes from the port in one turn.
inline constexpr int kComReadBlock = 4096;
// The reader thread's procedure: each turn waits for one byte (at most 140 ms, then
// 10 ms rest when none came), lets the bytes gather within the readers' window
// (receiverGather), takes what else is queued and hands the block to the
// relay, the raw feed, the decoder and the log, in that order. Ends when comHandle
// is cleared, or sets comLost and ends when the port has gone.
void comReaderThread(void* unused);
// The same loop taking at most blockCapacity bytes per turn (1 = one byte per read
// and per hand-off). Reader thread; comReaderThread runs it with kComReadBlock.
void comReaderLoop(int blockCapacity);

// Start-up: open the configured port, start its reader, tell the front end and
// send the receiver's start commands (text mode only); on failure the front end is
// told why and the user gets a message box. Main thread; blocks about 1 s in
// text mode (the pause between the two start commands).
void startSerialSource();
// Shutdown: the stop command (text mode), the 1 s pause, close, and the reader's
// end. Main thread.
void stopSerialSource();
// The serial dialog's OK: close (waiting for the reader), take the new texts, open
// again; no receiver commands. Main thread.
void reopenComPort(const char* portName, const char* baudText);
// Every tick: a port the reader found gone is closed (the source is lost) and,
// like a port that failed to open at start-up or from the dialog, tried again by
// name every 2 s; once it opens the reader runs again and, in text mode,
// the receiver gets its two start commands, the second 1 s after the first.
// Main thread; never waits (an open of a missing port fails at once).
void comPortTick();

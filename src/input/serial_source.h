// The serial source: the receiver's port, its reader thread and the receiver
// commands. The port handle (comHandle) is opened and closed on the main thread;
// the reader thread runs while it is set and ends by itself once it is cleared.
#pragma once

// Opens and configures the port. 1 on success (comHandle set, comOpenCount + 1).
// Main thread.
int openComPort(const char* name);
// Closes the port and clears comHandle. Returns 1. Main thread.
int closeComPort();
// One blocking write on comHandle. Returns the write's success (1/0). Any thread.
int writeComPort(const void* data, int count);
// One blocking read of up to count bytes on comHandle (at most 140 ms for one
// byte); the number of bytes read. Reader thread.
int readComPort(void* buffer, int count);
// The reader thread's procedure: hands each block read to the relay, the raw feed,
// the decoder and the log, in that order. Ends when comHandle is cleared.
void comReaderThread(void* unused);

// Start-up: open the configured port, start its reader, set the tray icon and send
// the receiver's start commands (text mode only); on failure the tray shows the
// failed state and the user gets a message box. Main thread; blocks about 1 s in
// text mode (the pause between the two start commands).
void startSerialSource();
// Shutdown: the stop command (text mode), the pause, close, and the reader's end.
// Main thread.
void stopSerialSource();
// The serial dialog's OK: close (waiting for the reader), take the new texts, open
// again; no receiver commands. Main thread.
void reopenComPort(const char* portName, const char* baudText);
// Keys '0'..'3': "#43-%02X\n" with value. Main thread; a closed port writes nothing.
void sendReceiverMode(int value);

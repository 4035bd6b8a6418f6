// The TCP source: the receiver's bytes from a TCP port (a decoder's Beast or AVR
// output, ser2net in front of a serial receiver, another relay) instead of the
// serial port. Its own thread resolves the host, connects, reads and hands the
// bytes on exactly as the serial reader does; a failed connect is tried again
// after 2 s, doubling up to 30 s, a connection that ends or stays silent is
// replaced the same way. Or the thread listens (inittcp.ini line 3 = 2) and reads
// whoever connects, a receiver or decoder that pushes its stream: one peer at a
// time, any other accepted and closed at once; a peer that goes or falls silent
// is closed and the next awaited. The main thread starts and stops the thread,
// writes the receiver commands and tells the front end what happened.
#pragma once

// Starts a thread for the host and port in use, ending the one before (as
// stopTcpSource does). Main thread; needs the network stack started.
void startTcpSource();
// Ends the source: a hand-on in progress finishes first, and from then on the
// thread hands nothing on; the connection is closed by the thread within one
// read slice (100 ms). A thread inside the system's name resolution cannot be
// interrupted: it is left to end by itself and touches nothing after. Main
// thread; blocks at most about 1 s.
void stopTcpSource();
// Shutdown: in text mode the receiver's stop command and its 1 s, then
// stopTcpSource. Main thread.
void stopTcpSourceAtShutdown();
// One write to the connection, all of it within the serial write deadline, or
// nothing more of it. 1 when it was all taken; 0 without a connection. Main and
// playback threads.
int writeTcpSource(const void* data, int count);
// Every tick: a new connection is told to the front end and, in text mode, gets
// the receiver's start commands (the second a tick-counted second later); a lost
// connection or a failed attempt is told once. Releases threads left in name resolution once they have ended. Main thread;
// never waits.
void tcpSourceTick();

// "host:port" of the source in use (an IPv6 address in brackets); listening,
// "address:port" with 0.0.0.0 for every interface.
void tcpSourceName(char* out, int capacity);
// Status line 2 while the TCP source is chosen, "" otherwise. Any thread.
void writeTcpSourceStatus(char* out, int capacity);
// Why the last attempt or connection ended, for a journal line ("connection
// refused"); "" before any ended.
const char* tcpSourceEndText(int end);
// Whole seconds until the next attempt while the source waits (at least 1).
int tcpSourceRetrySeconds();

// The receiver's source as the station sees it: the serial port or the TCP
// connection, whichever inittcp.ini chooses; one of them runs at a time. Main
// thread unless a comment says otherwise.
#pragma once

#include <cstdint>

// A write to the chosen source (the receiver commands, playback). Any thread.
int writeReceiverPort(const void* data, int count);
// Keys '0'..'3': "#43-%02X\n" with value to the chosen source; nothing without
// an open port or a connection.
void sendReceiverMode(int value);
// Every tick: the retries of a lost port, the TCP source's news.
void receiverSourceTick();

// New TCP source settings (dialog OK, reload), chosen one of kTcpChoicePort,
// kTcpChoiceConnect and kTcpChoiceListen: with the choice switched, the
// source in use is closed (its reader or thread ended) before the other opens;
// with the TCP source chosen, a new host or port replaces the connection. No
// receiver commands beyond those of a new connection. A port that cannot open
// says so itself.
void applyTcpSource(int chosen, std::uint16_t port, const char* host);
// New serial settings (dialog OK, reload): the port is reopened with them while
// it is the source; otherwise they are kept for when it is chosen again.
void applySerialSource(const char* portName, const char* baudText);

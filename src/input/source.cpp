// The chosen source of the receiver's bytes. Main thread, but for the writes.
#include "input/source.h"

#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "input/receiver.h"
#include "input/serial_source.h"
#include "input/tcp_source.h"

int writeReceiverPort(const void* data, int count) {
    return app.tcp.chosen.load() ? writeTcpSource(data, count) : writeComPort(data, count);
}

void sendReceiverMode(int value) {
    char command[16];
    writeReceiverPort(command, receiverModeCommand(value, command, sizeof command));
}

void receiverSourceTick() {
    comPortTick();
    tcpSourceTick();
}

void applyTcpSource(int chosen, std::uint16_t port, const char* host) {
    int was = app.tcp.chosen.load();
    // Connecting and listening are both the TCP source: one replaces the other.
    int moved = port != app.tcp.port.load() || (chosen && was && chosen != was);
    {
        TextGuard guard(app.tcp.textLock);
        moved = moved || std::strcmp(host, app.tcp.host) != 0;
        copyText(app.tcp.host, kNameSize, host);
    }
    app.tcp.port.store(port);
    if (chosen && !was) {
        // The port stops being the source: its reader ends before the
        // connection's first byte can be handed on, and it is retried no more.
        app.comRetry = 0;
        app.comStartTicks = -1;
        if (app.comHandle.load() != kNoSerial) closeComPort();
        app.tcp.chosen.store(chosen);
        startTcpSource();
    } else if (chosen && moved) {
        // The thread running goes first: it must not see the new choice.
        stopTcpSource();
        app.tcp.chosen.store(chosen);
        startTcpSource();
    } else if (!chosen && was) {
        stopTcpSource();
        app.tcp.chosen.store(kTcpChoicePort);
        reopenComPort(app.comPortName, app.comBaudText);
    }
    uiRefreshStatus();
}

void applySerialSource(const char* portName, const char* baudText) {
    if (!app.tcp.chosen.load()) {
        reopenComPort(portName, baudText);
        return;
    }
    if (portName != app.comPortName) copyText(app.comPortName, kNameSize, portName);
    if (baudText != app.comBaudText) copyText(app.comBaudText, kNameSize, baudText);
}

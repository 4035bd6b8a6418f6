// The serial source: the receiver's port, its reader thread and the receiver
// commands.
//
// Threads: the main thread opens and closes the port (start-up, the serial dialog's
// OK, shutdown) and writes the key commands; the playback thread writes through
// writeComPort; the reader thread reads. comHandle is the reader's only signal: it
// tests it before every turn and ends once it is cleared. Closing clears comHandle
// first, joins the reader and waits out writes in progress, and only then releases
// the handle, so no read or write can land on a handle that has been closed (or on
// whatever the system hands out next under the same number).
//
// A port that goes away (a USB adapter unplugged, the receiver power-cycled) makes
// the reader flag comLost and end; the main thread's tick then closes it and tries
// the same name every 2 s, as it does after an open that failed, so a station
// comes back by itself once its receiver does. The tray shows the state; no box is
// shown for a port lost while running, since nobody may be there to close it.
#include "input/serial_source.h"

#include <atomic>
#include <cstdio>

#include "core/app_state.h"
#include "config/settings.h"
#include "core/frontend.h"
#include "input/receiver.h"

namespace {

// Writers inside writeComPort right now (main and playback threads).
std::atomic<int> portWriters{0};

int writeText(const char* text) {
    int n = 0;
    while (text[n]) ++n;
    return writeComPort(text, n);
}

void writeMode(int value) {
    char command[16];
    writeComPort(command, receiverModeCommand(value, command, sizeof command));
}

void startReader() { app.comReader = threadStart(comReaderThread, nullptr); }

// Says why the port is not open: held by another program, or not there.
void sayNotOpen() { uiSourceChanged(app.comBusy.load() ? SourceState::kBusy : SourceState::kCannotOpen); }

constexpr int kRetryTicks = 20;       // 2 s between tries of a lost or missing port
constexpr int kStartPauseTicks = 10;  // the receiver's 1 s between its two start commands

// From now on the tick tries comPortName every 2 s until it opens.
void retryLater() {
    app.comRetry = 1;
    app.comRetryTicks = 0;
}

}  // namespace

int openComPort(const char* name) {
    int busy = 0;
    SerialHandle h = serialOpen(name, parseSettingSpeed(app.comBaudText), &busy);
    app.comBusy.store(h == kNoSerial && busy);
    if (h == kNoSerial) return 0;
    receiverWriteReset();
    app.comHandle.store(h);
    ++app.comOpenCount;
    return 1;
}

int closeComPort() {
    SerialHandle h = app.comHandle.exchange(kNoSerial);
    if (app.comReader != kNoThread) {
        // The reader sees the cleared handle within one read time-out (140 ms) plus
        // whatever its current hand-off takes.
        threadJoin(app.comReader);
        app.comReader = kNoThread;
    }
    app.comLost.store(0);
    while (portWriters.load() > 0) sleepMs(1);
    serialClose(h);
    return 1;
}

int writeComPort(const void* data, int count) {
    // Counted before the handle is read: closeComPort clears the handle first and
    // then waits for the count, so a write either sees no handle or finishes first.
    portWriters.fetch_add(1);
    SerialHandle h = app.comHandle.load();
    int ok = 0, stuckNow = 0;
    if (h != kNoSerial && receiverWriteMayTry()) {
        ok = serialWrite(h, data, count);
        stuckNow = receiverWriteEnded(ok);
    }
    portWriters.fetch_sub(1);
    // Said outside the count: the window may carry the notice out on the main
    // thread, which could be waiting in closeComPort for that count.
    if (stuckNow) uiNotice("Порт приемника не принимает данные: запись в порт прервана");
    return ok;
}

int readComPort(void* buffer, int count) { return serialRead(app.comHandle.load(), buffer, count); }

int readComPortQueued(void* buffer, int capacity) {
    return serialReadQueued(app.comHandle.load(), buffer, capacity);
}

void comReaderLoop(int blockCapacity) {
    unsigned char block[kComReadBlock];
    if (blockCapacity < 1) blockCapacity = 1;
    if (blockCapacity > kComReadBlock) blockCapacity = kComReadBlock;
    // A port opened anew starts wherever the receiver is in its stream.
    beginReceiverStream();
    std::int64_t handedUs = 0;
    while (app.comHandle.load() != kNoSerial) {
        int n = readComPort(block, 1);
        if (n < 0) {
            // The port has gone; the main thread closes it and retries it by name.
            app.comLost.store(1);
            return;
        }
        if (n == 0) {
            sleepMs(10);
            continue;
        }
        if (blockCapacity > 1) {
            receiverGather(&handedUs);
            n += readComPortQueued(block + n, blockCapacity - n);
        }
        handOnReceiverBytes(kSourcePort, block, n);
    }
}

void comReaderThread(void*) { comReaderLoop(kComReadBlock); }

void startSerialSource() {
    if (!openComPort(app.comPortName)) {
        app.comHandle.store(kNoSerial);
        sayNotOpen();
        uiMessageBox(1, "Не удалось открыть СОМ ПОРТ", app.comPortName, kBoxOk);
        retryLater();
        return;
    }
    startReader();
    uiSourceChanged(SourceState::kOpened);
    if (app.binaryMode.load() == 0) {
        writeText("#00\n");
        sleepMs(1000);  // the receiver's own pace between the two start commands
        writeMode(0x12);
    }
}

void stopSerialSource() {
    bool open = app.comHandle.load() != kNoSerial;
    bool stopSent = true;
    if (open && app.binaryMode.load() == 0) stopSent = writeText("#43-00\n") != 0;
    // Lets the receiver take the stop command before the line drops; a port that
    // did not take the command has nothing to let go, and shutdown goes on.
    if (stopSent) sleepMs(1000);
    if (open) closeComPort();
    app.comHandle.store(kNoSerial);
    app.comRetry = 0;
    app.comStartTicks = -1;
}

void reopenComPort(const char* portName, const char* baudText) {
    // The port chosen now replaces any being retried, and any a first start's
    // search was to open.
    app.comRetry = 0;
    app.comAwaitsSearch = 0;
    app.comStartTicks = -1;
    if (app.comHandle.load() != kNoSerial) closeComPort();
    if (portName != app.comPortName) copyText(app.comPortName, kNameSize, portName);
    if (baudText != app.comBaudText) copyText(app.comBaudText, kNameSize, baudText);
    if (openComPort(app.comPortName)) {
        startReader();
        uiSourceChanged(SourceState::kOpened);
        return;
    }
    app.comHandle.store(kNoSerial);
    sayNotOpen();
    const char* text = app.comOpenCount > 0 ? "Не удалось открыть СОМ ПОРТ\nПопробуйте перезапустить эту программу"
                                            : "Не удалось открыть СОМ ПОРТ\n";
    uiMessageBox(1, text, app.comPortName, kBoxOk);
    retryLater();
}

void comPortTick() {
    if (app.comLost.load() && app.comHandle.load() != kNoSerial) {
        closeComPort();  // the reader has ended already
        app.comStartTicks = -1;
        uiSourceChanged(SourceState::kLost);
        retryLater();
    }
    if (app.comStartTicks > 0 && --app.comStartTicks == 0) {
        app.comStartTicks = -1;
        if (app.comHandle.load() != kNoSerial) writeMode(0x12);
    }
    if (!app.comRetry || ++app.comRetryTicks < kRetryTicks) return;
    app.comRetryTicks = 0;
    if (!openComPort(app.comPortName)) return;
    app.comRetry = 0;
    startReader();
    uiSourceChanged(SourceState::kOpened);
    // The receiver may have been power-cycled: it gets the start commands again,
    // the second one a tick-counted second later so the window never waits.
    if (app.binaryMode.load() == 0) {
        writeText("#00\n");
        app.comStartTicks = kStartPauseTicks;
    }
}

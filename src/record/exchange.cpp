// Exchange recording and playback.
//
// Recording: the main thread opens and closes recordFile (command 201, shutdown);
// the serial reader thread appends to it through logReceivedBytes. The reader
// counts itself in recordWriters before it looks at the file, and a close takes
// the file away first and then waits for that count to fall to 0, so a line is
// never written to a file that is being or has been closed, and no lock is held
// while a slow disk takes a write.
//
// Playback: the main thread opens playFile and starts the playback thread
// (command 202); the thread owns the file from then on, closes it when it ends and
// sets playState to 100 as its very last act. The main thread only asks it to stop
// (playState 0) and, at shutdown, joins it.
#include "record/exchange.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "display/display.h"
#include "input/serial_source.h"
#include "net/feed_encoder.h"
#include "net/relay_server.h"
#include "record/log_line.h"

namespace {

constexpr int kRecordCommand = 201;
constexpr int kPlaybackCommand = 202;
constexpr int kPlayRunning = 1;
constexpr int kPlayStop = 0;
constexpr int kPlayEnded = 100;
constexpr int kPlayLineLimit = 1023;
constexpr int kFeedLockWaitMs = 5000;
constexpr int kPacingPollMs = 10;
// Bytes formatted and written per pass.
constexpr int kLogChunk = 256;

void showStopped(int commandId, const char* itemText) {
    setTitleState("[] ");
    uiSetMenuItemText(commandId, itemText);
    uiCheckMenuItem(commandId, 0);
}

// One played byte: the serial port, the feed (raw, under FeedLock, only while the
// link is connected), then the relay clients. Playback thread; blocks in the port
// write, up to 5000 ms for FeedLock and in the sends' retries.
void playByte(unsigned char byte) {
    writeComPort(&byte, 1);
    if (app.feed.state.load() == kLinkConnected) {
        if (feedLockAcquire(kFeedLockWaitMs)) {
            if (app.feed.state.load() == kLinkConnected) feedSend(app.feed.socket.load(), &byte, 1);
            feedLockRelease();
        }
    }
    relayToClients(&byte, 1);
}

// Waits until exchangeTick has reached tick, polling every 10 ms; returns early
// when a stop is asked for. Playback thread.
void waitForTick(std::int32_t tick) {
    while (tick > app.exchangeTick.load() && app.playState.load() == kPlayRunning) sleepMs(kPacingPollMs);
}

// The playback thread: plays the log line by line at its recorded pace until the
// end of the file or a stop (playState 0), then puts the menu and title back and
// ends with playState 100. Blocks in the pacing wait and in playByte.
void playbackThread(void*) {
    std::FILE* file = app.playFile.load();
    char line[kPlayLineLimit + 1];
    unsigned char byte = 0;
    std::int32_t tick = 0;
    std::int32_t previousTick = 0;
    while (file && app.playState.load() == kPlayRunning) {
        // A read that reaches the end of the file ends playback, so a last line
        // without its line end is not played.
        if (!readPlayLine(file, line, sizeof line)) break;
        parseLogLine(line, &byte, &tick);
        if (previousTick == 0) {
            app.exchangeTick = tick;
        } else {
            waitForTick(tick);
        }
        // A stop during the wait still plays this byte; the loop then ends.
        playByte(byte);
        previousTick = tick;
    }
    // The window updates come first, while playFile still says "playing": they
    // wait for the main thread, and the main thread joins this thread only once
    // playFile is cleared, so the two never wait for each other.
    showStopped(kPlaybackCommand, "&Считать из файла");
    if (file) std::fclose(file);
    app.playFile = nullptr;
    app.playState = kPlayEnded;
}

void suggestedLogName(char* out, int capacity) {
    UtcTime t;
    utcNow(&t);
    formatLogFileName(t.year, t.month, t.day, t.hour, t.minute, t.second, out, capacity);
}

// Takes the recording file out of use and closes it once a write in progress has
// finished. Main thread; waits (sleeping) for at most one chunk's write.
void closeRecordFile() {
    std::FILE* file = app.recordFile.exchange(nullptr);
    while (app.recordWriters.load() > 0) sleepMs(1);
    if (file) std::fclose(file);
}

void stopRecording() {
    closeRecordFile();
    showStopped(kRecordCommand, "&Записать в файл");
}

}  // namespace

void logReceivedBytes(const unsigned char* data, int count) {
    if (!data || count <= 0) return;
    app.recordWriters.fetch_add(1);
    std::FILE* file = app.recordFile.load();
    char text[kLogChunk * kLogLineSize];
    while (file && count > 0) {
        int take = count < kLogChunk ? count : kLogChunk;
        std::int32_t tick = app.exchangeTick.load();
        int length = 0;
        for (int i = 0; i < take; ++i) length += formatLogLine(data[i], tick, text + length);
        std::fwrite(text, 1, static_cast<std::size_t>(length), file);
        // Each block reaches the file at once: a log is read while it grows, and
        // what was received survives a crash.
        std::fflush(file);
        data += take;
        count -= take;
    }
    app.recordWriters.fetch_sub(1);
}

int commandRecord() {
    // recordFile is only ever changed on this thread.
    if (app.recordFile.load()) {
        stopRecording();
        return 1;
    }
    if (app.playFile.load()) return 0;  // the dispatcher refuses this case first

    char suggested[kFileNameSize];
    suggestedLogName(suggested, sizeof suggested);
    char chosen[kFileNameSize] = "";
    if (!uiChooseSaveFile(suggested, chosen, sizeof chosen) || chosen[0] == '\0') return 0;
    if (std::FILE* existing = std::fopen(chosen, "rb")) {
        std::fclose(existing);
        if (!uiMessageBox(1, "Такой файл уже существует.\nПереписать?", "Вимание", kBoxYesNo)) return 0;
    }
    app.exchangeTick = 0;
    std::FILE* file = std::fopen(chosen, "wb");
    if (!file) return 0;
    copyText(app.recordFileName, sizeof app.recordFileName, chosen);
    app.recordFile.store(file);
    setTitleState("Протоколирование обмена");
    uiSetMenuItemText(kRecordCommand, "&Прекратить запись");
    uiCheckMenuItem(kRecordCommand, 1);
    return 1;
}

int commandPlayback() {
    if (app.playFile.load()) {
        app.playState = kPlayStop;  // the thread ends itself and cleans up
        return 1;
    }
    if (app.recordFile.load()) return 0;  // the dispatcher refuses this case first

    char chosen[kFileNameSize] = "";
    if (!uiChooseOpenFile(app.playFileName, chosen, sizeof chosen) || chosen[0] == '\0') return 0;
    copyText(app.playFileName, sizeof app.playFileName, chosen);
    // A previous playback thread has already let go of its file and has nothing
    // left to do but end; collect it.
    if (app.playThread != kNoThread) {
        threadJoin(app.playThread);
        app.playThread = kNoThread;
    }
    app.exchangeTick = 0;
    std::FILE* file = std::fopen(chosen, "rb");
    if (!file) return 0;
    app.playFile = file;
    setTitleState("Чтение из файла");
    uiSetMenuItemText(kPlaybackCommand, "&Прекратить чтение");
    uiCheckMenuItem(kPlaybackCommand, 1);
    app.playState = kPlayRunning;
    app.playThread = threadStart(playbackThread, nullptr);
    if (app.playThread == kNoThread) {
        // No thread to end it: undo here, so nothing waits for a playback that
        // never ran.
        std::fclose(file);
        app.playFile = nullptr;
        showStopped(kPlaybackCommand, "&Считать из файла");
        app.playState = kPlayEnded;
        return 0;
    }
    return 1;
}

void stopPlaybackAndWait() {
    if (app.playState.load() == kPlayRunning) app.playState = kPlayStop;
    // The thread sets playState to 100 as its last act; joining waits for exactly that
    // and releases the handle.
    if (app.playThread != kNoThread) {
        threadJoin(app.playThread);
        app.playThread = kNoThread;
    }
}

void closeExchangeFiles() {
    closeRecordFile();
    // A playback thread still running owns its file: end it first.
    stopPlaybackAndWait();
    if (std::FILE* f = app.playFile.exchange(nullptr)) std::fclose(f);
}

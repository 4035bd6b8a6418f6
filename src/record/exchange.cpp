// Exchange recording and playback.
//
// Recording: the main thread opens the file (kCmdRecord) and hands it to a writer
// thread of its own, which alone writes and closes it. The serial reader formats
// its log lines into recordQueue and returns: a slow SD card or network drive
// never holds up the relay or the feed. The reader counts itself in recordWriters
// before it looks at recordFile, and a stop takes recordFile away first and waits
// for that count to fall to 0 (a copy, microseconds), then lets the writer empty
// the queue and end. A queue the disk lets fill, or a write that fails (a full
// disk), stops the recording from the tick, with a notice; the log then ends with
// the last whole chunk it got, never with a hole.
//
// Playback: the main thread opens playFile and starts the playback thread
// (kCmdPlayback); the thread owns the file from then on, closes it when it ends and
// sets playState to kPlayEnded as its very last act. The main thread only asks it to stop
// (kPlayStop) and, at shutdown, joins it.
#include "record/exchange.h"

#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/command_ids.h"
#include "core/frontend.h"
#include "net/feed_encoder.h"
#include "net/push.h"
#include "net/relay_fanout.h"
#include "record/log_line.h"

namespace {

constexpr int kPlayLineLimit = 1023;
constexpr int kPacingPollMs = 10;
// The most bytes of one tick handed on together (a serial reader's turn).
constexpr int kPlayBlockLimit = 4096;
// Bytes formatted and queued per pass.
constexpr int kLogChunk = 256;
// Why a recording failed (recordFailed).
constexpr int kRecordQueueFull = 1;
constexpr int kRecordDiskFailed = 2;
// A stop waits this long for the writer to empty the queue; a disk that takes
// longer is left to its writer, which closes the file when it can.
constexpr int kRecordStopWaitMs = 3000;
constexpr int kWriterWaitMs = 100;
// A playback waits this long for the live source to finish its frame in
// progress, and only when the source has sent anything in the last second.
constexpr int kPauseWaitMs = 500;
constexpr std::int64_t kLiveRecentMs = 1000;

// A playback starts: the live source hands on its frame in progress and then
// keeps its bytes back. Waits up to kPauseWaitMs for that frame's end, and only
// for a source that has sent in the last second; then for a hand-on in progress.
// 1 when a live source is open. Playback thread, before its first byte.
int pauseLiveSource() {
    int source = app.tcp.chosen.load() ? kSourceTcp : kSourcePort;
    int open = app.tcp.chosen.load() ? app.tcp.socket.load() != kNoSocket : app.comHandle.load() != kNoSerial;
    std::int64_t last = app.stats[source].lastByteMs.load(std::memory_order_relaxed);
    int recent = last != 0 && monotonicMs() - last < kLiveRecentMs;
    // A source still looking for its frame start after the last playback has
    // handed nothing on since: it pauses where it is.
    int resuming = kLiveResuming;
    if (!app.liveGate.compare_exchange_strong(resuming, kLivePaused)) app.liveGate.store(kLivePausing);
    std::int64_t deadline = monotonicMs() + kPauseWaitMs;
    while (recent && app.liveGate.load() == kLivePausing && monotonicMs() < deadline) sleepMs(1);
    // A source that sends no frame end in time is paused where it is; its reader
    // may be inside a hand-on that began before.
    int expected = kLivePausing;
    app.liveGate.compare_exchange_strong(expected, kLivePaused);
    while (app.liveHanding.load() > 0) sleepMs(1);
    return open;
}

// The playback has ended: the live source hands on again from its next frame
// start. Playback thread; never waits.
void resumeLiveSource() { app.liveGate.store(kLiveResuming); }

// The bytes played since the last wait: they leave together, as a reader hands on
// what came within its window, not as one send per byte to every client.
struct PlayBlock {
    unsigned char bytes[kPlayBlockLimit];
    int count = 0;
};

// Hands the block on: the serial port, the feed (raw, whatever the server asked
// for), then the relay clients and the push targets. Playback thread; blocks in
// the port write (at most its deadline) and up to 5000 ms for FeedLock.
void playBlock(PlayBlock& block) {
    if (block.count == 0) return;
    if (app.playbackPortWrite) app.playbackPortWrite(block.bytes, block.count);
    feedOffer(block.bytes, block.count, FeedKind::kPlayedBytes);
    relayToClients(block.bytes, block.count);
    pushToTargets(block.bytes, block.count);
    block.count = 0;
}

// Waits until exchangeTick has reached tick, polling every 10 ms; returns early
// when a stop is asked for. What was played before goes first, so that no byte
// waits for a later one's tick. Playback thread.
void waitForTick(std::int32_t tick, PlayBlock& played) {
    if (tick > app.exchangeTick.load()) playBlock(played);
    while (tick > app.exchangeTick.load() && app.playState.load() == kPlayRunning) sleepMs(kPacingPollMs);
}

// The playback thread: plays the log line by line at its recorded pace until the
// end of the file or a stop (kPlayStop), then tells the front end it ended and
// ends with playState kPlayEnded. The bytes of one tick leave as one block.
// Blocks in the pacing wait and in playBlock.
void playbackThread(void*) {
    std::FILE* file = app.playFile.load();
    char line[kPlayLineLimit + 1];
    PlayBlock played;
    unsigned char byte = 0;
    std::int32_t tick = 0;
    std::int32_t previousTick = 0;
    // The live source's bytes and the played ones would mix byte by byte: the
    // source waits, from the end of its frame in progress until the playback ends.
    std::uint64_t heldBefore = app.liveHeldBack.load();
    int live = pauseLiveSource();
    if (live) uiNotice("Источник приостановлен до конца чтения из файла");
    while (file && app.playState.load() == kPlayRunning) {
        // A read that reaches the end of the file ends playback, so a last line
        // without its line end is not played.
        if (!readPlayLine(file, line, sizeof line)) break;
        parseLogLine(line, &byte, &tick);
        if (previousTick == 0) {
            app.exchangeTick = tick;
        } else {
            waitForTick(tick, played);
        }
        // A stop during the wait still plays this byte; the loop then ends.
        if (played.count == kPlayBlockLimit) playBlock(played);
        played.bytes[played.count++] = byte;
        previousTick = tick;
    }
    playBlock(played);
    resumeLiveSource();
    if (live) {
        char text[160];
        std::snprintf(text, sizeof text, "Чтение из файла закончено, источник передает снова (задержано %llu байт)",
                      static_cast<unsigned long long>(app.liveHeldBack.load() - heldBefore));
        uiNotice(text);
    }
    // The front end hears of the end first, while playFile still says "playing":
    // the window carries it out on its main thread while this one waits, and the
    // main thread joins this thread only once playFile is cleared, so the two
    // never wait for each other.
    uiExchangeChanged(ExchangeEvent::kPlaybackEnded, app.playFileName);
    if (file) std::fclose(file);
    app.playFile = nullptr;
    app.playState = kPlayEnded;
}

void suggestedLogName(char* out, int capacity) {
    UtcTime t;
    utcNow(&t);
    formatLogFileName(t.year, t.month, t.day, t.hour, t.minute, t.second, out, capacity);
}

// The record writer thread: writes the queue to the file as it fills, each chunk
// flushed at once (a log is read while it grows, and what was received survives
// a crash), until a stop finds the queue empty; then closes the file. After a
// failed write it only empties the queue. Blocks in the disk's writes.
void recordWriterThread(void* argument) {
    std::FILE* file = static_cast<std::FILE*>(argument);
    RecordQueue& q = app.recordQueue;
    for (;;) {
        std::uint64_t head = q.head.load(std::memory_order_relaxed);
        if (q.tail.load(std::memory_order_acquire) == head) {
            // The stop comes after the reader's last append, so a tail read after
            // it is the final one.
            if (app.recordStop.load() && q.tail.load(std::memory_order_acquire) == head) break;
            eventWait(q.wake, kWriterWaitMs);
            continue;
        }
        std::uint64_t waiting = q.tail.load(std::memory_order_acquire) - head;
        std::size_t at = static_cast<std::size_t>(head % kRecordQueueSize);
        std::size_t n = kRecordQueueSize - at;
        if (n > waiting) n = static_cast<std::size_t>(waiting);
        if (!app.recordFailed.load() && (std::fwrite(q.bytes + at, 1, n, file) != n || std::fflush(file) != 0))
            app.recordFailed.store(kRecordDiskFailed);
        q.head.store(head + n, std::memory_order_release);
    }
    std::fclose(file);
}

// Appends one chunk of log lines whole, or nothing when it does not fit. Reader
// thread.
int queueLogText(const char* text, int length) {
    RecordQueue& q = app.recordQueue;
    std::uint64_t tail = q.tail.load(std::memory_order_relaxed);
    std::uint64_t used = tail - q.head.load(std::memory_order_acquire);
    if (static_cast<std::uint64_t>(length) > kRecordQueueSize - used) return 0;
    ringCopyIn(q.bytes, kRecordQueueSize, tail, text, static_cast<std::size_t>(length));
    q.tail.store(tail + static_cast<std::uint64_t>(length), std::memory_order_release);
    eventSet(q.wake);
    return 1;
}

// Takes the recording out of use, lets the writer write what is queued and close
// the file. Main thread; waits up to kRecordStopWaitMs for the disk.
void closeRecordFile() {
    std::FILE* file = app.recordFile.exchange(nullptr);
    while (app.recordWriters.load() > 0) sleepMs(0);
    if (!file) return;
    app.recordStop.store(1);
    eventSet(app.recordQueue.wake);
    if (threadJoinTimed(app.recordThread, kRecordStopWaitMs)) app.recordThread = kNoThread;
}

// Starts the writer on a file just created. 1 when it runs (recordFile is set).
int startRecordWriter(std::FILE* file) {
    if (app.recordThread != kNoThread) {
        // The last recording's disk has still not taken its data.
        if (!threadJoinTimed(app.recordThread, 0)) return 0;
        app.recordThread = kNoThread;
    }
    RecordQueue& q = app.recordQueue;
    if (q.wake == kNoEvent) q.wake = eventCreate();
    q.head.store(0);
    q.tail.store(0);
    app.recordFailed.store(0);
    app.recordStop.store(0);
    app.recordThread = threadStart(recordWriterThread, file);
    if (app.recordThread == kNoThread) return 0;
    app.recordFile.store(file);
    return 1;
}

void stopRecording() {
    closeRecordFile();
    uiExchangeChanged(ExchangeEvent::kRecordingStopped, app.recordFileName);
}

}  // namespace

void logReceivedBytes(const unsigned char* data, int count) {
    if (!data || count <= 0) return;
    app.recordWriters.fetch_add(1);
    int on = app.recordFile.load() != nullptr && !app.recordFailed.load();
    char text[kLogChunk * kLogLineSize];
    while (on && count > 0) {
        int take = count < kLogChunk ? count : kLogChunk;
        std::int32_t tick = app.exchangeTick.load();
        int length = 0;
        for (int i = 0; i < take; ++i) length += formatLogLine(data[i], tick, text + length);
        if (!queueLogText(text, length)) {
            // The disk has not kept up with a queue's worth: the log ends here
            // rather than go on with a hole in it.
            app.recordFailed.store(kRecordQueueFull);
            break;
        }
        data += take;
        count -= take;
    }
    app.recordWriters.fetch_sub(1);
}

void recordTick() {
    int failed = app.recordFailed.load();
    if (!failed || !app.recordFile.load()) return;
    stopRecording();
    uiNotice(failed == kRecordQueueFull ? "Запись в файл остановлена: диск не успевает записывать"
                                        : "Запись в файл остановлена: ошибка записи на диск");
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
    if (!startRecordWriter(file)) {
        std::fclose(file);
        uiNotice("Запись в файл не начата: предыдущая запись еще не закончена");
        return 0;
    }
    copyText(app.recordFileName, sizeof app.recordFileName, chosen);
    uiExchangeChanged(ExchangeEvent::kRecordingStarted, app.recordFileName);
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
    uiExchangeChanged(ExchangeEvent::kPlaybackStarted, app.playFileName);
    app.playState = kPlayRunning;
    app.playThread = threadStart(playbackThread, nullptr);
    if (app.playThread == kNoThread) {
        // No thread to end it: undo here, so nothing waits for a playback that
        // never ran.
        std::fclose(file);
        app.playFile = nullptr;
        uiExchangeChanged(ExchangeEvent::kPlaybackEnded, app.playFileName);
        app.playState = kPlayEnded;
        return 0;
    }
    return 1;
}

void stopPlaybackAndWait() {
    if (app.playState.load() == kPlayRunning) app.playState = kPlayStop;
    // The thread sets playState to kPlayEnded as its last act; joining waits for exactly that
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

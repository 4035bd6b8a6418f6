// The Linux program's answer to what the core asks of a user interface. The core
// draws into one picture of the window (monitor, status lines, title, port state)
// under a lock, from any thread, and never waits for the screen: the main loop
// draws the picture on a terminal, and in a service the changes a person would
// look for become journal lines. No dialogs, menus or message boxes to answer:
// boxes are shown (or journalled) and answered at once.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/linux/shell_linux.h"
#include "core/app_state.h"
#include "core/command_ids.h"
#include "core/frontend.h"
#include "display/display.h"
#include "station/station.h"

namespace {

constexpr int kMaxCommand = 400;

struct Picture {
    std::mutex lock;
    char monitor[kMonitorLines][kRingSlotSize];
    char status[kStatusLines][2048];
    char title[400];
    int port;
    int marks[kMaxCommand];
    char boxText[4096];
    char boxCaption[256];
    int boxes;
};

Picture picture;
std::atomic<unsigned> changes{0};
std::atomic<int> quit{0};
std::atomic<int> refreshWanted{0};
ShellOptions options;
int recordAnswered = 0;
int playAnswered = 0;

// What the journal last said, so that it speaks only of changes. Main thread.
struct Told {
    char feed[kNameSize + 64];
    int relayState;  // 0 not yet, 1 listening, 2 port busy
    unsigned relayPort;
    Socket clients[kMaxClients];
    char peers[kMaxClients][kPeerSize];
    int portWasOpen;
};
Told told;

bool service() { return options.mode == ShellMode::kService; }

// Joins and leaves of relay clients said per minute; the rest are counted and
// summed up once the minute is over, so a client that connects and closes in a
// loop cannot fill the journal. Main thread.
constexpr int kChurnLinesPerMinute = 10;
constexpr std::int64_t kChurnWindowMs = 60000;
struct Churn {
    std::int64_t windowStart = -kChurnWindowMs;
    int said = 0;
    unsigned long more = 0;
};
Churn churn;

// Ends the minute when it is over, with the summary of what it did not say.
void churnWindowTurn() {
    std::int64_t now = monotonicMs();
    if (now - churn.windowStart < kChurnWindowMs) return;
    if (churn.more) journalLine("relay: %lu more joins and leaves in the last minute", churn.more);
    churn.windowStart = now;
    churn.said = 0;
    churn.more = 0;
}

bool churnMaySay() {
    churnWindowTurn();
    if (churn.said < kChurnLinesPerMinute) {
        ++churn.said;
        return true;
    }
    ++churn.more;
    return false;
}

int connectedClients() {
    int n = 0;
    for (const ClientEntry& e : app.clients.entries)
        if (e.socket.load() != kNoSocket) ++n;
    return n;
}

// Status line 0 changes with every client that comes or goes; the journal gets
// who came and went, and the port's state, rather than the whole line.
void tellRelayChanges() {
    int state = app.listenSocket.load() != kNoSocket ? 1 : app.relayPortBusy.load() ? 2 : 0;
    unsigned port = app.serverPort.load();
    if ((state != told.relayState || port != told.relayPort) && state != 0) {
        if (state == 1 && app.relayAddress[0])
            journalLine("relay: listening on port %u at %s only", port, app.relayAddress);
        else if (state == 1)
            journalLine("relay: listening on port %u", port);
        else if (app.relayAddress[0])
            journalLine("relay: cannot listen on %s port %u (in use, or not an address of this machine); "
                        "trying again every 5 s", app.relayAddress, port);
        else
            journalLine("relay: port %u is in use; trying again every 5 s", port);
    }
    told.relayState = state;
    told.relayPort = port;
    int count = connectedClients();
    for (int i = 0; i < kMaxClients; ++i) {
        const ClientEntry& e = app.clients.entries[i];
        Socket now = e.socket.load();
        char peer[kPeerSize];
        {
            TextGuard g(app.clients.peerLock);
            copyText(peer, sizeof peer, e.peer);
        }
        if (told.clients[i] == now && std::strcmp(told.peers[i], peer) == 0) continue;
        if (told.clients[i] != kNoSocket && churnMaySay())
            journalLine("relay: client %s left (%d connected)", told.peers[i][0] ? told.peers[i] : "?", count);
        if (now != kNoSocket && peer[0] && churnMaySay())
            journalLine("relay: client %s joined (%d connected)", peer, count);
        told.clients[i] = peer[0] ? now : kNoSocket;
        copyText(told.peers[i], kPeerSize, peer[0] ? peer : "");
    }
}

}  // namespace

void shellStart(const ShellOptions& given) {
    options = given;
    std::memset(&picture.monitor, 0, sizeof picture.monitor);
    std::memset(&picture.status, 0, sizeof picture.status);
    picture.title[0] = '\0';
    for (Socket& s : told.clients) s = kNoSocket;
}

int shellQuitRequested() { return quit.load(); }
void shellRequestQuit() { quit.store(1); }

void shellRunDeferred() {
    if (refreshWanted.exchange(0)) refreshStatusLines();
    if (churn.more) churnWindowTurn();
}

void shellSayPending() {
    if (churn.more) journalLine("relay: %lu more joins and leaves in the last minute", churn.more);
    churn.more = 0;
}

void shellMonitorLine(int index, char* out, std::size_t capacity) {
    std::lock_guard<std::mutex> g(picture.lock);
    copyText(out, static_cast<int>(capacity), index >= 0 && index < kMonitorLines ? picture.monitor[index] : "");
}

void shellStatusLine(int index, char* out, std::size_t capacity) {
    std::lock_guard<std::mutex> g(picture.lock);
    copyText(out, static_cast<int>(capacity), index >= 0 && index < kStatusLines ? picture.status[index] : "");
}

void shellTitle(char* out, std::size_t capacity) {
    std::lock_guard<std::mutex> g(picture.lock);
    copyText(out, static_cast<int>(capacity), picture.title);
}

int shellPortState() {
    std::lock_guard<std::mutex> g(picture.lock);
    return picture.port;
}

int shellMarked(int commandId) {
    std::lock_guard<std::mutex> g(picture.lock);
    return commandId >= 0 && commandId < kMaxCommand ? picture.marks[commandId] : 0;
}

int shellLastMessage(char* text, std::size_t textCapacity, char* caption, std::size_t captionCapacity) {
    std::lock_guard<std::mutex> g(picture.lock);
    if (text) copyText(text, static_cast<int>(textCapacity), picture.boxText);
    if (caption) copyText(caption, static_cast<int>(captionCapacity), picture.boxCaption);
    return picture.boxes;
}

unsigned shellChanges() { return changes.load(); }

// ---- what the core asks -------------------------------------------------

void uiScrollAndPlace(const char* text) {
    {
        std::lock_guard<std::mutex> g(picture.lock);
        std::memmove(picture.monitor[0], picture.monitor[1], sizeof picture.monitor[0] * (kMonitorLines - 1));
        copyText(picture.monitor[kMonitorLines - 1], kRingSlotSize, text);
    }
    changes.fetch_add(1);
}

void uiRecordLine(const char* line, int length) {
    if (service() && options.lines) journalRecordLine(line, length);
}

void uiSetStatusLine(int index, const char* text) {
    if (index < 0 || index >= kStatusLines) return;
    {
        std::lock_guard<std::mutex> g(picture.lock);
        if (std::strcmp(picture.status[index], text) == 0) return;
        copyText(picture.status[index], sizeof picture.status[index], text);
    }
    changes.fetch_add(1);
    if (!service()) return;
    if (index == 0) tellRelayChanges();
    if (index == 1 && std::strcmp(told.feed, text) != 0) {
        char status[kNameSize];
        {
            TextGuard g(app.feed.textLock);
            copyText(status, sizeof status, app.feed.status);
        }
        // Before the first attempt the line has a port and no state yet. An attempt
        // is said by how it ended: a server that refuses every second would
        // otherwise fill the journal with pairs of lines.
        if (status[0] && std::strcmp(status, "Идет установление связи") != 0) {
            copyText(told.feed, sizeof told.feed, text);
            journalLine("feed: %s", text);
        }
    }
}

void uiSetTitle(const char* text) {
    {
        std::lock_guard<std::mutex> g(picture.lock);
        copyText(picture.title, sizeof picture.title, text);
    }
    changes.fetch_add(1);
}

// Nothing here waits for the main thread: another thread's refresh is done by the
// main loop at its next turn, within one tick.
void uiRefreshStatus() {
    if (onMainThread())
        refreshStatusLines();
    else
        refreshWanted.store(1);
}

int uiMessageBox(int, const char* text, const char* caption, int buttons) {
    {
        std::lock_guard<std::mutex> g(picture.lock);
        copyText(picture.boxText, sizeof picture.boxText, text);
        copyText(picture.boxCaption, sizeof picture.boxCaption, caption);
        ++picture.boxes;
    }
    changes.fetch_add(1);
    // Nobody is there to answer a question: the answer that keeps what exists
    // (an existing recording is not overwritten).
    int answer = buttons == kBoxYesNo ? 0 : 1;
    if (service())
        journalLine("%s: %s%s", caption, text, buttons == kBoxYesNo ? " (answered no)" : "");
    return answer;
}

void uiNotice(const char* text) {
    {
        std::lock_guard<std::mutex> g(picture.lock);
        copyText(picture.boxText, sizeof picture.boxText, text);
        picture.boxCaption[0] = '\0';
        ++picture.boxes;
    }
    changes.fetch_add(1);
    if (service()) journalLine("%s", text);
}

void uiCheckMenuItem(int commandId, int checked) {
    {
        std::lock_guard<std::mutex> g(picture.lock);
        if (commandId < 0 || commandId >= kMaxCommand || picture.marks[commandId] == checked) return;
        picture.marks[commandId] = checked;
    }
    changes.fetch_add(1);
    if (!service()) return;
    switch (commandId) {
        case kCmdBinaryMode: journalLine("receiver mode: %s", checked ? "binary" : "text"); break;
        case kCmdCompressFeed: journalLine("feed compression: %s", checked ? "on" : "off"); break;
        case kCmdRecord:
            if (checked)
                journalLine("recording the receiver's bytes to %s", app.recordFileName);
            else
                journalLine("recording stopped");
            break;
        case kCmdPlayback:
            journalLine(checked ? "playing back %s" : "playback of %s ended", app.playFileName);
            break;
        default: break;
    }
}

void uiSetMenuItemText(int, const char*) {}

int setTrayIcon(int operation, int state) {
    if (operation != 1) return 1;
    int before;
    {
        std::lock_guard<std::mutex> g(picture.lock);
        before = picture.port;
        picture.port = state;
    }
    if (before == state) return 1;
    changes.fetch_add(1);
    if (service()) {
        if (state == 1)
            journalLine("port %s %s at %s baud", app.comPortName, told.portWasOpen ? "reopened" : "opened",
                        app.comBaudText);
        else if (state == 2 && app.comBusy.load())
            journalLine("port %s is busy (занят): another program holds it; trying again every 2 s",
                        app.comPortName);
        else if (state == 2)
            journalLine(told.portWasOpen ? "port %s lost; trying again every 2 s"
                                         : "port %s could not be opened; trying again every 2 s",
                        app.comPortName);
    }
    if (state == 1) told.portWasOpen = 1;
    return 1;
}

void uiEndTicks() {}

void uiOpenDialog(int) {}

void uiCloseMainWindow() { shellRequestQuit(); }

int uiChooseSaveFile(const char*, char* out, std::size_t capacity) {
    if (recordAnswered || !options.recordFile) return 0;
    recordAnswered = 1;
    copyText(out, static_cast<int>(capacity), options.recordFile);
    return 1;
}

int uiChooseOpenFile(const char*, char* out, std::size_t capacity) {
    if (playAnswered || !options.playFile) return 0;
    playAnswered = 1;
    copyText(out, static_cast<int>(capacity), options.playFile);
    return 1;
}

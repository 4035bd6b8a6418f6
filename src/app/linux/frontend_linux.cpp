// The Linux program's front end: what the station tells it goes into one picture
// of the window (monitor, status lines, title, port state, marks) under a lock,
// from any thread, and never waits for the screen: the main loop draws the
// picture on a terminal, and in a service each event a person would look for
// becomes a journal line. No dialogs, menus or message boxes to answer: boxes are
// shown (or journalled) and answered at once.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/linux/shell_linux.h"
#include "core/app_state.h"
#include "core/command_ids.h"
#include "core/frontend.h"
#include "display/display.h"
#include "station/checks.h"
#include "station/station.h"

namespace {

constexpr int kMaxCommand = 400;

struct Picture {
    std::mutex lock;
    char monitor[kMonitorLines][kRingSlotSize];
    char status[kStatusLines][2048];
    char title[400];
    int port;
    int sourceState;  // the last SourceState told
    char sourcePort[kNameSize];  // ... and the port it was told of
    int marks[kMaxCommand];
    char boxText[4096];
    char boxCaption[256];
    int boxes;
    LinkView links[kLinkViews];  // each link as its last change told it; used ones first
    int linkCount;
};

Picture picture;
std::atomic<unsigned> changes{0};
std::atomic<int> quit{0};
std::atomic<int> refreshWanted{0};
ShellOptions options;
int recordAnswered = 0;
int playAnswered = 0;

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

// Says how many joins and leaves were not said.
void churnSummary() {
    if (churn.more) journalLine("relay: %lu more joins and leaves in the last minute", churn.more);
    churn.more = 0;
}

// Ends the minute when it is over, with the summary of what it did not say.
void churnWindowTurn() {
    std::int64_t now = monotonicMs();
    if (now - churn.windowStart < kChurnWindowMs) return;
    churnSummary();
    churn.windowStart = now;
    churn.said = 0;
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

}  // namespace

void shellStart(const ShellOptions& given) {
    options = given;
    std::memset(&picture.monitor, 0, sizeof picture.monitor);
    std::memset(&picture.status, 0, sizeof picture.status);
    picture.title[0] = '\0';
}

int shellQuitRequested() { return quit.load(); }
void shellRequestQuit() { quit.store(1); }

void shellRunDeferred() {
    if (refreshWanted.exchange(0)) refreshStatusLines();
    if (churn.more) churnWindowTurn();
}

void shellSayPending() { churnSummary(); }

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

namespace {

// Sets a mark of the picture; 1 when it changed.
int mark(int commandId, int on) {
    {
        std::lock_guard<std::mutex> g(picture.lock);
        if (commandId < 0 || commandId >= kMaxCommand || picture.marks[commandId] == on) return 0;
        picture.marks[commandId] = on;
    }
    changes.fetch_add(1);
    return 1;
}

}  // namespace

void uiModeChanged(int commandId, int on) {
    if (!mark(commandId, on) || !service()) return;
    if (commandId == kCmdBinaryMode) journalLine("receiver mode: %s", on ? "binary" : "text");
    if (commandId == kCmdCompressFeed) journalLine("feed compression: %s", on ? "on" : "off");
}

void uiExchangeChanged(ExchangeEvent event, const char* file) {
    ExchangeView view = exchangeView(event);
    {
        std::lock_guard<std::mutex> g(picture.lock);
        formatTitle(view.titleState, picture.title, sizeof picture.title);
    }
    mark(view.commandId, view.checked);
    if (!service()) return;
    switch (event) {
        case ExchangeEvent::kRecordingStarted: journalLine("recording the receiver's bytes to %s", file); break;
        case ExchangeEvent::kRecordingStopped: journalLine("recording stopped"); break;
        case ExchangeEvent::kPlaybackStarted: journalLine("playing back %s", file); break;
        case ExchangeEvent::kPlaybackEnded: journalLine("playback of %s ended", file); break;
    }
}

void uiSourceChanged(SourceState state) {
    int port = state == SourceState::kOpened ? 1 : 2;
    {
        std::lock_guard<std::mutex> g(picture.lock);
        // A retry that fails again is not news; a failure of another kind, or
        // any news of another port (the receiver found under a new name), is.
        if (picture.port == port && picture.sourceState == static_cast<int>(state) &&
            std::strcmp(picture.sourcePort, app.comPortName) == 0)
            return;
        picture.port = port;
        picture.sourceState = static_cast<int>(state);
        copyText(picture.sourcePort, sizeof picture.sourcePort, app.comPortName);
    }
    changes.fetch_add(1);
    if (!service()) return;
    switch (state) {
        case SourceState::kOpened:
            journalLine("port %s %s at %s baud", app.comPortName, app.comOpenCount > 1 ? "reopened" : "opened",
                        app.comBaudText);
            break;
        case SourceState::kBusy:
            journalLine("port %s is busy (занят): another program holds it; trying again every 2 s", app.comPortName);
            break;
        case SourceState::kLost: journalLine("port %s lost; trying again every 2 s", app.comPortName); break;
        case SourceState::kCannotOpen:
            journalLine("port %s could not be opened; trying again every 2 s", app.comPortName);
            break;
    }
}

// One line a change of state: a warning's text counting up (the seconds without
// data) is on the terminal's status row only.
void uiCheckChanged(int check, int warning, const char* text) {
    changes.fetch_add(1);
    if (!service()) return;
    if (warning)
        journalLine("check %s: %s", checkName(check), text);
    else
        journalLine("check %s: fine again", checkName(check));
}

// The station tells each link's changes once (a connect that fails again the
// same way is no news): each is a journal line, the terminal's message row, and
// the picture's row of that link, which the terminal and the status page show.
void uiLinkChanged(LinkKind kind, const char* name, LinkState state, const char* detail) {
    char line[2 * kNameSize + 64];
    const char* what = linkKindName(kind);
    switch (state) {
        case LinkState::kConnected:
            std::snprintf(line, sizeof line, detail[0] ? "%s %s connected (%s)" : "%s %s connected%s", what, name, detail);
            break;
        case LinkState::kListening:
            std::snprintf(line, sizeof line, "%s %s listening%s%s", what, name, detail[0] ? ": " : "", detail);
            break;
        case LinkState::kRemoved: std::snprintf(line, sizeof line, "%s %s stopped", what, name); break;
        default:
            std::snprintf(line, sizeof line, "%s %s %s%s%s", what, name, linkStateName(state), detail[0] ? ": " : "",
                          detail);
            break;
    }
    {
        std::lock_guard<std::mutex> g(picture.lock);
        // A refused peer leaves the source as it was: said, not kept.
        if (kind == LinkKind::kTcpSource && state != LinkState::kRemoved && state != LinkState::kRefused)
            picture.port = state == LinkState::kConnected ? 1 : state == LinkState::kListening ? 0 : 2;
        int at = 0;
        while (at < picture.linkCount &&
               !(picture.links[at].kind == static_cast<int>(kind) &&
                 // One feed link and one source, whatever their address; many targets.
                 (kind != LinkKind::kPush || std::strcmp(picture.links[at].name, name) == 0)))
            ++at;
        if (state == LinkState::kRemoved) {
            if (at < picture.linkCount) {
                std::memmove(&picture.links[at], &picture.links[at + 1],
                             sizeof picture.links[0] * static_cast<std::size_t>(picture.linkCount - at - 1));
                --picture.linkCount;
            }
        } else if (state != LinkState::kRefused && at < kLinkViews) {
            if (at == picture.linkCount) ++picture.linkCount;
            LinkView& l = picture.links[at];
            l.kind = static_cast<int>(kind);
            l.state = static_cast<int>(state);
            copyText(l.name, sizeof l.name, name);
            copyText(l.detail, sizeof l.detail, detail);
            l.sinceMs = monotonicMs();
        }
        if (!service()) {
            copyText(picture.boxText, sizeof picture.boxText, line);
            picture.boxCaption[0] = '\0';
            ++picture.boxes;
        }
    }
    changes.fetch_add(1);
    if (service()) journalLine("%s", line);
}

int shellLinks(LinkView* out, int capacity) {
    std::lock_guard<std::mutex> g(picture.lock);
    int n = picture.linkCount < capacity ? picture.linkCount : capacity;
    for (int i = 0; i < n; ++i) out[i] = picture.links[i];
    return n;
}

void uiRelayChanged(RelayEvent event, const char* peer, int clients) {
    if (!service()) return;
    unsigned port = app.serverPort.load();
    switch (event) {
        case RelayEvent::kListening:
        case RelayEvent::kPortBusy: {
            int state = event == RelayEvent::kListening ? 1 : 2;
            if (state == 1 && app.relayAddress[0])
                journalLine("relay: listening on port %u at %s only", port, app.relayAddress);
            else if (state == 1)
                journalLine("relay: listening on port %u", port);
            else if (app.relayAddress[0])
                journalLine("relay: cannot listen on %s port %u (in use, or not an address of this machine); "
                            "trying again every 5 s", app.relayAddress, port);
            else
                journalLine("relay: port %u is in use; trying again every 5 s", port);
            return;
        }
        case RelayEvent::kOtherListening:
        case RelayEvent::kOtherPortBusy: {
            unsigned other = app.otherPort.load();
            // The mode may switch later: the port then serves the other form of it.
            const char* form = app.binaryMode.load() ? "'@' lines" : "Beast frames";
            if (event == RelayEvent::kOtherListening)
                journalLine("relay: listening on port %u for the other format (now %s)", other, form);
            else
                journalLine("relay: port %u (the other format) cannot be had; trying again every 5 s", other);
            return;
        }
        case RelayEvent::kClientJoined:
            if (churnMaySay()) journalLine("relay: client %s joined (%d connected)", peer, clients);
            return;
        case RelayEvent::kClientLeft:
            if (churnMaySay()) journalLine("relay: client %s left (%d connected)", peer[0] ? peer : "?", clients);
            return;
    }
}

void uiStationStopping() {}

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

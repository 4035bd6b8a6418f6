// The in-memory front end of the native build. Everything is guarded by one lock so
// that any thread may call it; nothing here blocks beyond a short copy.
#include <cstdio>
#include <cstring>

#include "core/app_state.h"
#include "core/frontend.h"
#include "app/headless/headless_view.h"
#include "display/display.h"
#include "station/station.h"

namespace {

constexpr int kMaxBoxes = 64;
constexpr int kMaxCommand = 400;
constexpr int kMaxLinkEvents = 256;

struct Headless {
    TextLock lock;
    char monitor[kMonitorLines][kRingSlotSize];
    char status[kStatusLines][2048];
    char title[400];
    int checked[kMaxCommand];
    char menuText[kMaxCommand][64];
    char boxText[kMaxBoxes][4096];  // the help text is about 2.5 kB
    char boxCaption[kMaxBoxes][256];
    int boxes;
    int boxAnswer;
    char lastNotice[1024];
    int notices;
    int trayIcon;
    int trayCalls;
    int dialogs[kMaxCommand];
    int closed;
    char fileAnswer[kFileNameSize];
    int checkChanges;
    int lastCheck;  // the check of the last change; -1 - check when it became fine
    char links[kMaxLinkEvents][600];  // the link events told, oldest first
    int linkEvents;
};

Headless view;

int validCommand(int id) { return id >= 0 && id < kMaxCommand; }

}  // namespace

void headlessReset() {
    TextGuard g(view.lock);
    std::memset(view.monitor, 0, sizeof view.monitor);
    std::memset(view.status, 0, sizeof view.status);
    std::memset(view.title, 0, sizeof view.title);
    std::memset(view.checked, 0, sizeof view.checked);
    std::memset(view.menuText, 0, sizeof view.menuText);
    view.boxes = 0;
    view.boxAnswer = 1;
    view.checkChanges = 0;
    view.lastCheck = 0;
    view.lastNotice[0] = '\0';
    view.notices = 0;
    view.trayIcon = 0;
    view.trayCalls = 0;
    std::memset(view.dialogs, 0, sizeof view.dialogs);
    view.closed = 0;
    view.fileAnswer[0] = '\0';
    view.linkEvents = 0;
}

void uiScrollAndPlace(const char* text) {
    TextGuard g(view.lock);
    for (int i = 1; i < kMonitorLines; ++i) std::memcpy(view.monitor[i - 1], view.monitor[i], kRingSlotSize);
    copyText(view.monitor[kMonitorLines - 1], kRingSlotSize, text);
}

void uiRecordLine(const char*, int) {}

void uiSetStatusLine(int index, const char* text) {
    if (index < 0 || index >= kStatusLines) return;
    TextGuard g(view.lock);
    copyText(view.status[index], sizeof view.status[index], text);
}


void uiRefreshStatus() { refreshStatusLines(); }

int uiMessageBox(int, const char* text, const char* caption, int) {
    TextGuard g(view.lock);
    if (view.boxes < kMaxBoxes) {
        copyText(view.boxText[view.boxes], sizeof view.boxText[0], text);
        copyText(view.boxCaption[view.boxes], sizeof view.boxCaption[0], caption);
        ++view.boxes;
    }
    return view.boxAnswer;
}

void uiNotice(const char* text) {
    TextGuard g(view.lock);
    copyText(view.lastNotice, sizeof view.lastNotice, text);
    ++view.notices;
}

int headlessNotices(char* last, std::size_t capacity) {
    TextGuard g(view.lock);
    if (last) copyText(last, static_cast<int>(capacity), view.lastNotice);
    return view.notices;
}

// What the window would show, as brevalink.exe shows it.
void uiModeChanged(int commandId, int on) {
    if (!validCommand(commandId)) return;
    TextGuard g(view.lock);
    view.checked[commandId] = on ? 1 : 0;
}

void uiExchangeChanged(ExchangeEvent event, const char*) {
    ExchangeView shown = exchangeView(event);
    TextGuard g(view.lock);
    formatTitle(shown.titleState, view.title, sizeof view.title);
    copyText(view.menuText[shown.commandId], sizeof view.menuText[0], shown.menuText);
    view.checked[shown.commandId] = shown.checked;
}

void uiSourceChanged(SourceState state) {
    int icon = state == SourceState::kOpened ? 1 : 2;
    TextGuard g(view.lock);
    if (icon == view.trayIcon) return;  // the tray is set only when its icon changes
    view.trayIcon = icon;
    ++view.trayCalls;
}

void uiRelayChanged(RelayEvent, const char*, int) {}

// Kept as "kind name state: detail" lines; the TCP source's state on the tray.
void uiLinkChanged(LinkKind kind, const char* name, LinkState state, const char* detail) {
    TextGuard g(view.lock);
    if (view.linkEvents < kMaxLinkEvents)
        std::snprintf(view.links[view.linkEvents++], sizeof view.links[0], "%s %s %s: %s", linkKindName(kind), name,
                      linkStateName(state), detail);
    if (kind != LinkKind::kTcpSource || state == LinkState::kRemoved || state == LinkState::kListening ||
        state == LinkState::kRefused)
        return;
    int icon = state == LinkState::kConnected ? 1 : 2;
    if (icon == view.trayIcon) return;
    view.trayIcon = icon;
    ++view.trayCalls;
}

int headlessLinkEvents(char* out, std::size_t capacity, int index) {
    TextGuard g(view.lock);
    if (out && capacity) copyText(out, static_cast<int>(capacity), index >= 0 && index < view.linkEvents ? view.links[index] : "");
    return view.linkEvents;
}

void uiCheckChanged(int check, int warning, const char*) {
    TextGuard g(view.lock);
    ++view.checkChanges;
    view.lastCheck = warning ? check : -1 - check;
}

void uiStationStopping() {}

void uiOpenDialog(int commandId) {
    if (!validCommand(commandId)) return;
    TextGuard g(view.lock);
    ++view.dialogs[commandId];
}

void uiCloseMainWindow() {
    TextGuard g(view.lock);
    view.closed = 1;
}

namespace {
int fileAnswer(char* out, std::size_t capacity) {
    TextGuard g(view.lock);
    copyText(out, static_cast<int>(capacity), view.fileAnswer);
    return out[0] != '\0';
}
}  // namespace

int uiChooseSaveFile(const char*, char* out, std::size_t capacity) { return fileAnswer(out, capacity); }
int uiChooseOpenFile(const char*, char* out, std::size_t capacity) { return fileAnswer(out, capacity); }

void headlessMonitorLine(int index, char* out, std::size_t capacity) {
    TextGuard g(view.lock);
    copyText(out, static_cast<int>(capacity), index >= 0 && index < kMonitorLines ? view.monitor[index] : "");
}

void headlessStatusLine(int index, char* out, std::size_t capacity) {
    TextGuard g(view.lock);
    copyText(out, static_cast<int>(capacity), index >= 0 && index < kStatusLines ? view.status[index] : "");
}

void headlessTitle(char* out, std::size_t capacity) {
    TextGuard g(view.lock);
    copyText(out, static_cast<int>(capacity), view.title);
}

int headlessMenuChecked(int commandId) {
    TextGuard g(view.lock);
    return validCommand(commandId) ? view.checked[commandId] : 0;
}

void headlessMenuText(int commandId, char* out, std::size_t capacity) {
    TextGuard g(view.lock);
    copyText(out, static_cast<int>(capacity), validCommand(commandId) ? view.menuText[commandId] : "");
}

int headlessBoxCount() {
    TextGuard g(view.lock);
    return view.boxes;
}

void headlessBox(int index, char* text, std::size_t textCapacity, char* caption, std::size_t captionCapacity) {
    TextGuard g(view.lock);
    bool ok = index >= 0 && index < view.boxes;
    copyText(text, static_cast<int>(textCapacity), ok ? view.boxText[index] : "");
    copyText(caption, static_cast<int>(captionCapacity), ok ? view.boxCaption[index] : "");
}

void headlessSetBoxAnswer(int answer) {
    TextGuard g(view.lock);
    view.boxAnswer = answer;
}

int headlessTrayIcon() {
    TextGuard g(view.lock);
    return view.trayIcon;
}

int headlessTrayCalls() {
    TextGuard g(view.lock);
    return view.trayCalls;
}

int headlessDialogsOpened(int commandId) {
    TextGuard g(view.lock);
    return validCommand(commandId) ? view.dialogs[commandId] : 0;
}

int headlessCheckChanges(int* lastCheck) {
    TextGuard g(view.lock);
    if (lastCheck) *lastCheck = view.lastCheck;
    return view.checkChanges;
}

int headlessWindowClosed() {
    TextGuard g(view.lock);
    return view.closed;
}

void headlessSetFileAnswer(const char* path) {
    TextGuard g(view.lock);
    copyText(view.fileAnswer, sizeof view.fileAnswer, path);
}

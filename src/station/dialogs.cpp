// What each settings dialog shows when it opens and what its OK does. Main thread.
//
// Every typed text is cut to 255 characters before it goes anywhere, so a field
// longer than its setting can never overrun a fixed field.
#include "station/dialogs.h"

#include <cstdio>

#include "core/app_state.h"
#include "core/frontend.h"
#include "config/push_settings.h"
#include "config/settings.h"
#include "input/source.h"
#include "net/feed_link.h"
#include "station/checks.h"

namespace {

const DialogInfo kDialogs[] = {
    {kCmdComDialog, "IDD_DIALOG1", 2, 0, 0},
    {kCmdTcpSourceDialog, "IDD_DIALOG_TCPSOURCE", 2, 1, 1},
    {kCmdServerDialog, "IDD_DIALOG2", 1, 1, 0},
    {kCmdFeedLinkDialog, "IDD_DIALOG9", 2, 0, 0},
    {kCmdPointDialog, "IDD_DIALOG3", 2, 1, 0},
    {kCmdNameDialog, "IDD_DIALOG4", 1, 0, 0},
    {kCmdIntervalDialog, "IDD_DIALOG_TIMECOMPRESS", 1, 0, 0},
    {kCmdThresholdDialog, "IDD_DIALOG_POROG", 1, 0, 0},
    {kCmdFrequencyDialog, "IDD_DIALOG_FREQ", 1, 0, 0},
    {kCmdPushDialog, "IDD_DIALOG_PUSH", 1, 0, 0},
};

// A typed text as the dialog reads it: at most 255 characters.
struct FieldText {
    char text[kDialogFieldSize];
    explicit FieldText(const char* source) { copyText(text, sizeof text, source ? source : ""); }
};

// Refusals in a dialog are captioned as the program's other warnings.
const char kRefusalCaption[] = "Внимание";

}  // namespace

const DialogInfo* dialogInfo(int commandId) {
    for (const DialogInfo& d : kDialogs) {
        if (d.commandId == commandId) return &d;
    }
    return nullptr;
}

int dialogInit(int commandId, char* first, char* second, int* checked) {
    const DialogInfo* info = dialogInfo(commandId);
    if (!info) return 0;
    first[0] = '\0';
    if (second) second[0] = '\0';
    int check = 0;
    switch (commandId) {
        case kCmdComDialog: readInitForDialog(first, second); break;
        case kCmdTcpSourceDialog: readTcpSourceForDialog(first, second, &check); break;
        case kCmdServerDialog: readServerForDialog(first); break;
        case kCmdFeedLinkDialog: readFeedLinkForDialog(first, second); break;
        case kCmdPointDialog: readPointForDialog(first, second); break;
        case kCmdNameDialog: readNameForDialog(first); break;
        case kCmdIntervalDialog: readIntervalForDialog(first); break;
        case kCmdThresholdDialog: readThresholdForDialog(first); break;
        case kCmdFrequencyDialog: readFrequencyForDialog(first); break;
        case kCmdPushDialog: readPushForDialog(first, kDialogInitSize); break;
    }
    if (checked) *checked = check;
    return info->fieldCount;
}

void dialogNote(int commandId, char* out, int capacity) {
    if (capacity <= 0) return;
    out[0] = '\0';
    if (commandId == kCmdFrequencyDialog) writeMeasuredFrequency(out, capacity);
    if (commandId == kCmdPushDialog) writePushState(out, capacity);
}

int dialogOk(int commandId, const char* first, const char* second, int checked) {
    switch (commandId) {
        case kCmdComDialog: return serialDialogOk(first, second);
        case kCmdTcpSourceDialog: return tcpSourceDialogOk(first, second, checked);
        case kCmdServerDialog: return serverDialogOk(first);
        case kCmdFeedLinkDialog: return feedDialogOk(first, second);
        case kCmdPointDialog: return coordDialogOk(first, second);
        case kCmdNameDialog: return nameDialogOk(first);
        case kCmdIntervalDialog: return intervalDialogOk(first);
        case kCmdThresholdDialog: return thresholdDialogOk(first);
        case kCmdFrequencyDialog: return frequencyDialogOk(first);
        case kCmdPushDialog: return pushDialogOk(first);
    }
    return 0;
}

int serialDialogOk(const char* portName, const char* baudText) {
    FieldText port(portName), baud(baudText);
    if (!acceptSpeed(baud.text, kRefusalCaption)) return 0;
    writeInitFile(port.text, baud.text);
    // Closes the port (waiting for its reader), takes the texts, opens it again and
    // reports a failure itself; while the TCP source is chosen only the texts go.
    applySerialSource(port.text, baud.text);
    return 1;
}

int tcpSourceDialogOk(const char* portText, const char* hostText, int chosen) {
    FieldText port(portText), host(hostText);
    if (chosen != kTcpChoiceListen) chosen = chosen ? kTcpChoiceConnect : kTcpChoicePort;
    std::uint16_t value;
    // The host is checked as what the choice makes it.
    if (!acceptPort(port.text, kRefusalCaption, &value) ||
        !acceptTcpHost(host.text, chosen, kRefusalCaption))
        return 0;
    writeTcpSourceFile(port.text, host.text, chosen);
    // The source in use closes before the chosen one opens, at once.
    applyTcpSource(chosen, value, host.text);
    return 1;
}

int serverDialogOk(const char* portText) {
    FieldText port(portText);
    std::uint16_t value;
    if (!acceptPort(port.text, kRefusalCaption, &value)) return 0;
    writeServerFile(port.text);
    app.serverPort = value;
    // The listening socket stays on its port until the next start.
    uiMessageBox(1, "Необходимо перезапустить программу", "Внимание", kBoxOk);
    return 1;
}

int feedDialogOk(const char* portText, const char* hostText) {
    FieldText port(portText), host(hostText);
    std::uint16_t value;
    if (!acceptPort(port.text, kRefusalCaption, &value)) return 0;
    writeFeedLinkFile(port.text, host.text);
    app.feed.port = value;
    {
        TextGuard guard(app.feed.textLock);
        copyText(app.feed.host, kNameSize, host.text);
    }
    // The reconnect thread connects again with the new address and repeats the
    // introduction.
    relinkFeed();
    return 1;
}

int coordDialogOk(const char* latText, const char* lonText) {
    FieldText lat(latText), lon(lonText);
    double latDegrees, lonDegrees;
    if (!acceptLatitude(lat.text, kRefusalCaption, &latDegrees) ||
        !acceptLongitude(lon.text, kRefusalCaption, &lonDegrees))
        return 0;
    app.receiverLat = latDegrees * 3600.0;
    app.receiverLon = lonDegrees * 3600.0;
    // The link is not dropped: the next introduction carries the new position.
    writePointFile(lat.text, lon.text);
    return 1;
}

int nameDialogOk(const char* name) {
    FieldText typed(name);
    {
        TextGuard guard(app.nameLock);
        copyText(app.receiverName, kNameSize, typed.text);
    }
    writeNameFile(typed.text);
    return 1;
}

namespace {
// The three one-number dialogs: the value, then its file.
int numberDialogOk(const char* text, const char* what, std::atomic<std::int32_t>& field,
                   int (*write)(const char*)) {
    FieldText typed(text);
    std::int32_t value;
    if (!acceptNumber(typed.text, what, kRefusalCaption, &value)) return 0;
    field = value;
    write(typed.text);
    return 1;
}
}  // namespace

int intervalDialogOk(const char* text) {
    return numberDialogOk(text, kWhatInterval, app.compressInterval, writeIntervalFile);
}

int thresholdDialogOk(const char* text) {
    // No range check here: only the opening of the dialog corrects a stored value.
    return numberDialogOk(text, kWhatThreshold, app.levelThreshold, writeThresholdFile);
}

int frequencyDialogOk(const char* text) {
    if (!numberDialogOk(text, kWhatFrequency, app.timerFrequency, writeFrequencyFile)) return 0;
    // A new frequency needs a new clock reference.
    app.clockRefTaken = 0;
    return 1;
}

int pushDialogOk(const char* text) {
    PushTargetList list;
    if (!acceptPushText(text ? text : "", kRefusalCaption, &list)) return 0;
    writePushFile(list);
    // The targets whose line is unchanged keep their connection and backlog.
    pushApplyList(list);
    return 1;
}

void writePushState(char* out, int capacity) {
    PushFigures figures[kPushTargets];
    int n = pushFigures(figures, kPushTargets);
    int used = 0;
    out[0] = '\0';
    if (n == 0) copyText(out, capacity, "Передача не ведется");
    for (int i = 0; i < n && used < capacity - 1; ++i) {
        const PushFigures& f = figures[i];
        char state[64];
        if (f.state == kPushUp)
            copyText(state, sizeof state, "связь есть");
        else if (f.state == kPushWaiting)
            std::snprintf(state, sizeof state, "нет связи, повтор через %d с", f.retrySeconds);
        else
            copyText(state, sizeof state, "идет установление связи");
        int k = std::snprintf(out + used, static_cast<std::size_t>(capacity - used),
                              "%s%s: %s, передано %llu байт, отброшено кадров %llu, переподключений %u%s%s",
                              i ? "\r\n" : "", f.target, state, static_cast<unsigned long long>(f.bytesSent),
                              static_cast<unsigned long long>(f.framesDropped), f.connections > 0 ? f.connections - 1 : 0,
                              f.lastError[0] ? "; последняя ошибка: " : "", f.lastError);
        used += k > 0 ? k : 0;
    }
}

int tabNextPosition(int position, int fieldCount) {
    int stops = fieldCount + 2;
    if (position < 0 || position >= stops) return 0;
    return (position + 1) % stops;
}

int tabControlAt(int position, int fieldCount) {
    if (position <= 0 || position > fieldCount + 1) return kFieldFirst;
    if (position < fieldCount) return kFieldFirst + position;
    return position == fieldCount ? kButtonOk : kButtonCancel;
}

// What each settings dialog shows when it opens and what its OK does. Main thread.
//
// Every typed text is cut to 255 characters before it goes anywhere, so a field
// longer than its setting can never overrun a fixed field.
#include "config/dialogs.h"

#include "core/app_state.h"
#include "core/frontend.h"
#include "config/settings.h"
#include "input/serial_source.h"
#include "net/feed_link.h"

namespace {

const DialogInfo kDialogs[] = {
    {kDialogSerial, "IDD_DIALOG1", 2, 0},
    {kDialogServer, "IDD_DIALOG2", 1, 1},
    {kDialogFeed, "IDD_DIALOG9", 2, 0},
    {kDialogCoordinates, "IDD_DIALOG3", 2, 1},
    {kDialogName, "IDD_DIALOG4", 1, 0},
    {kDialogInterval, "IDD_DIALOG_TIMECOMPRESS", 1, 0},
    {kDialogThreshold, "IDD_DIALOG_POROG", 1, 0},
    {kDialogFrequency, "IDD_DIALOG_FREQ", 1, 0},
};

// A typed text as the dialog reads it: at most 255 characters.
struct FieldText {
    char text[kDialogFieldSize];
    explicit FieldText(const char* source) { copyText(text, sizeof text, source ? source : ""); }
};

std::uint16_t portFromText(const char* text) {
    return static_cast<std::uint16_t>(parseSettingInt(text) & 0xFFFF);
}

}  // namespace

const DialogInfo* dialogInfo(int commandId) {
    for (const DialogInfo& d : kDialogs) {
        if (d.commandId == commandId) return &d;
    }
    return nullptr;
}

int dialogInit(int commandId, char* first, char* second) {
    const DialogInfo* info = dialogInfo(commandId);
    if (!info) return 0;
    first[0] = '\0';
    if (second) second[0] = '\0';
    switch (commandId) {
        case kDialogSerial: readInitForDialog(first, second); break;
        case kDialogServer: readServerForDialog(first); break;
        case kDialogFeed: readFeedLinkForDialog(first, second); break;
        case kDialogCoordinates: readPointForDialog(first, second); break;
        case kDialogName: readNameForDialog(first); break;
        case kDialogInterval: readIntervalForDialog(first); break;
        case kDialogThreshold: readThresholdForDialog(first); break;
        case kDialogFrequency: readFrequencyForDialog(first); break;
    }
    return info->fieldCount;
}

int dialogOk(int commandId, const char* first, const char* second) {
    switch (commandId) {
        case kDialogSerial: serialDialogOk(first, second); return 1;
        case kDialogServer: serverDialogOk(first); return 1;
        case kDialogFeed: feedDialogOk(first, second); return 1;
        case kDialogCoordinates: coordDialogOk(first, second); return 1;
        case kDialogName: nameDialogOk(first); return 1;
        case kDialogInterval: intervalDialogOk(first); return 1;
        case kDialogThreshold: thresholdDialogOk(first); return 1;
        case kDialogFrequency: frequencyDialogOk(first); return 1;
    }
    return 0;
}

void serialDialogOk(const char* portName, const char* baudText) {
    FieldText port(portName), baud(baudText);
    writeInitFile(port.text, baud.text);
    // Closes the port (waiting for its reader), takes the texts, opens it again and
    // reports a failure itself.
    reopenComPort(port.text, baud.text);
}

void serverDialogOk(const char* portText) {
    FieldText port(portText);
    writeServerFile(port.text);
    app.serverPort = portFromText(port.text);
    // The listening socket stays on its port until the next start.
    uiMessageBox(1, "Необходимо перезапустить программу", "Внимание", kBoxOk);
}

void feedDialogOk(const char* portText, const char* hostText) {
    FieldText port(portText), host(hostText);
    writeFeedLinkFile(port.text, host.text);
    app.feed.port = portFromText(port.text);
    {
        TextGuard guard(app.feed.textLock);
        copyText(app.feed.host, kNameSize, host.text);
    }
    // The reconnect thread connects again with the new address and repeats the
    // introduction.
    if (app.feed.state.load() == kLinkConnected) dropLink();
}

void coordDialogOk(const char* latText, const char* lonText) {
    FieldText lat(latText), lon(lonText);
    app.receiverLat = parseSettingDouble(lat.text) * 3600.0;
    app.receiverLon = parseSettingDouble(lon.text) * 3600.0;
    // The link is not dropped: the next introduction carries the new position.
    writePointFile(lat.text, lon.text);
}

void nameDialogOk(const char* name) {
    FieldText typed(name);
    {
        TextGuard guard(app.nameLock);
        copyText(app.receiverName, kNameSize, typed.text);
    }
    writeNameFile(typed.text);
}

void intervalDialogOk(const char* text) {
    FieldText typed(text);
    app.compressInterval = parseSettingInt(typed.text);
    writeIntervalFile(typed.text);
}

void thresholdDialogOk(const char* text) {
    // No range check here: only the opening of the dialog corrects a stored value.
    FieldText typed(text);
    app.levelThreshold = parseSettingInt(typed.text);
    writeThresholdFile(typed.text);
}

void frequencyDialogOk(const char* text) {
    FieldText typed(text);
    app.timerFrequency = parseSettingInt(typed.text);
    // A new frequency needs a new clock reference.
    app.clockRefTaken = 0;
    writeFrequencyFile(typed.text);
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

// The SIGHUP re-read: the files are read into a copy of the values in use, and
// only what differs from them is applied, so an untouched, emptied or half-written
// file changes nothing.
#include "station/reload.h"

#include <cstdio>
#include <cstring>

#include "config/push_settings.h"
#include "config/settings.h"
#include "core/app_state.h"
#include "station/commands.h"
#include "input/source.h"
#include "net/feed_link.h"
#include "net/relay_server.h"

namespace {

int differs(const char* a, const char* b) { return std::strcmp(a, b) != 0; }

// The command line's source for this run: 0 none, else which one it named.
constexpr int kOverridePort = 1;
constexpr int kOverrideTcp = 2;
int sourceOverride = 0;
// --push for this run: the reloads keep the targets it named.
int pushOverride = 0;

// What the command line chose stays, whatever the files say now.
void keepOverride(const SettingsValues& now, SettingsValues* next) {
    if (!sourceOverride) return;
    next->tcpChosen = now.tcpChosen;
    if (sourceOverride == kOverridePort) copyText(next->comPortName, kNameSize, now.comPortName);
    if (sourceOverride == kOverrideTcp) {
        next->tcpPort = now.tcpPort;
        copyText(next->tcpHost, kNameSize, now.tcpHost);
    }
}

}  // namespace

int overrideReceiverSource(const char* source) {
    int listen = std::strncmp(source, "listen:", 7) == 0;
    if (!listen && std::strncmp(source, "tcp:", 4) != 0) {
        if (source[0] == '\0') return 0;
        copyText(app.comPortName, kNameSize, source);
        app.tcp.chosen = kTcpChoicePort;
        sourceOverride = kOverridePort;
        return 1;
    }
    // tcp:HOST:PORT, or listen:PORT, listen::PORT and listen:ADDRESS:PORT.
    const char* host = source + (listen ? 7 : 4);
    const char* colon = std::strrchr(host, ':');
    if (listen && !colon) colon = host - 1;
    if (!colon || (colon == host && !listen)) return 0;
    char hostText[kNameSize] = "";
    int length = static_cast<int>(colon - host) + 1;
    if (length > 0) copyText(hostText, length < kNameSize ? length : kNameSize, host);
    int choice = listen ? kTcpChoiceListen : kTcpChoiceConnect;
    std::uint16_t port;
    if (!acceptPort(colon + 1, "--source", &port) || !acceptTcpHost(hostText, choice, "--source")) return 0;
    app.tcp.port = port;
    {
        TextGuard guard(app.tcp.textLock);
        copyText(app.tcp.host, kNameSize, hostText);
    }
    app.tcp.chosen = choice;
    sourceOverride = kOverrideTcp;
    return 1;
}

int settingsReload(void* window, char* applied, int capacity) {
    SettingsValues now, next;
    settingsInUse(&now);
    next = now;
    readSettingsFiles(&next);
    keepOverride(now, &next);
    int changed[kSettingsFileCount] = {};

    if (differs(next.comPortName, now.comPortName) || differs(next.comBaudText, now.comBaudText)) {
        changed[kFileInit] = 1;
        applySerialSource(next.comPortName, next.comBaudText);  // says itself when it cannot open
    }
    if (next.tcpChosen != now.tcpChosen || next.tcpPort != now.tcpPort || differs(next.tcpHost, now.tcpHost)) {
        changed[kFileTcp] = 1;
        applyTcpSource(next.tcpChosen, next.tcpPort, next.tcpHost);
    }
    if (next.serverPort != now.serverPort || differs(next.relayAddress, now.relayAddress) ||
        next.otherPort != now.otherPort) {
        // The window asks for a restart instead; a service restarts the server itself.
        changed[kFileSocket] = 1;
        app.serverPort = next.serverPort;
        app.otherPort = next.otherPort;
        copyText(app.relayAddress, kNameSize, next.relayAddress);
        stopRelayServer(window);
        startRelayServer(window);
    }
    int binary = next.binaryMode ? 1 : 0, compress = next.compressFeed ? 1 : 0;
    if (binary != (now.binaryMode ? 1 : 0) || compress != (now.compressFeed ? 1 : 0) ||
        next.flagsLine3 != now.flagsLine3 || next.flagsLine4 != now.flagsLine4) {
        changed[kFileFlags] = 1;
        app.flagsLine3 = next.flagsLine3;
        app.flagsLine4 = next.flagsLine4;
        if (binary != (now.binaryMode ? 1 : 0)) setModeFlag(kCmdBinaryMode, binary);
        if (compress != (now.compressFeed ? 1 : 0)) setModeFlag(kCmdCompressFeed, compress);
    }
    int reconnect = 0;
    if (next.feedPort != now.feedPort || differs(next.feedHost, now.feedHost)) {
        changed[kFileFeed] = reconnect = 1;
        app.feed.port = next.feedPort;
        TextGuard guard(app.feed.textLock);
        copyText(app.feed.host, kNameSize, next.feedHost);
    }
    // The window's OK leaves the link alone and the server learns a new position
    // or name at the next connect; an edited file asks for it now.
    if (next.receiverLat != now.receiverLat || next.receiverLon != now.receiverLon) {
        changed[kFilePoint] = reconnect = 1;
        app.receiverLat = next.receiverLat;
        app.receiverLon = next.receiverLon;
    }
    if (differs(next.receiverName, now.receiverName)) {
        changed[kFileName] = reconnect = 1;
        TextGuard guard(app.nameLock);
        copyText(app.receiverName, kNameSize, next.receiverName);
    }
    if (next.levelThreshold != now.levelThreshold) {
        changed[kFileThreshold] = 1;
        app.levelThreshold = next.levelThreshold;
    }
    if (next.compressInterval != now.compressInterval) {
        changed[kFileInterval] = 1;
        app.compressInterval = next.compressInterval;
    }
    if (next.timerFrequency != now.timerFrequency) {
        changed[kFileFrequency] = 1;
        app.timerFrequency = next.timerFrequency;
        app.clockRefTaken = 0;  // a new frequency needs a new clock reference
    }
    if (reconnect) relinkFeed();
    // initpush.ini: only the targets whose line changed are touched.
    int pushChanged = 0;
    PushTargetList push;
    if (!pushOverride && readPushFile(&push)) pushChanged = pushApplyList(push) > 0;

    int count = 0, used = 0;
    if (capacity > 0) applied[0] = '\0';
    for (int i = 0; i < kSettingsFileCount; ++i) {
        if (!changed[i]) continue;
        ++count;
        if (used < capacity - 1) {
            int n = std::snprintf(applied + used, static_cast<std::size_t>(capacity - used), "%s%s",
                                  used ? " " : "", settingsFileName(i));
            used += n > 0 ? n : 0;
            if (used > capacity - 1) used = capacity - 1;
        }
    }
    if (pushChanged) {
        ++count;
        if (used < capacity - 1) std::snprintf(applied + used, static_cast<std::size_t>(capacity - used), "%s%s",
                                               used ? " " : "", "initpush.ini");
    }
    return count;
}

int overridePushTargets(const char* const* targets, int count) {
    PushTargetList list;
    for (int i = 0; i < count; ++i) {
        char host[kNameSize];
        std::uint16_t port;
        if (!pushParseTarget(targets[i], host, sizeof host, &port) || list.count >= kPushTargets) return 0;
        int twice = 0;
        for (int k = 0; k < list.count; ++k) twice |= std::strcmp(list.text[k], targets[i]) == 0;
        if (!twice) copyText(list.text[list.count++], kPushTargetTextSize, targets[i]);
    }
    pushApplyList(list);
    pushOverride = 1;
    return 1;
}

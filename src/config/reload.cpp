// The SIGHUP re-read. A file is known by a hash of its bytes, so nothing is kept
// of its text and a file of any size is compared in one pass.
#include "config/reload.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/dialogs.h"
#include "config/settings.h"
#include "core/app_state.h"
#include "core/commands.h"
#include "net/feed_link.h"
#include "net/relay_server.h"

namespace {

enum Apply { kApplyDialog, kApplyRelayPort, kApplyFlags };

struct WatchedFile {
    const char* name;
    Apply how;
    int dialog;       // kApplyDialog: the dialog whose OK applies it
    int introduces;   // 1 when the feed server learns it only from an introduction
};

const WatchedFile kFiles[] = {
    {"init.ini", kApplyDialog, kDialogSerial, 0},
    {"initsocket.ini", kApplyRelayPort, 0, 0},
    {"BinarComOn.ini", kApplyFlags, 0, 0},
    {"initmkp2.ini", kApplyDialog, kDialogFeed, 0},  // its OK reconnects by itself
    {"point.ini", kApplyDialog, kDialogCoordinates, 1},
    {"name.ini", kApplyDialog, kDialogName, 1},
    {"porog.ini", kApplyDialog, kDialogThreshold, 0},
    {"time.ini", kApplyDialog, kDialogInterval, 0},
    {"frequency.ini", kApplyDialog, kDialogFrequency, 0},
};
constexpr int kFileCount = sizeof kFiles / sizeof kFiles[0];

// 0 stands for a missing file.
std::uint64_t remembered[kFileCount];

std::uint64_t fileHash(const char* name) {
    char path[kPathSize];
    settingsPath(name, path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return 0;
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    unsigned char chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        for (std::size_t i = 0; i < got; ++i) h = (h ^ chunk[i]) * 1099511628211ull;
    std::fclose(f);
    return h | 1;  // never 0, which means missing
}

void applyRelayPort(void* window) {
    char first[kDialogInitSize] = "", unused[kDialogInitSize] = "";
    dialogInit(kDialogServer, first, unused);
    auto port = static_cast<std::uint16_t>(parseSettingInt(first) & 0xFFFF);
    if (port == app.serverPort.load() && app.listenSocket.load() != kNoSocket) return;
    // The window asks for a restart instead; a service restarts the server itself.
    app.serverPort = port;
    stopRelayServer(window);
    startRelayServer(window);
}

void applyFlags() {
    char path[kPathSize];
    settingsPath("BinarComOn.ini", path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return;
    char line[64] = "";
    int binary = app.binaryMode.load(), compress = app.compressFeed.load();
    if (readLine(f, line, sizeof line - 1)) {
        binary = parseSettingInt(line) ? 1 : 0;
        readLine(f, line, sizeof line - 1);
        compress = parseSettingInt(line) ? 1 : 0;
    }
    std::fclose(f);
    // The menu commands switch, mark, save and (compression) reconnect.
    if (binary != (app.binaryMode.load() ? 1 : 0)) handleCommand(kCmdBinaryMode);
    if (compress != (app.compressFeed.load() ? 1 : 0)) handleCommand(kCmdCompressFeed);
}

void applyDialog(const WatchedFile& file) {
    char first[kDialogInitSize] = "", second[kDialogInitSize] = "";
    dialogInit(file.dialog, first, second);
    dialogOk(file.dialog, first, second);
    // The window's OK leaves the link alone and the server learns the new position
    // or name at the next connect; an edited file asks for it now.
    if (file.introduces && app.feed.state.load() == kLinkConnected) dropLink();
}

}  // namespace

void settingsRemember() {
    for (int i = 0; i < kFileCount; ++i) remembered[i] = fileHash(kFiles[i].name);
}

int settingsReload(void* window, char* applied, int capacity) {
    int count = 0, used = 0;
    if (capacity > 0) applied[0] = '\0';
    for (int i = 0; i < kFileCount; ++i) {
        std::uint64_t now = fileHash(kFiles[i].name);
        // A file that went away keeps the values in use, as at start-up.
        if (now == remembered[i] || now == 0) continue;
        const WatchedFile& file = kFiles[i];
        if (file.how == kApplyRelayPort)
            applyRelayPort(window);
        else if (file.how == kApplyFlags)
            applyFlags();
        else
            applyDialog(file);
        ++count;
        if (used < capacity - 1) {
            int n = std::snprintf(applied + used, static_cast<std::size_t>(capacity - used), "%s%s",
                                  used ? " " : "", file.name);
            used += n > 0 ? n : 0;
            if (used > capacity - 1) used = capacity - 1;
        }
    }
    // The OKs wrote their files again (CR LF line ends), so look at them anew.
    settingsRemember();
    return count;
}

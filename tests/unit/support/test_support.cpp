#include "test_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <thread>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "net/relay_fanout.h"

void resetApp() {
    stopRelayFanout();
    // The queues' wake-ups are made once and kept, as in the program.
    EventHandle wake = app.feedQueue.wake.load(), recordWake = app.recordQueue.wake.load();
    EventHandle relayWake = app.relayRing.wake.load(), otherWake = app.otherRing.wake.load();
    app.~AppState();
    new (&app) AppState();
    app.feedQueue.wake = wake;
    app.recordQueue.wake = recordWake;
    app.relayRing.wake = relayWake;
    app.otherRing.wake = otherWake;
    headlessReset();
}

void watchRelayClient(int socket) {
    ClientEntry& e = app.clients.entries[0];
    if (socket == 0) {
        stopRelayFanout();
        e.relaying = 0;
        e.socket = kNoSocket;
        app.clients.joined = 0;
        return;
    }
    copyText(e.peer, kPeerSize, "127.0.0.1");
    e.socket = socket;
    app.clients.joined = 1;
    e.relaying = 1;
    startRelayFanout();
}

ScratchDir::ScratchDir() {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) previous_ = cwd;
    char pattern[] = "/tmp/brevalink-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "/tmp";
    if (chdir(path_.c_str()) != 0) std::perror("chdir");
}

ScratchDir::~ScratchDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) std::perror("chdir");
    std::error_code ec;
    // Make it writable again in case a test took the write bit away.
    chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string sharedDataDir() {
    std::string dir = std::string(BREVALINK_SOURCE_DIR_SUPPORT) + "/../shared/data";
    return fileExists(dir + "/README.md") ? dir : std::string();
}

// Process entry of the Linux program: the command line, start-up, the event loop
// and shutdown, all on the main thread, in the Windows program's order. On a
// terminal it shows the full-screen monitor; otherwise (a service) it writes
// journal lines. SIGINT and SIGTERM end it as Exit does; SIGHUP re-reads the
// settings files.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/linux/shell_linux.h"
#include "core/app_state.h"
#include "core/frontend.h"
#include "core/version.h"
#include "input/tcp_source.h"
#include "net/push.h"
#include "station/commands.h"
#include "station/find.h"
#include "station/reload.h"
#include "station/startup.h"
#include "station/station.h"

namespace {

constexpr int kTickMs = 100;
// The terminal is asked for keys at least this often.
constexpr int kKeyPollMs = 50;

volatile sig_atomic_t endSignal = 0;
volatile sig_atomic_t reloadSignal = 0;

void onSignal(int number) {
    if (number == SIGHUP)
        reloadSignal = 1;
    else
        endSignal = number;
}

const char kUsage[] =
    "usage: brevalink [--dir DIR] [--source SOURCE] [--lines] [--record FILE] [--play FILE]\n"
    "                 [--http ADDR:PORT] [--find-receiver [--apply]] [--push HOST:PORT]...\n"
    "                 [--version] [--help]\n"
    "  --dir DIR      the folder of the settings files, connect.list and recordings\n"
    "                 (default: the current folder)\n"
    "  --source SOURCE  the receiver for this run, instead of init.ini and inittcp.ini:\n"
    "                 tcp:HOST:PORT (a decoder's Beast or AVR port, ser2net, another\n"
    "                 brevalink's relay port; an IPv6 address in brackets),\n"
    "                 listen:[ADDRESS:]PORT (wait for a receiver that pushes its\n"
    "                 stream; no address: every interface) or a serial port such\n"
    "                 as /dev/ttyUSB0\n"
    "  --lines        as a service, also write every record line to stdout\n"
    "  --record FILE  record the receiver's bytes to FILE from the start\n"
    "  --play FILE    play FILE back from the start\n"
    "  --http ADDR:PORT  serve the status page, status.json and /metrics there for\n"
    "                 this run, instead of inithttp.ini (port 0: not at all)\n"
    "  --find-receiver  search the serial ports for the receiver (its speed and form),\n"
    "                 print what each port holds and end: 0 found, 3 none; with\n"
    "                 --apply write init.ini and BinarComOn.ini for it\n"
    "  --push HOST:PORT  push the relay's stream to HOST:PORT for this run, instead\n"
    "                 of initpush.ini (repeatable, at most 8; IPv6 in brackets)\n"
    "On a terminal brevalink shows its monitor (keys 0-5 as in the window, q to end);\n"
    "otherwise it writes one line per event to stdout. SIGINT/SIGTERM end it,\n"
    "SIGHUP re-reads the settings files.\n";

struct CommandLine {
    const char* dir = nullptr;
    int lines = 0;
    const char* record = nullptr;
    const char* play = nullptr;
    const char* source = nullptr;
    const char* http = nullptr;
    int findReceiver = 0;
    int apply = 0;
    const char* push[16] = {};
    int pushes = 0;
};

// kStartGoOn, or the exit code the process ends with (0 after --help or
// --version, 2 for a bad command line).
int parseCommandLine(int argc, char** argv, CommandLine* out) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char** value = nullptr;
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(a, "--version") == 0) {
            std::printf("brevalink %s\n", kBrevalinkVersion);
            return 0;
        } else if (std::strcmp(a, "--find-receiver") == 0) {
            out->findReceiver = 1;
            continue;
        } else if (std::strcmp(a, "--apply") == 0) {
            out->apply = 1;
            continue;
        } else if (std::strcmp(a, "--lines") == 0) {
            out->lines = 1;
            continue;
        } else if (std::strcmp(a, "--dir") == 0) {
            value = &out->dir;
        } else if (std::strcmp(a, "--record") == 0) {
            value = &out->record;
        } else if (std::strcmp(a, "--play") == 0) {
            value = &out->play;
        } else if (std::strcmp(a, "--source") == 0) {
            value = &out->source;
        } else if (std::strcmp(a, "--http") == 0) {
            value = &out->http;
        } else if (std::strcmp(a, "--push") == 0) {
            if (out->pushes >= 16) {
                std::fprintf(stderr, "brevalink: too many --push\n");
                return 2;
            }
            value = &out->push[out->pushes++];
        } else {
            std::fprintf(stderr, "brevalink: unknown option %s\n%s", a, kUsage);
            return 2;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            std::fprintf(stderr, "brevalink: %s needs a value\n%s", a, kUsage);
            return 2;
        }
        *value = argv[++i];
    }
    HttpEndpoint endpoint;
    if (out->http && !parseHttpOverride(out->http, &endpoint)) {
        std::fprintf(stderr, "brevalink: --http %s: give ADDR:PORT, e.g. 0.0.0.0:8754\n", out->http);
        return 2;
    }
    if (out->record && out->play) {
        std::fprintf(stderr, "brevalink: --record and --play cannot run together\n");
        return 2;
    }
    return kStartGoOn;
}

// A file named on the command line is meant from where the command was given,
// before --dir changes the folder.
const char* fromHere(const char* path, char* out, std::size_t capacity) {
    if (!path || path[0] == '/') return path;
    char here[kPathSize];
    if (!getcwd(here, sizeof here)) return path;
    std::snprintf(out, capacity, "%s/%s", here, path);
    return out;
}

void deliver(unsigned message, Socket s, long lParam) { stationEvent(nullptr, message, s, lParam); }

void tellStart() {
    char name[kNameSize], host[kNameSize];
    {
        TextGuard g(app.nameLock);
        copyText(name, sizeof name, app.receiverName);
    }
    {
        TextGuard g(app.feed.textLock);
        copyText(host, sizeof host, app.feed.host);
    }
    char source[2 * kNameSize + 64];
    if (app.tcp.chosen.load()) {
        char where[kNameSize + 16];
        tcpSourceName(where, sizeof where);
        std::snprintf(source, sizeof source,
                      app.tcp.chosen.load() == kTcpChoiceListen ? "tcp source listening on %s" : "tcp source %s", where);
    } else {
        std::snprintf(source, sizeof source, "port %s at %s baud", app.comPortName, app.comBaudText);
    }
    char pushes[kPushTargets][kPushTargetTextSize];
    int pushCount = pushTargetsInUse(pushes, kPushTargets);
    char pushText[kPushTargets * (kPushTargetTextSize + 2) + 32] = "";
    for (int i = 0, used = 0; i < pushCount; ++i)
        used += std::snprintf(pushText + used, sizeof pushText - static_cast<std::size_t>(used), "%s%s",
                              i ? ", " : "; push to ", pushes[i]);
    journalLine("brevalink %s started in %s: %s, %s mode; relay port %u%s; feed %s:%u, "
                "compression %s (interval %d); receiver \"%s\" at %.6f, %.6f; threshold %d; timer %d Hz",
                kBrevalinkVersion, app.startDir, source,
                app.binaryMode.load() ? "binary" : "text", static_cast<unsigned>(app.serverPort.load()), pushText, host,
                static_cast<unsigned>(app.feed.port.load()), app.compressFeed.load() ? "on" : "off",
                static_cast<int>(app.compressInterval.load()), name, app.receiverLat.load() / 3600.0,
                app.receiverLon.load() / 3600.0, static_cast<int>(app.levelThreshold.load()),
                static_cast<int>(app.timerFrequency.load()));
}

// The endpoint of --http, or else inithttp.ini's over the one in use. Main thread.
const char* httpOverride = nullptr;
void applyHttpSettings() {
    HttpEndpoint endpoint = statusInUse();
    if (httpOverride)
        parseHttpOverride(httpOverride, &endpoint);
    else
        readHttpSettings(&endpoint);
    statusApply(endpoint);
}

void reloadSettings() {
    applyHttpSettings();
    char applied[256];
    int n = settingsReload(nullptr, applied, sizeof applied);
    char text[320];
    if (n)
        std::snprintf(text, sizeof text, "settings re-read, applied: %s", applied);
    else
        std::snprintf(text, sizeof text, "settings re-read, nothing changed");
    uiMessageBox(0, text, "SIGHUP", kBoxOk);
}

// A file named by --record or --play that cannot be used ends the program before
// anything starts, with the reason on stderr; the service would otherwise run
// without the recording or playback that was asked for. 1 when it can be used.
int usableExchangeFile(const char* path, int forRecording) {
    if (!path) return 1;
    if (forRecording) {
        // An existing recording is never overwritten.
        if (access(path, F_OK) == 0) {
            std::fprintf(stderr, "brevalink: cannot record to %s: the file exists\n", path);
            return 0;
        }
        std::FILE* f = std::fopen(path, "wb");
        if (f) {
            std::fclose(f);
            unlink(path);
            return 1;
        }
    } else if (std::FILE* f = std::fopen(path, "rb")) {
        std::fclose(f);
        return 1;
    }
    std::fprintf(stderr, "brevalink: cannot %s %s: %s\n", forRecording ? "record to" : "play", path,
                 std::strerror(errno));
    return 0;
}

// The Windows message loop's counterpart: socket events as they come, the tick
// every 100 ms, signals and keys in between. Returns when Exit or a signal asks.
void runLoop(ShellMode mode) {
    std::int64_t nextTick = monotonicMs() + kTickMs;
    while (!shellQuitRequested()) {
        if (endSignal) {
            journalLine("signal %s: ending", endSignal == SIGINT ? "INT" : "TERM");
            break;
        }
        if (reloadSignal) {
            reloadSignal = 0;
            // On a terminal SIGHUP may also mean the terminal has gone (its window
            // closed, the ssh link dropped): then it ends the program as Exit does.
            termios t;
            if (mode == ShellMode::kTerminal && tcgetattr(STDOUT_FILENO, &t) != 0) {
                journalLine("the terminal has gone: ending");
                break;
            }
            reloadSettings();
        }
        std::int64_t now = monotonicMs();
        std::int64_t wait = nextTick - now;
        int most = mode == ShellMode::kTerminal ? kKeyPollMs : kTickMs;
        if (wait > most) wait = most;
        if (wait < 0) wait = 0;
        pumpSocketEvents(static_cast<int>(wait), deliver);
        shellRunDeferred();
        now = monotonicMs();
        if (now >= nextTick) {
            stationTick();
            nextTick += kTickMs;
            // After a stop (a suspended process, a stalled machine) the ticks resume
            // their pace rather than catch up in a burst.
            if (now - nextTick > 10 * kTickMs) nextTick = now + kTickMs;
        }
        statusTurn();
        terminalTurn();
    }
}

}  // namespace

int main(int argc, char** argv) {
    markMainThread();
    CommandLine cl;
    int parsed = parseCommandLine(argc, argv, &cl);
    if (parsed != kStartGoOn) return parsed;
    char recordPath[kPathSize * 2], playPath[kPathSize * 2];
    ShellOptions options;
    options.mode = isatty(STDOUT_FILENO) ? ShellMode::kTerminal : ShellMode::kService;
    options.lines = cl.lines;
    options.recordFile = fromHere(cl.record, recordPath, sizeof recordPath);
    options.playFile = fromHere(cl.play, playPath, sizeof playPath);
    if (cl.dir && chdir(cl.dir) != 0) {
        std::fprintf(stderr, "brevalink: cannot use the folder %s: %s\n", cl.dir, std::strerror(errno));
        return 1;
    }
    if (cl.findReceiver) return findReceiverCommand(cl.apply);
    if (!usableExchangeFile(options.recordFile, 1) || !usableExchangeFile(options.playFile, 0)) return 1;

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A relay client, the feed server or the journal's reader going away is an
    // error on that write, never the end of the program.
    signal(SIGPIPE, SIG_IGN);

    shellStart(options);
    if (options.mode == ShellMode::kService) journalStart();
    if (stationLoad() != kStartGoOn) {
        std::fprintf(stderr, "brevalink: cannot start: the compression library (zlib) is missing or incomplete\n");
        journalStop();
        return 1;
    }
    if (cl.source && !overrideReceiverSource(cl.source)) {
        std::fprintf(stderr,
                     "brevalink: --source %s names no receiver: tcp:HOST:PORT, listen:[ADDRESS:]PORT or a serial port\n",
                     cl.source);
        journalStop();
        return 2;
    }
    if (cl.pushes && !overridePushTargets(cl.push, cl.pushes)) {
        std::fprintf(stderr, "brevalink: --push: give at most 8 targets as HOST:PORT ([IPv6]:PORT)\n");
        journalStop();
        return 2;
    }
    // The tests' way to see a stalled push target given up without waiting 30 s.
    if (const char* ms = std::getenv("BREVALINK_PUSH_STALL_MS")) pushSetTimings(std::atoi(ms), 0);
    // The tests' way to see a silent connection replaced without waiting 120 s.
    if (const char* ms = std::getenv("BREVALINK_TCP_SILENT_MS")) {
        if (std::atoi(ms) > 0) app.tcp.silentLimitMs = std::atoi(ms);
    }
    // A service's first start: the receiver is looked for before the port opens.
    if (options.mode == ShellMode::kService && !cl.source && !app.tcp.chosen.load() && !findInitFileExists())
        findAtFirstStart();
    tellStart();
    if (options.mode == ShellMode::kTerminal && !terminalStart()) {
        std::fprintf(stderr, "brevalink: cannot start: the terminal cannot show the monitor\n");
        return 1;
    }
    terminalTurn();

    stationStart(nullptr);
    if (options.recordFile) handleCommand(kCmdRecord);
    if (options.playFile) handleCommand(kCmdPlayback);
    httpOverride = cl.http;
    applyHttpSettings();
    serviceReady();

    runLoop(options.mode);
    serviceStopping();
    statusStop();
    stationStop(nullptr);
    shellSayPending();
    journalLine("ended");
    terminalStop();
    journalStop();
    return 0;
}

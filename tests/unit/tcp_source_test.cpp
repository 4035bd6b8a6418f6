// The TCP source against a loopback listener playing the receiver's far end: the
// back-off of connects nobody answers, the switch between the port and the
// connection, the command line's source. The real peers (a decoder, ser2net,
// another relay, far ends that close or go silent) are in the Linux cases.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netdb.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/headless/headless_view.h"
#include "config/settings.h"
#include "core/app_state.h"
#include "input/serial_source.h"
#include "input/source.h"
#include "input/tcp_source.h"
#include "net_test_peer.h"
#include "station/dialogs.h"
#include "station/reload.h"
#include "station/station.h"
#include "test_support.h"

// The system's resolver as these tests want it: while hangLookups is set, a
// lookup of "hung.invalid" waits (as one whose name server never answers), and
// then resolves as 127.0.0.1.
namespace {
std::mutex lookupLock;
std::condition_variable lookupWake;
bool hangLookups = false;
std::atomic<int> lookupsHanging{0};
void setLookupsHang(bool hang) {
    std::lock_guard<std::mutex> g(lookupLock);
    hangLookups = hang;
    lookupWake.notify_all();
}
}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) noexcept {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strcmp(node, "hung.invalid") == 0) {
        ++lookupsHanging;
        {
            std::unique_lock<std::mutex> g(lookupLock);
            lookupWake.wait(g, [] { return !hangLookups; });
        }
        --lookupsHanging;
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}

namespace {

std::string statusLine2() {
    char text[600];
    writeSourceLine(text, sizeof text);
    return text;
}

class TcpSource : public ::testing::Test {
protected:
    std::uint16_t port = 0;
    int listening = -1;
    ScratchDir dir;

    void SetUp() override {
        resetApp();
        listening = peer::listenLocal(&port);
        app.tcp.port = port;
        app.tcp.chosen = 1;
    }
    void TearDown() override {
        stopTcpSource();
        // A thread stopped while still inside its connect is left to end by
        // itself (it might be in the resolver); it is joined here once it has.
        EXPECT_TRUE(waitFor([] {
            bool none = true;
            for (ThreadHandle& left : app.tcp.leftThreads) {
                if (left != kNoThread && threadJoinTimed(left, 0)) left = kNoThread;
                none = none && left == kNoThread;
            }
            return none;
        }, 15000));
        if (app.comHandle.load() != kNoSerial) closeComPort();
        close(listening);
    }
    // The main thread's ticks until cond holds.
    template <class Cond>
    bool tickUntil(Cond cond, int timeoutMs = 5000) {
        return waitFor([&] {
            tcpSourceTick();
            return cond();
        }, timeoutMs);
    }
    std::string expectedStatus(const char* state) {
        return "Источник: ТСР 127.0.0.1:" + std::to_string(port) + "  " + state;
    }
};

}  // namespace

TEST_F(TcpSource, FailedConnectsBackOffAndTheSourceEndsAtOnce) {
    close(listening);  // nobody listens: refused, then tried again after 2 s and 4 s
    listening = -1;
    startTcpSource();
    ASSERT_TRUE(tickUntil([] { return app.tcp.state.load() == kTcpWaiting; }));
    EXPECT_EQ(app.tcp.lastEnd.load(), kTcpEndRefused);
    EXPECT_EQ(headlessTrayIcon(), 2);
    EXPECT_EQ(statusLine2(), expectedStatus("Нет связи, повтор через 2 с"));
    ASSERT_TRUE(waitFor([] { return app.tcp.state.load() == kTcpWaiting && tcpSourceRetrySeconds() > 2; }, 5000));
    EXPECT_EQ(tcpSourceRetrySeconds(), 4);

    std::int64_t before = monotonicMs();
    stopTcpSource();
    EXPECT_LT(monotonicMs() - before, 500);
    EXPECT_EQ(app.tcp.state.load(), kTcpOff);
}

TEST_F(TcpSource, DialogOkSwitchesBetweenThePortAndTheConnection) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    app.tcp.chosen = 0;
    app.binaryMode = 1;
    reopenComPort(name, "115200");
    ASSERT_NE(app.comHandle.load(), kNoSerial);

    // Refused texts change nothing and write nothing.
    EXPECT_EQ(dialogOk(kCmdTcpSourceDialog, std::to_string(port).c_str(), "", 1), 0);
    EXPECT_EQ(dialogOk(kCmdTcpSourceDialog, "70000", "127.0.0.1", 1), 0);
    EXPECT_FALSE(fileExists("inittcp.ini"));
    EXPECT_NE(app.comHandle.load(), kNoSerial);

    ASSERT_EQ(dialogOk(kCmdTcpSourceDialog, std::to_string(port).c_str(), "127.0.0.1", 1), 1);
    EXPECT_EQ(readFile("inittcp.ini"), std::to_string(port) + "\r\n127.0.0.1\r\n1\r\n");
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    int far = peer::acceptWithin(listening, 5000);
    ASSERT_GE(far, 0);
    // Our accept can come before the source's connect has returned and made the
    // connection the one the receiver's commands go to.
    ASSERT_TRUE(waitFor([] { return app.tcp.socket.load() != kNoSocket; }, 5000));
    writeReceiverPort("#", 1);
    EXPECT_EQ(peer::readBytes(far, 1), "#");

    // A serial dialog's OK while the connection is the source keeps the texts only.
    dialogOk(kCmdComDialog, name, "9600");
    EXPECT_EQ(app.comHandle.load(), kNoSerial);

    char first[kDialogInitSize], second[kDialogInitSize];
    int checked = 0;
    dialogInit(kCmdTcpSourceDialog, first, second, &checked);
    EXPECT_EQ(checked, 1);
    ASSERT_EQ(dialogOk(kCmdTcpSourceDialog, first, second, 0), 1);
    EXPECT_TRUE(peer::readsToEnd(far, nullptr, 3000));
    EXPECT_NE(app.comHandle.load(), kNoSerial);
    EXPECT_STREQ(app.comBaudText, "9600");
    EXPECT_EQ(statusLine2(), "");

    // A reload that finds the TCP source chosen again switches as the OK does.
    writeFile("inittcp.ini", std::to_string(port) + "\r\n127.0.0.1\r\n1\r\n");
    char applied[128];
    EXPECT_EQ(settingsReload(nullptr, applied, sizeof applied), 1);
    EXPECT_STREQ(applied, "inittcp.ini");
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    int again = peer::acceptWithin(listening, 5000);
    EXPECT_GE(again, 0);
    close(again);
    close(far);
    close(master);
    close(slave);
}

TEST_F(TcpSource, ANewConnectionStartsTheDecoderAfresh) {
    // The far end hangs up just after the first half of an escaped 0x1A; the next
    // connection starts with the tail of some frame, then a whole one. Only the
    // whole frame may reach the feed: nothing of the cut one, nor a frame made of
    // one's timestamp and another's payload.
    int feedPair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, feedPair));
    app.feed.socket = feedPair[0];
    app.feed.state = kLinkConnected;
    app.binaryMode = 1;
    app.levelThreshold = 0;
    startTcpSource();
    int far = peer::acceptWithin(listening, 5000);
    ASSERT_GE(far, 0);
    const std::string cut("\x1a" "2" "\x00\x00\x00\x00\x00\x1a\x1a", 9);
    ASSERT_EQ(send(far, cut.data(), cut.size(), 0), static_cast<ssize_t>(cut.size()));
    ASSERT_TRUE(waitFor([&] { return app.stats[kSourceTcp].bytes.load() == cut.size(); }));
    close(far);
    int again = peer::acceptWithin(listening, 10000);
    ASSERT_GE(again, 0);
    const std::string next("\x00\x00\x4c\x4b\x40\x80\x8d\x48\x40\xd6\x20\x2c\xc3"
                           "\x1a" "2" "\x00\x00\x00\x22\x22\x22\x90\x5d\x48\x40\xd6\x20\x2c\xc3",
                           29);
    ASSERT_EQ(send(again, next.data(), next.size(), 0), static_cast<ssize_t>(next.size()));
    std::string fed;
    ASSERT_TRUE(waitFor([&] {
        peer::writeQueued();
        char buf[512];
        for (ssize_t n; (n = recv(feedPair[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) fed.append(buf, n);
        return app.stats[kSourceTcp].bytes.load() == cut.size() + next.size();
    }));
    peer::writeQueued();
    char buf[512];
    for (ssize_t n; (n = recv(feedPair[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) fed.append(buf, n);
    EXPECT_EQ(fed, "@0000002222225D4840D6202CC3;\r\n");
    close(again);
    app.feed.socket = kNoSocket;
    close(feedPair[0]);
    close(feedPair[1]);
}

TEST_F(TcpSource, ReloadsWhileANameLookupHangsNeverWaitForTheResolver) {
    setLookupsHang(true);
    // However the test ends, the hung lookups are let go.
    struct Release {
        ~Release() { setLookupsHang(false); }
    } release;
    applyTcpSource(1, port, "hung.invalid");
    ASSERT_TRUE(waitFor([] { return lookupsHanging.load() == 1; }));
    // Twelve reloads, each with another port, while the lookup hangs: not one
    // waits for the resolver, and no second lookup is started beside the first.
    std::int64_t before = monotonicMs();
    for (int i = 1; i <= 12; ++i) applyTcpSource(1, static_cast<std::uint16_t>(port + i % 2), "hung.invalid");
    std::int64_t took = monotonicMs() - before;
    EXPECT_LT(took, 2000);
    ASSERT_TRUE(tickUntil([] { return app.tcp.state.load() == kTcpWaiting; }));
    EXPECT_EQ(app.tcp.lastEnd.load(), kTcpEndLookupBusy);
    EXPECT_EQ(lookupsHanging.load(), 1);
    EXPECT_EQ(statusLine2().rfind("Источник: ТСР hung.invalid:", 0), 0u) << statusLine2();
    // Once the resolver answers, the source connects.
    setLookupsHang(false);
    int far = peer::acceptWithin(listening, 10000);
    EXPECT_GE(far, 0);
    if (far >= 0) close(far);
    // The thread left in the resolver ends and is released by the ticks.
    EXPECT_TRUE(tickUntil([] {
        for (ThreadHandle t : app.tcp.leftThreads)
            if (t != kNoThread) return false;
        return true;
    }));
}

TEST(TcpSourceOverride, CommandLineSourcesAndTheirRefusals) {
    resetApp();
    EXPECT_EQ(overrideReceiverSource("tcp:[::1]:30005"), 1);
    EXPECT_EQ(app.tcp.chosen.load(), 1);
    char name[300];
    tcpSourceName(name, sizeof name);
    EXPECT_STREQ(name, "[::1]:30005");
    EXPECT_EQ(overrideReceiverSource("tcp:feeder.local:0"), 0);
    EXPECT_EQ(overrideReceiverSource("tcp:30005"), 0);
    EXPECT_EQ(overrideReceiverSource("/dev/ttyUSB0"), 1);
    EXPECT_EQ(app.tcp.chosen.load(), 0);
    EXPECT_STREQ(app.comPortName, "/dev/ttyUSB0");
}

// The source tells each change once as a link event: refused again after its
// back-off is no news; the connect names the address; the far end's close is a
// loss with its reason and the wait; the switch to the port stops it.
TEST_F(TcpSource, ChangesAreToldOnceAsLinkEvents) {
    app.binaryMode = 1;  // no start commands, which a close unread would turn into a reset
    std::uint16_t listeningPort = port;
    close(listening);
    listening = -1;
    startTcpSource();
    ASSERT_TRUE(waitFor([] {
        tcpSourceTick();
        return app.tcp.state.load() == kTcpWaiting && tcpSourceRetrySeconds() > 2;
    }, 8000));  // the second attempt has failed too
    auto events = [] {
        std::vector<std::string> out;
        char text[600];
        for (int i = 0, n = headlessLinkEvents(nullptr, 0, 0); i < n; ++i) {
            headlessLinkEvents(text, sizeof text, i);
            out.push_back(text);
        }
        return out;
    };
    std::string name = "tcp source 127.0.0.1:" + std::to_string(listeningPort);
    ASSERT_EQ(events(), std::vector<std::string>({name + " cannot connect: connection refused; trying again in 2 s"}));

    // Listening again on the same port: the next attempt connects.
    listening = peer::listenLocal(&port);
    app.tcp.port = port;
    name = "tcp source 127.0.0.1:" + std::to_string(port);
    startTcpSource();
    int far = -1;
    ASSERT_TRUE(tickUntil([&] {
        if (far < 0) far = peer::acceptWithin(listening, 10);
        return events().size() >= 3;
    }, 8000));
    EXPECT_EQ(events()[1], "tcp source 127.0.0.1:" + std::to_string(listeningPort) + " removed: ");
    EXPECT_EQ(events()[2], name + " connected: 127.0.0.1");
    ::close(far);
    ASSERT_TRUE(tickUntil([&] { return events().size() >= 4; }));
    EXPECT_EQ(events()[3], name + " lost: closed by the far end; trying again in 2 s");
    stopTcpSource();
    EXPECT_EQ(events().back(), name + " removed: ");
}

// Listening: one pusher at a time. A second one is taken in and closed at once,
// named; the receiver's commands go to the one connected; its leaving is told and
// the port waits on until the source connects instead. (The next pusher taken
// and a silent one closed: the Linux case.)
TEST_F(TcpSource, ListeningTakesOnePeerAtATime) {
    close(listening);
    listening = -1;
    port = peer::freePort();
    app.binaryMode = 1;  // no start commands: the peers here read nothing unasked
    applyTcpSource(kTcpChoiceListen, port, "127.0.0.1");
    std::vector<std::string> seen;
    auto tickUntilEvent = [&](const std::string& want) {
        return tickUntil([&] {
            char text[600];
            for (int n = headlessLinkEvents(nullptr, 0, 0); static_cast<int>(seen.size()) < n;) {
                headlessLinkEvents(text, sizeof text, static_cast<int>(seen.size()));
                seen.push_back(text);
            }
            return !seen.empty() && seen.back() == want;
        });
    };
    const std::string name = "tcp source 127.0.0.1:" + std::to_string(port);
    ASSERT_TRUE(tickUntilEvent(name + " listening: port " + std::to_string(port)));
    EXPECT_EQ(statusLine2(), "Источник: ТСР, ждем на порту " + std::to_string(port));

    int first = peer::connectLocal(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(tickUntilEvent(name + " connected: 127.0.0.1"));
    EXPECT_EQ(statusLine2(), "Источник: ТСР, подключен 127.0.0.1");
    int second = peer::connectLocal(port);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(peer::readsToEnd(second, nullptr, 3000)) << "the second pusher is not closed";
    ASSERT_TRUE(tickUntilEvent(name + " refused: 127.0.0.1: 127.0.0.1 is connected"));
    close(second);
    // The first one is still the source: its bytes come in, our commands go to it.
    peer::sendText(first, "abc");
    ASSERT_TRUE(waitFor([] { return app.stats[kSourceTcp].bytes.load() == 3; }));
    writeReceiverPort("#43-00\n", 7);
    EXPECT_EQ(peer::readBytes(first, 7), "#43-00\n");

    close(first);
    ASSERT_TRUE(tickUntilEvent(name + " lost: closed by the far end; waiting for the next"));
    EXPECT_EQ(statusLine2(), "Источник: ТСР, ждем на порту " + std::to_string(port));
    // Back to connecting: the listening port closes.
    applyTcpSource(kTcpChoiceConnect, port, "127.0.0.1");
    EXPECT_TRUE(waitFor([&] {
        int late = peer::connectLocal(port);
        if (late >= 0) close(late);
        return late < 0;
    }));
}

TEST(TcpSourceOverride, ListeningSourcesAndTheFile) {
    resetApp();
    ScratchDir dir;
    EXPECT_EQ(overrideReceiverSource("listen:30004"), 1);
    EXPECT_EQ(app.tcp.chosen.load(), kTcpChoiceListen);
    char name[300];
    tcpSourceName(name, sizeof name);
    EXPECT_STREQ(name, "0.0.0.0:30004");
    EXPECT_EQ(overrideReceiverSource("listen:10.1.2.3:30104"), 1);
    tcpSourceName(name, sizeof name);
    EXPECT_STREQ(name, "10.1.2.3:30104");
    EXPECT_EQ(overrideReceiverSource("listen::30005"), 1);
    for (const char* bad : {"listen:", "listen:feeder.local:30004", "listen:70000", "listen:[::1]:30004"})
        EXPECT_EQ(overrideReceiverSource(bad), 0) << bad;

    // Line 3: old files mean what they meant, 2 listens with the host as the address.
    resetApp();
    writeFile("inittcp.ini", "30004\r\n\r\n2\r\n");
    loadAllSettings();
    EXPECT_EQ(app.tcp.chosen.load(), kTcpChoiceListen);
    EXPECT_STREQ(app.tcp.host, "");
    writeFile("inittcp.ini", "30005\r\nfeeder.local\r\n1\r\n");
    loadAllSettings();
    EXPECT_EQ(app.tcp.chosen.load(), kTcpChoiceConnect);
    writeFile("inittcp.ini", "30005\r\nfeeder.local\r\n3\r\n");
    loadAllSettings();
    EXPECT_EQ(app.tcp.chosen.load(), kTcpChoicePort);

    // The dialog: the choice shows and is written as line 3; a name is no address
    // to listen on.
    char first[kDialogInitSize], second[kDialogInitSize];
    int checked = -1;
    writeFile("inittcp.ini", "30004\r\n\r\n2\r\n");
    dialogInit(kCmdTcpSourceDialog, first, second, &checked);
    EXPECT_EQ(checked, 2);
    EXPECT_STREQ(second, "");
    EXPECT_EQ(dialogOk(kCmdTcpSourceDialog, "30004", "feeder.local", 2), 0);
    EXPECT_EQ(readFile("inittcp.ini"), "30004\r\n\r\n2\r\n");
    ASSERT_EQ(dialogOk(kCmdTcpSourceDialog, "30004", "", 0), 1);
    EXPECT_EQ(readFile("inittcp.ini"), "30004\r\n\r\n0\r\n");
}

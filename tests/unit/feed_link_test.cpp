// The feed link against a loopback feed server: failed attempts and their status
// texts, the connect with its introduction, the server's commands, the server
// closing the link and the reconnect, the cooperative stop.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "display/display.h"
#include "input/decoder.h"
#include "net/feed_encoder.h"
#include "net/feed_link.h"
#include "station/station.h"
#include "net_test_peer.h"
#include "test_support.h"

namespace {

const std::string kIntroduction = "#Rostov-on-Don\r\n#47.198200\r\n#39.628200\r\n#TEXT\r\n";

std::string status() {
    TextGuard g(app.feed.textLock);
    return app.feed.status;
}

std::string clientLine() {
    char line[2048];
    headlessStatusLine(1, line, sizeof line);
    return line;
}

std::string clientLineFor(const std::string& text) {
    char line[512];
    std::snprintf(line, sizeof line, "Клиент: % 5d  %s", static_cast<int>(app.feed.port.load()), text.c_str());
    return line;
}

// Connections that fill a listener's queue, so that the next connect blocks.
void fillListenQueue(std::uint16_t port, int* queued, int count) {
    for (int i = 0; i < count; ++i) {
        queued[i] = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(queued[i], reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
}

class FeedLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetApp();
        feedLockCreate();
        peer::loadCompress();
        markMainThread();
    }
    void TearDown() override {
        writer_.reset();
        stopReconnectThread();
        if (app.reconnectThread != kNoThread) threadJoin(app.reconnectThread);
        sockClose(app.feed.socket.exchange(kNoSocket));
        if (listening_ >= 0) ::close(listening_);
    }
    void listen() {
        std::uint16_t port;
        listening_ = peer::listenLocal(&port, 4);
        app.feed.port = port;
    }
    // One attempt on its own thread, as the reconnect thread makes it, while this
    // thread plays the main thread.
    void connectOnce(const char* host = "127.0.0.1") {
        if (!writer_) writer_ = std::make_unique<peer::LinkWriter>();
        std::string h = host;
        std::thread t([h] { linkConnect(nullptr, h.c_str()); });
        t.join();
    }

    ScratchDir dir_;
    int listening_ = -1;
    std::unique_ptr<peer::LinkWriter> writer_;  // the link thread's writing, for connectOnce
};

TEST_F(FeedLinkTest, NothingListeningLeavesStateAndShowsConnectError) {
    app.feed.port = peer::freePort();
    app.feed.state = kLinkDropped;
    connectOnce();
    EXPECT_EQ("Ошибка connect", status());
    EXPECT_EQ(kNoSocket, app.feed.socket.load());
    EXPECT_EQ(kLinkDropped, app.feed.state.load());
    EXPECT_EQ(clientLineFor("Ошибка connect"), clientLine());
}

TEST_F(FeedLinkTest, UnresolvableHostShowsItAndLongHostIsCut) {
    app.feed.port = peer::freePort();
    connectOnce("no-such-host.invalid");
    EXPECT_EQ("Ошибка no-such-host.invalid", status());
    EXPECT_EQ(kNoSocket, app.feed.socket.load());
    EXPECT_EQ(kLinkNotYet, app.feed.state.load());

    std::string longHost(kNameSize - 1, 'h');
    connectOnce(longHost.c_str());
    std::string s = status();
    EXPECT_EQ(kNameSize - 1, static_cast<int>(s.size()));
    EXPECT_EQ(0u, s.find("Ошибка hhhh"));
}

TEST_F(FeedLinkTest, ConnectIntroducesItselfThenCommandsSwitchTheFeed) {
    listen();
    connectOnce();
    int server = peer::acceptWithin(listening_, 2000);
    ASSERT_GE(server, 0);
    EXPECT_EQ(kIntroduction, peer::readBytes(server, kIntroduction.size()));
    EXPECT_EQ(kLinkConnected, app.feed.state.load());
    EXPECT_EQ("Соединение 127.0.0.1", status());
    EXPECT_EQ(clientLineFor("Соединение 127.0.0.1"), clientLine());

    peer::sendText(server, "#SET OUT DATE ORIGINAL\r\n");
    EXPECT_TRUE(peer::pumpUntil([] { return app.rawFeed.load() == 1; }));
    peer::sendText(server, "#SET OUT DATE TEXT\r\n");
    EXPECT_TRUE(peer::pumpUntil([] { return app.rawFeed.load() == 0; }));
    EXPECT_EQ(kLinkConnected, app.feed.state.load());

    // The server closes: the link is dropped on the main thread.
    ::close(server);
    EXPECT_TRUE(peer::pumpUntil([] { return app.feed.state.load() == kLinkDropped; }));
    EXPECT_EQ("Связь разорвана", status());
    EXPECT_EQ(clientLineFor("Связь разорвана"), clientLine());
    EXPECT_EQ(kNoSocket, app.feed.socket.load());
}

TEST_F(FeedLinkTest, DropLinkClosesTheConnection) {
    listen();
    connectOnce();
    int server = peer::acceptWithin(listening_, 2000);
    ASSERT_GE(server, 0);
    peer::readBytes(server, kIntroduction.size());
    ASSERT_EQ(kLinkConnected, app.feed.state.load());
    dropLink();
    EXPECT_EQ(kLinkDropped, app.feed.state.load());
    EXPECT_EQ(kNoSocket, app.feed.socket.load());
    EXPECT_EQ("Связь разорвана", status());
    EXPECT_TRUE(peer::readsToEnd(server, nullptr));
    ::close(server);
}

TEST_F(FeedLinkTest, ReconnectThreadConnectsAgainWithAFreshIntroduction) {
    listen();
    app.compressFeed = 1;
    startReconnectThread();
    int first = peer::acceptWithin(listening_, 5000);
    ASSERT_GE(first, 0);
    const std::string intro = "#Rostov-on-Don\r\n#47.198200\r\n#39.628200\r\n#TEXT:COMPRESS\r\n";
    EXPECT_EQ(intro, peer::readBytes(first, intro.size()));
    EXPECT_TRUE(peer::pumpUntil([] { return app.feed.state.load() == kLinkConnected; }));

    // Record lines, compressed: staged, then one block after the interval.
    app.compressInterval = 2;
    std::thread reader([] {
        emitRecordLine("@000000000001A1;\r\n", 18, 1);
        emitRecordLine("@000000000002B2;\r\n", 18, 1);
        for (int i = 0; i < 3; ++i) advanceFlushClock();
        emitRecordLine("@000000000003C3;\r\n", 18, 1);
    });
    reader.join();
    std::string wire;
    std::vector<peer::Block> blocks;
    std::size_t used = 0;
    ASSERT_TRUE(waitFor([&] {
        wire += peer::readBytes(first, 1 << 16, 20);
        blocks = peer::splitBlocks(wire, &used);
        return !blocks.empty() && used == wire.size();
    }));
    ASSERT_EQ(1u, blocks.size());
    EXPECT_TRUE(blocks[0].wellFormed);
    EXPECT_EQ("@000000000001A1;\r\n@000000000002B2;\r\n@000000000003C3;\r\n", peer::inflate(blocks[0].payload));

    ::close(first);
    EXPECT_TRUE(peer::pumpUntil([] { return app.feed.state.load() == kLinkDropped; }));
    int second = peer::acceptWithin(listening_, 5000);
    ASSERT_GE(second, 0);
    EXPECT_EQ(intro, peer::readBytes(second, intro.size()));
    EXPECT_TRUE(peer::pumpUntil([] { return app.feed.state.load() == kLinkConnected; }));
    ::close(second);
    EXPECT_TRUE(peer::pumpUntil([] { return app.feed.state.load() == kLinkDropped; }));
}

TEST_F(FeedLinkTest, AfterStopNoAttemptIsMadeAndTheLinkIsLeftAlone) {
    // A listener whose queue is full: the attempt blocks in connect.
    std::uint16_t port;
    listening_ = peer::listenLocal(&port, 0);
    app.feed.port = port;
    int queued[3];
    fillListenQueue(port, queued, sizeof queued / sizeof queued[0]);
    startReconnectThread();
    ASSERT_TRUE(waitFor([] { return status() == "Идет установление связи"; }));
    stopReconnectThread();
    std::string statusAtStop = status();
    int stateAtStop = app.feed.state.load();

    // Let the blocked attempt end either way, then wait for the thread itself.
    ::close(listening_);
    listening_ = -1;
    if (app.reconnectThread != kNoThread) {
        threadJoin(app.reconnectThread);
        app.reconnectThread = kNoThread;
    }
    EXPECT_EQ(statusAtStop, status());
    EXPECT_EQ(stateAtStop, app.feed.state.load());
    EXPECT_NE(kLinkConnected, app.feed.state.load());
    for (int q : queued)
        if (q >= 0) ::close(q);
}

TEST_F(FeedLinkTest, DropDuringAnAttemptIsNotUndoneByItsEnd) {
    // The attempt blocks in connect behind a queued connection; meanwhile the
    // link is dropped (as by a close event). The attempt still completes, but must
    // neither mark the link connected nor leave its socket open.
    std::uint16_t port;
    listening_ = peer::listenLocal(&port, 0);
    app.feed.port = port;
    int queued[1];
    fillListenQueue(port, queued, sizeof queued / sizeof queued[0]);
    std::thread attempt([] { linkConnect(nullptr, "127.0.0.1"); });
    ASSERT_TRUE(waitFor([] { return app.feed.socket.load() != kNoSocket; }));
    dropLink();
    EXPECT_EQ("Связь разорвана", status());

    // Let the attempt through: take the queued connection, then ours.
    std::vector<int> accepted;
    for (;;) {
        int fd = peer::acceptWithin(listening_, 10000);
        ASSERT_GE(fd, 0);
        accepted.push_back(fd);
        if (accepted.size() == 2) break;
    }
    attempt.join();
    // Its introduction was queued but never written: the link was gone.
    std::string got;
    EXPECT_TRUE(peer::readsToEnd(accepted[1], &got));
    EXPECT_EQ("", got);
    EXPECT_EQ(kLinkDropped, app.feed.state.load());
    EXPECT_EQ(kNoSocket, app.feed.socket.load());
    for (int fd : accepted) ::close(fd);
    for (int q : queued) ::close(q);
}

TEST_F(FeedLinkTest, ADroppedLinksRestNeverReachesTheNextConnection) {
    // The link thread is still writing a long queue to a server that reads slowly
    // when the link is dropped, and the next connection gets the same socket number
    // (the usual case: the lowest free descriptor, a freed handle value). The rest
    // of the old stream must never land there.
    listen();
    connectOnce();
    int server = peer::acceptWithin(listening_, 2000);
    ASSERT_GE(server, 0);
    peer::readBytes(server, kIntroduction.size());
    ASSERT_EQ(kLinkConnected, app.feed.state.load());
    const Socket s = app.feed.socket.load();
    static std::vector<unsigned char> chunk(64 * 1024, 'x');
    ASSERT_TRUE(feedLockAcquire(1000));
    for (int i = 0; i < 60; ++i) feedSend(chunk.data(), static_cast<int>(chunk.size()));
    feedLockRelease();
    ASSERT_FALSE(peer::readBytes(server, 1).empty());
    dropLink();

    std::uint16_t nextPort;
    int nextListening = peer::listenLocal(&nextPort, 4);
    int next = peer::connectLocal(nextPort);
    int nextServer = peer::acceptWithin(nextListening, 2000);
    ASSERT_GE(nextServer, 0);
    ::fcntl(next, F_SETFL, ::fcntl(next, F_GETFL, 0) | O_NONBLOCK);  // as every registered socket of ours
    ASSERT_EQ(static_cast<int>(s), ::dup2(next, static_cast<int>(s)));
    ::close(next);

    EXPECT_TRUE(waitFor([] { return feedQueueWaiting() == 0; }));  // the dropped link's rest is discarded
    EXPECT_EQ("", peer::readBytes(nextServer, 1, 500));
    ::close(static_cast<int>(s));
    ::close(nextServer);
    ::close(nextListening);
    ::close(server);
}

TEST_F(FeedLinkTest, AServerThatStopsReadingLosesTheLinkAndGetsAFreshOne) {
    // The server takes the introduction and then nothing more. Record lines keep
    // coming and are only ever queued; once the queue is over its bound the link
    // is dropped as if the server had closed it, and the next one starts afresh.
    listen();
    startReconnectThread();
    int first = peer::acceptWithin(listening_, 5000);
    ASSERT_GE(first, 0);
    EXPECT_EQ(kIntroduction, peer::readBytes(first, kIntroduction.size()));
    ASSERT_TRUE(waitFor([] { return app.feed.state.load() == kLinkConnected; }));
    const std::string line = "@" + std::string(120, '0') + ";\r\n";
    ASSERT_TRUE(waitFor(
        [&] {
            for (int i = 0; i < 1000 && app.feed.state.load() == kLinkConnected; ++i)
                emitRecordLine(line.c_str(), static_cast<int>(line.size()), 1);
            return app.feed.state.load() != kLinkConnected;
        },
        30000));
    EXPECT_EQ("Связь разорвана", status());
    int second = peer::acceptWithin(listening_, 5000);
    ASSERT_GE(second, 0);
    EXPECT_EQ(kIntroduction, peer::readBytes(second, kIntroduction.size()));
    ::close(second);
    ::close(first);
}

TEST(FeedQueue, UnitsStayWholeAndInOrderUpToTheBound) {
    resetApp();
    std::string queued, written;
    auto put = [&](char c, int n) {
        std::string unit(static_cast<std::size_t>(n), c);
        int ok = feedQueuePut(reinterpret_cast<const unsigned char*>(unit.data()), n);
        if (ok) queued += unit;
        return ok;
    };
    auto take = [&](std::uint64_t n) {
        while (n > 0) {
            const unsigned char* data;
            int together = std::min<int>(feedQueuePeek(&data), static_cast<int>(n));
            written.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(together));
            feedQueueTake(together);
            n -= static_cast<std::uint64_t>(together);
        }
    };
    // Units of odd sizes around the ring several times, so they wrap its end.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; feedQueueWaiting() + 5000 < kFeedQueueSize; ++i)
            ASSERT_TRUE(put(static_cast<char>('a' + i % 26), 4099));
        take(feedQueueWaiting() - 1234);
    }
    // A unit that does not fit is refused whole; so is everything after it, even
    // what would fit, until the queue is emptied.
    int room = static_cast<int>(kFeedQueueSize - feedQueueWaiting());
    EXPECT_FALSE(put('X', room + 1));
    EXPECT_FALSE(put('Y', 1));
    EXPECT_EQ(1, app.feedQueue.overflow.load());
    take(feedQueueWaiting());
    EXPECT_TRUE(queued == written);
    feedQueueDiscard();
    EXPECT_EQ(0, app.feedQueue.overflow.load());
    EXPECT_TRUE(put('Z', room + 1));
}

TEST_F(FeedLinkTest, ShutdownTakesTheLinkOutOfUseBeforeTheNetworkGoes) {
    // Shutdown stops the reconnect thread and then releases the network stack,
    // while the serial reader still decodes until the port closes. Sends on the
    // released stack would each cost the full retries (seconds per line) and keep
    // the port open that long; the link is out of use from the stop on.
    listen();
    connectOnce();
    int server = peer::acceptWithin(listening_, 2000);
    ASSERT_GE(server, 0);
    peer::readBytes(server, kIntroduction.size());
    ASSERT_EQ(kLinkConnected, app.feed.state.load());
    stopReconnectThread();
    EXPECT_NE(kLinkConnected, app.feed.state.load());
    const char line[] = "@0123456789ABCDEF0123456789;\r\n";
    emitRecordLine(line, static_cast<int>(std::strlen(line)), 1);
    EXPECT_EQ("", peer::readBytes(server, 1, 300));
    ::close(server);
}

TEST_F(FeedLinkTest, TickAdvancesTheClockAndShowsTheNewestLine) {
    app.compressFeed = 1;
    displayLine("@newest;", kDisplayStore);
    stationTick();
    EXPECT_EQ(1, app.acc.flushTicks.load());
    char line[1024];
    headlessMonitorLine(kMonitorLines - 1, line, sizeof line);
    EXPECT_STREQ("@newest;", line);
}

TEST_F(FeedLinkTest, StagedLinesLeaveByTheTickOnceTheIntervalHasPassed) {
    // A quiet site: one line, then nothing. It goes out after the interval without
    // waiting for the next line, but only while the link is up.
    app.compressFeed = 1;
    app.compressInterval = 3;
    const char text[] = "@000000000001A1;\r\n";
    feedSend(reinterpret_cast<const unsigned char*>(text), 18);
    for (int i = 0; i < 5; ++i) stationTick();
    EXPECT_EQ(18, app.acc.fill);  // not connected: staged lines wait for the next link
    app.feed.state = kLinkConnected;
    stationTick();
    EXPECT_EQ(0, app.acc.fill);
    char shown[1024];
    headlessMonitorLine(kMonitorLines - 1, shown, sizeof shown);
    EXPECT_EQ("18 -> " + std::to_string(feedQueueWaiting()), std::string(shown));
}

}  // namespace

namespace {
std::vector<std::string> linkEvents() {
    std::vector<std::string> out;
    char text[600];
    int n = headlessLinkEvents(nullptr, 0, 0);
    for (int i = 0; i < n; ++i) {
        headlessLinkEvents(text, sizeof text, i);
        out.push_back(text);
    }
    return out;
}
}  // namespace

// The link tells each change once: attempts refused again and again are one
// failure, then the connect, then the loss with its reason, by the address it had.
TEST_F(FeedLinkTest, ChangesAreToldOnceAsLinkEvents) {
    std::uint16_t refused = peer::freePort();
    app.feed.port = refused;
    connectOnce();
    connectOnce();
    connectOnce();
    std::string name = "127.0.0.1:" + std::to_string(refused);
    ASSERT_EQ(linkEvents(), std::vector<std::string>({"feed " + name + " cannot connect: Ошибка connect"}));

    listen();
    connectOnce();
    int server = peer::acceptWithin(listening_, 2000);
    ASSERT_GE(server, 0);
    std::string now = "127.0.0.1:" + std::to_string(app.feed.port.load());
    // A new address: the loss is told by the old one's name.
    {
        TextGuard g(app.feed.textLock);
        copyText(app.feed.host, kNameSize, "192.0.2.7");
    }
    relinkFeed();
    ::close(server);
    std::vector<std::string> events = linkEvents();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[1], "feed " + now + " connected: 127.0.0.1");
    EXPECT_EQ(events[2], "feed " + now + " lost: new settings");
}

// The serial source on pseudo-terminals: the master side plays the receiver, the
// program opens the slave by its path as it would open a COM port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "core/app_state.h"
#include "station/commands.h"
#include "app/headless/headless_view.h"
#include "input/receiver.h"
#include "input/serial_source.h"
#include "net_test_peer.h"
#include "test_support.h"

namespace {

const char kLine1[] = "*8D4840D6202CC371C32CE0576098;\r\n";
const char kLine2[] = "*8D40621D58C382D690C8AC2863A7;\r\n";

std::string newestLine() {
    TextGuard g(app.ring.lock);
    return app.ring.slots[app.ring.write];
}

// Everything the peer of a socket has sent so far, without waiting.
std::string drainNow(int fd) {
    peer::writeQueued();  // what the link thread would have written by now
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// A socket pair standing in for one TCP peer: the program sends on `ours`, the test
// reads `theirs` on a thread of its own so that no send ever waits for the test.
struct Peer {
    int ours = -1, theirs = -1;
    std::atomic<bool> stop{false};
    std::string received;
    std::atomic<std::size_t> size{0};
    std::atomic<std::int64_t> receivedUs{0};  // when the last bytes came
    TextLock lock;
    std::thread reader;

    Peer() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            ours = sv[0];
            theirs = sv[1];
        }
        reader = std::thread([this] {
            char buf[8192];
            while (!stop.load()) {
                pollfd p{theirs, POLLIN, 0};
                if (poll(&p, 1, 20) <= 0) continue;
                ssize_t n = recv(theirs, buf, sizeof buf, 0);
                if (n <= 0) break;
                TextGuard g(lock);
                received.append(buf, static_cast<std::size_t>(n));
                receivedUs = monotonicUs();
                size = received.size();
            }
        });
    }
    ~Peer() {
        stop = true;
        reader.join();
        close(ours);
        close(theirs);
    }
    std::string text() {
        TextGuard g(lock);
        return received;
    }
};

class SerialPort : public ::testing::Test {
protected:
    int master = -1;
    int slave = -1;
    std::string path;

    void SetUp() override {
        resetApp();
        char name[256];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        copyText(app.comPortName, kNameSize, path.c_str());
        copyText(app.comBaudText, kNameSize, "115200");
    }
    void TearDown() override {
        if (app.comHandle.load() != kNoSerial) closeComPort();
        close(master);
        close(slave);
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the program wrote to the receiver: waits until `count` bytes came or
    // the deadline passed.
    std::string receive(std::size_t count, int timeoutMs = 5000) {
        std::string got;
        std::int64_t until = monotonicMs() + timeoutMs;
        while (got.size() < count) {
            std::int64_t left = until - monotonicMs();
            if (left <= 0) break;
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[256];
            ssize_t n = read(master, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    // Writes a marker on the program's side of the line: whatever the program wrote
    // before it arrives first, so "nothing but the marker" proves nothing was sent.
    std::string receiveUpToMarker() {
        const char marker[] = "<mark>";
        EXPECT_EQ(write(slave, marker, 6), 6);
        std::string got;
        while (got.size() < 6 || got.compare(got.size() - 6, 6, marker) != 0) {
            std::string more = receive(1);
            if (more.empty()) break;
            got += more;
        }
        return got.substr(0, got.size() >= 6 ? got.size() - 6 : 0);
    }
    void watchClient(Peer& p) { watchRelayClient(p.ours); }
    void watchFeed(Peer& p) {
        app.feed.socket = p.ours;
        app.feed.state = kLinkConnected;
        app.rawFeed = 1;
    }
    void unwatch() {
        watchRelayClient(0);
        app.feed.state = kLinkNotYet;
        app.feed.socket = kNoSocket;
    }
};

TEST_F(SerialPort, EveryDestinationGetsTheStreamByteForByte) {
    // A real capture when there is one, else the text frames, in both cases with
    // escaped 0x1A bytes and frames cut anywhere by the reads.
    std::string stream;
    std::string dir = sharedDataDir();
    if (!dir.empty()) {
        std::ifstream in(dir + "/beast-capture-60s.bin", std::ios::binary);
        stream.assign(std::istreambuf_iterator<char>(in), {});
        stream.resize(std::min<std::size_t>(stream.size(), 64 * 1024));
        app.binaryMode = 1;
        app.levelThreshold = 300;  // no record line to the feed: only raw bytes there
    } else {
        for (int i = 0; i < 500; ++i) stream += (i % 2) ? kLine1 : kLine2;
    }
    peer::LinkWriter link;
    Peer client, feed;
    watchClient(client);
    watchFeed(feed);
    reopenComPort(path.c_str(), "115200");
    ASSERT_NE(app.comHandle.load(), kNoSerial);
    std::thread writer([&] {
        for (std::size_t at = 0; at < stream.size(); at += 1000) send(stream.substr(at, 1000));
    });
    writer.join();
    EXPECT_TRUE(waitFor([&] { return client.size.load() >= stream.size() && feed.size.load() >= stream.size(); },
                        20000));
    closeComPort();
    unwatch();
    EXPECT_TRUE(client.text() == stream) << client.text().size() << " of " << stream.size();
    EXPECT_TRUE(feed.text() == stream) << feed.text().size() << " of " << stream.size();
}

TEST_F(SerialPort, HandOffOrderIsRelayFeedDecoder) {
    Peer client;
    int feedPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, feedPair), 0);
    watchClient(client);
    app.feed.socket = feedPair[0];
    app.feed.state = kLinkConnected;
    app.rawFeed = 1;
    reopenComPort(path.c_str(), "115200");

    // With the feed lock held elsewhere, the relay still gets the bytes while the
    // feed and the decoder wait behind it.
    ASSERT_EQ(feedLockAcquire(1000), 1);
    send(kLine1);
    EXPECT_TRUE(waitFor([&] { return client.text() == kLine1; }));
    EXPECT_EQ(drainNow(feedPair[1]), "");
    EXPECT_EQ(newestLine(), "");
    feedLockRelease();

    // Once the line is in the ring, the raw bytes have already gone to the feed.
    EXPECT_TRUE(waitFor([&] { return newestLine() == kLine1; }));
    EXPECT_EQ(drainNow(feedPair[1]), kLine1);

    // Raw feed off, or the link down: the decoder's record line is all the feed sees.
    app.rawFeed = 0;
    send(kLine2);
    EXPECT_TRUE(waitFor([&] { return newestLine() == kLine2; }));
    EXPECT_EQ(drainNow(feedPair[1]), kLine2);
    app.feed.state = kLinkDropped;
    app.rawFeed = 1;
    send(kLine1);
    EXPECT_TRUE(waitFor([&] { return newestLine() == kLine1; }));
    EXPECT_EQ(drainNow(feedPair[1]), "");
    EXPECT_TRUE(waitFor([&] { return client.text() == std::string(kLine1) + kLine2 + kLine1; }));
    closeComPort();
    unwatch();
    close(feedPair[0]);
    close(feedPair[1]);
}

TEST_F(SerialPort, QuietLineTimesOutAndHandsNothingOn) {
    ASSERT_EQ(openComPort(path.c_str()), 1);
    char b = 0;
    std::int64_t start = monotonicMs();
    EXPECT_EQ(readComPort(&b, 1), 0);
    EXPECT_LT(monotonicMs() - start, 2000);  // bounded, not a timing assertion
    EXPECT_EQ(readComPortQueued(&b, 1), 0);
    send("A");
    EXPECT_EQ(readComPort(&b, 1), 1);
    EXPECT_EQ(b, 'A');
    closeComPort();

    // A reader on a quiet line relays, feeds and decodes nothing.
    Peer client;
    watchClient(client);
    reopenComPort(path.c_str(), "115200");
    int before;
    {
        TextGuard g(app.ring.lock);
        before = app.ring.write;
    }
    // Three read time-outs' worth of turns; then a byte proves the reader still runs.
    std::int64_t until = monotonicMs() + 450;
    waitFor([&] { return monotonicMs() >= until; }, 1000);
    EXPECT_EQ(client.text(), "");
    {
        TextGuard g(app.ring.lock);
        EXPECT_EQ(app.ring.write, before);
    }
    send("*");
    EXPECT_TRUE(waitFor([&] { return client.text() == "*"; }));
    closeComPort();
    unwatch();
}

TEST_F(SerialPort, TextModeStartAndStopCommands) {
    startSerialSource();
    EXPECT_EQ(receive(11), "#00\n#43-12\n");
    EXPECT_EQ(headlessTrayIcon(), 1);
    EXPECT_EQ(app.comOpenCount, 1);
    EXPECT_EQ(headlessBoxCount(), 0);
    send(kLine1);
    EXPECT_TRUE(waitFor([] { return newestLine() == kLine1; }));

    stopSerialSource();
    EXPECT_EQ(receive(7), "#43-00\n");
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    EXPECT_EQ(app.comReader, kNoThread);
    EXPECT_EQ(receiveUpToMarker(), "");
}

TEST_F(SerialPort, BinaryModeSendsNoStartOrStopButKeysStillWrite) {
    app.binaryMode = 1;
    startSerialSource();
    EXPECT_EQ(headlessTrayIcon(), 1);
    EXPECT_EQ(receiveUpToMarker(), "");
    // Keys '0' and '1' send the same command; '2' and '3' the next two.
    for (char key : {'0', '1', '2', '3'}) handleKey(key);
    EXPECT_EQ(receive(28), "#43-12\n#43-12\n#43-13\n#43-14\n");
    stopSerialSource();
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    EXPECT_EQ(receiveUpToMarker(), "");
}

TEST_F(SerialPort, MissingPortAtStartUp) {
    copyText(app.comPortName, kNameSize, "/nonexistent/COM7");
    startSerialSource();
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    EXPECT_EQ(app.comReader, kNoThread);
    EXPECT_EQ(headlessTrayIcon(), 2);
    ASSERT_EQ(headlessBoxCount(), 1);
    char text[512], caption[256];
    headlessBox(0, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(text, "Не удалось открыть \xD1\xCE\xCC ПОРТ");
    EXPECT_STREQ(caption, "/nonexistent/COM7");
    // Keys go nowhere and fail quietly.
    handleKey('0');
    EXPECT_EQ(writeComPort("#", 1), 0);
    stopSerialSource();
    EXPECT_EQ(headlessBoxCount(), 1);
}

TEST_F(SerialPort, ReopenJoinsTheOldReaderAndSendsNoCommands) {
    Peer client;
    watchClient(client);
    reopenComPort(path.c_str(), "9600");
    EXPECT_EQ(app.comOpenCount, 1);
    send("*1\r\n");
    EXPECT_TRUE(waitFor([&] { return client.text() == "*1\r\n"; }));

    reopenComPort(path.c_str(), "115200");
    EXPECT_STREQ(app.comBaudText, "115200");
    EXPECT_EQ(app.comOpenCount, 2);
    EXPECT_EQ(headlessTrayIcon(), 1);
    // One reader only: every byte arrives once, in order.
    std::string more;
    for (int i = 0; i < 50; ++i) more += kLine2;
    send(more);
    EXPECT_TRUE(waitFor([&] { return client.size.load() >= 4 + more.size(); }));
    EXPECT_EQ(client.text(), "*1\r\n" + more);
    EXPECT_EQ(receiveUpToMarker(), "");  // no receiver commands on a reopen

    // A failed reopen after a good open suggests a restart.
    reopenComPort("/nonexistent/COM9", "9600");
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    EXPECT_EQ(app.comReader, kNoThread);
    EXPECT_STREQ(app.comPortName, "/nonexistent/COM9");
    EXPECT_EQ(headlessTrayIcon(), 2);
    ASSERT_EQ(headlessBoxCount(), 1);
    char text[512], caption[256];
    headlessBox(0, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(text, "Не удалось открыть \xD1\xCE\xCC ПОРТ\nПопробуйте перезапустить эту программу");
    EXPECT_STREQ(caption, "/nonexistent/COM9");

    // And the port can be had again afterwards.
    reopenComPort(path.c_str(), "115200");
    EXPECT_EQ(headlessTrayIcon(), 1);
    EXPECT_EQ(app.comOpenCount, 3);
    unwatch();
}

TEST_F(SerialPort, FailedReopenWithoutAnyEarlierOpen) {
    reopenComPort("/nonexistent/COM2", "9600");
    ASSERT_EQ(headlessBoxCount(), 1);
    char text[512], caption[256];
    headlessBox(0, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(text, "Не удалось открыть \xD1\xCE\xCC ПОРТ\n");
    EXPECT_STREQ(caption, "/nonexistent/COM2");
    EXPECT_EQ(headlessTrayIcon(), 2);
}

TEST_F(SerialPort, NotASerialLineIsClosedAgain) {
    // /dev/null opens but takes no line settings: the open fails and leaves no
    // descriptor behind.
    auto openFds = [] {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd) n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    int before = openFds();
    EXPECT_EQ(openComPort("/dev/null"), 0);
    EXPECT_EQ(app.comHandle.load(), kNoSerial);
    EXPECT_EQ(app.comOpenCount, 0);
    EXPECT_EQ(openFds(), before);
}

TEST_F(SerialPort, SpeedIsTheLeadingDigits) {
    // An odd speed text still opens the port (the line keeps its own speed when
    // the value is not one the system knows).
    copyText(app.comBaudText, kNameSize, "57600 бод");
    ASSERT_EQ(openComPort(path.c_str()), 1);
    termios t;
    tcgetattr(slave, &t);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));
    closeComPort();
    copyText(app.comBaudText, kNameSize, "fast");
    EXPECT_EQ(openComPort(path.c_str()), 1);
    closeComPort();
}

}  // namespace

TEST_F(SerialPort, ReadsGatherWithinTheWindowAndAQuietStartGoesAtOnce) {
    // The rule itself: after a quiet spell no wait; within the window, its rest.
    std::int64_t handed = monotonicUs() - 100000;
    EXPECT_EQ(receiverGather(&handed), 0);
    EXPECT_GE(receiverGather(&handed), 1);

    // A stream written a few bytes at a time, frames split across writes: every
    // byte goes on, in far fewer hand-ons than writes, at most one per window.
    Peer client;
    watchClient(client);
    reopenComPort(path.c_str(), "115200");
    ASSERT_NE(app.comHandle.load(), kNoSerial);
    // A frame after 100 ms of silence reaches the client within 1 ms (the best of
    // five, so that a busy machine's scheduling does not count).
    std::int64_t bestUs = 1000000;
    std::string quiet;
    for (int i = 0; i < 5; ++i) {
        sleepMs(100);
        quiet += kLine1;
        std::int64_t sentUs = monotonicUs();
        send(kLine1);
        ASSERT_TRUE(waitFor([&] { return client.size.load() >= quiet.size(); }));
        bestUs = std::min(bestUs, client.receivedUs.load() - sentUs);
    }
    EXPECT_LT(bestUs, 1000);
    std::uint64_t quietBlocks = app.stats[kSourcePort].blocks.load();
    std::string stream;
    for (int i = 0; i < 400; ++i) stream += (i % 2) ? kLine1 : kLine2;
    std::int64_t started = monotonicMs();
    for (std::size_t at = 0; at < stream.size(); at += 16) {
        send(stream.substr(at, 16));
        if (at % 256 == 0) sleepMs(1);
    }
    EXPECT_TRUE(waitFor([&] { return client.size.load() >= quiet.size() + stream.size(); }, 20000));
    std::int64_t tookMs = monotonicMs() - started;
    closeComPort();
    unwatch();
    EXPECT_TRUE(client.text() == quiet + stream);
    std::uint64_t blocks = app.stats[kSourcePort].blocks.load() - quietBlocks;
    EXPECT_LE(blocks, static_cast<std::uint64_t>(tookMs / kReceiverGatherMs + 2)) << tookMs << " ms";
    EXPECT_LT(blocks, stream.size() / 16);
}

// Exchange recording and playback: the log format, the overwrite question, closing
// against a writing reader, the playback's pacing and play order, malformed lines,
// stopping and the shutdown wait.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "input/receiver.h"
#include "record/exchange.h"
#include "record/log_line.h"
#include "net_test_peer.h"
#include "test_support.h"

namespace {

std::string title() {
    char t[400];
    headlessTitle(t, sizeof t);
    return t;
}

std::string menuText(int id) {
    char t[64];
    headlessMenuText(id, t, sizeof t);
    return t;
}

// One end of a socket pair plays the part of a connected peer (a relay client or
// the feed server); the test reads what arrives at the other end.
struct Peer {
    int ours = -1, theirs = -1;
    std::string received;
    Peer() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            ours = fds[0];
            theirs = fds[1];
        }
    }
    ~Peer() {
        if (ours >= 0) close(ours);
        if (theirs >= 0) close(theirs);
    }
    // Takes whatever has arrived so far.
    const std::string& poll() {
        char buf[256];
        for (ssize_t n; (n = recv(ours, buf, sizeof buf, MSG_DONTWAIT)) > 0;) received.append(buf, n);
        return received;
    }
    bool waitFor(const std::string& expected) {
        return ::waitFor([&] { return poll() == expected; });
    }
};

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override { resetApp(); }
    void TearDown() override {
        stopPlaybackAndWait();
        closeExchangeFiles();
    }

    void makeRelayClient(Peer& peer) { watchRelayClient(peer.theirs); }

    void startPlayback(const std::string& content) {
        writeFile("play.txt", content);
        headlessSetFileAnswer((dir.path() + "/play.txt").c_str());
        ASSERT_EQ(commandPlayback(), 1);
    }

    bool playbackEnded() {
        return waitFor([] { return app.playState.load() == kPlayEnded; });
    }

    ScratchDir dir;
};

void logBytes(std::initializer_list<unsigned char> bytes) {
    unsigned char block[16];
    int n = 0;
    for (unsigned char b : bytes) block[n++] = b;
    logReceivedBytes(block, n);
}

}  // namespace

TEST_F(ExchangeTest, RecordingWritesOneLinePerByteWithItsTick) {
    std::string path = dir.path() + "/rec.txt";
    headlessSetFileAnswer(path.c_str());
    logBytes({0x55});  // not recording yet: nothing is written anywhere
    ASSERT_EQ(commandRecord(), 1);
    EXPECT_EQ(app.exchangeTick, 0);
    EXPECT_EQ(title(), "[]  : Протоколирование обмена");
    EXPECT_EQ(menuText(201), "&Прекратить запись");
    EXPECT_EQ(headlessMenuChecked(201), 1);

    logBytes({0x1A, 0x31});
    app.exchangeTick = 5;
    logBytes({0x0D});
    app.exchangeTick = 0x2F;
    logBytes({0x1A, 0x33});
    app.exchangeTick = 0x7FFFFFFF;
    logBytes({0xFF});

    ASSERT_EQ(commandRecord(), 1);  // stop
    EXPECT_EQ(app.recordFile, nullptr);
    EXPECT_EQ(title(), "[]  : [] ");
    EXPECT_EQ(menuText(201), "&Записать в файл");
    EXPECT_EQ(headlessMenuChecked(201), 0);
    logBytes({0x77});  // after the stop: not written
    EXPECT_EQ(readFile(path), "1A 0\r\n31 0\r\n0D 5\r\n1A 2F\r\n33 2F\r\nFF 7FFFFFFF\r\n");
    EXPECT_STREQ(app.recordFileName, path.c_str());
}

TEST_F(ExchangeTest, ALargeBlockIsLoggedWhole) {
    headlessSetFileAnswer("big.txt");
    ASSERT_EQ(commandRecord(), 1);
    unsigned char block[1000];
    for (int i = 0; i < 1000; ++i) block[i] = static_cast<unsigned char>(i);
    app.exchangeTick = 3;
    logReceivedBytes(block, 1000);
    commandRecord();
    std::string expected;
    char line[kLogLineSize];
    for (int i = 0; i < 1000; ++i) {
        formatLogLine(static_cast<unsigned char>(i), 3, line);
        expected += line;
    }
    EXPECT_EQ(readFile("big.txt"), expected);
}

TEST_F(ExchangeTest, AnExistingFileIsOverwrittenOnlyAfterYes) {
    writeFile("old.txt", "keep me\r\n");
    headlessSetFileAnswer("old.txt");
    headlessSetBoxAnswer(0);
    EXPECT_EQ(commandRecord(), 0);
    EXPECT_EQ(app.recordFile, nullptr);
    EXPECT_EQ(readFile("old.txt"), "keep me\r\n");
    EXPECT_EQ(menuText(201), "");  // menu untouched
    ASSERT_EQ(headlessBoxCount(), 1);
    char text[512], caption[256];
    headlessBox(0, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(text, "Такой файл уже существует.\nПереписать?");
    EXPECT_STREQ(caption, "Вимание");

    headlessSetBoxAnswer(1);
    ASSERT_EQ(commandRecord(), 1);
    commandRecord();
    EXPECT_EQ(readFile("old.txt"), "");
}

TEST_F(ExchangeTest, CancelledOrUncreatableFileStartsNothing) {
    headlessSetFileAnswer("");
    EXPECT_EQ(commandRecord(), 0);
    EXPECT_EQ(commandPlayback(), 0);
    headlessSetFileAnswer((dir.path() + "/no/such/dir/x.txt").c_str());
    EXPECT_EQ(commandRecord(), 0);
    EXPECT_EQ(commandPlayback(), 0);
    EXPECT_EQ(app.recordFile, nullptr);
    EXPECT_EQ(app.playFile, nullptr);
    EXPECT_EQ(app.playState, 0);
    EXPECT_EQ(title(), "");
    EXPECT_EQ(headlessBoxCount(), 0);
}

TEST_F(ExchangeTest, StoppingWhileTheReaderLogsNeverWritesToAClosedFile) {
    // The reader logs without pause while the main thread starts and stops the
    // recording; the sanitizer builds catch a write to a closed file.
    headlessSetFileAnswer("race.txt");
    std::atomic<bool> done{false};
    std::thread reader([&] {
        const unsigned char block[4] = {1, 2, 3, 4};
        while (!done) logReceivedBytes(block, 4);
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(commandRecord(), 1);
        ASSERT_EQ(commandRecord(), 1);
    }
    done = true;
    reader.join();
    std::string content = readFile("race.txt");
    EXPECT_EQ(content.size() % 6, 0u);  // whole lines "0N 0\r\n" only
}

TEST_F(ExchangeTest, AFullDiskStopsTheRecordingAndSaysSo) {
    headlessSetFileAnswer("/dev/full");  // "exists": the overwrite question is answered yes
    ASSERT_EQ(commandRecord(), 1);
    logBytes({0x1A, 0x31});
    ASSERT_TRUE(waitFor([] {
        recordTick();
        return app.recordFile.load() == nullptr;
    }));
    EXPECT_EQ(title(), "[]  : [] ");
    EXPECT_EQ(headlessMenuChecked(201), 0);
    char notice[256];
    EXPECT_EQ(headlessNotices(notice, sizeof notice), 1);
    EXPECT_STREQ(notice, "Запись в файл остановлена: ошибка записи на диск");
    logBytes({0x33});  // the reader goes on as if nothing had happened
}

TEST_F(ExchangeTest, SuggestedNameIsTheUtcDateAndTime) {
    char name[64];
    formatLogFileName(2026, 12, 5, 21, 3, 35, name, sizeof name);
    EXPECT_STREQ(name, "0512_2026_2103_35.txt");
}

TEST_F(ExchangeTest, MalformedLinesKeepThePreviousByteAndTick) {
    struct Case {
        const char* line;
        unsigned char byte;
        std::int32_t tick;
    };
    const Case cases[] = {
        {"1A 2F\r\n", 0x1A, 0x2F}, {"zz 5\r\n", 0x1A, 5},   {"3\n", 0x03, 5},
        {"", 0x03, 5},             {"4B\r\n", 0x4B, 5},     {"0D 5", 0x0D, 5},
        {"ab cd", 0xAB, 0xCD},     {"77 xyz\r\n", 0x77, 0xCD}, {"7 8", 0x07, 0xCD},
        {"12 FFFFFFFFF\n", 0x12, 0x7FFFFFFF},
    };
    unsigned char byte = 0;
    std::int32_t tick = 0;
    for (const Case& c : cases) {
        parseLogLine(c.line, &byte, &tick);
        EXPECT_EQ(byte, c.byte) << c.line;
        EXPECT_EQ(tick, c.tick) << c.line;
    }
}

TEST_F(ExchangeTest, PlaybackPacesByTheRecordedTicks) {
    peer::LinkWriter writer;
    Peer relay, feed;
    makeRelayClient(relay);
    app.feed.socket = feed.theirs;
    app.feed.state = kLinkConnected;
    startPlayback("41 3\r\n42 7\r\n43 9\r\n");
    EXPECT_EQ(title(), "[]  : Чтение из файла");
    EXPECT_EQ(menuText(202), "&Прекратить чтение");
    EXPECT_EQ(headlessMenuChecked(202), 1);

    // The first line follows a tick of 0: played at once, moving the clock to 3.
    ASSERT_TRUE(relay.waitFor("A"));
    ASSERT_TRUE(feed.waitFor("A"));
    EXPECT_EQ(app.exchangeTick, 3);
    EXPECT_EQ(app.playState, 1);
    app.exchangeTick = 6;  // not yet
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(relay.poll(), "A");
    app.exchangeTick = 7;
    ASSERT_TRUE(relay.waitFor("AB"));
    app.exchangeTick = 8;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(relay.poll(), "AB");
    app.exchangeTick = 9;
    ASSERT_TRUE(relay.waitFor("ABC"));
    ASSERT_TRUE(feed.waitFor("ABC"));

    ASSERT_TRUE(playbackEnded());
    EXPECT_EQ(app.playFile, nullptr);
    EXPECT_EQ(title(), "[]  : [] ");
    EXPECT_EQ(menuText(202), "&Считать из файла");
    EXPECT_EQ(headlessMenuChecked(202), 0);
    EXPECT_STREQ(app.playFileName, (dir.path() + "/play.txt").c_str());
}

TEST_F(ExchangeTest, ALineAfterTickZeroPlaysAtOnce) {
    // 1A 0, 31 0, 0D 5: nothing advances the clock here, yet all three go out and
    // the third moves the clock to 5; as nothing waits between them, in one send
    // to the client, not one per byte. The feed is not connected: skipped.
    Peer relay;
    makeRelayClient(relay);
    static std::atomic<int> portWrites{0};
    portWrites = 0;
    app.playbackPortWrite = [](const void*, int count) { return ++portWrites, count; };
    std::uint64_t windows = app.relayRing.windows.load();
    startPlayback("1A 0\r\n31 0\r\n0D 5\r\n");
    ASSERT_TRUE(relay.waitFor("\x1A\x31\x0D"));
    ASSERT_TRUE(playbackEnded());
    app.playbackPortWrite = nullptr;
    EXPECT_EQ(app.exchangeTick, 5);
    EXPECT_EQ(portWrites, 1);
    EXPECT_EQ(app.relayRing.windows.load() - windows, 1u);
}

TEST_F(ExchangeTest, MalformedAndUnterminatedLinesInPlayback) {
    Peer relay;
    makeRelayClient(relay);
    // "zz" repeats the previous byte, "4" has no tick (keeps 0, so no wait), a line
    // of 1100 characters is read in two pieces, and the last line, without its line
    // end, is not played.
    std::string longLine = "45 0" + std::string(1096, ' ') + "\n";
    startPlayback("41 0\nzz\n4\n" + longLine + "46 0");
    ASSERT_TRUE(playbackEnded());
    // The long line's second piece is all blanks: it repeats 0x45.
    EXPECT_TRUE(relay.waitFor(std::string("\x41\x41\x04\x45\x45"))) << relay.received;
}

TEST_F(ExchangeTest, StopDuringTheWaitStillPlaysThatByte) {
    Peer relay;
    makeRelayClient(relay);
    startPlayback("41 3\r\n42 50\r\n43 60\r\n");
    ASSERT_TRUE(relay.waitFor("A"));
    // The thread now waits for tick 0x50; the stop command ends the wait.
    ASSERT_EQ(commandPlayback(), 1);
    ASSERT_TRUE(playbackEnded());
    EXPECT_TRUE(relay.waitFor("AB")) << relay.received;
    EXPECT_EQ(menuText(202), "&Считать из файла");
    EXPECT_EQ(title(), "[]  : [] ");

    // A new playback after the old one ended starts cleanly.
    startPlayback("44 0\r\n");
    ASSERT_TRUE(relay.waitFor("ABD"));
    ASSERT_TRUE(playbackEnded());
}

TEST_F(ExchangeTest, ShutdownEndsAWaitingPlayback) {
    startPlayback("41 1\r\n42 99999\r\n");
    ASSERT_TRUE(waitFor([] { return app.exchangeTick.load() == 1; }));
    stopPlaybackAndWait();
    EXPECT_EQ(app.playState, kPlayEnded);
    EXPECT_EQ(app.playThread, kNoThread);
    EXPECT_EQ(app.playFile, nullptr);
    closeExchangeFiles();
}

TEST_F(ExchangeTest, APlaybackPausesTheLiveSourceBetweenWholeLines) {
    // The live source sends '@' lines in pieces of 1 to 7 bytes while a playback
    // of '*' lines runs; the relay client and the feed must get only whole lines:
    // live ones up to the pause, the played ones, live ones again after.
    peer::LinkWriter writer;
    Peer relay, feed;
    makeRelayClient(relay);
    app.feed.socket = feed.theirs;
    app.feed.state = kLinkConnected;
    app.tcp.chosen = 1;
    app.tcp.socket = relay.ours;  // any open socket: the live source is connected
    std::atomic<bool> stop{false};
    std::atomic<int> liveSent{0};
    std::thread live([&] {
        std::string stream;
        for (int i = 0; !stop.load() || liveSent.load() < 300; ++i) {
            char line[40];
            std::snprintf(line, sizeof line, "@%012X8D4840D6202CC3;\r\n", i);
            stream += line;
            for (std::size_t at = 0; at < stream.size();) {
                std::size_t piece = 1 + (at * 7 + i) % 7;
                if (piece > stream.size() - at) piece = stream.size() - at;
                handOnReceiverBytes(kSourceTcp, reinterpret_cast<const unsigned char*>(stream.data()) + at,
                                    static_cast<int>(piece));
                at += piece;
            }
            stream.clear();
            ++liveSent;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    ASSERT_TRUE(waitFor([&] { return liveSent.load() > 50; }));
    std::string log, played = "*8D4840D6202CC3;\r\n";
    for (int line = 0; line < 20; ++line)
        for (char c : played) {
            char text[kLogLineSize];
            log.append(text, formatLogLine(static_cast<unsigned char>(c), line + 1, text));
        }
    startPlayback(log);
    // The test is the playback's clock, a tick a millisecond, and reads its
    // peers as it goes (their sockets block when full).
    for (int tick = 1; app.playState.load() == kPlayRunning && tick < 5000; ++tick) {
        app.exchangeTick = tick;
        relay.poll();
        feed.poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(playbackEnded());
    int after = liveSent.load();
    ASSERT_TRUE(waitFor([&] {
        relay.poll();
        feed.poll();
        return liveSent.load() > after + 50;
    }));
    stop = true;
    live.join();
    ASSERT_TRUE(waitFor([&] {
        relay.poll();
        return app.relayRing.sent.load() == app.relayRing.queued.load();
    }));

    for (Peer* p : {&relay, &feed}) {
        std::istringstream lines(p->poll());
        std::string line, kinds;
        int liveLines = 0;
        while (std::getline(lines, line)) {
            bool isLive = line.size() == 29 && line[0] == '@' && line.compare(13, 16, "8D4840D6202CC3;\r") == 0;
            EXPECT_TRUE(isLive || line + "\n" == played) << (p == &relay ? "relay: " : "feed: ") << line;
            if (!isLive) kinds += 'p';
            else if (kinds.empty() || kinds.back() != 'l') kinds += 'l';
            liveLines += isLive;
        }
        EXPECT_EQ(kinds, "l" + std::string(20, 'p') + "l") << (p == &relay ? "relay" : "feed");
        EXPECT_GT(liveLines, 100);
    }
    EXPECT_GT(app.liveHeldBack.load(), 0u);
    char notice[200];
    EXPECT_EQ(headlessNotices(notice, sizeof notice), 2);
    EXPECT_NE(std::string(notice).find("источник передает снова"), std::string::npos) << notice;
    app.tcp.socket = kNoSocket;
}

// The feed server tool against the program's own feed link: it shows the
// introduction, the record lines in plain and compressed form, switches the feed
// to raw bytes, and flags bytes that are not a well-formed block.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "core/app_state.h"
#include "input/decoder.h"
#include "net/feed_encoder.h"
#include "net/feed_link.h"
#include "../../tests/unit/net_test_peer.h"
#include "test_support.h"

namespace {

// Runs feedserver with its output in a file of the scratch directory.
class FeedServerTool : public ::testing::Test {
protected:
    void SetUp() override {
        resetApp();
        feedLockCreate();
        peer::loadCompress();
        markMainThread();
        port_ = peer::freePort();
        app.feed.port = port_;
        writer_ = std::make_unique<peer::LinkWriter>();
    }
    void TearDown() override {
        writer_.reset();
        sockClose(app.feed.socket.exchange(kNoSocket));
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    void start(std::vector<std::string> extra) {
        std::string outPath = dir_.path() + "/out.txt";
        pid_ = fork();
        if (pid_ == 0) {
            FILE* f = std::freopen(outPath.c_str(), "w", stdout);
            (void)f;
            std::string port = std::to_string(port_);
            std::vector<const char*> args = {FEEDSERVER_PATH, "--port", port.c_str()};
            for (auto& e : extra) args.push_back(e.c_str());
            args.push_back(nullptr);
            execv(FEEDSERVER_PATH, const_cast<char* const*>(args.data()));
            _exit(127);
        }
        ASSERT_TRUE(waitFor([&] { return output().find("listening:") != std::string::npos; }));
    }
    std::string output() { return readFile(dir_.path() + "/out.txt"); }
    bool shows(const std::string& text) {
        return waitFor([&] { return output().find(text) != std::string::npos; });
    }
    void connect() {
        std::thread t([] { linkConnect(nullptr, "127.0.0.1"); });
        t.join();
        ASSERT_EQ(kLinkConnected, app.feed.state.load());
    }
    void line(const std::string& l) {
        std::thread t([&] { emitRecordLine(l.c_str(), static_cast<int>(l.size()), 1); });
        t.join();
    }

    ScratchDir dir_;
    std::unique_ptr<peer::LinkWriter> writer_;  // the link thread's writing, for the links made here
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

TEST_F(FeedServerTool, ShowsTheIntroductionAndPlainLinesAndSwitchesToRaw) {
    start({"--raw-after", "0.5"});
    connect();
    EXPECT_TRUE(shows("intro 1: #Rostov-on-Don\nintro 2: #47.198200\nintro 3: #39.628200\nintro 4: #TEXT\n"));
    line("@0011223344556677;\r\n");
    EXPECT_TRUE(shows("line: @0011223344556677;\n"));
    EXPECT_TRUE(shows("sent: #SET OUT DATE ORIGINAL"));
    EXPECT_TRUE(peer::pumpUntil([] { return app.rawFeed.load() == 1; }));
    const unsigned char raw[] = {0x1A, 0x32, 0x00, 0x10};
    feedSend(raw, 4);
    EXPECT_TRUE(shows("raw: 1a 32 00 10 \n"));
}

TEST_F(FeedServerTool, DecodesCompressedBlocksAndFlagsStrayBytes) {
    app.compressFeed = 1;
    app.compressInterval = 0;
    start({});
    connect();
    EXPECT_TRUE(shows("intro 4: #TEXT:COMPRESS\n"));
    line("@000000000001A1;\r\n");
    advanceFlushClock();
    line("@000000000002B2;\r\n");
    EXPECT_TRUE(shows(" compressed -> 36 bytes\n  line: @000000000001A1;\n  line: @000000000002B2;\n"));

    // Unframed bytes, as after a failed compression, are flagged.
    app.zlibCompress = nullptr;
    line("@stray;\r\n");
    advanceFlushClock();
    line("@stray;\r\n");
    EXPECT_TRUE(shows("MALFORMED: 9 bytes outside any block: @stray;"));
}

// A stalled link gives way to the next connection, which does not stall again
// (after 0.5 s, so the introduction is read first).
TEST_F(FeedServerTool, AStalledLinkEndsWhenANewOneArrives) {
    start({"--stall-after", "0.5", "--stall-once", "--quiet"});
    connect();
    EXPECT_TRUE(shows("intro 4: #TEXT\nstalled\n"));
    int next = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port_);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(next, reinterpret_cast<sockaddr*>(&at), sizeof at));
    EXPECT_TRUE(shows("0 malformed (stalled)\nconnected: "));
    ::close(next);
    EXPECT_TRUE(shows("\nclosed: 0 bytes, 0 lines, 0 blocks, 0 raw bytes, 0 malformed\n"));
}

}  // namespace

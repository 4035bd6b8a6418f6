// The simulated receiver against the program: what it sends decodes to the right
// record lines, and a whole session (start commands, traffic, stop command, Ctrl-C)
// works over the pseudo-terminal it makes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/app_state.h"
#include "frames.h"
#include "input/decoder.h"
#include "input/serial_source.h"
#include "test_support.h"

extern char** environ;

namespace {

std::string newestLine() {
    TextGuard g(app.ring.lock);
    return app.ring.slots[app.ring.write];
}

TEST(SimReceiver, EveryBuiltInFrameDecodesInBothForms) {
    resetApp();
    app.levelThreshold = 300;  // nothing to the feed
    std::uint64_t ts = 0x1A00001A1A1AULL;
    for (const SimFrame& f : builtinFrames()) {
        EXPECT_TRUE(parityValid(f));
        std::string expected;
        appendAtLine(f, ts, expected);

        std::string binary;
        appendBinary(f, ts, binary);
        app.binaryMode = 1;
        decodeReceiverBytes(reinterpret_cast<const unsigned char*>(binary.data()), static_cast<int>(binary.size()));
        EXPECT_EQ(newestLine(), expected);

        std::string text;
        appendAtLine(f, ts, text);
        app.binaryMode = 0;
        decodeReceiverBytes(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
        EXPECT_EQ(newestLine(), expected);
    }
}

TEST(SimReceiver, CapturesParseToTheirFrames) {
    std::string dir = sharedDataDir();
    if (dir.empty()) GTEST_SKIP() << "no shared captures";
    std::string beast = readFile(dir + "/beast-sample-18.bin");
    std::vector<SimFrame> frames = parseCapture(beast);
    ASSERT_EQ(frames.size(), 18u);
    int valid = 0;
    for (const SimFrame& f : frames) valid += parityValid(f);
    EXPECT_EQ(valid, 11);  // DF11/17/18; the rest carry an address in their parity
    // Sent again in the binary form, the capture is the same bytes.
    std::string again;
    for (const SimFrame& f : frames) appendBinary(f, f.timestamp, again);
    EXPECT_TRUE(again == beast);

    std::vector<SimFrame> avr = parseCapture(readFile(dir + "/avr-sample-18.txt"));
    ASSERT_EQ(avr.size(), 18u);
    valid = 0;
    for (const SimFrame& f : avr) valid += parityValid(f);
    EXPECT_EQ(valid, 12);  // the others answer an interrogator or carry an address
}

// Runs the tool with its output on a pipe; stops it with SIGINT as Ctrl-C would.
struct Tool {
    pid_t pid = -1;
    int out = -1;
    std::string seen;

    explicit Tool(const std::vector<std::string>& args) {
        int p[2];
        if (pipe(p) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_addclose(&fa, p[0]);
        std::vector<char*> argv;
        std::string path = SIMRECEIVER_PATH;
        argv.push_back(path.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid, path.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(p[1]);
        out = p[0];
    }
    // Reads output until it contains `text` or the deadline passes.
    bool waitOutput(const std::string& text, int timeoutMs = 10000) {
        std::int64_t until = monotonicMs() + timeoutMs;
        while (seen.find(text) == std::string::npos) {
            std::int64_t left = until - monotonicMs();
            if (left <= 0) return false;
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            char buf[1024];
            ssize_t n = read(out, buf, sizeof buf);
            if (n <= 0) return false;
            seen.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    int stop() {
        kill(pid, SIGINT);
        waitOutput("frames sent (");
        int status = 0;
        waitpid(pid, &status, 0);
        close(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST(SimReceiver, PlaysTheReceiverForTheSerialSource) {
    resetApp();
    ScratchDir scratch;
    std::string link = scratch.path() + "/com1";
    Tool tool({"--rate", "200", "--link", link, "--quiet"});
    ASSERT_GT(tool.pid, 0);
    ASSERT_TRUE(tool.waitOutput("linked as"));

    copyText(app.comPortName, kNameSize, link.c_str());
    startSerialSource();
    ASSERT_NE(app.comHandle.load(), kNoSerial);
    EXPECT_TRUE(tool.waitOutput("command: #00\n"));
    EXPECT_TRUE(tool.waitOutput("command: #43-12\n"));
    // '@' lines with the built-in frames reach the monitor's ring.
    EXPECT_TRUE(waitFor([] {
        std::string s = newestLine();
        return s.size() == 44 && s[0] == '@' && s.compare(41, 3, ";\r\n") == 0;
    }));
    stopSerialSource();
    EXPECT_TRUE(tool.waitOutput("command: #43-00\n"));
    EXPECT_EQ(tool.stop(), 0);
    EXPECT_FALSE(fileExists(link));
}

TEST(SimReceiver, BinaryFormWithACount) {
    resetApp();
    app.binaryMode = 1;
    ScratchDir scratch;
    std::string link = scratch.path() + "/ttySim";
    Tool tool({"-f", "binary", "-r", "0", "-n", "100000", "-l", link, "-q"});
    ASSERT_TRUE(tool.waitOutput("linked as"));
    copyText(app.comPortName, kNameSize, link.c_str());
    startSerialSource();
    EXPECT_TRUE(waitFor([] { return newestLine().rfind("@", 0) == 0; }));
    stopSerialSource();
    EXPECT_EQ(tool.stop(), 0);
    EXPECT_TRUE(tool.seen.find("command:") == std::string::npos) << tool.seen;
}

}  // namespace

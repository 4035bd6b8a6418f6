// Menu and key commands of the main window, checked through the in-memory front end
// (marks, boxes, dialogs) and the files they write.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/app_state.h"
#include "station/commands.h"
#include "app/headless/headless_view.h"
#include "input/serial_source.h"
#include "test_support.h"

namespace {

struct Box {
    std::string text, caption;
};

Box box(int index) {
    char text[4096], caption[256];
    headlessBox(index, text, sizeof text, caption, sizeof caption);
    return {text, caption};
}

class Commands : public ::testing::Test {
protected:
    void SetUp() override { resetApp(); }
    void TearDown() override {
        // Files a test put into the exchange slots are its own; give them back.
        if (app.recordFile) std::fclose(app.recordFile);
        app.recordFile = nullptr;
        if (std::FILE* f = app.playFile.exchange(nullptr)) std::fclose(f);
    }
    ScratchDir dir;
};

TEST_F(Commands, HelpBoxHasTenQuotedParagraphsWithoutOwner) {
    EXPECT_EQ(handleCommand(kCmdHelp), 1);
    ASSERT_EQ(headlessBoxCount(), 1);
    EXPECT_EQ(box(0).caption, "Меню");
    // The in-memory box keeps only the start of a long text.
    EXPECT_EQ(std::string(kHelpText).rfind(box(0).text, 0), 0u);
    EXPECT_GT(box(0).text.size(), 100u);

    Box b{kHelpText, ""};
    ASSERT_EQ(b.text.back(), '\n');
    ASSERT_NE(b.text.substr(b.text.size() - 2), "\n\n");

    // Paragraphs are separated by exactly one empty line; each opens with its
    // heading in double quotes on a line of its own.
    int paragraphs = 0;
    std::size_t start = 0;
    while (start < b.text.size()) {
        std::size_t end = b.text.find("\n\n", start);
        std::string p = b.text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        ++paragraphs;
        std::size_t firstBreak = p.find('\n');
        ASSERT_NE(firstBreak, std::string::npos) << p;
        std::string heading = p.substr(0, firstBreak);
        EXPECT_EQ(heading.front(), '"') << heading;
        EXPECT_EQ(heading.back(), '"') << heading;
        if (end == std::string::npos) break;
        start = end + 2;
    }
    EXPECT_EQ(paragraphs, 10);
    // The first heading spells "СОМ" in Cyrillic; the body says "COM" in Latin.
    EXPECT_EQ(b.text.rfind("\"НАСТРОЙКИ \xD1\xCE\xCC ИСТОЧНИКА\"\nВыставляются настройки COM порта", 0), 0u);
    EXPECT_NE(b.text.find("ТСР соединению."), std::string::npos);
    EXPECT_NE(b.text.find("= 47.398611\n\n"), std::string::npos);
    EXPECT_EQ(b.text.find("\r"), std::string::npos);
}

TEST_F(Commands, AuthorBoxIsThreeLines) {
    EXPECT_EQ(handleCommand(kCmdAuthor), 1);
    ASSERT_EQ(headlessBoxCount(), 1);
    Box b = box(0);
    EXPECT_EQ(b.caption, "Автор");
    int breaks = 0;
    for (char c : b.text) breaks += c == '\n';
    EXPECT_EQ(breaks, 2);
    EXPECT_NE(b.text.find("brevalink developers"), std::string::npos);
}

TEST_F(Commands, BinaryModeToggleMovesMarkAndRewritesAllFourFlagLines) {
    app.compressFeed = 1;
    app.flagsLine3 = 7;
    app.flagsLine4 = 45;
    EXPECT_EQ(handleCommand(kCmdBinaryMode), 1);
    EXPECT_EQ(app.binaryMode.load(), 1);
    EXPECT_EQ(headlessMenuChecked(kCmdBinaryMode), 1);
    EXPECT_EQ(readFile("BinarComOn.ini"), "1\r\n1\r\n7\r\n45\r\n");

    handleCommand(kCmdBinaryMode);
    EXPECT_EQ(app.binaryMode.load(), 0);
    EXPECT_EQ(headlessMenuChecked(kCmdBinaryMode), 0);
    EXPECT_EQ(readFile("BinarComOn.ini"), "0\r\n1\r\n7\r\n45\r\n");
    EXPECT_EQ(headlessMenuChecked(kCmdCompressFeed), 0);  // only its own mark moves
    EXPECT_EQ(headlessBoxCount(), 0);
}

TEST_F(Commands, CompressToggleDropsAConnectedFeedLink) {
    app.feed.state = kLinkConnected;
    EXPECT_EQ(handleCommand(kCmdCompressFeed), 1);
    EXPECT_EQ(app.compressFeed.load(), 1);
    EXPECT_EQ(headlessMenuChecked(kCmdCompressFeed), 1);
    EXPECT_EQ(readFile("BinarComOn.ini"), "0\r\n1\r\n0\r\n60\r\n");
    EXPECT_EQ(app.feed.state.load(), kLinkDropped);
    EXPECT_STREQ(app.feed.status, "Связь разорвана");
}

TEST_F(Commands, CompressToggleLeavesAnUnconnectedLinkAlone) {
    for (int state : {kLinkNotYet, kLinkNoSocket, kLinkDropped}) {
        app.feed.state = state;
        copyText(app.feed.status, kNameSize, "Ошибка connect");
        handleCommand(kCmdCompressFeed);
        EXPECT_EQ(app.feed.state.load(), state);
        EXPECT_STREQ(app.feed.status, "Ошибка connect");
    }
}

TEST_F(Commands, UnwritableFlagsFileChangesFlagAndMarkAndStillDropsTheLink) {
    // A directory in the file's place: the write cannot open it. The feed changes
    // its form at once all the same, so the connected server must hear of it in a
    // new introduction rather than get blocks it was not told about.
    ASSERT_EQ(mkdir("BinarComOn.ini", 0700), 0);
    app.feed.state = kLinkConnected;
    handleCommand(kCmdCompressFeed);
    EXPECT_EQ(app.compressFeed.load(), 1);
    EXPECT_EQ(headlessMenuChecked(kCmdCompressFeed), 1);
    EXPECT_EQ(app.feed.state.load(), kLinkDropped);
    EXPECT_EQ(headlessBoxCount(), 0);  // failed writes are silent
}

TEST_F(Commands, KeyFiveSwitchesRelativeTimeWithoutTheMenuMark) {
    app.clockRefTaken = 1;
    handleKey('5');
    EXPECT_EQ(app.relativeTime.load(), 1);
    EXPECT_EQ(app.clockRefTaken.load(), 0);
    EXPECT_EQ(headlessMenuChecked(kCmdRelativeTime), 0);

    // The menu command then switches the mode and marks the new one: off.
    app.clockRefTaken = 1;
    EXPECT_EQ(handleCommand(kCmdRelativeTime), 1);
    EXPECT_EQ(app.relativeTime.load(), 0);
    EXPECT_EQ(headlessMenuChecked(kCmdRelativeTime), 0);
    EXPECT_EQ(app.clockRefTaken.load(), 1);

    handleCommand(kCmdRelativeTime);
    EXPECT_EQ(app.relativeTime.load(), 1);
    EXPECT_EQ(app.clockRefTaken.load(), 0);
    EXPECT_EQ(headlessMenuChecked(kCmdRelativeTime), 1);

    handleKey('5');
    EXPECT_EQ(app.relativeTime.load(), 0);
    EXPECT_EQ(headlessMenuChecked(kCmdRelativeTime), 1);
    EXPECT_FALSE(fileExists("BinarComOn.ini"));  // neither writes a file
}

TEST_F(Commands, KeyFourSwitchesRecordLineDisplayOtherKeysDoNothing) {
    handleKey('4');
    EXPECT_EQ(app.showLines.load(), 0);
    handleKey('4');
    EXPECT_EQ(app.showLines.load(), 1);
    for (int ch : {int('6'), int('a'), 9, 13, 0xC0}) handleKey(ch);
    EXPECT_EQ(app.showLines.load(), 1);
    EXPECT_EQ(app.relativeTime.load(), 0);
    EXPECT_EQ(headlessBoxCount(), 0);
}

TEST_F(Commands, RecordingIsRefusedDuringPlayback) {
    app.playFile = std::tmpfile();
    EXPECT_EQ(handleCommand(kCmdRecord), 0);
    ASSERT_EQ(headlessBoxCount(), 1);
    EXPECT_EQ(box(0).text, "Вначале необходимо прекратить чтение из файла");
    EXPECT_EQ(box(0).caption, "Внимание");
    EXPECT_EQ(app.recordFile, nullptr);
}

TEST_F(Commands, PlaybackIsRefusedDuringRecordingAndStopsARunningOne) {
    app.recordFile = std::tmpfile();
    EXPECT_EQ(handleCommand(kCmdPlayback), 0);
    ASSERT_EQ(headlessBoxCount(), 1);
    EXPECT_EQ(box(0).text, "Вначале необходимо прекратить запись в файла");
    EXPECT_EQ(box(0).caption, "Внимание");
    EXPECT_EQ(app.playFile.load(), nullptr);
    std::fclose(app.recordFile);
    app.recordFile = nullptr;

    app.playFile = std::tmpfile();
    app.playState = 1;
    EXPECT_EQ(handleCommand(kCmdPlayback), 1);
    EXPECT_EQ(app.playState.load(), 0);
    EXPECT_EQ(headlessBoxCount(), 1);
}

TEST_F(Commands, EveryDialogCommandOpensANewDialog) {
    for (int id : {kCmdServerDialog, kCmdComDialog, kCmdFeedLinkDialog, kCmdPointDialog, kCmdNameDialog,
                   kCmdIntervalDialog, kCmdThresholdDialog, kCmdFrequencyDialog}) {
        EXPECT_EQ(handleCommand(id), 1) << id;
        handleCommand(id);
        EXPECT_EQ(headlessDialogsOpened(id), 2) << id;
    }
}

TEST_F(Commands, ExitClosesTheWindowUnknownIdsDoNothing) {
    for (int id : {0, 100, 103, 112, 120, 200, 203, 303, 65535}) EXPECT_EQ(handleCommand(id), 0) << id;
    EXPECT_EQ(headlessWindowClosed(), 0);
    EXPECT_EQ(headlessBoxCount(), 0);
    EXPECT_EQ(handleCommand(kCmdExit), 1);
    EXPECT_EQ(headlessWindowClosed(), 1);
}

TEST_F(Commands, DigitKeysSendTheReceiverModeCommands) {
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    ASSERT_EQ(openComPort(name), 1);

    for (int ch : {'0', '1', '2', '3'}) handleKey(ch);
    const std::string want = "#43-12\n#43-12\n#43-13\n#43-14\n";
    std::string got;
    char buf[256];
    waitFor([&] {
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got.size() >= want.size();
    });
    EXPECT_EQ(got, want);
    closeComPort();
    close(slave);
    close(master);

    // Without a port the keys write nothing and complain about nothing.
    handleKey('0');
    EXPECT_EQ(headlessBoxCount(), 0);
}

}  // namespace

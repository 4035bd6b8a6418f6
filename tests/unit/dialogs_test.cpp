// Settings dialogs: what each shows when it opens, what each OK changes and
// writes, the threshold correction, the restart notice, the feed drop, the serial
// reopen, long fields, and the TAB cycle's order.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "station/dialogs.h"
#include "input/serial_source.h"
#include "test_support.h"

namespace {

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override { resetApp(); }
    ScratchDir dir;
};

struct Shown {
    int fields;
    std::string first, second;
};

Shown open(int commandId) {
    char first[kDialogInitSize], second[kDialogInitSize];
    int fields = dialogInit(commandId, first, second);
    return {fields, first, fields > 1 ? second : ""};
}

std::string box(int index, std::string* caption = nullptr) {
    char text[512], cap[256];
    headlessBox(index, text, sizeof text, cap, sizeof cap);
    if (caption) *caption = cap;
    return text;
}

}  // namespace

TEST_F(DialogsTest, WithoutSettingsFilesEachDialogShowsItsBuiltInTexts) {
    struct Case {
        int id;
        const char* templateName;
        int fields;
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {105, "IDD_DIALOG1", 2, "COM1", "115200"},
        {102, "IDD_DIALOG2", 1, "7777", ""},
        {109, "IDD_DIALOG9", 2, "8888", "127.0.0.1"},
        {110, "IDD_DIALOG3", 2, "47.198200", "39.628200"},
        {111, "IDD_DIALOG4", 1, "Rostov-on-Don", ""},
        {115, "IDD_DIALOG_TIMECOMPRESS", 1, "50", ""},
        {116, "IDD_DIALOG_POROG", 1, "50", ""},
        {117, "IDD_DIALOG_FREQ", 1, "12000000", ""},
        {119, "IDD_DIALOG_TCPSOURCE", 2, "30005", "127.0.0.1"},
    };
    for (const Case& c : cases) {
        ASSERT_NE(dialogInfo(c.id), nullptr) << c.id;
        EXPECT_STREQ(dialogInfo(c.id)->templateName, c.templateName);
        EXPECT_EQ(dialogInfo(c.id)->tabCycle, c.id == 102 || c.id == 110 || c.id == 119) << c.id;
        EXPECT_EQ(dialogInfo(c.id)->checkBox, c.id == 119) << c.id;
        Shown s = open(c.id);
        EXPECT_EQ(s.fields, c.fields) << c.id;
        EXPECT_EQ(s.first, c.first) << c.id;
        EXPECT_EQ(s.second, c.second) << c.id;
    }
    EXPECT_EQ(dialogInfo(113), nullptr);
    EXPECT_EQ(dialogOk(113, "1", "2"), 0);
    EXPECT_EQ(headlessBoxCount(), 0);
}

TEST_F(DialogsTest, OkWritesEachFileAsTypedAndTakesTheValue) {
    app.clockRefTaken = 1;
    dialogOk(110, "47.1982", "39.6282");
    dialogOk(111, "Site 7", nullptr);
    dialogOk(115, "25x", nullptr);
    dialogOk(116, "300", nullptr);  // no range check on OK
    dialogOk(117, "16000000", nullptr);
    dialogOk(102, "5000", nullptr);
    EXPECT_EQ(readFile("point.ini"), "47.1982\r\n39.6282\r\n");
    EXPECT_NEAR(app.receiverLat, 169913.52, 1e-6);
    EXPECT_NEAR(app.receiverLon, 142661.52, 1e-6);
    EXPECT_EQ(readFile("name.ini"), "Site 7\r\n");
    EXPECT_STREQ(app.receiverName, "Site 7");
    EXPECT_EQ(readFile("time.ini"), "25x\r\n");
    EXPECT_EQ(app.compressInterval, 25);
    EXPECT_EQ(readFile("porog.ini"), "300\r\n");
    EXPECT_EQ(app.levelThreshold, 300);
    EXPECT_EQ(readFile("frequency.ini"), "16000000\r\n");
    EXPECT_EQ(app.timerFrequency, 16000000);
    EXPECT_EQ(app.clockRefTaken, 0);

    // The server port takes effect at the next start, which the user is told.
    EXPECT_EQ(readFile("initsocket.ini"), "5000\r\n\r\n");
    EXPECT_EQ(app.serverPort, 5000);
    ASSERT_EQ(headlessBoxCount(), 1);
    std::string caption;
    EXPECT_EQ(box(0, &caption), "Необходимо перезапустить программу");
    EXPECT_EQ(caption, "Внимание");

    // What was written is what the next opening shows.
    EXPECT_EQ(open(110).first, "47.1982");
    EXPECT_EQ(open(102).first, "5000");
    EXPECT_EQ(open(115).first, "25x");
}

TEST_F(DialogsTest, ThresholdOutOfRangeIsResetWhenTheDialogOpens) {
    writeFile("porog.ini", "300\r\n");
    app.levelThreshold = 300;  // as start-up loaded it
    EXPECT_EQ(open(116).first, "50");
    EXPECT_EQ(app.levelThreshold, 50);
    EXPECT_EQ(readFile("porog.ini"), "300\r\n");  // Cancel: the file keeps 300
    writeFile("porog.ini", "-1\r\n");
    EXPECT_EQ(open(116).first, "50");
    writeFile("porog.ini", "255\r\n");
    EXPECT_EQ(open(116).first, "255");
    EXPECT_EQ(app.levelThreshold, 255);
}

TEST_F(DialogsTest, OpeningTakesTheFileValueIntoMemory) {
    writeFile("name.ini", "Far-Site\r\n");
    writeFile("time.ini", "10\r\n");
    writeFile("frequency.ini", "20000000\r\n");
    writeFile("init.ini", "COM7\r\n");  // display only, and line 2 missing
    EXPECT_EQ(open(111).first, "Far-Site");
    EXPECT_STREQ(app.receiverName, "Far-Site");
    EXPECT_EQ(open(115).first, "10");
    EXPECT_EQ(app.compressInterval, 10);
    EXPECT_EQ(open(117).first, "20000000");
    EXPECT_EQ(app.timerFrequency, 20000000);
    Shown serial = open(105);
    EXPECT_EQ(serial.first, "COM7");
    EXPECT_EQ(serial.second, "115200");
    EXPECT_STREQ(app.comPortName, "COM1");
}

TEST_F(DialogsTest, FeedDialogDropsTheLinkOnlyWhileConnected) {
    dialogOk(109, "9000", "feed.example");
    EXPECT_EQ(readFile("initmkp2.ini"), "9000\r\nfeed.example\r\n");
    EXPECT_EQ(app.feed.port, 9000);
    EXPECT_STREQ(app.feed.host, "feed.example");
    EXPECT_EQ(app.feed.state, kLinkNotYet);

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    app.feed.socket = fds[0];
    app.feed.state = kLinkConnected;
    // A port that cannot work changes nothing: no file, no drop, the box says why.
    EXPECT_EQ(dialogOk(109, "70001", "10.1.2.3"), 0);
    EXPECT_EQ(app.feed.port, 9000);
    EXPECT_EQ(app.feed.state, kLinkConnected);
    EXPECT_EQ(readFile("initmkp2.ini"), "9000\r\nfeed.example\r\n");
    EXPECT_EQ(headlessBoxCount(), 1);
    EXPECT_EQ(dialogOk(109, "9001", "10.1.2.3"), 1);
    EXPECT_EQ(app.feed.port, 9001);
    EXPECT_STREQ(app.feed.host, "10.1.2.3");
    EXPECT_EQ(app.feed.state, kLinkDropped);
    EXPECT_STREQ(app.feed.status, "Связь разорвана");
    close(fds[1]);
}

TEST_F(DialogsTest, LongFieldsAreCutTo255Characters) {
    std::string typed(400, 'n');
    dialogOk(111, typed.c_str(), nullptr);
    dialogOk(109, "8000", typed.c_str());
    EXPECT_EQ(std::string(app.receiverName), typed.substr(0, 255));
    EXPECT_EQ(readFile("name.ini"), typed.substr(0, 255) + "\r\n");
    EXPECT_EQ(std::string(app.feed.host), typed.substr(0, 255));
}

TEST_F(DialogsTest, ValuesThatCannotWorkAreRefusedWithTheOldValueKept) {
    writeFile("point.ini", "47\r\n39\r\n");
    double lat = app.receiverLat;
    EXPECT_EQ(dialogOk(110, "1e300", "39.5"), 0);  // would cut the introduction line
    EXPECT_EQ(dialogOk(110, "47.5", "-180.5"), 0);
    EXPECT_EQ(dialogOk(102, "0", nullptr), 0);
    EXPECT_EQ(dialogOk(116, "abc", nullptr), 0);
    EXPECT_EQ(dialogOk(105, "COM1", "fast"), 0);
    EXPECT_EQ(dialogOk(105, "COM1", "12345"), 0);  // no such termios speed
    EXPECT_DOUBLE_EQ(app.receiverLat, lat);
    EXPECT_EQ(app.serverPort, 7777);
    EXPECT_EQ(app.levelThreshold, 50);
    EXPECT_STREQ(app.comBaudText, "9600");
    EXPECT_EQ(readFile("point.ini"), "47\r\n39\r\n");
    EXPECT_FALSE(fileExists("initsocket.ini") || fileExists("porog.ini") || fileExists("init.ini"));
    ASSERT_EQ(headlessBoxCount(), 6);
    char text[512], caption[64];
    headlessBox(0, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(text, "Значение \"1e300\" не принято (широта): нужно от -90 до 90 градусов.\n"
                       "Оставлено прежнее значение.");
    EXPECT_STREQ(caption, "Внимание");
}

TEST_F(DialogsTest, SerialDialogOkTwiceOnTheSamePortReopensIt) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    dialogOk(105, name, "115200");
    EXPECT_EQ(readFile("init.ini"), std::string(name) + "\r\n115200\r\n");
    EXPECT_STREQ(app.comPortName, name);
    EXPECT_STREQ(app.comBaudText, "115200");
    EXPECT_NE(app.comHandle, kNoSerial);
    dialogOk(105, name, "115200");
    EXPECT_NE(app.comHandle, kNoSerial);
    EXPECT_EQ(app.comOpenCount, 2);
    EXPECT_EQ(headlessBoxCount(), 0);
    EXPECT_EQ(headlessTrayIcon(), 1);

    // A port that does not exist: the failure box, captioned with the port name.
    dialogOk(105, "/nonexistent/port", "9600");
    ASSERT_EQ(headlessBoxCount(), 1);
    std::string caption;
    EXPECT_EQ(box(0, &caption), "Не удалось открыть СОМ ПОРТ\nПопробуйте перезапустить эту программу");
    EXPECT_EQ(caption, "/nonexistent/port");
    EXPECT_EQ(headlessTrayIcon(), 2);
    closeComPort();
    close(master);
    close(slave);
}

TEST_F(DialogsTest, TabCycleOrder) {
    // Coordinates: 1000, 1001, OK, Cancel, back to 1000.
    int p = 0;
    const int coordinates[] = {1001, 1, 2, 1000, 1001};
    for (int control : coordinates) {
        p = tabNextPosition(p, 2);
        EXPECT_EQ(tabControlAt(p, 2), control);
    }
    // TCP source: 1000, 1001, the check box, OK, Cancel, back to 1000.
    p = 0;
    const int tcpSource[] = {1001, 1002, 1, 2, 1000};
    for (int control : tcpSource) {
        p = tabNextPosition(p, 3);
        EXPECT_EQ(tabControlAt(p, 3), control);
    }
    // Server: 1000, OK, Cancel, back to 1000.
    p = 0;
    const int server[] = {1, 2, 1000, 1};
    for (int control : server) {
        p = tabNextPosition(p, 1);
        EXPECT_EQ(tabControlAt(p, 1), control);
    }
}

// Settings files: defaults, lenient parsing, line layouts, CR LF on write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "station/reload.h"
#include "config/settings.h"
#include "test_support.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { resetApp(); }
    ScratchDir dir;
};

}  // namespace

TEST_F(SettingsTest, NoFilesGiveTheDefaults) {
    loadAllSettings();
    EXPECT_STREQ(app.comPortName, "COM1");
    EXPECT_STREQ(app.comBaudText, "9600");
    EXPECT_EQ(app.serverPort, 7777);
    EXPECT_EQ(app.feed.port, 8888);
    EXPECT_STREQ(app.feed.host, "127.0.0.1");
    EXPECT_DOUBLE_EQ(app.receiverLat, 169913.52);
    EXPECT_DOUBLE_EQ(app.receiverLon, 142661.52);
    EXPECT_STREQ(app.receiverName, "Rostov-on-Don");
    EXPECT_EQ(app.levelThreshold, 50);
    EXPECT_EQ(app.compressInterval, 50);
    EXPECT_EQ(app.timerFrequency, 12000000);
    EXPECT_EQ(app.binaryMode, 0);
    EXPECT_EQ(app.compressFeed, 0);
    EXPECT_EQ(app.flagsLine4, 60);
    EXPECT_STREQ(app.settingsDir, "");
    EXPECT_EQ(std::string(app.startDir), dir.path());
    EXPECT_FALSE(fileExists("testNaWriteFile.txt"));
}

TEST_F(SettingsTest, FileValuesAndTheirQuirks) {
    writeFile("init.ini", "COM3 \r\n115200\r\n");
    writeFile("initsocket.ini", "6000\r\n10.0.0.2\r\n");  // line 2: the relay's address
    writeFile("BinarComOn.ini", "1\r\n0\r\n1\r\n100\r\n");
    writeFile("initmkp2.ini", "  +9000xyz\nfeed.example\n");
    writeFile("point.ini", "47.5\n39.75e0\n");
    writeFile("name.ini", "Site-7\r\n");
    writeFile("porog.ini", "300\r\n");  // no range check at start-up
    writeFile("time.ini", "-5\n");
    writeFile("frequency.ini", "12x\n");
    app.clockRefTaken = 1;
    loadAllSettings();
    EXPECT_STREQ(app.comPortName, "COM3 ");
    EXPECT_STREQ(app.comBaudText, "115200");
    EXPECT_EQ(app.serverPort, 6000);
    EXPECT_STREQ(app.relayAddress, "10.0.0.2");
    EXPECT_EQ(app.binaryMode, 1);
    EXPECT_EQ(app.compressFeed, 0);
    EXPECT_EQ(app.flagsLine3, 1);
    EXPECT_EQ(app.flagsLine4, 100);
    EXPECT_EQ(app.feed.port, 9000);
    EXPECT_STREQ(app.feed.host, "feed.example");
    EXPECT_DOUBLE_EQ(app.receiverLat, 171000.0);
    EXPECT_DOUBLE_EQ(app.receiverLon, 143100.0);
    EXPECT_STREQ(app.receiverName, "Site-7");
    EXPECT_EQ(app.levelThreshold, 300);
    EXPECT_EQ(app.compressInterval, -5);
    EXPECT_EQ(app.timerFrequency, 12);
    EXPECT_EQ(app.clockRefTaken, 0);
    EXPECT_EQ(headlessBoxCount(), 0);
}

TEST_F(SettingsTest, ValuesThatCannotWorkKeepTheirDefaultsAndAreSaid) {
    writeFile("initsocket.ini", "70000\r\nlan.example\r\n");  // once masked into 4464
    writeFile("initmkp2.ini", "0\r\nfeed.example\r\n");
    writeFile("point.ini", "1e300\r\n39.5\r\n");
    writeFile("frequency.ini", "abc\r\n");
    writeFile("init.ini", "COM3\r\n12345\r\n");
    loadAllSettings();
    EXPECT_EQ(app.serverPort, 7777);
    EXPECT_STREQ(app.relayAddress, "");
    EXPECT_EQ(app.feed.port, 8888);
    EXPECT_STREQ(app.feed.host, "feed.example");  // the host line itself can work
    EXPECT_DOUBLE_EQ(app.receiverLat, 169913.52);
    EXPECT_DOUBLE_EQ(app.receiverLon, 39.5 * 3600);
    EXPECT_EQ(app.timerFrequency, 12000000);
    EXPECT_STREQ(app.comPortName, "COM1");  // the speed refused keeps the pair
    EXPECT_EQ(headlessBoxCount(), 6);
    char text[512], caption[64];
    headlessBox(1, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(caption, "initsocket.ini");
    EXPECT_STREQ(text, "Значение \"70000\" не принято (порт): нужно число от 1 до 65535.\n"
                       "Оставлено прежнее значение.");
}

TEST_F(SettingsTest, ShortAndEmptyFiles) {
    // A file cut short keeps the values of its missing lines.
    writeFile("initmkp2.ini", "9100\r\n");
    writeFile("BinarComOn.ini", "1\r\n");
    writeFile("point.ini", "10\n");
    writeFile("init.ini", "COM9\n");
    loadAllSettings();
    EXPECT_EQ(app.feed.port, 9100);
    EXPECT_STREQ(app.feed.host, "127.0.0.1");
    EXPECT_EQ(app.binaryMode, 1);
    EXPECT_EQ(app.compressFeed, 0);
    EXPECT_EQ(app.flagsLine4, 60);
    EXPECT_DOUBLE_EQ(app.receiverLat, 36000.0);
    EXPECT_DOUBLE_EQ(app.receiverLon, 142661.52);
    EXPECT_STREQ(app.comBaudText, "9600");

    // Empty files keep the current values instead of parsing nothing as 0.
    resetApp();
    for (const char* f : {"BinarComOn.ini", "point.ini", "name.ini", "porog.ini", "time.ini", "frequency.ini"})
        writeFile(f, "");
    loadAllSettings();
    EXPECT_EQ(app.flagsLine4, 60);
    EXPECT_DOUBLE_EQ(app.receiverLat, 169913.52);
    EXPECT_STREQ(app.receiverName, "Rostov-on-Don");
    EXPECT_EQ(app.levelThreshold, 50);
    EXPECT_EQ(app.timerFrequency, 12000000);
}

TEST_F(SettingsTest, AReloadChangesOnlyWhatChangedAndWritesNoFile) {
    const char* full[][2] = {{"init.ini", "COM3\r\n57600\r\n"},   {"initsocket.ini", "6000\r\n\r\n"},
                             {"BinarComOn.ini", "1\r\n1\r\n0\r\n60\r\n"}, {"initmkp2.ini", "9000\r\nfeed.example\r\n"},
                             {"point.ini", "47.5\r\n39.5\r\n"},     {"name.ini", "North\r\n"},
                             {"porog.ini", "7\r\n"},                 {"time.ini", "20\r\n"},
                             {"frequency.ini", "16000000\r\n"}};
    for (auto& f : full) writeFile(f[0], f[1]);
    loadAllSettings();
    auto values = [] {
        SettingsValues v;
        settingsInUse(&v);
        char text[2048];
        std::snprintf(text, sizeof text, "%s %s %u %s %d %d %d %d %u %s %.2f %.2f %s %d %d %d", v.comPortName,
                      v.comBaudText, v.serverPort, v.relayAddress, v.binaryMode, v.compressFeed, v.flagsLine3,
                      v.flagsLine4, v.feedPort, v.feedHost, v.receiverLat, v.receiverLon, v.receiverName,
                      v.levelThreshold, v.compressInterval, v.timerFrequency);
        return std::string(text);
    };
    const std::string before = values();

    // Emptied files, and files cut short after a line, as a power cut or an editor
    // leaves them; then one whose only line cannot work.
    const char* broken[][2] = {{"init.ini", ""},        {"initsocket.ini", "6000"},  {"BinarComOn.ini", "1\r\n"},
                               {"initmkp2.ini", "9000\r\n"}, {"point.ini", "47.5\r\n"}, {"name.ini", ""},
                               {"porog.ini", ""},       {"time.ini", ""},            {"frequency.ini", "abc\r\n"}};
    for (auto& f : broken) writeFile(f[0], f[1]);
    char applied[256];
    EXPECT_EQ(settingsReload(nullptr, applied, sizeof applied), 0);
    EXPECT_STREQ(applied, "");
    EXPECT_EQ(values(), before);
    for (auto& f : broken) EXPECT_EQ(readFile(f[0]), f[1]) << f[0];
    EXPECT_EQ(headlessBoxCount(), 1);  // the frequency without digits

    // A changed value is applied, and its file stays exactly as it was written.
    writeFile("name.ini", "South\n");
    writeFile("initsocket.ini", "70000\r\n");
    EXPECT_EQ(settingsReload(nullptr, applied, sizeof applied), 1);
    EXPECT_STREQ(applied, "name.ini");
    EXPECT_STREQ(app.receiverName, "South");
    EXPECT_EQ(app.serverPort, 6000);
    EXPECT_EQ(readFile("name.ini"), "South\n");
}

TEST_F(SettingsTest, LongLinesAreSplitOrCutNeverOverrun) {
    // init.ini reads 255 characters per line: the remainder becomes line 2.
    writeFile("init.ini", std::string(255, 'P') + "115200\r\n");
    // A name line longer than the field is cut to 255 characters.
    writeFile("name.ini", std::string(1000, 'N') + "\r\n");
    loadAllSettings();
    EXPECT_EQ(std::string(app.comPortName), std::string(255, 'P'));
    EXPECT_EQ(std::string(app.comBaudText), "115200");
    EXPECT_EQ(std::string(app.receiverName), std::string(255, 'N'));
}

TEST_F(SettingsTest, WritersUseCrLfAndReadBack) {
    app.binaryMode = 1;
    app.compressFeed = 1;
    app.flagsLine3 = 1;
    app.flagsLine4 = 100;
    ASSERT_EQ(1, writeFlagsFile());
    EXPECT_EQ(readFile("BinarComOn.ini"), "1\r\n1\r\n1\r\n100\r\n");
    ASSERT_EQ(1, writeServerFile("5000"));
    EXPECT_EQ(readFile("initsocket.ini"), "5000\r\n\r\n");
    writeInitFile("COM4", "57600");
    writeFeedLinkFile("8889", "mlat.example");
    writePointFile("47.1982", "39.6282");
    writeNameFile("Имя");
    writeThresholdFile("60");
    writeIntervalFile("20");
    writeFrequencyFile("1000000");
    EXPECT_EQ(readFile("point.ini"), "47.1982\r\n39.6282\r\n");

    resetApp();
    loadAllSettings();
    EXPECT_STREQ(app.comPortName, "COM4");
    EXPECT_STREQ(app.comBaudText, "57600");
    EXPECT_EQ(app.serverPort, 5000);
    EXPECT_EQ(app.feed.port, 8889);
    EXPECT_STREQ(app.feed.host, "mlat.example");
    EXPECT_NEAR(app.receiverLat, 169913.52, 1e-6);
    EXPECT_STREQ(app.receiverName, "Имя");
    EXPECT_EQ(app.levelThreshold, 60);
    EXPECT_EQ(app.compressInterval, 20);
    EXPECT_EQ(app.timerFrequency, 1000000);
    EXPECT_EQ(app.flagsLine4, 100);
}

TEST_F(SettingsTest, DialogReaders) {
    char a[kPathSize], b[kPathSize];
    EXPECT_EQ(0, readInitForDialog(a, b));
    EXPECT_STREQ(a, "COM1");
    EXPECT_STREQ(b, "115200");
    EXPECT_EQ(0, readPointForDialog(a, b));
    EXPECT_STREQ(a, "47.198200");
    EXPECT_STREQ(b, "39.628200");
    EXPECT_EQ(0, readFeedLinkForDialog(a, b));
    EXPECT_STREQ(a, "8888");
    EXPECT_STREQ(b, "127.0.0.1");
    EXPECT_EQ(0, readServerForDialog(a));
    EXPECT_STREQ(a, "7777");

    // The threshold reader puts an out-of-range value back to 50.
    writeFile("porog.ini", "300\r\n");
    loadAllSettings();
    EXPECT_EQ(app.levelThreshold, 300);
    EXPECT_EQ(1, readThresholdForDialog(a));
    EXPECT_STREQ(a, "50");
    EXPECT_EQ(app.levelThreshold, 50);
    EXPECT_EQ(readFile("porog.ini"), "300\r\n");

    writeFile("name.ini", "North\r\n");
    EXPECT_EQ(1, readNameForDialog(a));
    EXPECT_STREQ(app.receiverName, "North");
    writeFile("frequency.ini", "16000000\n");
    EXPECT_EQ(1, readFrequencyForDialog(a));
    EXPECT_EQ(app.timerFrequency, 16000000);
}

TEST_F(SettingsTest, UnwritableDirectoryStillLoads) {
    if (geteuid() == 0) {
        // root writes anywhere; take the probe's directory away instead.
        copyText(app.settingsDir, kPathSize, "/nonexistent-dir/");
    } else {
        chmod(dir.path().c_str(), 0500);
    }
    loadAllSettings();
    EXPECT_STREQ(app.settingsDir, "");
    EXPECT_FALSE(fileExists("testNaWriteFile.txt"));
    chmod(dir.path().c_str(), 0700);
}

TEST(SettingsParse, LenientNumbers) {
    EXPECT_EQ(parseSettingInt("  -12x"), -12);
    EXPECT_EQ(parseSettingInt("x12"), 0);
    EXPECT_EQ(parseSettingInt("99999999999"), 2147483647);
    EXPECT_DOUBLE_EQ(parseSettingDouble(" 47.1982"), 47.1982);
    EXPECT_DOUBLE_EQ(parseSettingDouble("-1.5e2xyz"), -150.0);
    EXPECT_DOUBLE_EQ(parseSettingDouble("4e"), 4.0);
    EXPECT_DOUBLE_EQ(parseSettingDouble("inf"), 0.0);
    EXPECT_DOUBLE_EQ(parseSettingDouble("0x10"), 0.0);
}

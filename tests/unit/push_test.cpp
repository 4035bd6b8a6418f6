// The push targets' texts, initpush.ini and the dialog "Передача в другие сети";
// the pushing itself is tried against real peers in tests/linux/cases/push.sh.
#include <gtest/gtest.h>

#include <string>

#include "app/headless/headless_view.h"
#include "config/push_settings.h"
#include "core/app_state.h"
#include "net/push.h"
#include "station/dialogs.h"
#include "test_support.h"

namespace {

std::string boxText(int index) {
    char text[4096], caption[256];
    headlessBox(index, text, sizeof text, caption, sizeof caption);
    return std::string(caption) + ": " + text;
}

class PushSettings : public ::testing::Test {
protected:
    ScratchDir dir;
    void SetUp() override { resetApp(); }
    void TearDown() override { pushStop(); }
    std::string inUse() {
        char texts[kPushTargets][kPushTargetTextSize];
        std::string out;
        for (int i = 0, n = pushTargetsInUse(texts, kPushTargets); i < n; ++i) out += std::string(i ? " " : "") + texts[i];
        return out;
    }
};

}  // namespace

TEST(PushTarget, TakesHostAndPortAndIpv6InBrackets) {
    char host[256];
    std::uint16_t port = 0;
    EXPECT_EQ(pushParseTarget("feed.example:30004", host, sizeof host, &port), 1);
    EXPECT_STREQ(host, "feed.example");
    EXPECT_EQ(port, 30004);
    EXPECT_EQ(pushParseTarget("[fd00::7]:30005", host, sizeof host, &port), 1);
    EXPECT_STREQ(host, "fd00::7");
    EXPECT_EQ(port, 30005);
    for (const char* bad : {"", "host", "host:", ":30004", "host:0", "host:65536", "fd00::7:30004", "[fd00::7:30004",
                            "ho st:1", "host:12a", "[]:1"})
        EXPECT_EQ(pushParseTarget(bad, host, sizeof host, &port), 0) << bad;
}

// A line that cannot be used is refused and said; the rest are kept, at most 8.
TEST_F(PushSettings, TheFileRefusesLinesThatCannotBeUsedAndKeepsTheRest) {
    writeFile("initpush.ini", "a:1\r\n\r\n  b:2  \r\nnot-a-target\r\na:1\r\nc:3\r\nd:4\r\ne:5\r\nf:6\r\ng:7\r\nh:8\r\ni:9\r\n");
    PushTargetList list;
    ASSERT_EQ(readPushFile(&list), 1);
    ASSERT_EQ(list.count, 8);
    EXPECT_STREQ(list.text[1], "b:2");
    EXPECT_STREQ(list.text[7], "h:8");
    ASSERT_EQ(headlessBoxCount(), 3);
    EXPECT_EQ(boxText(0), "initpush.ini: Значение \"not-a-target\" не принято (цель передачи): нужно адрес:порт (адрес IPv6 "
                          "в скобках, порт от 1 до 65535).\nСтрока пропущена, остальные приняты.");
    EXPECT_NE(boxText(1).find("эта цель уже есть"), std::string::npos);
    EXPECT_NE(boxText(2).find("\"i:9\""), std::string::npos);
    EXPECT_NE(boxText(2).find("не больше 8 целей"), std::string::npos);

    PushTargetList kept;
    copyText(kept.text[kept.count++], kPushTargetTextSize, "x:1");
    ::remove("initpush.ini");
    EXPECT_EQ(readPushFile(&kept), 0) << "a missing file keeps what is in use";
    EXPECT_EQ(kept.count, 1);
}

// The dialog shows the file, writes it on OK (and applies it), refuses a line
// that cannot be used with nothing written, and Cancel is no call at all.
TEST_F(PushSettings, TheDialogShowsTheFileAndItsOkWritesAndApplies) {
    char first[kDialogInitSize], second[kDialogInitSize];
    EXPECT_EQ(dialogInit(kCmdPushDialog, first, second), 1);
    EXPECT_STREQ(first, "");
    char note[2048];
    dialogNote(kCmdPushDialog, note, sizeof note);
    EXPECT_STREQ(note, "Передача не ведется");

    EXPECT_EQ(dialogOk(kCmdPushDialog, "127.0.0.1:1\r\nbad line\r\n", ""), 0);
    EXPECT_FALSE(fileExists("initpush.ini"));
    EXPECT_EQ(inUse(), "");
    EXPECT_EQ(dialogOk(kCmdPushDialog, " 127.0.0.1:1\r\n\r\n[::1]:2\r\n", ""), 1);
    EXPECT_EQ(readFile("initpush.ini"), "127.0.0.1:1\r\n[::1]:2\r\n");
    EXPECT_EQ(inUse(), "127.0.0.1:1 [::1]:2");
    dialogInit(kCmdPushDialog, first, second);
    EXPECT_STREQ(first, "127.0.0.1:1\r\n[::1]:2");
    dialogNote(kCmdPushDialog, note, sizeof note);
    EXPECT_EQ(std::string(note).find("127.0.0.1:1: идет установление связи, передано 0 байт, отброшено кадров 0, "
                                     "переподключений 0\r\n[::1]:2: "),
              0u)
        << note;
}

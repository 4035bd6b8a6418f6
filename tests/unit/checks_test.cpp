// The stream's counters and the station's checks, driven by made-up streams and a
// made-up clock: each check warns with its text and is fine again once its cause
// has gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/headless/headless_view.h"
#include "core/app_state.h"
#include "input/receiver.h"
#include "input/stream_stats.h"
#include "station/checks.h"
#include "station/look.h"
#include "station/station.h"
#include "test_support.h"

namespace {

// A binary frame of the given type with its timestamp and signal level, 0x1A doubled.
std::string frame(char type, std::uint64_t stamp, unsigned char level) {
    std::string raw = {'\x1a', type};
    std::string body;
    for (int i = 5; i >= 0; --i) body += static_cast<char>(stamp >> (8 * i) & 0xFF);
    body += static_cast<char>(level);
    body.append(type == '1' ? 2 : type == '2' ? 7 : 14, '\x1a');  // payload of escaped bytes
    for (char c : body) raw += c == '\x1a' ? std::string("\x1a\x1a") : std::string(1, c);
    return raw;
}

class Checks : public ::testing::Test {
protected:
    std::int64_t now = 1000000;
    void SetUp() override {
        resetApp();
        lookStart();        // a look without aircraft
        checksTickAt(now);  // the first turn: the counters' start
    }
    // One second of the port's bytes, then the second's checks.
    void second(const std::string& bytes = "") {
        now += 1000;
        countSourceBytes(kSourcePort, reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<int>(bytes.size()), now);
        checksTickAt(now);
    }
    std::string line2() {
        char text[600];
        writeSourceLine(text, sizeof text);
        return text;
    }
    const SourceStats& port() { return app.stats[kSourcePort]; }
    // n frames of the next second, stamped by a 12 MHz clock that runs with ours.
    std::string frames(int n, char type, unsigned char level) {
        std::string out;
        for (int i = 0; i < n; ++i) out += frame(type, static_cast<std::uint64_t>(now + 1000) * 12000 + i * 1000, level);
        return out;
    }
};

}  // namespace

TEST_F(Checks, CountersTellFramesAndLinesApartInEitherMode) {
    app.levelThreshold = 50;
    std::string stream = frame('1', 0x1A1A, 60) + frame('2', 0, 60) + frame('3', 12000000, 10) +
                         "\x1a\x33\x01\x02" +  // a long frame cut short by the next
                         frame('3', 24000000, 60) + "\r\n@0000001A2B3C8D4840D6202CC371C32CE0576098;\r\n" +
                         "*8D4840D6202CC371C32CE0576098;\n" + "MSG,3,1\r\n";
    countSourceBytes(kSourcePort, reinterpret_cast<const unsigned char*>(stream.data()),
                     static_cast<int>(stream.size()), now);
    EXPECT_EQ(port().bytes.load(), stream.size());
    EXPECT_EQ(port().kinds[kKindModeAC].load(), 1u);
    EXPECT_EQ(port().kinds[kKindModeSShort].load(), 1u);
    EXPECT_EQ(port().kinds[kKindModeSLong].load(), 2u);
    EXPECT_EQ(port().kinds[kKindLineTimed].load(), 1u);
    EXPECT_EQ(port().kinds[kKindLineUntimed].load(), 1u);
    EXPECT_EQ(port().kinds[kKindLineOther].load(), 1u);
    EXPECT_EQ(port().zeroStamps.load(), 1u);
    EXPECT_EQ(port().heldBack.load(), 1u);
    // Text mode: the binary frames' bytes are in no line the decoder uses.
    EXPECT_GT(port().stray.load(), 0u);
    EXPECT_EQ(port().lastByteMs.load(), now);

    // A frame whose bytes hold a CR, text and an LF is no other line in binary mode.
    app.binaryMode = 1;
    stream = "\x1a\x33" + std::string(7, '\x01') + "\rMSG,3\n" + std::string(7, '\x02');
    countSourceBytes(kSourcePort, reinterpret_cast<const unsigned char*>(stream.data()), int(stream.size()), now);
    EXPECT_EQ(port().kinds[kKindModeSLong].load(), 3u);
    EXPECT_EQ(port().kinds[kKindLineOther].load(), 1u) << "the text mode's one, not the frame's";
    // Nor is a frame line held in a frame's bytes, even one a CR and LF enclose.
    stream = "\x1a\x33" + std::string("\r@0123456789AB1;\n") + std::string(4, '\x02') + "\x1a\x32" + std::string(14, '\x03');
    countSourceBytes(kSourcePort, reinterpret_cast<const unsigned char*>(stream.data()), int(stream.size()), now);
    EXPECT_EQ(port().kinds[kKindModeSLong].load(), 4u);
    EXPECT_EQ(port().kinds[kKindModeSShort].load(), 2u);
    EXPECT_EQ(port().kinds[kKindLineTimed].load(), 1u) << "the text mode's one";
}

TEST_F(Checks, EachCheckWarnsAndIsFineAgain) {
    second(frames(30, '3', 200));
    EXPECT_EQ(line2(), "Поток бинарный: включите «Бинарный режим источника»");
    int last = 0;
    EXPECT_EQ(headlessCheckChanges(&last), 1);
    EXPECT_EQ(last, kCheckWrongMode);
    app.binaryMode = 1;
    for (int i = 0; i < 6; ++i) second(frames(30, '3', 200));
    EXPECT_EQ(line2(), "");
    EXPECT_EQ(headlessCheckChanges(&last), 2);
    EXPECT_EQ(last, -1 - kCheckWrongMode);

    // Text lines without the receiver's time.
    app.binaryMode = 0;
    for (int i = 0; i < 11; ++i) second("*8D4840D6202CC371C32CE0576098;\r\n");
    EXPECT_EQ(line2(), "Нет меток времени приемника: для MLAT нужны строки '@' или бинарный режим");
    for (int i = 0; i < 11; ++i) second("@0000001A2B3C8D4840D6202CC371C32CE0576098;\r\n");
    EXPECT_EQ(line2(), "");

    // A threshold that keeps back nearly every frame for a minute.
    app.binaryMode = 1;
    app.levelThreshold = 200;
    for (int i = 0; i < 61; ++i) second(frames(5, '2', 20));
    EXPECT_EQ(line2(), "Порог 200 отбрасывает 100 % пакетов");
    app.levelThreshold = 10;
    for (int i = 0; i < 61; ++i) second(frames(5, '2', 20));
    EXPECT_EQ(line2(), "");

    // An open port without a byte for 30 s; the text counts up.
    app.comHandle = 42;
    for (int i = 0; i < 31; ++i) second();
    EXPECT_EQ(line2(), "Нет данных от источника 30 с");
    second();
    EXPECT_EQ(line2(), "Нет данных от источника 31 с");
    second(frames(5, '2', 20));
    EXPECT_EQ(line2(), "");
    app.comHandle = kNoSerial;
}

TEST_F(Checks, AWrongModeHeldHalfAMinuteWithGoodParityIsSwitchedUnlessTurnedOff) {
    ScratchDir dir;
    std::string good;  // long frames whose parity checks, through the whole hand-on
    const unsigned char msg[] = {0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3, 0x71, 0xC3, 0x2C, 0xE0, 0x57, 0x60, 0x98};
    for (int i = 0; i < 30; ++i) good += std::string("\x1a\x33\x01\x02\x03\x04\x05\x06\x80") +
                                         std::string(reinterpret_cast<const char*>(msg), sizeof msg);
    auto handOnSecond = [&](const std::string& bytes) {
        now += 1000;
        handOnReceiverBytes(kSourcePort, reinterpret_cast<const unsigned char*>(bytes.data()),
                            static_cast<int>(bytes.size()));
        checksTickAt(now);
    };
    writeFile("automode.ini", "0\r\n");
    for (int i = 0; i < 35; ++i) handOnSecond(good);
    EXPECT_EQ(app.binaryMode.load(), 0) << "turned off: only the warning";
    EXPECT_EQ(line2(), "Поток бинарный: включите «Бинарный режим источника»");
    EXPECT_FALSE(fileExists("BinarComOn.ini"));

    writeFile("automode.ini", "1\r\n");
    handOnSecond(good);
    EXPECT_EQ(app.binaryMode.load(), 1);
    EXPECT_EQ(readFile("BinarComOn.ini").substr(0, 3), "1\r\n");
    char last[256];
    headlessNotices(last, sizeof last);
    EXPECT_EQ(std::string(last).rfind("Поток бинарный уже 30 с: «Бинарный режим источника» включен", 0), 0u) << last;

    // Frames that only look like frames (bad parity) never switch it back.
    app.binaryMode = 0;
    for (int i = 0; i < 40; ++i) handOnSecond(frames(30, '3', 200));
    EXPECT_EQ(app.binaryMode.load(), 0);
}

TEST_F(Checks, AFrequencyOffTheSettingIsSaidWithTheMeasuredValue) {
    app.timerFrequency = 20000000;
    app.checks.measuredHz = 12000480.0;
    second();
    EXPECT_EQ(line2(), "Частота таймера: измерено ~ 12,00 МГц, задано 20,00 МГц");
    char note[64];
    writeMeasuredFrequency(note, sizeof note);
    EXPECT_STREQ(note, "измерено: 12 000 480");
    app.timerFrequency = 12000000;
    second();
    EXPECT_EQ(line2(), "");
    // A reset of the receiver's counter is said once.
    app.checks.counterResets = 1;
    second();
    second();
    char last[256];
    EXPECT_EQ(headlessNotices(last, sizeof last), 1);
    EXPECT_STREQ(last, "Счетчик приемника сброшен");
}

// The real capture (a site near 60 N 33 E) handed on by the station's reader path
// in blocks of `chunk`, on a thread of its own while the main thread reads the look.
class LookChecks : public Checks {
protected:
    std::string capture;
    ScratchDir scratch;
    void SetUp() override {
        std::string dir = sharedDataDir();
        if (dir.empty()) GTEST_SKIP() << "no receiver captures here";
        capture = readFile(dir + "/beast-capture-60s.bin");
        Checks::SetUp();
        app.binaryMode = 1;
        at(60.1, 33.8);
        lookStart();
    }
    void at(double lat, double lon) { app.receiverLat = lat * 3600, app.receiverLon = lon * 3600; }
    void play(std::size_t chunk, const std::function<void()>& meanwhile = [] {}) {
        std::atomic<bool> done{false};
        std::thread reader([&] {
            for (std::size_t i = 0; i < capture.size(); i += chunk)
                handOnReceiverBytes(kSourcePort, reinterpret_cast<const unsigned char*>(capture.data() + i),
                                    int(std::min(chunk, capture.size() - i)));
            done = true;
        });
        while (!done) meanwhile();
        reader.join();
        now = monotonicMs();  // the look's clock
    }
};

TEST_F(LookChecks, CoordinatesCheckAndCoverageFromTheRealCapture) {
    lookStop();
    EXPECT_FALSE(fileExists("coverage.txt")) << "nothing heard, nothing written";
    lookStart();
    play(4096);
    second();
    EXPECT_EQ(line2(), "");
    LookFigures f, back;
    lookFigures(now, &f);
    EXPECT_EQ(f.withPosition, 11);
    EXPECT_GT(f.farthestDayM, 100000);
    lookTickAt(now + 500);
    EXPECT_FALSE(fileExists("coverage.txt")) << "not before a minute";
    lookTickAt(now + kCoverageSaveMs);

    // point.ini far off (a reload or the dialog): said, and fine again once corrected.
    at(47.2, 39.7);
    second();
    EXPECT_EQ(line2().rfind("Координаты станции (point.ini) не сходятся с принятыми: самолеты видны за 1", 0), 0u);
    int last = 0;
    EXPECT_EQ(headlessCheckChanges(&last), 1);
    EXPECT_EQ(last, kCheckCoordinates);
    at(60.1, 33.8);
    second();
    EXPECT_EQ(line2(), "");
    EXPECT_EQ(headlessCheckChanges(&last), 2);

    // A restart reads the coverage back; another point's file is said and left alone.
    lookStart();
    lookFigures(now, &back);
    EXPECT_EQ(back.farthestDayM, f.farthestDayM);
    at(55.7, 33.8);
    lookStart();
    char notice[256];
    EXPECT_EQ(headlessNotices(notice, sizeof notice), 1);
    EXPECT_STREQ(notice, "coverage.txt не принят (файл покрытия записан для другой точки станции): покрытие собирается заново");
}

// The lock keeps the reader and the main thread apart (ThreadSanitizer).
TEST_F(LookChecks, TheLookIsReadWhileTheReaderFeedsIt) {
    LookFigures f;
    char text[512];
    int turns = 0;
    play(512, [&] {
        lookFigures(monotonicMs(), &f);
        lookCoordsWarning(monotonicMs(), text, sizeof text);
        lookTickAt(monotonicMs() + (++turns & 1) * 1000);  // each turn runs: time steps back and forth
    });
    lookFigures(now, &f);
    EXPECT_EQ(f.withPosition, 11);
}

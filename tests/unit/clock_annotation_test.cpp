// The receiver-clock annotation: which lines are annotated, the three formats with
// their 32-bit arithmetic, the reference, and lines the receiver got wrong.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/app_state.h"
#include "display/clock_annotation.h"
#include "test_support.h"

namespace {

// Slot index of the newest ring line, and its text.
int ringWrite() {
    TextGuard g(app.ring.lock);
    return app.ring.write;
}

std::string newestLine() {
    TextGuard g(app.ring.lock);
    return app.ring.slots[app.ring.write];
}

// "@" line with a 48-bit count and a Mode S long payload, as the decoder makes it.
std::string atLine(std::uint64_t count) {
    char line[64];
    std::snprintf(line, sizeof line, "@%012llX8D4840D6202CC371C32CE0576098;\r\n",
                  static_cast<unsigned long long>(count & 0xFFFFFFFFFFFFULL));
    return line;
}

// Shows line with a reference set `computerSeconds` ago at receiver count `refCount`.
// The computer clock is real: a run in which its second turns during the call is
// repeated, so the elapsed computer time is exactly the one asked for.
std::string showWithReference(const std::string& line, std::uint64_t refCount, std::int64_t computerSeconds) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::int64_t before = calendarSeconds();
        app.clockRefTaken = 1;
        app.clockRefReceiver = refCount;
        app.clockRefComputer = before - computerSeconds;
        showRecordLine(line.c_str());
        if (calendarSeconds() == before) return newestLine();
    }
    ADD_FAILURE() << "the computer clock kept turning";
    return "";
}

class ClockAnnotation : public ::testing::Test {
protected:
    void SetUp() override {
        resetApp();
        app.relativeTime = 1;
    }
};

const std::uint64_t kBase = 0x0000123456789AULL;
const std::uint64_t kHz = 12000000;

TEST_F(ClockAnnotation, LinesPassUnchangedWhenNotAnnotated) {
    app.relativeTime = 0;
    showRecordLine(atLine(kBase).c_str());
    EXPECT_EQ(newestLine(), atLine(kBase));
    EXPECT_EQ(app.clockRefTaken.load(), 0);

    app.relativeTime = 1;
    showRecordLine("*8D4840D6202CC371C32CE0576098;\r\n");
    EXPECT_EQ(newestLine(), "*8D4840D6202CC371C32CE0576098;\r\n");
    showRecordLine("MSG,3,1,1,4840D6,1,,,,\r\n");
    EXPECT_EQ(newestLine(), "MSG,3,1,1,4840D6,1,,,,\r\n");
    EXPECT_EQ(app.clockRefTaken.load(), 0);
}

TEST_F(ClockAnnotation, HiddenLinesReachNothingAndTakeNoReference) {
    app.showLines = 0;
    int before = ringWrite();
    showRecordLine(atLine(kBase).c_str());
    showRecordLine("*8D4840D6202CC371C32CE0576098;\r\n");
    EXPECT_EQ(ringWrite(), before);
    EXPECT_EQ(app.clockRefTaken.load(), 0);
    onShowLinesKey();
    EXPECT_EQ(app.showLines.load(), 1);
}

TEST_F(ClockAnnotation, FirstLineTakesTheReference) {
    std::string shown;
    for (int attempt = 0; attempt < 20; ++attempt) {
        app.clockRefTaken = 0;
        std::int64_t before = calendarSeconds();
        showRecordLine(atLine(kBase).c_str());
        shown = newestLine();
        if (calendarSeconds() == before) break;
    }
    EXPECT_EQ(shown, "прм = 0  комп = 0     " + atLine(kBase));
    EXPECT_EQ(app.clockRefTaken.load(), 1);
    EXPECT_EQ(app.clockRefReceiver, kBase);
}

TEST_F(ClockAnnotation, ThreeFormatsChosenByReceiverTime) {
    EXPECT_EQ(showWithReference(atLine(kBase + 90 * kHz), kBase, 91),
              "прм = 01:30  комп = 01:31     " + atLine(kBase + 90 * kHz));
    EXPECT_EQ(showWithReference(atLine(kBase + 3725 * kHz), kBase, 3726),
              "прм = 1:02:05  комп = 1:02:06     " + atLine(kBase + 3725 * kHz));
    EXPECT_EQ(showWithReference(atLine(kBase + 59 * kHz + kHz - 1), kBase, 58),
              "прм = 59  комп = 58     " + atLine(kBase + 59 * kHz + kHz - 1));
    // The computer figure keeps the receiver figure's shape, whatever its size.
    EXPECT_EQ(showWithReference(atLine(kBase + 60 * kHz), kBase, 3700),
              "прм = 01:00  комп = 61:40     " + atLine(kBase + 60 * kHz));
    EXPECT_EQ(showWithReference(atLine(kBase + 3600 * kHz), kBase, 5),
              "прм = 1:00:00  комп = 0:00:05     " + atLine(kBase + 3600 * kHz));
}

TEST_F(ClockAnnotation, CounterBelowTheReferenceGivesNegativeSeconds) {
    // A restarted receiver: 1234.5 s below the reference truncates towards zero.
    std::uint64_t ref = kBase + 2000 * kHz;
    std::uint64_t t = ref - 1234 * kHz - kHz / 2;
    EXPECT_EQ(showWithReference(atLine(t), ref, 17), "прм = -1234  комп = 17     " + atLine(t));
}

TEST_F(ClockAnnotation, IntegerFormatsUseThirtyTwoBitValues) {
    // 2^32 + 3725 s at one count per second: the hours format sees 3725.
    app.timerFrequency = 1;
    std::uint64_t t = kBase + (std::uint64_t{1} << 32) + 3725;
    EXPECT_EQ(showWithReference(atLine(t), kBase, 3726), "прм = 1:02:05  комп = 1:02:06     " + atLine(t));
    // A negative frequency divides as its unsigned 32-bit value.
    app.timerFrequency = -1;  // 4294967295
    std::uint64_t t2 = kBase + 4294967295ULL * 61;
    EXPECT_EQ(showWithReference(atLine(t2), kBase, 61), "прм = 01:01  комп = 01:01     " + atLine(t2));
}

TEST_F(ClockAnnotation, ZeroFrequencyShowsLinesUnannotated) {
    app.timerFrequency = 0;
    showRecordLine(atLine(kBase).c_str());
    EXPECT_EQ(newestLine(), atLine(kBase));
}

TEST_F(ClockAnnotation, MalformedTimestamps) {
    // No hex digit after '@': the count is 0, and the line is still annotated.
    EXPECT_EQ(showWithReference("@;\r\n", 0, 2), "прм = 0  комп = 2     @;\r\n");
    EXPECT_EQ(showWithReference("@;\r\n", 60 * kHz, 2), "прм = -60  комп = 2     @;\r\n");
    // Each part stops at its first other character, and each is read on its own:
    // high part 0 ("00G1"), low part 0xB71B00 (one second).
    EXPECT_EQ(showWithReference("@00G100B71B00;\r\n", 0, 0), "прм = 1  комп = 0     @00G100B71B00;\r\n");
    // High part 1, low part 0 ("ZZ...") : 2^32 counts, 357 s.
    EXPECT_EQ(showWithReference("@0001ZZ00000010\r\n", 0, 0),
              "прм = 05:57  комп = 00:00     @0001ZZ00000010\r\n");
    // Short lines: nothing is read past their end (checked under the address sanitizer).
    for (const char* text : {"@", "@1", "@12345", "@000000B71B00"}) {
        std::size_t n = std::strlen(text) + 1;
        std::unique_ptr<char[]> exact(new char[n]);
        std::memcpy(exact.get(), text, n);
        app.clockRefTaken = 1;
        app.clockRefReceiver = 0;
        app.clockRefComputer = calendarSeconds();
        showRecordLine(exact.get());
        EXPECT_NE(newestLine().find(text), std::string::npos) << text;
    }
    EXPECT_EQ(newestLine().rfind("прм = 1  ", 0), 0u);  // 0xB71B00 counts = 1 s
}

TEST_F(ClockAnnotation, SwitchingOnAgainTakesANewReference) {
    showRecordLine(atLine(kBase).c_str());
    ASSERT_EQ(app.clockRefReceiver, kBase);
    onRelativeTimeKey();
    EXPECT_EQ(app.relativeTime.load(), 0);
    showRecordLine(atLine(kBase + 5 * kHz).c_str());
    EXPECT_EQ(app.clockRefReceiver, kBase);  // off keeps the old reference
    onRelativeTimeKey();
    EXPECT_EQ(app.relativeTime.load(), 1);
    EXPECT_EQ(app.clockRefTaken.load(), 0);
    showRecordLine(atLine(kBase + 7 * kHz).c_str());
    EXPECT_EQ(app.clockRefReceiver, kBase + 7 * kHz);
    EXPECT_EQ(newestLine().rfind("прм = 0  ", 0), 0u);

    EXPECT_EQ(onRelativeTimeCommand(), 0);
    EXPECT_EQ(onRelativeTimeCommand(), 1);
    EXPECT_EQ(app.clockRefTaken.load(), 0);
}

}  // namespace

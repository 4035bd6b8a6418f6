// The start-up steps that may refuse to start: the compression library with its two
// entry points, and the network stack.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/app_state.h"
#include "app/headless/headless_view.h"
#include "station/startup.h"
#include "test_support.h"

namespace {

class Startup : public ::testing::Test {
protected:
    void SetUp() override { resetApp(); }
    void TearDown() override {
        libraryFree(app.zlibModule);
        app.zlibModule = nullptr;
    }
};

TEST_F(Startup, MissingLibraryShowsTheBoxAndEndsWithZero) {
    EXPECT_EQ(loadCompressionLibrary("no-such-zlib1.dll"), 0);
    ASSERT_EQ(headlessBoxCount(), 1);
    char text[256], caption[64];
    headlessBox(0, text, sizeof text, caption, sizeof caption);
    EXPECT_STREQ(text, "Не удалось подключить zlib1.dll\n");
    EXPECT_STREQ(caption, "Ошибка");
    EXPECT_EQ(app.zlibModule, nullptr);
    EXPECT_EQ(app.zlibCompress, nullptr);
}

TEST_F(Startup, TheRealLibraryGoesOnAndItsCompressWorks) {
    ASSERT_EQ(loadCompressionLibrary("zlib1.dll"), kStartGoOn);
    ASSERT_NE(app.zlibCompress, nullptr);
    ASSERT_NE(app.zlibUncompress, nullptr);
    EXPECT_EQ(headlessBoxCount(), 0);

    const char line[] = "@0123456789ABCDEF0123456789;\r\n@0123456789ABCDEF0123456789;\r\n";
    unsigned char packed[256];
    unsigned long packedLen = sizeof packed;
    ASSERT_EQ(app.zlibCompress(packed, &packedLen, reinterpret_cast<const unsigned char*>(line), sizeof line), 0);
    unsigned char back[256];
    unsigned long backLen = sizeof back;
    ASSERT_EQ(app.zlibUncompress(back, &backLen, packed, packedLen), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), backLen), std::string(line, sizeof line));
}

TEST_F(Startup, MissingEntryPointsEndSilentlyWith417Then418) {
    // compress is looked up first: without it the answer is 417 even when
    // uncompress is missing too.
    EXPECT_EQ(loadCompressionLibrary("zlib1.dll", "no_compress_here", "no_uncompress_here"), kExitNoCompress);
    EXPECT_NE(app.zlibModule, nullptr);  // stays loaded
    libraryFree(app.zlibModule);
    resetApp();

    EXPECT_EQ(loadCompressionLibrary("zlib1.dll", "compress", "no_uncompress_here"), kExitNoUncompress);
    EXPECT_NE(app.zlibCompress, nullptr);
    EXPECT_EQ(app.zlibUncompress, nullptr);
    EXPECT_NE(app.zlibModule, nullptr);
    EXPECT_EQ(headlessBoxCount(), 0);
}

TEST_F(Startup, NetworkStackStartsWithoutABox) {
    EXPECT_EQ(startNetwork(), 1);
    EXPECT_EQ(headlessBoxCount(), 0);
    netCleanup();
}

}  // namespace

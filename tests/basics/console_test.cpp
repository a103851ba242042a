#include "basics/console.h"

#include <gtest/gtest.h>

#include "app/fixed_tables.h"
#include "basics/program.h"
#include "platform/console.h"
#include "platform/screen.h"

using namespace QUARLE_BASICS;

namespace {

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Tarvelo::SetLanguageAndLevelTables();  // the prefixes and colours the program main sets
    ASSERT_EQ(InitCharTables(), 0);
    platform::ConsoleCaptureForTest(&out_);
    platform::ConsoleClear();
  }
  void TearDown() override {
    platform::ConsoleCaptureForTest(nullptr);
    platform::ScreenClose();
    ScreenWidth = ScreenHeight = ScreenDepth = 0;
    DisplayDriverIndex = 0;
    FreeCharTables();
  }
  std::string out_;
};

}  // namespace

TEST_F(ConsoleTest, CodePageMapEdges) {
  for (int k = 0; k < 127; ++k) EXPECT_EQ(CodePageMap[k], k);
  EXPECT_EQ(CodePageMap[127], 0xA6);
  EXPECT_EQ(CodePageMap[206], 0x7B);
  EXPECT_EQ(CodePageMap[255], 0xA6);
  // The inverse leads back to the same character wherever it exists.
  for (int c = 1; c < 256; ++c) {
    if (CodePageInverse[c] != 0) {
      EXPECT_EQ(CodePageMap[CodePageInverse[c]], c) << c;
    }
  }
  // Inverse: the highest code wins, a character no code shows gives 0.
  EXPECT_EQ(CodePageInverse[0xA6], 255);
  EXPECT_EQ(CodePageInverse[static_cast<unsigned char>('$')], 207);
  EXPECT_EQ(CodePageInverse[0x80], 0);
}

TEST_F(ConsoleTest, ToFontCodePageMapsTexts) {
  EXPECT_EQ(ToFontCodePage("Abc 123 xyz"), "Abc 123 xyz");
  EXPECT_EQ(ToFontCodePage("\xE9\xC7\xA6"), "\x82\x80\xFF");
  EXPECT_EQ(ToFontCodePage("{$}"), "\xCE\xCF\xD0");
  // A character without a console code must neither vanish nor end the text.
  std::string mapped = ToFontCodePage("1 \x80 = 1 euro");
  EXPECT_EQ(mapped, "1 ? = 1 euro");
  FreeCharTables();
  EXPECT_EQ(ToFontCodePage("\xE9\x80"), "\xE9\x80");  // no maps: unchanged
}

TEST_F(ConsoleTest, PrintLeadsWithPrefixAndColoursByLevel) {
  ConsolePrint("caf\xE9", 2);
  EXPECT_EQ(out_, "<Error>  caf\x82\n");
  EXPECT_FALSE(platform::ConsoleColour().rgb);
  EXPECT_EQ(platform::ConsoleColour().foreground, 4u);
  EXPECT_EQ(platform::ConsoleColour().background, 0u);
  out_.clear();
  ConsolePrint("ok", 0);
  EXPECT_EQ(out_, ">>  ok\n");
  EXPECT_EQ(platform::ConsoleColour().foreground, 15u);
}

TEST_F(ConsoleTest, OutOfRangeLevelIsClamped) {
  ConsolePrint("x", 9);
  EXPECT_EQ(out_, "<Fatal Error>  x\n");
  out_.clear();
  ConsolePrint("y", -3);
  EXPECT_EQ(out_, ">>  y\n");
}

TEST_F(ConsoleTest, WithAScreenOpenPrintsInScreenColoursAndScrolls) {
  ASSERT_NE(OpenScreen(8, 320, 110), nullptr);  // 110 / 11 = 10 rows
  for (int i = 0; i < 12; ++i) ConsolePrint("line", 3);
  EXPECT_TRUE(platform::ConsoleColour().rgb);
  EXPECT_EQ(platform::ConsoleColour().foreground, 0xFFC80096u);
  // Cleared before the 11th line, as the cursor had passed row 10.
  EXPECT_EQ(platform::ConsoleCursorRow(), 3);
}

TEST_F(ConsoleTest, ScrollCheckClearsOnlyPastTheScreen) {
  ConsoleScrollCheck(0);  // no screen height: nothing happens
  EXPECT_EQ(platform::ConsoleCursorRow(), 1);
  ScreenHeight = 110;
  for (int i = 0; i < 9; ++i) platform::ConsolePrintLine("l");
  ConsoleScrollCheck(0);
  EXPECT_EQ(platform::ConsoleCursorRow(), 10);
  platform::ConsolePrintLine("l");
  ConsoleScrollCheck(1);  // no terminal to wait on: returns at once
  EXPECT_EQ(platform::ConsoleCursorRow(), 1);
  EXPECT_EQ(platform::ConsoleCursorColumn(), 1);
}

TEST_F(ConsoleTest, OpenScreenHeadless) {
  EXPECT_EQ(OpenScreen(8, 0, 480), nullptr);
  EXPECT_EQ(OpenScreen(8, 640, 0), nullptr);
  EXPECT_FALSE(platform::ScreenIsOpen());

  DisplayDriverIndex = 5;
  uint32_t* pixels = OpenScreen(8, 640, 480);
  ASSERT_NE(pixels, nullptr);
  EXPECT_EQ(platform::ScreenDriver(), "GDI");
  EXPECT_EQ(DisplayDriverIndex, 0);
  EXPECT_EQ(ScreenWidth, 640);
  EXPECT_EQ(ScreenHeight, 480);
  EXPECT_EQ(ScreenDepth, 32);
  EXPECT_EQ(platform::ScreenWorkPage(), 0);
  EXPECT_EQ(platform::ScreenVisiblePage(), 0);
  EXPECT_EQ(platform::ScreenFlags(), 8);
  EXPECT_EQ(pixels, platform::ScreenPagePixels(0));
  int32_t x = -1, y = -1;
  platform::ScreenWindowPosition(x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
  pixels[640 * 480 - 1] = 0xFF123456;  // the whole page is ours to write

  DisplayDriverIndex = 2;
  ASSERT_NE(OpenScreen(8, 800, 600), nullptr);
  EXPECT_EQ(platform::ScreenDriver(), "OpenGL");
  EXPECT_EQ(DisplayDriverIndex, 2);
  EXPECT_EQ(ScreenWidth, 800);
}

TEST_F(ConsoleTest, OpenScreenRefusesAbsurdSizes) {
  EXPECT_EQ(OpenScreen(8, -640, 480), nullptr);
  EXPECT_EQ(OpenScreen(8, 1LL << 40, 480), nullptr);
  EXPECT_FALSE(platform::ScreenIsOpen());
  EXPECT_EQ(ScreenWidth, 0);
}

#include "visuals/clipboard.h"

#include <gtest/gtest.h>

#include "platform/clipboard.h"
#include "platform/screen.h"

namespace {

using namespace QUARLE_VISUALS;

TEST(Clipboard, AccentedTextRoundTrip) {
  ASSERT_TRUE(platform::ScreenHeadless());  // the in-process clipboard
  const std::string text = "Caf\xE9 cr\xE8me \x80 5 \x93quoted\x94 \xFF";
  EXPECT_EQ(SetClipboardText(text), 0);
  // The system side holds UTF-8.
  EXPECT_EQ(platform::ClipboardGetUtf8(),
            "Caf\xC3\xA9 cr\xC3\xA8me \xE2\x82\xAC 5 \xE2\x80\x9Cquoted\xE2\x80\x9D \xC3\xBF");
  EXPECT_EQ(GetClipboardText(), text);
  EXPECT_EQ(SetClipboardText(""), 0);
  EXPECT_EQ(GetClipboardText(), "");
  // The text ends at its first zero byte, as a C string would.
  EXPECT_EQ(SetClipboardText(std::string("ab\0cd", 5)), 0);
  EXPECT_EQ(GetClipboardText(), "ab");
}

TEST(Clipboard, ForeignTextFromTheSystem) {
  // Characters the code page lacks, and malformed bytes, become "?".
  platform::ClipboardSetUtf8("\xE6\x97\xA5 \xC3\xA0 \xF0\x9F\x8E\xB9 \xC0\xAF \xE2\x82");
  EXPECT_EQ(GetClipboardText(), "? \xE0 ? ?? ??");
  platform::ClipboardSetUtf8("\xED\xA0\x80");  // a lone surrogate
  EXPECT_EQ(GetClipboardText(), "???");
}

TEST(Clipboard, UnassignedBytesSurvive) {
  const std::string odd = "\x81\x8D\x8F\x90\x9D";
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(odd)), odd);
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

}  // namespace

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
  // Characters the code page lacks, and malformed bytes, take their escape
  // forms (platform/paths.h: the currency sign, then the number); controls go.
  const struct {
    const char* utf8;
    const char* pasted;
  } rows[] = {
      {"\xE6\x97\xA5 \xC3\xA0 \xF0\x9F\x8E\xB9", "\xA4{65E5} \xE0 \xA4{1F3B9}"},
      {"\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F" "2", "\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}2"},
      {"\xC0\xAF \xE2\x82", "\xA4[C0]\xA4[AF] \xA4[E2]\xA4[82]"},
      {"\xED\xA0\x80", "\xA4[ED]\xA4[A0]\xA4[80]"},  // a lone surrogate
      {"a\tb\r\nc\xC2\x85\x7F \xC2\xA4{41F}", "abc \xA4{41F}"},  // a form typed by hand stays one
      {"\xC2\x81\xC2\x80", "\x81"},  // an unassigned byte's C1 control is no control here
  };
  for (const auto& r : rows) {
    platform::ClipboardSetUtf8(r.utf8);
    EXPECT_EQ(GetClipboardText(), r.pasted) << r.utf8;
  }
}

TEST(Clipboard, CopiesCarryTheCharactersTheFormsStandFor) {
  // Other programs get the real characters, as the disk gets a name's; a paste
  // back gives the forms again. A byte form names no character: it travels
  // written out, and comes back as it went.
  const struct {
    const char* copied;
    const char* utf8;
    const char* pasted;
  } rows[] = {
      {"\xA4{41F}\xA4{435}\xA4{441}\xA4{43D}\xA4{44F}.wav",
       "\xD0\x9F\xD0\xB5\xD1\x81\xD0\xBD\xD1\x8F.wav", nullptr},
      {"\xA4{97f3} \xA4{1F3B9}", "\xE9\x9F\xB3 \xF0\x9F\x8E\xB9", "\xA4{97F3} \xA4{1F3B9}"},
      {"caf\xA4[E9].wav", "caf\xC2\xA4[E9].wav", nullptr},
      {"C:\\a\xA4{5C}b", "C:\\a\\b", "C:\\a\\b"},
      {"5 \xA4\xA4, \xA4{zz} \xA4", "5 \xC2\xA4, \xC2\xA4{zz} \xC2\xA4", "5 \xA4, \xA4{zz} \xA4"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(SetClipboardText(r.copied), 0);
    EXPECT_EQ(platform::ClipboardGetUtf8(), r.utf8) << r.copied;
    EXPECT_EQ(GetClipboardText(), r.pasted ? r.pasted : r.copied);
  }
}

TEST(Clipboard, UnassignedBytesSurvive) {
  const std::string odd = "\x81\x8D\x8F\x90\x9D";
  EXPECT_EQ(SetClipboardText(odd), 0);
  EXPECT_EQ(GetClipboardText(), odd);
  // Every character but the controls (a one-line field holds none) comes back.
  std::string all;
  for (int c = 32; c < 256; ++c)
    if (c != 127) all += static_cast<char>(c);
  EXPECT_EQ(SetClipboardText(all), 0);
  EXPECT_EQ(GetClipboardText(), all);
}

}  // namespace

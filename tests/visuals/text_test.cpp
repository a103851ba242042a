#include "visuals/text.h"

#include <gtest/gtest.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "basics/errors.h"
#include "basics/messages.h"
#include "platform/paths.h"
#include "platform/screen.h"

namespace {

using namespace QUARLE_VISUALS;
namespace fs = std::filesystem;

const char* const kFontFolder = "/usr/share/fonts/truetype/dejavu";

std::vector<std::pair<std::string, int32_t>> g_messages;
void Capture(const std::string& text, int32_t level) { g_messages.emplace_back(text, level); }

struct Img {
  platform::Image* img;
  Img(int w, int h, uint32_t fill) : img(platform::ImageCreate(w, h, fill)) {}
  ~Img() { platform::ImageDestroy(img); }
  uint32_t at(int x, int y) const { return *platform::ImagePixel(img, x, y); }
  std::vector<uint32_t> pixels() const {
    return std::vector<uint32_t>(img->pixels, img->pixels + img->width * img->height);
  }
};

class FontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_messages.clear();
    QUARLE_BASICS::MessageHook = Capture;
    platform::SetProgramFolderOverride(kFontFolder);
    MT_FONT = platform::MutexCreate();
    ASSERT_EQ(FontEngineStart(), 0);
  }
  void TearDown() override {
    FontEngineStop();
    platform::MutexDestroy(MT_FONT);
    MT_FONT = nullptr;
    platform::SetProgramFolderOverride("");
    QUARLE_BASICS::MessageHook = nullptr;
    FailNextFontAllocations(0);
    platform::ScreenClose();
  }
  void Load() { ASSERT_EQ(LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf"), 0); }
  int32_t Adv(char c, int32_t size = 20) {
    return GlyphAdvance(std::string(1, c), TextFont.Face, size);
  }
};

TEST_F(FontTest, LoadFailuresGiveTheFontCode) {
  EXPECT_EQ(LoadFonts("/missing-font.ttf", "/DejaVuSans.ttf"), -kErrFontLoad);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0].first, "I could not find/load: /missing-font.ttf");
  EXPECT_EQ(g_messages[0].second, QUARLE_BASICS::kLevelFatal);
  EXPECT_EQ(QUARLE_BASICS::ErrorText(-kErrFontLoad), "FreeType - problem loading Font.");
  EXPECT_EQ(TextFont.Face, nullptr);
  EXPECT_EQ(IconAdvances, nullptr);

  // A file that is not a font at all.
  const fs::path dir = fs::temp_directory_path() / ("tarvelo_fonts_" + std::to_string(getpid()));
  fs::create_directories(dir);
  { std::ofstream(dir / "junk.ttf") << "this is not a TrueType file, only bytes"; }
  { std::ofstream(dir / "empty.ttf"); }
  platform::SetProgramFolderOverride(dir.string());
  EXPECT_EQ(LoadFonts("/junk.ttf", "/junk.ttf"), -kErrFontLoad);
  EXPECT_EQ(LoadFonts("/empty.ttf", "/junk.ttf"), -kErrFontLoad);
  fs::remove_all(dir);

  // The text face opens, the icon face does not: the text face is kept.
  platform::SetProgramFolderOverride(kFontFolder);
  EXPECT_EQ(LoadFonts("/DejaVuSans-Bold.ttf", "/none.ttf"), -kErrFontLoad);
  EXPECT_NE(TextFont.Face, nullptr);
  EXPECT_EQ(LoadFonts("/ignored.ttf", "/DejaVuSans.ttf"), 0);  // open faces are kept
  EXPECT_NE(IconFont.Face, nullptr);
  ASSERT_NE(IconAdvances, nullptr);
  EXPECT_EQ(IconAdvances[kIconAdvanceCount - 1], 0);
}

TEST_F(FontTest, WidthsAndSizeClamping) {
  Load();
  EXPECT_EQ(TextWidth("", &TextFont, 20), 1);
  const int32_t a = Adv('a'), b = Adv('b');
  ASSERT_GT(a, 0);
  EXPECT_EQ(TextWidth("ab", &TextFont, 20), 1 + a + b);
  EXPECT_EQ(TextWidth("abab", &TextFont, 120), TextWidth("abab", &TextFont, 100));
  EXPECT_EQ(TextWidth("abab", &TextFont, 4), TextWidth("abab", &TextFont, 8));
  EXPECT_LT(TextWidth("abab", &TextFont, 8), TextWidth("abab", &TextFont, 100));
  // Accented Windows-1252 letters are measured with their own glyphs.
  EXPECT_EQ(TextWidth("\xE9\xE8", &TextFont, 20), 1 + Adv('\xE9') + Adv('\xE8'));
  EXPECT_EQ(Adv('\xE9'), Adv('e'));
  // A font without advance tables is measured with the text face, without the extra pixel.
  Load();
  EXPECT_EQ(TextWidth("ab", &IconFont, 20), a + b);
  EXPECT_EQ(TextWidth("ab", nullptr, 20), a + b);
  EXPECT_EQ(GlyphAdvance("a", nullptr, 20), -kErrFontPixelSize);
  EXPECT_EQ(GlyphAdvance("a", TextFont.Face, 0), -kErrFontPixelSize);
}

TEST_F(FontTest, TableAllocationFailureIsReported) {
  Load();
  g_messages.clear();
  FailNextFontAllocations(1);
  EXPECT_EQ(TextWidth("abc", &TextFont, 30), 0);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0].first, "Font RAM Manager: Memory Allocation Failed");
  EXPECT_EQ(g_messages[0].second, QUARLE_BASICS::kLevelError);
  FailNextFontAllocations(1);
  EXPECT_EQ(TextFitCount("abc", &TextFont, 30, 1000, false), 0);
  FailNextFontAllocations(1);
  EXPECT_EQ(TextFitBackward("abc", &TextFont, 30, 1000, 3, false), 0);
  EXPECT_GT(TextWidth("abc", &TextFont, 30), 1);  // the next try builds the table
}

TEST_F(FontTest, FitForward) {
  Load();
  const std::string t = "ab cd";
  const int32_t four = Adv('a') + Adv('b') + Adv(' ') + Adv('c');
  EXPECT_EQ(TextFitCount(t, &TextFont, 20, four, true), 3);  // the cut keeps the space
  EXPECT_EQ(TextFitCount(t, &TextFont, 20, four, false), 4);
  EXPECT_EQ(TextFitCount(t, &TextFont, 20, four + Adv('d'), true), 5);
  EXPECT_EQ(TextFitCount(t, &TextFont, 20, 0, false), 0);
  EXPECT_EQ(TextFitCount("", &TextFont, 20, 100, false), 0);
  EXPECT_EQ(TextFitCount("ab\ncdef", &TextFont, 20, 1000, false), 3);
  EXPECT_EQ(TextFitCount("ab\rcdef", &TextFont, 20, 1000, true), 3);
  // No space to go back to: the plain cut.
  const std::string w = "abcdef";
  const int32_t three = Adv('a') + Adv('b') + Adv('c');
  EXPECT_EQ(TextFitCount(w, &TextFont, 20, three, true), 3);
}

TEST_F(FontTest, FitBackward) {
  Load();
  const std::string t = "ab cd";
  const int32_t four = Adv('b') + Adv(' ') + Adv('c') + Adv('d');
  EXPECT_EQ(TextFitBackward(t, &TextFont, 20, four, 5, false), 2);
  EXPECT_EQ(TextFitBackward(t, &TextFont, 20, four, 5, true), 3);  // starts at the space
  EXPECT_EQ(TextFitBackward(t, &TextFont, 20, 10000, 5, true), 1);
  EXPECT_EQ(TextFitBackward(t, &TextFont, 20, 0, 4, false), 4);
  EXPECT_EQ(TextFitBackward(t, &TextFont, 20, 10000, 99, false), 1);  // endPos clamped
  EXPECT_EQ(TextFitBackward(t, &TextFont, 20, 0, -3, false), 1);
  EXPECT_EQ(TextFitBackward("", &TextFont, 20, 100, 1, false), 0);
  // A line break before the end closes the run: it starts right after the break.
  EXPECT_EQ(TextFitBackward("ab\ncd", &TextFont, 20, 10000, 5, false), 4);
}

// Names that begin alike, cut to a narrow room, keep their ends: each group
// stays apart, every glyph of the cut text is drawn within the room, and no
// cut splits an escape form.
TEST_F(FontTest, NamesCutToARoomKeepTheirEnds) {
  Load();
  const int32_t size = 14, room = 160;
  const char* const groups[][3] = {
      {"\xD0\x91\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB1\xD0\xB0\xD0\xBD\xD1\x8B 0", "1.wav", "2.wav"},
      {"\xCE\xA4\xCF\x8D\xCE\xBC\xCF\x80\xCE\xB1\xCE\xBD\xCE\xB1 0", "1.wav", "2.wav"},
      {"\xE3\x83\x89\xE3\x83\xA9\xE3\x83\xA0\xE3\x81\xAE\xE9\x9F\xB3 ", "1.wav", "2.wav"},
      {"A long plain name of a drum take ", "1.wav", "2.wav"},
  };
  for (const auto& g : groups) {
    std::string shown[2];
    for (int i = 0; i < 2; ++i) {
      const std::string name = platform::FromOsPath(std::string(g[0]) + g[i + 1]);
      SCOPED_TRACE(name);
      shown[i] = NameInWidth(name, TextFont.Face, size, room);
      const size_t mark = shown[i].find('\x85'), tail = shown[i].size() - mark - 1;
      ASSERT_NE(mark, std::string::npos);
      EXPECT_EQ(name.compare(0, mark, shown[i], 0, mark), 0);
      EXPECT_EQ(name.compare(name.size() - tail, tail, shown[i], mark + 1), 0);
      EXPECT_GE(tail, 6u);
      const std::vector<size_t> starts = platform::CharacterStarts(name);
      for (const size_t at : {mark, name.size() - tail})
        EXPECT_TRUE(std::find(starts.begin(), starts.end(), at) != starts.end()) << at;
      Img im(room, 20, 0);
      EXPECT_EQ(DrawTextFT(im.img, 0, 0, 0, shown[i], TextFont.Face, size, 0xFFFFFFFFu, 2),
                static_cast<int32_t>(shown[i].size()));
    }
    EXPECT_NE(shown[0], shown[1]);
  }
  // A name that fits stays whole; a room too small for the mark cuts nothing here.
  EXPECT_EQ(NameInWidth("Kick.wav", TextFont.Face, size, room), "Kick.wav");
  EXPECT_EQ(NameInWidth(groups[3][0], TextFont.Face, size, 2), groups[3][0]);
}

// Numbered names only a little wider than the room still read apart: the end
// keeps its share of the room whatever the name's width, so the twelve takes
// (in Latin, and in escape forms) differ in view at every room that cuts them.
TEST_F(FontTest, NamesJustWiderThanTheRoomKeepTheirNumbers) {
  Load();
  const int32_t size = 14;
  const struct {
    const char* stem;
    const char* number;
  } groups[] = {
      {"Acoustic snare drum with brushes, soft, take ", "%02d.wav"},
      {"\xD0\x91\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB1\xD0\xB0\xD0\xBD ", "%05d.wav"},
  };
  for (const auto& g : groups) {
    SCOPED_TRACE(g.stem);
    std::vector<std::string> names;
    for (int i = 1; i <= 12; ++i) {
      char number[16];
      std::snprintf(number, sizeof number, g.number, i);
      names.push_back(platform::FromOsPath(std::string(g.stem) + number));
    }
    // The narrowest room the widest name fits in whole.
    int32_t whole = 1000;
    while (NameInWidth(names[11], TextFont.Face, size, whole - 1) == names[11]) --whole;
    int32_t alike = 0;
    for (int32_t room = whole / 2; room < whole; ++room) {
      std::vector<std::string> shown;
      for (const std::string& name : names) {
        shown.push_back(NameInWidth(name, TextFont.Face, size, room));
        Img im(room, 20, 0);
        EXPECT_EQ(DrawTextFT(im.img, 0, 0, 0, shown.back(), TextFont.Face, size, 0xFFFFFFFFu, 2),
                  static_cast<int32_t>(shown.back().size()))
            << room;
      }
      std::sort(shown.begin(), shown.end());
      if (std::unique(shown.begin(), shown.end()) != shown.end()) ++alike;
    }
    EXPECT_EQ(alike, 0) << "of " << whole - whole / 2 << " rooms";
  }
}

int CountCovered(const Img& im) {
  int n = 0;
  for (uint32_t p : im.pixels()) n += (p >> 24) != 0;
  return n;
}

TEST_F(FontTest, DrawsGlyphsWithCoverage) {
  Load();
  Img im(60, 30, 0);
  EXPECT_EQ(DrawTextFT(im.img, 2, 2, 0, "H", TextFont.Face, 20, 0xFF204060u, 2), 1);
  int covered = 0, full = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 60; ++x) {
      const uint32_t p = im.at(x, y);
      if (p >> 24) {
        ++covered;
        EXPECT_EQ(p & 0x00FFFFFFu, 0x204060u);  // mode 2 keeps the colour, alpha = coverage
        EXPECT_GE(y, 2);
        EXPECT_LT(y, 22);
        EXPECT_GE(x, 2);
      }
      full += (p >> 24) == 255;
    }
  EXPECT_GT(covered, 30);
  EXPECT_GT(full, 10);  // the stems of an H are solid
  EXPECT_EQ(im.at(0, 0), 0u);

  // Mode 0 on an opaque page: touched pixels take the colour's alpha.
  Img page(60, 30, 0xFF000000u);
  EXPECT_EQ(DrawTextFT(page.img, 2, 2, 0, "Hi", TextFont.Face, 20, 0xFFFFFFFFu, 0), 2);
  int lit = 0;
  const std::vector<uint32_t> pixels = page.pixels();
  for (uint32_t p : pixels) {
    EXPECT_EQ(p >> 24, 0xFFu);
    lit += (p & 0xFFu) != 0;
  }
  EXPECT_GT(lit, 30);

  // The euro sign (byte 0x80) has its own glyph; an undefined byte (0x81) does not.
  Img euro(40, 30, 0), undef(40, 30, 0), notdef(40, 30, 0);
  DrawTextFT(euro.img, 2, 0, 0, "\x80", TextFont.Face, 20, 0xFFFFFFFFu, 2);
  DrawTextFT(undef.img, 2, 0, 0, "\x81", TextFont.Face, 20, 0xFFFFFFFFu, 2);
  DrawTextFT(notdef.img, 2, 0, 0, std::string(1, '\0'), TextFont.Face, 20, 0xFFFFFFFFu, 2);
  EXPECT_GT(CountCovered(euro), 10);
  EXPECT_NE(euro.pixels(), undef.pixels());
  EXPECT_EQ(undef.pixels(), notdef.pixels());
}

TEST_F(FontTest, DrawStopsAtTheRightLimit) {
  Load();
  FT_Face face = TextFont.Face;
  ASSERT_EQ(FT_Set_Pixel_Sizes(face, 20, 20), 0);
  ASSERT_EQ(FT_Load_Char(face, 'M', FT_LOAD_RENDER), 0);
  const int adv = static_cast<int>(face->glyph->advance.x >> 6);
  const int left = face->glyph->bitmap_left, width = static_cast<int>(face->glyph->bitmap.width);
  // Three M's end at 2 adv + left + width; the fourth would end adv further.
  const int limit = 2 * adv + left + width;
  ASSERT_GT(3 * adv + left + width, limit);
  Img im(limit + 30, 24, 0);
  EXPECT_EQ(DrawTextFT(im.img, 0, 0, 30, "MMMM", face, 20, 0xFFFFFFFFu, 2), 3);
  EXPECT_EQ(DrawTextFT(im.img, 0, 0, 29, "MMMM", face, 20, 0xFFFFFFFFu, 2), 3);
  // Nothing past the limit was written.
  for (int y = 0; y < 24; ++y)
    for (int x = limit; x < limit + 30; ++x) EXPECT_EQ(im.at(x, y), 0u);
  EXPECT_EQ(DrawTextFT(im.img, 0, 0, 0, "MMMM", face, 20, 0xFFFFFFFFu, 2), 4);
  // A margin outside 0..width counts as 0.
  Img exact(limit, 24, 0);
  EXPECT_EQ(DrawTextFT(exact.img, 0, 0, -5, "MMMM", face, 20, 0xFFFFFFFFu, 2), 3);
  EXPECT_EQ(DrawTextFT(exact.img, 0, 0, limit + 1, "MMMM", face, 20, 0xFFFFFFFFu, 2), 3);
  EXPECT_EQ(DrawTextFT(exact.img, 0, 0, 0, "", face, 20, 0xFFFFFFFFu, 2), 0);
}

TEST_F(FontTest, BadPlacementsAreRefusedOrCut) {
  Load();
  Img im(40, 20, 0);
  EXPECT_EQ(DrawTextFT(im.img, 0, 1, 0, "H", TextFont.Face, 20, 0xFFFFFFFFu, 0), -19);
  EXPECT_EQ(CountCovered(im), 0);
  EXPECT_EQ(DrawTextFT(im.img, 0, 0, 0, "H", nullptr, 20, 0xFFFFFFFFu, 0), -19);
  EXPECT_EQ(DrawTextFT(im.img, 0, 0, 0, "H", TextFont.Face, 0, 0xFFFFFFFFu, 0), -19);
  // Descenders reaching below the bottom row, glyphs left of the image, odd modes.
  Img wide(90, 20, 0);
  EXPECT_EQ(DrawTextFT(wide.img, 0, 0, 0, "gjpq", TextFont.Face, 20, 0xFFFFFFFFu, 9), 4);
  EXPECT_EQ(DrawTextFT(im.img, -15, -3, 0, "Wg", TextFont.Face, 14, 0xFFFFFFFFu, -2), 2);
  Img tiny(3, 3, 0);
  EXPECT_EQ(DrawTextFT(tiny.img, 0, -40, 0, "\xC9", TextFont.Face, 40, 0xFFFFFFFFu, 2), 0);
}

}  // namespace

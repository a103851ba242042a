// What ships beside the program, as the interface uses it: the icon font
// built from tools/icon_font/icons.txt holds a picture at every code the
// interface draws, the icon buttons show those pictures, no caption, title or
// label of the start-up build is wider than its box in the text face, and the
// About window shows the logo.
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "../ui_fixture.h"
#include "app/fixed_tables.h"
#include "platform/images.h"
#include "visuals/text.h"

namespace buildtest {
namespace {

namespace V = QUARLE_VISUALS;

// code -> name of every icon the index lists.
std::map<int32_t, std::string> IconIndex() {
  std::map<int32_t, std::string> index;
  std::ifstream in(std::string(TARVELO_SOURCE_DIR) + "/tools/icon_font/icons.txt");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string keyword, name;
    int32_t code = 0;
    if (words >> keyword && keyword == "icon" && words >> code >> name) index[code] = name;
  }
  return index;
}

class ShippedFilesTest : public uitest::LiveInterfaceTest {
 protected:
  int32_t LoadFaces() override {
    platform::SetProgramFolderOverride(TARVELO_PROGRAM_DIR);
    return V::LoadFonts("/FONTS/Sansation/Sansation_Bold.ttf", "/FONTS/Fontello/Tarvelo-Fontello.ttf");
  }
  void SetUp() override {
    LiveInterfaceTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(fontResult, 0) << "run the build: the faces are made beside the program";
  }

  // Pixels of the glyph's picture at `size`, drawn alone through our FreeType layer.
  static int32_t Coverage(uint8_t code, int32_t size) {
    platform::Image* img = platform::ImageCreate(2 * size, 2 * size, 0);
    V::DrawTextFT(img, size / 2, size / 2, 0, std::string(1, static_cast<char>(code)),
                  V::IconFont.Face, size, 0xFFFFFFFF, 2);
    int32_t n = 0;
    for (int32_t i = 0; i < img->width * img->height; ++i) n += (img->pixels[i] >> 24) > 127;
    platform::ImageDestroy(img);
    return n;
  }

  // The id of the first control with this ID text, -1 without one.
  static int32_t Named(const std::string& name) {
    for (int32_t id = 0; id < V::ControlTableCount(); ++id)
      if (C(id) && Id(id) == name) return id;
    return -1;
  }

  // The covered pixels of a glyph button's layer: their box and count.
  struct Ink {
    int32_t count = 0, x0 = 1 << 20, y0 = 1 << 20, x1 = -1, y1 = -1;
    uint32_t colour = 0;
  };
  static Ink InkOf(const char* control) {
    Ink ink;
    V::ControlRecord* c = C(Named(control));
    if (!c || c->LayerCount < 1 || !c->Layers[0]) return ink;
    const platform::Image* img = c->Layers[0];
    for (int32_t y = 0; y < img->height; ++y)
      for (int32_t x = 0; x < img->width; ++x) {
        const uint32_t p = img->pixels[y * img->width + x];
        if ((p >> 24) < 128) continue;
        ++ink.count;
        ink.colour = p | 0xFF000000u;
        ink.x0 = std::min(ink.x0, x), ink.x1 = std::max(ink.x1, x);
        ink.y0 = std::min(ink.y0, y), ink.y1 = std::max(ink.y1, y);
      }
    return ink;
  }
};

TEST_F(ShippedFilesTest, EveryIndexedIconHasAPictureAndEveryStartUpCodeAnAdvance) {
  const auto index = IconIndex();
  ASSERT_GE(index.size(), 50u);
  for (const auto& [code, name] : index) {
    EXPECT_GE(Coverage(static_cast<uint8_t>(code), V::IconFont.IconSize), 20) << code << " " << name;
    // Legible at the smallest size a list row uses.
    EXPECT_GE(Coverage(static_cast<uint8_t>(code), 14), 8) << code << " " << name;
  }
  for (int32_t code = 1; code <= 121; ++code)
    EXPECT_GT(V::GlyphAdvance(std::string(1, static_cast<char>(code)), V::IconFont.Face, 22), 0) << code;
}

TEST_F(ShippedFilesTest, EveryIconTheInterfaceUsesIsIndexed) {
  const auto index = IconIndex();
  // Drawn by the views while the program runs: selector arrows and the folder mark.
  std::set<int32_t> used = {'<', '>', 0xAF, '_', 'F'};
  for (int32_t id = 0; id < V::ControlTableCount(); ++id) {
    const V::ControlRecord* c = C(id);
    if (c && c->Style.Font == &V::IconFont) used.insert(c->Style.Glyph);
  }
  EXPECT_GE(used.size(), 40u);
  for (int32_t code : used) EXPECT_TRUE(index.count(code)) << "icon code " << code << " has no outline";
}

TEST_F(ShippedFilesTest, IconButtonsShowTheirPictures) {
  // Minimise: a bar along the bottom, not a letter's full height.
  const Ink minimise = InkOf("WINMIN");
  ASSERT_GT(minimise.count, 0);
  EXPECT_LE(minimise.y1 - minimise.y0, 4);
  EXPECT_GE(minimise.x1 - minimise.x0, 12);
  // Record: a solid red disc as wide as it is high.
  const Ink record = InkOf("Rec");
  EXPECT_EQ(record.colour, 0xFFC80000u);
  const int32_t d = record.x1 - record.x0 + 1;
  EXPECT_NEAR(record.y1 - record.y0 + 1, d, 1);
  EXPECT_GT(record.count, d * d * 6 / 10);  // a disc fills pi/4 of its square
  // Quit: a cross reaching all four corners of its box, hollow between the arms.
  const Ink quit = InkOf("Quit");
  ASSERT_GT(quit.count, 0);
  EXPECT_NEAR(quit.x1 - quit.x0, quit.y1 - quit.y0, 2);
  EXPECT_LT(quit.count, (quit.x1 - quit.x0 + 1) * (quit.y1 - quit.y0 + 1) / 2);
  // Every glyph button of the system bar shows a picture of its own.
  std::set<std::pair<int32_t, int32_t>> seen;
  for (const char* name : {"Quit", "WINMIN", "Move", "VSTAB", "SPLASH", "Rec"}) {
    const Ink ink = InkOf(name);
    EXPECT_GT(ink.count, 10) << name;
    EXPECT_TRUE(seen.insert({ink.count, ink.y1 - ink.y0}).second) << name;
  }
}

TEST_F(ShippedFilesTest, NoStartUpTextIsWiderThanItsBox) {
  int32_t checked = 0;
  for (int32_t id = 0; id < V::ControlTableCount(); ++id) {
    const V::ControlRecord* c = C(id);
    if (!c || c->Text.LayoutWidth <= 0 || c->Text.TextSize <= 0) continue;
    const std::string text = V::TextFieldGetText(&c->Text);
    if (text.find_first_not_of(' ') == std::string::npos) continue;
    ++checked;
    // A text layer keeps the narrower of the text and its box.
    EXPECT_LE(V::TextWidth(text, &V::TextFont, c->Text.TextSize), c->Text.LayoutWidth)
        << Id(id) << " \"" << text << "\" at " << c->Text.TextSize << " px in " << c->W << " px";
  }
  EXPECT_GE(checked, 60);
  // The title, whole.
  EXPECT_EQ(Text(Named("SYSTITLE2")), std::string("Tarvelo ") + Tarvelo::BuildBits + " v" +
                                                   Tarvelo::ProductVersion);
}

TEST_F(ShippedFilesTest, TheAboutWindowShowsTheLogoOverItsGradient) {
  const V::ControlRecord* c = C(Named("LOGO"));
  ASSERT_NE(c, nullptr);
  ASSERT_GE(c->LayerCount, 1);
  const platform::Image* logo = c->Layers[0];
  ASSERT_EQ(logo->width, 720);
  ASSERT_EQ(logo->height, 144);
  int32_t clear = 0, solid = 0, white = 0;
  for (int32_t i = 0; i < 720 * 144; ++i) {
    const uint32_t a = logo->pixels[i] >> 24;
    clear += a == 0;
    solid += a == 255;
    white += logo->pixels[i] == 0xFFFFFFFFu;  // the name
  }
  // Mostly see-through, so the window's gradient shows around the mark and the name.
  EXPECT_GT(clear, 720 * 144 / 2);
  EXPECT_GT(solid, 720 * 144 / 10);
  EXPECT_GT(white, 2000);
}

}  // namespace
}  // namespace buildtest

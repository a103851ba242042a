#include "visuals/glyphs.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/screen.h"

namespace {

using namespace QUARLE_VISUALS;
using platform::Image;

struct Img {
  Image* img;
  Img(int w, int h, uint32_t fill) : img(platform::ImageCreate(w, h, fill)) {}
  ~Img() { platform::ImageDestroy(img); }
  uint32_t& at(int x, int y) { return *platform::ImagePixel(img, x, y); }
};

TEST(GlyphBlend, ModeRulesOnExactPixels) {
  // Mode 0: coverage 0 leaves the pixel; full coverage of white is 255/256 of it.
  EXPECT_EQ(GlyphBlendPixel(0, 0xFFFFFFFFu, 0, 0x12345678u), 0x12345678u);
  EXPECT_EQ(GlyphBlendPixel(0, 0xFFFFFFFFu, 255, 0x00000000u), 0xFFFEFEFEu);
  // Half coverage of red over blue: r = 255 x 128 >> 8 = 127, b = 127 x 255 >> 8 = 126;
  // the colour's alpha replaces the destination's.
  EXPECT_EQ(GlyphBlendPixel(0, 0x80FF0000u, 128, 0xFF0000FFu), 0x807F007Eu);

  // Mode 1: signed move towards the colour, alpha 0.
  EXPECT_EQ(GlyphBlendPixel(1, 0xFFFFFFFFu, 0, 0xFF102030u), 0x00102030u);
  EXPECT_EQ(GlyphBlendPixel(1, 0xFF000000u, 128, 0xFF00FF00u), 0x00007F00u);
  EXPECT_EQ(GlyphBlendPixel(1, 0xFFFF0000u, 255, 0x00000000u), 0x00FE0000u);

  // Mode 2: the colour with the coverage as alpha, even at coverage 0.
  EXPECT_EQ(GlyphBlendPixel(2, 0xFF123456u, 0, 0xFFFFFFFFu), 0x00123456u);
  EXPECT_EQ(GlyphBlendPixel(2, 0x00123456u, 200, 0u), 0xC8123456u);

  // Mode 3: into transparent pixels the colour at coverage alpha; over opaque ones
  // a blend that keeps alpha 255; coverage 0 touches nothing.
  EXPECT_EQ(GlyphBlendPixel(3, 0xFF00FF00u, 100, 0x00ABCDEFu), 0x6400FF00u);
  EXPECT_EQ(GlyphBlendPixel(3, 0xFF00FF00u, 255, 0xFF000000u), 0xFF00FE00u);
  EXPECT_EQ(GlyphBlendPixel(3, 0xFF00FF00u, 0, 0x00ABCDEFu), 0x00ABCDEFu);
  // Green at coverage 128 over grey 0x80: g = 255 x 128 >> 8 = 127 plus the
  // destination's 127 x 128 >> 8 = 63 in every channel.
  EXPECT_EQ(GlyphBlendPixel(3, 0xFF00FF00u, 128, 0xFF808080u), 0xFF3FBE3Fu);
}

TEST(GlyphBlend, AlphaBlendPixel) {
  EXPECT_EQ(AlphaBlendPixel(0x00FFFFFFu, 0x11223344u, 0), 0x11223344u);
  EXPECT_EQ(AlphaBlendPixel(0xFF808080u, 0x11223344u, 0), 0xFF808080u);
  // Half red over opaque blue: r = 255 x 128 >> 8 = 127, b = 255 x 127 >> 8 = 126.
  EXPECT_EQ(AlphaBlendPixel(0x80FF0000u, 0xFF0000FFu, 0), 0xFF7F007Eu);
  // With the parameter a transparent destination gives up its share.
  EXPECT_EQ(AlphaBlendPixel(0x80FF0000u, 0x000000FFu, 1), 0xFF7F0000u);
  // Used as the blender of a custom copy.
  Img src(1, 1, 0x80FF0000u), dst(1, 1, 0xFF0000FFu);
  platform::ImageCopyCustom(src.img, 0, 0, 1, 1, dst.img, 0, 0, AlphaBlendPixel, 0);
  EXPECT_EQ(dst.at(0, 0), 0xFF7F007Eu);
}

TEST(GlyphBlit, BitmapIsPlacedAndCut) {
  const uint8_t cov[] = {0, 255, 10, 0,  // two rows of three, pitch 4
                         128, 0, 255, 0};
  GlyphBitmap g;
  g.rows = 2;
  g.width = 3;
  g.pitch = 4;
  g.buffer = cov;
  Img t(4, 3, 0xFF000000u);
  BlitCoverage(2, t.img, g, 1, 1, 0xFF00FF00u);
  EXPECT_EQ(t.at(0, 0), 0xFF000000u);
  EXPECT_EQ(t.at(1, 1), 0x0000FF00u);  // the whole box is written, coverage 0 too
  EXPECT_EQ(t.at(2, 1), 0xFF00FF00u);
  EXPECT_EQ(t.at(3, 2), 0xFF00FF00u);
  // A glyph reaching past the corner is cut instead of written outside.
  Img u(2, 2, 0);
  BlitCoverage(2, u.img, g, 1, 1, 0xFF00FF00u);
  BlitCoverage(2, u.img, g, -2, -1, 0xFF00FF00u);
  EXPECT_EQ(u.at(1, 1), 0x0000FF00u);
  EXPECT_EQ(u.at(0, 0), 0xFF00FF00u);  // source (2, 1)
  EXPECT_EQ(u.at(0, 1), 0u);           // below the glyph's last row
  // Rows stored bottom-up (negative pitch: the block starts with the lowest row),
  // and one-bit bitmaps.
  g.pitch = -4;
  g.buffer = cov;
  Img v(3, 2, 0);
  BlitCoverage(2, v.img, g, 0, 0, 0x00FFFFFFu);
  EXPECT_EQ(v.at(1, 1), 0xFFFFFFFFu);
  EXPECT_EQ(v.at(0, 0), 0x80FFFFFFu);
  const uint8_t bits[] = {0xA0};
  GlyphBitmap m;
  m.rows = 1;
  m.width = 3;
  m.pitch = 1;
  m.buffer = bits;
  m.mono = true;
  BlitCoverage(2, v.img, m, 0, 0, 0x00000001u);
  EXPECT_EQ(v.at(0, 0), 0xFF000001u);
  EXPECT_EQ(v.at(1, 0), 0x00000001u);
  EXPECT_EQ(v.at(2, 0), 0xFF000001u);
}

class FrameTest : public ::testing::Test {
 protected:
  void TearDown() override { DrawTarget = nullptr; }
};

TEST_F(FrameTest, RaisedThinFrameEdges) {
  Img t(12, 12, 0);
  DrawTarget = t.img;
  const int32_t rect[4] = {0, 0, 10, 10};
  const uint32_t L = 0xFFC0C0C0u, K = FrameDarkColour(L);
  EXPECT_EQ(K, 0xFF606060u);
  DrawFrame(rect, kFrameRaised, 1, L);
  for (int i = 0; i <= 9; ++i) EXPECT_EQ(t.at(i, 0), L) << i;
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(t.at(0, i), L) << i;
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(t.at(9, i), K) << i;
  for (int i = 0; i <= 8; ++i) EXPECT_EQ(t.at(i, 9), K) << i;
  EXPECT_EQ(t.at(1, 1), 0u);
  EXPECT_EQ(t.at(10, 10), 0u);
}

TEST_F(FrameTest, ThickSunkenAndStyleFallback) {
  Img t(8, 8, 0);
  DrawTarget = t.img;
  const int32_t rect[4] = {0, 0, 8, 8};
  const uint32_t L = 0xFF2040FEu, K = FrameDarkColour(L);
  DrawFrame(rect, kFrameSunken, 2, L);
  EXPECT_EQ(t.at(3, 0), K);  // top
  EXPECT_EQ(t.at(3, 1), K);  // second ring's top
  EXPECT_EQ(t.at(7, 3), L);  // right
  EXPECT_EQ(t.at(6, 3), L);
  EXPECT_EQ(t.at(0, 0), K);  // the left line is drawn last and takes the corner
  EXPECT_EQ(t.at(2, 2), 0u);
  Img f(5, 5, 0);
  DrawTarget = f.img;
  const int32_t r2[4] = {0, 0, 5, 5};
  DrawFrame(r2, 7, 1, L);  // unknown style: flat
  EXPECT_EQ(f.at(4, 4), L);
  DrawFrame(r2, kFrameRaised, 0, 0xFF000001u);  // thickness 0: nothing
  EXPECT_EQ(f.at(0, 0), L);
}

}  // namespace

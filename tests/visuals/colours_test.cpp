#include "visuals/colours.h"

#include <gtest/gtest.h>

namespace {

using namespace QUARLE_VISUALS;

// The six segments of the hue circle, both of its ends red.
TEST(Colours, HsvToRgbAroundTheHueCircle) {
  struct Case {
    float hsv[3];
    uint32_t rgb;
  };
  const Case cases[] = {
      {{0.0f, 1.0f, 1.0f}, 0xFFFF0000u},    {{1.0f / 6.0f, 1.0f, 1.0f}, 0xFFFFFF00u},
      {{0.5f, 1.0f, 1.0f}, 0xFF00FFFFu},    {{0.75f, 1.0f, 1.0f}, 0xFF8000FFu},
      {{1.0f, 1.0f, 1.0f}, 0xFFFF0000u},    {{1.0f, 0.5f, 1.0f}, 0xFFFF8080u},
      {{0.3f, 0.0f, 0.5f}, 0xFF808080u},
  };
  for (const Case& c : cases) EXPECT_EQ(HsvToRgb(c.hsv), c.rgb) << c.hsv[0] << " " << c.hsv[1];
}

TEST(Colours, RampFallsToTheFloor) {
  uint32_t* ramp = new uint32_t[3]();  // an old array is replaced
  ASSERT_EQ(BuildColourRamp(&ramp, 0x80101010u, 0xFF808080u, 2), 0);
  ASSERT_NE(ramp, nullptr);
  EXPECT_EQ(ramp[0], 0xFF808080u);
  EXPECT_EQ(ramp[1], 0xFF808080u);
  EXPECT_EQ(ramp[2], 0xFA7B7B7Bu);  // 5 below the start
  EXPECT_EQ(ramp[3], 0xF3747474u);  // 12
  EXPECT_EQ(ramp[4], 0xEA6B6B6Bu);  // 21
  EXPECT_EQ(ramp[5], 0xDF606060u);  // 32
  EXPECT_EQ(ramp[6], 0xD2535353u);  // 45
  EXPECT_EQ(ramp[7], 0xC3444444u);  // 60
  EXPECT_EQ(ramp[8], 0u);
  ASSERT_EQ(BuildColourRamp(&ramp, 0xFF404040u, 0xFF808080u, 3), 0);
  EXPECT_EQ(ramp[11], 0xFF404040u);  // the floor holds
  EXPECT_EQ(ramp[12], 0u);
  ASSERT_EQ(BuildColourRamp(&ramp, 0, 0xFFFFFFFFu, -4), 0);
  EXPECT_EQ(ramp[0], 0u);  // a single final 0
  delete[] ramp;
  EXPECT_EQ(BuildColourRamp(nullptr, 0, 0, 1), -19);
}

TEST(Colours, VerticalGradient) {
  platform::Image* im = platform::ImageCreate(4, 5, 0);
  uint32_t c1 = 0xFF000000u;
  const uint32_t c2 = 0xFF0000FFu;
  GradientFillV(im, 1, 0, 2, 4, c1, c2);
  auto at = [im](int x, int y) { return *platform::ImagePixel(im, x, y); };
  // 255 / 4 per row (the millionth taken off each step is lost in single
  // precision): 0, 63.75 -> 64, 127.5 -> 128 (halves to even), 191.25 -> 191, 255.
  EXPECT_EQ(at(1, 0), 0xFF000000u);
  EXPECT_EQ(at(2, 1), 0xFF000040u);
  EXPECT_EQ(at(1, 2), 0xFF000080u);
  EXPECT_EQ(at(1, 3), 0xFF0000BFu);
  EXPECT_EQ(at(1, 4), 0xFF0000FFu);
  EXPECT_EQ(at(0, 2), 0u);
  EXPECT_EQ(at(3, 2), 0u);
  EXPECT_EQ(c1, 0xFF0000FFu);  // after the last row: 318.75, kept within the byte

  // One row: colour1 itself, and it does not change.
  uint32_t one = 0x80402010u;
  GradientFillV(im, 0, 0, 3, 0, one, c2);
  EXPECT_EQ(at(3, 0), 0x80402010u);
  EXPECT_EQ(one, 0x80402010u);
  platform::ImageDestroy(im);
}

}  // namespace

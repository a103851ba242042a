#include "platform/screen.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "env_guard.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using platformtest::EnvGuard;

class ScreenTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::ScreenClose();
    platform::ScreenSelectDriver("GDI");
  }
};

}  // namespace

TEST_F(ScreenTest, HeadlessDetection) {
  {
    EnvGuard a("TARVELO_HEADLESS", "1"), b("SDL_VIDEODRIVER", "x11"), c("DISPLAY", ":0");
    EXPECT_TRUE(platform::ScreenHeadless());
  }
  {
    EnvGuard a("TARVELO_HEADLESS", nullptr), b("SDL_VIDEODRIVER", "dummy"), c("DISPLAY", ":0");
    EXPECT_TRUE(platform::ScreenHeadless());
  }
  {
    EnvGuard a("TARVELO_HEADLESS", nullptr), b("SDL_VIDEODRIVER", nullptr), c("DISPLAY", nullptr),
        d("WAYLAND_DISPLAY", nullptr);
    EXPECT_TRUE(platform::ScreenHeadless());
  }
  {
    EnvGuard a("TARVELO_HEADLESS", "0"), b("SDL_VIDEODRIVER", "offscreen");
    EXPECT_FALSE(platform::ScreenHeadless());
  }
}

TEST_F(ScreenTest, HeadlessPagesWorkWithoutAWindow) {
  EnvGuard h("TARVELO_HEADLESS", "1");
  ASSERT_TRUE(platform::ScreenOpen(64, 48, 32, 2, platform::kScreenNoFrame, 0));
  EXPECT_TRUE(platform::ScreenIsOpen());
  int64_t w, hgt, d;
  platform::ScreenInfo(w, hgt, d);
  EXPECT_EQ(w, 64);
  EXPECT_EQ(hgt, 48);
  EXPECT_EQ(d, 32);
  uint32_t* p0 = platform::ScreenPagePixels(0);
  uint32_t* p1 = platform::ScreenPagePixels(1);
  ASSERT_NE(p0, nullptr);
  ASSERT_NE(p1, nullptr);
  EXPECT_NE(p0, p1);
  EXPECT_EQ(platform::ScreenPagePixels(2), nullptr);
  EXPECT_EQ(p1[64 * 48 - 1], 0u);  // pages start black

  platform::ScreenSetPages(1, 0);
  EXPECT_EQ(platform::ScreenPointer(), p1);
  p1[5] = 0xFFABCDEF;
  platform::ScreenCopyPage(1, 0);
  EXPECT_EQ(platform::ScreenPagePixels(0)[5], 0xFFABCDEFu);
  platform::ScreenSetPages(7, -1);  // out of range: ignored
  EXPECT_EQ(platform::ScreenWorkPage(), 1);
  EXPECT_EQ(platform::ScreenVisiblePage(), 0);
  platform::ScreenPresent();  // nothing to show headless, and no harm

  platform::ScreenClose();
  EXPECT_FALSE(platform::ScreenIsOpen());
  EXPECT_EQ(platform::ScreenPointer(), nullptr);
  platform::ScreenInfo(w, hgt, d);
  EXPECT_EQ(w + hgt + d, 0);
}

TEST_F(ScreenTest, RectangleCopiesTakeOnlyTheirPixelsCutToTheScreen) {
  EnvGuard h("TARVELO_HEADLESS", "1");
  ASSERT_TRUE(platform::ScreenOpen(16, 8, 32, 2, 0, 0));
  uint32_t* work = platform::ScreenPagePixels(0);
  for (int32_t i = 0; i < 16 * 8; ++i) work[i] = 0xFF000000u + static_cast<uint32_t>(i);
  const platform::ScreenRect rects[] = {{-3, -2, 5, 4}, {14, 6, 9, 9}, {40, 40, 2, 2}};
  EXPECT_TRUE(platform::ScreenCopyRects(0, 1, rects, 3));
  const uint32_t* shown = platform::ScreenPagePixels(1);
  for (int32_t y = 0; y < 8; ++y) {
    for (int32_t x = 0; x < 16; ++x) {
      const bool copied = (x < 2 && y < 2) || (x >= 14 && y >= 6);
      EXPECT_EQ(shown[y * 16 + x], copied ? work[y * 16 + x] : 0u) << x << "," << y;
    }
  }
  EXPECT_FALSE(platform::ScreenCopyRects(0, 1, &rects[2], 1));  // wholly outside
  EXPECT_FALSE(platform::ScreenCopyRects(0, 0, rects, 1));
  EXPECT_FALSE(platform::ScreenCopyRects(0, 1, rects, 0));
  platform::ScreenClose();
}

TEST_F(ScreenTest, RefusesWhatItCannotOpen) {
  EnvGuard h("TARVELO_HEADLESS", "1");
  EXPECT_FALSE(platform::ScreenOpen(0, 48, 32, 2, 0, 0));
  EXPECT_FALSE(platform::ScreenOpen(64, -1, 32, 2, 0, 0));
  EXPECT_FALSE(platform::ScreenOpen(100000, 48, 32, 2, 0, 0));
  EXPECT_FALSE(platform::ScreenOpen(64, 48, 16, 2, 0, 0));
  EXPECT_FALSE(platform::ScreenOpen(64, 48, 32, 0, 0, 0));
  EXPECT_FALSE(platform::ScreenOpen(64, 48, 32, 9, 0, 0));
  EXPECT_FALSE(platform::ScreenIsOpen());
  // A failed reopen leaves no half-open screen behind.
  ASSERT_TRUE(platform::ScreenOpen(64, 48, 32, 2, 0, 0));
  EXPECT_FALSE(platform::ScreenOpen(0, 0, 32, 2, 0, 0));
  EXPECT_FALSE(platform::ScreenIsOpen());
  EXPECT_EQ(platform::ScreenPointer(), nullptr);
}

TEST_F(ScreenTest, OffscreenWindowThroughSdl) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the system's GL drivers are not built for the thread checker";
#endif
#if defined(__SANITIZE_ADDRESS__)
  // The GL drivers SDL loads keep a few allocations for the life of the process.
  __lsan::ScopedDisabler driversKeepTheirMemory;
#endif
  EnvGuard a("TARVELO_HEADLESS", nullptr), b("SDL_VIDEODRIVER", "offscreen");
  ASSERT_FALSE(platform::ScreenHeadless());
  for (const char* driver : {"GDI", "DirectX", "OpenGL"}) {
    ASSERT_TRUE(platform::ScreenSelectDriver(driver));
    if (!platform::ScreenOpen(80, 60, 32, 2, platform::kScreenNoFrame, 0))
      GTEST_SKIP() << "no SDL offscreen video driver here";
    platform::ScreenPointer()[0] = 0xFF00FF00;
    platform::ScreenCopyPage(0, 1);
    platform::ScreenSetPages(0, 1);
    platform::ScreenMoveWindow(0, 0);
    platform::ScreenPresent();
    EXPECT_EQ(platform::ScreenPagePixels(1)[0], 0xFF00FF00u);
    platform::ScreenClose();
  }
}

// The software window is sent only the rectangles that changed, and what it
// shows is the visible page: each pixel's colour laid over black by its alpha.
TEST_F(ScreenTest, TheSoftwareWindowShowsThePageThroughPartialCopies) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the system's display libraries are not built for the thread checker";
#endif
#if defined(__SANITIZE_ADDRESS__)
  __lsan::ScopedDisabler driversKeepTheirMemory;
#endif
  EnvGuard a("TARVELO_HEADLESS", nullptr), b("SDL_VIDEODRIVER", "offscreen");
  ASSERT_TRUE(platform::ScreenSelectDriver("GDI"));
  constexpr int32_t kW = 40, kH = 30;
  if (!platform::ScreenOpen(kW, kH, 32, 2, platform::kScreenNoFrame, 0))
    GTEST_SKIP() << "no SDL offscreen video driver here";
  platform::ScreenSetPages(0, 1);
  uint32_t* work = platform::ScreenPagePixels(0);
  for (int32_t i = 0; i < kW * kH; ++i) work[i] = 0xFF000000u | static_cast<uint32_t>(i * 2654435761u >> 8);
  work[3] = 0x80FF8040u;  // half covered: (128, 64, 32) over black
  work[4] = 0x00FFFFFFu;  // no cover: black
  platform::ScreenCopyPage(0, 1);
  std::vector<uint32_t> shown;
  int32_t w = 0, h = 0;
  ASSERT_TRUE(platform::ScreenReadWindow(shown, w, h));
  ASSERT_EQ(w, kW);
  ASSERT_EQ(h, kH);
  EXPECT_EQ(shown[3], 0x804020u);
  EXPECT_EQ(shown[4], 0u);
  EXPECT_EQ(shown[5], work[5] & 0xFFFFFFu);

  // Two rectangles are copied; a change outside them is neither copied nor sent.
  const std::vector<uint32_t> before = shown;
  for (int32_t i = 0; i < kW * kH; ++i) work[i] ^= 0x00FFFFFFu;
  const platform::ScreenRect rects[] = {{2, 3, 5, 4}, {30, 20, 20, 20}};
  ASSERT_TRUE(platform::ScreenCopyRects(0, 1, rects, 2));
  ASSERT_TRUE(platform::ScreenReadWindow(shown, w, h));
  const uint32_t* page = platform::ScreenPagePixels(1);
  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      const size_t i = static_cast<size_t>(y * kW + x);
      const bool inside = (x >= 2 && x < 7 && y >= 3 && y < 7) || (x >= 30 && y >= 20);
      const uint32_t p = page[i];
      const uint32_t a = p >> 24;
      const auto over = [a](uint32_t c) { return (c * a + 127) / 255; };
      const uint32_t expected = (over((p >> 16) & 0xFF) << 16) | (over((p >> 8) & 0xFF) << 8) | over(p & 0xFF);
      EXPECT_EQ(shown[i], inside ? expected : before[i]) << x << "," << y;
    }
  }
  platform::ScreenClose();
}

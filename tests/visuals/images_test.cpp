#include "platform/images.h"

#include <gtest/gtest.h>

#include "platform/screen.h"

namespace {

using platform::Image;

struct ImageHolder {
  Image* img;
  explicit ImageHolder(Image* i) : img(i) {}
  ~ImageHolder() { platform::ImageDestroy(img); }
  uint32_t at(int x, int y) const { return *platform::ImagePixel(img, x, y); }
};

TEST(PlatformImages, CreateRefusesBadSizesAndFills) {
  EXPECT_EQ(platform::ImageCreate(0, 5), nullptr);
  EXPECT_EQ(platform::ImageCreate(5, -1), nullptr);
  EXPECT_EQ(platform::ImageCreate(platform::kImageMaxSide + 1, 1), nullptr);
  ImageHolder a(platform::ImageCreate(3, 2, 0x11223344u));
  ASSERT_NE(a.img, nullptr);
  EXPECT_EQ(a.img->pitch, 12);
  EXPECT_EQ(a.at(2, 1), 0x11223344u);
  EXPECT_EQ(platform::ImagePixel(a.img, 3, 0), nullptr);
  EXPECT_EQ(platform::ImagePixel(a.img, 0, -1), nullptr);
}

TEST(PlatformImages, LinesAndBoxesAreClippedToTheTarget) {
  ImageHolder a(platform::ImageCreate(4, 4, 0));
  platform::DrawLine(a.img, -10, 1, 10, 1, 0xFFu);
  for (int x = 0; x < 4; ++x) EXPECT_EQ(a.at(x, 1), 0xFFu);
  EXPECT_EQ(a.at(0, 0), 0u);
  platform::DrawLine(a.img, 0, 0, 3, 3, 0xAAu);  // the diagonal
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.at(i, i), 0xAAu);
  EXPECT_EQ(a.at(1, 0), 0u);
  platform::DrawLine(a.img, 2, -5, 2, 100, 0xBBu);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(a.at(2, y), 0xBBu);
  platform::DrawBox(a.img, -1, -1, 2, 2, 0xCCu);  // only (0, 0) lies inside
  EXPECT_EQ(a.at(0, 0), 0xCCu);
  EXPECT_EQ(a.at(1, 0), 0u);
  platform::DrawBox(a.img, 0, 0, 0, 4, 0xDDu);  // empty
  EXPECT_EQ(a.at(0, 3), 0u);
}

TEST(PlatformImages, CopiesBlendByMode) {
  ImageHolder src(platform::ImageCreate(2, 1, 0));
  *platform::ImagePixel(src.img, 0, 0) = 0x80FF0000u;  // red at half weight
  *platform::ImagePixel(src.img, 1, 0) = 0x000000FFu;  // fully transparent blue
  ImageHolder dst(platform::ImageCreate(2, 1, 0xFF0000FFu));

  platform::ImageCopy(src.img, 0, 0, 2, 1, dst.img, 0, 0);
  EXPECT_EQ(dst.at(0, 0), 0x80FF0000u);
  EXPECT_EQ(dst.at(1, 0), 0x000000FFu);

  platform::ImageFill(dst.img, 0xFF0000FFu);
  platform::ImageCopyAlpha(src.img, 0, 0, 2, 1, dst.img, 0, 0);
  // (255 x 128 + 0 x 127 + 127) / 255 = 128; blue (0 x 128 + 255 x 127 + 127) / 255 = 127.
  EXPECT_EQ(dst.at(0, 0), 0xFF80007Fu);
  EXPECT_EQ(dst.at(1, 0), 0xFF0000FFu);  // alpha 0 leaves the destination

  platform::ImageFill(dst.img, 0xFF000000u);
  *platform::ImagePixel(src.img, 0, 0) = 0xFFFF0000u;
  platform::ImageCopyBlend(src.img, 0, 0, 2, 1, dst.img, 0, 0, 51);  // a fifth
  EXPECT_EQ(dst.at(0, 0), 0xFF330000u);
  EXPECT_EQ(dst.at(1, 0), 0xFF000000u);  // transparent parts stay transparent

  platform::ImageCopyCustom(
      src.img, 0, 0, 2, 1, dst.img, 0, 0,
      [](uint32_t s, uint32_t d, int64_t p) { return (s ^ d) + static_cast<uint32_t>(p); }, 1);
  EXPECT_EQ(dst.at(0, 0), (0xFFFF0000u ^ 0xFF330000u) + 1);
}

TEST(PlatformImages, CopiesCutAtBothEdges) {
  ImageHolder src(platform::ImageCreate(3, 3, 0));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 3; ++x) *platform::ImagePixel(src.img, x, y) = 0xFF000000u | (y * 3 + x);
  ImageHolder dst(platform::ImageCreate(2, 2, 0));
  platform::ImageCopy(src.img, 0, 0, 3, 3, dst.img, -1, -1);  // lands at source (1, 1)
  EXPECT_EQ(dst.at(0, 0), 0xFF000004u);
  EXPECT_EQ(dst.at(1, 1), 0xFF000008u);
  platform::ImageFill(dst.img, 0);
  platform::ImageCopy(src.img, -1, 2, 5, 5, dst.img, 0, 0);  // only row 2 of the source
  EXPECT_EQ(dst.at(0, 0), 0u);                              // source x -1 is outside
  EXPECT_EQ(dst.at(1, 0), 0xFF000006u);
  EXPECT_EQ(dst.at(1, 1), 0u);
  platform::ImageCopy(src.img, 0, 0, 3, 3, dst.img, 5, 5);  // wholly outside: nothing, no fault
  platform::ImageCopy(nullptr, 0, 0, 3, 3, dst.img, 0, 0);
}

TEST(PlatformImages, WorkPageIsANullTarget) {
  platform::ScreenClose();
  platform::DrawBox(nullptr, 0, 0, 10, 10, 1);  // no screen: nothing happens
  ASSERT_TRUE(platform::ScreenOpen(8, 4, 32, 2, 0, 0));
  platform::DrawBox(nullptr, 6, 2, 5, 5, 0xFF123456u);
  const uint32_t* page = platform::ScreenPointer();
  EXPECT_EQ(page[2 * 8 + 6], 0xFF123456u);
  EXPECT_EQ(page[3 * 8 + 7], 0xFF123456u);
  EXPECT_EQ(page[1 * 8 + 6], 0u);
  platform::Surface s;
  EXPECT_TRUE(platform::SurfaceOf(nullptr, s));
  EXPECT_EQ(s.pitch, 8);
  platform::ScreenClose();
  EXPECT_FALSE(platform::SurfaceOf(nullptr, s));
}

}  // namespace

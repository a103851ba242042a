// The scope's marker images: fill, dark corners, middle-shade edge centres.
#include "engine/catalog/markers.h"

#include <gtest/gtest.h>

namespace Tarvelo {
namespace {

uint32_t At(platform::Image* image, int32_t x, int32_t y) { return *platform::ImagePixel(image, x, y); }

TEST(MarkerImages, ColoursAndShadesAndTheirLifeCycle) {
  CreateMarkerImages();
  ASSERT_NE(ScopeMarkerRed, nullptr);
  EXPECT_EQ(At(ScopeMarkerRed, 1, 1), 0xFFC80000u);
  EXPECT_EQ(At(ScopeMarkerRed, 0, 0), 0xFF460000u);
  EXPECT_EQ(At(ScopeMarkerRed, 2, 2), 0xFF460000u);
  EXPECT_EQ(At(ScopeMarkerRed, 1, 0), 0xFF850000u);
  EXPECT_EQ(At(ScopeMarkerRed, 0, 1), 0xFF850000u);
  EXPECT_EQ(At(ScopeMarkerBlue, 2, 0), 0xFF000046u);
  EXPECT_EQ(At(ScopeMarkerGreen, 1, 2), 0xFF00AA00u);
  EXPECT_EQ(At(ScopeMarkerMagenta, 1, 1), 0xFFFF00FFu);
  EXPECT_EQ(At(ScopeMarkerMagenta, 0, 2), 0xFF640064u);
  CreateMarkerImages();  // again: replaced, not leaked
  DestroyMarkerImages();
  EXPECT_EQ(ScopeMarkerRed, nullptr);
  EXPECT_EQ(ScopeMarkerGreen, nullptr);
  DestroyMarkerImages();  // nothing left: harmless
}

}  // namespace
}  // namespace Tarvelo

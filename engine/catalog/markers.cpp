#include "engine/catalog/markers.h"

#include <initializer_list>

namespace Tarvelo {

platform::Image* ScopeMarkerRed = nullptr;
platform::Image* ScopeMarkerBlue = nullptr;
platform::Image* ScopeMarkerGreen = nullptr;
platform::Image* ScopeMarkerMagenta = nullptr;

namespace {

platform::Image* MakeMarker(uint32_t fill, uint32_t corner, uint32_t edge) {
  platform::Image* image = platform::ImageCreate(3, 3, fill);
  if (image == nullptr) return nullptr;
  const int32_t corners[4][2] = {{0, 0}, {2, 0}, {2, 2}, {0, 2}};
  const int32_t edges[4][2] = {{1, 0}, {2, 1}, {1, 2}, {0, 1}};
  for (const auto& p : corners) *platform::ImagePixel(image, p[0], p[1]) = corner;
  for (const auto& p : edges) *platform::ImagePixel(image, p[0], p[1]) = edge;
  return image;
}

}  // namespace

void CreateMarkerImages() {
  DestroyMarkerImages();
  ScopeMarkerRed = MakeMarker(0xFFC80000u, 0xFF460000u, 0xFF850000u);
  ScopeMarkerBlue = MakeMarker(0xFF0000C8u, 0xFF000046u, 0xFF000085u);
  ScopeMarkerGreen = MakeMarker(0xFF00FF00u, 0xFF006400u, 0xFF00AA00u);
  ScopeMarkerMagenta = MakeMarker(0xFFFF00FFu, 0xFF640064u, 0xFFAA00AAu);
}

void DestroyMarkerImages() {
  for (platform::Image** image : {&ScopeMarkerGreen, &ScopeMarkerMagenta, &ScopeMarkerRed, &ScopeMarkerBlue}) {
    platform::ImageDestroy(*image);
    *image = nullptr;
  }
}

}  // namespace Tarvelo

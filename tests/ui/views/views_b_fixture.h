// A headless interface to draw views into: the visuals without a screen, the
// DejaVu fonts, the sizes of zoom 1 and a canvas image as DrawTarget.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "../ui_fixture.h"
#include "app/state/settings.h"
#include "basics/queues.h"
#include "platform/display.h"
#include "platform/paths.h"
#include "visuals/control_table.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace viewsb {

namespace V = QUARLE_VISUALS;
constexpr uint32_t kBackground = 0xFF000000;

class ViewTest : public uitest::HeadlessUi {
 protected:
  void SetUp() override {
    HeadlessUi::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(fontResult, 0);
    V::UiIndex = static_cast<int32_t*>(std::calloc(113, sizeof(int32_t)));
    Tarvelo::UiUnit = 5;
    V::BorderWidth = 3;
    V::IconFont.IconSize = 22;
    Tarvelo::MonitorsSpanned = 1;
    canvas = platform::ImageCreate(1200, 700, kBackground);
    V::DrawTarget = canvas;
    ASSERT_EQ(V::CreateControl(0, 0, 0, 1200, 700, nullptr, nullptr, -1, 0, "ROOT", ""), 0);
  }
  void TearDown() override {
    V::DrawTarget = nullptr;
    platform::ImageDestroy(canvas);
    HeadlessUi::TearDown();
  }
  int32_t Make(int32_t x, int32_t y, int32_t w, int32_t h) {
    int32_t id = 0;
    EXPECT_EQ(V::CreateControl(0, x, y, w, h, nullptr, nullptr, -1, 11, "VIEW", "", &id), 0);
    return id;
  }
  // Appends a layer image of w x h filled with the colour.
  static platform::Image* AddLayer(int32_t id, int32_t w, int32_t h, uint32_t fill = 0) {
    V::ControlRecord* c = C(id);
    if (V::ControlAddLayers(c, 1) != 0) return nullptr;
    return c->Layers[c->LayerCount - 1] = platform::ImageCreate(w, h, fill);
  }
  // The control's snapshot as the renderer hands it over, published with `flags`.
  using Snapshot = uitest::Snap;
  static V::RenderRecord* Take(int32_t id, Snapshot& s, int64_t flags = -1) {
    V::ControlPublish(C(id), flags);
    V::FetchRenderRecord(s.get(), id);
    s.r.Text.Changed = flags;
    return s.get();
  }
  uint32_t Px(int32_t x, int32_t y) const { return At(canvas, x, y); }
  static uint32_t At(platform::Image* image, int32_t x, int32_t y) {
    const uint32_t* p = platform::ImagePixel(image, x, y);
    return p ? *p : 0xDEADBEEF;
  }
  // Pixels with an alpha above 0 (text drawn with its coverage as alpha).
  static int32_t Covered(const platform::Image* im) {
    int32_t n = 0;
    for (int32_t i = 0; im && i < im->height * (im->pitch / 4); ++i) n += (im->pixels[i] >> 24) != 0;
    return n;
  }
  static bool SameImage(const platform::Image* a, const platform::Image* b) {
    if (!a || !b || a->width != b->width || a->height != b->height) return false;
    return std::equal(a->pixels, a->pixels + a->height * (a->pitch / 4), b->pixels);
  }

  platform::Image* canvas = nullptr;
};

}  // namespace viewsb

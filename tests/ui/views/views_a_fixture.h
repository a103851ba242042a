// A headless drawing bench for the generic views: the interface namespace
// started without a screen, a real face loaded for text and icons, a canvas
// as the draw target, and helpers to make a control, publish it and take its
// snapshot as the renderer would.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../ui_fixture.h"
#include "app/state/settings.h"
#include "basics/queues.h"
#include "platform/display.h"
#include "platform/images.h"
#include "platform/paths.h"
#include "visuals/control_table.h"
#include "visuals/event_loop.h"
#include "visuals/fonts.h"
#include "visuals/glyphs.h"
#include "visuals/layers.h"
#include "visuals/visuals.h"

namespace viewtest {

namespace V = QUARLE_VISUALS;

constexpr uint32_t kBackdrop = 0xFF102030;

using uitest::Snap;

class ViewTest : public uitest::HeadlessUi {
 protected:
  void SetUp() override {
    HeadlessUi::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(fontResult, 0);
    V::IconFont.IconSize = 16;
    V::BorderWidth = 3;
    savedUnit = Tarvelo::UiUnit;
    savedShader = Tarvelo::Settings.UseShader.Load();
    Tarvelo::UiUnit = 5;
    Tarvelo::Settings.UseShader.Store(0);
    canvas = platform::ImageCreate(400, 300, kBackdrop);
    ASSERT_NE(canvas, nullptr);
    V::DrawTarget = canvas;
    int32_t root = -1;
    ASSERT_EQ(V::CreateControl(0, 0, 0, 400, 300, nullptr, nullptr, -1, 0, "ROOT", "", &root), 0);
    ASSERT_EQ(root, 0);
  }

  void TearDown() override {
    V::DrawTarget = nullptr;
    platform::ImageDestroy(canvas);
    canvas = nullptr;
    HeadlessUi::TearDown();
    Tarvelo::UiUnit = savedUnit;
    Tarvelo::Settings.UseShader.Store(savedShader);
  }

  // A visible control under the root.
  static int32_t Make(int32_t x, int32_t y, int32_t w, int32_t h, V::DrawCallbackFn draw,
                      V::EventCallbackFn event = nullptr, int32_t mask = 11,
                      const char* tooltip = "") {
    int32_t id = -1;
    EXPECT_EQ(V::CreateControl(0, x, y, w, h, event, draw, -1, mask, "", tooltip, &id), 0);
    return id;
  }

  // Publishes the control with all flags and takes the renderer's snapshot.
  static void Take(int32_t id, Snap& s, int64_t flags = -1) {
    V::ControlPublish(C(id), flags);
    V::FetchRenderRecord(s.get(), id);
  }
  // Publishes, snapshots and draws, as the renderer does for a canvas-less control.
  static int32_t Draw(int32_t id, int64_t flags = -1) {
    Snap s;
    Take(id, s, flags);
    return C(id)->DrawCallback.load()(s.get(), id);
  }

  // A new layer image of the control filled with a colour; its index.
  static int32_t AddLayer(int32_t id, int32_t w, int32_t h, uint32_t fill) {
    V::ControlRecord* c = C(id);
    EXPECT_EQ(V::ControlAddLayers(c, 1), 0);
    c->Layers[c->LayerCount - 1] = platform::ImageCreate(w, h, fill);
    return c->LayerCount - 1;
  }

  uint32_t At(int32_t x, int32_t y) const { return *platform::ImagePixel(canvas, x, y); }
  // Pixels in the box (corners included) that differ from a colour.
  int32_t CountOther(int32_t x1, int32_t y1, int32_t x2, int32_t y2, uint32_t colour) const {
    int32_t n = 0;
    for (int32_t y = y1; y <= y2; ++y)
      for (int32_t x = x1; x <= x2; ++x)
        if (At(x, y) != colour) ++n;
    return n;
  }
  // Pixels of an image whose alpha is above 0 (drawn text coverage).
  static int32_t Coverage(const platform::Image* img, int32_t x1 = 0, int32_t y1 = 0,
                          int32_t x2 = -1, int32_t y2 = -1) {
    if (!img) return 0;
    if (x2 < 0) x2 = img->width - 1;
    if (y2 < 0) y2 = img->height - 1;
    int32_t n = 0;
    for (int32_t y = y1; y <= y2 && y < img->height; ++y)
      for (int32_t x = x1; x <= x2 && x < img->width; ++x)
        if ((img->pixels[y * (img->pitch / 4) + x] >> 24) != 0) ++n;
    return n;
  }
  void Clear() { platform::ImageFill(canvas, kBackdrop); }

  platform::Image* canvas = nullptr;
  int32_t savedUnit = 0;
  int64_t savedShader = 0;
};

}  // namespace viewtest

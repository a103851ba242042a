// A headless interface to draw views into: the visuals started without a
// screen, the DejaVu fonts as text and icon font, the sizes of zoom 1, and a
// canvas image as DrawTarget so that the draw callbacks paint in memory.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/state/settings.h"
#include "basics/queues.h"
#include "platform/display.h"
#include "platform/images.h"
#include "platform/paths.h"
#include "visuals/control_table.h"
#include "visuals/fonts.h"
#include "visuals/glyphs.h"
#include "visuals/text.h"
#include "visuals/visuals.h"

namespace viewsb {

namespace V = QUARLE_VISUALS;

constexpr uint32_t kBackground = 0xFF000000;

class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    if (QUARLE_BASICS::CommandQueueCount() == 0) {
      int32_t q = -1;
      ASSERT_EQ(QUARLE_BASICS::CreateCommandQueue(q), 0);
    }
    int64_t w = 0, h = 0;
    ASSERT_EQ(V::init(12, w, h, 1), 0);
    platform::SetProgramFolderOverride("/usr/share/fonts/truetype/dejavu");
    ASSERT_EQ(V::LoadFonts("/DejaVuSans-Bold.ttf", "/DejaVuSans.ttf"), 0);
    V::UiIndex = static_cast<int32_t*>(std::calloc(113, sizeof(int32_t)));
    Tarvelo::UiUnit = 5;
    V::BorderWidth = 3;
    V::IconFont.IconSize = 22;
    Tarvelo::DefaultTextSize = 20;
    Tarvelo::MonitorsSpanned = 1;
    Tarvelo::Settings.UseShader = 0;
    canvas = platform::ImageCreate(1200, 700, kBackground);
    ASSERT_NE(canvas, nullptr);
    V::DrawTarget = canvas;
    ASSERT_EQ(V::CreateControl(0, 0, 0, 1200, 700, nullptr, nullptr, -1, 0, "ROOT", ""), 0);
  }
  void TearDown() override {
    V::DrawTarget = nullptr;
    platform::ImageDestroy(canvas);
    canvas = nullptr;
    V::VisualsShutdown();
    platform::SetProgramFolderOverride("");
  }

  // A control under the root with a draw callback (not called by the tests'
  // renderer: the tests call the draw themselves).
  int32_t Make(int32_t x, int32_t y, int32_t w, int32_t h) {
    int32_t id = 0;
    EXPECT_EQ(V::CreateControl(0, x, y, w, h, nullptr, nullptr, -1, 11, "VIEW", "", &id), 0);
    return id;
  }
  static V::ControlRecord* C(int32_t id) { return V::ControlAt(id); }
  // Appends a layer image of w x h filled with the colour (0 transparent).
  static platform::Image* AddLayer(int32_t id, int32_t w, int32_t h, uint32_t fill = 0) {
    V::ControlRecord* c = C(id);
    if (!c || V::ControlAddLayers(c, 1) != 0) return nullptr;
    c->Layers[c->LayerCount - 1] = platform::ImageCreate(w, h, fill);
    return c->Layers[c->LayerCount - 1];
  }
  // The snapshot the renderer would hand over: the control published with
  // every update flag.
  struct Snapshot {
    V::RenderRecord r;
    Snapshot() { V::RenderRecordInit(&r); }
    ~Snapshot() { V::RenderRecordFree(&r); }
    V::RenderRecord* operator->() { return &r; }
    V::RenderRecord* get() { return &r; }
  };
  static void Take(int32_t id, Snapshot& s, int64_t flags = -1) {
    V::ControlPublish(C(id), flags);
    V::FetchRenderRecord(s.get(), id);
    s->Text.Changed = flags;
  }
  uint32_t Px(int32_t x, int32_t y) const {
    const uint32_t* p = platform::ImagePixel(canvas, x, y);
    return p ? *p : 0xDEADBEEF;
  }
  static uint32_t At(platform::Image* image, int32_t x, int32_t y) {
    const uint32_t* p = platform::ImagePixel(image, x, y);
    return p ? *p : 0xDEADBEEF;
  }
  // Pixels of the image whose alpha is above 0 (text drawn with coverage).
  static int32_t Covered(const platform::Image* image) {
    int32_t n = 0;
    for (int32_t y = 0; image && y < image->height; ++y)
      for (int32_t x = 0; x < image->width; ++x)
        if ((image->pixels[y * (image->pitch / 4) + x] >> 24) != 0) ++n;
    return n;
  }
  static bool SameImage(const platform::Image* a, const platform::Image* b) {
    if (!a || !b || a->width != b->width || a->height != b->height) return false;
    for (int32_t y = 0; y < a->height; ++y)
      for (int32_t x = 0; x < a->width; ++x)
        if (a->pixels[y * (a->pitch / 4) + x] != b->pixels[y * (b->pitch / 4) + x]) return false;
    return true;
  }
  void ClearCanvas() { platform::ImageFill(canvas, kBackground); }

  platform::Image* canvas = nullptr;
};

}  // namespace viewsb

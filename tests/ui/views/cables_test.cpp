#include "ui/views/cables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "basics/geometry.h"
#include "engine/module.h"
#include "ui/views/synth_plane.h"
#include "ui/views/views_c_fixture.h"
#include "visuals/colours.h"

namespace {

namespace V = QUARLE_VISUALS;

using QUARLE_BASICS::Point;
using QUARLE_BASICS::Segment;
using Tarvelo::BuildCablePath;
using Tarvelo::CableBounds;

Segment Seg(float x0, float y0, float x1, float y1) {
  Segment s;
  QUARLE_BASICS::SegmentSetStart(s, Point{x0, y0});
  QUARLE_BASICS::SegmentSetEnd(s, Point{x1, y1});
  return s;
}

CableBounds Bounds() {
  CableBounds b;
  b.xmin = 10;
  b.xmax = 109;
  b.ymin = 10;
  b.ymax = 109;
  return b;
}

void ExpectPath(const Segment& s, float x0, float y0, float x1, float y1) {
  const Point e = QUARLE_BASICS::SegmentEnd(s);
  EXPECT_NEAR(s.x0, x0, 0.01f);
  EXPECT_NEAR(s.y0, y0, 0.01f);
  EXPECT_NEAR(e.x, x1, 0.01f);
  EXPECT_NEAR(e.y, y1, 0.01f);
}

TEST(CablePath, InsideCablesStayWholeAndOneEndOutsideRunsFromTheInsideEnd) {
  Segment out;
  BuildCablePath(out, Seg(20, 20, 90, 80), Bounds());
  ExpectPath(out, 20, 20, 90, 80);

  BuildCablePath(out, Seg(50, 50, -50, 50), Bounds());
  ExpectPath(out, 50, 50, 10, 50);
  // Inside end last: the result still starts inside.
  BuildCablePath(out, Seg(-50, 50, 50, 50), Bounds());
  ExpectPath(out, 50, 50, 10, 50);
  // Through the right edge on a slant: y = 60 + 49 x 0.5.
  BuildCablePath(out, Seg(60, 60, 160, 110), Bounds());
  ExpectPath(out, 60, 60, 109, 84.5f);
  // Down through the bottom edge.
  BuildCablePath(out, Seg(40, 40, 40, 300), Bounds());
  ExpectPath(out, 40, 40, 40, 109);
  // A point on the border counts as outside.
  BuildCablePath(out, Seg(10, 50, 50, 50), Bounds());
  ExpectPath(out, 50, 50, 10, 50);
}

TEST(CablePath, BothEndsOutsideKeepTheSpanBetweenTwoCrossings) {
  Segment out;
  BuildCablePath(out, Seg(-50, 50, 200, 50), Bounds());
  ExpectPath(out, 10, 50, 109, 50);
  BuildCablePath(out, Seg(-40, -40, 160, 160), Bounds());
  // The diagonal meets the corners themselves: not strictly inside any edge.
  EXPECT_EQ(QUARLE_BASICS::SegmentIsNull(out), -1);
  BuildCablePath(out, Seg(-20, 30, 200, 74), Bounds());
  EXPECT_EQ(QUARLE_BASICS::SegmentIsNull(out), 0);
  EXPECT_NEAR(out.x0, 10, 0.01f);
  EXPECT_NEAR(out.y0, 36, 0.01f);
  // Passing beside the plane, and grazing a corner, draw nothing.
  BuildCablePath(out, Seg(-50, -50, -10, 200), Bounds());
  EXPECT_EQ(QUARLE_BASICS::SegmentIsNull(out), -1);
  BuildCablePath(out, Seg(0, 20, 20, 0), Bounds());
  EXPECT_EQ(QUARLE_BASICS::SegmentIsNull(out), -1);
  // Vertical across the whole plane: its visible span, in its own direction.
  BuildCablePath(out, Seg(50, 200, 50, -20), Bounds());
  ExpectPath(out, 50, 109, 50, 10);
  BuildCablePath(out, Seg(5, -20, 5, 200), Bounds());
  EXPECT_EQ(QUARLE_BASICS::SegmentIsNull(out), -1);
}

class CableBand : public ::testing::Test {
 protected:
  void SetUp() override {
    image = platform::ImageCreate(100, 60, kBack);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(QUARLE_VISUALS::BuildColourRamp(&ramp, 0x00000000, 0xFFC800AA, 10), 0);
    clip = Tarvelo::CableClip{0, 99, 0, 59};
  }
  void TearDown() override {
    platform::ImageDestroy(image);
    delete[] ramp;
  }
  uint32_t At(int32_t x, int32_t y) const { return image->pixels[y * image->width + x]; }
  void Paint(const Segment& s) { Tarvelo::DrawCable(image->pixels, image->width, s, clip, ramp, 10, 6); }
  static constexpr uint32_t kBack = 0xFF102030;
  platform::Image* image = nullptr;
  uint32_t* ramp = nullptr;
  Tarvelo::CableClip clip;
};

TEST_F(CableBand, PixelsTakeTheRampEntryOfTheirDistanceBetweenTheEnds) {
  Paint(Seg(10, 30, 90, 30));
  EXPECT_EQ(At(50, 30), ramp[0]);
  EXPECT_EQ(At(50, 31), ramp[6]);
  EXPECT_EQ(At(50, 26), ramp[24]);
  EXPECT_EQ(At(50, 34), ramp[24]);
  EXPECT_EQ(At(50, 35), kBack);  // 5 pixels away: entry 30 is past the band
  EXPECT_EQ(At(90, 30), ramp[0]);
  EXPECT_EQ(At(91, 30), kBack);
  EXPECT_EQ(At(9, 30), kBack);
  // The band's full-colour core is a third of the half-width.
  EXPECT_EQ(ramp[9], 0xFFC800AA);
}

TEST_F(CableBand, DirectionSlantAndClipAreRespected) {
  Paint(Seg(90, 50, 10, 10));  // runs upwards: drawn the same as downwards
  std::vector<uint32_t> up(image->pixels, image->pixels + 100 * 60);
  platform::ImageFill(image, kBack);
  Paint(Seg(10, 10, 90, 50));
  EXPECT_EQ(std::vector<uint32_t>(image->pixels, image->pixels + 100 * 60), up);
  EXPECT_EQ(At(50, 30), ramp[0]);

  platform::ImageFill(image, kBack);
  clip = Tarvelo::CableClip{20, 80, 31, 59};
  Paint(Seg(10, 30, 90, 30));
  EXPECT_EQ(At(50, 30), kBack);
  EXPECT_EQ(At(50, 31), ramp[6]);
  EXPECT_EQ(At(19, 31), kBack);
  EXPECT_EQ(At(81, 31), kBack);
}

TEST_F(CableBand, DegenerateCablesPaintNothing) {
  Paint(Seg(40, 30, 40, 30));
  Segment nan = Seg(40, 30, 60, 30);
  nan.x0 = std::numeric_limits<float>::quiet_NaN();
  Paint(nan);
  Tarvelo::DrawCable(nullptr, 100, Seg(10, 30, 90, 30), clip, ramp, 10, 6);
  for (int32_t i = 0; i < 100 * 60; ++i) ASSERT_EQ(image->pixels[i], kBack) << i;
}

// --- The plane with live modules -------------------------------------------------

class PlaneDrawing : public viewsc::ViewsCTest {
 protected:
  void SetUp() override {
    ViewsCTest::SetUp();
    plane = C(Plane());
    ASSERT_NE(plane, nullptr);
    canvas = platform::ImageCreate(plane->W, plane->H, kBack);
    ASSERT_NE(canvas, nullptr);
    source = Make(Tarvelo::kTypeKeyboard, 200, 300);
    target = Make(Tarvelo::kTypeOscillator, 600, 600);
    ASSERT_NE(source, nullptr);
    ASSERT_NE(target, nullptr);
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*target, 0, source, &Tarvelo::ModuleCatalog[target->Type]), 4);
    Tarvelo::PlaneMoving.store(0);
    Tarvelo::LowFrameRateMode.store(0);
  }
  void TearDown() override {
    V::DrawTarget = nullptr;
    platform::ImageDestroy(canvas);
    Tarvelo::LowFrameRateMode.store(0);
    Tarvelo::PlaneMoving.store(0);
    ViewsCTest::TearDown();
  }
  // Draws a control into the canvas as the renderer does for a canvas: the
  // snapshot at (0, 0), the canvas standing for the plane's rectangle.
  int32_t DrawHere(int32_t id) {
    V::DrawTarget = canvas;
    V::ControlPublish(C(id), -1);
    viewsc::Snap s;
    V::FetchRenderRecord(s.get(), id);
    const int32_t dx = s.get()->X - plane->X, dy = s.get()->Y - plane->Y;
    s.get()->X = dx;
    s.get()->Y = dy;
    return C(id)->DrawCallback.load()(s.get(), id);
  }
  uint32_t At(int32_t x, int32_t y) const { return *platform::ImagePixel(canvas, x, y); }
  std::vector<Segment> Cables(std::vector<int32_t>* kinds = nullptr) {
    std::vector<Segment> s(Tarvelo::CableCapacity());
    std::vector<int32_t> k(s.size());
    s.resize(Tarvelo::CollectCables(Plane(), s.data(), k.data(), static_cast<int32_t>(s.size())));
    k.resize(s.size());
    if (kinds) *kinds = k;
    return s;
  }
  static constexpr uint32_t kBack = 0xFF000000;
  V::ControlRecord* plane = nullptr;
  platform::Image* canvas = nullptr;
  Tarvelo::ModuleRecord* source = nullptr;
  Tarvelo::ModuleRecord* target = nullptr;
};

TEST_F(PlaneDrawing, CablesRunFromTheSourceBoxToThePortsTopEdge) {
  std::vector<int32_t> kinds;
  std::vector<Segment> cables = Cables(&kinds);
  ASSERT_EQ(cables.size(), 1u);
  const V::ControlRecord* s = Box(source);
  const V::ControlRecord* t = Box(target);
  const double spacing = std::nearbyint((t->W - 6) / static_cast<double>(target->PortCount));
  ExpectPath(cables[0], s->X + s->W * 0.5f, s->Y + s->H - 1.0f,
             static_cast<float>(t->X + spacing * 0.5 + 1.0), static_cast<float>(t->Y));
  EXPECT_EQ(kinds[0], target->Params[0].OutputSide.Load() == 1 ? 1 : 0);

  // Three ports on a box 30 units wide: the cables end 48 pixels apart.
  int32_t type = -1;
  for (int32_t i = 0; i < Tarvelo::kModuleTypeCount && type < 0; ++i)
    if (Tarvelo::ModuleCatalog[i].PortCount == 3 && Tarvelo::ModuleCatalog[i].Role == 1) type = i;
  ASSERT_GE(type, 0);
  Tarvelo::ModuleRecord* three = Make(type, 900, 700);
  ASSERT_NE(three, nullptr);
  V::ControlSetW(Box(three), 150);
  V::ControlPublish(Box(three), 0);  // the cables follow the box as drawn
  for (int32_t p = 0; p < 3; ++p)
    ASSERT_EQ(Tarvelo::ModuleLinkInput(*three, p, source, &Tarvelo::ModuleCatalog[type]), 4);
  std::vector<float> ends;
  for (const Segment& c : Cables())
    if (QUARLE_BASICS::SegmentEnd(c).y == static_cast<float>(Box(three)->Y))
      ends.push_back(QUARLE_BASICS::SegmentEnd(c).x - Box(three)->X);
  EXPECT_EQ(ends, (std::vector<float>{25, 73, 121}));

  // Self links and inputs fed by value modules draw nothing; the output cable
  // runs to SOUT's top centre.
  ASSERT_EQ(Tarvelo::ModuleLinkInput(*target, 1, target, &Tarvelo::ModuleCatalog[target->Type]), 4);
  Tarvelo::SynthOutputModule.store(target);
  cables = Cables(&kinds);
  ASSERT_EQ(cables.size(), 5u);
  EXPECT_EQ(kinds.back(), 2);
  const V::ControlRecord* sout = C(Slot(Tarvelo::kUiSOUT));
  EXPECT_FLOAT_EQ(QUARLE_BASICS::SegmentEnd(cables.back()).y, static_cast<float>(sout->Y));
  Tarvelo::SynthOutputModule.store(nullptr);
}

TEST_F(PlaneDrawing, TheCachedLayerIsRebuiltOnceAndDashesReplaceItWhileMoving) {
  const Segment cable = Cables().at(0);
  const Point mid{cable.x0 + cable.dx * 0.5f, cable.y0 + cable.dy * 0.5f};
  const int32_t lx = static_cast<int32_t>(std::nearbyint(mid.x)) - plane->X;
  const int32_t ly = static_cast<int32_t>(std::nearbyint(mid.y)) - plane->Y;

  Tarvelo::CablesDirty.store(-1);
  EXPECT_EQ(DrawHere(Plane()), 0);
  EXPECT_EQ(Tarvelo::CablesDirty.load(), 0);
  platform::Image* layer = plane->Layers[0];
  const uint32_t colour = Tarvelo::CableColours[0];
  EXPECT_EQ(*platform::ImagePixel(layer, lx, ly), colour);
  EXPECT_EQ(At(lx, ly), colour);
  // Far from the cable the layer stays clear and the canvas untouched.
  EXPECT_EQ(*platform::ImagePixel(layer, 1000, 50), 0u);
  // A glow sprite sits on each end.
  const int32_t ex = static_cast<int32_t>(std::nearbyint(cable.x0)) - plane->X;
  const int32_t ey = static_cast<int32_t>(std::nearbyint(cable.y0)) - plane->Y;
  EXPECT_EQ(At(ex, ey), Tarvelo::GlowColours[0]);

  // Cached: a second frame shows the same picture without rebuilding it.
  platform::ImageFill(layer, 0);
  platform::ImageFill(canvas, kBack);
  DrawHere(Plane());
  EXPECT_EQ(At(lx, ly), kBack);

  // Moving: dashed lines on the canvas, the layer neither shown nor rebuilt.
  Tarvelo::CablesDirty.store(-1);
  Tarvelo::PlaneMoving.store(-1);
  platform::ImageFill(canvas, kBack);
  DrawHere(Plane());
  EXPECT_EQ(Tarvelo::CablesDirty.load(), -1);
  int32_t dashed = 0;
  for (int32_t y = 0; y < canvas->height; ++y)
    for (int32_t x = 0; x < canvas->width; ++x)
      if (At(x, y) == colour) ++dashed;
  EXPECT_GT(dashed, 10);
  EXPECT_EQ(*platform::ImagePixel(layer, lx, ly), 0u);

  // Once the frame rate proved low the cables stay dashed, even at rest (a
  // drag release clearing the moving word): the draw reads both words and
  // writes neither, and leaves the layer to be painted.
  Tarvelo::LowFrameRateMode.store(-1);
  Tarvelo::PlaneMoving.store(0);
  Tarvelo::CablesDirty.store(-1);
  for (int32_t frame = 0; frame < 2; ++frame) {
    platform::ImageFill(canvas, kBack);
    DrawHere(Plane());
    int32_t still = 0;
    for (int32_t y = 0; y < canvas->height; ++y)
      for (int32_t x = 0; x < canvas->width; ++x)
        if (At(x, y) == colour) ++still;
    EXPECT_GT(still, 10) << frame;
    EXPECT_EQ(Tarvelo::PlaneMoving.load(), 0);
    EXPECT_EQ(Tarvelo::CablesDirty.load(), -1);
    EXPECT_EQ(*platform::ImagePixel(layer, lx, ly), 0u);
  }
}

TEST_F(PlaneDrawing, ACableLeavingTheViewEndsOnTheBorder) {
  V::ControlRecord* s = Box(source);
  V::ControlSetX(s, -400);
  V::UpdateControl(static_cast<int32_t>(source->BoxControl.Load()), 0);
  std::vector<Segment> cables = Cables();
  ASSERT_EQ(cables.size(), 1u);
  // From the visible end at the target's port to the plane's left inner edge.
  EXPECT_FLOAT_EQ(cables[0].y0, static_cast<float>(Box(target)->Y));
  EXPECT_FLOAT_EQ(QUARLE_BASICS::SegmentEnd(cables[0]).x, static_cast<float>(plane->X + 3));

  // Both boxes out of view on the same side: no cable, no sprite.
  V::ControlSetX(Box(target), -900);
  V::UpdateControl(static_cast<int32_t>(target->BoxControl.Load()), 0);
  EXPECT_TRUE(Cables().empty());
}

TEST_F(PlaneDrawing, PortFramesFlashForOneFrameAndFillsShowTheLinkState) {
  const int32_t out = Output(source);
  const int32_t in = Input(target, 0);
  ASSERT_GT(out, 0);
  ASSERT_GT(in, 0);
  auto corner = [&](int32_t id) {
    const V::ControlRecord* c = C(id);
    return At(c->X - plane->X, c->Y - plane->Y);
  };
  auto inside = [&](int32_t id) {
    const V::ControlRecord* c = C(id);
    return At(c->X - plane->X + 3, c->Y - plane->Y + 3);
  };

  // The frame's start takes the flags: every draw of that frame shows the
  // flash, the next frame's none.
  auto frame = [] {
    Tarvelo::EndCableFrame();
    Tarvelo::BeginCableFrame();
  };
  source->ClipFlag.Store(-1);
  frame();
  EXPECT_EQ(source->ClipFlag.Load(), 0);
  for (int32_t again = 0; again < 2; ++again) {
    DrawHere(out);
    EXPECT_EQ(corner(out), 0xFFFF0000u) << again;
    EXPECT_EQ(inside(out), 0xFF006400u);  // used: it feeds the oscillator
  }
  frame();
  DrawHere(out);
  EXPECT_NE(corner(out), 0xFFFF0000u);

  target->Params[0].MidiMoved.Store(-1);
  frame();
  EXPECT_EQ(target->Params[0].MidiMoved.Load(), 0);
  EXPECT_TRUE(Tarvelo::MovedThisFrame(target, 0));
  for (int32_t again = 0; again < 2; ++again) {
    DrawHere(in);
    EXPECT_EQ(corner(in), 0xFFFF7F00u) << again;
    EXPECT_EQ(inside(in), 0xFF006400u);  // linked to another module
  }
  frame();
  EXPECT_FALSE(Tarvelo::MovedThisFrame(target, 0));
  DrawHere(in);
  EXPECT_NE(corner(in), 0xFFFF7F00u);
  Tarvelo::EndCableFrame();

  // Armed: amber whatever the state.
  C(in)->State.On = -1;
  DrawHere(in);
  EXPECT_EQ(inside(in), 0xFFC89600u);
  // An unused output of a module that is switched off shows dark red.
  C(in)->State.On = 0;
  const int32_t idle = Output(target);
  target->OrderExcluded.Store(-1);
  DrawHere(idle);
  EXPECT_EQ(inside(idle), 0xFF640000u);
}

TEST_F(PlaneDrawing, BoxesFrameBySelectionAndRenderTheirCaption) {
  const int32_t box = static_cast<int32_t>(target->BoxControl.Load());
  V::ControlRecord* c = C(box);
  const int32_t x = c->X - plane->X, y = c->Y - plane->Y;
  EXPECT_EQ(DrawHere(box), 0);
  EXPECT_EQ(At(x, y), 0xFF3C3C4Bu);
  int32_t covered = 0;
  const platform::Image* caption = c->Layers[0];
  for (int32_t i = 0; i < caption->width * caption->height; ++i)
    if (caption->pixels[i] >> 24) ++covered;
  EXPECT_GT(covered, 0);

  c->State.On = -1;
  DrawHere(box);
  // Selected: white dashes over a black outline along the top edge.
  int32_t white = 0, black = 0;
  for (int32_t i = 4; i < c->W - 4; ++i) {
    if (At(x + i, y) == 0xFFFFFFFFu) ++white;
    if (At(x + i, y) == 0xFF000000u) ++black;
  }
  EXPECT_GT(white, 4);
  EXPECT_GT(black, 4);
  EXPECT_EQ(white + black, c->W - 8);
  c->State.On = 0;

  // A zero-size box draws nothing wrong.
  V::ControlSetW(c, 1);
  V::ControlSetH(c, 1);
  EXPECT_EQ(DrawHere(box), 0);
}

}  // namespace

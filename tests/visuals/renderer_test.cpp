#include "visuals/renderer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "basics/queues.h"
#include "platform/display.h"
#include "platform/images.h"
#include "platform/screen.h"
#include "visuals/control_table.h"
#include "visuals/dirty_region.h"
#include "visuals/glyphs.h"
#include "visuals/video_thread.h"
#include "visuals/visuals.h"

namespace {

using namespace QUARLE_VISUALS;

constexpr int32_t kW = 64;
constexpr int32_t kH = 48;
constexpr uint32_t kBack = 0xFF101010;
constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kGreen = 0xFF00FF00;
constexpr uint32_t kBlue = 0xFF0000FF;

// What a draw callback saw.
struct Call {
  int32_t id;
  int32_t x, y, w, h;
  Image* target;
  int64_t changed;  // the snapshot's text flags
};
std::vector<Call> g_calls;
int32_t g_result = 0;

// Paints its snapshot's rectangle green on DrawTarget, as draw callbacks do.
int32_t PaintGreen(RenderRecord* snap, int32_t id) {
  g_calls.push_back({id, snap->X, snap->Y, snap->W, snap->H, DrawTarget, snap->Text.Changed});
  platform::DrawBox(DrawTarget, snap->X, snap->Y, snap->W, snap->H, kGreen);
  return g_result;
}

// A 64 x 48 headless screen and a root filling it with kBack.
class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TARVELO_HEADLESS", "1", 1);
    platform::DisplayResetSimulated();
    g_calls.clear();
    g_result = 0;
    int64_t w = 0, h = 0;
    ASSERT_EQ(QUARLE_VISUALS::init(12, w, h, 1), 0);
    ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
    platform::ScreenSetPages(0, 1);
    root_ = Make(0, 0, 0, kW, kH, kBack);
  }
  void TearDown() override {
    platform::ScreenClose();
    VisualsShutdown();
    FocusedControl = 0;
    FocusMode = 0;
  }
  // A published, visible control with a plain box of the given colour.
  static int32_t Make(int32_t parent, int32_t x, int32_t y, int32_t w, int32_t h,
                      uint32_t colour, DrawCallbackFn draw = nullptr) {
    int32_t id = -1;
    EXPECT_EQ(CreateControl(parent, x, y, w, h, nullptr, draw, -1, 11, "", "", &id), 0);
    ControlAt(id)->Colour = colour;
    UpdateControl(id, 0);
    return id;
  }
  static void Publish(int32_t id) { UpdateControl(id, 0); }
  static uint32_t Px(int32_t x, int32_t y) { return platform::ScreenPointer()[y * kW + x]; }
  static void Frame() { RenderControlTree(0, 0, 0); }
  // The pixels of a rectangle that hold `colour`, counted.
  static int32_t Count(uint32_t colour) {
    int32_t n = 0;
    for (int32_t i = 0; i < kW * kH; ++i) n += platform::ScreenPointer()[i] == colour;
    return n;
  }
  int32_t root_ = -1;
};

TEST(ClipRectTest, HowOneRectangleLiesInAnother) {
  EXPECT_EQ(ClipRect(10, 10, 5, 5, 0, 0, 100, 100), 0);
  EXPECT_EQ(ClipRect(0, 0, 100, 100, 0, 0, 100, 100), 0);  // equal: inside
  EXPECT_EQ(ClipRect(95, 10, 10, 5, 0, 0, 100, 100), 1);   // right edge of B inside A
  EXPECT_EQ(ClipRect(-5, 10, 10, 5, 0, 0, 100, 100), 1);   // left edge
  EXPECT_EQ(ClipRect(10, 98, 5, 5, 0, 0, 100, 100), 2);
  EXPECT_EQ(ClipRect(95, 95, 10, 10, 0, 0, 100, 100), 3);
  EXPECT_EQ(ClipRect(100, 10, 5, 5, 0, 0, 100, 100), -1);  // touching the right edge
  EXPECT_EQ(ClipRect(10, -5, 5, 5, 0, 0, 100, 100), -1);   // touching the top from above
  EXPECT_EQ(ClipRect(99, 99, 5, 5, 0, 0, 100, 100), 3);    // the last pixel shared
  EXPECT_EQ(ClipRect(-10, -10, 200, 200, 0, 0, 100, 100), 3);
}

TEST_F(RendererTest, PlainBoxesAreDrawnInZOrderOntoTheWorkPage) {
  const int32_t a = Make(root_, 4, 4, 10, 8, kRed);
  const int32_t b = Make(root_, 10, 6, 10, 8, kBlue);
  Frame();
  EXPECT_EQ(Px(0, 0), kBack);
  EXPECT_EQ(Px(4, 4), kRed);
  EXPECT_EQ(Px(13, 11), kBlue);  // b covers a where they overlap
  EXPECT_EQ(Px(19, 13), kBlue);
  EXPECT_EQ(Px(20, 13), kBack);
  EXPECT_EQ(Px(9, 11), kRed);
  EXPECT_EQ(Count(kRed), 10 * 8 - 4 * 6);
  EXPECT_EQ(ControlAt(a)->Canvas, nullptr);  // opaque and inside: no canvas
  BringToFront(a);
  Frame();
  EXPECT_EQ(Px(13, 11), kRed);

  // A child made after a removal takes the place the removed one left at
  // the front of the set; made last, it is drawn over the others.
  ControlAt(b)->DeletePending = -1;
  PurgeDeletedControls();
  const int32_t c = Make(root_, 8, 6, 10, 8, kGreen);
  ASSERT_GT(c, 0);
  Frame();
  EXPECT_EQ(Px(9, 7), kGreen);
  EXPECT_EQ(Px(4, 4), kRed);
  EXPECT_EQ(Px(19, 13), kBack);
}

// Paints around its snapshot's rectangle with each primitive in turn: what
// falls outside the control is cut away and counted against it.
int32_t g_primitive = 0;
int32_t PaintBeyond(RenderRecord* snap, int32_t) {
  const int32_t x = snap->X, y = snap->Y, w = snap->W, h = snap->H;
  static platform::Image* half = nullptr;  // left half clear, right half opaque
  if (!half) {
    half = platform::ImageCreate(6, 4, 0x00000000);
    platform::DrawBox(half, 3, 0, 3, 4, kRed);
  }
  switch (g_primitive) {
    case 0: platform::DrawBox(DrawTarget, x - 2, y, w + 2, h, kRed); break;  // 2 columns left
    case 1: platform::DrawLine(DrawTarget, x, y - 1, x + w + 2, y - 1, kRed); break;
    case 2: platform::DrawLine(DrawTarget, x + 1, y - 3, x + 1, y + h, kRed); break;
    case 3: platform::DrawLine(DrawTarget, x - 4, y - 4, x + 3, y + 3, kRed); break;
    case 4: platform::ImageCopy(half, 0, 0, 6, 4, DrawTarget, x + w - 4, y); break;
    case 5: platform::ImageCopyAlpha(half, 0, 0, 6, 4, DrawTarget, x + w - 4, y); break;
    case 6: platform::ImageCopyAlpha(half, 0, 0, 6, 4, DrawTarget, x - 3, y); break;
    case 7: platform::ImageCopyBlend(half, 0, 0, 6, 4, DrawTarget, x + w - 4, y, 128); break;
    case 8:
      platform::ImageCopyCustom(half, 0, 0, 6, 4, DrawTarget, x, y + h - 2, AlphaBlendPixel, 0);
      break;
    case 9: platform::DrawBox(DrawTarget, x, y - 3, w, h + 3, kRed); break;  // within its reach
    default: break;
  }
  return 0;
}
void ThreeAbove(const ControlRecord*, int32_t&, int32_t& y0, int32_t&, int32_t&) { y0 = -3; }
int32_t PaintBeyondWithReach(RenderRecord* snap, int32_t id) { return PaintBeyond(snap, id); }

// Each primitive a draw callback uses keeps to the area its control marks (its
// rectangle and registered reach), in a whole and in a partial frame; the
// pixels it was asked to paint beyond are counted against the control.
TEST_F(RendererTest, ADrawPaintsOnlyTheAreaItsControlMarks) {
  SetPaintReach(PaintBeyondWithReach, ThreeAbove);
  struct Case {
    const char* what;
    int32_t primitive;
    DrawCallbackFn draw;
    int64_t outside;
  };
  const Case cases[] = {
      {"box", 0, PaintBeyond, 2 * 6},
      {"horizontal line", 1, PaintBeyond, 8 + 3},
      {"vertical line", 2, PaintBeyond, 3 + 1},
      {"diagonal line", 3, PaintBeyond, 4},
      {"plain copy", 4, PaintBeyond, 2 * 4},
      {"alpha copy, opaque part out", 5, PaintBeyond, 2 * 4},
      {"alpha copy, clear part out", 6, PaintBeyond, 0},
      {"blended copy", 7, PaintBeyond, 2 * 4},
      {"custom copy", 8, PaintBeyond, 3 * 2},
      {"within a registered reach", 9, PaintBeyondWithReach, 0},
      {"beyond a reach", 9, PaintBeyond, 8 * 3},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    g_primitive = k.primitive;
    const int32_t id = Make(root_, 20, 20, 8, 6, kGreen, k.draw);
    ControlPublish(ControlAt(id), -1);
    int32_t x0 = 0, y0 = 0, w = 0, h = 0;
    ControlPaintArea(ControlAt(id), x0, y0, w, h);
    TakePaintOutside();
    for (const bool whole : {true, false}) {
      platform::DrawBox(nullptr, 0, 0, kW, kH, kBack);
      if (whole)
        Frame();
      else
        RenderControlTreeIn(10, 10, 30, 25);
      for (int32_t y = 0; y < kH; ++y) {
        for (int32_t x = 0; x < kW; ++x) {
          if (x >= 20 + x0 && x < 20 + w && y >= 20 + y0 && y < 20 + h) continue;
          ASSERT_EQ(Px(x, y), kBack) << x << ", " << y << (whole ? " whole" : " partial");
        }
      }
      const std::vector<PaintOutside> out = TakePaintOutside();
      if (k.outside == 0) {
        EXPECT_TRUE(out.empty());
      } else {
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].id, id);
        EXPECT_EQ(out[0].pixels, k.outside) << (whole ? "whole" : "partial");
      }
    }
    ControlSetVisible(ControlAt(id), 0);
  }
}

TEST_F(RendererTest, ClippingIsExactToThePixel) {
  // A clipping panel 20 x 10 at (10, 10); children half outside on each side.
  const int32_t panel = Make(root_, 10, 10, 20, 10, kBlue);
  ControlAt(panel)->ClipChildren = -1;
  const int32_t right = Make(panel, 15, 2, 10, 4, kRed);   // x 25..34, cut at 29
  const int32_t below = Make(panel, 2, 7, 4, 6, 0, PaintGreen);  // y 17..22, cut at 19
  const int32_t outside = Make(panel, 30, 0, 5, 5, kRed, PaintGreen);  // x 40..44: skipped
  const int32_t inner = Make(outside, 0, 0, 2, 2, kRed);
  Frame();

  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      uint32_t want = kBack;
      if (x >= 10 && x <= 29 && y >= 10 && y <= 19) want = kBlue;
      if (x >= 25 && x <= 29 && y >= 12 && y <= 15) want = kRed;
      if (x >= 12 && x <= 15 && y >= 17 && y <= 19) want = kGreen;
      ASSERT_EQ(Px(x, y), want) << "at " << x << ", " << y;
    }
  }
  // The clipped controls were drawn on their canvases, at x = y = 0.
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].id, below);
  EXPECT_EQ(g_calls[0].x, 0);
  EXPECT_EQ(g_calls[0].y, 0);
  EXPECT_EQ(g_calls[0].target, ControlAt(below)->Canvas);
  EXPECT_NE(ControlAt(right)->Canvas, nullptr);
  EXPECT_EQ(ControlAt(outside)->Canvas, nullptr);
  EXPECT_EQ(ControlAt(inner)->Canvas, nullptr);
}

// Wider and taller than the clip: every edge is cut, the clip alone is covered.
TEST_F(RendererTest, AChildLargerThanItsClipIsCutOnBothSides) {
  const int32_t panel = Make(root_, 10, 10, 10, 10, kBlue);
  ControlAt(panel)->ClipChildren = -1;
  Make(panel, -5, 2, 30, 2, kRed);     // x 5..34 over a clip of 10..19
  Make(panel, 4, -3, 2, 20, kGreen);   // y 7..26 over a clip of 10..19
  Frame();
  for (int32_t x : {9, 20, 34}) EXPECT_EQ(Px(x, 12), kBack) << x;
  EXPECT_EQ(Px(10, 12), kRed);
  EXPECT_EQ(Px(19, 12), kRed);
  for (int32_t y : {9, 20, 26}) EXPECT_EQ(Px(14, y), kBack) << y;
  EXPECT_EQ(Px(14, 10), kGreen);
  EXPECT_EQ(Px(14, 19), kGreen);
}

TEST_F(RendererTest, ATranslucentControlIsBlendedAtItsAlpha) {
  const int32_t a = Make(root_, 8, 8, 6, 6, kRed, PaintGreen);
  ControlSetAlpha(ControlAt(a), 128);
  Publish(a);
  Frame();
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].x, 0);
  EXPECT_EQ(g_calls[0].y, 0);
  EXPECT_EQ(g_calls[0].w, 6);
  EXPECT_EQ(g_calls[0].target, ControlAt(a)->Canvas);
  const uint32_t want = platform::BlendOver(kGreen, kBack, 128);
  EXPECT_EQ(Px(8, 8), want);
  EXPECT_EQ(Px(13, 13), want);
  EXPECT_EQ(Px(14, 13), kBack);
  EXPECT_EQ((want >> 8) & 0xFF, (0xFFu * 128 + 0x10 * 127 + 127) / 255);  // about half
  EXPECT_EQ(DrawTarget, ControlAt(a)->Canvas);

  // The canvas is kept while the size stays, made anew when it changes.
  Image* canvas = ControlAt(a)->Canvas;
  Frame();
  EXPECT_EQ(ControlAt(a)->Canvas, canvas);
  ControlSetW(ControlAt(a), 9);
  Publish(a);
  Frame();
  EXPECT_EQ(ControlAt(a)->Canvas->width, 9);
}

TEST_F(RendererTest, HiddenAndTransparentControlsHideTheirSubtrees) {
  const int32_t a = Make(root_, 0, 0, 10, 10, kRed);
  Make(a, 2, 2, 3, 3, kBlue, PaintGreen);
  ControlSetVisible(ControlAt(a), 0);
  Frame();
  EXPECT_EQ(Count(kRed), 0);
  EXPECT_TRUE(g_calls.empty());

  ControlSetVisible(ControlAt(a), -1);
  ControlSetAlpha(ControlAt(a), 0);
  ControlPublish(ControlAt(a), 8);
  Frame();
  EXPECT_EQ(Count(kRed), 0);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(ControlAt(a)->Render->Text.Changed, 8);  // still pending

  ControlSetAlpha(ControlAt(a), 255);
  Publish(a);
  Frame();
  EXPECT_EQ(Count(kRed), 100 - 9);
  EXPECT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(ControlAt(a)->Render->Text.Changed, 0);

  // Wholly outside its clip it is not drawn either: a text changed meanwhile
  // is drawn anew when it comes back in (a box panned off the plane).
  const int32_t panel = Make(root_, 20, 20, 10, 10, kBlue);
  ControlAt(panel)->ClipChildren = -1;
  const int32_t off = Make(panel, 8, 22, 4, 4, kRed, PaintGreen);
  ControlPublish(ControlAt(off), 8);
  auto drawn = [&] {
    std::vector<Call> mine;
    for (const Call& k : g_calls)
      if (k.id == off) mine.push_back(k);
    g_calls.clear();
    return mine;
  };
  g_calls.clear();
  Frame();
  EXPECT_TRUE(drawn().empty());
  EXPECT_EQ(ControlAt(off)->Render->Text.Changed, 8);
  ControlSetX(ControlAt(off), 24);
  ControlSetY(ControlAt(off), 24);
  Publish(off);
  Frame();
  const std::vector<Call> back = drawn();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].changed, 8);
  EXPECT_EQ(Px(25, 25), kGreen);
}

TEST_F(RendererTest, ADisabledControlIsDarkenedWithItsChildren) {
  const int32_t a = Make(root_, 4, 4, 10, 10, kRed);
  Make(a, 2, 2, 3, 3, kBlue);
  SetDisabled(&ControlAt(a)->State, -1);
  Publish(a);
  Frame();
  const uint32_t darkRed = platform::BlendOver(kDisabledOverlay, kRed, 127);
  // The child was disabled with its parent: its own overlay, then the parent's.
  const uint32_t darkBlue = platform::BlendOver(
      kDisabledOverlay, platform::BlendOver(kDisabledOverlay, kBlue, 127), 127);
  EXPECT_EQ(Px(4, 4), darkRed);
  EXPECT_EQ(Px(13, 13), darkRed);
  EXPECT_EQ(Px(6, 6), darkBlue);
  EXPECT_EQ(Px(14, 14), kBack);
  EXPECT_EQ(Px(3, 3), kBack);
}

TEST_F(RendererTest, TheFocusFrameShowsOnlyOnTheFocusedControlInFocusModes) {
  const int32_t a = Make(root_, 10, 10, 12, 12, kRed);
  const int32_t b = Make(root_, 30, 10, 12, 12, kBlue);
  FocusedControl = a;
  FocusMode = 0;
  Frame();
  EXPECT_EQ(Count(0xFFFFFFFF), 0);
  for (uint32_t mode : {1u, 2u, 3u}) {
    FocusMode = mode;
    Frame();
    // Raised, thickness 3: light top and left, dark right and bottom.
    EXPECT_EQ(Px(10, 10), 0xFFFFFFFFu);
    EXPECT_EQ(Px(12, 15), 0xFFFFFFFFu);
    EXPECT_EQ(Px(21, 15), FrameDarkColour(0xFFFFFFFF));
    EXPECT_EQ(Px(15, 21), FrameDarkColour(0xFFFFFFFF));
    EXPECT_EQ(Px(13, 13), kRed);
    EXPECT_EQ(Px(30, 10), kBlue);
  }
  FocusMode = 4;
  Frame();
  EXPECT_EQ(Px(10, 10), kRed);
  FocusedControl = 0;  // the root never gets the frame
  FocusMode = 1;
  Frame();
  EXPECT_EQ(Px(0, 0), kBack);
  (void)b;
}

TEST_F(RendererTest, ADrawCallbackErrorIsPostedAndTheFrameGoesOn) {
  const int32_t a = Make(root_, 0, 0, 4, 4, 0, PaintGreen);
  const int32_t b = Make(root_, 10, 10, 4, 4, kRed);
  // Drain what earlier tests may have left.
  QUARLE_BASICS::CommandMessage* buffer = nullptr;
  QUARLE_BASICS::ArrayHeader header;
  QUARLE_BASICS::ArrayHeaderInit(header);
  QUARLE_BASICS::FetchCommands(buffer, header, VisualsCommandQueue);

  g_result = -19;
  Frame();
  EXPECT_EQ(Px(10, 10), kRed);
  EXPECT_EQ(Px(0, 0), kGreen);  // drawn straight onto the page at its position
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].target, nullptr);
  EXPECT_EQ(QUARLE_BASICS::FetchCommands(buffer, header, VisualsCommandQueue), 0);
  ASSERT_EQ(header.count, 1);
  EXPECT_EQ(buffer[0].type, 1u);
  EXPECT_EQ(buffer[0].arg4, 19u);
  std::free(buffer);
  QUARLE_BASICS::ArrayHeaderFree(header);
  (void)a;
  (void)b;
}

TEST_F(RendererTest, UnpublishedAndMovedControlsFollowTheirPublications) {
  int32_t id = -1;
  ASSERT_EQ(CreateControl(root_, 0, 0, 5, 5, nullptr, nullptr, -1, 11, "", "", &id), 0);
  ControlAt(id)->Colour = kRed;
  Frame();  // never published: not drawn
  EXPECT_EQ(Count(kRed), 0);
  Publish(id);
  Frame();
  EXPECT_EQ(Px(0, 0), kRed);
  ControlSetX(ControlAt(id), 20);
  Frame();  // the move is not published yet
  EXPECT_EQ(Px(20, 0), kBack);
  Publish(id);
  ControlAt(root_)->Colour = kBack;
  Frame();
  EXPECT_EQ(Px(20, 0), kRed);
  EXPECT_EQ(Px(0, 0), kBack);
}


// The video thread renders while the main thread creates, moves, re-orders,
// publishes and clones controls: every frame completes and the final frame
// shows the final state.
TEST_F(RendererTest, RenderingWhileTheMainThreadEditsTheTree) {
  const int32_t panel = Make(root_, 0, 0, kW, kH, kBack);
  ControlAt(panel)->ClipChildren = -1;
  const int32_t tmpl = Make(root_, 0, 0, 6, 6, kRed, PaintGreen);
  ControlSetVisible(ControlAt(tmpl), 0);
  Publish(tmpl);
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  std::thread video([&] {
    while (!stop.load()) {
      Frame();
      ++frames;
    }
  });
  std::vector<int32_t> made;
  for (int i = 0; i < 300 || frames.load() < 5; ++i) {
    int32_t id = i % 3 == 0 ? CloneControlTree(ControlAt(tmpl), -1, panel)
                            : Make(panel, i % 50, i % 40, 5, 5, kBlue);
    ASSERT_GT(id, 0);
    ControlSetVisible(ControlAt(id), -1);
    ControlSetX(ControlAt(id), (i * 7) % 70 - 5);
    ControlSetAlpha(ControlAt(id), i % 2 ? 255 : 128);
    UpdateControl(id, 0);
    if (i % 5 == 0) BringToFront(id);
    made.push_back(id);
  }
  stop = true;
  video.join();
  EXPECT_GE(frames.load(), 5);
  g_calls.clear();
  ControlSetVisible(ControlAt(panel), 0);
  Frame();
  EXPECT_EQ(Count(kBack), kW * kH);
}

}  // namespace

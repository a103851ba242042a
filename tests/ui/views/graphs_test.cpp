// The wave-shape preview and the filter graph.
#include "engine/catalog/catalog.h"
#include "engine/dsp/waves.h"
#include "engine/dsp/windows.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/views/graphs.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

constexpr uint32_t kBack = 0xFF0A0A0C;
constexpr uint32_t kWhite = 0xFFFFFFFF;

class GraphTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    InstallWaveShapes();
  }
  platform::Image* Picture(int32_t w, int32_t h) {
    image = platform::ImageCreate(w, h, 0);
    return image;
  }
  void TearDown() override {
    platform::ImageDestroy(image);
    ViewTest::TearDown();
  }
  platform::Image* image = nullptr;
};

TEST_F(GraphTest, SinePreviewCrestAndCentreLine) {
  platform::Image* p = Picture(100, 101);
  PaintWavePreview(p, 100, 101, kBack, 0);
  // 101 rows: the centre line at row 50 (50.5 to even), the crest a quarter
  // in at row 1, the trough three quarters in at row 99.
  EXPECT_EQ(At(p, 25, 0), kBack);
  EXPECT_EQ(At(p, 25, 1), kWhite);
  EXPECT_EQ(At(p, 25, 50), kWhite);
  EXPECT_EQ(At(p, 25, 51), kBack);
  EXPECT_EQ(At(p, 75, 99), kWhite);
  EXPECT_EQ(At(p, 75, 49), kBack);
  EXPECT_EQ(At(p, 0, 50), kWhite);  // sin 0 = 0: only the centre pixel
  EXPECT_EQ(At(p, 0, 49), kBack);
}

TEST_F(GraphTest, NoShapeOrAnUnknownOneShowsTheBackgroundOnly) {
  platform::Image* p = Picture(40, 20);
  for (int32_t shape : {-1, 12, 1000}) {
    PaintWavePreview(p, 40, 20, kBack, shape);
    for (int32_t y = 0; y < 20; ++y)
      for (int32_t x = 0; x < 40; ++x) ASSERT_EQ(At(p, x, y), kBack) << shape;
  }
}

TEST_F(GraphTest, FilterTapsBoxesWindowAndCentreLines) {
  float kernel[kFirMaxTaps + 1] = {};
  float window[kFirMaxTaps + 1] = {};
  platform::Image* p = Picture(300, 41);
  // 128 taps on 300 pixels: 2.34 pixels a tap, boxes 3 pixels wide.
  kernel[0] = 1.0f;
  kernel[1] = -1.0f;
  window[0] = 0.5f;
  PaintFilterGraph(p, 300, 41, kBack, 128, kernel, window);
  const int32_t mid = 20;  // 20.5 to even
  EXPECT_EQ(At(p, 0, 1), kWhite);
  EXPECT_EQ(At(p, 2, 1), kWhite);
  EXPECT_EQ(At(p, 0, 0), kBack);
  // Tap 1 (at x = 2) points down.
  EXPECT_EQ(At(p, 4, mid + 19), kWhite);
  EXPECT_EQ(At(p, 5, mid + 19), kBack);
  EXPECT_EQ(At(p, 1, mid - 10), kFilterWindowColour);  // window 0.5 of 19
  // Centre line, and the vertical line at nearest(128 x 2.34375) div 2.
  EXPECT_EQ(At(p, 299, mid), kFilterWindowColour);
  EXPECT_EQ(At(p, 150, 0), kFilterWindowColour);
  EXPECT_EQ(At(p, 150, 40), kFilterWindowColour);

  // A kernel of zeros: only the window marks and the two lines.
  kernel[0] = kernel[1] = 0.0f;
  PaintFilterGraph(p, 300, 41, kBack, 128, kernel, window);
  EXPECT_EQ(At(p, 0, 1), kBack);
  EXPECT_EQ(At(p, 100, mid), kFilterWindowColour);

  // On 100 pixels the bar is at least one pixel.
  platform::ImageDestroy(image);
  p = Picture(100, 41);
  kernel[127] = 1.0f;
  PaintFilterGraph(p, 100, 41, kBack, 128, kernel, window);
  EXPECT_EQ(At(p, 99, 1), kWhite);  // floor(127 x 0.78125) = 99, one wide
  EXPECT_EQ(At(p, 98, 1), kBack);

  // Tap counts outside 1..128 draw no taps and read nothing past the arrays.
  PaintFilterGraph(p, 100, 41, kBack, 0, kernel, window);
  EXPECT_EQ(At(p, 99, 1), kBack);
  PaintFilterGraph(p, 100, 41, kBack, 100000, kernel, window);
}

TEST_F(GraphTest, GraphsRedrawOnlyWhenPublishedWithRedrawFlags) {
  const int32_t id = Make(10, 10, 106, 46);
  C(id)->Colour = kBack;
  C(id)->Text.Selected = 0;
  ASSERT_NE(AddLayer(id, 100, 40), nullptr);
  Snapshot s;
  Take(id, s);
  DrawWavePreview(s.get(), id);
  EXPECT_EQ(Px(10, 10), kGraphFrame);
  EXPECT_EQ(Px(13 + 25, 13 + 1), kWhite);  // crest of the sine, copied at (x + B, y + B)
  EXPECT_EQ(Px(13 + 25, 13 + 30), kBack);

  // A new shape without redraw flags keeps the cached picture.
  C(id)->Text.Selected = -1;
  Take(id, s, 0);
  DrawWavePreview(s.get(), id);
  EXPECT_EQ(Px(13 + 25, 13 + 1), kWhite);
  Take(id, s, -1);
  DrawWavePreview(s.get(), id);
  EXPECT_EQ(Px(13 + 25, 13 + 1), kBack);

  // The filter graph reads the design.
  const int32_t f = Make(200, 10, 106, 46);
  C(f)->Colour = kBack;
  ASSERT_NE(AddLayer(f, 100, 40), nullptr);
  FirDesign.FirTapCount = 4;
  for (int32_t i = 0; i < 4; ++i) {
    FirDesign.FirKernel[i] = 1.0f;
    FirDesign.FirWindow[i] = 1.0f;
  }
  Take(f, s);
  DrawFilterGraph(s.get(), f);
  EXPECT_EQ(Px(203 + 40, 13 + 5), kWhite);
  EXPECT_EQ(Px(200, 10), kGraphFrame);
  // No layer: the frame alone.
  const int32_t bare = Make(400, 10, 50, 30);
  Take(bare, s);
  EXPECT_EQ(DrawFilterGraph(s.get(), bare), 0);
  EXPECT_EQ(Px(400, 10), kGraphFrame);
  EXPECT_EQ(Px(420, 20), kBackground);
}

}  // namespace
}  // namespace viewsb

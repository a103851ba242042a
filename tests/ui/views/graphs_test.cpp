// The wave-shape preview and the filter graph.
#include <atomic>
#include <thread>
#include <vector>

#include "engine/catalog/catalog.h"
#include "engine/dsp/waves.h"
#include "engine/dsp/windows.h"
#include "engine/globals.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/views/graphs.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

constexpr uint32_t kBack = 0xFF0A0A0C;
constexpr uint32_t kWhite = 0xFFFFFFFF;

using GraphTest = ViewTest;

TEST_F(GraphTest, SinePreviewAndUnknownShapes) {
  InstallWaveShapes();
  platform::Image* p = platform::ImageCreate(100, 101, 0);
  PaintWavePreview(p, 100, 101, kBack, 0);
  // 101 rows: the centre line at row 50 (50.5 to even), the crest at row 1.
  EXPECT_EQ(At(p, 25, 0), kBack);
  EXPECT_EQ(At(p, 25, 1), kWhite);
  EXPECT_EQ(At(p, 25, 51), kBack);
  EXPECT_EQ(At(p, 75, 99), kWhite);
  EXPECT_EQ(At(p, 75, 49), kBack);
  EXPECT_EQ(At(p, 0, 50), kWhite);
  for (int32_t shape : {-1, 12}) {
    PaintWavePreview(p, 100, 101, kBack, shape);
    EXPECT_EQ(At(p, 25, 1), kBack);
    EXPECT_EQ(At(p, 0, 50), kBack);
  }
  platform::ImageDestroy(p);
}

// The noise shape's preview draws on the video thread while the render's
// noise kernels draw from the engine's generator: the preview takes none of
// its numbers (what the render plays stays as seeded) and shows the same
// noise in every frame.
TEST_F(GraphTest, NoisePreviewLeavesTheRendersRandomSequenceAlone) {
  InstallWaveShapes();
  int32_t noise = -1;
  for (int32_t s = 0; s < kWaveShapeCount && noise < 0; ++s)
    if (WaveShapeTable[s].Function == WaveWhiteNoise) noise = s;
  ASSERT_GE(noise, 0);
  SeedRandom(7);
  const float expected[3] = {RandomUnit(), RandomUnit(), RandomUnit()};
  SeedRandom(7);
  platform::Image* p = platform::ImageCreate(100, 101, 0);
  PaintWavePreview(p, 100, 101, kBack, noise);
  for (const float e : expected) EXPECT_EQ(RandomUnit(), e);
  std::vector<uint32_t> first, off;
  for (int32_t x = 0; x < 100; ++x)
    for (int32_t y = 0; y < 101; ++y) first.push_back(At(p, x, y));
  PaintWavePreview(p, 100, 101, kBack, noise);
  int32_t away = 0;
  for (int32_t x = 0; x < 100; ++x) {
    for (int32_t y = 0; y < 101; ++y) off.push_back(At(p, x, y));
    away += At(p, x, 30) == kWhite || At(p, x, 70) == kWhite;
  }
  EXPECT_EQ(off, first) << "the same noise in every frame";
  EXPECT_GT(away, 10) << "still noise, reaching far from the centre line";
  platform::ImageDestroy(p);
}

TEST_F(GraphTest, FilterTapsWindowMarksAndLines) {
  float kernel[kFirMaxTaps + 1] = {};
  float window[kFirMaxTaps + 1] = {};
  platform::Image* p = platform::ImageCreate(300, 41, 0);
  // 128 taps on 300 pixels: 2.34 pixels apart, boxes 3 pixels wide; mid = 20.
  kernel[0] = 1.0f;
  kernel[1] = -1.0f;
  window[0] = 0.5f;
  PaintFilterGraph(p, 300, 41, kBack, 128, kernel, window);
  EXPECT_EQ(At(p, 0, 1), kWhite);
  EXPECT_EQ(At(p, 2, 1), kWhite);
  EXPECT_EQ(At(p, 0, 0), kBack);
  EXPECT_EQ(At(p, 4, 39), kWhite);  // tap 1 points down
  EXPECT_EQ(At(p, 5, 39), kBack);
  EXPECT_EQ(At(p, 1, 10), kFilterWindowColour);
  EXPECT_EQ(At(p, 299, 20), kFilterWindowColour);  // centre line
  EXPECT_EQ(At(p, 150, 40), kFilterWindowColour);  // nearest(128 x 2.34375) div 2
  // Tap counts outside 1..128 read nothing past the design.
  PaintFilterGraph(p, 300, 41, kBack, 0, kernel, window);
  EXPECT_EQ(At(p, 0, 1), kBack);
  PaintFilterGraph(p, 300, 41, kBack, 100000, kernel, window);
  // Taps of a hostile filter file, huge either way: bars cut at the edges.
  kernel[0] = 1.4e32f;
  kernel[1] = -1.4e32f;
  PaintFilterGraph(p, 300, 41, kBack, 128, kernel, window);
  EXPECT_EQ(At(p, 0, 0), kWhite);
  EXPECT_EQ(At(p, 4, 40), kWhite);
  platform::ImageDestroy(p);
}

TEST_F(GraphTest, PicturesAreRedrawnOnlyWithRedrawFlags) {
  InstallWaveShapes();
  const int32_t id = Make(10, 10, 106, 46);
  C(id)->Colour = kBack;
  C(id)->Text.Selected = 0;
  AddLayer(id, 100, 40);
  Snapshot s;
  DrawWavePreview(Take(id, s), id);
  EXPECT_EQ(Px(10, 10), kGraphFrame);
  EXPECT_EQ(Px(13 + 25, 13 + 1), kWhite);  // the crest, copied at (x + B, y + B)
  C(id)->Text.Selected = -1;
  DrawWavePreview(Take(id, s, 0), id);
  EXPECT_EQ(Px(13 + 25, 13 + 1), kWhite);
  DrawWavePreview(Take(id, s), id);
  EXPECT_EQ(Px(13 + 25, 13 + 1), kBack);

  const int32_t f = Make(200, 10, 106, 46);
  C(f)->Colour = kBack;
  AddLayer(f, 100, 40);
  FirDesign.FirTapCount = 4;
  for (int32_t i = 0; i < 4; ++i) FirDesign.FirKernel[i] = FirDesign.FirWindow[i] = 1.0f;
  PublishFirGraph();
  DrawFilterGraph(Take(f, s), f);
  EXPECT_EQ(Px(203 + 40, 13 + 5), kWhite);
  const int32_t bare = Make(400, 10, 50, 30);  // no picture: the frame alone
  DrawFilterGraph(Take(bare, s), bare);
  EXPECT_EQ(Px(400, 10), kGraphFrame);
  EXPECT_EQ(Px(420, 20), kBackground);
}

// The filter page rebuilds the design on the interface thread while the
// graph draws on the video thread: the draw takes the last build whole.
TEST_F(GraphTest, FilterGraphDrawsWhileTheDesignIsRebuilt) {
  InstallWindowFunctions();
  const int32_t f = Make(200, 10, 106, 46);
  C(f)->Colour = kBack;
  AddLayer(f, 100, 40);
  Snapshot s;
  V::RenderRecord* snap = Take(f, s);
  FirDesign.FirSourceEntry = -1;
  FirDesign.FirWidth = 4;
  std::atomic<bool> stop{false};
  std::atomic<int32_t> draws{0};
  std::thread video([&] {
    while (!stop.load()) {
      DrawFilterGraph(snap, f);
      draws.fetch_add(1);
    }
  });
  for (int32_t round = 0; round < 400 || draws.load() < 20; ++round) {
    FirDesign.FirTapCount = 8 + round % 100;
    FirDesign.FirWindowIndex = round % kWindowFunctionCount;
    BuildFirKernel(-1);
  }
  stop = true;
  video.join();
  EXPECT_GE(draws.load(), 20);
}

}  // namespace
}  // namespace viewsb

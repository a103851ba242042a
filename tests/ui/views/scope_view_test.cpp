// The scope and spectrum view, the output power strip and the MIDI monitor.
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "app/startup.h"
#include "app/state/system_messages.h"
#include "audio/meters.h"
#include "audio/midi.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/views/power_midi_views.h"
#include "ui/views/scope_view.h"
#include "ui/views/sysbar_views.h"
#include "visuals/colours.h"
#include "visuals/dirty_region.h"
#include "visuals/video_thread.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

float* Block(int32_t n, float value) {
  auto* b = static_cast<float*>(std::malloc(n * sizeof(float)));
  std::fill(b, b + n, value);
  return b;
}

// The scope's clock: time passes only where a test moves it.
double g_now = 1000.0;
double TestClock() { return g_now; }

class ScopeTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    SetScopeClock(TestClock);
    ScopeSampleWindow = static_cast<uint8_t*>(std::calloc(kScopeSampleWindowBytes, 1));
    SpectrumWorkBuffer = static_cast<uint8_t*>(std::calloc(kSpectrumWorkBytes, 1));
    PowerHistoryRing = static_cast<float*>(std::calloc(kPowerHistoryFloats, sizeof(float)));
    ScopeBlockRingFree();
    ScopeState = ScopePacing{};
    ScopeMode.store(1);
    PlaybackActive.store(-1);
    RateWhole = 48000;
  }
  void TearDown() override {
    ScopeBlockRingFree();
    std::free(ScopeSampleWindow);
    std::free(SpectrumWorkBuffer);
    std::free(PowerHistoryRing);
    ScopeSampleWindow = SpectrumWorkBuffer = nullptr;
    PowerHistoryRing = nullptr;
    ResetPowerHistory(0);
    ScopeMode.store(0);
    PlaybackActive.store(0);
    Settings.DisplayMidiInput.Store(0);
    SetScopeClock(nullptr);
    ViewTest::TearDown();
  }
  // As the system-message handler stores the audio thread's blocks.
  static void Report(float* block, int32_t length) {
    const int32_t slot = (ScopeBlockRing.newest + 1) % kScopeBlockSlots;
    ScopeBlockRing.newest = slot;
    ScopeBlockRing.blocks[slot] = block;
    ScopeBlockRing.lengths[slot] = length;
  }
  static int32_t BlocksInRing() {
    return static_cast<int32_t>(std::count_if(std::begin(ScopeBlockRing.blocks),
                                              std::end(ScopeBlockRing.blocks),
                                              [](float* b) { return b != nullptr; }));
  }
  // A frame with no time passed since the previous one: nothing is advanced.
  void Frame(int32_t id) {
    Snapshot s;
    ScopeState.previousTime = g_now;
    DrawScope(Take(id, s), id);
  }
};

TEST_F(ScopeTest, DrainOrderLimitAndABufferThatNeverOverflows) {
  const int32_t id = Make(0, 0, 400, 200);
  for (int32_t k = 1; k <= 5; ++k) Report(Block(4096, static_cast<float>(k)), 4096);
  // Off, or audio output off: the ring is left alone and nothing is drawn.
  for (int mode : {0, 1}) {
    ScopeMode.store(mode);
    PlaybackActive.store(mode == 0 ? -1 : 0);
    Frame(id);
    EXPECT_EQ(BlocksInRing(), 5);
    EXPECT_EQ(Px(200, 100), kBackground);
  }
  ScopeMode.store(1);
  PlaybackActive.store(-1);
  Frame(id);
  // Newest first until the total passes 8192 (5, 4, 3); the two oldest stay.
  EXPECT_EQ(BlocksInRing(), 2);
  // Appended oldest first, then 4096 dropped above 8191: blocks 4 and 5 in order.
  int32_t n = ScopeState.count;
  ASSERT_EQ(n, 8192);
  EXPECT_EQ(ScopeBuffer()[0], 4.0f);
  EXPECT_EQ(ScopeBuffer()[n - 4097], 4.0f);
  EXPECT_EQ(ScopeBuffer()[n - 4096], 5.0f);

  // A nearly full buffer makes room for the block by dropping its oldest floats.
  ScopeBlockRingFree();
  ScopeState.count = 32000;
  float* block = Block(4000, 1.0f);
  block[3999] = 7.0f;
  Report(block, 4000);
  Frame(id);
  n = ScopeState.count;
  ASSERT_LE(n, kScopeBufferFloats - 4096);
  EXPECT_EQ(ScopeBuffer()[n - 1], 7.0f);
}

TEST_F(ScopeTest, AdvanceKeepsStereoFramesAndItsDebtBounded) {
  const int32_t id = Make(0, 0, 400, 200);
  ScopeMode.store(5);  // no painter: only the buffer moves
  for (int32_t i = 0; i < 9000; ++i) ScopeBuffer()[i] = (i % 2 == 0) ? 1.0f : -1.0f;
  ScopeState.count = 9000;
  Frame(id);
  EXPECT_EQ(ScopeBuffer()[0], 1.0f);  // still a left sample first
  // Long pauses with too little sound: the owed advance stays within the buffer.
  ScopeState.count = 100;
  for (int i = 0; i < 2000; ++i) {
    Snapshot s;
    ScopeState.previousTime = g_now - 1000.0;
    DrawScope(Take(id, s), id);
  }
  EXPECT_LE(ScopeState.deferred, kScopeBufferFloats);
}

TEST_F(ScopeTest, WaveformAndXyMarkers) {
  const int32_t id = Make(0, 0, 400, 200);
  Snapshot s;
  V::RenderRecord* r = Take(id, s);
  // half = 95, centre line at 100, left edge at u = 5; 47.5 rounds to 48.
  const float pair[2] = {0.5f, -0.5f};
  DrawScopeWaveform(r, pair, 2);
  EXPECT_EQ(Px(6, 53), 0xFFC80000u);  // left marker's centre
  EXPECT_EQ(Px(5, 52), 0xFF460000u);  // its corner
  EXPECT_EQ(Px(6, 149), 0xFF0000C8u);
  // On two monitors the trace keeps to the first one: 2 x (200 - 3) / 4 apart.
  MonitorsSpanned = 2;
  DesktopWidth = 200;
  const float silent[4] = {};
  DrawScopeWaveform(r, silent, 4);
  MonitorsSpanned = 1;
  EXPECT_EQ(Px(105, 101), 0xFFC800C8u);  // nearest(5 + 98.5)
  EXPECT_EQ(Px(201, 101), kBackground);

  // X-Y: of four pairs only the last (the newer half) shows, green plus
  // magenta at 84 / 255, about the centre (200, 100).
  platform::ImageFill(canvas, kBackground);
  const float xy[8] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -0.5f, -0.5f};
  DrawScopeXY(r, xy, 8);
  EXPECT_EQ(Px(249, 53), kBackground);
  EXPECT_EQ(Px(153, 149), 0xFF54FF54u);
}

TEST_F(ScopeTest, MirrorKeepsToRedAndGreen) {
  const int32_t id = Make(0, 0, 400, 200);
  Snapshot s;
  // Jumps longer than the area's diagonal, and a sample that is not a number.
  std::vector<float> w(64);
  for (size_t i = 0; i < w.size(); ++i) w[i] = (i % 4 < 2) ? 8.0f : -8.0f;
  w[10] = NAN;
  DrawScopeMirror(Take(id, s), w.data(), 64);
  for (int32_t y = 0; y < 200; ++y)
    for (int32_t x = 0; x < 400; ++x) ASSERT_EQ(Px(x, y) & 0xFF0000FFu, 0xFF000000u);
}

TEST_F(ScopeTest, SpectrumBarsFromBothEdges) {
  const int32_t id = Make(0, 0, 1000, 518);
  Snapshot s;
  V::RenderRecord* r = Take(id, s);
  std::vector<float> w(4096, 0.0f);
  DrawScopeSpectrum(r, w.data(), 4095);  // not a full window: nothing
  EXPECT_EQ(Px(3, 514), kBackground);
  // A full-scale sine on bin 16 of the left channel; one row per bin from row 514.
  for (int32_t i = 0; i < 2048; ++i) w[2 * i] = static_cast<float>(std::sin(2.0 * M_PI * 16.0 * i / 2048.0));
  DrawScopeSpectrum(r, w.data(), 4096);
  const auto rightmost = [this](int32_t y) {
    int32_t last = -1;
    for (int32_t x = 0; x < 500; ++x)
      if (Px(x, y) != kBackground) last = x;
    return last;
  };
  EXPECT_EQ(rightmost(514 - 15), 3 + 420 + 1);  // 0 dB: 420 pixels whatever the width
  EXPECT_EQ(rightmost(514 - 5), 3 + 1);         // -80 dB and below: length 0
  EXPECT_EQ(Px(996, 474), V::HueToRgb(0.25f));  // the silent right channel at its edge
  // Another window is analysed anew: silence again lies at the edge.
  platform::ImageFill(canvas, kBackground);
  std::fill(w.begin(), w.end(), 0.0f);
  DrawScopeSpectrum(r, w.data(), 4096);
  EXPECT_EQ(rightmost(514 - 15), 3 + 1);
}

// --- The power strip and the MIDI monitor -------------------------------------------

void PowerEntry(float l1, float l2, float ldb, float r1, float r2, float rdb) {
  const float e[6] = {l1, l2, ldb, r1, r2, rdb};
  std::memcpy(PowerHistoryRing + PowerHistoryWrite, e, sizeof e);
  PowerHistoryWrite = (PowerHistoryWrite + 6) % kPowerHistoryFloats;
  ++PowerHistoryCount;
}

TEST_F(ScopeTest, PowerColumnsSpreadFromTheCentre) {
  const int32_t id = Make(0, 0, 100, 60);
  PowerEntry(-0.5f, 0.5f, 0.0f, 0.0f, 0.0f, -140.0f);  // left at 0 dB, right silent
  Snapshot s;
  DrawPowerHistory(Take(id, s), id);
  EXPECT_EQ(PowerHistoryLength, 6 * 47);
  EXPECT_EQ(PowerDisplayHistory[6 * 46 + 5], -140.0f);  // untouched entries at the floor
  EXPECT_EQ(PowerHistoryCount, 0);
  // cx = 50, cy = 30, A = 27: the power bar over the whole amplitude, the span over it.
  EXPECT_EQ(Px(49, 4), 0xFF640000u);
  EXPECT_EQ(Px(49, 56), 0xFF640000u);
  EXPECT_EQ(Px(49, 16), 0xFFFF0000u);
  EXPECT_EQ(Px(51, 30), 0xFF0000FFu);  // silence: only the empty span
  EXPECT_EQ(Px(51, 29), 0x00000000u);
  EXPECT_EQ(Px(50, 20), 0xFF0A2A4Du);  // centre line
  // The next report moves it one column out.
  PowerEntry(0.0f, 0.0f, -140.0f, 0.0f, 0.0f, -140.0f);
  DrawPowerHistory(Take(id, s), id);
  EXPECT_EQ(Px(48, 4), 0xFF640000u);
  EXPECT_EQ(Px(49, 4), 0x00000000u);

  // Resizing clears; reports that are not numbers or more than the ring holds
  // do no harm; too narrow for one entry draws the cleared box only.
  V::ControlSetW(C(id), 80);
  DrawPowerHistory(Take(id, s), id);
  EXPECT_EQ(PowerHistoryLength, 6 * 37);
  EXPECT_EQ(PowerDisplayHistory[2], -140.0f);
  PowerEntry(NAN, INFINITY, NAN, -INFINITY, 2.0f, 1e30f);
  PowerHistoryCount = 5000;
  DrawPowerHistory(Take(id, s), id);
  EXPECT_EQ(PowerHistoryCount, 0);
  V::ControlSetW(C(id), 7);
  EXPECT_EQ(DrawPowerHistory(Take(id, s), id), 0);
}

TEST_F(ScopeTest, MidiMonitorShowsTheLastMessageWhileEnabled) {
  const int32_t id = Make(10, 10, 260, 26);
  platform::Image* layer = AddLayer(id, 254, 20);
  C(id)->Text.TextSize = 14;
  QUARLE_AUDIO::LastMidiMessage.Message = {0, 0x90u | (60u << 8) | (100u << 16), 0};
  QUARLE_AUDIO::LastMidiMessage.NewMessage = -1;
  Snapshot s;
  DrawMidiInputMonitor(Take(id, s), id);  // off: nothing, the message stays new
  EXPECT_EQ(QUARLE_AUDIO::LastMidiMessage.NewMessage, -1);
  EXPECT_EQ(Covered(layer), 0);

  Settings.DisplayMidiInput.Store(-1);
  DrawMidiInputMonitor(Take(id, s), id);
  EXPECT_EQ(QUARLE_AUDIO::LastMidiMessage.NewMessage, 0);
  EXPECT_EQ(C(id)->Text.LayoutWidth, V::TextWidth("Dev.0  Ch.0 Code 9 {60,100}", &V::TextFont, 14));
  EXPECT_GT(Covered(layer), 50);
}


// A box of the plane that counts its draws.
std::map<int32_t, int> g_boxDraws;
int32_t CountedBox(V::RenderRecord* snap, int32_t id) {
  ++g_boxDraws[id];
  platform::DrawBox(V::DrawTarget, snap->X, snap->Y, snap->W, snap->H, snap->Colour);
  return 0;
}

std::vector<uint32_t> ShownPage(int64_t pixels) {
  platform::WorkPageGuard page;
  const uint32_t* p = platform::ScreenPagePixels(1);
  return std::vector<uint32_t>(p, p + pixels);
}

// Pixels where a partial frame's page differs from the same frame drawn whole
// from the same state: the scope's buffer and pacing put back as they were
// before it, and `report` handing over the same sound again.
int32_t DifferingFromWhole(const std::vector<uint32_t>& partial, const std::vector<float>& buffer,
                           const ScopePacing& before, const std::function<void()>& report) {
  std::copy(buffer.begin(), buffer.end(), ScopeBuffer());
  ScopeState = before;
  report();
  V::MarkAllControlsDirty();
  V::RenderFrame(true);
  const std::vector<uint32_t> whole = ShownPage(static_cast<int64_t>(partial.size()));
  int32_t differing = 0;
  for (size_t i = 0; i < whole.size(); ++i) differing += partial[i] != whole[i];
  return differing;
}

// While a note plays, the scope and the output meter redraw only their own
// parts of the screen (the scope the band its trace reaches), and every such
// partial frame shows what a whole redraw of the same state shows, also while
// the sound grows quieter and the old, taller trace has to go.
TEST_F(ScopeTest, PartialFramesWhilePlayingShowWhatWholeFramesShow) {
  constexpr int32_t kW = 1200, kH = 700;
  ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
  platform::ScreenSetPages(0, 1);
  V::DrawTarget = nullptr;
  const int32_t scope = Make(0, 40, kW, 560);
  C(scope)->DrawCallback = DrawScope;
  // Boxes of the plane over the scope: one the loud trace crosses, one far
  // from the centre line that only a whole-scope redraw would reach.
  const int32_t crossed = Make(300, 280, 200, 100);
  const int32_t far = Make(700, 60, 200, 60);
  for (int32_t id : {crossed, far}) C(id)->DrawCallback = CountedBox;
  C(crossed)->Colour = 0xFF204060u;
  C(far)->Colour = 0xFF604020u;
  const int32_t meter = Make(900, 5, 120, 24);
  C(meter)->DrawCallback = DrawOutputMeter;
  for (int32_t id : {0, scope, crossed, far, meter}) V::UpdateControl(id, 0);
  V::AddLiveDrawCallback(DrawScope, ScopeHasNews, ScopeRedrawArea);
  V::AddLiveDrawCallback(DrawOutputMeter, OutputMeterNews);
  RateWhole = 0;  // the window moves by the sound that arrived, not by the frames' time
  V::RenderFrame(true);

  std::vector<float> buffer(kScopeBufferFloats);
  constexpr int32_t kBlock = 960;
  constexpr int32_t kFrames = 22;
  int farWhileLoud = 0, farAtTheEnd = 0;
  for (int32_t frame = 0; frame < kFrames; ++frame) {
    SCOPED_TRACE(frame);
    const float amp = frame < 4 ? 0.9f : (frame < 8 ? 0.3f : 0.05f);
    std::vector<float> sound(kBlock);
    for (int32_t i = 0; i < kBlock / 2; ++i) {
      const double t = (frame * kBlock / 2 + i) * 0.031;
      sound[2 * i] = amp * static_cast<float>(std::sin(t));
      sound[2 * i + 1] = amp * static_cast<float>(std::cos(1.3 * t));
    }
    QUARLE_AUDIO::OutputMeters[0] = {-60.0f + 60.0f * amp, -amp, amp};
    QUARLE_AUDIO::OutputMeters[1] = {-70.0f + 60.0f * amp, -amp * 0.5f, amp * 0.5f};
    std::copy_n(ScopeBuffer(), kScopeBufferFloats, buffer.begin());
    const ScopePacing before = ScopeState;
    const auto report = [&] {
      float* block = static_cast<float*>(std::malloc(kBlock * sizeof(float)));
      std::copy(sound.begin(), sound.end(), block);
      Report(block, kBlock);
    };

    report();
    g_boxDraws.clear();
    V::RenderFrame(false);
    if (frame < 4) farWhileLoud += g_boxDraws[far];
    // Long after the loud sound left the buffer the trace keeps near its line.
    if (frame >= kFrames - 5) farAtTheEnd += g_boxDraws[far];
    const std::vector<uint32_t> partial = ShownPage(int64_t{kW} * kH);

    EXPECT_EQ(DifferingFromWhole(partial, buffer, before, report), 0);
  }
  EXPECT_GT(farWhileLoud, 0);
  EXPECT_EQ(farAtTheEnd, 0);
  V::ClearLiveDrawCallbacks();
  platform::ScreenClose();
}

// The areas the scope's view names for each frame (0 and below: none or all).
std::vector<int32_t> g_areaCounts;
int64_t g_areaPixels = 0;
// The pixels the areas' row spans hold (all of an area without spans).
int64_t g_rowPixels = 0;
int32_t CountedArea(const platform::ScreenRect& c, platform::ScreenRect* areas) {
  const int32_t n = ScopeRedrawArea(c, areas);
  g_areaCounts.push_back(n);
  for (int32_t i = 0; i < n; ++i) {
    g_areaPixels += int64_t{areas[i].w} * areas[i].h;
    const int32_t* rows = ScopeRedrawRows(i);
    for (int32_t r = 0; r < areas[i].h; ++r) {
      if (!rows) {
        g_rowPixels += areas[i].w;
        continue;
      }
      EXPECT_LE(areas[i].x, rows[2 * r]);
      EXPECT_LE(rows[2 * r], rows[2 * r + 1]);
      EXPECT_LE(rows[2 * r + 1], areas[i].x + areas[i].w);
      g_rowPixels += rows[2 * r + 1] - rows[2 * r];
    }
  }
  return n;
}

// Every visualization mode while a quiet note plays: a frame redraws only the
// band the mode's picture reaches (a box of the plane away from the centre and
// the edges is never drawn again), shows what a whole frame of the same state
// shows, and draws nothing at all while no sound moves its window.
TEST_F(ScopeTest, EachModeRedrawsOnlyItsBandAndNothingWhileItsWindowStays) {
  constexpr int32_t kW = 1200, kH = 700;
  ASSERT_TRUE(platform::ScreenOpen(kW, kH, 32, 2, 0, 0));
  platform::ScreenSetPages(0, 1);
  V::DrawTarget = nullptr;
  const int32_t scope = Make(0, 40, kW, 560);
  C(scope)->DrawCallback = DrawScope;
  const int32_t far = Make(450, 60, 250, 60);
  C(far)->DrawCallback = CountedBox;
  C(far)->Colour = 0xFF604020u;
  for (int32_t id : {0, scope, far}) V::UpdateControl(id, 0);
  V::AddLiveDrawCallback(DrawScope, ScopeHasNews, CountedArea, ScopeRedrawRows);
  RateWhole = 0;  // the window moves by the sound that arrived, not by the frames' time

  struct Case {
    int32_t mode;
    int32_t areas;     // per frame once the last frame's band is known
    float noise;       // added to the tones: a spectrum contour that zigzags
    bool rows;         // the areas are redrawn along row spans
  };
  constexpr int32_t kBlock = 960, kFrames = 24;
  uint32_t seed = 99;
  for (const Case& k : {Case{1, 1, 0.0f, false}, Case{2, 1, 0.0f, false}, Case{3, 1, 0.0f, false},
                        Case{4, 2, 0.0f, true}, Case{4, 2, 0.05f, true}}) {
    SCOPED_TRACE(k.mode);
    SCOPED_TRACE(k.noise);
    ScopeMode.store(0);
    V::RenderFrame(false);
    ScopeMode.store(k.mode);
    V::RenderFrame(false);  // the switch draws all of it
    g_areaCounts.clear();
    g_areaPixels = 0;
    g_rowPixels = 0;
    int farDraws = 0, framesShown = 0;
    std::vector<float> buffer(kScopeBufferFloats);
    for (int32_t frame = 0; frame < kFrames; ++frame) {
      SCOPED_TRACE(frame);
      std::vector<float> sound(kBlock);
      for (int32_t i = 0; i < kBlock / 2; ++i) {
        const double t = ((k.mode * kFrames + frame) * kBlock / 2 + i) * 0.031;
        sound[2 * i] = 0.08f * static_cast<float>(std::sin(t));
        sound[2 * i + 1] = 0.06f * static_cast<float>(std::cos(1.3 * t));
        for (int32_t ch = 0; ch < 2; ++ch) {
          seed = seed * 1103515245u + 12345u;
          sound[2 * i + ch] += k.noise * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
        }
      }
      std::copy_n(ScopeBuffer(), kScopeBufferFloats, buffer.begin());
      const ScopePacing before = ScopeState;
      const auto report = [&] {
        float* block = static_cast<float*>(std::malloc(kBlock * sizeof(float)));
        std::copy(sound.begin(), sound.end(), block);
        Report(block, kBlock);
      };
      report();
      g_boxDraws.clear();
      // The first frame drawn after the switch has no band of the last one yet.
      const bool bandKnown = !g_areaCounts.empty();
      framesShown += V::RenderFrame(false) > 0;
      if (bandKnown) farDraws += g_boxDraws[far];
      const std::vector<uint32_t> partial = ShownPage(int64_t{kW} * kH);

      EXPECT_EQ(DifferingFromWhole(partial, buffer, before, report), 0);
    }
    EXPECT_EQ(farDraws, 0);
    EXPECT_GE(framesShown, 3);
    ASSERT_GE(g_areaCounts.size(), 3u);
    EXPECT_EQ(g_areaCounts[0], -1);
    for (size_t i = 1; i < g_areaCounts.size(); ++i) EXPECT_EQ(g_areaCounts[i], k.areas);
    // Well under half of the control per frame, even for the spectrum's strips;
    // along its contours a small part of the strips.
    EXPECT_LT(g_areaPixels / static_cast<int64_t>(g_areaCounts.size() - 1), kW * 560 / 2);
    if (k.rows)
      EXPECT_LT(g_rowPixels * 3, g_areaPixels);
    else
      EXPECT_EQ(g_rowPixels, g_areaPixels);

    // No sound arrives: the window stays, and nothing is marked or drawn.
    g_areaCounts.clear();
    for (int32_t frame = 0; frame < 3; ++frame) {
      g_boxDraws.clear();
      EXPECT_EQ(V::RenderFrame(false), 0);
      EXPECT_TRUE(g_boxDraws.empty());
    }
    EXPECT_TRUE(g_areaCounts.empty());
  }
  V::ClearLiveDrawCallbacks();
  platform::ScreenClose();
}

}  // namespace
}  // namespace viewsb

// The scope and spectrum view, the output power strip and the MIDI monitor.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "app/state/system_messages.h"
#include "audio/midi.h"
#include "engine/catalog/engine_init.h"
#include "engine/globals.h"
#include "platform/threads.h"
#include "tests/ui/views/views_b_fixture.h"
#include "ui/views/power_midi_views.h"
#include "ui/views/scope_view.h"
#include "visuals/colours.h"

namespace viewsb {
namespace {

using namespace Tarvelo;

float* NewBlock(std::initializer_list<float> values) {
  auto* b = static_cast<float*>(std::malloc(values.size() * sizeof(float)));
  std::copy(values.begin(), values.end(), b);
  return b;
}
float* NewBlock(int32_t n, float value) {
  auto* b = static_cast<float*>(std::malloc(n * sizeof(float)));
  for (int32_t i = 0; i < n; ++i) b[i] = value;
  return b;
}

class ScopeTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
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
    delete[] PowerDisplayHistory;
    PowerDisplayHistory = nullptr;
    PowerHistoryLength = 0;
    ScopeMode.store(0);
    PlaybackActive.store(0);
    Settings.DisplayMidiInput = 0;
    ViewTest::TearDown();
  }
  // Puts blocks into the ring as the system-message handler does, oldest first.
  static void Report(float* block, int32_t length) {
    int32_t slot = ScopeBlockRing.newest + 1;
    if (slot >= kScopeBlockSlots) slot = 0;
    ScopeBlockRing.newest = slot;
    std::free(ScopeBlockRing.blocks[slot]);
    ScopeBlockRing.blocks[slot] = block;
    ScopeBlockRing.lengths[slot] = length;
  }
  static int32_t BlocksInRing() {
    int32_t n = 0;
    for (float* b : ScopeBlockRing.blocks) n += b != nullptr;
    return n;
  }
  int32_t Scope() {
    const int32_t id = Make(0, 0, 1000, 518);
    return id;
  }
  void DrawNow(int32_t id) {
    Snapshot s;
    Take(id, s);
    ScopeState.previousTime = platform::HighResClock();
    EXPECT_EQ(DrawScope(s.get(), id), 0);
  }
};

TEST_F(ScopeTest, OffOrSilentDrawsNothingAndLeavesTheRing) {
  const int32_t id = Scope();
  Report(NewBlock({0.5f, 0.5f}), 2);
  for (int mode : {0, 1}) {
    ScopeMode.store(mode);
    PlaybackActive.store(mode == 0 ? -1 : 0);
    DrawNow(id);
    EXPECT_EQ(BlocksInRing(), 1);
    EXPECT_EQ(ScopeState.count, 0);
  }
  for (int32_t y = 0; y < 518; y += 7)
    for (int32_t x = 0; x < 1000; x += 7) ASSERT_EQ(Px(x, y), kBackground);
}

TEST_F(ScopeTest, DrainsNewestBlocksUpToTheLimitAndAppendsOldestFirst) {
  const int32_t id = Scope();
  // Five blocks of 4096 floats, each filled with its number.
  for (int32_t k = 1; k <= 5; ++k) Report(NewBlock(4096, static_cast<float>(k)), 4096);
  DrawNow(id);
  // Newest (5), then 4, then 3 take the total past 8192: the two oldest stay.
  EXPECT_EQ(BlocksInRing(), 2);
  EXPECT_NE(ScopeBlockRing.blocks[1], nullptr);
  EXPECT_NE(ScopeBlockRing.blocks[2], nullptr);
  // 12,288 floats, less the 4096 dropped above 8191 (and the few frames of
  // the time the draw took): blocks 4 and 5 remain in order.
  const int32_t n = ScopeState.count;
  ASSERT_LE(n, 8192);
  ASSERT_GE(n, 8192 - 64);
  EXPECT_EQ(ScopeBuffer()[0], 4.0f);
  EXPECT_EQ(ScopeBuffer()[n - 4096], 5.0f);
  EXPECT_EQ(ScopeBuffer()[n - 4097], 4.0f);
}

TEST_F(ScopeTest, BufferNeverOverflowsAndKeepsTheNewestFloats) {
  const int32_t id = Scope();
  ScopeState.count = 32000;
  std::vector<float> tail(4000);
  for (int32_t i = 0; i < 4000; ++i) tail[i] = static_cast<float>(i);
  float* block = static_cast<float*>(std::malloc(4000 * sizeof(float)));
  std::memcpy(block, tail.data(), 4000 * sizeof(float));
  Report(block, 4000);
  DrawNow(id);
  ASSERT_LE(ScopeState.count, kScopeBufferFloats - 4096);
  ASSERT_GE(ScopeState.count, kScopeBufferFloats - 4096 - 64);
  EXPECT_EQ(ScopeBuffer()[ScopeState.count - 1], 3999.0f);
}

TEST_F(ScopeTest, AdvanceKeepsStereoPairsAndTheOwedAdvanceBounded) {
  const int32_t id = Scope();
  ScopeMode.store(5);  // a mode without a painter: only the buffer moves
  float* buffer = ScopeBuffer();
  for (int32_t i = 0; i < 9000; ++i) buffer[i] = (i % 2 == 0) ? 1.0f : -1.0f;
  ScopeState.count = 9000;
  DrawNow(id);
  // The trim dropped whole frames: the window still starts on a left sample.
  EXPECT_EQ(buffer[0], 1.0f);
  EXPECT_EQ(ScopeState.count % 2, 0);

  // Long pauses between frames with too little sound: the owed advance stays
  // within the buffer however long it goes on.
  ScopeState.count = 100;
  for (int i = 0; i < 2000; ++i) {
    Snapshot s;
    Take(id, s);
    ScopeState.previousTime = platform::HighResClock() - 1000.0;
    DrawScope(s.get(), id);
  }
  EXPECT_LE(ScopeState.deferred, kScopeBufferFloats);
  EXPECT_TRUE(std::isfinite(ScopeState.deferred));
}

TEST_F(ScopeTest, WaveformMarkersSitAtTheirSamples) {
  const int32_t id = Make(0, 0, 400, 200);
  Snapshot s;
  Take(id, s);
  const float window[2] = {0.5f, -0.5f};
  DrawScopeWaveform(s.get(), window, 2);
  // half = 95, centre line at 100, left edge at u = 5: left 0.5 rises 48 rows
  // (47.5 to even), right -0.5 falls 48; the marker's centre is one pixel in.
  EXPECT_EQ(Px(6, 53), 0xFFC80000u);
  EXPECT_EQ(Px(5, 52), 0xFF460000u);
  EXPECT_EQ(Px(6, 149), 0xFF0000C8u);
  EXPECT_EQ(Px(6, 100), kBackground);

  // Spread over two monitors the trace keeps to the first monitor's width:
  // two pairs step 2 x (200 - 0 - 3) / 4 = 98.5 pixels apart.
  MonitorsSpanned = 2;
  DesktopWidth = 200;
  const float two[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  DrawScopeWaveform(s.get(), two, 4);
  MonitorsSpanned = 1;
  EXPECT_EQ(Px(5 + 1, 101), 0xFFC800C8u);  // both channels on the centre line
  EXPECT_EQ(Px(104 + 1, 101), 0xFFC800C8u);  // nearest(5 + 98.5)
  EXPECT_EQ(Px(200 + 1, 101), kBackground);
}

TEST_F(ScopeTest, XyShowsOnlyTheNewerHalf) {
  const int32_t id = Make(0, 0, 400, 200);
  Snapshot s;
  Take(id, s);
  // Four pairs; the first three (i/m = 0, 0.25, 0.5) are the older half.
  const float window[8] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, -0.5f, -0.5f};
  DrawScopeXY(s.get(), window, 8);
  // hx = 195, hy = 95: centre (200, 100); markers scaled by the half height.
  const int32_t older = 200 + 48, newer = 200 - 48;
  EXPECT_EQ(Px(older + 1, 100 - 48 + 1), kBackground);
  // Green at full weight plus magenta at 84/255.
  EXPECT_EQ(Px(newer + 1, 100 + 48 + 1), 0xFF54FF54u);
}

TEST_F(ScopeTest, MirrorStaysWithinItsColours) {
  const int32_t id = Make(0, 0, 400, 200);
  Snapshot s;
  Take(id, s);
  // Jumps longer than the area's diagonal and samples that are not numbers.
  std::vector<float> window(64);
  for (size_t i = 0; i < window.size(); ++i) window[i] = (i % 4 < 2) ? 8.0f : -8.0f;
  window[10] = NAN;
  DrawScopeMirror(s.get(), window.data(), static_cast<int32_t>(window.size()));
  for (int32_t y = 0; y < 200; ++y)
    for (int32_t x = 0; x < 400; ++x) ASSERT_EQ(Px(x, y) & 0xFF0000FFu, 0xFF000000u) << x << "," << y;
}

TEST_F(ScopeTest, SpectrumBarsFromBothEdges) {
  const int32_t id = Scope();
  Snapshot s;
  Take(id, s);
  std::vector<float> window(4096, 0.0f);
  DrawScopeSpectrum(s.get(), window.data(), 4095);  // not a full window
  EXPECT_EQ(Px(3, 514), kBackground);

  // A full-scale sine on bin 16 of the left channel, silence on the right.
  const double pi = 3.14159265358979323846;
  for (int32_t i = 0; i < 2048; ++i) window[2 * i] = static_cast<float>(std::sin(2.0 * pi * 16.0 * i / 2048.0));
  DrawScopeSpectrum(s.get(), window.data(), 4096);
  // h - 2B = 512 rows for 1024 half-steps: one row per bin from the bottom
  // row 514. Bin 16 at 0 dB reaches 420 pixels (plus the second line's one)
  // whatever the width; the silent bins around it stay at the left edge.
  const auto rightmost = [this](int32_t y) {
    int32_t last = -1;
    for (int32_t x = 0; x < 500; ++x)
      if (Px(x, y) != kBackground) last = x;
    return last;
  };
  EXPECT_EQ(rightmost(514 - 15), 3 + 420 + 1);
  EXPECT_EQ(rightmost(514 - 5), 3 + 1);
  // Silent bins (-80 dB and below) stay at the edges: left edge x0, right edge.
  EXPECT_EQ(Px(3, 514 - 40), QUARLE_VISUALS::HueToRgb(0.25f));
  EXPECT_EQ(Px(3 + 994 - 1, 514 - 40), QUARLE_VISUALS::HueToRgb(0.25f));
}

// --- The power strip ----------------------------------------------------------

class PowerTest : public ScopeTest {
 protected:
  static void Entry(float l1, float l2, float ldb, float r1, float r2, float rdb) {
    const float e[6] = {l1, l2, ldb, r1, r2, rdb};
    std::memcpy(PowerHistoryRing + PowerHistoryWrite, e, sizeof e);
    PowerHistoryWrite = (PowerHistoryWrite + 6) % kPowerHistoryFloats;
    ++PowerHistoryCount;
  }
};

TEST_F(PowerTest, ResetFillsTheDbSlotsWithTheFloor) {
  ResetPowerHistory(12);
  ASSERT_NE(PowerDisplayHistory, nullptr);
  EXPECT_EQ(PowerHistoryLength, 12);
  EXPECT_EQ(PowerDisplayHistory[2], -140.0f);
  EXPECT_EQ(PowerDisplayHistory[5], -140.0f);
  EXPECT_EQ(PowerDisplayHistory[11], -140.0f);
  EXPECT_EQ(PowerDisplayHistory[0], 0.0f);
}

TEST_F(PowerTest, NewestEntryNextToTheCentre) {
  const int32_t id = Make(0, 0, 100, 60);
  // Left at 0 dB with a span of -0.5..0.5; right silent.
  Entry(-0.5f, 0.5f, 0.0f, 0.0f, 0.0f, -140.0f);
  Snapshot s;
  Take(id, s);
  DrawPowerHistory(s.get(), id);
  EXPECT_EQ(PowerHistoryLength, 6 * 47);
  EXPECT_EQ(PowerHistoryCount, 0);
  // cx = 50, cy = 30, A = 27: the power bar spans the whole amplitude.
  EXPECT_EQ(Px(49, 4), 0xFF640000u);
  EXPECT_EQ(Px(49, 56), 0xFF640000u);
  EXPECT_EQ(Px(49, 30), 0xFFFF0000u);
  EXPECT_EQ(Px(49, 16), 0xFFFF0000u);
  EXPECT_EQ(Px(49, 45), 0xFF640000u);
  // The silent right channel: only its (empty) span at the centre line.
  EXPECT_EQ(Px(51, 30), 0xFF0000FFu);
  EXPECT_EQ(Px(51, 29), 0x00000000u);
  EXPECT_EQ(Px(50, 20), 0xFF0A2A4Du);  // centre line
  EXPECT_EQ(Px(0, 0), 0xFF0A2A4Du);    // frame

  // The next frame moves it one column out.
  Entry(0.0f, 0.0f, -140.0f, 0.0f, 0.0f, -140.0f);
  Take(id, s);
  DrawPowerHistory(s.get(), id);
  EXPECT_EQ(Px(48, 4), 0xFF640000u);
  EXPECT_EQ(Px(49, 4), 0x00000000u);
}

TEST_F(PowerTest, ResizeClearsAndBadReportsAreHarmless) {
  int32_t id = Make(0, 0, 100, 60);
  Entry(-0.5f, 0.5f, 0.0f, 0.0f, 0.0f, 0.0f);
  Snapshot s;
  Take(id, s);
  DrawPowerHistory(s.get(), id);
  ASSERT_EQ(PowerDisplayHistory[2], 0.0f);
  QUARLE_VISUALS::ControlSetW(C(id), 80);
  QUARLE_VISUALS::UpdateControl(id, 0);
  Take(id, s);
  DrawPowerHistory(s.get(), id);
  EXPECT_EQ(PowerHistoryLength, 6 * 37);
  for (int32_t e = 0; e < 37; ++e) EXPECT_EQ(PowerDisplayHistory[6 * e + 2], -140.0f);

  // More reports than the ring holds, and values that are not numbers.
  Entry(NAN, INFINITY, NAN, -INFINITY, 2.0f, 1e30f);
  PowerHistoryCount = 5000;
  Take(id, s);
  DrawPowerHistory(s.get(), id);
  EXPECT_EQ(PowerHistoryCount, 0);

  // Too narrow for one entry: only the cleared box.
  id = Make(200, 0, 7, 60);
  Take(id, s);
  EXPECT_EQ(DrawPowerHistory(s.get(), id), 0);
}

// --- The MIDI monitor -----------------------------------------------------------

TEST_F(PowerTest, MidiMonitorShowsTheLastMessageWhileEnabled) {
  const int32_t id = Make(10, 10, 260, 26);
  platform::Image* layer = AddLayer(id, 254, 20);
  C(id)->Text.TextSize = 14;
  QUARLE_AUDIO::LastMidiMessage.Message = {0, 0x90u | (60u << 8) | (100u << 16), 0};
  QUARLE_AUDIO::LastMidiMessage.NewMessage = -1;

  Settings.DisplayMidiInput = 0;
  Snapshot s;
  Take(id, s);
  DrawMidiInputMonitor(s.get(), id);
  EXPECT_EQ(QUARLE_AUDIO::LastMidiMessage.NewMessage, -1);
  EXPECT_EQ(Covered(layer), 0);

  Settings.DisplayMidiInput = -1;
  Take(id, s);
  DrawMidiInputMonitor(s.get(), id);
  EXPECT_EQ(QUARLE_AUDIO::LastMidiMessage.NewMessage, 0);
  const std::string text = "Dev.0  Ch.0 Code 9 {60,100}";
  EXPECT_EQ(C(id)->Text.LayoutWidth, V::TextWidth(text, &V::TextFont, 14));
  EXPECT_GT(Covered(layer), 50);
  // The text stays on view in later frames.
  ClearCanvas();
  Take(id, s);
  DrawMidiInputMonitor(s.get(), id);
  int32_t lit = 0;
  for (int32_t y = 13; y < 33; ++y)
    for (int32_t x = 13; x < 267; ++x) lit += Px(x, y) != kBackground;
  EXPECT_GT(lit, 50);
}

}  // namespace
}  // namespace viewsb

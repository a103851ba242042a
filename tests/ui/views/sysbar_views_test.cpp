#include "ui/views/sysbar_views.h"

#include <cmath>

#include "app/documents/synth_file.h"
#include "audio/audio.h"
#include "audio/meters.h"
#include "basics/dynzstring.h"
#include "engine/globals.h"
#include "ui/views/control_drawing.h"
#include "views_a_fixture.h"
#include "visuals/event_loop.h"
#include "visuals/video_thread.h"

namespace {

using namespace Tarvelo;
using viewtest::Snap;
using viewtest::ViewTest;
namespace V = QUARLE_VISUALS;
namespace A = QUARLE_AUDIO;

double g_now = 5000.0;
int64_t g_bytes = 0;
double Clock() { return g_now; }
int64_t Memory() { return g_bytes; }

class SysbarTest : public ViewTest {
 protected:
  void SetUp() override {
    ViewTest::SetUp();
    ResetReadouts();
    g_now = 5000.0;
    SetReadoutClock(Clock);
    SetAvailableMemorySource(Memory);
    savedIn = InputGain;
    savedOut = OutputLevel;
    for (auto* m : {A::InputMeters, A::OutputMeters})
      for (int ch = 0; ch < 2; ++ch) m[ch] = {-140.0f, 0.0f, 0.0f};
  }
  void TearDown() override {
    SetReadoutClock(nullptr);
    SetAvailableMemorySource(nullptr);
    InputGain = savedIn;
    OutputLevel = savedOut;
    A::AudioLoad = 0.0f;
    ViewTest::TearDown();
  }
  std::string Tooltip(int32_t id) { return uitest::TipOf(id); }
  float savedIn = 1.0f, savedOut = 0.5f;
};

TEST_F(SysbarTest, ColourScales) {
  EXPECT_EQ(WorkloadColour(0.0f), 0xFF141419u);
  EXPECT_EQ(WorkloadColour(5.0f), 0xFF175DB0u);
  EXPECT_EQ(WorkloadColour(32.9f), 0xFF057805u);
  EXPECT_EQ(WorkloadColour(89.9f), 0xFFC89600u);
  EXPECT_EQ(WorkloadColour(99.9f), 0xFF960F0Fu);
  EXPECT_EQ(WorkloadColour(100.0f), 0xFFFF00FFu);

  for (int fps : {70, 200}) EXPECT_EQ(VideoRateColour(fps, 60), 0xFF175DB0u) << fps;
  for (int fps : {52, 69}) EXPECT_EQ(VideoRateColour(fps, 60), 0xFF057805u) << fps;
  for (int fps : {31, 51}) EXPECT_EQ(VideoRateColour(fps, 60), 0xFFC89600u) << fps;
  for (int fps : {0, 30}) EXPECT_EQ(VideoRateColour(fps, 60), 0xFF960F0Fu) << fps;

  EXPECT_EQ(ControlLoopColour(419), 0xFF960F0Fu);
  EXPECT_EQ(ControlLoopColour(420), 0xFFC89600u);
  EXPECT_EQ(ControlLoopColour(1259), 0xFF057805u);
  EXPECT_EQ(ControlLoopColour(1260), 0xFF175DB0u);

  EXPECT_EQ(AudioLoopColour(999, 48000), 0xFF141419u);
  EXPECT_EQ(AudioLoopColour(47999, 48000), 0xFF960F0Fu);
  EXPECT_EQ(AudioLoopColour(48000, 48000), 0xFFC89600u);
  EXPECT_EQ(AudioLoopColour(191999, 48000), 0xFF057805u);
  EXPECT_EQ(AudioLoopColour(192000, 48000), 0xFF175DB0u);

  EXPECT_EQ(MemoryColour(500), 0xFF057805u);
  EXPECT_EQ(MemoryColour(499), 0xFFD7AA14u);
  EXPECT_EQ(MemoryColour(99), 0xFFC86400u);
  EXPECT_EQ(MemoryColour(-1), 0xFFC80000u);
}

TEST_F(SysbarTest, MemoryReadoutTextAndRefreshRate) {
  const int32_t id = Make(0, 0, 80, 24, DrawMemoryReadout, nullptr, 17);
  AddLayer(id, 74, 18, 0);
  C(id)->Text.TextSize = 12;
  g_bytes = int64_t{1000} * 1048576;
  {
    Snap s;
    Take(id, s, 0);
    DrawMemoryReadout(s.get(), id);
    EXPECT_EQ(std::string(V::TextFieldGetText(&s->Text)), "0.97 GB");
  }
  EXPECT_EQ(At(40, 1), kColourNavy);  // flat frame
  EXPECT_EQ(At(4, 4), kColourGreen);
  EXPECT_GT(Coverage(C(id)->Layers[0]), 10);

  // Within the second: no query, the layer is not drawn again.
  g_bytes = int64_t{999} * 1048576;
  g_now += 0.5;
  ClearImage(C(id)->Layers[0], 73, 17);
  {
    Snap s;
    Take(id, s, -1);
    DrawMemoryReadout(s.get(), id);
    EXPECT_EQ(s->Text.Changed, 0);
  }
  EXPECT_EQ(Coverage(C(id)->Layers[0]), 0);

  g_now += 0.6;
  {
    Snap s;
    Take(id, s, 0);
    DrawMemoryReadout(s.get(), id);
    EXPECT_EQ(std::string(V::TextFieldGetText(&s->Text)), "999 MB");
  }
  EXPECT_EQ(At(4, 4), kColourGreen);

  // A clock that wrapped at midnight still refreshes.
  g_now = 3.0;
  g_bytes = 50 * 1048576;
  Draw(id);
  EXPECT_EQ(FreeMemoryMB, 50);
}

TEST_F(SysbarTest, LoadReadoutsPutTheirValueIntoTheTooltip) {
  const int32_t w = Make(0, 0, 20, 20, DrawWorkloadReadout, nullptr, 1);
  A::AudioLoad = 0.1234f;
  Draw(w);
  EXPECT_EQ(Tooltip(w), "The current audio workload is 12.3 %.");
  EXPECT_EQ(At(10, 10), 0xFF057805u);
  A::AudioLoad = 0.0f;
  g_now += 0.1;  // not yet due
  Draw(w);
  EXPECT_EQ(Tooltip(w), "The current audio workload is 12.3 %.");
  g_now += 0.3;
  Draw(w);
  EXPECT_EQ(Tooltip(w), "The current audio workload is 0 %.");
  EXPECT_EQ(At(10, 10), 0xFF141419u);

  const int32_t v = Make(30, 0, 20, 20, DrawVideoRateReadout, nullptr, 1);
  V::FrameRate = 58;
  V::TargetFps = 60;
  Draw(v);
  EXPECT_EQ(Tooltip(v), "The current video framerate is 58 Hz.");
  EXPECT_EQ(At(40, 10), 0xFF057805u);

  const int32_t c = Make(60, 0, 20, 20, DrawControlLoopReadout, nullptr, 1);
  V::LoopRate = 2000;
  C(c)->State.Active = -1;
  Draw(c);
  EXPECT_EQ(Tooltip(c), "Control interface loop speed is 2000 Hz.");
  EXPECT_EQ(At(70, 10), 0xFF175DB0u);
  EXPECT_EQ(At(60, 0), kColourFrameHover);
  V::LoopRate = 0;

  const int32_t a = Make(90, 0, 20, 20, DrawAudioLoopReadout, nullptr, 1);
  A::AudioPassesPerSecond = 500;
  Draw(a);
  EXPECT_EQ(Tooltip(a), "The current audio loop speed is 500 Hz.");
  A::AudioPassesPerSecond = 0;
}

TEST_F(SysbarTest, PowerSwitchesShowTheStateTheAudioThreadReported) {
  const int32_t in = Make(0, 0, 30, 20, DrawInputPowerSwitch);
  const int32_t out = Make(40, 0, 30, 20, DrawOutputPowerSwitch);
  C(in)->Colour = 0xFF123456;  // never used
  Draw(in);
  EXPECT_EQ(At(15, 10), kColourGrey);
  C(in)->State.On = -1;
  C(out)->State.On = -1;
  Draw(in);
  Draw(out);
  EXPECT_EQ(At(15, 10), 0xFF960F0Fu);
  EXPECT_EQ(At(55, 10), kColourGreen);
  C(out)->State.Pressed = -1;
  Draw(out);
  EXPECT_EQ(At(55, 10), kColourAmber);
  EXPECT_EQ(At(40, 0), V::FrameDarkColour(kColourFrameRest));  // sunken
}

TEST_F(SysbarTest, MetersShowLevelsPeaksAndGain) {
  // 106 wide: inner width 100, centre at x + 53.
  const int32_t id = Make(0, 0, 106, 40, DrawOutputMeter, nullptr, 17);
  A::OutputMeters[0] = {-140.0f, 0.0f, 0.0f};
  A::OutputMeters[1] = {0.0f, -0.5f, 0.5f};
  OutputLevel = 1.0f;
  Draw(id);
  EXPECT_EQ(At(53 - 25, 10), kColourGrey);    // left silent
  EXPECT_EQ(At(53 + 25, 5), 0xFF960F0Fu);     // right bar, half the width for 0 dB
  EXPECT_EQ(At(53 + 45, 5), 0xFF960F0Fu);
  EXPECT_EQ(At(53 + 25, 20), 0xFFFF7F00u);    // the band between the peaks
  EXPECT_EQ(At(53 + 25, 20 - 10), 0xFFFF7F00u);
  EXPECT_EQ(At(53 + 25, 20 - 11), 0xFF960F0Fu);
  EXPECT_EQ(At(53, 5), 0x00000000u);          // centre line
  EXPECT_EQ(At(102, 20), kColourAmber);       // gain 1.0 at the right edge

  const int32_t mic = Make(0, 50, 106, 40, DrawInputMeter, nullptr, 17);
  InputGain = 1.0f;
  A::InputMeters[0] = {std::nanf(""), std::nanf(""), std::nanf("")};
  A::InputMeters[1] = {25.0f, -3.0f, 3.0f};  // held to the meter's half
  EXPECT_EQ(Draw(mic), 0);
  EXPECT_EQ(At(53, 60), kColourAmber);  // gain 1.0 of 2.0 at the centre
  EXPECT_EQ(At(53 - 20, 60), kColourGrey);
  EXPECT_EQ(At(100, 60), 0xFFFF7F00u);  // full-scale peaks: the band covers the bar
  EXPECT_EQ(At(105, 53), kColourNavy);  // the frame is not overdrawn
}

TEST_F(SysbarTest, MeterTextIsDrawnWhenChanged) {
  const int32_t id = Make(0, 0, 106, 40, DrawInputMeter, nullptr, 17);
  AddLayer(id, 100, 34, 0);
  V::TextFieldSetText(&C(id)->Text, "-6.02dB");
  Draw(id);
  EXPECT_GT(Coverage(C(id)->Layers[0]), 10);
  EXPECT_EQ(Coverage(C(id)->Layers[0], 0, 0, 10, 33), 0);  // centred
}

}  // namespace

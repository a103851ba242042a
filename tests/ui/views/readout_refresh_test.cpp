// The system bar's read-outs on the built interface, drawn by partial frames
// only: each takes a new value at its refresh (FRE once a second, WLOAD and
// ALOAD every 0.33 s, VLOAD and CLOAD every frame), and a slow loop reads red.
#include <gtest/gtest.h>

#include <vector>

#include "audio/audio.h"
#include "platform/screen.h"
#include "ui/views/install.h"
#include "ui/views/sysbar_views.h"
#include "ui/views/views_c_fixture.h"
#include "visuals/dirty_region.h"
#include "visuals/event_loop.h"
#include "visuals/video_thread.h"

namespace {

namespace V = QUARLE_VISUALS;
namespace A = QUARLE_AUDIO;
using namespace Tarvelo;

double g_now = 0.0;
int32_t g_memoryQueries = 0;
double Clock() { return g_now; }
int64_t Memory() {
  ++g_memoryQueries;
  return int64_t{2000} << 20;
}

class ReadoutRefresh : public viewsc::ViewsCTest {
 protected:
  void BeforeBuild() override {
    ViewsCTest::BeforeBuild();
    InstallViewCallbacksA();
  }
  void SetUp() override {
    ViewsCTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(platform::ScreenOpen(1920, 1080, 32, 2, 0, 0));
    ResetReadouts();
    g_now = 7000.0;
    g_memoryQueries = 0;
    SetReadoutClock(Clock);
    SetAvailableMemorySource(Memory);
    V::TargetFps = 60;
    V::RenderFrame(true);
  }
  void TearDown() override {
    SetReadoutClock(nullptr);
    SetAvailableMemorySource(nullptr);
    V::ClearLiveDrawCallbacks();
    A::AudioLoad = 0.0f;
    A::AudioPassesPerSecond = 0;
    V::FrameRate = 0;
    V::LoopRate = 0;
    platform::ScreenClose();
    ViewsCTest::TearDown();
  }
};

TEST_F(ReadoutRefresh, EachReadoutTakesItsValueAtItsRefresh) {
  int32_t memory = 0, workload = 0, audioLoop = 0, video = 0, control = 0;
  float lastWorkload = WorkloadPercent;
  int32_t lastAudioLoop = AudioLoopValue;
  const int32_t queries = g_memoryQueries;
  // Three seconds of frames at 60 a second; every source changes every frame.
  for (int32_t f = 1; f <= 180; ++f) {
    g_now = 7000.0 + f / 60.0;
    V::FrameRate = 40 + f % 20;
    V::LoopRate = 1000 + f;
    A::AudioLoad = 0.001f * static_cast<float>(f);
    A::AudioPassesPerSecond = 100000 + f;
    V::RenderFrame(false);
    video += VideoRateValue == V::FrameRate.load();
    control += ControlLoopValue == static_cast<uint32_t>(V::LoopRate.load());
    workload += WorkloadPercent != lastWorkload;
    audioLoop += AudioLoopValue != lastAudioLoop;
    lastWorkload = WorkloadPercent;
    lastAudioLoop = AudioLoopValue;
  }
  memory = g_memoryQueries - queries;
  EXPECT_EQ(video, 180);
  EXPECT_EQ(control, 180);
  EXPECT_NEAR(workload, 9, 1);
  EXPECT_NEAR(audioLoop, 9, 1);
  EXPECT_NEAR(memory, 3, 1);
}

TEST_F(ReadoutRefresh, IdleLoopsReadAsKeepingUpAndSlowOnesRed) {
  // What an idle program measures: 60 passes a second of the video thread at a
  // 60 Hz target, the interface loop at its nap pace, the audio loop standing by.
  V::FrameRate = 60;
  V::LoopRate = 1000;
  A::AudioPassesPerSecond = 2;
  g_now += 1.0;
  V::RenderFrame(false);
  EXPECT_EQ(VideoRateColour(VideoRateValue, V::TargetFps), 0xFF057805u);
  EXPECT_EQ(ControlLoopColour(ControlLoopValue), 0xFF057805u);
  EXPECT_EQ(AudioLoopColour(AudioLoopValue, A::StreamRate), 0xFF141419u);  // standby
  // Slow loops.
  V::FrameRate = 20;
  V::LoopRate = 50;
  A::AudioPassesPerSecond = 20000;
  g_now += 1.0;
  V::RenderFrame(false);
  EXPECT_EQ(VideoRateColour(VideoRateValue, V::TargetFps), 0xFF960F0Fu);
  EXPECT_EQ(ControlLoopColour(ControlLoopValue), 0xFF960F0Fu);
  EXPECT_EQ(AudioLoopColour(AudioLoopValue, 48000), 0xFF960F0Fu);
}

}  // namespace

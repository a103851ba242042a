// The render loop's own work around the modules: the output sum, the meters
// across one- and two-channel frames, the frame counter and parities handed
// to the process functions, and the work taken at the start of a frame
// (controller moves, posted and queued commands, a frame hold).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "engine/midimap.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

// What the scripted output module writes in each of its frames (frames past
// the script repeat its last one), and what it saw.
struct ScriptFrame {
  int32_t voices = 0;
  int32_t channels = 1;
  float levels[2][kVoices] = {};
};
struct Seen {
  uint64_t frame;
  int32_t parity;
  int32_t previous;
  float amplitude;
};
std::vector<ScriptFrame> g_script;
std::vector<Seen> g_seen;

void Scripted(ModuleRecord* m, uint64_t frame, int32_t parity, int32_t previous) {
  const size_t k = g_seen.size() < g_script.size() ? g_seen.size() : g_script.size() - 1;
  g_seen.push_back(Seen{frame, parity, previous, m->Params[kOscAmplitude].Value.Load()});
  const ScriptFrame& f = g_script[k];
  m->ActiveVoices.Store(f.voices);
  m->ChannelsProcessed.Store(f.channels);
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t v = 0; v < kVoices; ++v) m->Outputs[ch][v].Level = f.levels[ch][v];
}

// The output of one frame as the render loop must make it: voices added one
// after the other from 0.0f, then clipped.
float Expected(const ScriptFrame& f, int32_t ch) {
  float sum = 0.0f;
  for (int32_t v = 0; v < f.voices && v < kVoices; ++v) sum = sum + f.levels[ch][v];
  return std::fabs(sum) <= 1.0f ? sum : (sum < 0.0f ? -1.0f : 1.0f);
}

class RenderLoopTest : public testing_synth::SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    g_script.assign(1, ScriptFrame{});
    g_seen.clear();
    out_ = Add(kTypeOscillator);
    out_->ProcessFunctions[0] = Scripted;
    out_->ProcessFunctions[1] = Scripted;
    Output(out_);
    Render(1);
    g_seen.clear();
    OutputMeterCount = 0;
    OutputLevelSums[0] = OutputLevelSums[1] = QUARLE_AUDIO::LevelMeter{};
  }
  void TearDown() override {
    PlaybackActive = 0;
    SynthTest::TearDown();
  }
  ModuleRecord* out_ = nullptr;
};

// Every voice count adds its voices in voice order: a big level first and
// tiny ones after it leave the big one as it is (any other order or grouping
// would add the tiny ones up first), and voices of -0.0 give +0.0.
TEST_F(RenderLoopTest, TheOutputSumAddsEveryVoiceInOrder) {
  for (int32_t n = 0; n <= kVoices; ++n) {
    ScriptFrame f;
    f.voices = n;
    f.channels = 2;
    for (int32_t v = 0; v < kVoices; ++v) {
      f.levels[0][v] = v == 0 ? 0.5f : 1.5e-8f;
      f.levels[1][v] = v == 0 ? -0.25f : (v % 2 == 1 ? 7.0e-9f : 0.03125f);
    }
    g_script.assign(1, f);
    const std::vector<float> y = Render(1);
    EXPECT_EQ(y[0], Expected(f, 0)) << n;
    EXPECT_EQ(y[1], Expected(f, 1)) << n;
  }
  ScriptFrame zeros;
  zeros.voices = 5;
  for (float& x : zeros.levels[0]) x = -0.0f;
  g_script.assign(1, zeros);
  const std::vector<float> y = Render(1);
  EXPECT_EQ(y[0], 0.0f);
  EXPECT_FALSE(std::signbit(y[0]));
  EXPECT_FALSE(std::signbit(y[1]));
}

// One call that switches between one and two channels: a one-channel frame
// makes the right sums the left ones, a two-channel frame goes on from there.
// The same frames split over calls give the same sums.
TEST_F(RenderLoopTest, MeterSumsFollowOneAndTwoChannelFramesWithinACall) {
  const int32_t channels[] = {1, 2, 2, 1, 1, 2, 1, 2, 2};
  std::vector<ScriptFrame> script;
  for (size_t k = 0; k < std::size(channels); ++k) {
    ScriptFrame f;
    f.voices = 3;
    f.channels = channels[k];
    for (int32_t v = 0; v < 3; ++v) {
      f.levels[0][v] = 0.1f * static_cast<float>(k + 1) - 0.07f * static_cast<float>(v);
      f.levels[1][v] = -0.05f * static_cast<float>(k) + 0.3f * static_cast<float>(v);
    }
    script.push_back(f);
  }
  QUARLE_AUDIO::LevelMeter left{}, right{};
  std::vector<float> expected;
  for (const ScriptFrame& f : script) {
    const float l = Expected(f, 0);
    QUARLE_AUDIO::LevelMeterFeed(left, l);
    float r = l;
    if (f.channels > 1) {
      r = Expected(f, 1);
      QUARLE_AUDIO::LevelMeterFeed(right, r);
    } else {
      right = left;
    }
    expected.push_back(l);
    expected.push_back(r);
  }
  const int32_t frames = static_cast<int32_t>(script.size());
  for (int32_t split : {frames, 4, 1}) {
    g_script = script;
    g_seen.clear();
    OutputLevelSums[0] = OutputLevelSums[1] = QUARLE_AUDIO::LevelMeter{};
    OutputMeterCount = 0;
    std::vector<float> y = Render(split);
    const std::vector<float> rest = Render(frames - split);
    y.insert(y.end(), rest.begin(), rest.end());
    EXPECT_EQ(y, expected) << split;
    EXPECT_EQ(OutputLevelSums[0].level, left.level) << split;
    EXPECT_EQ(OutputLevelSums[0].minimum, left.minimum) << split;
    EXPECT_EQ(OutputLevelSums[0].maximum, left.maximum) << split;
    EXPECT_EQ(OutputLevelSums[1].level, right.level) << split;
    EXPECT_EQ(OutputLevelSums[1].minimum, right.minimum) << split;
    EXPECT_EQ(OutputLevelSums[1].maximum, right.maximum) << split;
  }
}

// A block the render walked, given up for an empty order, may be freed and a
// later order made at the same place, installed during an earlier frame: it is
// walked as the new order it is, not as the one remembered.
TEST_F(RenderLoopTest, AnOrderMadeWhereAnOldOneWasIsNotTakenForIt) {
  ProcessingOrderBlock* const installed = ProcessingOrder.load();
  ModuleRecord* entries[1] = {out_};
  ProcessingOrderBlock block{entries, 1, 1};
  ScriptFrame f;
  f.voices = 1;
  f.levels[0][0] = 0.5f;
  g_script.assign(1, f);
  ProcessingOrder.store(&block);
  EXPECT_EQ(Render(2)[2], 0.5f);
  ProcessingOrderBlock empty{entries, 0, 1};
  ProcessingOrder.store(&empty);
  EXPECT_EQ(Render(1)[0], 0.0f);
  block.Count = 0;  // the same place, now an order without modules
  ProcessingOrder.store(&block);
  InstallFrame.store(FrameCounter.load() - 1);
  const size_t runs = g_seen.size();
  EXPECT_EQ(Render(1)[0], 0.0f);
  EXPECT_EQ(g_seen.size(), runs);
  ProcessingOrder.store(installed);
  InstallFrame.store(FrameCounter.load());
}

// Process functions get the frame counter and alternating parities, the
// previous one being the parity of the frame before, across calls too; odd
// stream lengths leave their last float alone.
TEST_F(RenderLoopTest, FramesAndParitiesCarryOnAcrossCalls) {
  const uint64_t first = FrameCounter.load();
  Render(3);
  std::vector<float> buffer(5, -9.0f);
  float* p = buffer.data();
  RenderAudio(&p, 0, 5);
  EXPECT_EQ(buffer[4], -9.0f);
  ASSERT_EQ(g_seen.size(), 5u);
  for (size_t k = 0; k < g_seen.size(); ++k) {
    EXPECT_EQ(g_seen[k].frame, first + k);
    EXPECT_EQ(g_seen[k].previous, g_seen[k].parity ^ 1);
    if (k > 0) {
      EXPECT_EQ(g_seen[k].previous, g_seen[k - 1].parity);
    }
  }
  EXPECT_EQ(FrameCounter.load(), first + 5);
  EXPECT_EQ(FrameParity, g_seen.back().parity ^ 1);
  EXPECT_EQ(PreviousFrameParity, g_seen.back().parity);
}

// A value queued while playback runs is in place for the very next frame's
// process functions, not one later.
TEST_F(RenderLoopTest, AQueuedValueIsTakenAtTheStartOfTheNextFrame) {
  PlaybackActive = -1;
  ASSERT_TRUE(SetParamValueOrQueue(*out_, kOscAmplitude, 0.375f));
  EXPECT_TRUE(ControllerMovesWaiting());
  Render(1);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].amplitude, 0.375f);
  EXPECT_FALSE(ControllerMovesWaiting());
}

// A command queued behind a busy mailbox, with the mailbox idle again before
// a frame took it (a poster queued it just after the render emptied the
// mailbox): the next frame moves it in, the one after runs it.
TEST_F(RenderLoopTest, ACommandQueuedBehindAnIdleMailboxStillRuns) {
  ModuleRecord* a = Add(kTypeOscillator);
  ModuleRecord* b = Add(kTypeOscillator);
  PlaybackActive = -1;
  const double wait = CommandSlotWait;
  CommandSlotWait = 0.0;
  PostLinkInput(out_, kOscAmplitude, a, kTypeOscillator);
  PostLinkInput(out_, kOscFrequency, b, kTypeOscillator);
  CommandSlotWait = wait;
  ASSERT_EQ(EngineCommandsQueued(), 1);
  ResetEngineCommand(EngineCommand);  // the first one is dropped: idle, one queued
  ASSERT_TRUE(EngineCommandWork());
  Render(1);
  EXPECT_EQ(EngineCommandsQueued(), 0);
  EXPECT_EQ(EngineCommand.State.load(), kCommandPosted);
  Render(1);
  EXPECT_EQ(EngineCommand.State.load(), kCommandIdle);
  EXPECT_EQ(out_->PortSources[kOscFrequency].Load(), b);
  EXPECT_NE(out_->PortSources[kOscAmplitude].Load(), a);
  EXPECT_FALSE(EngineCommandWork());
}

// A copy asked for from another thread holds the render at a frame boundary:
// no frame passes while it is held.
TEST_F(RenderLoopTest, AFrameHoldStopsTheRenderBetweenFrames) {
  PlaybackActive = -1;
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    while (!stop.load()) Render(16);
  });
  int32_t moved = 0;
  for (int32_t round = 0; round < 20; ++round) {
    ASSERT_TRUE(HoldFrames());
    const uint64_t held = FrameCounter.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (FrameCounter.load() != held) ++moved;
    ReleaseFrames();
  }
  stop = true;
  audio.join();
  EXPECT_EQ(moved, 0);
}

}  // namespace
}  // namespace Tarvelo

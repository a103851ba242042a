// Mobile average and Envelope follower: the running mean over its window and
// how it survives period changes, loud and undefined samples; the envelope's
// rise, gain and decay; both tails and their ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/dsp/averages.h"
#include "engine/dsp/tails.h"
#include "time_fixture.h"

namespace Tarvelo {
namespace testing_time {
namespace {

class AverageTest : public TimeTest {
 protected:
  ModuleRecord* Average(ModuleRecord* src, float frames) {
    ModuleRecord* m = Add(kTypeMobileAverage);
    Link(m, kAverageInput, src);
    Set(m, kAveragePeriod, frames);  // shown in frames
    return m;
  }
  ModuleRecord* Follower(ModuleRecord* src, float period, float gain = 1.0f) {
    ModuleRecord* m = Add(kTypeEnvelopeFollower);
    Link(m, kFollowerInput, src);
    Set(m, kFollowerPeriod, period);
    Set(m, kFollowerGain, gain);
    return m;
  }
};

TEST_F(AverageTest, StepResponseAndTailOfThreeFrames) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Average(src, 3.0f);
  Put(src, 0, 0, 0.6f);
  std::vector<float> out = Steps(m, 4);
  const float rise[4] = {0.2f, 0.4f, 0.6f, 0.6f};
  for (int32_t f = 0; f < 4; ++f) EXPECT_FLOAT_EQ(out[f], rise[f]) << f;
  // Stopped: three frames of silence leave the window, the fourth ends it,
  // the fifth is its own mark's.
  src->ActiveVoices.Store(0);
  std::vector<int32_t> active;
  out.clear();
  for (int32_t f = 0; f < 6; ++f) {
    Step(m);
    out.push_back(m->Outputs[0][0].Level);
    active.push_back(m->ActiveVoices.Load());
  }
  EXPECT_FLOAT_EQ(out[0], 0.4f);
  EXPECT_FLOAT_EQ(out[1], 0.2f);
  EXPECT_NEAR(out[2], 0.0f, 1e-7);
  EXPECT_EQ(active, (std::vector<int32_t>{1, 1, 1, 1, 1, 0}));
}

TEST_F(AverageTest, LoudInputIsHeldAtOneAndLeavesNoOffset) {
  ModuleRecord* src = Source(2);
  ModuleRecord* m = Average(src, 3.0f);
  m->ChannelsProcessed.Store(2);
  Put(src, 0, 0, 1.5f);
  Put(src, 1, 0, -0.3f);
  std::vector<float> out = Steps(m, 5);
  EXPECT_EQ(out[0], 0.5f);
  EXPECT_EQ(out[4], 1.0f);
  EXPECT_EQ(m->ClipFlag.Load(), 0);
  // Each channel averages its own input.
  EXPECT_FLOAT_EQ(m->Outputs[1][0].Level, -0.3f);
  // Silence again: the mean falls through the true window sums to 0.
  Put(src, 0, 0, 0.0f);
  EXPECT_EQ(Steps(m, 4), (std::vector<float>{1.0f, 0.5f, 0.0f, 0.0f}));
}

TEST_F(AverageTest, PeriodChangesMoveTheSumToTheNewWindow) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Average(src, 3.0f);
  Put(src, 0, 0, 0.5f);
  Steps(m, 10);
  // A longer window takes in the older samples at once.
  Set(m, kAveragePeriod, 5.0f);
  EXPECT_FLOAT_EQ(Steps(m, 1)[0], 0.5f);
  // Changes larger than the slew take a few frames; then the mean is exact.
  Set(m, kAveragePeriod, 300.0f);
  EXPECT_FLOAT_EQ(Steps(m, 400).back(), 0.5f);
  Set(m, kAveragePeriod, 2.0f);
  std::vector<float> out = Steps(m, 6);
  EXPECT_EQ(out[0], 1.0f);  // the sum still covers more than 2 frames
  EXPECT_FLOAT_EQ(out[5], 0.5f);
}

// Window changes walked across the wrap of the history, both ways, keep the
// sum of exactly the frames the window covers: sixteenths, whose sums are
// exact, so that every published mean is known to the bit.
TEST_F(AverageTest, WindowWalksAcrossTheHistorysWrapKeepTheExactSum) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Average(src, 100.0f);
  const int32_t ringFrames = ((m->WorkBufferSize - 2) & ~1) / 2;
  ASSERT_GT(ringFrames, 4000);
  const int32_t grow = ringFrames + 10;   // 100 -> 2000 frames just after the wrap
  const int32_t shrink = grow + 60;       // 2000 -> 50 while the old end is before it
  std::vector<float> x;
  int32_t window = 100;
  int32_t covered = 0;
  int32_t wrong = 0;
  for (int32_t t = 0; t < shrink + 100; ++t) {
    if (t == grow) window = 2000;
    if (t == shrink) window = 50;
    if (t == grow || t == shrink) Set(m, kAveragePeriod, static_cast<float>(window));
    x.push_back(static_cast<float>(t % 16) / 16.0f);
    Put(src, 0, 0, x.back());
    Step(m);
    covered = covered < window ? std::min(window, covered + kAverageWindowSlew)
                               : std::max(window, covered - kAverageWindowSlew);
    double sum = 0.0;
    for (int32_t k = 0; k < covered && t - k >= 0; ++k) sum += x[t - k];
    // The published mean is held at 1 while the sum still covers more.
    const float held = std::min(static_cast<float>(sum), static_cast<float>(window));
    const float expected = static_cast<float>(static_cast<double>(held) / window);
    if (m->Outputs[0][0].Level != expected && ++wrong <= 5)
      ADD_FAILURE() << "frame " << t << ": " << m->Outputs[0][0].Level << " instead of " << expected;
  }
  EXPECT_EQ(wrong, 0);
}

TEST_F(AverageTest, UndefinedAndHugeSamplesDoNotStayInTheMean) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Average(src, 3.0f);
  Put(src, 0, 0, 0.3f);
  Steps(m, 5);
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e30f}) {
    Put(src, 0, 0, bad);
    Step(m);
    EXPECT_TRUE(std::isfinite(m->Outputs[0][0].Level)) << bad;
    Put(src, 0, 0, 0.3f);
    EXPECT_NEAR(Steps(m, 4).back(), 0.3f, 1e-4) << bad;
  }
  // A live period far beyond one second is held to the buffer.
  ModuleRecord* period = Source();
  Link(m, kAveragePeriod, period);
  Put(period, 0, 0, 1e9f);
  Steps(m, 800);
  EXPECT_EQ(m->SequencerVoices[0].A[0], 48000.0f);
  EXPECT_TRUE(std::isfinite(m->Outputs[0][0].Level));
}

TEST_F(AverageTest, FollowerRisesTowardsTheInputLevelAndDecaysToAnEnd) {
  // Period 2: the envelope is the magnitude.
  ModuleRecord* quick = Follower(Source(), 2.0f);
  for (float x : {0.3f, -0.7f, 0.0f}) {
    Put(quick->PortSources[0].Load(), 0, 0, x);
    EXPECT_FLOAT_EQ(Steps(quick, 1)[0], std::fabs(x)) << x;
  }
  ModuleRecord* src = Source();
  ModuleRecord* m = Follower(src, 480.0f);
  Put(src, 0, 0, 0.5f);
  std::vector<float> out = Steps(m, 1500);
  for (size_t f = 1; f < out.size(); ++f) {
    ASSERT_GT(out[f], out[f - 1]) << f;
    ASSERT_LT(out[f], 0.5f) << f;
  }
  EXPECT_GT(out.back(), 0.49f);
  // Stopped: it falls, marking itself, and ends in the frame where it drops
  // below 1e-6, which publishes 0.
  src->ActiveVoices.Store(0);
  int32_t frames = 0;
  while (m->SequencerVoices[0].State != kTailStageDone && frames < 100000) {
    const int32_t parity = Parity();
    Step(m);
    ++frames;
    ASSERT_NE(src->TriggerBuffers[parity][0], 0u);
  }
  EXPECT_GT(frames, 1000);
  EXPECT_LT(frames, 100000);
  EXPECT_EQ(m->Outputs[0][0].Level, 0.0f);
  Steps(m, 2);
  EXPECT_EQ(m->ActiveVoices.Load(), 0);
}

TEST_F(AverageTest, FollowerGainClipsAndUndefinedValuesRestartIt) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Follower(src, 480.0f, 4.0f);
  Put(src, 0, 0, 0.5f);
  std::vector<float> out = Steps(m, 3000);
  EXPECT_NEAR(out[0], 4.0f * std::sqrt(0.25f / 240.0f), 1e-6);
  EXPECT_EQ(out.back(), 1.0f);
  EXPECT_EQ(m->ClipFlag.Load(), -1);
  EXPECT_LT(m->WorkBuffers[0][0], 0.5f);  // stored without the gain
  // An undefined input, or a period of 0 stored by hand, would leave the
  // envelope undefined for good: it starts again from 0.
  Put(src, 0, 0, std::numeric_limits<float>::quiet_NaN());
  Step(m);
  EXPECT_EQ(m->WorkBuffers[0][0], 0.0f);
  Put(src, 0, 0, 0.25f);
  m->PortValueModules[kFollowerPeriod]->Outputs[0][0].Level = 0.0f;
  Step(m);
  EXPECT_EQ(m->WorkBuffers[0][0], 0.0f);
  Set(m, kFollowerPeriod, 2.0f);
  EXPECT_EQ(Steps(m, 1)[0], 1.0f);  // 4 x 0.25
}

}  // namespace
}  // namespace testing_time
}  // namespace Tarvelo

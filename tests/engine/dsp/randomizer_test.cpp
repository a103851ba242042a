// The 4-in-1 Randomizer: refresh timing in frames, the range of drawn values,
// sample-and-hold of a linked input with its gain, bias and quantization,
// holding, per-voice counters, and its template.
#include "engine/dsp/randomizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace {

constexpr int32_t kRandomizer = 32;

class RandomizerTest : public testing_synth::SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    SeedRandom(11);
    m_ = Add(kRandomizer);
    m_->ChannelsProcessed.Store(1);
  }
  void Set(int32_t p, float stored) { ModuleSetParamValue(*m_, p, stored); }
  void Period(float seconds) { Set(kRandomPeriod, seconds); }
  float Frame() {
    ProcessModuleFrame(m_, frame_++, parity_, parity_ ^ 1);
    parity_ ^= 1;
    return m_->Outputs[0][0].Level;
  }

  ModuleRecord* m_ = nullptr;
  int32_t parity_ = 0;
  uint64_t frame_ = 0;
};

TEST_F(RandomizerTest, DrawsOncePerPeriod) {
  Set(kRandomResolution, 0.0f);
  Period(0.5f);
  std::vector<int32_t> changes;
  float last = Frame();  // the first frame draws at once
  for (int32_t k = 1; k < 60000; ++k) {
    const float y = Frame();
    if (y != last) changes.push_back(k);
    last = y;
  }
  EXPECT_EQ(changes, (std::vector<int32_t>{24000, 48000}));
  // A fractional period draws where its multiples fall: 2.5 frames apart
  // alternate 3 and 2, never a frame late each period.
  Period(2.5f / 48000.0f);
  Frame();  // the pending count still runs out first
  changes.clear();
  for (int32_t k = 0; k < 30000 && changes.size() < 6; ++k) {
    const float y = Frame();
    if (y != last) changes.push_back(k);
    last = y;
  }
  ASSERT_GE(changes.size(), 6u);
  EXPECT_EQ(changes[5] - changes[1], 10);
  EXPECT_EQ(std::max(changes[2] - changes[1], changes[3] - changes[2]), 3);
  EXPECT_EQ(std::min(changes[2] - changes[1], changes[3] - changes[2]), 2);
}

// Draws fall on the multiples of the period, within a frame, however many
// periods go by: periods of whole frames and not, short and long.
TEST_F(RandomizerTest, DrawsKeepThePeriodOverManyPeriods) {
  Set(kRandomResolution, 0.0f);
  for (const double seconds : {0.0123, 0.5, 1.2345, 7.0 / 48000.0}) {
    TearDown();
    SetUp();
    Set(kRandomResolution, 0.0f);
    const float period = static_cast<float>(seconds);
    Period(period);
    const double p = static_cast<double>(period) * 48000.0;
    const int64_t frames = std::min<int64_t>(static_cast<int64_t>(200.0 * p), 180000);
    float last = Frame();  // the first frame draws at once
    int64_t draws = 0;
    double largest = 0.0;
    for (int64_t f = 1; f < frames; ++f) {
      const float y = Frame();
      if (y == last) continue;
      last = y;
      ++draws;
      largest = std::max(largest, std::fabs(static_cast<double>(f) - std::ceil(static_cast<double>(draws) * p)));
    }
    EXPECT_GE(draws, 2) << seconds;
    EXPECT_LE(largest, 1.0) << seconds << " s: largest offset in frames";
  }
}

TEST_F(RandomizerTest, LinkedInputIsHeldScaledBiasedAndQuantized) {
  ModuleRecord* src = Add(kTypeOscillator);
  src->ChannelsProcessed.Store(1);
  src->ActiveVoices.Store(1);
  ASSERT_EQ(ModuleLinkInput(*m_, kRandomInput, src, &ModuleCatalog[kRandomizer]), kLinkConnected);
  Set(kRandomInput, 1.0f);
  Set(kRandomResolution, 0.25f);
  Period(0.5f / 48000.0f);
  auto draw = [&](float x) {
    src->Outputs[0][0] = OutputElement{x, x};
    return Frame();
  };
  EXPECT_EQ(draw(0.6f), 0.5f);    // toward zero
  EXPECT_EQ(draw(-0.6f), -0.5f);
  EXPECT_EQ(draw(0.24f), 0.0f);
  Set(kRandomInput, 0.5f);        // the set value is the gain on the input
  EXPECT_EQ(draw(0.8f), 0.25f);
  Set(kRandomInput, 1.0f);
  Set(kRandomResolution, 0.0f);
  Set(kRandomBias, 0.9f);
  EXPECT_EQ(m_->ClipFlag.Load(), 0);
  EXPECT_EQ(draw(0.5f), 1.0f);
  EXPECT_EQ(m_->ClipFlag.Load(), -1);
  EXPECT_EQ(draw(std::nanf("")), 0.0f);
}

TEST_F(RandomizerTest, HoldAndZeroPeriodFreezeTheValue) {
  Period(0.5f / 48000.0f);
  const float a = Frame();
  m_->ModuleSwitches[kSwitchHold].Store(-1);
  for (int32_t k = 0; k < 100; ++k) EXPECT_EQ(Frame(), a);
  EXPECT_EQ(m_->VoiceState[0][0], 0.0f);
  m_->ModuleSwitches[kSwitchHold].Store(0);
  EXPECT_NE(Frame(), a);  // the next draw follows at once
  const float b = m_->Outputs[0][0].Level;
  Period(0.0f);
  for (int32_t k = 0; k < 100; ++k) EXPECT_EQ(Frame(), b);
  Period(std::nanf(""));
  EXPECT_EQ(Frame(), b);
}

TEST_F(RandomizerTest, VoicesCountOnTheirOwn) {
  ModuleRecord* src = Add(kTypeOscillator);
  src->ChannelsProcessed.Store(1);
  src->ActiveVoices.Store(2);
  src->PerVoiceOutput = -1;
  src->VoiceIds[0] = 4;
  src->VoiceIds[1] = 9;
  ASSERT_EQ(ModuleLinkInput(*m_, kRandomInput, src, &ModuleCatalog[kRandomizer]), kLinkConnected);
  m_->PolyphonyMode.Store(1);
  m_->TriggerOwner.Store(src);
  Set(kRandomResolution, 0.0f);
  Period(10.0f / 48000.0f);
  src->Outputs[0][0] = OutputElement{0.1f, 0.1f};
  src->Outputs[0][1] = OutputElement{0.2f, 0.2f};
  Frame();
  EXPECT_EQ(m_->ActiveVoices.Load(), 2);
  EXPECT_FLOAT_EQ(m_->Outputs[0][0].Level, 0.1f * 0.95f);
  EXPECT_FLOAT_EQ(m_->Outputs[0][1].Level, 0.2f * 0.95f);
  EXPECT_NEAR(m_->VoiceState[0][4], 9.0f, 1e-4);
  EXPECT_NEAR(m_->VoiceState[0][9], 9.0f, 1e-4);
  EXPECT_EQ(m_->VoiceState[0][0], 0.0f);
}

}  // namespace
}  // namespace Tarvelo

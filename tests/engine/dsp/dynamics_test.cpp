// Soft Limiter, Wave Folder and Compressor: their curves at and around the
// knees, the compressor's smoothed reduction per voice, and what undefined or
// hostile inputs and settings give.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/dsp/dynamics.h"
#include "time_fixture.h"

namespace Tarvelo {
namespace testing_time {
namespace {

class DynamicsTest : public TimeTest {
 protected:
  ModuleRecord* Compressor(ModuleRecord* src, float attack) {
    ModuleRecord* m = Add(kTypeCompressor);
    Link(m, kCompressorInput, src);
    Set(m, kCompressorAttack, attack);
    return m;
  }
};

TEST_F(DynamicsTest, SoftLimiterCurveAroundItsThreshold) {
  EXPECT_EQ(SoftLimit(0.4f, 0.5f), 0.4f);
  EXPECT_EQ(SoftLimit(0.5f, 0.5f), 0.5f);
  EXPECT_EQ(SoftLimit(0.75f, 0.5f), 0.6875f);
  EXPECT_EQ(SoftLimit(-1.0f, 0.5f), -0.75f);  // the peak, (1 + t) / 2
  EXPECT_EQ(SoftLimit(1.5f, 0.5f), 0.5f);     // back at the threshold at 2 - t
  EXPECT_EQ(SoftLimit(2.0f, 0.5f), -0.25f);   // and below beyond, sign flipped
  EXPECT_EQ(SoftLimit(-2.0f, 0.5f), 0.25f);
  // Slope 1 where it leaves the threshold.
  EXPECT_NEAR((SoftLimit(0.5001f, 0.5f) - 0.5f) / 0.0001f, 1.0f, 1e-2);
  // A negative threshold counts by its magnitude; threshold 1 passes all.
  EXPECT_EQ(SoftLimit(0.75f, -0.5f), 0.6875f);
  EXPECT_EQ(SoftLimit(1.5f, 1.0f), 1.5f);
  EXPECT_EQ(SoftLimit(-7.0f, 1.0f), -7.0f);
  // Threshold 0: the parabola alone.
  EXPECT_EQ(SoftLimit(1.0f, 0.0f), 0.5f);
  EXPECT_EQ(SoftLimit(0.0f, 0.0f), 0.0f);
}

TEST_F(DynamicsTest, WaveFolderMirrorsAtThresholdAndFoldLine) {
  const float t = 0.6f, r = 0.5f;  // fold line at 0.6 - 0.3
  EXPECT_NEAR(FoldWave(0.8f, t, r, 1), 0.4f, 1e-6);
  EXPECT_NEAR(FoldWave(0.95f, t, r, 1), 0.35f, 1e-6);
  EXPECT_NEAR(FoldWave(-0.8f, t, r, 1), -0.4f, 1e-6);
  EXPECT_NEAR(FoldWave(0.95f, t, r, 3), 0.35f, 1e-6);  // below the threshold: the other passes do nothing
  EXPECT_EQ(FoldWave(0.5f, t, r, 7), 0.5f);
  EXPECT_EQ(FoldWave(0.0f, t, r, 7), 0.0f);
  // Folding twice: 1.5 -> -0.3 mirrored at the fold line -> 0.9, then again.
  const float once = FoldWave(1.5f, t, r, 1);
  EXPECT_NEAR(once, 0.9f, 1e-6);
  EXPECT_NEAR(FoldWave(1.5f, t, r, 2), FoldWave(once, t, r, 1), 1e-6);
  // Pass counts outside 1..7 are held to it; huge stored values cannot spin.
  EXPECT_EQ(FolderPasses(3.0f), 3);
  EXPECT_EQ(FolderPasses(0.0f), 1);
  EXPECT_EQ(FolderPasses(2e9f), 7);
  EXPECT_EQ(FolderPasses(std::numeric_limits<float>::quiet_NaN()), 1);
}

TEST_F(DynamicsTest, WaveFolderModuleUsesTheStoredPasses) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Add(kTypeWaveFolder);
  Link(m, kFolderInput, src);
  Set(m, kFolderThreshold, 0.6f);
  Set(m, kFolderRange, 0.5f);
  Set(m, kFolderPasses, 1.0f);
  m->PortValueModules[kFolderPasses]->Outputs[0][0].Level = 7.0f;  // not read
  Put(src, 0, 0, 1.5f);
  Step(m);
  EXPECT_NEAR(m->Outputs[0][0].Level, 0.9f, 1e-6);
  Set(m, kFolderPasses, 1e30f);
  Step(m);
  EXPECT_NEAR(m->Outputs[0][0].Level, FoldWave(1.5f, 0.6f, 0.5f, 7), 1e-7);
  EXPECT_EQ(m->ClipFlag.Load(), 0);
}

TEST_F(DynamicsTest, CompressorConvergesToItsCurve) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Compressor(src, 2.0f);
  Put(src, 0, 0, 1.0f);
  std::vector<float> out = Steps(m, 60);
  // 0.125 + 0.875 / 2: the reduction g = 0.4375, blended half and half.
  EXPECT_NEAR(out[0], 1.0 - std::sqrt(0.5 * 0.4375 * 0.4375), 1e-6);
  EXPECT_NEAR(out.back(), 0.5625f, 1e-6);
  EXPECT_EQ(m->ClipFlag.Load(), 0);
  // At the knee and below nothing happens once the reduction has gone; a
  // fresh compressor passes such input unchanged from the first frame.
  ModuleRecord* fresh = Compressor(Source(), 480.0f);
  for (float x : {0.1f, -0.125f, 0.0f}) {
    Put(fresh->PortSources[0].Load(), 0, 0, x);
    EXPECT_EQ(Steps(fresh, 1)[0], x);
  }
  Put(src, 0, 0, 0.125f);
  Set(m, kCompressorRelease, 2.0f);
  out = Steps(m, 80);
  EXPECT_NEAR(out.back(), 0.125f, 1e-6);
  // Makeup gain 2 pushes 0.5625 to 1.125: clipped and flagged.
  Set(m, kCompressorGain, 2.0f);
  Put(src, 0, 0, 1.0f);
  out = Steps(m, 60);
  EXPECT_EQ(out.back(), 1.0f);
  EXPECT_EQ(m->ClipFlag.Load(), -1);
}

TEST_F(DynamicsTest, CompressorKeepsAReductionPerVoiceIdAndChannel) {
  ModuleRecord* src = Source(2, 2, true);
  ModuleRecord* m = Compressor(src, 2.0f);
  PerVoice(m);
  m->ChannelsProcessed.Store(2);
  m->TriggerOwner.Store(src);
  src->VoiceIds[0] = 2;
  src->VoiceIds[1] = 6;
  Put(src, 0, 0, 1.0f);
  Put(src, 1, 0, 0.1f);
  Put(src, 0, 1, 0.1f);
  Put(src, 1, 1, 1.0f);
  Steps(m, 60);
  EXPECT_NEAR(m->VoiceState[0][2], 0.4375f, 1e-6);
  EXPECT_EQ(m->VoiceState[1][2], 0.0f);
  EXPECT_EQ(m->VoiceState[0][6], 0.0f);
  EXPECT_NEAR(m->VoiceState[1][6], 0.4375f, 1e-6);
  EXPECT_NEAR(m->Outputs[1][1].Level, 0.5625f, 1e-6);
  EXPECT_EQ(m->Outputs[1][0].Level, 0.1f);
}

TEST_F(DynamicsTest, CompressorRecoversFromHostileInputsAndSettings) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Compressor(src, 2.0f);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (float x : {nan, std::numeric_limits<float>::infinity(), -1e38f}) {
    Put(src, 0, 0, x);
    Step(m);
    EXPECT_TRUE(std::isfinite(m->VoiceState[0][0])) << x;
    EXPECT_LE(std::fabs(m->Outputs[0][0].Level), 1.0f) << x;
  }
  // A ratio of 0 and an attack of 0 (stored by hand) leave no undefined state.
  m->PortValueModules[kCompressorRatio]->Outputs[0][0].Level = 0.0f;
  m->PortValueModules[kCompressorAttack]->Outputs[0][0].Level = 0.0f;
  Put(src, 0, 0, 0.8f);
  Steps(m, 3);
  EXPECT_TRUE(std::isfinite(m->VoiceState[0][0]));
  EXPECT_TRUE(std::isfinite(m->Outputs[0][0].Level));
  Set(m, kCompressorRatio, 2.0f);
  Set(m, kCompressorAttack, 2.0f);
  std::vector<float> out = Steps(m, 60);
  EXPECT_NEAR(out.back(), 0.125f + 0.675f / 2.0f, 1e-6);
}

}  // namespace
}  // namespace testing_time
}  // namespace Tarvelo

// Stereo tools: Merge Stereo's two levels, Join Stereo's channel-0 reads,
// Balance's position, rendered stereo output, and the three templates.
#include "engine/dsp/stereo.h"

#include <cmath>

#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace testing_synth {
namespace {

using StereoTest = SynthTest;

float RootHalf(float sum) { return static_cast<float>(static_cast<double>(sum) * 0.7071067811865476); }

TEST_F(StereoTest, MergeHalvesInOneModeAndScalesByRootHalfInTheOther) {
  ModuleRecord* src = Source(2, 2);
  Put(src, 0, 0, 0.6f, 0.0f);
  Put(src, 1, 0, 0.2f, 0.0f);
  ModuleRecord* merge = Add(kTypeMergeStereo);
  Link(merge, kStereoInput, src);
  merge->ChannelsProcessed.Store(2);
  Run(merge);
  EXPECT_EQ(Level(merge), (0.6f + 0.2f) * 0.5f);
  EXPECT_EQ(merge->Outputs[0][0].Frequency, Level(merge));
  EXPECT_EQ(merge->ChannelsProcessed.Load(), 1);

  PerVoice(merge);
  merge->Params[kStereoInput].VoiceMapRow = 1;
  Put(src, 0, 1, -0.5f);
  Put(src, 1, 1, -0.7f);
  merge->ChannelsProcessed.Store(2);
  Run(merge, 2);
  EXPECT_EQ(merge->ActiveVoices.Load(), 2);
  EXPECT_EQ(Level(merge, 0, 0), RootHalf(0.6f + 0.2f));
  EXPECT_NEAR(Level(merge, 0, 0), 0.5657f, 1e-4f);
  EXPECT_EQ(Level(merge, 0, 1), RootHalf(-0.5f + -0.7f));  // not clipped
  EXPECT_EQ(merge->ChannelsProcessed.Load(), 1);

  // A one-channel source counts twice; the set value weighs a linked input.
  ModuleRecord* mono = Source(1, 1);
  Put(mono, 0, 0, 0.5f);
  Link(merge, kStereoInput, mono);
  Run(merge, 1);
  EXPECT_NEAR(Level(merge), 0.7071f, 1e-4f);
  merge->PolyphonyMode.Store(0);
  Set(merge, kStereoInput, 0.5f);
  Run(merge);
  EXPECT_EQ(Level(merge), 0.25f);
}

TEST_F(StereoTest, BalanceAttenuatesOneSide) {
  ModuleRecord* src = Source(2, 1);
  Put(src, 0, 0, 0.8f);
  Put(src, 1, 0, -0.4f);
  ModuleRecord* bal = Add(kTypeBalance);
  Link(bal, kStereoInput, src);
  auto at = [&](float pos) {
    Set(bal, kBalancePosition, pos);
    Run(bal);
  };
  at(0.25f);
  EXPECT_FLOAT_EQ(Level(bal, 0), 0.6f);
  EXPECT_EQ(Level(bal, 1), -0.4f);
  at(-1.0f);
  EXPECT_EQ(Level(bal, 0), 0.8f);
  EXPECT_EQ(Level(bal, 1), 0.0f);
  at(0.0f);
  EXPECT_EQ(Level(bal, 0), 0.8f);
  EXPECT_EQ(Level(bal, 1), -0.4f);

  // A linked position is its source's first element as it stands: no set
  // value, no limit (beyond 1 the left side turns over).
  ModuleRecord* pos = Source(1, 2);
  Put(pos, 0, 0, 1.5f, 0.0f);
  Put(pos, 0, 1, -1.0f, -1.0f);
  Link(bal, kBalancePosition, pos);
  Set(bal, kBalancePosition, 0.1f);
  Run(bal);
  EXPECT_FLOAT_EQ(Level(bal, 0), -0.4f);
  EXPECT_EQ(Level(bal, 1), -0.4f);
  EXPECT_EQ(bal->ClipFlag.Load(), 0);

  // Per voice the one position applies to every voice; a one-channel input
  // feeds both sides.
  ModuleRecord* voices = Source(1, 2);
  Put(voices, 0, 0, 0.5f);
  Put(voices, 0, 1, -0.5f);
  Link(bal, kStereoInput, voices);
  bal->Params[kStereoInput].VoiceMapRow = 1;
  Put(pos, 0, 0, -0.5f, 0.0f);
  PerVoice(bal);
  Run(bal, 2);
  EXPECT_EQ(bal->ActiveVoices.Load(), 2);
  EXPECT_EQ(Level(bal, 0, 0), 0.5f);
  EXPECT_EQ(Level(bal, 1, 0), 0.25f);
  EXPECT_EQ(Level(bal, 0, 1), -0.5f);
  EXPECT_EQ(Level(bal, 1, 1), -0.25f);
}

TEST_F(StereoTest, RenderedStereoChain) {
  ModuleRecord* join = Add(kTypeJoinStereo);
  Link(join, kJoinLeft, Constant(0.5f));
  Link(join, kJoinRight, Constant(-0.25f));
  ModuleRecord* bal = Add(kTypeBalance);
  Link(bal, kStereoInput, join);
  Set(bal, kBalancePosition, 0.5f);
  Output(bal);
  EXPECT_EQ(join->ChannelsProcessed.Load(), 2);
  EXPECT_EQ(bal->ChannelsProcessed.Load(), 2);
  std::vector<float> out = Render(3);
  EXPECT_EQ(out[4], 0.25f);
  EXPECT_EQ(out[5], -0.25f);

  // Merged back into one channel, heard on both sides.
  ModuleRecord* merge = Add(kTypeMergeStereo);
  Link(merge, kStereoInput, bal);
  Output(merge);
  EXPECT_EQ(merge->ChannelsProcessed.Load(), 1);
  out = Render(3);
  EXPECT_EQ(out[4], 0.0f);
  Set(bal, kBalancePosition, -0.5f);
  out = Render(2);
  EXPECT_EQ(out[2], (0.5f + -0.125f) * 0.5f);
  EXPECT_EQ(out[3], out[2]);
}

}  // namespace
}  // namespace testing_synth
}  // namespace Tarvelo

// Mixer kernel: the mean of the live inputs, gains, the plain master volume,
// the clip rule, voice counts per mode and the reset when it falls silent.
#include "engine/dsp/mixer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace testing_synth {
namespace {

class MixerTest : public SynthTest {
 protected:
  void SetUp() override {
    SynthTest::SetUp();
    mixer = Add(kTypeMixer);
  }
  // Input k (1..16) linked to a new single-voice source publishing x.
  ModuleRecord* Input(int32_t k, float x) {
    ModuleRecord* s = Source();
    Put(s, 0, 0, x);
    Link(mixer, k, s);
    return s;
  }
  ModuleRecord* mixer = nullptr;
};

TEST_F(MixerTest, MeanOfTheLiveInputsOnly) {
  Input(1, 0.8f);
  ModuleRecord* second = Input(5, 0.4f);
  // Unlinked inputs neither add their set value nor count.
  Set(mixer, 2, 0.9f);
  Run(mixer);
  EXPECT_EQ(mixer->ActiveVoices.Load(), 1);
  EXPECT_FLOAT_EQ(Level(mixer), 0.6f);
  EXPECT_EQ(mixer->MixerWord, -1);
  // A live input at 0 still counts.
  Input(16, 0.0f);
  Run(mixer);
  EXPECT_FLOAT_EQ(Level(mixer), 0.4f);
  // A live input without voices counts but adds nothing.
  Put(second, 0, 0, 0.7f);
  second->ActiveVoices.Store(0);
  Run(mixer);
  EXPECT_FLOAT_EQ(Level(mixer), 0.8f / 3.0f);
}

TEST_F(MixerTest, GainsMasterVolumeAndClipping) {
  Input(3, 0.9f);
  Run(mixer);
  EXPECT_FLOAT_EQ(Level(mixer), 0.9f);
  Set(mixer, 3, -1.0f);
  Run(mixer);
  EXPECT_FLOAT_EQ(Level(mixer), -0.9f);
  Set(mixer, kMixerMasterVolume, 0.5f);
  Run(mixer);
  EXPECT_FLOAT_EQ(Level(mixer), -0.45f);
  // A linked master volume is read plain: its source is the volume.
  ModuleRecord* volume = Source();
  Put(volume, 0, 0, -0.25f);
  Link(mixer, kMixerMasterVolume, volume);
  Set(mixer, kMixerMasterVolume, 0.01f);
  Run(mixer);
  EXPECT_FLOAT_EQ(Level(mixer), 0.225f);
  EXPECT_EQ(mixer->ClipFlag.Load(), 0);
  // A volume source without voices stops the mixer for the frame, without
  // a reset.
  volume->ActiveVoices.Store(0);
  mixer->ProcessFunctions[0](mixer, 0, 0, 1);
  EXPECT_EQ(mixer->ActiveVoices.Load(), 0);
  EXPECT_EQ(mixer->MixerWord, -1);
  EXPECT_FLOAT_EQ(Level(mixer), 0.225f);
  volume->ActiveVoices.Store(1);
  Put(volume, 0, 0, 1.0f);
  Set(mixer, 3, 1.0f);
  Input(4, 2.3f);
  Run(mixer);
  EXPECT_EQ(Level(mixer), 1.0f);  // (0.9 + 2.3) / 2
  EXPECT_EQ(mixer->ClipFlag.Load(), -1);
}

TEST_F(MixerTest, ResetsOnceWhenItFallsSilent) {
  // No live input: nothing is published, nothing is reset.
  mixer->Outputs[0][0] = OutputElement{0.3f, 0.3f};
  Run(mixer);
  EXPECT_EQ(mixer->ActiveVoices.Load(), 0);
  EXPECT_EQ(Level(mixer), 0.3f);
  ModuleRecord* in = Input(1, 0.5f);
  Run(mixer);
  ASSERT_EQ(Level(mixer), 0.5f);
  in->ActiveVoices.Store(0);
  Run(mixer);
  EXPECT_EQ(mixer->ActiveVoices.Load(), 0);
  EXPECT_EQ(mixer->MixerWord, 0);
  EXPECT_EQ(Level(mixer), 0.0f);
  EXPECT_EQ(mixer->Awake, 0);
  // Once only in single-voice mode.
  mixer->Outputs[0][0] = OutputElement{0.3f, 0.3f};
  Run(mixer);
  EXPECT_EQ(Level(mixer), 0.3f);
  // Per voice every silent frame with a live input resets it.
  PerVoice(mixer);
  Run(mixer);
  EXPECT_EQ(Level(mixer), 0.0f);
  mixer->Outputs[0][0] = OutputElement{0.3f, 0.3f};
  Run(mixer);
  EXPECT_EQ(Level(mixer), 0.0f);
  EXPECT_EQ(mixer->MixerWord, 0);
}

TEST_F(MixerTest, PerVoiceCountsTheBusiestInput) {
  PerVoice(mixer);
  ModuleRecord* three = Source(1, 3);
  ModuleRecord* five = Source(1, 5);
  for (int32_t v = 0; v < 5; ++v) {
    Put(three, 0, v, 0.1f * static_cast<float>(v + 1));
    Put(five, 0, v, -0.05f * static_cast<float>(v + 1));
  }
  Link(mixer, 2, three);
  Link(mixer, 7, five);
  mixer->Params[2].VoiceMapRow = 1;
  mixer->Params[7].VoiceMapRow = 1;
  Run(mixer, 1);  // its own count, not the voices to compute
  ASSERT_EQ(mixer->ActiveVoices.Load(), 5);
  for (int32_t v = 0; v < 3; ++v)
    EXPECT_EQ(Level(mixer, 0, v), 0.5f * (0.1f * static_cast<float>(v + 1) + -0.05f * static_cast<float>(v + 1)))
        << v;
  for (int32_t v = 3; v < 5; ++v) EXPECT_EQ(Level(mixer, 0, v), 0.5f * (-0.05f * static_cast<float>(v + 1))) << v;
  EXPECT_EQ(mixer->MixerWord, -1);
  // Two channels from a two-channel source.
  ModuleRecord* stereo = Source(2, 1);
  Put(stereo, 0, 0, 0.6f);
  Put(stereo, 1, 0, -0.6f);
  Link(mixer, 9, stereo);
  mixer->ChannelsProcessed.Store(2);
  Run(mixer);
  const float k = static_cast<float>(1.0 / 3.0);
  EXPECT_EQ(Level(mixer, 1, 0), k * ((0.1f + -0.05f) + -0.6f));
  // A single-voice input adds to position 0 only.
  EXPECT_EQ(Level(mixer, 1, 4), k * (-0.05f * 5.0f));
}

// Per voice, frame after frame with the busiest input's count moving (8, 12,
// 32, 7, none): every voice is the clipped mean of its inputs in port order,
// an input adding only below its own count; positions past the count are
// left alone (or cleared when dropped); a silent frame resets the Mixer.
TEST_F(MixerTest, PerVoiceMixFollowsTheVoiceCountsBitForBit) {
  PerVoice(mixer);
  ModuleRecord* in[3] = {Source(1, 8), Source(1, 8), Source(1, 8)};
  const int32_t ports[3] = {2, 6, 11};
  const float gains[3] = {0.7f, -1.3f, 0.45f};
  for (int32_t i = 0; i < 3; ++i) {
    Link(mixer, ports[i], in[i]);
    Set(mixer, ports[i], gains[i]);
    mixer->Params[ports[i]].VoiceMapRow = 1;
  }
  Set(mixer, kMixerMasterVolume, 0.9f);
  const int32_t counts[][3] = {{8, 8, 3}, {8, 5, 8}, {12, 8, 1}, {32, 20, 32}, {32, 32, 32}, {7, 2, 0}, {0, 0, 0}, {8, 8, 8}};
  const float k = static_cast<float>(1.0 / 3.0);
  int32_t frame = 0;
  int32_t previous = 0;
  for (const auto& n : counts) {
    int32_t most = 0;
    for (int32_t i = 0; i < 3; ++i) {
      in[i]->ActiveVoices.Store(n[i]);
      most = std::max(most, n[i]);
      for (int32_t v = 0; v < kVoices; ++v) {
        float x = std::sin(0.37f * static_cast<float>(v + 5 * i + 11 * frame));
        if (v == 3 && i == 1) x = 2.5f;  // the mean clips there
        if (v == 6 && i == 2 && frame == 1) x = std::numeric_limits<float>::quiet_NaN();
        Put(in[i], 0, v, x, -x);
      }
    }
    for (int32_t v = 0; v < kVoices; ++v) mixer->Outputs[0][v] = OutputElement{9.0f, 9.0f};
    mixer->ClipFlag.Store(0);
    Run(mixer, 1);
    ASSERT_EQ(mixer->ActiveVoices.Load(), most) << frame;
    bool clipped = false;
    for (int32_t v = 0; v < kVoices; ++v) {
      float want = 9.0f;
      if (v < most) {
        float sum = 0.0f;
        for (int32_t i = 0; i < 3; ++i)
          if (v < n[i]) sum = sum + in[i]->Outputs[0][v].Level * gains[i];
        const float y = k * sum * 0.9f;
        clipped |= !(1.0f >= std::fabs(y));
        want = !(1.0f >= std::fabs(y)) ? (y > 0.0f ? 1.0f : (y < 0.0f ? -1.0f : 0.0f)) : y;
      } else if (v < previous) {
        want = 0.0f;  // dropped positions are cleared after the call
      } else if (most == 0) {
        continue;  // (a silent frame's reset may clear them too)
      }
      ASSERT_EQ(std::bit_cast<uint32_t>(Level(mixer, 0, v)), std::bit_cast<uint32_t>(want)) << frame << " " << v;
      ASSERT_EQ(std::bit_cast<uint32_t>(Freq(mixer, 0, v)), std::bit_cast<uint32_t>(want)) << frame << " " << v;
    }
    EXPECT_EQ(mixer->ClipFlag.Load(), clipped ? -1 : 0) << frame;
    EXPECT_EQ(mixer->MixerWord, most > 0 ? -1 : 0) << frame;
    previous = most;
    ++frame;
  }
}

}  // namespace
}  // namespace testing_synth
}  // namespace Tarvelo

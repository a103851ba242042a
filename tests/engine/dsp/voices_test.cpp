// Voice selector, Voice Mixer and Multiplexer: which voice is picked, how the
// mix is scaled and clipped, how inputs become voices, and their templates.
#include <gtest/gtest.h>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/voices.h"

namespace Tarvelo {
namespace {

using testing_synth::SynthTest;
using testing_synth::kTypeMultiplexer;
using testing_synth::kTypeVoiceMixer;
using testing_synth::kTypeVoiceSelector;

class VoicesTest : public SynthTest {};

TEST_F(VoicesTest, SelectorPicksAVoiceByIdAndFreezesWithoutIt) {
  ModuleRecord* s = Source(2, 3);
  s->VoiceIds[0] = 4;
  s->VoiceIds[1] = 5;
  s->VoiceIds[2] = 9;
  for (int32_t v = 0; v < 3; ++v) {
    Put(s, 0, v, 0.1f * (v + 1), 0.01f * (v + 1));
    Put(s, 1, v, -0.1f * (v + 1), -0.01f * (v + 1));
  }
  ModuleRecord* sel = Add(kTypeVoiceSelector);
  sel->ChannelsProcessed.Store(2);
  Link(sel, kSelectorFrequency, s);
  Set(sel, kSelectorVoice, 5.0f);
  Run(sel, 3);
  EXPECT_EQ(sel->ActiveVoices.Load(), 1);
  EXPECT_FLOAT_EQ(Level(sel), 0.2f);
  EXPECT_FLOAT_EQ(Freq(sel), 0.02f);
  EXPECT_FLOAT_EQ(Level(sel, 1), -0.2f);
  // Voice 5 stops sounding: no active voice, and the kernel leaves the
  // outputs as they were (the render callback clears dropped positions).
  s->VoiceIds[1] = 6;
  ProcessVoiceSelector(sel, 0, 0, 1);
  EXPECT_EQ(sel->ActiveVoices.Load(), 0);
  EXPECT_FLOAT_EQ(Level(sel), 0.2f);
  // A set value rounds to even: 4.5 picks voice 4.
  Set(sel, kSelectorVoice, 4.5f);
  Run(sel, 3);
  EXPECT_EQ(sel->ActiveVoices.Load(), 1);
  EXPECT_FLOAT_EQ(Level(sel), 0.1f);
  // Only the positions below the voices to compute are searched.
  Set(sel, kSelectorVoice, 9.0f);
  Run(sel, 2);
  EXPECT_EQ(sel->ActiveVoices.Load(), 0);
}

TEST_F(VoicesTest, MixerAveragesOrDividesByTheScalingAndClips) {
  ModuleRecord* s = Source(1, 4);
  for (int32_t v = 0; v < 4; ++v) Put(s, 0, v, 0.5f, 0.5f);
  ModuleRecord* mix = Add(kTypeVoiceMixer);
  Link(mix, kVoiceMixerInput, s);
  mix->Params[kVoiceMixerInput].VoiceMapRow = 1;
  Set(mix, kVoiceMixerInput, 1.0f);
  Run(mix, 4);
  EXPECT_EQ(mix->ActiveVoices.Load(), 1);
  EXPECT_FLOAT_EQ(Level(mix), 0.5f);
  EXPECT_EQ(mix->ClipFlag.Load(), 0);
  // A source whose voices carry their own envelopes is summed, then clipped.
  s->PerVoiceOutput = -1;
  Run(mix, 4);
  EXPECT_EQ(Level(mix), 1.0f);
  EXPECT_EQ(mix->ClipFlag.Load(), -1);
  // A live scaling source of four voices at 1.0 divides by 1 + 4.
  ModuleRecord* env = Source(1, 4);
  for (int32_t v = 0; v < 4; ++v) Put(env, 0, v, 1.0f, 1.0f);
  Link(mix, kVoiceMixerScaling, env);
  mix->Params[kVoiceMixerScaling].VoiceMapRow = 1;
  Run(mix, 4);
  EXPECT_FLOAT_EQ(Level(mix), 2.0f / 5.0f);
  // The port's set value is the gain.
  Set(mix, kVoiceMixerInput, 0.5f);
  Run(mix, 4);
  EXPECT_FLOAT_EQ(Level(mix), 0.2f);
  // A silent source leaves the output as it was.
  s->ActiveVoices.Store(0);
  ProcessVoiceMixer(mix, 0, 0, 1);
  EXPECT_EQ(mix->ActiveVoices.Load(), 0);
  EXPECT_FLOAT_EQ(Level(mix), 0.2f);
}

TEST_F(VoicesTest, MixerWithoutVoicesToComputeDoesNotDivideByZero) {
  ModuleRecord* s = Source(1, 2);
  Put(s, 0, 0, 0.4f, 0.4f);
  Put(s, 0, 1, 0.2f, 0.2f);
  ModuleRecord* mix = Add(kTypeVoiceMixer);
  Link(mix, kVoiceMixerInput, s);
  mix->Params[kVoiceMixerInput].VoiceMapRow = 1;
  Run(mix, 0);
  EXPECT_FLOAT_EQ(Level(mix), 0.3f);
}

TEST_F(VoicesTest, MultiplexerGathersInputsIntoVoices) {
  ModuleRecord* mux = Add(kTypeMultiplexer);
  ModuleRecord* a = Source();
  ModuleRecord* b = Source();
  Put(a, 0, 0, 0.25f, 0.01f);
  Put(b, 0, 0, 0.75f, 0.02f);
  Link(mux, 2, a);
  Link(mux, 7, b);
  Run(mux, 1, 1);
  ASSERT_EQ(mux->ActiveVoices.Load(), 2);
  EXPECT_EQ(mux->VoiceIds[0], 2);
  EXPECT_EQ(mux->VoiceIds[1], 7);
  EXPECT_EQ(Level(mux, 0, 0), 0.25f);
  EXPECT_EQ(Freq(mux, 0, 0), 0.01f);
  EXPECT_EQ(Level(mux, 0, 1), 0.75f);
  EXPECT_EQ(mux->TriggerBuffers[1][2], kVoiceMark);
  EXPECT_EQ(mux->TriggerBuffers[1][7], kVoiceMark);
  EXPECT_EQ(mux->TriggerBuffers[1][0], 0u);
  // Position 7 was cleared, not left holding input 7.
  EXPECT_EQ(Level(mux, 0, 7), 0.0f);
  // A live input without voices does not count; an unlinked one counts by its
  // set value.
  a->ActiveVoices.Store(0);
  Set(mux, 4, 0.5f);
  Run(mux, 1, 0);
  ASSERT_EQ(mux->ActiveVoices.Load(), 2);
  EXPECT_EQ(mux->VoiceIds[0], 4);
  EXPECT_EQ(Level(mux, 0, 0), 0.5f);
  EXPECT_EQ(mux->VoiceIds[1], 7);
  Set(mux, 4, 0.0f);
  Run(mux, 1, 1);
  EXPECT_EQ(mux->ActiveVoices.Load(), 1);
}

TEST_F(VoicesTest, MultiplexedConstantsMixedOnTheRenderPath) {
  ModuleRecord* mux = Add(kTypeMultiplexer);
  Link(mux, 0, Constant(0.2f));
  Link(mux, 3, Constant(0.4f));
  ModuleRecord* mix = Add(kTypeVoiceMixer);
  Link(mix, kVoiceMixerInput, mux);
  Output(mix);
  std::vector<float> out = Render(4);
  ASSERT_EQ(mux->ActiveVoices.Load(), 2);
  // Two voices averaged.
  EXPECT_FLOAT_EQ(out[6], 0.3f);
  EXPECT_FLOAT_EQ(out[7], 0.3f);
}

}  // namespace
}  // namespace Tarvelo

// Pitch bend and Harmonic: the factors they apply, the limit of the bend, and
// their templates.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/pitch.h"

namespace Tarvelo {
namespace {

using testing_synth::SynthTest;
using testing_synth::kTypeHarmonic;
using testing_synth::kTypePitchBend;

class PitchTest : public SynthTest {};

TEST_F(PitchTest, BendFactorsAcrossTheRange) {
  ModuleRecord* f = Source();
  ModuleRecord* p = Source();
  ModuleRecord* bend = Add(kTypePitchBend);
  Link(bend, kBendFrequency, f);
  Link(bend, kBendPitch, p);
  Set(bend, kBendRange, 2.0f);
  Put(f, 0, 0, 0.0f, 0.1f);
  struct Case {
    float pitch, expected;
  };
  for (const Case c : {Case{1.0f, 0.2f}, Case{-1.0f, 0.05f}, Case{0.5f, 0.15f}, Case{-0.5f, 0.1f / 1.5f},
                       Case{0.0f, 0.1f}}) {
    Put(p, 0, 0, c.pitch, c.pitch);
    Run(bend);
    EXPECT_FLOAT_EQ(Level(bend), c.expected) << c.pitch;
    EXPECT_EQ(Freq(bend), Level(bend));
  }
  // A pitch that is not a number bends by nothing sensible: 0, not a NaN.
  Put(p, 0, 0, std::nanf(""), 0.0f);
  Run(bend);
  EXPECT_EQ(Level(bend), 0.0f);
}

TEST_F(PitchTest, BentFrequencyIsLimitedWithoutTheClipFlag) {
  ModuleRecord* f = Source();
  ModuleRecord* p = Source();
  ModuleRecord* bend = Add(kTypePitchBend);
  Link(bend, kBendFrequency, f);
  Link(bend, kBendPitch, p);
  Set(bend, kBendRange, 4.0f);
  Put(f, 0, 0, 0.0f, 0.4f);
  Put(p, 0, 0, 1.0f, 1.0f);
  Run(bend);
  EXPECT_EQ(Level(bend), 1.0f);
  Put(f, 0, 0, 0.0f, -0.4f);
  Run(bend);
  EXPECT_EQ(Level(bend), -1.0f);
  EXPECT_EQ(bend->ClipFlag, 0);
}

TEST_F(PitchTest, PerVoiceBendUsesEachChannelsRange) {
  ModuleRecord* f = Source(2, 3);
  ModuleRecord* bend = Add(kTypePitchBend);
  PerVoice(bend);
  bend->ChannelsProcessed = 2;
  Link(bend, kBendFrequency, f);
  bend->Params[kBendFrequency].VoiceMapRow = 1;
  Set(bend, kBendPitch, 1.0f);
  // A range per channel through the value module's two rows.
  bend->PortValueModules[kBendRange]->ChannelsProcessed = 2;
  bend->PortValueModules[kBendRange]->Outputs[0][0].Level = 2.0f;
  bend->PortValueModules[kBendRange]->Outputs[1][0].Level = 3.0f;
  for (int32_t v = 0; v < 3; ++v) {
    Put(f, 0, v, 0.0f, 0.01f * (v + 1));
    Put(f, 1, v, 0.0f, 0.01f * (v + 1));
  }
  Run(bend, 3);
  EXPECT_EQ(bend->ActiveVoices, 3);
  for (int32_t v = 0; v < 3; ++v) {
    EXPECT_FLOAT_EQ(Level(bend, 0, v), 0.02f * (v + 1)) << v;
    EXPECT_FLOAT_EQ(Level(bend, 1, v), 0.03f * (v + 1)) << v;
  }
}

TEST_F(PitchTest, KeyboardThroughHarmonicOnTheRenderPath) {
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* h = Add(kTypeHarmonic);
  Link(h, kHarmonicFrequency, kb);
  ModuleRecord* osc = Add(kTypeOscillator);
  Link(osc, kOscFrequency, h);
  Output(osc);
  ASSERT_GE(KeyNoteOn(48, 1.0f, 1), 0);
  ASSERT_GE(KeyNoteOn(52, 1.0f, 1), 0);
  Render(3);
  ASSERT_EQ(h->PolyphonyMode, 1);  // follows the keyboard
  ASSERT_EQ(h->ActiveVoices, 2);
  for (int32_t v = 0; v < 2; ++v) EXPECT_FLOAT_EQ(Freq(h, 0, v), 2.0f * Freq(kb, 0, v)) << v;
}

}  // namespace
}  // namespace Tarvelo

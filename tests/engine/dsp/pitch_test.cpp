// Pitch bend and Harmonic: the factors they apply, the limit of the bend, and
// their templates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/engine/synth_fixture.h"
#include "engine/dsp/pitch.h"
#include "engine/dsp/settings.h"

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
  EXPECT_EQ(bend->ClipFlag.Load(), 0);
}

TEST_F(PitchTest, PerVoiceBendUsesEachChannelsRange) {
  ModuleRecord* f = Source(2, 3);
  ModuleRecord* bend = Add(kTypePitchBend);
  PerVoice(bend);
  bend->ChannelsProcessed.Store(2);
  Link(bend, kBendFrequency, f);
  bend->Params[kBendFrequency].VoiceMapRow = 1;
  Set(bend, kBendPitch, 1.0f);
  // A range per channel through the value module's two rows.
  bend->PortValueModules[kBendRange]->ChannelsProcessed.Store(2);
  bend->PortValueModules[kBendRange]->Outputs[0][0].Level = 2.0f;
  bend->PortValueModules[kBendRange]->Outputs[1][0].Level = 3.0f;
  for (int32_t v = 0; v < 3; ++v) {
    Put(f, 0, v, 0.0f, 0.01f * (v + 1));
    Put(f, 1, v, 0.0f, 0.01f * (v + 1));
  }
  Run(bend, 3);
  EXPECT_EQ(bend->ActiveVoices.Load(), 3);
  for (int32_t v = 0; v < 3; ++v) {
    EXPECT_FLOAT_EQ(Level(bend, 0, v), 0.02f * (v + 1)) << v;
    EXPECT_FLOAT_EQ(Level(bend, 1, v), 0.03f * (v + 1)) << v;
  }
}

// Per voice from another module's per-voice outputs the Harmonic takes
// several voices a step: each voice is still factor x input bit for bit (a
// NaN or an infinity too), on both channels and from either side, and the
// columns past the voices keep what they held.
TEST_F(PitchTest, HarmonicPerVoiceRowsMatchVoiceByVoice) {
  const float kInputs[] = {0.1f, -0.2f, std::nanf(""), INFINITY, 0.45f, -0.0f, 1e-38f, 0.7f, -0.9f};
  ModuleRecord* src = Source(2, kVoices, true);
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t v = 0; v < kVoiceColumns; ++v) Put(src, ch, v, kInputs[(v + 4 * ch) % 9], kInputs[(2 * v + ch) % 9]);
  for (const int32_t side : {0, 1}) {
    ModuleRecord* h = Add(kTypeHarmonic);
    PerVoice(h);
    h->ChannelsProcessed.Store(2);
    Link(h, kHarmonicFrequency, src);
    h->Params[kHarmonicFrequency].VoiceMapRow = 1;
    h->Params[kHarmonicFrequency].OutputSide.Store(side);
    Set(h, kHarmonicFactor, 3.0f);
    for (const int32_t voices : {1, 2, 3, 4, 7, 8, 13, 16, 30, 32}) {
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t v = 0; v < kVoiceColumns; ++v) h->Outputs[ch][v] = OutputElement{-5.0f, -5.0f};
      Run(h, voices);
      EXPECT_EQ(h->ActiveVoices.Load(), voices);
      for (int32_t ch = 0; ch < 2; ++ch) {
        const float factor = SettingRead(*h, kHarmonicFactor, ch);
        for (int32_t v = 0; v < kVoiceColumns; ++v) {
          const OutputElement in = src->Outputs[ch][v];
          const float y = v < voices ? factor * (side == 1 ? in.Frequency : in.Level) : -5.0f;
          uint32_t want, level, frequency;
          std::memcpy(&want, &y, 4);
          std::memcpy(&level, &h->Outputs[ch][v].Level, 4);
          std::memcpy(&frequency, &h->Outputs[ch][v].Frequency, 4);
          EXPECT_EQ(level, want) << "side " << side << " voices " << voices << " channel " << ch << " voice " << v;
          EXPECT_EQ(frequency, want);
        }
      }
    }
  }
}

// Per voice from other modules the bend takes several voices a step: each
// voice is still LimitValue(PitchBendFactor(pitch) x frequency) bit for bit
// (negative, -0, NaN and infinite bends and frequencies among them), for a
// per-voice input beside a single-voice one, on both channels, and the
// columns past the voices keep what they held.
TEST_F(PitchTest, PitchBendPerVoiceRowsMatchVoiceByVoice) {
  const float kInputs[] = {0.1f, -0.2f, std::nanf(""), INFINITY, 0.45f, -0.0f, 1.0f, -1.0f, 0.7f, -0.9f, 0.0f};
  ModuleRecord* pf = Source(2, kVoices, true);
  ModuleRecord* pp = Source(2, kVoices, true);
  ModuleRecord* single = Source(2, 1);
  for (int32_t ch = 0; ch < 2; ++ch) {
    for (int32_t v = 0; v < kVoiceColumns; ++v) {
      Put(pf, ch, v, kInputs[(v + 4 * ch) % 11], 0.5f * kInputs[(2 * v + ch) % 11]);
      Put(pp, ch, v, kInputs[(3 * v + ch + 1) % 11], kInputs[(5 * v + 2) % 11]);
    }
    Put(single, ch, 0, ch == 0 ? 0.4f : -0.6f, 0.3f);
  }
  struct Wiring {
    ModuleRecord* f;
    ModuleRecord* p;
    int32_t side;
  };
  for (const Wiring w : {Wiring{pf, pp, 0}, Wiring{pf, single, 1}, Wiring{single, pp, 0}, Wiring{pf, pp, 1}}) {
    ModuleRecord* bend = Add(kTypePitchBend);
    PerVoice(bend);
    bend->ChannelsProcessed.Store(2);
    Link(bend, kBendFrequency, w.f);
    Link(bend, kBendPitch, w.p);
    Set(bend, kBendRange, 2.5f);
    bend->Params[kBendFrequency].VoiceMapRow = w.f == single ? 0 : 1;
    bend->Params[kBendPitch].VoiceMapRow = w.p == single ? 0 : 1;
    bend->Params[kBendFrequency].OutputSide.Store(w.side);
    bend->Params[kBendPitch].OutputSide.Store(w.side);
    for (const int32_t voices : {1, 5, 8, 12, 16, 27, 32}) {
      for (int32_t ch = 0; ch < 2; ++ch)
        for (int32_t v = 0; v < kVoiceColumns; ++v) bend->Outputs[ch][v] = OutputElement{-5.0f, -5.0f};
      Run(bend, voices);
      for (int32_t ch = 0; ch < 2; ++ch) {
        const PortCursor f = OpenPlain(*bend, kBendFrequency, ch);
        const PortCursor p = OpenPlain(*bend, kBendPitch, ch);
        const float range = SettingRead(*bend, kBendRange, ch);
        for (int32_t v = 0; v < kVoiceColumns; ++v) {
          float y = -5.0f;
          if (v < voices) {
            y = PitchBendFactor(p(v), range) * f(v);
            if (!(1.0f >= std::fabs(y))) y = y > 0.0f ? 1.0f : (y < 0.0f ? -1.0f : 0.0f);
          }
          uint32_t want, level, frequency;
          std::memcpy(&want, &y, 4);
          std::memcpy(&level, &bend->Outputs[ch][v].Level, 4);
          std::memcpy(&frequency, &bend->Outputs[ch][v].Frequency, 4);
          EXPECT_EQ(level, want) << "voices " << voices << " channel " << ch << " voice " << v;
          EXPECT_EQ(frequency, want);
        }
      }
    }
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
  ASSERT_EQ(h->PolyphonyMode.Load(), 1);  // follows the keyboard
  ASSERT_EQ(h->ActiveVoices.Load(), 2);
  for (int32_t v = 0; v < 2; ++v) EXPECT_FLOAT_EQ(Freq(h, 0, v), 2.0f * Freq(kb, 0, v)) << v;
}

}  // namespace
}  // namespace Tarvelo

// Arithmetic and shaping kernels: the formulas at their edges, which reads
// are scaled, the clip rule, the derivative's state per voice id, and the
// modules in a rendered synth.
#include "engine/dsp/arithmetic.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "engine/dsp/settings.h"
#include "tests/engine/synth_fixture.h"

namespace Tarvelo {
namespace testing_synth {
namespace {

using ArithmeticTest = SynthTest;

// The published value of a module whose ports are all unlinked at the given
// values, after one single-voice call.
float Apply(ModuleRecord* m, float a, float b = 0.0f) {
  ModuleSetParamValue(*m, 0, a);
  if (m->PortCount > 1) ModuleSetParamValue(*m, 1, b);
  m->ClipFlag.Store(0);
  m->ProcessFunctions[0](m, 0, 0, 1);
  EXPECT_EQ(m->Outputs[0][0].Level, m->Outputs[0][0].Frequency);
  return m->Outputs[0][0].Level;
}

TEST_F(ArithmeticTest, TwoInputFormulasAndWhichOnesClip) {
  ModuleRecord* add = Add(kTypeAddition);
  EXPECT_EQ(Apply(add, 0.7f, 0.6f), 1.0f);
  EXPECT_EQ(add->ClipFlag.Load(), -1);
  EXPECT_EQ(Apply(add, 0.5f, 0.5f), 1.0f);  // exactly 1 is no clip
  EXPECT_EQ(add->ClipFlag.Load(), 0);
  EXPECT_EQ(Apply(add, -0.25f, 0.5f), 0.25f);
  EXPECT_EQ(Apply(add, std::nanf(""), 0.5f), 0.0f);
  EXPECT_EQ(add->ClipFlag.Load(), -1);

  ModuleRecord* diff = Add(kTypeDifference);
  EXPECT_EQ(Apply(diff, 0.25f, 0.5f), -0.25f);
  EXPECT_EQ(Apply(diff, -0.5f, 0.75f), -1.0f);
  EXPECT_EQ(diff->ClipFlag.Load(), -1);

  ModuleRecord* product = Add(kTypeProduct);
  EXPECT_EQ(Apply(product, 1.5f, 1.5f), 2.25f);
  EXPECT_EQ(product->ClipFlag.Load(), 0);
  EXPECT_EQ(Apply(product, -0.5f, 0.5f), -0.25f);
}

uint32_t BitsOf(float x) {
  uint32_t u;
  std::memcpy(&u, &x, 4);
  return u;
}

// What one voice of a per-voice type computes from its reads a and b, by
// the formulas; clipped tells whether the clip rule applied.
float Expected(const ModuleRecord& m, int32_t type, int32_t ch, float a, float b, bool& clipped) {
  auto sgn = [](float x) { return x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f); };
  float x = 0.0f;
  bool rule = true;
  switch (type) {
    case kTypeAddition: x = a + b; break;
    case kTypeDifference: x = a - b; break;
    case kTypeProduct: x = a * b; rule = false; break;
    case kTypeLevel: {
      float l = std::fabs(b);
      if (m.PortSources[kLevelLevel].Load()->Role == kRoleLive) l = l * SettingRead(m, kLevelMaxInput, ch);
      x = a * l + SettingRead(m, kLevelBias, ch);
      break;
    }
    case kTypeClipper: {
      const float t = std::fabs(b);
      x = !(t >= std::fabs(a)) ? (a >= 0.0f ? t : -t) : a;
      rule = false;
      break;
    }
    case kTypeInverter: x = a == 0.0f ? 1.0f : sgn(a) - a; rule = false; break;
    case kTypeAbsolute: x = std::fabs(a); rule = false; break;
    default: x = sgn(a); rule = false; break;  // Rectifier
  }
  if (rule && !(1.0f >= std::fabs(x))) {
    clipped = true;
    return sgn(x);
  }
  return x;
}

// Per voice, with inputs from other modules, the arithmetic types compute
// their voices side by side. Every voice must still give what the formula
// and the clip rule give one voice at a time (a NaN publishes 0, exactly 1
// is no clip), on both channels, from either output side, for a per-voice
// input beside a single-voice one or another per-voice one, scaled or not;
// the columns past the voices keep what they held, and what the inputs
// hold there raises no clip flag.
TEST_F(ArithmeticTest, PerVoiceRowsMatchTheFormulaVoiceByVoice) {
  const float kInputs[] = {0.25f,     -0.5f,      1.0f,  -1.0f,    -0.0f,   0.75f,   1.5f,  -3.0f,
                           std::nanf(""), INFINITY, -INFINITY, 0.125f, 0.5f,  -0.25f, 2e-39f, 0.0f};
  ModuleRecord* pa = Source(2, kVoices, true);
  ModuleRecord* pb = Source(2, kVoices, true);
  ModuleRecord* single = Source(2, 1);
  for (int32_t ch = 0; ch < 2; ++ch) {
    for (int32_t v = 0; v < kVoiceColumns; ++v) {
      const float x = kInputs[(v * 5 + ch) % 16];
      Put(pa, ch, v, x, 0.5f * x);
      Put(pb, ch, v, kInputs[(v * 3 + 7 * ch + 1) % 16], -0.25f * x);
    }
    Put(single, ch, 0, ch == 0 ? 0.5f : -0.75f, 0.3f);
  }
  struct Wiring {
    ModuleRecord* a;
    ModuleRecord* b;
    float gainA, gainB;
    int32_t side;
  };
  const Wiring wirings[] = {{pa, pb, 1.0f, 1.0f, 0}, {pa, single, 2.0f, 1.0f, 0}, {single, pb, 1.0f, 0.5f, 0},
                            {pa, pb, 0.5f, 3.0f, 1}, {single, single, 2.0f, 2.0f, 0}};
  const float kSentinel = 7.0f;  // outside -1..1: a published clip would show as +-1
  for (const int32_t type : {kTypeAddition, kTypeDifference, kTypeProduct, kTypeLevel, kTypeClipper, kTypeInverter,
                             kTypeAbsolute, kTypeRectifier}) {
    const bool twoPorts = type != kTypeInverter && type != kTypeAbsolute && type != kTypeRectifier;
    const bool scaledB = type == kTypeAddition || type == kTypeDifference || type == kTypeProduct;
    for (const Wiring& w : wirings) {
      ModuleRecord* m = Add(type);
      PerVoice(m);
      m->ChannelsProcessed.Store(2);
      Link(m, 0, w.a);
      Set(m, 0, w.gainA);
      if (twoPorts) {
        Link(m, 1, w.b);
        Set(m, 1, w.gainB);
      }
      if (type == kTypeLevel) {
        Set(m, kLevelBias, 0.25f);
        Set(m, kLevelMaxInput, 1.5f);
      }
      for (int32_t p = 0; p < (twoPorts ? 2 : 1); ++p) {
        m->Params[p].VoiceMapRow = (p == 0 ? w.a : w.b) == single ? 0 : 1;
        m->Params[p].OutputSide.Store(w.side);
      }
      for (const int32_t voices : {1, 3, 8, 11, 16, 24, 29, 32}) {
        for (int32_t ch = 0; ch < 2; ++ch)
          for (int32_t v = 0; v < kVoiceColumns; ++v) m->Outputs[ch][v] = OutputElement{kSentinel, kSentinel};
        m->ClipFlag.Store(0);
        Run(m, voices);
        bool clipped = false;
        for (int32_t ch = 0; ch < 2; ++ch) {
          const PortCursor a = OpenScaled(*m, 0, ch);
          const PortCursor b = twoPorts ? OpenPort(*m, 1, ch, scaledB) : a;
          for (int32_t v = 0; v < kVoiceColumns; ++v) {
            const OutputElement e = m->Outputs[ch][v];
            if (v >= voices) {
              EXPECT_EQ(e.Level, kSentinel) << type << " voices " << voices << " column " << v;
              EXPECT_EQ(e.Frequency, kSentinel);
              continue;
            }
            const float y = Expected(*m, type, ch, a(v), b(v), clipped);
            EXPECT_EQ(BitsOf(e.Level), BitsOf(y)) << type << " voices " << voices << " channel " << ch << " voice " << v;
            EXPECT_EQ(BitsOf(e.Frequency), BitsOf(y));
          }
        }
        EXPECT_EQ(m->ClipFlag.Load(), clipped ? -1 : 0) << type << " voices " << voices;
        EXPECT_EQ(m->ActiveVoices.Load(), voices);
      }
    }
  }
}

// The per-voice Derivative computes its voices side by side while they are
// in place (voice position v holds id v), else one by one by id. Either way
// every voice's difference and kept input are the formula's, frame after
// frame, a NaN input is not kept, and the state of the ids past the voices
// stays as it was.
TEST_F(ArithmeticTest, PerVoiceDerivativeRowsKeepTheStateByVoiceId) {
  const float kInputs[] = {0.25f, -0.5f, 1.0f, std::nanf(""), -0.0f, 0.75f, -1.5f, INFINITY, 0.125f, -0.875f, 0.5f};
  ModuleRecord* src = Source(2, kVoices, true);
  ModuleRecord* d = Add(kTypeDerivative);
  PerVoice(d);
  d->ChannelsProcessed.Store(2);
  Link(d, 0, src);
  Set(d, 0, 2.0f);
  d->Params[0].VoiceMapRow = 1;
  ModuleRecord* owner = Add(kTypeKeyboard);
  d->TriggerOwner.Store(owner);
  float state[2][kVoiceColumns];
  for (int32_t ch = 0; ch < 2; ++ch)
    for (int32_t w = 0; w < kVoiceColumns; ++w) state[ch][w] = d->VoiceState[ch][w] = 0.01f * static_cast<float>(w - ch);
  const int32_t counts[] = {13, 32, 5, 8, 21, 32, 3, 16};
  for (int32_t frame = 0; frame < 8; ++frame) {
    const int32_t voices = counts[frame];
    for (int32_t v = 0; v < kVoices; ++v) owner->VoiceIds[v] = v;
    if (frame % 3 == 2) std::swap(owner->VoiceIds[0], owner->VoiceIds[2]);  // out of place: one by one
    for (int32_t ch = 0; ch < 2; ++ch)
      for (int32_t v = 0; v < kVoiceColumns; ++v) Put(src, ch, v, kInputs[(v * 7 + frame * 3 + ch) % 11]);
    d->ClipFlag.Store(0);
    Run(d, voices);
    bool clipped = false;
    for (int32_t ch = 0; ch < 2; ++ch) {
      const PortCursor in = OpenScaled(*d, 0, ch);
      for (int32_t v = 0; v < voices; ++v) {
        const int32_t w = owner->VoiceIds[v];
        const float x = in(v);
        float y = x - state[ch][w];
        if (!std::isnan(x)) state[ch][w] = x;
        if (!(1.0f >= std::fabs(y))) {
          y = y > 0.0f ? 1.0f : (y < 0.0f ? -1.0f : 0.0f);
          clipped = true;
        }
        EXPECT_EQ(BitsOf(Level(d, ch, v)), BitsOf(y)) << "frame " << frame << " channel " << ch << " voice " << v;
        EXPECT_EQ(BitsOf(Freq(d, ch, v)), BitsOf(y));
      }
      for (int32_t w = 0; w < kVoiceColumns; ++w)
        EXPECT_EQ(BitsOf(d->VoiceState[ch][w]), BitsOf(state[ch][w])) << "frame " << frame << " channel " << ch << " id " << w;
    }
    EXPECT_EQ(d->ClipFlag.Load(), clipped ? -1 : 0) << "frame " << frame;
  }
}

TEST_F(ArithmeticTest, OneInputShapers) {
  ModuleRecord* inv = Add(kTypeInverter);
  EXPECT_EQ(Apply(inv, 0.0f), 1.0f);
  EXPECT_EQ(Apply(inv, 1.0f), 0.0f);
  EXPECT_EQ(Apply(inv, -1.0f), 0.0f);
  EXPECT_FLOAT_EQ(Apply(inv, -0.3f), -0.7f);
  EXPECT_EQ(Apply(inv, 0.25f), 0.75f);
  EXPECT_EQ(Apply(inv, -0.25f), -0.75f);
  EXPECT_EQ(Apply(inv, 3.0f), -2.0f);  // not clipped
  EXPECT_EQ(inv->ClipFlag.Load(), 0);

  ModuleRecord* abs = Add(kTypeAbsolute);
  EXPECT_EQ(Apply(abs, -0.6f), 0.6f);
  EXPECT_EQ(Apply(abs, -4.0f), 4.0f);
  EXPECT_EQ(abs->ClipFlag.Load(), 0);

  ModuleRecord* rect = Add(kTypeRectifier);
  EXPECT_EQ(Apply(rect, -0.001f), -1.0f);
  EXPECT_EQ(Apply(rect, 0.0f), 0.0f);
  EXPECT_EQ(Apply(rect, 1e-30f), 1.0f);

  // The clipper bounds by the threshold's magnitude, keeping the sign.
  ModuleRecord* clip = Add(kTypeClipper);
  EXPECT_EQ(Apply(clip, 0.9f, -0.4f), 0.4f);
  EXPECT_EQ(Apply(clip, -0.9f, -0.4f), -0.4f);
  EXPECT_EQ(Apply(clip, 0.3f, -0.4f), 0.3f);
  EXPECT_EQ(Apply(clip, -0.4f, 0.4f), -0.4f);
  EXPECT_EQ(Apply(clip, 5.0f, 2.0f), 2.0f);
  EXPECT_EQ(clip->ClipFlag.Load(), 0);
  EXPECT_EQ(Apply(clip, std::nanf(""), 0.5f), -0.5f);
}

TEST_F(ArithmeticTest, LevelScalesAndBiases) {
  ModuleRecord* level = Add(kTypeLevel);
  Set(level, kLevelInput, 0.3f);
  Set(level, kLevelLevel, 2.0f);
  Set(level, kLevelBias, 0.1f);
  Run(level);
  EXPECT_FLOAT_EQ(Level(level), 0.7f);
  // A negative level acts by its magnitude.
  Set(level, kLevelLevel, -2.0f);
  Run(level);
  EXPECT_FLOAT_EQ(Level(level), 0.7f);

  // A live level signal is scaled by "Max input level", not by its set value.
  ModuleRecord* src = Source();
  Put(src, 0, 0, -0.5f);
  Link(level, kLevelLevel, src);
  Set(level, kLevelLevel, 0.001f);
  Set(level, kLevelMaxInput, 20.0f);
  Set(level, kLevelInput, 0.05f);
  Run(level);
  EXPECT_FLOAT_EQ(Level(level), 0.6f);
  EXPECT_EQ(level->ClipFlag.Load(), 0);
  Set(level, kLevelInput, 0.5f);
  Run(level);
  EXPECT_EQ(Level(level), 1.0f);
  EXPECT_EQ(level->ClipFlag.Load(), -1);
}

TEST_F(ArithmeticTest, DerivativeKeepsThePreviousInputPerChannelAndVoiceId) {
  ModuleRecord* src = Source(2, 1);
  ModuleRecord* d = Add(kTypeDerivative);
  Link(d, 0, src);
  d->ChannelsProcessed.Store(2);
  Put(src, 0, 0, 0.8f);
  Put(src, 1, 0, -0.3f);
  Run(d);
  EXPECT_EQ(Level(d, 0), 0.8f);
  EXPECT_EQ(Level(d, 1), -0.3f);
  Run(d);
  EXPECT_EQ(Level(d, 0), 0.0f);
  EXPECT_EQ(Level(d, 1), 0.0f);
  Put(src, 0, 0, -0.8f);
  Run(d);
  EXPECT_EQ(Level(d, 0), -1.0f);  // -1.6 clipped; the input is what is kept
  EXPECT_EQ(d->ClipFlag.Load(), -1);
  EXPECT_EQ(d->VoiceState[0][0], -0.8f);
  Put(src, 0, 0, -0.5f);
  Run(d);
  EXPECT_FLOAT_EQ(Level(d, 0), 0.3f);

  // A NaN input publishes 0 but does not poison the differences after it.
  Put(src, 0, 0, std::nanf(""));
  Run(d);
  EXPECT_EQ(Level(d, 0), 0.0f);
  Put(src, 0, 0, -0.25f);
  Run(d);
  EXPECT_FLOAT_EQ(Level(d, 0), 0.25f);

  // Per voice the state follows the trigger owner's voice ids, not positions.
  ModuleRecord* poly = Source(1, 2);
  ModuleRecord* pd = Add(kTypeDerivative);
  PerVoice(pd);
  Link(pd, 0, poly);
  pd->Params[0].VoiceMapRow = 1;
  ModuleRecord* owner = Add(kTypeKeyboard);
  pd->TriggerOwner.Store(owner);
  owner->VoiceIds[0] = 5;
  owner->VoiceIds[1] = 9;
  Put(poly, 0, 0, 0.5f);
  Put(poly, 0, 1, 0.25f);
  Run(pd, 2);
  EXPECT_EQ(pd->VoiceState[0][5], 0.5f);
  EXPECT_EQ(pd->VoiceState[0][9], 0.25f);
  // Voice 5 ended: voice 9 moved to position 0 and continues from its input.
  owner->VoiceIds[0] = 9;
  Put(poly, 0, 0, 0.75f);
  Run(pd, 1);
  EXPECT_EQ(Level(pd, 0, 0), 0.5f);
  EXPECT_EQ(Level(pd, 0, 1), 0.0f);
  EXPECT_EQ(pd->ActiveVoices.Load(), 1);
}

TEST_F(ArithmeticTest, RenderedSynthsAndTheTypesThatNeedALinkedInput) {
  // Addition of two constants is the output; the default set values (0.5)
  // weight the linked inputs.
  ModuleRecord* a = Constant(0.25f);
  ModuleRecord* b = Constant(-0.5f);
  ModuleRecord* add = Add(kTypeAddition);
  Link(add, kInputA, a);
  Link(add, kInputB, b);
  Output(add);
  std::vector<float> out = Render(3);
  EXPECT_EQ(out[4], -0.125f);
  EXPECT_EQ(out[5], -0.125f);
  Set(add, kInputB, 1.0f);
  out = Render(1);
  EXPECT_EQ(out[0], 0.125f - 0.5f);

  // A derivative of a constant: the step once, then 0.
  ModuleRecord* d = Add(kTypeDerivative);
  Link(d, 0, a);
  Output(d);
  out = Render(3);
  EXPECT_EQ(out[0], 0.25f);
  EXPECT_EQ(out[2], 0.0f);
  EXPECT_EQ(out[4], 0.0f);

  // A per-voice product of a three-voice keyboard's velocities, mixed.
  ModuleRecord* kb = Add(kTypeKeyboard);
  PerVoice(kb);
  ModuleRecord* product = Add(kTypeProduct);
  PerVoice(product);
  Link(product, kInputA, kb);
  Set(product, kInputB, 0.5f);
  Output(product);
  ASSERT_GE(NoteOn(*KeyboardStates[0].Load(), 220.0f, 0.2f), 0);
  ASSERT_GE(NoteOn(*KeyboardStates[0].Load(), 330.0f, 0.3f), 0);
  ASSERT_GE(NoteOn(*KeyboardStates[0].Load(), 440.0f, 0.4f), 0);
  out = Render(3);
  EXPECT_EQ(product->ActiveVoices.Load(), 3);
  EXPECT_FLOAT_EQ(out[4], 0.45f);

  // With its input unlinked an Inverter is left out (silence); a Rectifier runs.
  ModuleRecord* inv = Add(kTypeInverter);
  Set(inv, 0, 0.0f);
  Output(inv);
  out = Render(2);
  EXPECT_EQ(out[2], 0.0f);
  ModuleRecord* rect = Add(kTypeRectifier);
  Set(rect, 0, -0.5f);
  Output(rect);
  out = Render(2);
  EXPECT_EQ(out[2], -1.0f);
}

}  // namespace
}  // namespace testing_synth
}  // namespace Tarvelo

// Filter and Distortion: delays and gains of known sections at DC, a quarter
// of the rate and Nyquist, the frozen low pass, per-voice states, undefined
// inputs and hostile pass counts; the logistic curve's values.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/dsp/distortion.h"
#include "engine/dsp/filter.h"
#include "time_fixture.h"

namespace Tarvelo {
namespace testing_time {
namespace {

class FilterTest : public TimeTest {
 protected:
  ModuleRecord* Filter(ModuleRecord* src, float low, float high, float passes) {
    ModuleRecord* m = Add(kTypeFilter);
    Link(m, kFilterInput, src);
    Set(m, kFilterLowPass, low);
    Set(m, kFilterHighPass, high);
    Set(m, kFilterPasses, passes);
    return m;
  }
  // Two per-voice filters of n voices over two sources, the first with its
  // voices at their own ids, the second with them in reverse: the same
  // inputs must give each voice the same steps either way.
  struct Twins {
    ModuleRecord* inPlace;
    ModuleRecord* reversed;
    ModuleRecord* a;
    ModuleRecord* b;
  };
  Twins InPlaceAndReversed(int32_t n, float low, float high, float passes) {
    Twins t{Source(1, n, true), Source(1, n, true), nullptr, nullptr};
    t.a = Filter(t.inPlace, low, high, passes);
    t.b = Filter(t.reversed, low, high, passes);
    PerVoice(t.a);
    PerVoice(t.b);
    t.a->TriggerOwner.Store(t.inPlace);
    t.b->TriggerOwner.Store(t.reversed);
    for (int32_t v = 0; v < n; ++v) {
      t.inPlace->VoiceIds[v] = v;
      t.reversed->VoiceIds[v] = n - 1 - v;
    }
    return t;
  }
  // The steady amplitude of the response to x[n] = cos(n w) for w = pi
  // (Nyquist) or pi / 2 (a quarter of the rate), after the start has died.
  float Gain(ModuleRecord* m, ModuleRecord* src, bool nyquist) {
    std::vector<float> out;
    for (int32_t n = 0; n < 400; ++n) {
      const float x = nyquist ? ((n & 1) ? -1.0f : 1.0f) : (n % 4 == 0 ? 1.0f : (n % 4 == 2 ? -1.0f : 0.0f));
      Put(src, 0, 0, x);
      Step(m);
      out.push_back(m->Outputs[0][0].Level);
    }
    // Two samples a quarter period apart give the amplitude of the sinusoid.
    const float a = out[398], b = out[399];
    return nyquist ? std::fabs(b) : std::sqrt(a * a + b * b);
  }
};

TEST_F(FilterTest, OneLowPassSectionOfHalf) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Filter(src, 0.5f, 0.0f, 1.0f);
  Put(src, 0, 0, 1.0f);
  EXPECT_EQ(Steps(m, 4), (std::vector<float>{0.0f, 0.5f, 0.75f, 0.875f}));
  // Towards DC gain 1; at a quarter of the rate (1 - L) / |1 - L e^-jw| =
  // 0.5 / sqrt(1.25); at Nyquist (1 - L) / (1 + L) = 1/3.
  Steps(m, 100);
  EXPECT_NEAR(m->Outputs[0][0].Level, 1.0f, 1e-6);
  ModuleRecord* q = Filter(Source(), 0.5f, 0.0f, 1.0f);
  EXPECT_NEAR(Gain(q, q->PortSources[0].Load(), false), 0.5 / std::sqrt(1.25), 1e-5);
  ModuleRecord* n = Filter(Source(), 0.5f, 0.0f, 1.0f);
  EXPECT_NEAR(Gain(n, n->PortSources[0].Load(), true), 1.0 / 3.0, 1e-5);
  // Two sections multiply.
  ModuleRecord* n2 = Filter(Source(), 0.5f, 0.0f, 2.0f);
  EXPECT_NEAR(Gain(n2, n2->PortSources[0].Load(), true), 1.0 / 9.0, 1e-5);
  EXPECT_EQ(m->ClipFlag.Load(), 0);
}

TEST_F(FilterTest, HighPassRemovesDc) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Filter(src, 0.0f, 0.5f, 1.0f);  // H = 0.25
  Put(src, 0, 0, 1.0f);
  std::vector<float> out = Steps(m, 200);
  // The slow copy follows the new low state in the same frame: 1 - 0.25, then
  // 1 - (0.25 + 0.75 x 0.25).
  EXPECT_EQ(out[1], 0.75f);
  EXPECT_EQ(out[2], 0.5625f);
  EXPECT_LT(std::fabs(out.back()), 1e-6f);
  // At Nyquist the slow copy holds H / (2 - H) of the signal: the section
  // passes 1 - 1/7 of it.
  ModuleRecord* n = Filter(Source(), 0.0f, 0.5f, 1.0f);
  EXPECT_NEAR(Gain(n, n->PortSources[0].Load(), true), 6.0 / 7.0, 1e-5);
}

TEST_F(FilterTest, AFrozenLowPassDecaysByOnePercentPerFrame) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Filter(src, 0.0f, 0.0f, 1.0f);
  Put(src, 0, 0, 0.8f);
  Step(m);
  Set(m, kFilterLowPass, -1.0f);  // counts by its magnitude
  Put(src, 0, 0, -1.0f);          // ignored from now on
  std::vector<float> out = Steps(m, 3);
  EXPECT_EQ(out[0], 0.8f);
  EXPECT_EQ(out[1], static_cast<float>(0.8f * 0.99));
  EXPECT_EQ(out[2], static_cast<float>(static_cast<float>(0.8f * 0.99) * 0.99));
}

TEST_F(FilterTest, SevenPassesUseTheWholeBufferOnTwoChannels) {
  ModuleRecord* src = Source(2);
  ModuleRecord* m = Filter(src, 0.5f, 0.5f, 7.0f);
  m->ChannelsProcessed.Store(2);
  Put(src, 0, 0, 1.0f);
  Put(src, 1, 0, -1.0f);
  Steps(m, 20);
  ASSERT_EQ(m->WorkBufferSize, 28);
  for (int32_t i = 0; i < 28; i += 2) {
    EXPECT_NE(FilterState(*m, 0, i), 0.0f) << i;
    EXPECT_EQ(FilterState(*m, 0, i + 1), -FilterState(*m, 0, i)) << i;  // channel 1 is the mirror
  }
  EXPECT_EQ(m->Outputs[1][0].Level, -m->Outputs[0][0].Level);
}

TEST_F(FilterTest, VoicesKeepTheirStatesByVoiceId) {
  ModuleRecord* src = Source(1, 2, true);
  ModuleRecord* m = Filter(src, 0.5f, 0.0f, 1.0f);
  PerVoice(m);
  m->TriggerOwner.Store(src);  // as the order rebuild sets it for a per-voice chain
  src->VoiceIds[0] = 4;
  src->VoiceIds[1] = 9;
  Put(src, 0, 0, 1.0f);
  Put(src, 0, 1, -1.0f);
  Steps(m, 3);
  EXPECT_EQ(m->ActiveVoices.Load(), 2);
  EXPECT_EQ(m->Outputs[0][0].Level, 0.75f);
  EXPECT_EQ(m->Outputs[0][1].Level, -0.75f);
  EXPECT_EQ(FilterState(*m, 4, 0), 0.875f);
  EXPECT_EQ(FilterState(*m, 9, 0), -0.875f);
  // Voice 4 ends: voice 9 moves to position 0 and goes on from its state.
  src->ActiveVoices.Store(1);
  src->VoiceIds[0] = 9;
  Put(src, 0, 0, -1.0f);
  Step(m);
  EXPECT_EQ(m->Outputs[0][0].Level, -0.875f);
}

// Voices in place (position v holds voice id v) are computed section by
// section side by side; voices in another order one at a time. Both must give
// every voice the same numbers, bit for bit, for each shared-setting choice.
TEST_F(FilterTest, VoicesSideBySideTakeTheStepsOfOneVoiceAtATime) {
  constexpr int32_t kN = 8;
  const struct {
    float low, high, passes;
  } cases[] = {{0.5f, 0.0f, 1.0f}, {0.3f, 0.4f, 3.0f}, {1.0f, 0.2f, 2.0f}, {1.0f, 0.0f, 7.0f}, {0.0f, 0.7f, 3.0f}};
  for (const auto& c : cases) {
    const auto [inPlace, reversed, a, b] = InPlaceAndReversed(kN, c.low, c.high, c.passes);
    for (int32_t n = 0; n < 12; ++n) {
      for (int32_t v = 0; v < kN; ++v) {
        const float x = std::sin(0.7f * static_cast<float>(n) + 0.3f * static_cast<float>(v));
        Put(inPlace, 0, v, x);
        Put(reversed, 0, v, x);
      }
      Step(a);
      Step(b);
      for (int32_t v = 0; v < kN; ++v)
        ASSERT_EQ(a->Outputs[0][v].Level, b->Outputs[0][v].Level) << c.low << " " << c.high << " " << v;
    }
    for (int32_t v = 0; v < kN; ++v)
      for (int32_t i = 0; i < 28; ++i) ASSERT_EQ(FilterState(*a, v, i), FilterState(*b, kN - 1 - v, i)) << v;
  }
}

// The same for every voice count the rows take (one, two and four rows of
// eight lanes, full and partly used): states of voice ids past the voices
// stay as they were, and a voice whose output leaves -1 .. 1 is clipped
// while the others publish their values.
TEST_F(FilterTest, EveryVoiceCountSideBySideMatchesOneVoiceAtATime) {
  for (int32_t n : {1, 3, 4, 5, 8, 9, 16, 17, 24, 31, 32}) {
    for (const float high : {0.0f, 0.4f}) {
      const auto [inPlace, reversed, a, b] = InPlaceAndReversed(n, 0.3f, high, 3.0f);
      for (int32_t w = n; w < kVoices; ++w)
        for (int32_t i = 0; i < 28; ++i) FilterState(*a, w, i) = 0.125f * static_cast<float>(i + 1);
      bool clipped = false;
      for (int32_t k = 0; k < 16; ++k) {
        for (int32_t v = 0; v < n; ++v) {
          // The last voice turns loud after a while, and its outputs clip.
          const float x = (k > 3 && v == n - 1 ? 9.0f : 1.0f) * std::sin(0.9f * static_cast<float>(k) + static_cast<float>(v));
          Put(inPlace, 0, v, x);
          Put(reversed, 0, v, x);
        }
        Step(a);
        Step(b);
        for (int32_t v = 0; v < n; ++v) {
          ASSERT_EQ(std::bit_cast<uint32_t>(a->Outputs[0][v].Level), std::bit_cast<uint32_t>(b->Outputs[0][v].Level))
              << n << " voices, voice " << v << ", frame " << k;
          ASSERT_EQ(a->Outputs[0][v].Level, a->Outputs[0][v].Frequency);
        }
        clipped |= std::fabs(a->Outputs[0][n - 1].Level) == 1.0f;
      }
      EXPECT_TRUE(clipped);
      EXPECT_EQ(a->ClipFlag.Load(), -1);
      for (int32_t v = 0; v < n; ++v)
        for (int32_t i = 0; i < 28; ++i) ASSERT_EQ(FilterState(*a, v, i), FilterState(*b, n - 1 - v, i)) << n << " " << v;
      for (int32_t w = n; w < kVoices; ++w)
        for (int32_t i = 0; i < 28; ++i) ASSERT_EQ(FilterState(*a, w, i), 0.125f * static_cast<float>(i + 1)) << n << " " << w;
    }
  }
}

// Whole chunks of voices (8 and 32) with every pass count, the high pass on
// and off and a frozen low pass, an input that turns undefined on one voice:
// side by side in place they give what voices by id one after the other
// give, bit for bit, outputs and states.
TEST_F(FilterTest, EveryPassCountOnWholeChunksMatchesOneVoiceAtATime) {
  struct Setting {
    float low, high;
  };
  for (int32_t n : {8, 32}) {
    for (int32_t passes = 1; passes <= kFilterMaxSections; ++passes) {
      for (const Setting s : {Setting{0.3f, 0.0f}, Setting{-0.6f, 0.4f}, Setting{1.0f, 0.2f}, Setting{-1.0f, 0.0f}}) {
        const auto [inPlace, reversed, a, b] = InPlaceAndReversed(n, s.low, s.high, static_cast<float>(passes));
        // (The undefined input reaches the output after one frame per pass.)
        for (int32_t k = 0; k < 13; ++k) {
          for (int32_t v = 0; v < n; ++v) {
            float x = 1.5f * std::sin(0.7f * static_cast<float>(k) + 0.3f * static_cast<float>(v));
            if (k == 4 && v == n / 2) x = std::numeric_limits<float>::quiet_NaN();
            Put(inPlace, 0, v, x);
            Put(reversed, 0, v, x);
          }
          Step(a);
          Step(b);
          for (int32_t v = 0; v < n; ++v)
            ASSERT_EQ(std::bit_cast<uint32_t>(a->Outputs[0][v].Level), std::bit_cast<uint32_t>(b->Outputs[0][v].Level))
                << n << " voices, " << passes << " passes, low " << s.low << ", voice " << v << ", frame " << k;
        }
        EXPECT_EQ(a->ClipFlag.Load(), -1);
        for (int32_t v = 0; v < n; ++v)
          for (int32_t i = 0; i < 4 * passes; ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(FilterState(*a, v, i)), std::bit_cast<uint32_t>(FilterState(*b, n - 1 - v, i)))
                << n << " " << passes << " " << v << " " << i;
      }
    }
  }
}

// A two-channel Filter and Distortion per voice, in place: each channel gives
// bit for bit what a one-channel module fed that channel's inputs gives.
TEST_F(FilterTest, SecondChannelsMatchOneChannelModules) {
  for (int32_t n : {8, 12, 32}) {
    ModuleRecord* stereo = Source(2, n, true);
    ModuleRecord* left = Source(1, n, true);
    ModuleRecord* right = Source(1, n, true);
    ModuleRecord* f[3] = {Filter(stereo, 0.4f, 0.3f, 3.0f), Filter(left, 0.4f, 0.3f, 3.0f),
                          Filter(right, 0.4f, 0.3f, 3.0f)};
    ModuleRecord* d[3];
    ModuleRecord* sources[3] = {stereo, left, right};
    for (int32_t i = 0; i < 3; ++i) {
      d[i] = Add(kTypeDistortion);
      Link(d[i], kDistortionInput, sources[i]);
      Set(d[i], kDistortionFactor, 0.3f);
      for (ModuleRecord* m : {f[i], d[i]}) {
        PerVoice(m);
        m->TriggerOwner.Store(sources[i]);
      }
    }
    f[0]->ChannelsProcessed.Store(2);
    d[0]->ChannelsProcessed.Store(2);
    for (int32_t k = 0; k < 8; ++k) {
      for (int32_t v = 0; v < n; ++v) {
        const float a = 1.2f * std::sin(0.5f * static_cast<float>(k + v));
        const float b = (v == 2 && k > 3 ? 40.0f : 0.8f) * std::cos(0.3f * static_cast<float>(k) + static_cast<float>(v));
        Put(stereo, 0, v, a);
        Put(stereo, 1, v, b);
        Put(left, 0, v, a);
        Put(right, 0, v, b);
      }
      for (int32_t i = 0; i < 3; ++i) {
        Step(f[i]);
        Step(d[i]);
      }
      for (int32_t v = 0; v < n; ++v)
        for (ModuleRecord** m : {&f[0], &d[0]})
          for (int32_t ch = 0; ch < 2; ++ch)
            ASSERT_EQ(std::bit_cast<uint32_t>(m[0]->Outputs[ch][v].Level),
                      std::bit_cast<uint32_t>(m[1 + ch]->Outputs[0][v].Level))
                << n << " voices, channel " << ch << ", voice " << v << ", frame " << k;
    }
    EXPECT_EQ(f[0]->ClipFlag.Load(), -1);
    EXPECT_EQ(f[2]->ClipFlag.Load(), -1);
    EXPECT_EQ(f[1]->ClipFlag.Load(), 0);
  }
}

// A reset clears every voice's states, whatever the polyphony mode.
TEST_F(FilterTest, ResetClearsTheStatesOfEveryVoice) {
  ModuleRecord* m = Filter(Source(), 0.5f, 0.0f, 3.0f);
  for (int32_t mode : {0, 1}) {
    m->PolyphonyMode.Store(mode);
    FilterState(*m, 0, 0) = 1.0f;
    FilterState(*m, 31, 27) = 1.0f;
    ModuleClearWorkBuffers(*m);
    EXPECT_EQ(FilterState(*m, 0, 0), 0.0f);
    EXPECT_EQ(FilterState(*m, 31, 27), 0.0f);
  }
}

TEST_F(FilterTest, UndefinedInputsAreClippedAndTheStatesRecover) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Filter(src, 0.5f, 0.5f, 3.0f);
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    Put(src, 0, 0, bad);
    std::vector<float> out = Steps(m, 4);
    for (float y : out) EXPECT_LE(std::fabs(y), 1.0f) << y;  // never undefined
    EXPECT_EQ(m->ClipFlag.Load(), -1);
    Put(src, 0, 0, 0.25f);
    out = Steps(m, 10);
    for (float y : out) EXPECT_TRUE(std::isfinite(y));
    for (int32_t i = 0; i < 28; ++i) EXPECT_TRUE(std::isfinite(FilterState(*m, 0, i))) << i;
    m->ClipFlag.Store(0);
  }
  // Loud but finite input is clipped, and the filter is not harmed.
  Put(src, 0, 0, 1e30f);
  Steps(m, 4);
  EXPECT_EQ(m->Outputs[0][0].Level, 1.0f);
}

TEST_F(FilterTest, PassCountsOutsideTheRangeAreHeldToIt) {
  EXPECT_EQ(FilterSections(3.0f), 3);
  EXPECT_EQ(FilterSections(2.9999995f), 3);
  EXPECT_EQ(FilterSections(7.5f), 7);
  EXPECT_EQ(FilterSections(1e9f), 7);
  EXPECT_EQ(FilterSections(0.0f), 1);
  EXPECT_EQ(FilterSections(-4.0f), 1);
  EXPECT_EQ(FilterSections(std::numeric_limits<float>::quiet_NaN()), 1);
  // floor(P + 1e-6) at the edges of the range, in double: just below a
  // whole number, on it, and the infinities.
  EXPECT_EQ(FilterSections(0.999999f), 1);
  EXPECT_EQ(FilterSections(0.99999f), 1);
  EXPECT_EQ(FilterSections(1.999998f), 1);
  EXPECT_EQ(FilterSections(1.999999f), 2);
  EXPECT_EQ(FilterSections(6.9999986f), 6);
  EXPECT_EQ(FilterSections(6.9999995f), 7);
  EXPECT_EQ(FilterSections(7.9999995f), 7);
  EXPECT_EQ(FilterSections(8.0f), 7);
  EXPECT_EQ(FilterSections(std::numeric_limits<float>::infinity()), 7);
  EXPECT_EQ(FilterSections(-std::numeric_limits<float>::infinity()), 1);
  for (float p = -1.0f; p < 9.0f; p = std::nextafter(p, 10.0f) + 0.0001f) {
    const double n = std::floor(static_cast<double>(p) + 1e-6);
    ASSERT_EQ(FilterSections(p), n < 1.0 ? 1 : (n > 7.0 ? 7 : static_cast<int32_t>(n))) << p;
  }
  // The stored value counts, not the value module.
  ModuleRecord* src = Source();
  ModuleRecord* m = Filter(src, 0.0f, 0.0f, 2.0f);
  m->PortValueModules[kFilterPasses]->Outputs[0][0].Level = 5.0f;
  Put(src, 0, 0, 1.0f);
  std::vector<float> out = Steps(m, 3);
  EXPECT_EQ(out, (std::vector<float>{0.0f, 0.0f, 1.0f}));
}

TEST_F(FilterTest, DistortionModuleAttenuatesAndClips) {
  ModuleRecord* src = Source();
  ModuleRecord* m = Add(kTypeDistortion);
  Link(m, kDistortionInput, src);
  Set(m, kDistortionFactor, 0.0f);
  Put(src, 0, 0, 1.0f);
  // |1 - attenuation| scales the curve; beyond 2 it amplifies into the clip.
  const float cases[4][2] = {{0.0f, 0.7615942f}, {0.5f, 0.3807971f}, {1.0f, 0.0f}, {-3.0f, 1.0f}};
  for (const auto& c : cases) {
    Set(m, kDistortionAttenuation, c[0]);
    EXPECT_NEAR(Steps(m, 1)[0], c[1], 1e-6) << c[0];
    EXPECT_EQ(m->ClipFlag.Load(), c[0] < 0.0f ? -1 : 0);
  }
  m->ClipFlag.Store(0);
  Put(src, 0, 0, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(Steps(m, 1)[0], 0.0f);
  EXPECT_EQ(m->ClipFlag.Load(), -1);
}

// Per voice, every voice publishes bit for bit what the one-voice curve
// gives: small inputs near the rounding of the curve, ordinary ones, inputs
// that saturate it, that overflow the power, and undefined ones. Lanes past
// the voices holding undefined values never raise the clip flag.
TEST_F(FilterTest, DistortionVoicesMatchTheCurveBitForBit) {
  ModuleRecord* src = Source(1, kVoices, true);
  ModuleRecord* m = Add(kTypeDistortion);
  PerVoice(m);
  Link(m, kDistortionInput, src);
  std::vector<float> inputs;
  for (float x = 1e-9f; x < 60.0f; x *= 1.37f) {
    inputs.push_back(x);
    inputs.push_back(-x * 0.999f);
  }
  for (int32_t k = 0; k < 256; ++k) inputs.push_back(0.1f + 0.0001f * static_cast<float>(k));
  // Around the edge of the near range of the power: |k x| = 700 for k = 2.
  for (float x : {350.0f, -350.0f, std::nextafter(350.0f, 0.0f), std::nextafter(350.0f, 400.0f),
                  std::nextafter(-350.0f, 0.0f), std::nextafter(-350.0f, -400.0f)})
    inputs.push_back(x);
  for (float x : {0.0f, -0.0f, 1e-30f, 3.0e38f, -3.0e38f, std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
    inputs.push_back(x);
  for (float factor : {0.0f, 0.05f, 1.0f, 40.0f}) {
    Set(m, kDistortionFactor, factor);
    for (size_t at = 0; at < inputs.size(); at += kVoices) {
      const int32_t voices = static_cast<int32_t>(std::min<size_t>(kVoices, inputs.size() - at));
      src->ActiveVoices.Store(voices);
      for (int32_t v = 0; v < kVoices; ++v) Put(src, 0, v, v < voices ? inputs[at + v] : std::numeric_limits<float>::quiet_NaN());
      m->ClipFlag.Store(0);
      Step(m);
      bool clips = false;
      for (int32_t v = 0; v < voices; ++v) {
        const float c = DistortionCurve(inputs[at + v], factor);
        const float want = !(1.0f >= std::fabs(c)) ? (c > 0.0f ? 1.0f : (c < 0.0f ? -1.0f : 0.0f)) : c;
        clips |= !(1.0f >= std::fabs(c));
        EXPECT_EQ(std::bit_cast<uint32_t>(m->Outputs[0][v].Level), std::bit_cast<uint32_t>(want))
            << "x " << inputs[at + v] << " factor " << factor;
      }
      EXPECT_EQ(m->ClipFlag.Load(), clips ? -1 : 0);
    }
  }
}

}  // namespace
}  // namespace testing_time
}  // namespace Tarvelo

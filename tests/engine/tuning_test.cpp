// Tunings: the default tuning, the setters' clamps and pushes, the frequency
// rules at their edges, scale patterns and consonance weights.
#include "engine/tuning.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

namespace Tarvelo {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class TuningTest : public ::testing::Test {
 protected:
  void SetUp() override { InitTuning(t); }
  void TearDown() override { FreeTuning(t); }

  // Absolute ratios start at 1, rise strictly and stay below 2; the relative
  // ratios agree with them.
  void ExpectOrdered(const Tuning& x) {
    const int32_t n = x.NoteCount;
    ASSERT_GE(n, 2);
    ASSERT_LE(n, 64);
    EXPECT_EQ(x.AbsoluteRatios[0], 1.0f);
    for (int32_t i = 1; i < n; ++i) {
      EXPECT_GT(x.AbsoluteRatios[i], x.AbsoluteRatios[i - 1]) << i;
      EXPECT_FLOAT_EQ(x.RelativeRatios[i], x.AbsoluteRatios[i] / x.AbsoluteRatios[i - 1]) << i;
    }
    EXPECT_LT(x.AbsoluteRatios[n - 1], 2.0f);
    EXPECT_FLOAT_EQ(x.RelativeRatios[0], 2.0f / x.AbsoluteRatios[n - 1]);
  }

  Tuning t;
};

TEST_F(TuningTest, DefaultTuning) {
  EXPECT_EQ(t.NoteCount, 12);
  EXPECT_EQ(t.ReferencePitch, 440.0f);
  EXPECT_EQ(t.BaseFrequency, 27.5f);
  EXPECT_STREQ(t.PatternNames[0], "Chromatic");
  EXPECT_EQ(std::string(t.FileName.text), "Chromatic.tng");
  EXPECT_EQ(TuningGetNoteName(t, 0), "A");
  EXPECT_EQ(TuningGetNoteName(t, 11), "Ab");
  float a = 1.0f;
  for (int32_t i = 0; i < 12; ++i) {
    EXPECT_EQ(TuningGetRatio(t, i), 1.0594631f);
    EXPECT_EQ(TuningGetSecondValue(t, i), a);
    a = 1.0594631f * a;
  }
  // The three shared records are built before main.
  for (const Tuning& x : Tunings) EXPECT_EQ(x.NoteCount, 12);
  EXPECT_EQ(&EditedTuning, &Tunings[0]);
  EXPECT_EQ(&EngineTuning, &Tunings[2]);
}

TEST_F(TuningTest, KeyFrequencyOfTheDefaultTuning) {
  EXPECT_EQ(TuningKeyFrequency(t, 48), 440.0f);
  EXPECT_EQ(TuningKeyFrequency(t, 0), 27.5f);
  EXPECT_EQ(TuningKeyFrequency(t, 49), 440.0f * 1.0594631f);
  EXPECT_EQ(TuningKeyFrequency(t, 60), 880.0f);
  EXPECT_EQ(TuningKeyFrequency(t, -12), 13.75f);
  EXPECT_EQ(TuningKeyFrequency(t, -1), 13.75f * t.AbsoluteRatios[11]);
  EXPECT_EQ(TuningOctaveKeyFrequency(t, 4, 0), 440.0f);
  EXPECT_EQ(TuningOctaveKeyFrequency(t, 4, 12), 440.0f);  // key N is key 0
  EXPECT_EQ(TuningOctaveKeyFrequency(t, 0, -1), 27.5f * t.AbsoluteRatios[11]);
  // The extreme keys give 0 and infinity, never undefined arithmetic.
  EXPECT_EQ(TuningKeyFrequency(t, INT_MIN), 0.0f);
  EXPECT_EQ(TuningKeyFrequency(t, INT_MAX), kInf);
}

TEST_F(TuningTest, KeyIndexRuleForEveryPerKeyOperation) {
  EXPECT_EQ(TuningGetSecondValue(t, -1), t.AbsoluteRatios[11]);
  EXPECT_EQ(TuningGetSecondValue(t, 12), 1.0f);
  EXPECT_EQ(TuningGetSecondValue(t, -13), t.AbsoluteRatios[11]);
  EXPECT_EQ(TuningGetSecondValue(t, INT_MIN), t.AbsoluteRatios[((INT_MIN % 12) + 12) % 12]);
  EXPECT_EQ(TuningGetNoteName(t, -1), "Ab");
  EXPECT_EQ(TuningGetNoteName(t, 12), "A");
  EXPECT_EQ(TuningGetNoteName(t, INT_MAX), TuningGetNoteName(t, INT_MAX % 12));
  t.PatternMasks[0] = 1;  // key 0 only
  EXPECT_EQ(TuningPatternHasKey(t, 12, 0), -1);
  EXPECT_EQ(TuningPatternHasKey(t, -12, 0), -1);
  EXPECT_EQ(TuningPatternHasKey(t, -1, 0), 0);
  EXPECT_EQ(TuningPatternHasKey(t, 0, 1), 0);   // pattern not in use
  EXPECT_EQ(TuningPatternHasKey(t, 0, -1), 0);
  EXPECT_EQ(TuningPatternHasKey(t, 0, 500), 0);
}

TEST_F(TuningTest, ReferencePitchIsClamped) {
  const float cases[][3] = {{100.0f, 220.0f, 13.75f}, {1000.0f, 880.0f, 55.0f},
                            {kNaN, 220.0f, 13.75f}, {kInf, 880.0f, 55.0f}};
  for (const auto& [asked, pitch, base] : cases) {
    TuningSetReferencePitch(t, asked);
    EXPECT_EQ(t.ReferencePitch, pitch) << asked;
    EXPECT_EQ(t.BaseFrequency, base) << asked;
  }
}

TEST_F(TuningTest, NoteCountIsClampedAndResizesEverything) {
  t.Modified = 0;
  TuningSetNoteCount(t, 12);
  EXPECT_EQ(t.Modified, 0);
  EXPECT_EQ(TuningGetNoteName(t, 0), "A");

  TuningSetNoteCount(t, 1);
  EXPECT_EQ(t.NoteCount, 2);
  EXPECT_EQ(TuningGetNoteName(t, 0), "1");
  EXPECT_EQ(TuningGetNoteName(t, 1), "2");
  EXPECT_EQ(t.AbsoluteRatios[1], static_cast<float>(std::sqrt(2.0)));
  ExpectOrdered(t);
  // The weights follow the count: N + 1 entries, each in (0, 1].
  for (int32_t i = 0; i <= 2; ++i) {
    EXPECT_GT(t.ConsonanceWeights[i], 0.0f);
    EXPECT_LE(t.ConsonanceWeights[i], 1.0f);
  }

  TuningSetNoteCount(t, 65);
  EXPECT_EQ(t.NoteCount, 64);
  EXPECT_EQ(TuningGetNoteName(t, 63), "64");
  ExpectOrdered(t);
  EXPECT_EQ(t.ConsonanceWeights[0], 1.0f);
  EXPECT_EQ(t.ConsonanceWeights[64], 1.0f);
  for (int32_t i = 1; i < 64; ++i) EXPECT_GT(t.ConsonanceWeights[i], 0.0f);
  EXPECT_EQ(t.PatternCount, 1);  // patterns are untouched

  TuningSetNoteCount(t, INT_MIN);
  EXPECT_EQ(t.NoteCount, 2);
}

TEST_F(TuningTest, SetRatioKeepsTheSmallestStepAndRederivesTheKeysAbove) {
  TuningSetEqualTemperament(t);
  TuningSetRatio(t, 3, 0.5f);
  EXPECT_EQ(t.RelativeRatios[3], 1.0025f);
  EXPECT_EQ(t.AbsoluteRatios[3], 1.0025f * t.AbsoluteRatios[2]);
  EXPECT_EQ(t.AbsoluteRatios[4], t.RelativeRatios[4] * t.AbsoluteRatios[3]);
  ExpectOrdered(t);

  // A huge step leaves room for the keys above it.
  TuningSetRatio(t, 5, 100.0f);
  ExpectOrdered(t);
  for (int32_t i = 6; i < 12; ++i) EXPECT_GE(t.RelativeRatios[i], 1.0024f);
  TuningSetRatio(t, 11, kInf);
  EXPECT_LE(t.AbsoluteRatios[11], 1.9950124f);
  ExpectOrdered(t);
  // The next-to-last key pushed to its limit still leaves the last one above it.
  TuningSetRatio(t, 10, kInf);
  EXPECT_LT(t.AbsoluteRatios[10], t.AbsoluteRatios[11]);
  EXPECT_NEAR(t.AbsoluteRatios[10], 2.0 / std::pow(1.0025, 2), 1e-6);
  ExpectOrdered(t);
  TuningSetRatio(t, 4, kNaN);
  EXPECT_EQ(t.RelativeRatios[4], 1.0025f);
  ExpectOrdered(t);
}

TEST_F(TuningTest, SetSecondValuePushesNeighbours) {
  TuningSetEqualTemperament(t);
  const float a5 = t.AbsoluteRatios[5];
  // Below key 1: keys 1..5 are pushed down by the smallest step.
  TuningSetSecondValue(t, 6, 1.0f);
  const float v6 = static_cast<float>(std::pow(1.0025, 6));
  EXPECT_EQ(t.AbsoluteRatios[6], v6);
  EXPECT_EQ(t.AbsoluteRatios[5], static_cast<float>(v6 / 1.0025));
  EXPECT_LT(t.AbsoluteRatios[5], a5);
  EXPECT_EQ(t.AbsoluteRatios[0], 1.0f);
  ExpectOrdered(t);

  // Above the last key: the keys above are pushed up.
  TuningSetEqualTemperament(t);
  TuningSetSecondValue(t, 3, 1.99f);
  EXPECT_EQ(t.AbsoluteRatios[3], static_cast<float>(2.0 / std::pow(1.0025, 9)));
  EXPECT_EQ(t.AbsoluteRatios[4], static_cast<float>(1.0025 * t.AbsoluteRatios[3]));
  ExpectOrdered(t);

  TuningSetSecondValue(t, 7, kNaN);
  ExpectOrdered(t);
  TuningSetSecondValue(t, 7, -kInf);
  ExpectOrdered(t);
}

TEST_F(TuningTest, ScalePatterns) {
  TuningAddScalePattern(t, 2775, "Major-ish", -1);
  ASSERT_EQ(t.PatternCount, 2);
  for (int32_t k = 0; k < 12; ++k) {
    const bool in = k == 0 || k == 2 || k == 4 || k == 5 || k == 7 || k == 9 || k == 10 || k == 11;
    EXPECT_EQ(TuningPatternHasKey(t, k, 1), in ? -1 : 0) << k;
  }
  TuningAddScalePattern(t, 0x5, "As given", 0);
  EXPECT_EQ(t.PatternMasks[2], 0x5u);
  TuningAddScalePattern(t, 1, "0123456789012345678901234567890123456789", 0);
  EXPECT_EQ(std::string(t.PatternNames[3]), "01234567890123456789012345678901");
  EXPECT_EQ(t.PatternNames[3][32], '\0');

  // 64 keys: the reversed mask needs no shift.
  TuningSetNoteCount(t, 64);
  TuningAddScalePattern(t, uint64_t{1} << 63, "first", -1);
  EXPECT_EQ(TuningPatternHasKey(t, 0, 4), -1);
  EXPECT_EQ(TuningPatternHasKey(t, 1, 4), 0);

  t.Modified = 0;
  while (t.PatternCount < 128) TuningAddScalePattern(t, 1, "x", 0);
  EXPECT_EQ(t.Modified, 0);
  TuningAddScalePattern(t, 3, "one too many", 0);
  EXPECT_EQ(t.PatternCount, 128);
  EXPECT_EQ(t.PatternMasks[128], 0u);

  TuningNewScalePattern(t, 7);
  EXPECT_STREQ(t.PatternNames[7], "[New scale pattern]");
  EXPECT_EQ(t.PatternMasks[7], ~uint64_t{0});
  EXPECT_EQ(t.Modified, -1);
  t.Modified = 0;
  TuningNewScalePattern(t, 128);
  TuningNewScalePattern(t, -1);
  EXPECT_EQ(t.Modified, -1);  // set even for an index it ignores
  EXPECT_EQ(t.PatternCount, 128);
}

TEST_F(TuningTest, FrequencyToNote) {
  EXPECT_EQ(TuningFrequencyToNote(t, 27.5f), 0);
  EXPECT_EQ(TuningFrequencyToNote(t, 440.0f), 48);
  EXPECT_EQ(TuningFrequencyToNote(t, 466.0f), 48);  // just below key 49
  EXPECT_EQ(TuningFrequencyToNote(t, 440.0f * 1.0594631f), 49);
  EXPECT_EQ(TuningFrequencyToNote(t, 13.75f), -12);
  for (int32_t k = -30; k < 100; ++k) EXPECT_EQ(TuningFrequencyToNote(t, TuningKeyFrequency(t, k)), k);
  // No frequency makes the arithmetic undefined.
  TuningFrequencyToNote(t, 0.0f);
  TuningFrequencyToNote(t, -440.0f);
  TuningFrequencyToNote(t, kNaN);
  TuningFrequencyToNote(t, kInf);
}

TEST_F(TuningTest, QuantizePitch) {
  EXPECT_EQ(TuningQuantizePitch(t, 0.0f, 4, 1), 0.0f);
  EXPECT_EQ(TuningQuantizeLogPitch(t, 0.0f, 4, 1), 0.0f);
  // p = 4.5: octave 4, key 6.
  EXPECT_EQ(TuningQuantizePitch(t, 0.5f, 4, 1), 440.0f * t.AbsoluteRatios[6]);
  EXPECT_EQ(TuningQuantizePitch(t, -0.5f, 4, 1), -440.0f * t.AbsoluteRatios[6]);
  // log2(1 + 1) = 1: p = 3 + 1.
  EXPECT_EQ(TuningQuantizeLogPitch(t, 1.0f, 3, 1), 440.0f);
  EXPECT_EQ(TuningQuantizePitch(t, kNaN, 4, 1), 0.0f);
  EXPECT_EQ(TuningQuantizePitch(t, kInf, 4, 1), 0.0f);
  TuningQuantizePitch(t, 1e30f, INT_MAX, INT_MAX);
  TuningQuantizeLogPitch(t, -1e30f, INT_MIN, INT_MAX);
}

TEST_F(TuningTest, ConsonanceOfTheDefaultTuning) {
  const int32_t expected[12] = {0, 17, 8, 5, 4, 3, 5, 2, 5, 3, 9, 9};
  for (int32_t i = 1; i < 12; ++i)
    EXPECT_EQ(TuningRatioMultiplier(t, t.AbsoluteRatios[i]), expected[i]) << i;
  EXPECT_EQ(t.ConsonanceWeights[0], 1.0f);
  EXPECT_EQ(t.ConsonanceWeights[12], 1.0f);
  EXPECT_EQ(t.ConsonanceWeights[7], static_cast<float>(16.0 / 17.0));
  EXPECT_EQ(t.ConsonanceWeights[1], static_cast<float>(1.0 / 17.0));
  EXPECT_EQ(TuningRatioMultiplier(t, 1.5f), 2);
  EXPECT_EQ(TuningRatioMultiplier(t, 1.0f), 1);
}

TEST_F(TuningTest, CopyIsDeep) {
  Tuning d;
  InitTuning(d);
  TuningSetNoteCount(t, 7);
  TuningSetReferencePitch(t, 432.0f);
  TuningSetSecondValue(t, 3, 1.4f);
  TuningSetNoteName(t, 3, "three");
  TuningAddScalePattern(t, 0x55, "odd", 0);
  QUARLE_BASICS::DynZStringAssign(t.Folder, "C:\\tunings");
  t.Modified = 0;
  CopyTuning(d, t);
  EXPECT_EQ(d.NoteCount, 7);
  EXPECT_EQ(d.ReferencePitch, 432.0f);
  EXPECT_EQ(d.AbsoluteRatios[3], 1.4f);
  EXPECT_EQ(d.RelativeRatios[0], t.RelativeRatios[0]);
  EXPECT_EQ(TuningGetNoteName(d, 3), "three");
  EXPECT_EQ(d.PatternCount, 2);
  EXPECT_EQ(d.PatternMasks[1], 0x55u);
  EXPECT_STREQ(d.PatternNames[1], "odd");
  EXPECT_EQ(std::string(d.Folder.text), "C:\\tunings");
  EXPECT_EQ(d.Modified, -1);
  EXPECT_EQ(d.ConsonanceWeights[7], 1.0f);
  // Nothing is shared.
  TuningSetNoteName(t, 3, "changed");
  EXPECT_EQ(TuningGetNoteName(d, 3), "three");
  FreeTuning(t);
  EXPECT_EQ(TuningGetNoteName(d, 3), "three");
  InitTuning(t);
  CopyTuning(d, d);
  EXPECT_EQ(TuningGetNoteName(d, 3), "three");
  FreeTuning(d);
}

}  // namespace
}  // namespace Tarvelo

// The wave shapes: the shared prologue (wrap, factor, offset, duty, advance)
// and the value of every shape at the points that define it.
#include "engine/dsp/waves.h"

#include <gtest/gtest.h>

#include <cmath>

#include "engine/catalog/catalog.h"
#include "engine/globals.h"

namespace Tarvelo {
namespace {

// One call at phase p with the other arguments of the wave preview.
float At(WaveFunction f, float p, float a = 1.0f) { return f(&p, a, 0.0f, 0.0f, 1.0f, 1.0f); }

TEST(WaveShapes, ValuesAtTheDefiningPoints) {
  const float a = 0.5f;
  EXPECT_EQ(At(WaveSine, 0.0f, a), 0.0f);
  EXPECT_FLOAT_EQ(At(WaveSine, 0.25f, a), a);
  EXPECT_FLOAT_EQ(At(WaveSine, 0.75f, a), -a);

  EXPECT_EQ(At(WaveTriangle, 0.0f, a), 0.0f);
  EXPECT_EQ(At(WaveTriangle, 0.25f, a), a);
  EXPECT_EQ(At(WaveTriangle, 0.5f, a), 0.0f);
  EXPECT_EQ(At(WaveTriangle, 0.75f, a), -a);

  EXPECT_EQ(At(WaveSquare, 0.0f, a), a);
  EXPECT_EQ(At(WaveSquare, 0.4999f, a), a);
  EXPECT_EQ(At(WaveSquare, 0.5f, a), -a);

  EXPECT_EQ(At(WaveSawtooth, 0.0f, a), 0.0f);
  EXPECT_EQ(At(WaveSawtooth, 0.25f, a), 0.25f);
  EXPECT_EQ(At(WaveSawtooth, 0.5f, a), -a);
  EXPECT_EQ(At(WaveSawtooth, 0.75f, a), -0.25f);

  EXPECT_EQ(At(WaveInvertedSine, 0.0f, a), 0.0f);
  EXPECT_FLOAT_EQ(At(WaveInvertedSine, 0.25f, a), a);
  EXPECT_FLOAT_EQ(At(WaveInvertedSine, 0.75f, a), -a);
  EXPECT_NEAR(At(WaveInvertedSine, 0.5f, a), 0.0f, 1e-7f);

  EXPECT_FLOAT_EQ(At(WaveCycloid, 0.25f, a), a);
  EXPECT_FLOAT_EQ(At(WaveCycloid, 0.75f, a), -a);
  EXPECT_NEAR(At(WaveCycloid, 0.125f, a), a * std::sqrt(std::sqrt(0.5f)), 1e-6f);

  EXPECT_FLOAT_EQ(At(WaveCubicSine, 0.25f, a), a);
  EXPECT_NEAR(At(WaveCubicSine, 1.0f / 12.0f, a), a * 0.125f, 1e-6f);

  EXPECT_EQ(At(WaveParabola, 0.0f, a), 0.0f);
  EXPECT_EQ(At(WaveParabola, 0.25f, a), a);
  EXPECT_EQ(At(WaveParabola, 0.5f, a), 0.0f);
  EXPECT_EQ(At(WaveParabola, 0.75f, a), -a);

  EXPECT_EQ(At(WaveInvertedParabola, 0.0f, a), 0.0f);
  EXPECT_EQ(At(WaveInvertedParabola, 0.25f, a), a);
  EXPECT_EQ(At(WaveInvertedParabola, 0.5f, a), 0.0f);
  EXPECT_EQ(At(WaveInvertedParabola, 0.75f, a), -a);
  EXPECT_FLOAT_EQ(At(WaveInvertedParabola, 0.125f, a), a * 0.25f);

  EXPECT_EQ(At(WaveAsymmetricParabola, 0.0f, a), 0.0f);
  EXPECT_EQ(At(WaveAsymmetricParabola, 0.25f, a), a * 0.25f);
  EXPECT_EQ(At(WaveAsymmetricParabola, 0.5f, a), a);
  EXPECT_LT(At(WaveAsymmetricParabola, 0.5001f, a), -0.49f);
  EXPECT_EQ(At(WaveAsymmetricParabola, 0.75f, a), -a * 0.25f);

  for (float p : {0.0f, 0.3f, 0.9f}) EXPECT_EQ(At(WaveExperimental, p, a), 0.0f);
}

TEST(WaveShapes, PhaseWrapsOnceAndAdvancesAQuarterStep) {
  float p = 1.0f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.04f, 0.0f, 1.0f, 1.0f), 1.0f);  // read as 0.0
  EXPECT_FLOAT_EQ(p, 0.01f);
  // The stored phase may pass 1.0; the next call wraps it.
  p = 0.99f;
  WaveSine(&p, 1.0f, 0.08f, 0.0f, 1.0f, 1.0f);
  EXPECT_FLOAT_EQ(p, 1.01f);
  WaveSine(&p, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f);
  EXPECT_NEAR(p, 0.01f, 1e-6f);
  // One step only: 1.5 is read as 0.5.
  p = 1.5f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f), -1.0f);
  // A negative step makes the phase fall; -1.0 wraps to 0.0.
  p = 0.02f;
  WaveSine(&p, 1.0f, -0.04f, 0.0f, 1.0f, 1.0f);
  EXPECT_FLOAT_EQ(p, 0.01f);
  p = -1.0f;
  WaveSquare(&p, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f);
  EXPECT_EQ(p, 0.0f);
  // A negative phase reads from the end of the cycle.
  p = -0.25f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f), -1.0f);
  // Every shape advances the phase, also when silent.
  InstallWaveShapes();
  for (int32_t i = 0; i < kWaveShapeCount; ++i) {
    const WaveFunction f = WaveShapeTable[i].Function;
    p = 0.5f;
    EXPECT_EQ(f(&p, 0.0f, 0.4f, 0.0f, 1.0f, 1.0f), 0.0f) << i;
    EXPECT_FLOAT_EQ(p, 0.6f) << i;
  }
}

TEST(WaveShapes, DutyFactorAndOffset) {
  float p;
  // Duty 0 and factor 0 silence every shape.
  InstallWaveShapes();
  for (int32_t i = 0; i < kWaveShapeCount; ++i) {
    const WaveFunction f = WaveShapeTable[i].Function;
    p = 0.25f;
    EXPECT_EQ(f(&p, 1.0f, 0.0f, 0.0f, 1.0f, 0.0f), 0.0f) << i;
    p = 0.25f;
    EXPECT_EQ(f(&p, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f), 0.0f) << i;
  }
  // Duty 0.25 sounds up to the phase 0.25; the phase goes on meanwhile.
  p = 0.25f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 1.0f, 0.25f), 1.0f);
  p = 0.3f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.4f, 0.0f, 1.0f, 0.25f), 0.0f);
  EXPECT_FLOAT_EQ(p, 0.4f);
  // Duty -0.25 sounds the last quarter.
  p = 0.5f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 1.0f, -0.25f), 0.0f);
  p = 0.8f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 1.0f, -0.25f), -1.0f);
  // Factor 2: two cycles per phase cycle.
  p = 0.3f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 2.0f, 1.0f), -1.0f);
  p = 0.55f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.0f, 2.0f, 1.0f), 1.0f);
  // Factor -1 with offset 0 reads the phase as factor 1 does.
  for (float q : {0.1f, 0.3f, 0.6f, 0.85f}) {
    float p1 = q, p2 = q;
    EXPECT_EQ(WaveSawtooth(&p1, 1.0f, 0.0f, 0.0f, -1.0f, 1.0f), WaveSawtooth(&p2, 1.0f, 0.0f, 0.0f, 1.0f, 1.0f));
  }
  // Offset 0.25: the square changes sign at phase 0.25.
  p = 0.2f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.25f, 1.0f, 1.0f), 1.0f);
  p = 0.3f;
  EXPECT_EQ(WaveSquare(&p, 1.0f, 0.0f, 0.25f, 1.0f, 1.0f), -1.0f);
}

TEST(WaveShapes, WhiteNoiseStaysInRangeAndDrawsOnlyWhenSounding) {
  SeedRandom(11);
  float lo = 1.0f, hi = -1.0f;
  for (int32_t i = 0; i < 5000; ++i) {
    float p = 0.0f;
    const float x = WaveWhiteNoise(&p, 0.5f, 0.01f, 0.0f, 1.0f, 1.0f);
    EXPECT_GE(x, -0.5f);
    EXPECT_LT(x, 0.5f);
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  EXPECT_LT(lo, -0.45f);
  EXPECT_GT(hi, 0.45f);
  // A silent call leaves the generator where it was.
  std::mt19937 copy = RandomGenerator;
  float p = 0.5f;
  WaveWhiteNoise(&p, 0.0f, 0.01f, 0.0f, 1.0f, 1.0f);
  WaveWhiteNoise(&p, 1.0f, 0.01f, 0.0f, 1.0f, 0.25f);  // gated
  EXPECT_EQ(copy(), RandomGenerator());
}

}  // namespace
}  // namespace Tarvelo

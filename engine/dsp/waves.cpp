#include "engine/dsp/waves.h"

#include <cmath>

#include "engine/catalog/catalog.h"
#include "engine/dsp/contract.h"

namespace Tarvelo {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The common prologue. Returns false when the shape is silent (amplitude,
// factor or duty 0, or gated); t receives the position in the cycle, [0, 1).
// The phase is wrapped, read and advanced in every case.
inline bool Prologue(float* phase, float& a, float step, float offset, float factor, float duty,
                     float& t) {
  float p = *phase;
  // One wrap step only: 1.1 becomes 0.1, -1.0 becomes 0.0.
  if (!(1.0f > std::fabs(p))) p = p - SgnF(p);
  if (!(factor >= 0.0f)) {
    factor = -factor;
    offset = offset - factor + 1.0f;
  }
  const float x = p * factor + offset;
  t = x - std::floor(std::fabs(x)) * SgnF(x);
  if (t < 0.0f) t = t + 1.0f;
  if ((duty > 0.0f && p > duty) || (duty < 0.0f && duty + 1.0f > p)) a = 0.0f;
  *phase = static_cast<float>(static_cast<double>(p) + 0.25 * static_cast<double>(step));
  return !(a == 0.0f || factor == 0.0f || duty == 0.0f);
}

}  // namespace

float WaveSine(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const float angle = static_cast<float>(static_cast<double>(t) * kTwoPi);
  return std::sin(angle) * a;
}

float WaveTriangle(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const double u = static_cast<double>(t + 0.25f);
  return static_cast<float>((std::fabs(u - std::floor(u + 0.5)) * 4.0 - 1.0) * static_cast<double>(a));
}

float WaveSquare(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  return t >= 0.5f ? -a : a;
}

float WaveSawtooth(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const float twoA = a + a;
  const double u = static_cast<double>(t);
  return static_cast<float>((u - std::floor(u + 0.5)) * static_cast<double>(twoA));
}

float WaveInvertedSine(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const float k = static_cast<float>(std::fabs(std::cos(kTwoPi * static_cast<double>(t))));
  return t < 0.5f ? a * (1.0f - k) : a * (k - 1.0f);
}

float WaveCycloid(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const float s = static_cast<float>(std::sqrt(std::fabs(std::sin(kTwoPi * static_cast<double>(t)))));
  return t >= 0.5f ? s * (-a) : s * a;
}

float WaveCubicSine(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const float s = static_cast<float>(std::sin(kTwoPi * static_cast<double>(t)));
  return ((s * a) * s) * s;
}

float WaveWhiteNoise(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  const double r = static_cast<double>(RandomUnit());
  return static_cast<float>((2.0 * r - 1.0) * static_cast<double>(a));
}

float WaveParabola(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  if (t > 0.5f) {
    a = -a;
    t = t - 0.5f;
  }
  const double u = static_cast<double>(t);
  return static_cast<float>((0.5 - u) * (u * static_cast<double>(a) * 16.0));
}

float WaveInvertedParabola(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  if (t > 0.25f) {
    t = static_cast<float>(static_cast<double>(t) - 0.5);
    if (t > 0.0f) {
      a = -a;
      if (t > 0.25f) t = t - 0.5f;
    }
  }
  return ((t * a) * t) * 16.0f;
}

float WaveAsymmetricParabola(float* phase, float a, float step, float offset, float factor,
                             float duty) {
  float t;
  if (!Prologue(phase, a, step, offset, factor, duty, t)) return 0.0f;
  if (t > 0.5f) {
    t = t - 1.0f;
    a = -a;
  }
  return ((t * a) * t) * 4.0f;
}

float WaveExperimental(float* phase, float a, float step, float offset, float factor, float duty) {
  float t;
  Prologue(phase, a, step, offset, factor, duty, t);
  return 0.0f;
}

void InstallWaveShapes() {
  static constexpr WaveFunction kShapes[kWaveShapeCount] = {
      WaveSine,     WaveTriangle,         WaveSquare,          WaveSawtooth,
      WaveInvertedSine, WaveCycloid,      WaveCubicSine,       WaveWhiteNoise,
      WaveParabola, WaveInvertedParabola, WaveAsymmetricParabola, WaveExperimental};
  for (int32_t i = 0; i < kWaveShapeCount; ++i) WaveShapeTable[i].Function = kShapes[i];
}

}  // namespace Tarvelo

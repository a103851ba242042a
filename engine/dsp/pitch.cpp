#include "engine/dsp/pitch.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

float PitchBendFactor(float p, float range) {
  float m = (range - 1.0f) * std::fabs(p) + 1.0f;
  if (!(p >= 0.0f)) m = 1.0f / m;
  return m;
}

namespace {

// One channel of the pitch bend over positions 0..n-1. The result is held to
// the normalized limit +-1 without raising the clip flag.
inline void BendChannel(ModuleRecord& m, int32_t ch, int32_t n) {
  const PortCursor frequency = OpenPlain(m, kBendFrequency, ch);
  const PortCursor pitch = OpenPlain(m, kBendPitch, ch);
  const float range = SettingRead(m, kBendRange, ch);
  OutputElement* out = m.Outputs[ch];
  for (int32_t v = 0; v < n; ++v) {
    const float y = LimitValue(PitchBendFactor(pitch(v), range) * frequency(v));
    out[v] = OutputElement{y, y};
  }
}

// One channel of the harmonic: no limit, a result above 1 is published as is.
// Voice by voice: a single-voice input, or the module's own outputs, which it
// writes as it goes.
[[gnu::noinline]] void HarmonicChannel(ModuleRecord& m, int32_t ch, int32_t n, const PortCursor& frequency, float factor) {
  OutputElement* out = m.Outputs[ch];
  for (int32_t v = 0; v < n; ++v) {
    const float y = factor * frequency(v);
    out[v] = OutputElement{y, y};
  }
}

// The same for a per-voice input from another module (the read is the plain
// one, its gain 1), two elements at a time: the two reads of a pair of
// elements, each duplicated, times the factor.
inline void HarmonicRow(OutputElement* out, const float* in, int32_t n, float factor) {
  int32_t v = 0;
#if defined(__SSE2__)
  const __m128 f = _mm_set1_ps(factor);
  float* o = &out[0].Level;
  for (; v + 2 <= n; v += 2) {
    const __m128 x = _mm_loadu_ps(in + 2 * v);
    _mm_storeu_ps(o + 2 * v, _mm_mul_ps(f, _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 2, 0, 0))));
  }
  if (v < n) {
    const float y = factor * in[2 * v];
    out[v] = OutputElement{y, y};
  }
#else
  for (; v < n; ++v) {
    const float y = factor * in[2 * v];
    out[v] = OutputElement{y, y};
  }
#endif
}

inline void HarmonicChannels(ModuleRecord& m, int32_t n) {
  const int32_t channels = KernelChannels(m);
  const bool own = m.PortSources[kHarmonicFrequency] == &m;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor frequency = OpenPlain(m, kHarmonicFrequency, ch);
    const float factor = SettingRead(m, kHarmonicFactor, ch);
    if (frequency.stride == 0 || own)
      HarmonicChannel(m, ch, n, frequency, factor);
    else
      HarmonicRow(m.Outputs[ch], frequency.values, n, factor);
  }
}

}  // namespace

void ProcessPitchBendMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) BendChannel(*m, ch, 1);
}

void ProcessPitchBendPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t n = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) BendChannel(*m, ch, n);
  m->ActiveVoices = n;
}

void ProcessHarmonicMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { HarmonicChannels(*m, 1); }

void ProcessHarmonicPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t n = KernelVoices(*m);
  HarmonicChannels(*m, n);
  m->ActiveVoices = n;
}

}  // namespace Tarvelo

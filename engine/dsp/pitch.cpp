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
inline void HarmonicChannel(ModuleRecord& m, int32_t ch, int32_t n) {
  const PortCursor frequency = OpenPlain(m, kHarmonicFrequency, ch);
  const float factor = SettingRead(m, kHarmonicFactor, ch);
  OutputElement* out = m.Outputs[ch];
  if (frequency.stride != 0 && m.PortSources[kHarmonicFrequency] != &m) {
    // Per-voice input from another module: a row loop the compiler
    // vectorizes (the read is the plain one, its gain 1).
    const float* in = frequency.values;
    for (int32_t v = 0; v < n; ++v) {
      const float y = factor * in[2 * v];
      out[v] = OutputElement{y, y};
    }
    return;
  }
  for (int32_t v = 0; v < n; ++v) {
    const float y = factor * frequency(v);
    out[v] = OutputElement{y, y};
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

void ProcessHarmonicMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) HarmonicChannel(*m, ch, 1);
}

void ProcessHarmonicPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t n = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) HarmonicChannel(*m, ch, n);
  m->ActiveVoices = n;
}

}  // namespace Tarvelo

#include "engine/dsp/distortion.h"

#include <cmath>

#include "engine/dsp/contract.h"

namespace Tarvelo {

float DistortionCurve(float x, float factor) {
  const float k = std::fabs(factor) * 20.0f + 2.0f;
  const float t = -k * x;
  return static_cast<float>(2.0 / (1.0 + std::exp(static_cast<double>(t))) - 1.0);
}

namespace {

inline float DistortionVoice(ModuleRecord& m, float x, float factor, float attenuation) {
  const float y = std::fabs(1.0f - attenuation) * DistortionCurve(x, factor);
  return ClipValue(y, m.ClipFlag);
}

}  // namespace

void ProcessDistortionMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float y = DistortionVoice(*m, ScaledRead(*m, kDistortionInput, ch, 0),
                                    PlainRead(*m, kDistortionFactor, ch, 0),
                                    PlainRead(*m, kDistortionAttenuation, ch, 0));
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

void ProcessDistortionPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(*m, kDistortionInput, ch);
    const PortCursor factor = OpenPlain(*m, kDistortionFactor, ch);
    const PortCursor attenuation = OpenPlain(*m, kDistortionAttenuation, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float y = DistortionVoice(*m, input(v), factor(v), attenuation(v));
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

}  // namespace Tarvelo

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

// The voices of one channel side by side: the steps of DistortionCurve and
// DistortionVoice in rows of 8, 16 or 32 lanes (loops of known length the
// compiler vectorizes whole), with only the power taken voice by voice. Lanes
// past the last voice read what the sources hold there; they are neither
// published nor let raise the clip flag.
struct DistortionRows {
  alignas(32) float x[kVoices];
  alignas(32) float factor[kVoices];
  alignas(32) float attenuation[kVoices];
  alignas(32) double power[kVoices];
  alignas(32) float y[kVoices];
};

template <int32_t kLanes>
[[gnu::always_inline]] inline void ChannelLanes(ModuleRecord& m, int32_t ch, int32_t voices) {
  DistortionRows r;
  ReadLanes<kLanes>(OpenScaled(m, kDistortionInput, ch), r.x);
  ReadLanes<kLanes>(OpenPlain(m, kDistortionFactor, ch), r.factor);
  ReadLanes<kLanes>(OpenPlain(m, kDistortionAttenuation, ch), r.attenuation);
  for (int32_t v = 0; v < kLanes; ++v) {
    const float k = std::fabs(r.factor[v]) * 20.0f + 2.0f;
    r.power[v] = static_cast<double>(-k * r.x[v]);
  }
  for (int32_t v = 0; v < voices; ++v) r.power[v] = std::exp(r.power[v]);
  int32_t clipped = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float curve = static_cast<float>(2.0 / (1.0 + r.power[v]) - 1.0);
    const float y = std::fabs(1.0f - r.attenuation[v]) * curve;
    // The clip rule.
    const bool clip = !(1.0f >= std::fabs(y));
    const float ySign = y > 0.0f ? 1.0f : (y < 0.0f ? -1.0f : 0.0f);
    clipped |= static_cast<int32_t>(clip) & LaneMask(v, voices);
    r.y[v] = clip ? ySign : y;
  }
  if (clipped != 0) m.ClipFlag = -1;
  OutputElement* out = m.Outputs[ch];
  for (int32_t v = 0; v < voices; ++v) out[v] = OutputElement{r.y[v], r.y[v]};
}

TARVELO_AVX2_VARIANT void DistortionChannel(ModuleRecord& m, int32_t ch, int32_t voices) {
  const int32_t n = LanesFor(voices);
  if (n == 8)
    ChannelLanes<8>(m, ch, voices);
  else if (n == 16)
    ChannelLanes<16>(m, ch, voices);
  else
    ChannelLanes<kVoices>(m, ch, voices);
}

void ProcessDistortionPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  // Voices one after the other read outputs a port linked to the module
  // itself has just written.
  const bool own = m->PortSources[kDistortionInput] == m || m->PortSources[kDistortionFactor] == m ||
                   m->PortSources[kDistortionAttenuation] == m;
  for (int32_t ch = 0; ch < channels; ++ch) {
    if (!own) {
      if (voices > 0) DistortionChannel(*m, ch, voices);
      continue;
    }
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

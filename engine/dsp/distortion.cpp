#include "engine/dsp/distortion.h"

#include <cmath>
#include <cstring>

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
  alignas(32) float y[kVoices];
};

// The power e^t of the curve for |t| <= 700, in double precision within one
// unit in the last place (a Cody-Waite reduction by ln 2, a Taylor polynomial
// to the 13th power, the power of two put into the exponent): plain
// arithmetic the compiler vectorizes, where the library's exp is a call per
// voice.
constexpr double kLn2Hi = 6.93147180369123816490e-01;  // ln 2 with its low bits clear: n * kLn2Hi is exact
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kInvLn2 = 1.44269504088896338700e+00;
constexpr double kRoundShift = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to a whole number
constexpr double kNearLimit = 700.0;

inline double NearExp(double t) {
  const double shifted = t * kInvLn2 + kRoundShift;
  const double n = shifted - kRoundShift;
  const double r = (t - n * kLn2Hi) - n * kLn2Lo;
  double p = 1.0 / 6227020800.0;
  p = p * r + 1.0 / 479001600.0;
  p = p * r + 1.0 / 39916800.0;
  p = p * r + 1.0 / 3628800.0;
  p = p * r + 1.0 / 362880.0;
  p = p * r + 1.0 / 40320.0;
  p = p * r + 1.0 / 5040.0;
  p = p * r + 1.0 / 720.0;
  p = p * r + 1.0 / 120.0;
  p = p * r + 1.0 / 24.0;
  p = p * r + 1.0 / 6.0;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  uint64_t bits;
  std::memcpy(&bits, &shifted, 8);
  // The low bits of the shifted value hold n; n + 1023 is the exponent of 2^n.
  const uint64_t exponent = (bits - 0x4338000000000000ULL + 1023u) << 52;
  double scale;
  std::memcpy(&scale, &exponent, 8);
  return p * scale;
}

// The curve's value rounds to the same float whichever of the two powers it is
// computed from when every value within kRoundingMargin of it does: the two
// differ by far less (a few units in the 16th digit). Checked against the
// library's exp for every float t: no value differs.
constexpr double kRoundingMargin = 1.4210854715202004e-14;  // 2^-46

template <int32_t kLanes>
[[gnu::always_inline]] inline void ChannelLanes(ModuleRecord& m, int32_t ch, int32_t voices) {
  DistortionRows r;
  ReadLanes<kLanes>(OpenScaled(m, kDistortionInput, ch), r.x);
  ReadLanes<kLanes>(OpenPlain(m, kDistortionFactor, ch), r.factor);
  ReadLanes<kLanes>(OpenPlain(m, kDistortionAttenuation, ch), r.attenuation);
  alignas(32) float curves[kVoices];
  alignas(32) double powers[kVoices];
  int32_t unsure = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float k = std::fabs(r.factor[v]) * 20.0f + 2.0f;
    powers[v] = static_cast<double>(-k * r.x[v]);
  }
  alignas(32) double doubt[kVoices];
  for (int32_t v = 0; v < kLanes; ++v) {
    const double t = powers[v];
    // Outside the near range (or not a number) the value is garbage, and
    // doubted below.
    const double y = 2.0 / (1.0 + NearExp(t)) - 1.0;
    const double below = static_cast<double>(static_cast<float>(y - kRoundingMargin));
    const double above = static_cast<double>(static_cast<float>(y + kRoundingMargin));
    curves[v] = static_cast<float>(y);
    doubt[v] = (std::fabs(t) <= kNearLimit && below == above) ? 0.0 : 1.0;
  }
  for (int32_t v = 0; v < kLanes; ++v) unsure |= static_cast<int32_t>(doubt[v] != 0.0) & LaneMask(v, voices);
  // Far out, not a number, or too close to a rounding boundary: the library.
  if (unsure != 0)
    for (int32_t v = 0; v < voices; ++v)
      if (doubt[v] != 0.0) curves[v] = static_cast<float>(2.0 / (1.0 + std::exp(powers[v])) - 1.0);
  int32_t clipped = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float curve = curves[v];
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

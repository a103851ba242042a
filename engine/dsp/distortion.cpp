#include "engine/dsp/distortion.h"

#include <cmath>
#include <cstring>

#include "engine/dsp/contract.h"
#include "engine/dsp/lanes8.h"

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

namespace {

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

// The curve's value rounds to the same float whichever of the two powers it is
// computed from when every value within kRoundingMargin of it does: the two
// differ by far less (a few units in the 16th digit). Checked against the
// library's exp for every float t: no value differs.
constexpr double kRoundingMargin = 1.4210854715202004e-14;  // 2^-46

// The power on eight lanes: the steps above on every lane.
using Bits8 = uint64_t __attribute__((vector_size(64)));
[[gnu::always_inline]] inline Wide8 NearExp8(Wide8 t) {
  const Wide8 shifted = t * kInvLn2 + kRoundShift;
  const Wide8 n = shifted - kRoundShift;
  const Wide8 r = (t - n * kLn2Hi) - n * kLn2Lo;
  constexpr double kFirst = 1.0 / 6227020800.0;
  Wide8 p = {kFirst, kFirst, kFirst, kFirst, kFirst, kFirst, kFirst, kFirst};
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
  const Bits8 exponent = (reinterpret_cast<Bits8>(shifted) - 0x4338000000000000ULL + 1023u) << 52;
  return p * reinterpret_cast<Wide8>(exponent);
}

// One channel, eight lanes at a time: the steps of DistortionCurve and
// DistortionVoice, the power taken by NearExp8 and, where it is in doubt, by
// the library. Lanes past the last voice read what the sources hold there;
// they are neither published nor let raise the clip flag.
template <int32_t kChunks>
[[gnu::always_inline]] inline void ChannelChunks(ModuleRecord& m, int32_t ch, int32_t voices) {
  const PortCursor input = OpenScaled(m, kDistortionInput, ch);
  const PortCursor factor = OpenPlain(m, kDistortionFactor, ch);
  const PortCursor attenuation = OpenPlain(m, kDistortionAttenuation, ch);
  const Mask8 lane0 = {0, 1, 2, 3, 4, 5, 6, 7};
  const Mask8 absBits = ~Mask8{} & 0x7FFFFFFF;
  alignas(32) float y[kVoices];
  Mask8 clipped = {};
  for (int32_t c = 0; c < kChunks; ++c) {
    const Mask8 voice = (lane0 + 8 * c) < voices;
    const Lanes8 x = ReadChunk(input, c);
    const Lanes8 k = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(ReadChunk(factor, c)) & absBits) * 20.0f + 2.0f;
    const Lanes8 tf = -k * x;
    const Wide8 t = __builtin_convertvector(tf, Wide8);
    // Outside the near range (or not a number) the value is garbage, and
    // doubted below.
    const Wide8 yd = 2.0 / (1.0 + NearExp8(t)) - 1.0;
    const Lanes8 below = __builtin_convertvector(yd - kRoundingMargin, Lanes8);
    const Lanes8 above = __builtin_convertvector(yd + kRoundingMargin, Lanes8);
    // |t| <= kNearLimit, t being the float tf widened exactly.
    const Mask8 near = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(tf) & absBits) <= static_cast<float>(kNearLimit);
    const Mask8 doubt = ~(near & (below == above)) & voice;
    Lanes8 curve = __builtin_convertvector(yd, Lanes8);
    // Far out, not a number, or too close to a rounding boundary: the library.
    if (AnyLane(doubt))
      for (int32_t j = 0; j < 8; ++j)
        if (doubt[j] != 0) curve[j] = static_cast<float>(2.0 / (1.0 + std::exp(t[j])) - 1.0);
    const Lanes8 a = Splat8(1.0f) - ReadChunk(attenuation, c);
    const Lanes8 v = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(a) & absBits) * curve;
    // The clip rule.
    const Mask8 clip = ~(Splat8(1.0f) >= reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(v) & absBits));
    const Mask8 one = reinterpret_cast<Mask8>(Splat8(1.0f));
    const Mask8 minusOne = reinterpret_cast<Mask8>(Splat8(-1.0f));
    const Lanes8 sign = reinterpret_cast<Lanes8>(((v > 0.0f) & one) | ((v < 0.0f) & minusOne));
    clipped |= clip & voice;
    Store8(y + 8 * c, Blend8(sign, v, clip));
  }
  if (AnyLane(clipped)) m.ClipFlag = -1;
  PublishPairs(m.Outputs[ch], y, voices);
}

TARVELO_AVX2_VARIANT void DistortionChannels(ModuleRecord& m, int32_t channels, int32_t voices) {
  for (int32_t ch = 0; ch < channels; ++ch) {
    if (voices <= 8)
      ChannelChunks<1>(m, ch, voices);
    else if (voices <= 16)
      ChannelChunks<2>(m, ch, voices);
    else
      ChannelChunks<4>(m, ch, voices);
  }
}

// Voice by voice, for a Distortion with a port linked to its own outputs,
// which voices one after the other read as they are written.
[[gnu::noinline]] void DistortionVoiceByVoice(ModuleRecord* m, int32_t channels, int32_t voices) {
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(*m, kDistortionInput, ch);
    const PortCursor factor = OpenPlain(*m, kDistortionFactor, ch);
    const PortCursor attenuation = OpenPlain(*m, kDistortionAttenuation, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float y = DistortionVoice(*m, input(v), factor(v), attenuation(v));
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
}

}  // namespace

void ProcessDistortionPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  m->ActiveVoices = voices;
  if (voices == 0) return;
  const int32_t channels = KernelChannels(*m);
  if (m->PortSources[kDistortionInput] == m || m->PortSources[kDistortionFactor] == m ||
      m->PortSources[kDistortionAttenuation] == m)
    DistortionVoiceByVoice(m, channels, voices);
  else
    DistortionChannels(*m, channels, voices);
}

}  // namespace Tarvelo

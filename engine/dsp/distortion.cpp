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

// The constants of the lanes' steps, each on every lane. The kernel reads
// them through a pointer the compiler does not follow, so that they stay
// operands in memory instead of being spread into registers one by one at
// every call.
using Bits8 = uint64_t __attribute__((vector_size(64)));
// one thread: value
struct CurveConstants {
  Wide8 invLn2, roundShift, ln2Hi, ln2Lo;
  Wide8 power[14];  // the polynomial's coefficients, the highest power first
  Wide8 two, one, margin;
  Lanes8 twenty, twoF, oneF, minusOneF, nearLimit;
  Bits8 exponentBias;  // takes the rounding shift off and adds the exponent's bias
  Mask8 absBits, oneBits;
};
constexpr Wide8 Each(double x) { return Wide8{x, x, x, x, x, x, x, x}; }
constexpr Lanes8 EachF(float x) { return Lanes8{x, x, x, x, x, x, x, x}; }
alignas(64) constexpr CurveConstants kCurve = {
    Each(kInvLn2),
    Each(kRoundShift),
    Each(kLn2Hi),
    Each(kLn2Lo),
    {Each(1.0 / 6227020800.0), Each(1.0 / 479001600.0), Each(1.0 / 39916800.0), Each(1.0 / 3628800.0),
     Each(1.0 / 362880.0), Each(1.0 / 40320.0), Each(1.0 / 5040.0), Each(1.0 / 720.0), Each(1.0 / 120.0),
     Each(1.0 / 24.0), Each(1.0 / 6.0), Each(0.5), Each(1.0), Each(1.0)},
    Each(2.0),
    Each(1.0),
    Each(kRoundingMargin),
    EachF(20.0f),
    EachF(2.0f),
    EachF(1.0f),
    EachF(-1.0f),
    EachF(static_cast<float>(kNearLimit)),
    Bits8{} + (1023u - 0x4338000000000000ULL),
    Mask8{} + 0x7FFFFFFF,
    Mask8{} + 0x3F800000};

// The power on eight lanes: the steps above on every lane.
[[gnu::always_inline]] inline Wide8 NearExp8(Wide8 t, const CurveConstants& k) {
  const Wide8 shifted = t * k.invLn2 + k.roundShift;
  const Wide8 n = shifted - k.roundShift;
  const Wide8 r = (t - n * k.ln2Hi) - n * k.ln2Lo;
  Wide8 p = k.power[0];
  for (int32_t i = 1; i < 14; ++i) p = p * r + k.power[i];
  const Bits8 exponent = (reinterpret_cast<Bits8>(shifted) + k.exponentBias) << 52;
  return p * reinterpret_cast<Wide8>(exponent);
}

// The library's curve for the lanes of t in doubt (far out, not a number,
// or too close to a float's rounding boundary): lanes whose sure entry is 0.
// Rows, not vectors: the caller may be an AVX2 variant, which passes vectors
// otherwise.
[[gnu::noinline]] void CurveInDoubt(float* curve, const float* t, const float* sureBits) {
  int32_t sure[8];
  std::memcpy(sure, sureBits, sizeof(sure));
  for (int32_t j = 0; j < 8; ++j)
    if (sure[j] == 0) curve[j] = static_cast<float>(2.0 / (1.0 + std::exp(static_cast<double>(t[j]))) - 1.0);
}

// One channel, eight lanes at a time: the steps of DistortionCurve and
// DistortionVoice, the power taken by NearExp8 and, where it is in doubt, by
// the library. Lanes past the last voice read what the sources hold there;
// they are neither published nor let raise the clip flag. Whole chunks are
// published straight from the lanes.
using DistortionSources = SourcesNow<kDistortionInput, kDistortionFactor, kDistortionAttenuation>;

template <int32_t kChunks, bool kFull>
[[gnu::always_inline]] inline void ChannelChunks(ModuleRecord& m, int32_t ch, int32_t voices,
                                                 const CurveConstants& kc, const DistortionSources& s) {
  const PortCursor input = OpenPortOn(m, s.At<kDistortionInput>(), kDistortionInput, ch, true);
  const PortCursor factor = OpenPortOn(m, s.At<kDistortionFactor>(), kDistortionFactor, ch, false);
  const PortCursor attenuation = OpenPortOn(m, s.At<kDistortionAttenuation>(), kDistortionAttenuation, ch, false);
  const Mask8 lane0 = {0, 1, 2, 3, 4, 5, 6, 7};
  const Mask8 absBits = kc.absBits;
  const Lanes8 one = kc.oneF;
  const Lanes8 minusOne = kc.minusOneF;
  OutputElement* out = m.Outputs[ch];
  alignas(32) float y[kFull ? 1 : 8 * kChunks];
  Mask8 clipped = {};
#pragma GCC unroll 4
  for (int32_t c = 0; c < kChunks; ++c) {
    const Mask8 voice = kFull ? ~Mask8{} : (lane0 + 8 * c) < voices;
    const Lanes8 x = ReadChunkScaled(input, c);
    const Lanes8 k = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(ReadChunkScaled(factor, c)) & absBits) * kc.twenty + kc.twoF;
    const Lanes8 tf = -k * x;
    const Wide8 t = __builtin_convertvector(tf, Wide8);
    // Outside the near range (or not a number) the value is garbage, and
    // doubted below.
    const Wide8 yd = kc.two / (kc.one + NearExp8(t, kc)) - kc.one;
    const Lanes8 below = __builtin_convertvector(yd - kc.margin, Lanes8);
    const Lanes8 above = __builtin_convertvector(yd + kc.margin, Lanes8);
    // |t| <= kNearLimit, t being the float tf widened exactly.
    const Mask8 near = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(tf) & absBits) <= kc.nearLimit;
    const Mask8 sure = kFull ? near & (below == above) : (near & (below == above)) | ~voice;
    Lanes8 curve = __builtin_convertvector(yd, Lanes8);
    if (!EveryLaneSet(sure)) {
      alignas(32) float tRow[8];
      alignas(32) float sureRow[8];  // the mask's bits
      alignas(32) float curveRow[8];
      Store8(tRow, tf);
      Store8(sureRow, reinterpret_cast<Lanes8>(sure));
      Store8(curveRow, curve);
      CurveInDoubt(curveRow, tRow, sureRow);
      curve = Load8(curveRow);
    }
    const Lanes8 a = one - ReadChunkScaled(attenuation, c);
    const Lanes8 v = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(a) & absBits) * curve;
    // The clip rule: within -1 .. 1 the value, beyond it its sign, for a NaN
    // 0 (v is itself exactly where it is within).
    const Lanes8 upper = v < one ? v : one;
    const Lanes8 limited = upper > minusOne ? upper : minusOne;
    const Lanes8 out8 = reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(limited) & (v == v));
    // OutsideUnit, its constants read as the others are.
    const Mask8 outside = (reinterpret_cast<Mask8>(v) & absBits) > kc.oneBits;
    clipped |= kFull ? outside : outside & voice;
    if (kFull)
      PublishChunk(out + 8 * c, out8);
    else
      Store8(y + 8 * c, out8);
  }
  if (AnyLaneSet(clipped)) m.ClipFlag.Store(-1);
  if (!kFull) PublishPairs(out, y, voices);
}

// Voice counts that leave part of a chunk (or 16 or 24), and the second
// channel: out of line, so that the first channel's common counts stay lean
// (and its reads know their channel).
TARVELO_KERNEL_BUILDS(void, DistortionPartChunks, (ModuleRecord& m, int32_t ch, int32_t voices)) {
  const CurveConstants* kc = &kCurve;
  asm("" : "+r"(kc));
  const DistortionSources s(m);
  if (voices == 8)
    ChannelChunks<1, true>(m, ch, voices, *kc, s);
  else if (voices == kVoices)
    ChannelChunks<4, true>(m, ch, voices, *kc, s);
  else if (voices <= 8)
    ChannelChunks<1, false>(m, ch, voices, *kc, s);
  else if (voices <= 16)
    ChannelChunks<2, false>(m, ch, voices, *kc, s);
  else
    ChannelChunks<4, false>(m, ch, voices, *kc, s);
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

// One call per frame: the common voice counts' kernel inlined here, the AVX2
// variant chosen once when the program starts (the catalog holds the chosen
// function's address).
TARVELO_KERNEL_BUILDS(void, ProcessDistortionPoly, (ModuleRecord* m, uint64_t, int32_t, int32_t)) {
  const int32_t voices = VoicesNow(*m);
  m->ActiveVoices.Store(voices);
  if (voices == 0) return;
  const int32_t channels = ChannelsNow(*m);
  const DistortionSources s(*m);
  if (s.Has(m)) {
    DistortionVoiceByVoice(m, channels, voices);
    return;
  }
  const CurveConstants* kc = &kCurve;
  asm("" : "+r"(kc));
  if (voices == 8)
    ChannelChunks<1, true>(*m, 0, voices, *kc, s);
  else if (voices == kVoices)
    ChannelChunks<4, true>(*m, 0, voices, *kc, s);
  else
    DistortionPartChunks(*m, 0, voices);
  if (channels == 2) DistortionPartChunks(*m, 1, voices);
}

}  // namespace Tarvelo

#include "engine/dsp/arithmetic.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

namespace {

inline void Publish(ModuleRecord* m, int32_t ch, int32_t v, float y) { m->Outputs[ch][v] = OutputElement{y, y}; }

// One-input shapers: y = shape(x) of the scaled read of port 0 for positions
// 0 .. voices - 1 of every channel (slot 0 passes 1 voice).
template <bool kClip, typename Shape>
inline void OneInput(ModuleRecord* m, int32_t voices, Shape shape) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(*m, 0, ch);
    for (int32_t v = 0; v < voices; ++v) {
      float y = shape(in(v));
      if constexpr (kClip) y = ClipValue(y, m->ClipFlag);
      Publish(m, ch, v, y);
    }
  }
}

// One channel of a two-input type whose ports do not read the module's own
// outputs: the results over kLanes lanes (loops of known length the compiler
// vectorizes whole; a per-voice input is read straight from its source's row,
// a single-voice one broadcast), then the voices' elements published. Only
// the voices raise the clip flag.
template <int32_t kLanes, bool kClip, typename Op>
[[gnu::always_inline]] inline void TwoInputLanes(ModuleRecord& m, int32_t ch, int32_t voices, const PortCursor& a,
                                                 const PortCursor& b, Op op) {
  alignas(32) float ra[kLanes];
  alignas(32) float rb[kLanes];
  alignas(32) float y[kLanes];
  ReadLanes<kLanes>(a, ra);
  ReadLanes<kLanes>(b, rb);
  int32_t clipped = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float x = op(ra[v], rb[v]);
    if constexpr (kClip) {
      const bool clip = !(1.0f >= std::fabs(x));
      const float xSign = x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f);
      clipped |= static_cast<int32_t>(clip) & LaneMask(v, voices);
      y[v] = clip ? xSign : x;
    } else {
      y[v] = x;
    }
  }
  if constexpr (kClip) {
    if (clipped != 0) m.ClipFlag = -1;
  }
  PublishPairs(m.Outputs[ch], y, voices);
}

template <bool kClip, typename Op>
[[gnu::always_inline]] inline void TwoInputRows(ModuleRecord& m, int32_t ch, int32_t voices, const PortCursor& a,
                                                const PortCursor& b, Op op) {
  if (voices <= 8)
    TwoInputLanes<8, kClip>(m, ch, voices, a, b, op);
  else if (voices <= 16)
    TwoInputLanes<16, kClip>(m, ch, voices, a, b, op);
  else
    TwoInputLanes<kVoices, kClip>(m, ch, voices, a, b, op);
}

TARVELO_AVX2_VARIANT void AdditionRows(ModuleRecord& m, int32_t ch, int32_t voices, const PortCursor& a,
                                       const PortCursor& b) {
  TwoInputRows<true>(m, ch, voices, a, b, [](float x, float y) { return x + y; });
}
TARVELO_AVX2_VARIANT void DifferenceRows(ModuleRecord& m, int32_t ch, int32_t voices, const PortCursor& a,
                                         const PortCursor& b) {
  TwoInputRows<true>(m, ch, voices, a, b, [](float x, float y) { return x - y; });
}
TARVELO_AVX2_VARIANT void ProductRows(ModuleRecord& m, int32_t ch, int32_t voices, const PortCursor& a,
                                      const PortCursor& b) {
  TwoInputRows<false>(m, ch, voices, a, b, [](float x, float y) { return x * y; });
}

using RowsFunction = void (*)(ModuleRecord& m, int32_t ch, int32_t voices, const PortCursor& a, const PortCursor& b);

// Two-input types: y = op(a, b) of the scaled reads of ports 0 and 1 (op a
// lambda, so that it is inlined into the voice loops). Several voices whose
// inputs come from other modules go through the row form; a port that reads
// the module's own outputs sees the voices written so far, so that case is
// computed voice by voice.
template <bool kClip, typename Op>
inline void TwoInputs(ModuleRecord* m, int32_t voices, Op op, RowsFunction rows) {
  const int32_t channels = KernelChannels(*m);
  const bool own = m->PortSources[kInputA] == m || m->PortSources[kInputB] == m;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor a = OpenScaled(*m, kInputA, ch);
    const PortCursor b = OpenScaled(*m, kInputB, ch);
    if (!own && voices > 1) {
      rows(*m, ch, voices, a, b);
      continue;
    }
    for (int32_t v = 0; v < voices; ++v) {
      float y = op(a(v), b(v));
      if constexpr (kClip) y = ClipValue(y, m->ClipFlag);
      Publish(m, ch, v, y);
    }
  }
}

inline float Add(float a, float b) { return a + b; }
inline float Subtract(float a, float b) { return a - b; }
inline float Multiply(float a, float b) { return a * b; }

// 0 becomes 1; otherwise the distance to the full level of the same sign.
inline float Invert(float x) { return x == 0.0f ? 1.0f : SgnF(x) - x; }
inline float Absolute(float x) { return std::fabs(x); }
inline float Rectify(float x) { return SgnF(x); }

// The difference to the input this channel and voice id had in the previous
// frame. A NaN input is published as the clip rule says but not kept: stored,
// it would turn every later difference into NaN until the module is reset.
inline float Derive(float x, float& previous) {
  const float d = x - previous;
  if (!std::isnan(x)) previous = x;
  return d;
}

// Level: the input times the level port's magnitude (a live level signal
// scaled by "Max input level"), plus the bias.
inline void LevelVoices(ModuleRecord* m, int32_t voices) {
  const int32_t channels = KernelChannels(*m);
  const bool liveLevel = m->PortSources[kLevelLevel]->Role == kRoleLive;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(*m, kLevelInput, ch);
    const PortCursor level = OpenPlain(*m, kLevelLevel, ch);
    const float bias = SettingRead(*m, kLevelBias, ch);
    const float maxInput = SettingRead(*m, kLevelMaxInput, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float x = in(v);
      float l = std::fabs(level(v));
      if (liveLevel) l = l * maxInput;
      const float y = ClipValue(x * l + bias, m->ClipFlag);
      Publish(m, ch, v, y);
    }
  }
}

// Clipper: the input bounded by the magnitude of the threshold port.
inline void ClipperVoices(ModuleRecord* m, int32_t voices) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(*m, kClipperInput, ch);
    const PortCursor threshold = OpenPlain(*m, kClipperThreshold, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float x = in(v);
      const float t = std::fabs(threshold(v));
      float y = x;
      if (!(t >= std::fabs(x))) y = x >= 0.0f ? t : -t;
      Publish(m, ch, v, y);
    }
  }
}

}  // namespace

void ProcessAdditionMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { TwoInputs<true>(m, 1, [](float a, float b) { return Add(a, b); }, AdditionRows); }
void ProcessAdditionPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  TwoInputs<true>(m, voices, [](float a, float b) { return Add(a, b); }, AdditionRows);
  m->ActiveVoices = voices;
}

void ProcessDifferenceMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { TwoInputs<true>(m, 1, [](float a, float b) { return Subtract(a, b); }, DifferenceRows); }
void ProcessDifferencePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  TwoInputs<true>(m, voices, [](float a, float b) { return Subtract(a, b); }, DifferenceRows);
  m->ActiveVoices = voices;
}

void ProcessProductMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { TwoInputs<false>(m, 1, [](float a, float b) { return Multiply(a, b); }, ProductRows); }
void ProcessProductPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  TwoInputs<false>(m, voices, [](float a, float b) { return Multiply(a, b); }, ProductRows);
  m->ActiveVoices = voices;
}

void ProcessInverterMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { OneInput<false>(m, 1, Invert); }
void ProcessInverterPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  OneInput<false>(m, voices, Invert);
  m->ActiveVoices = voices;
}

void ProcessAbsoluteMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { OneInput<false>(m, 1, Absolute); }
void ProcessAbsolutePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  OneInput<false>(m, voices, Absolute);
  m->ActiveVoices = voices;
}

void ProcessRectifierMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { OneInput<false>(m, 1, Rectify); }
void ProcessRectifierPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  OneInput<false>(m, voices, Rectify);
  m->ActiveVoices = voices;
}

void ProcessDerivativeMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float x = ScaledRead(*m, 0, ch, 0);
    Publish(m, ch, 0, ClipValue(Derive(x, m->VoiceState[ch][0]), m->ClipFlag));
  }
}

void ProcessDerivativePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const ModuleRecord* owner = m->TriggerOwner;
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(*m, 0, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      Publish(m, ch, v, ClipValue(Derive(in(v), m->VoiceState[ch][w]), m->ClipFlag));
    }
  }
  m->ActiveVoices = voices;
}

void ProcessLevelMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { LevelVoices(m, 1); }
void ProcessLevelPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  LevelVoices(m, voices);
  m->ActiveVoices = voices;
}

void ProcessClipperMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { ClipperVoices(m, 1); }
void ProcessClipperPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  ClipperVoices(m, voices);
  m->ActiveVoices = voices;
}

}  // namespace Tarvelo

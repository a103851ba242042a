#include "engine/dsp/arithmetic.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
    if (clipped != 0) m.ClipFlag.Store(-1);
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

// Two-input types: y = op(a, b) of the scaled reads of ports 0 and 1 (op a
// lambda, so that it is inlined into the voice loops). Several voices whose
// inputs come from other modules go through the row form; a port that reads
// the module's own outputs sees the voices written so far, so that case is
// computed voice by voice.
template <bool kClip, typename Op>
inline void TwoInputs(ModuleRecord* m, int32_t voices, Op op) {
  const int32_t channels = KernelChannels(*m);
  const SourcesNow<kInputA, kInputB> src(*m);
  const bool own = src.Has(m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor a = OpenPortOn(*m, src.At<kInputA>(), kInputA, ch, true);
    const PortCursor b = OpenPortOn(*m, src.At<kInputB>(), kInputB, ch, true);
    if (!own && voices > 1) {
      TwoInputRows<kClip>(*m, ch, voices, a, b, op);
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

// The per-voice Derivative, its state kept by the trigger owner's voice ids.
inline void DerivativeVoices(ModuleRecord* m, int32_t voices) {
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(*m, 0, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      Publish(m, ch, v, ClipValue(Derive(in(v), m->VoiceState[ch][w]), m->ClipFlag));
    }
  }
}

// Level: the input times the level port's magnitude (a live level signal
// scaled by "Max input level"), plus the bias.
inline void LevelVoices(ModuleRecord* m, int32_t voices) {
  const int32_t channels = KernelChannels(*m);
  const bool liveLevel = m->PortSources[kLevelLevel].LoadSettled()->Role == kRoleLive;
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

// The types whose per-voice slot computes eight voices a step in the AVX2
// build.
enum RowOp { kOpAdd, kOpSubtract, kOpMultiply, kOpInvert, kOpAbsolute, kOpRectify, kOpLevel, kOpClipper, kOpDerive };

constexpr bool TwoPorts(RowOp op) {
  return op != kOpInvert && op != kOpAbsolute && op != kOpRectify && op != kOpDerive;
}
// The clip rule, which raises the clip flag.
constexpr bool ClipRule(RowOp op) { return op == kOpAdd || op == kOpSubtract || op == kOpLevel || op == kOpDerive; }
// A pass changes the module's state, so it cannot be done again: the clip
// rule is applied exactly in the one pass.
constexpr bool OnePass(RowOp op) { return op == kOpDerive; }
// Port 1 read as ScaledRead (else as PlainRead).
constexpr bool ScaledSecond(RowOp op) { return op == kOpAdd || op == kOpSubtract || op == kOpMultiply; }

template <RowOp kOp>
inline float Apply(float a, float b) {
  if constexpr (kOp == kOpAdd) return a + b;
  if constexpr (kOp == kOpSubtract) return a - b;
  return a * b;
}

// The per-voice slot whole, voice by voice or in the rows above: what the
// AVX2 build leaves (a port reading the module's own outputs) and what runs
// without AVX2.
template <RowOp kOp>
[[gnu::noinline]] void VoicesPoly(ModuleRecord& m) {
  const int32_t voices = KernelVoices(m);
  if constexpr (kOp == kOpAdd || kOp == kOpSubtract || kOp == kOpMultiply)
    TwoInputs<kOp != kOpMultiply>(&m, voices, [](float a, float b) { return Apply<kOp>(a, b); });
  if constexpr (kOp == kOpInvert) OneInput<false>(&m, voices, Invert);
  if constexpr (kOp == kOpAbsolute) OneInput<false>(&m, voices, Absolute);
  if constexpr (kOp == kOpRectify) OneInput<false>(&m, voices, Rectify);
  if constexpr (kOp == kOpLevel) LevelVoices(&m, voices);
  if constexpr (kOp == kOpClipper) ClipperVoices(&m, voices);
  if constexpr (kOp == kOpDerive) DerivativeVoices(&m, voices);
  m.ActiveVoices.Store(voices);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
// Settled once before the program starts: the per-voice slots go straight to
// their AVX2 build, with no variant chooser between them and the render loop.
const bool gAvx2 = CpuHasAvx2();

// Eight voices of an opened port in the order 0 1 4 5 | 2 3 6 7: the read
// side of two loads of elements picked within each half, no lane crossing.
// The same order on both inputs keeps each voice's pair together, and
// interleaving a result with itself gives the elements {y, y} of voices
// 0..3 and 4..7 in their places.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 ReadEight(const PortCursor& c, int32_t chunk, __m256 gain) {
  const float* p = c.values + 16 * chunk;
  return _mm256_mul_ps(_mm256_shuffle_ps(_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8), _MM_SHUFFLE(2, 0, 2, 0)), gain);
}

// A channel's settings that the eight-lane steps use (the Level's).
// one thread: value
struct EightSettings {
  __m256 bias;
  __m256 maxInput;
  __m256 liveLevel;  // all ones when the level signal is live
};

// The sign of each lane as SgnF gives it: -1, 0 or +1, 0 for a NaN.
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 SignEight(__m256 x) {
  const __m256 zero = _mm256_setzero_ps();
  return _mm256_or_ps(_mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ), _mm256_set1_ps(1.0f)),
                      _mm256_and_ps(_mm256_cmp_ps(x, zero, _CMP_LT_OQ), _mm256_set1_ps(-1.0f)));
}

[[gnu::always_inline, gnu::target("avx2")]] inline __m256 MagnitudeEight(__m256 x) {
  return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
}

// The type's step on eight lanes, each as the voice-by-voice code computes
// it, and the lanes whose result falls under the clip rule (outside -1..1,
// or not a number) for the types that keep it. kExact: the results as the
// rule gives them (the sign; 0 for a NaN, whichever bound it met); else
// unclipped, for a pass that is done again exactly when some lane clipped.
template <RowOp kOp, bool kExact>
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 EightResults(__m256 a, __m256 b, const EightSettings& s,
                                                                       __m256& clip) {
  __m256 x;
  if constexpr (kOp == kOpAdd) x = _mm256_add_ps(a, b);
  if constexpr (kOp == kOpSubtract || kOp == kOpDerive) x = _mm256_sub_ps(a, b);
  if constexpr (kOp == kOpMultiply) x = _mm256_mul_ps(a, b);
  if constexpr (kOp == kOpInvert)
    x = _mm256_blendv_ps(_mm256_sub_ps(SignEight(a), a), _mm256_set1_ps(1.0f),
                         _mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_EQ_OQ));
  if constexpr (kOp == kOpAbsolute) x = MagnitudeEight(a);
  if constexpr (kOp == kOpRectify) x = SignEight(a);
  if constexpr (kOp == kOpLevel) {
    const __m256 l = MagnitudeEight(b);
    x = _mm256_add_ps(_mm256_mul_ps(a, _mm256_blendv_ps(l, _mm256_mul_ps(l, s.maxInput), s.liveLevel)), s.bias);
  }
  if constexpr (kOp == kOpClipper) {
    // Past the threshold t: t for an input >= 0, else -t (a NaN input too).
    const __m256 t = MagnitudeEight(b);
    const __m256 bounded = _mm256_blendv_ps(_mm256_xor_ps(t, _mm256_set1_ps(-0.0f)), t,
                                            _mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_GE_OQ));
    x = _mm256_blendv_ps(a, bounded, _mm256_cmp_ps(t, MagnitudeEight(a), _CMP_NGE_UQ));
  }
  if constexpr (!ClipRule(kOp)) {
    clip = _mm256_setzero_ps();
    return x;
  } else if constexpr (!kExact) {
    clip = _mm256_cmp_ps(MagnitudeEight(x), _mm256_set1_ps(1.0f), _CMP_NLE_UQ);
    return x;
  } else {
    const __m256 bounded = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-1.0f)), _mm256_set1_ps(1.0f));
    clip = _mm256_cmp_ps(bounded, x, _CMP_NEQ_UQ);
    return _mm256_andnot_ps(_mm256_cmp_ps(x, x, _CMP_UNORD_Q), bounded);
  }
}

// Eight voices from chunk k of an input: its own read, or the single
// voice's value that every voice reads.
template <bool kShared>
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 InputEight(const PortCursor& c, int32_t chunk, __m256 gain,
                                                                      __m256 shared) {
  if constexpr (kShared)
    return shared;
  else
    return ReadEight(c, chunk, gain);
}

// Eight floats of a row by voice position in the lanes' order 0 1 4 5 |
// 2 3 6 7, and back (the same swap of the middle pairs).
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 SwapMiddle(__m256 x) {
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(x), 0xD8));
}

// One chunk of eight voices: the results, the lanes that clipped. The
// Derivative takes its previous inputs from the state row (by voice
// position: the voices are in place) and keeps the new ones there, a NaN
// not; natural: the lanes by position that are voices.
template <RowOp kOp, bool kExact>
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 ChunkResults(__m256 a, __m256 b, const EightSettings& s,
                                                                       float* state, int32_t chunk, __m256 natural,
                                                                       bool whole, __m256& clip) {
  if constexpr (kOp == kOpDerive) {
    float* p = state + 8 * chunk;
    const __m256 held = _mm256_loadu_ps(p);
    const __m256 previous = SwapMiddle(held);
    const __m256 kept = SwapMiddle(_mm256_blendv_ps(a, previous, _mm256_cmp_ps(a, a, _CMP_UNORD_Q)));
    _mm256_storeu_ps(p, whole ? kept : _mm256_blendv_ps(held, kept, natural));
    b = previous;
  }
  return EightResults<kOp, kExact>(a, b, s, clip);
}

// One channel: the whole chunks of eight voices, then the last voices, the
// lanes past them neither clipping nor published. Returns the lanes that
// clipped.
template <RowOp kOp, bool kExact, bool kSharedA, bool kSharedB>
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 ChannelEights(const PortCursor& a, const PortCursor& b,
                                                                        const EightSettings& s, float* state,
                                                                        float* out, int32_t voices) {
  const __m256 gainA = _mm256_set1_ps(a.gain);
  const __m256 gainB = _mm256_set1_ps(b.gain);
  const __m256 sharedA = kSharedA ? _mm256_set1_ps(a(0)) : gainA;
  const __m256 sharedB = kSharedB ? _mm256_set1_ps(b(0)) : gainB;
  __m256 clipped = _mm256_setzero_ps();
  const int32_t whole = voices >> 3;
  int32_t k = 0;
  for (; k < whole; ++k) {
    __m256 clip;
    const __m256 y = ChunkResults<kOp, kExact>(InputEight<kSharedA>(a, k, gainA, sharedA),
                                               InputEight<kSharedB>(b, k, gainB, sharedB), s, state, k,
                                               _mm256_setzero_ps(), true, clip);
    clipped = _mm256_or_ps(clipped, clip);
    _mm256_storeu_ps(out + 16 * k, _mm256_unpacklo_ps(y, y));
    _mm256_storeu_ps(out + 16 * k + 8, _mm256_unpackhi_ps(y, y));
  }
  if ((voices & 7) != 0) {
    const __m256i lane = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7), _mm256_set1_epi32(8 * k));
    const __m256 voice = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(voices), lane));
    __m256 clip;
    const __m256 y = ChunkResults<kOp, kExact>(InputEight<kSharedA>(a, k, gainA, sharedA),
                                               InputEight<kSharedB>(b, k, gainB, sharedB), s, state, k,
                                               SwapMiddle(voice), false, clip);
    clipped = _mm256_or_ps(clipped, _mm256_and_ps(clip, voice));
    float* o = out + 16 * k;
    _mm256_storeu_ps(o, _mm256_blendv_ps(_mm256_loadu_ps(o), _mm256_unpacklo_ps(y, y), _mm256_unpacklo_ps(voice, voice)));
    _mm256_storeu_ps(o + 8, _mm256_blendv_ps(_mm256_loadu_ps(o + 8), _mm256_unpackhi_ps(y, y),
                                             _mm256_unpackhi_ps(voice, voice)));
  }
  return clipped;
}

// One pass over channel ch. Returns whether a voice clipped.
template <RowOp kOp, bool kExact>
[[gnu::always_inline, gnu::target("avx2")]] inline bool ChannelPass(ModuleRecord& m, int32_t ch, int32_t voices) {
  const PortCursor a = OpenScaled(m, 0, ch);
  float* out = &m.Outputs[ch][0].Level;
  float* state = m.VoiceState[ch];
  // The cursors' strides, tested where they come from.
  const bool perVoiceA = (m.Params[0].VoiceMapRow & 1) != 0;
  EightSettings s{};
  __m256 clipped;
  if constexpr (!TwoPorts(kOp)) {
    clipped = perVoiceA ? ChannelEights<kOp, kExact, false, true>(a, a, s, state, out, voices)
                        : ChannelEights<kOp, kExact, true, true>(a, a, s, state, out, voices);
  } else {
    const PortCursor b = OpenPort(m, 1, ch, ScaledSecond(kOp));
    if constexpr (kOp == kOpLevel) {
      s.bias = _mm256_set1_ps(SettingRead(m, kLevelBias, ch));
      s.maxInput = _mm256_set1_ps(SettingRead(m, kLevelMaxInput, ch));
      s.liveLevel = _mm256_castsi256_ps(_mm256_set1_epi32(m.PortSources[kLevelLevel].LoadSettled()->Role == kRoleLive ? -1 : 0));
    }
    const bool perVoiceB = (m.Params[1].VoiceMapRow & 1) != 0;
    if (perVoiceA)
      clipped = perVoiceB ? ChannelEights<kOp, kExact, false, false>(a, b, s, state, out, voices)
                          : ChannelEights<kOp, kExact, false, true>(a, b, s, state, out, voices);
    else
      clipped = perVoiceB ? ChannelEights<kOp, kExact, true, false>(a, b, s, state, out, voices)
                          : ChannelEights<kOp, kExact, true, true>(a, b, s, state, out, voices);
  }
  return _mm256_movemask_ps(clipped) != 0;
}

// KernelVoices, with the counts it keeps as they are taken first.
inline int32_t VoicesFast(const ModuleRecord& m) {
  const int32_t n = m.VoicesToCompute;
  if (__builtin_expect(static_cast<uint32_t>(n) <= static_cast<uint32_t>(kVoices), 1)) return n;
  return KernelVoices(m);
}

// What the first channel's pass leaves, out of line (so that the function
// below saves no registers): the first channel again exactly when a voice
// clipped, and the second channel.
template <RowOp kOp>
[[gnu::noinline, gnu::target("avx2")]] void ClippedOrSecondChannel(ModuleRecord& m, int32_t voices, bool clipped) {
  if (clipped) {
    m.ClipFlag.Store(-1);
    if constexpr (!OnePass(kOp)) ChannelPass<kOp, true>(m, 0, voices);
  }
  if (m.ChannelsProcessed.LoadSettled() >= 2 && ChannelPass<kOp, OnePass(kOp)>(m, 1, voices)) {
    m.ClipFlag.Store(-1);
    if constexpr (!OnePass(kOp)) ChannelPass<kOp, true>(m, 1, voices);
  }
}

// The whole per-voice slot in the AVX2 build, eight voices a step, nothing
// kept in memory between the reads and the publish; channel 0 needs no
// channel map. A port that reads the module's own outputs sees the voices
// written so far, and the Derivative's state lies by position only while the
// voices are in place: those cases go voice by voice.
template <RowOp kOp>
[[gnu::target("avx2")]] void RowsPolyAvx2(ModuleRecord& m) {
  if (m.PortSources[0].LoadSettled() == &m || (TwoPorts(kOp) && m.PortSources[1].LoadSettled() == &m)) {
    VoicesPoly<kOp>(m);
    return;
  }
  const int32_t voices = VoicesFast(m);
  if constexpr (kOp == kOpDerive) {
    if (m.TriggerOwner.LoadSettled() == nullptr || !VoicesInPlace(m.TriggerOwner.LoadSettled(), voices)) {
      VoicesPoly<kOp>(m);
      return;
    }
  }
  const bool clipped = ChannelPass<kOp, OnePass(kOp)>(m, 0, voices);
  m.ActiveVoices.Store(voices);
  if (clipped || m.ChannelsProcessed.LoadSettled() >= 2) ClippedOrSecondChannel<kOp>(m, voices, clipped);
}

template <RowOp kOp>
inline void ProcessRowsPoly(ModuleRecord& m) {
  if (gAvx2)
    RowsPolyAvx2<kOp>(m);
  else
    VoicesPoly<kOp>(m);
}
#else
template <RowOp kOp>
inline void ProcessRowsPoly(ModuleRecord& m) {
  VoicesPoly<kOp>(m);
}
#endif

}  // namespace

void ProcessAdditionMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { TwoInputs<true>(m, 1, [](float a, float b) { return Add(a, b); }); }
void ProcessAdditionPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpAdd>(*m); }

void ProcessDifferenceMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { TwoInputs<true>(m, 1, [](float a, float b) { return Subtract(a, b); }); }
void ProcessDifferencePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpSubtract>(*m); }

void ProcessProductMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { TwoInputs<false>(m, 1, [](float a, float b) { return Multiply(a, b); }); }
void ProcessProductPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpMultiply>(*m); }

void ProcessInverterMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { OneInput<false>(m, 1, Invert); }
void ProcessInverterPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpInvert>(*m); }

void ProcessAbsoluteMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { OneInput<false>(m, 1, Absolute); }
void ProcessAbsolutePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpAbsolute>(*m); }

void ProcessRectifierMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { OneInput<false>(m, 1, Rectify); }
void ProcessRectifierPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpRectify>(*m); }

void ProcessDerivativeMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float x = ScaledRead(*m, 0, ch, 0);
    Publish(m, ch, 0, ClipValue(Derive(x, m->VoiceState[ch][0]), m->ClipFlag));
  }
}

void ProcessDerivativePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpDerive>(*m); }

void ProcessLevelMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { LevelVoices(m, 1); }
void ProcessLevelPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpLevel>(*m); }

void ProcessClipperMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { ClipperVoices(m, 1); }
void ProcessClipperPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessRowsPoly<kOpClipper>(*m); }

}  // namespace Tarvelo

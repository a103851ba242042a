#include "engine/dsp/pitch.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
  const bool own = m.PortSources[kHarmonicFrequency].LoadSettled() == &m;
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor frequency = OpenPlain(m, kHarmonicFrequency, ch);
    const float factor = SettingRead(m, kHarmonicFactor, ch);
    if (frequency.stride == 0 || own)
      HarmonicChannel(m, ch, n, frequency, factor);
    else
      HarmonicRow(m.Outputs[ch], frequency.values, n, factor);
  }
}

// The per-voice slots whole: what the AVX2 build leaves, and what runs
// without AVX2.
[[gnu::noinline]] void BendPoly(ModuleRecord& m) {
  const int32_t channels = KernelChannels(m);
  const int32_t n = KernelVoices(m);
  for (int32_t ch = 0; ch < channels; ++ch) BendChannel(m, ch, n);
  m.ActiveVoices.Store(n);
}

[[gnu::noinline]] void HarmonicPoly(ModuleRecord& m) {
  const int32_t n = KernelVoices(m);
  HarmonicChannels(m, n);
  m.ActiveVoices.Store(n);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
// Settled once before the program starts: the per-voice slot goes straight to
// its AVX2 build, with no variant chooser between it and the render loop.
const bool gAvx2 = CpuHasAvx2();

// One channel of a per-voice input from another module in the AVX2 build:
// HarmonicRow four elements a step, the rest as it does them.
[[gnu::always_inline, gnu::target("avx2")]] inline void HarmonicRowAvx2(OutputElement* out, const float* in, int32_t n,
                                                                       float factor) {
  float* o = &out[0].Level;
  const __m256 f = _mm256_set1_ps(factor);
  const int32_t whole = n & ~3;
  for (int32_t v = 0; v < whole; v += 4) {
    const __m256 x = _mm256_loadu_ps(in + 2 * v);
    _mm256_storeu_ps(o + 2 * v, _mm256_mul_ps(f, _mm256_shuffle_ps(x, x, _MM_SHUFFLE(2, 2, 0, 0))));
  }
  if ((n & 3) != 0) HarmonicRow(out + whole, in + 2 * whole, n & 3, factor);
}

[[gnu::noinline, gnu::target("avx2")]] void HarmonicSecondChannelAvx2(ModuleRecord& m, int32_t n) {
  const PortCursor frequency = OpenPlain(m, kHarmonicFrequency, 1);
  HarmonicRowAvx2(m.Outputs[1], frequency.values, n, SettingRead(m, kHarmonicFactor, 1));
}

// The per-voice slot whole in the AVX2 build. A single-voice input or the
// module's own outputs go voice by voice, as above; channel 0 needs no
// channel map, and the second channel is out of line, so that this function
// saves no registers.
[[gnu::target("avx2")]] void HarmonicPolyAvx2(ModuleRecord& m) {
  if ((m.Params[kHarmonicFrequency].VoiceMapRow & 1) == 0 || m.PortSources[kHarmonicFrequency].LoadSettled() == &m) {
    HarmonicPoly(m);
    return;
  }
  const int32_t n = KernelVoices(m);
  const PortCursor frequency = OpenPlain(m, kHarmonicFrequency, 0);
  HarmonicRowAvx2(m.Outputs[0], frequency.values, n, SettingRead(m, kHarmonicFactor, 0));
  m.ActiveVoices.Store(n);
  if (m.ChannelsProcessed.LoadSettled() >= 2) HarmonicSecondChannelAvx2(m, n);
}

// Eight voices of an opened port in the order 0 1 4 5 | 2 3 6 7 (two loads
// of elements, the read side picked within each half); interleaving a
// result with itself gives the elements of voices 0..3 and 4..7 in place.
// kShared: the single voice's value, which every voice reads.
template <bool kShared>
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 BendInput(const PortCursor& c, int32_t chunk, __m256 shared) {
  if constexpr (kShared) {
    return shared;
  } else {
    const float* p = c.values + 16 * chunk;
    return _mm256_mul_ps(_mm256_shuffle_ps(_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8), _MM_SHUFFLE(2, 0, 2, 0)),
                         _mm256_set1_ps(c.gain));
  }
}

// The bend of eight voices, each as PitchBendFactor and LimitValue give it
// (outside -1..1 the sign, 0 for a NaN).
[[gnu::always_inline, gnu::target("avx2")]] inline __m256 BendEight(__m256 f, __m256 p, __m256 rangeLessOne) {
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 up = _mm256_add_ps(_mm256_mul_ps(rangeLessOne, _mm256_andnot_ps(_mm256_set1_ps(-0.0f), p)), one);
  const __m256 factor =
      _mm256_blendv_ps(up, _mm256_div_ps(one, up), _mm256_cmp_ps(p, _mm256_setzero_ps(), _CMP_NGE_UQ));
  const __m256 y = _mm256_mul_ps(factor, f);
  const __m256 bounded = _mm256_min_ps(_mm256_max_ps(y, _mm256_set1_ps(-1.0f)), one);
  return _mm256_andnot_ps(_mm256_cmp_ps(y, y, _CMP_UNORD_Q), bounded);
}

template <bool kSharedF, bool kSharedP>
[[gnu::always_inline, gnu::target("avx2")]] inline void BendEights(const PortCursor& f, const PortCursor& p,
                                                                   __m256 rangeLessOne, float* out, int32_t n) {
  const __m256 sharedF = kSharedF ? _mm256_set1_ps(f(0)) : rangeLessOne;
  const __m256 sharedP = kSharedP ? _mm256_set1_ps(p(0)) : rangeLessOne;
  const int32_t whole = n >> 3;
  int32_t k = 0;
  for (; k < whole; ++k) {
    const __m256 y = BendEight(BendInput<kSharedF>(f, k, sharedF), BendInput<kSharedP>(p, k, sharedP), rangeLessOne);
    _mm256_storeu_ps(out + 16 * k, _mm256_unpacklo_ps(y, y));
    _mm256_storeu_ps(out + 16 * k + 8, _mm256_unpackhi_ps(y, y));
  }
  if ((n & 7) != 0) {
    // The last voices; the elements past them keep what they held.
    const __m256i lane = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7), _mm256_set1_epi32(8 * k));
    const __m256 voice = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(n), lane));
    const __m256 y = BendEight(BendInput<kSharedF>(f, k, sharedF), BendInput<kSharedP>(p, k, sharedP), rangeLessOne);
    float* o = out + 16 * k;
    _mm256_storeu_ps(o, _mm256_blendv_ps(_mm256_loadu_ps(o), _mm256_unpacklo_ps(y, y), _mm256_unpacklo_ps(voice, voice)));
    _mm256_storeu_ps(o + 8, _mm256_blendv_ps(_mm256_loadu_ps(o + 8), _mm256_unpackhi_ps(y, y),
                                             _mm256_unpackhi_ps(voice, voice)));
  }
}

[[gnu::always_inline, gnu::target("avx2")]] inline void BendChannelAvx2(ModuleRecord& m, int32_t ch, int32_t n) {
  const PortCursor f = OpenPlain(m, kBendFrequency, ch);
  const PortCursor p = OpenPlain(m, kBendPitch, ch);
  const __m256 rangeLessOne = _mm256_set1_ps(SettingRead(m, kBendRange, ch) - 1.0f);
  float* out = &m.Outputs[ch][0].Level;
  if ((m.Params[kBendFrequency].VoiceMapRow & 1) != 0) {
    if ((m.Params[kBendPitch].VoiceMapRow & 1) != 0)
      BendEights<false, false>(f, p, rangeLessOne, out, n);
    else
      BendEights<false, true>(f, p, rangeLessOne, out, n);
  } else {
    if ((m.Params[kBendPitch].VoiceMapRow & 1) != 0)
      BendEights<true, false>(f, p, rangeLessOne, out, n);
    else
      BendEights<true, true>(f, p, rangeLessOne, out, n);
  }
}

[[gnu::noinline, gnu::target("avx2")]] void BendSecondChannelAvx2(ModuleRecord& m, int32_t n) {
  BendChannelAvx2(m, 1, n);
}

// The Pitch bend's per-voice slot in the AVX2 build, eight voices a step. A
// port that reads the module's own outputs sees the voices written so far:
// that case goes voice by voice.
[[gnu::target("avx2")]] void BendPolyAvx2(ModuleRecord& m) {
  if (m.PortSources[kBendFrequency].LoadSettled() == &m || m.PortSources[kBendPitch].LoadSettled() == &m) {
    BendPoly(m);
    return;
  }
  const int32_t n = KernelVoices(m);
  BendChannelAvx2(m, 0, n);
  m.ActiveVoices.Store(n);
  if (m.ChannelsProcessed.LoadSettled() >= 2) BendSecondChannelAvx2(m, n);
}
#endif

}  // namespace

void ProcessPitchBendMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) BendChannel(*m, ch, 1);
}

void ProcessPitchBendPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
  if (gAvx2) {
    BendPolyAvx2(*m);
    return;
  }
#endif
  BendPoly(*m);
}

void ProcessHarmonicMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { HarmonicChannels(*m, 1); }

void ProcessHarmonicPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
  if (gAvx2) {
    HarmonicPolyAvx2(*m);
    return;
  }
#endif
  HarmonicPoly(*m);
}

}  // namespace Tarvelo

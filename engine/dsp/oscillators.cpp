#include "engine/dsp/oscillators.h"

#include <array>
#include <cmath>
#include <cstring>

#include "engine/catalog/catalog.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/lanes8.h"
#include "engine/dsp/sine.h"
#include "engine/dsp/waves.h"


namespace Tarvelo {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The shape is the interface's to change while playing (the Shapes list): a
// frame reads it once and passes it on.
inline WaveFunction ShapeFunction(int32_t shape) {
  WaveFunction f = WaveShapeTable[shape].Function;
  return f != nullptr ? f : WaveExperimental;
}

// one thread: value
struct OscillatorSwitches {
  bool doubled;  // SW2
  bool loop;     // LOOP
  bool rewind;   // ARWD
};

inline OscillatorSwitches SwitchesOf(const ModuleRecord& m) {
  return OscillatorSwitches{SwitchOn(m, kSwitch2), SwitchOn(m, kSwitchLoop), SwitchOn(m, kSwitchRewind)};
}

// The Oscillator's ports opened for one channel.
// one thread: value
struct OscillatorPorts {
  PortCursor bias, amplitude, frequency, phase, period, duty;
};

[[gnu::always_inline]] inline OscillatorPorts OpenOscillator(const ModuleRecord& m, int32_t ch) {
  return OscillatorPorts{OpenPlain(m, kOscBias, ch),   OpenScaled(m, kOscAmplitude, ch),
                         OpenPlain(m, kOscFrequency, ch), OpenPlain(m, kOscPhase, ch),
                         OpenPlain(m, kOscPeriod, ch), OpenPlain(m, kOscDuty, ch)};
}

// One voice of the Oscillator. Returns the voice value y; shaped tells whether
// the wave shape ran (else y is the bias alone). shape(phase, a, f, v) runs the
// wave shape for voice position v.
template <typename Shape>
inline float OscillatorVoice(ModuleRecord& m, const Shape& shape, const OscillatorSwitches& sw,
                             const OscillatorPorts& in, int32_t ch, int32_t v, int32_t w, float a,
                             bool& shaped) {
  const float b = in.bias(v);
  float f = in.frequency(v);
  float& phase = m.VoiceState[ch][w];
  shaped = false;
  if (f == 0.0f) {
    // A zero frequency arms the voice (and with ARWD restarts its cycle).
    if (sw.rewind) phase = 0.0f;
    m.VoicePlaying[w] = -1;
    return b;
  }
  if (m.VoicePlaying[w] != -1) return b;
  if (!(1.0f > phase) && !sw.loop) {
    // One period played: the voice stops until its frequency returns to 0.
    m.VoicePlaying[w] = 0;
    phase = 0.0f;
    return b;
  }
  if (sw.doubled) f = f + f;
  shaped = true;
  return b + shape(&phase, a, f, v);
}

// The shape's offset, factor and duty when every voice reads the same ones
// (the ports unlinked, or linked to a single-voice source), with the parts of
// the shapes' common prologue that depend only on them settled once.
// one thread: value
struct SharedShape {
  float offset;
  float factor;
  float duty;
  bool silent;  // factor or duty 0
};

// Every voice reads the shape's offset, factor and duty at element 0.
inline bool ShapeSettingsShared(const ModuleRecord& m) {
  return ((m.Params[kOscPhase].VoiceMapRow | m.Params[kOscPeriod].VoiceMapRow | m.Params[kOscDuty].VoiceMapRow) & 1) == 0;
}

// What port p reads for voice position 0 on channel ch: PlainRead of element
// 0, which every voice reads while the port's voice map row is 0.
inline float FirstValue(const ModuleRecord& m, int32_t p, int32_t ch) {
  const ModuleRecord* s = m.PortSources[p].LoadSettled();
  const OutputElement& e = s->Outputs[SourceChannel(*s, ch)][0];
  return m.Params[p].OutputSide.LoadSettled() == 1 ? e.Frequency : e.Level;
}

inline SharedShape SharedShapeValues(const ModuleRecord& m, int32_t ch) {
  float offset = FirstValue(m, kOscPhase, ch);
  float factor = FirstValue(m, kOscPeriod, ch);
  if (!(factor >= 0.0f)) {
    factor = -factor;
    offset = offset - factor + 1.0f;
  }
  const float duty = FirstValue(m, kOscDuty, ch);
  return SharedShape{offset, factor, duty, factor == 0.0f || duty == 0.0f};
}

inline bool SharedShapeOf(const ModuleRecord& m, int32_t ch, SharedShape& s) {
  if (!ShapeSettingsShared(m) || m.PortSources[kOscPhase].LoadSettled() == &m || m.PortSources[kOscPeriod].LoadSettled() == &m ||
      m.PortSources[kOscDuty].LoadSettled() == &m)
    return false;
  s = SharedShapeValues(m, ch);
  return true;
}

// The Sawtooth shape on shared settings: the same steps as WaveSawtooth,
// called directly instead of through the shape table.
inline float SharedSawtooth(float* phase, float a, float step, const SharedShape& s) {
  float p = *phase;
  if (!(1.0f > std::fabs(p))) p = p - SgnF(p);
  const float x = p * s.factor + s.offset;
  float t = x - std::floor(std::fabs(x)) * SgnF(x);
  if (t < 0.0f) t = t + 1.0f;
  if ((s.duty > 0.0f && p > s.duty) || (s.duty < 0.0f && s.duty + 1.0f > p)) a = 0.0f;
  *phase = static_cast<float>(static_cast<double>(p) + 0.25 * static_cast<double>(step));
  if (a == 0.0f || s.silent) return 0.0f;
  const float twoA = a + a;
  const double u = static_cast<double>(t);
  return static_cast<float>((u - std::floor(u + 0.5)) * static_cast<double>(twoA));
}

// One channel of the Oscillator on shared settings, every voice side by side
// in rows by voice position. Rows are computed over 4, 8, 16 or 32 lanes, so
// that each pass is a loop of known length the compiler vectorizes whole at
// any optimization level; the lanes past the last voice compute on zeros and
// are never read.
// one thread: value
struct ShapeRows {
  alignas(32) float bias[kVoices];
  alignas(32) float amplitude[kVoices];
  alignas(32) float frequency[kVoices];
  alignas(32) float phase[kVoices];      // in and out
  alignas(32) int32_t playing[kVoices];  // out: 0 keep, 1 set -1, 2 set 0
  alignas(32) float y[kVoices];
  // Between the passes.
  alignas(32) float cycle[kVoices];      // the position in the cycle, [0, 1)
  alignas(32) float gain[kVoices];       // the amplitude after the duty gate
  alignas(32) float advanced[kVoices];   // the wrapped phase advanced by a frame
  alignas(32) float wave[kVoices];       // the shape's value
};


// The shapes' values from the position t in the cycle and the gated
// amplitude a, each as its wave function computes it (the silent cases are
// selected away afterwards). Shapes built on a sine or cosine in double take
// it voice by voice; the rest is branch-free.
template <int32_t kShape, int32_t kLanes>
[[gnu::always_inline]] inline void ShapeValues(const float* __restrict cycle, const float* __restrict gain,
                                               float* __restrict wave, int32_t voices) {
  // The shapes taken voice by voice leave the lanes past the voices at 0.
  if constexpr (kShape >= 4 && kShape <= 6)
    for (int32_t v = voices; v < kLanes; ++v) wave[v] = 0.0f;
  const int32_t n = voices;
  // The sine (0) is computed by the callers: the angle in double rounded to
  // f32, the sine in single precision (the C library's, which SineRow
  // computes lanes side by side; the lanes past the voices keep their
  // angle), times the gated amplitude in the second pass.
  if constexpr (kShape == 1) {
    for (int32_t k = 0; k < kLanes; ++k) {
        const double u = static_cast<double>(cycle[k] + 0.25f);
        wave[k] = static_cast<float>((std::fabs(u - std::floor(u + 0.5)) * 4.0 - 1.0) * static_cast<double>(gain[k]));
      }
  } else if constexpr (kShape == 2) {
    for (int32_t k = 0; k < kLanes; ++k) wave[k] = cycle[k] >= 0.5f ? -gain[k] : gain[k];
  } else if constexpr (kShape == 3) {
    for (int32_t k = 0; k < kLanes; ++k) {
        const float twoA = gain[k] + gain[k];
        const double u = static_cast<double>(cycle[k]);
        wave[k] = static_cast<float>((u - std::floor(u + 0.5)) * static_cast<double>(twoA));
      }
  } else if constexpr (kShape == 4) {
    for (int32_t v = 0; v < n; ++v) {
      const float t = cycle[v];
      const float a = gain[v];
      const float k = static_cast<float>(std::fabs(std::cos(kTwoPi * static_cast<double>(t))));
      wave[v] = t < 0.5f ? a * (1.0f - k) : a * (k - 1.0f);
    }
  } else if constexpr (kShape == 5) {
    for (int32_t v = 0; v < n; ++v) {
      const float t = cycle[v];
      const float a = gain[v];
      const float s = static_cast<float>(std::sqrt(std::fabs(std::sin(kTwoPi * static_cast<double>(t)))));
      wave[v] = t >= 0.5f ? s * (-a) : s * a;
    }
  } else if constexpr (kShape == 6) {
    for (int32_t v = 0; v < n; ++v) {
      const float s = static_cast<float>(std::sin(kTwoPi * static_cast<double>(cycle[v])));
      wave[v] = ((s * gain[v]) * s) * s;
    }
  } else if constexpr (kShape == 8) {
    for (int32_t k = 0; k < kLanes; ++k) {
        const bool late = cycle[k] > 0.5f;
        const float a = late ? -gain[k] : gain[k];
        const double u = static_cast<double>(late ? cycle[k] - 0.5f : cycle[k]);
        wave[k] = static_cast<float>((0.5 - u) * (u * static_cast<double>(a) * 16.0));
      }
  } else if constexpr (kShape == 9) {
    for (int32_t k = 0; k < kLanes; ++k) {
        const float t0 = cycle[k];
        const bool past = t0 > 0.25f;
        const float t1 = static_cast<float>(static_cast<double>(t0) - 0.5);
        const bool turned = past & (t1 > 0.0f);
        const float t2 = (turned & (t1 > 0.25f)) ? t1 - 0.5f : t1;
        const float t = past ? t2 : t0;
        const float a = turned ? -gain[k] : gain[k];
        wave[k] = ((t * a) * t) * 16.0f;
      }
  } else if constexpr (kShape == 10) {
    for (int32_t k = 0; k < kLanes; ++k) {
        const bool late = cycle[k] > 0.5f;
        const float t = late ? cycle[k] - 1.0f : cycle[k];
        const float a = late ? -gain[k] : gain[k];
        wave[k] = ((t * a) * t) * 4.0f;
      }
  } else {
    for (int32_t k = 0; k < kLanes; ++k) wave[k] = 0.0f;
  }
}

// What a pass over the rows reports of its voices (the lanes past them never
// count): one clipped, one's playing flag changes.
constexpr int32_t kRowsClipped = 1;
constexpr int32_t kRowsPlayingChanged = 2;

// OscillatorVoice with the shape on shared settings and the clip rule for
// kLanes voices at once. Every branch of the one-voice code is computed for
// every voice and the results selected, so each voice ends with exactly the
// values it gets alone. kLoop is the LOOP switch: with it on (the usual case)
// no voice ends its period, and that part of the selection drops out.
// flags are the voices' playing flags by position, read as they are (no
// row of their own to convert them into first). Returns kRowsClipped and
// kRowsPlayingChanged as they apply.
template <int32_t kShape, int32_t kLanes, bool kLoop>
[[gnu::always_inline]] inline int32_t RowsOfShape(ShapeRows& r, const int64_t* flags, int32_t voices,
                                                  const SharedShape& s, const OscillatorSwitches& sw) {
  const float factor = s.factor;
  const float offset = s.offset;
  // The duty gate as two limits: p > duty for a positive duty, duty + 1 > p
  // for a negative one, never for 0 (or a NaN).
  const float above = s.duty > 0.0f ? s.duty : INFINITY;
  const float below = s.duty < 0.0f ? s.duty + 1.0f : -INFINITY;
  // A silent shape gives 0 as a gated voice does: both become a gain of 0,
  // which the second pass turns into a wave of exactly 0.
  const bool silent = s.silent;
  const bool doubled = sw.doubled;
  const bool rewind = sw.rewind;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float ph = r.phase[v];
    // The signs as SgnF gives them, in fewer steps: where a phase wraps it
    // is at least 1 in size (or a NaN, which the subtraction keeps); x's sign
    // only where x is not 0 (for a NaN the product stays a NaN either way).
    const float p = !(1.0f > std::fabs(ph)) ? ph - std::copysign(1.0f, ph) : ph;
    const float x = p * factor + offset;
    const float xSign = x != 0.0f ? std::copysign(1.0f, x) : 0.0f;
    const float t = x - std::floor(std::fabs(x)) * xSign;
    r.cycle[v] = t < 0.0f ? t + 1.0f : t;
    const float f0 = r.frequency[v];
    const float f = doubled ? f0 + f0 : f0;
    const bool gated = (p > above) | (p < below) | silent;
    r.gain[v] = gated ? 0.0f : r.amplitude[v];
    r.advanced[v] = static_cast<float>(static_cast<double>(p) + 0.25 * static_cast<double>(f));
  }
  if constexpr (kShape == 0) {
    // The sine works in place on its row of angles.
    for (int32_t k = 0; k < kLanes; ++k) r.wave[k] = static_cast<float>(static_cast<double>(r.cycle[k]) * kTwoPi);
    SineRow(r.wave, r.wave, voices);
  } else {
    ShapeValues<kShape, kLanes>(r.cycle, r.gain, r.wave, voices);
  }
  int32_t report = 0;  // one reduction for both reports, which the compiler vectorizes
  for (int32_t v = 0; v < kLanes; ++v) {
    const float bias = r.bias[v];
    const float ph = r.phase[v];
    const bool armed = r.frequency[v] == 0.0f;
    const bool idle = flags[v] != -1;
    const bool ended = kLoop ? false : !(1.0f > ph);
    const float value = kShape == 0 ? r.wave[v] * r.gain[v] : r.wave[v];  // the sine takes its amplitude here
    const float wave = r.gain[v] == 0.0f ? 0.0f : value;
    const bool shaped = !(armed | idle | ended);
    const float y = shaped ? bias + wave : bias;
    const float rested = rewind ? 0.0f : ph;
    const float kept = ended ? 0.0f : r.advanced[v];
    const float held = idle ? ph : kept;
    r.phase[v] = armed ? rested : held;
    const int32_t stop = ended ? 2 : 0;
    const int32_t run = idle ? 0 : stop;
    const int32_t playing = armed ? 1 : run;
    r.playing[v] = playing;
    // The clip rule.
    const bool clip = !(1.0f >= std::fabs(y));
    const float ySign = y == y ? std::copysign(1.0f, y) : 0.0f;  // a clipped y: at least 1 in size, or a NaN
    const int32_t seen = (clip ? kRowsClipped : 0) | (playing != 0 ? kRowsPlayingChanged : 0);
    report |= seen & LaneMask(v, voices);
    r.y[v] = clip ? ySign : y;
  }
  return report;
}

// ReadLanes into a row of the rows, which no source's outputs overlap: said
// so, the copy needs no overlap check.
template <int32_t kLanes>
[[gnu::always_inline]] inline void PortLanes(const PortCursor& c, float* __restrict row) {
  const float* __restrict values = c.values;
  if (c.stride == 0) {
    const float x = c(0);
    for (int32_t v = 0; v < kLanes; ++v) row[v] = x;
  } else {
    const float gain = c.gain;
    for (int32_t v = 0; v < kLanes; ++v) row[v] = values[2 * v] * gain;
  }
}

// Voice position v holds voice id v for each voice, compared over kLanes
// lanes (ids has 33 entries; the lanes past the voices are masked off).
template <int32_t kLanes>
[[gnu::always_inline]] inline bool LanesInPlace(const ModuleRecord* owner, int32_t voices) {
  const int32_t* ids = owner->VoiceIds;
  int32_t differ = 0;
  for (int32_t v = 0; v < kLanes; ++v) differ |= (ids[v] ^ v) & LaneMask(v, voices);
  return differ == 0;
}

// One channel of the rows over kLanes lanes. With the voices in place the
// rows are read whole from the module's state and the ports, and the phases
// written back only where a lane is a voice; else the states are gathered
// and scattered by id, the lanes past the voices at rest. (The AVX2 kernels
// of eight lanes and more take ChannelChunks instead.)
template <int32_t kShape, int32_t kLanes, bool kLoop, bool kAvx2>
[[gnu::always_inline]] inline void ChannelRows(ModuleRecord& m, ShapeRows& r, int32_t ch, int32_t voices, bool inPlace,
                                               const int32_t* ids, const OscillatorSwitches& sw) {
  const SharedShape s = SharedShapeValues(m, ch);
  PortLanes<kLanes>(OpenPlain(m, kOscBias, ch), r.bias);
  PortLanes<kLanes>(OpenScaled(m, kOscAmplitude, ch), r.amplitude);
  PortLanes<kLanes>(OpenPlain(m, kOscFrequency, ch), r.frequency);
  float* phases = m.VoiceState[ch];
  const int64_t* flags = m.VoicePlaying;
  int64_t gathered[kLanes];
  if (inPlace) {
    for (int32_t v = 0; v < kLanes; ++v) r.phase[v] = phases[v];
  } else {
    for (int32_t v = 0; v < voices; ++v) {
      r.phase[v] = phases[ids[v]];
      gathered[v] = m.VoicePlaying[ids[v]];
    }
    for (int32_t v = voices; v < kLanes; ++v) {
      r.phase[v] = 0.0f;
      gathered[v] = 0;
    }
    flags = gathered;
  }
  const int32_t report = RowsOfShape<kShape, kLanes, kLoop>(r, flags, voices, s, sw);
  if ((report & kRowsClipped) != 0) m.ClipFlag.Store(-1);
  // A voice's playing flag changes only when its frequency turns 0 or its
  // one period ends.
  const bool changes = (report & kRowsPlayingChanged) != 0;
  if (inPlace) {
    if (voices == kLanes)
      for (int32_t v = 0; v < kLanes; ++v) phases[v] = r.phase[v];
    else
      for (int32_t v = 0; v < kLanes; ++v) phases[v] = BlendLane(r.phase[v], phases[v], LaneMask(v, voices));
    if (changes)
      for (int32_t v = 0; v < voices; ++v)
        if (r.playing[v] != 0) m.VoicePlaying[v] = r.playing[v] == 1 ? -1 : 0;
  } else {
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = ids[v];
      phases[w] = r.phase[v];
      if (r.playing[v] != 0) m.VoicePlaying[w] = r.playing[v] == 1 ? -1 : 0;
    }
  }
  PublishPairs(m.Outputs[ch], r.y, voices);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TARVELO_OSC_CHUNKS 1
// The AVX2 kernels also carry FMA, for the sine's eight lanes inlined into
// them; -ffp-contract=off keeps every other step unfused.
#define TARVELO_OSC_TARGET __attribute__((target("avx2,fma")))

using Long4 = int64_t __attribute__((vector_size(32)));

// Eight playing flags: all ones where a voice is not playing (its flag not -1).
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Mask8 Idle8(const int64_t* flags) {
  Long4 low;
  Long4 high;
  std::memcpy(&low, flags, sizeof low);
  std::memcpy(&high, flags + 4, sizeof high);
  // The low halves of the eight 64-bit comparisons, in order.
  const __m256 mixed = _mm256_shuffle_ps(reinterpret_cast<__m256>(low == -1), reinterpret_cast<__m256>(high == -1),
                                         _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 equal = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(mixed), _MM_SHUFFLE(3, 1, 2, 0)));
  return ~reinterpret_cast<Mask8>(equal);
}

// Both through the sign bit alone (-0.0f), so that a kernel keeps one
// constant for them.
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 Abs8(Lanes8 x) {
  return reinterpret_cast<Lanes8>(_mm256_andnot_ps(_mm256_set1_ps(-0.0f), reinterpret_cast<__m256>(x)));
}
// std::copysign(1.0f, x).
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 UnitSign8(Lanes8 x) {
  return reinterpret_cast<Lanes8>(_mm256_or_ps(_mm256_and_ps(_mm256_set1_ps(-0.0f), reinterpret_cast<__m256>(x)),
                                               _mm256_set1_ps(1.0f)));
}
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 Floor8(Lanes8 x) {
  return reinterpret_cast<Lanes8>(_mm256_floor_ps(reinterpret_cast<__m256>(x)));
}
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 Bcast8(float x) {
  return reinterpret_cast<Lanes8>(_mm256_set1_ps(x));
}
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Wide8 Widen8(Lanes8 x) { return __builtin_convertvector(x, Wide8); }
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 Narrow8(Wide8 x) { return __builtin_convertvector(x, Lanes8); }
using Wide4 = double __attribute__((vector_size(32)));
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Wide8 FloorWide8(Wide8 x) {
  const Wide4 low = reinterpret_cast<Wide4>(_mm256_floor_pd(reinterpret_cast<__m256d>(
      static_cast<Wide4>(__builtin_shufflevector(x, x, 0, 1, 2, 3)))));
  const Wide4 high = reinterpret_cast<Wide4>(_mm256_floor_pd(reinterpret_cast<__m256d>(
      static_cast<Wide4>(__builtin_shufflevector(x, x, 4, 5, 6, 7)))));
  return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
}
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Wide8 AbsWide8(Wide8 x) {
  using Long8 = int64_t __attribute__((vector_size(64)));
  return reinterpret_cast<Wide8>(reinterpret_cast<Long8>(x) & 0x7fffffffffffffffLL);
}
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Wide8 SplatWide8(double x) {
  return Wide8{x, x, x, x, x, x, x, x};
}

// ReadChunk: the read side of eight elements picked out by two shuffles
// within 128-bit lanes (no index vectors to load).
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 PortChunk(const PortCursor& c, int32_t chunk) {
  if (c.stride == 0) return Bcast8(c(0));
  const float* p = c.values + 16 * chunk;
  const __m256 mixed = _mm256_shuffle_ps(_mm256_loadu_ps(p), _mm256_loadu_ps(p + 8), _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 ordered = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(mixed), _MM_SHUFFLE(3, 1, 2, 0)));
  return reinterpret_cast<Lanes8>(ordered) * Bcast8(c.gain);
}

// The shape's value for eight voices from their cycle position and gated
// amplitude (the sine's still to be multiplied by the amplitude); n of the
// lanes are voices (0 .. 8).
template <int32_t kShape>
[[gnu::always_inline]] TARVELO_OSC_TARGET inline Lanes8 ShapeChunk(Lanes8 cycle, Lanes8 gain, int32_t n) {
  if constexpr (kShape == 0) {
    const Lanes8 angle = Narrow8(Widen8(cycle) * SplatWide8(kTwoPi));
    const __m256 y = reinterpret_cast<__m256>(angle);
    if (gSineRowSideBySide && sine_row::SineEightAllNear(y))
      return reinterpret_cast<Lanes8>(sine_row::SineEightNear(y));
    alignas(32) float row[8];
    Store8(row, angle);
    for (int32_t k = 0; k < n; ++k) row[k] = std::sin(row[k]);
    return Load8(row);
  } else if constexpr (kShape == 1) {
    const Wide8 u = Widen8(cycle + Bcast8(0.25f));
    return Narrow8((AbsWide8(u - FloorWide8(u + SplatWide8(0.5))) * SplatWide8(4.0) - SplatWide8(1.0)) * Widen8(gain));
  } else if constexpr (kShape == 2) {
    return cycle >= Bcast8(0.5f) ? -gain : gain;
  } else if constexpr (kShape == 3) {
    const Lanes8 twoA = gain + gain;
    const Wide8 u = Widen8(cycle);
    return Narrow8((u - FloorWide8(u + SplatWide8(0.5))) * Widen8(twoA));
  } else if constexpr (kShape == 8) {
    const Mask8 late = cycle > Bcast8(0.5f);
    const Lanes8 a = late ? -gain : gain;
    const Wide8 u = Widen8(late ? cycle - Bcast8(0.5f) : cycle);
    return Narrow8((SplatWide8(0.5) - u) * (u * Widen8(a) * SplatWide8(16.0)));
  } else if constexpr (kShape == 9) {
    const Mask8 past = cycle > Bcast8(0.25f);
    const Lanes8 t1 = Narrow8(Widen8(cycle) - SplatWide8(0.5));
    const Mask8 turned = past & (t1 > Lanes8{});
    const Lanes8 t2 = (turned & (t1 > Bcast8(0.25f))) ? t1 - Bcast8(0.5f) : t1;
    const Lanes8 t = past ? t2 : cycle;
    const Lanes8 a = turned ? -gain : gain;
    return ((t * a) * t) * Bcast8(16.0f);
  } else if constexpr (kShape == 10) {
    const Mask8 late = cycle > Bcast8(0.5f);
    const Lanes8 t = late ? cycle - Bcast8(1.0f) : cycle;
    const Lanes8 a = late ? -gain : gain;
    return ((t * a) * t) * Bcast8(4.0f);
  } else if constexpr (kShape == 11) {
    return Lanes8{};
  } else {
    // The shapes built on the C library's double sine or cosine, voice by
    // voice.
    alignas(32) float c[8];
    alignas(32) float g[8];
    alignas(32) float w[8];
    Store8(c, cycle);
    Store8(g, gain);
    ShapeValues<kShape, 8>(c, g, w, n);
    return Load8(w);
  }
}

// One channel of the rows eight voices at a time, each step on Lanes8 values
// kept in registers from the port reads to the published outputs: the same
// steps as ChannelRows with RowsOfShape, lane for lane. The phases and
// playing flags are read in place or from their gathered rows.
// Nothing is kept in rows between the steps, so no store is read back at
// once (which stalls where the widths differ). Chunks past the voices change
// nothing.
template <int32_t kShape, int32_t kLanes, bool kLoop>
[[gnu::always_inline]] TARVELO_OSC_TARGET inline void ChannelChunks(ModuleRecord& m, int32_t ch, int32_t voices,
                                                                   bool inPlace, const int32_t* ids,
                                                                   const OscillatorSwitches& sw) {
  const SharedShape s = SharedShapeValues(m, ch);
  const PortCursor bias = OpenPlain(m, kOscBias, ch);
  const PortCursor amplitude = OpenScaled(m, kOscAmplitude, ch);
  const PortCursor frequency = OpenPlain(m, kOscFrequency, ch);
  float* phases = m.VoiceState[ch];
  const float* phaseIn = phases;
  const int64_t* flags = m.VoicePlaying;
  alignas(32) float gatheredPhase[kLanes];
  alignas(32) int64_t gatheredFlags[kLanes];
  if (!inPlace) {
    for (int32_t v = 0; v < voices; ++v) {
      gatheredPhase[v] = phases[ids[v]];
      gatheredFlags[v] = m.VoicePlaying[ids[v]];
    }
    for (int32_t v = voices; v < kLanes; ++v) {
      gatheredPhase[v] = 0.0f;
      gatheredFlags[v] = 0;
    }
    phaseIn = gatheredPhase;
    flags = gatheredFlags;
  }
  const Lanes8 zero = {};
  const Lanes8 one = Bcast8(1.0f);
  const Lanes8 factor = Bcast8(s.factor);
  const Lanes8 offset = Bcast8(s.offset);
  // The duty gate as two limits (see RowsOfShape); a silent shape gates all.
  // Selected as vectors, which takes none of the branches that the scalar
  // choices (and a NaN's unordered compares) cost.
  const Lanes8 duty = Bcast8(s.duty);
  const Lanes8 above = duty > zero ? duty : Bcast8(INFINITY);
  const Lanes8 below = duty < zero ? duty + one : Bcast8(-INFINITY);
  const Mask8 silent = (factor == zero) | (duty == zero);
  const bool doubled = sw.doubled;
  const bool rewind = sw.rewind;
  alignas(32) int32_t playing[kLanes];
  alignas(32) float fresh[kLanes];
  Mask8 clipped = {};
  Mask8 changed = {};
  float* out = &m.Outputs[ch]->Level;
  // The wrap, the position in the cycle and the duty gate of chunk c.
  // one thread: value
  struct FirstSteps {
    Lanes8 p, cycle, gain;
  };
  const auto firstSteps = [&](int32_t c, Lanes8 ph) [[gnu::always_inline]] TARVELO_OSC_TARGET {
    const Lanes8 p = ~(one > Abs8(ph)) ? ph - UnitSign8(ph) : ph;
    const Lanes8 x = p * factor + offset;
    const Lanes8 xSign = x != zero ? UnitSign8(x) : zero;
    const Lanes8 t = x - Floor8(Abs8(x)) * xSign;
    const Mask8 gated = (p > above) | (p < below) | silent;
    return FirstSteps{p, t < zero ? t + one : t, gated ? zero : PortChunk(amplitude, c)};
  };
  // The shapes built on the C library's double sine or cosine take it voice
  // by voice for the whole row first, so that the calls spill nothing of the
  // chunks.
  alignas(32) float waves[kShape >= 4 && kShape <= 6 ? kLanes : 1];
  if constexpr (kShape >= 4 && kShape <= 6) {
    alignas(32) float cycles[kLanes];
    alignas(32) float gains[kLanes];
    for (int32_t c = 0; c < kLanes / 8; ++c) {
      const FirstSteps first = firstSteps(c, Load8(phaseIn + 8 * c));
      Store8(cycles + 8 * c, first.cycle);
      Store8(gains + 8 * c, first.gain);
    }
    ShapeValues<kShape, kLanes>(cycles, gains, waves, voices);
  }
  // Unrolled whole, so that the constants above stay in registers across the
  // chunks instead of being spilled to the stack and read back.
#pragma GCC unroll 4
  for (int32_t c = 0; c < kLanes / 8; ++c) {
    const Lanes8 ph = Load8(phaseIn + 8 * c);
    const Lanes8 f0 = PortChunk(frequency, c);
    // The first pass: wrap, position in the cycle, duty gate, advance.
    const FirstSteps first = firstSteps(c, ph);
    const Lanes8 p = first.p;
    const Lanes8 cycle = first.cycle;
    const Lanes8 gain = first.gain;
    const Lanes8 f = doubled ? f0 + f0 : f0;
    // The advance: in double, rounded to float, which is the float sum of p
    // and a quarter of f whenever that quarter is exact in float (f 0, not a
    // number, infinite or at least 2^-124 in size): a sum of two floats
    // rounded first to double and then to float rounds as once to float.
    // Tinier frequencies take the double steps.
    const Lanes8 fSize = Abs8(f);
    const Mask8 tiny = (fSize < Bcast8(0x1p-124f)) & (fSize > zero);
    const Lanes8 advanced = _mm256_testz_si256(reinterpret_cast<__m256i>(tiny), reinterpret_cast<__m256i>(tiny))
                                ? p + Bcast8(0.25f) * f
                                : Narrow8(Widen8(p) + SplatWide8(0.25) * Widen8(f));
    const int32_t left = voices - 8 * c;
    Lanes8 wave;
    if constexpr (kShape >= 4 && kShape <= 6)
      wave = Load8(waves + 8 * c);
    else
      wave = ShapeChunk<kShape>(cycle, gain, left < 8 ? (left > 0 ? left : 0) : 8);
    // The second pass: the voice's value, phase and playing flag.
    const Lanes8 b = PortChunk(bias, c);
    const Mask8 armed = f0 == zero;
    const Mask8 idle = Idle8(flags + 8 * c);
    const Mask8 ended = kLoop ? Mask8{} : ~(one > ph);
    const Lanes8 value = kShape == 0 ? wave * gain : wave;
    const Lanes8 w = gain == zero ? zero : value;
    const Mask8 stopped = armed | idle | ended;
    const Lanes8 y = stopped ? b : b + w;
    // Every voice of the chunk sounding, the usual case: each advances.
    Lanes8 next = advanced;
    Mask8 play = {};
    if (!_mm256_testz_si256(reinterpret_cast<__m256i>(stopped), reinterpret_cast<__m256i>(stopped))) {
      const Lanes8 rested = rewind ? zero : ph;
      const Lanes8 kept = ended ? zero : advanced;
      const Lanes8 held = idle ? ph : kept;
      next = armed ? rested : held;
      const Mask8 run = ~idle & ended & 2;
      play = (armed & 1) | (~armed & run);
    }
    const Mask8 clip = ~(one >= Abs8(y));
    const Lanes8 ySign = y == y ? UnitSign8(y) : zero;
    const Lanes8 yOut = clip ? ySign : y;
    std::memcpy(playing + 8 * c, &play, sizeof play);
    float* o = out + 16 * c;
    // Each value twice, as the elements' level and frequency.
    const __m256 y8 = reinterpret_cast<__m256>(yOut);
    const __m256 pairsLow = _mm256_unpacklo_ps(y8, y8);
    const __m256 pairsHigh = _mm256_unpackhi_ps(y8, y8);
    const Lanes8 low = reinterpret_cast<Lanes8>(_mm256_permute2f128_ps(pairsLow, pairsHigh, 0x20));
    const Lanes8 high = reinterpret_cast<Lanes8>(_mm256_permute2f128_ps(pairsLow, pairsHigh, 0x31));
    if (left >= 8) {
      clipped |= clip;
      changed |= play;
      if (inPlace)
        Store8(phases + 8 * c, next);
      else
        Store8(fresh + 8 * c, next);
      Store8(o, low);
      Store8(o + 8, high);
    } else {
      // The lanes past the voices count for nothing and keep what they held.
      Mask8 lanes;
      std::memcpy(&lanes, kLaneNumbers + 8 * c, sizeof lanes);
      lanes = lanes < voices;
      clipped |= clip & lanes;
      changed |= play & lanes;
      if (inPlace)
        Store8(phases + 8 * c, lanes ? next : ph);
      else
        Store8(fresh + 8 * c, next);
      Store8(o, Blend8(low, Load8(o), __builtin_shufflevector(lanes, lanes, 0, 0, 1, 1, 2, 2, 3, 3)));
      Store8(o + 8, Blend8(high, Load8(o + 8), __builtin_shufflevector(lanes, lanes, 4, 4, 5, 5, 6, 6, 7, 7)));
    }
  }
  if (_mm256_movemask_ps(reinterpret_cast<__m256>(clipped)) != 0) m.ClipFlag.Store(-1);
  const bool changes = !_mm256_testz_si256(reinterpret_cast<__m256i>(changed), reinterpret_cast<__m256i>(changed));
  if (inPlace) {
    // A voice's playing flag changes only when its frequency turns 0 or its
    // one period ends.
    if (changes)
      for (int32_t v = 0; v < voices; ++v)
        if (playing[v] != 0) m.VoicePlaying[v] = playing[v] == 1 ? -1 : 0;
  } else {
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = ids[v];
      phases[w] = fresh[v];
      if (playing[v] != 0) m.VoicePlaying[w] = playing[v] == 1 ? -1 : 0;
    }
  }
}
#endif

// Both channels of a two-channel module, kept out of line so that the
// one-channel path, the usual one, carries none of its loop's set-up.
template <int32_t kShape, int32_t kLanes, bool kLoop, bool kAvx2>
[[gnu::noinline]] void TwoChannelRows(ModuleRecord& m, int32_t voices, bool inPlace, const int32_t* ids,
                                      const OscillatorSwitches& sw) {
  ShapeRows r;
  for (int32_t ch = 0; ch < 2; ++ch) ChannelRows<kShape, kLanes, kLoop, kAvx2>(m, r, ch, voices, inPlace, ids, sw);
}

#if TARVELO_OSC_CHUNKS
template <int32_t kShape, int32_t kLanes, bool kLoop>
[[gnu::noinline]] TARVELO_OSC_TARGET void TwoChannelChunks(ModuleRecord& m, int32_t voices, bool inPlace,
                                                           const int32_t* ids, const OscillatorSwitches& sw) {
  for (int32_t ch = 0; ch < 2; ++ch) ChannelChunks<kShape, kLanes, kLoop>(m, ch, voices, inPlace, ids, sw);
}
#endif

// The rows of the whole module for one shape, lane count and LOOP setting.
// False when two voice positions share a voice id (nothing touched then).
template <int32_t kShape, int32_t kLanes, bool kLoop, bool kAvx2>
[[gnu::always_inline]] inline bool ModuleRows(ModuleRecord& m, int32_t channels, int32_t voices,
                                              const OscillatorSwitches& sw) {
  // Voice position v usually holds voice id v: the states are then read and
  // written as rows, else gathered and scattered by id.
  int32_t ids[kVoices];
  const ModuleRecord* owner = m.TriggerOwner.LoadSettled();
  const bool inPlace = LanesInPlace<kLanes>(owner, voices);
  if (!inPlace && !DistinctVoiceIds(owner, voices, ids)) return false;
  // One channel, the usual case, with its port look-ups settled at compile time.
  if (channels == 1) {
    ShapeRows r;
    ChannelRows<kShape, kLanes, kLoop, kAvx2>(m, r, 0, voices, inPlace, ids, sw);
  } else {
    TwoChannelRows<kShape, kLanes, kLoop, kAvx2>(m, voices, inPlace, ids, sw);
  }
  return true;
}

// Each shape, lane count and LOOP setting runs the rows as a function of its
// own, from the switches and the port reads to the outputs: small enough to
// keep its values in registers, and picked from a table instead of being
// inlined beside the others. The AVX2 build of each is taken where the
// processor has it (the steps and their rounding are the same: AVX2 brings
// no FMA). A kernel completes the module's frame: when two voice positions
// share a voice id it takes the voice-by-voice path instead.
using RowsKernel = void (*)(ModuleRecord& m, int32_t voices);

void VoiceByVoice(ModuleRecord& mr, const OscillatorSwitches& sw, int32_t channels, int32_t voices,
                  WaveFunction shape);

template <int32_t kShape, int32_t kLanes, bool kLoop, bool kAvx2>
[[gnu::always_inline]] inline void RowsOrVoices(ModuleRecord& m, int32_t voices) {
  const OscillatorSwitches sw = SwitchesOf(m);
  const int32_t channels = KernelChannels(m);
  if (!ModuleRows<kShape, kLanes, kLoop, kAvx2>(m, channels, voices, sw))
    VoiceByVoice(m, sw, channels, voices, ShapeFunction(kShape));
  m.ActiveVoices.Store(voices);
}

template <int32_t kShape, int32_t kLanes, bool kLoop>
void RowsPlain(ModuleRecord& m, int32_t voices) {
  RowsOrVoices<kShape, kLanes, kLoop, false>(m, voices);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
// RowsOrVoices for the AVX2 kernels of 8, 16 and 32 lanes, which compute
// eight voices at a time.
template <int32_t kShape, int32_t kLanes, bool kLoop>
[[gnu::always_inline]] TARVELO_OSC_TARGET inline void ChunksOrVoices(ModuleRecord& m, int32_t voices) {
  const OscillatorSwitches sw = SwitchesOf(m);
  const int32_t channels = KernelChannels(m);
  int32_t ids[kVoices];
  const ModuleRecord* owner = m.TriggerOwner.LoadSettled();
  // LanesInPlace, tested with one vector test.
  const Mask8 count = reinterpret_cast<Mask8>(_mm256_set1_epi32(voices));
  Mask8 differ = {};
  for (int32_t k = 0; k < kLanes; k += 8) {
    Mask8 id;
    Mask8 lane;
    std::memcpy(&id, owner->VoiceIds + k, sizeof id);
    std::memcpy(&lane, kLaneNumbers + k, sizeof lane);
    differ |= (id ^ lane) & (lane < count);
  }
  const bool inPlace = _mm256_testz_si256(reinterpret_cast<__m256i>(differ), reinterpret_cast<__m256i>(differ)) != 0;
  if (!inPlace && !DistinctVoiceIds(owner, voices, ids))
    VoiceByVoice(m, sw, channels, voices, ShapeFunction(kShape));
  else if (channels == 1)
    ChannelChunks<kShape, kLanes, kLoop>(m, 0, voices, inPlace, ids, sw);
  else
    TwoChannelChunks<kShape, kLanes, kLoop>(m, voices, inPlace, ids, sw);
  m.ActiveVoices.Store(voices);
}

template <int32_t kShape, int32_t kLanes, bool kLoop>
TARVELO_OSC_TARGET void RowsAvx2(ModuleRecord& m, int32_t voices) {
  if constexpr (kLanes % 8 == 0)
    ChunksOrVoices<kShape, kLanes, kLoop>(m, voices);
  else
    RowsOrVoices<kShape, kLanes, kLoop, true>(m, voices);
}
// Settled once before the program starts (as the sine row's choice is).
const bool gAvx2 = TakeAvx2Kernels(true);
#else
template <int32_t kShape, int32_t kLanes, bool kLoop>
void RowsAvx2(ModuleRecord& m, int32_t voices) {
  RowsOrVoices<kShape, kLanes, kLoop, false>(m, voices);
}
constexpr bool gAvx2 = false;
#endif

// By shape; white noise (7) never runs as rows: it draws one random number
// per sounding voice in voice order (its entry is never read).
template <int32_t kLanes, bool kLoop, bool kAvx2>
constexpr std::array<RowsKernel, kWaveShapeCount> ShapeKernels() {
  if constexpr (kAvx2)
    return {RowsAvx2<0, kLanes, kLoop>, RowsAvx2<1, kLanes, kLoop>,  RowsAvx2<2, kLanes, kLoop>,
            RowsAvx2<3, kLanes, kLoop>, RowsAvx2<4, kLanes, kLoop>,  RowsAvx2<5, kLanes, kLoop>,
            RowsAvx2<6, kLanes, kLoop>, nullptr,                     RowsAvx2<8, kLanes, kLoop>,
            RowsAvx2<9, kLanes, kLoop>, RowsAvx2<10, kLanes, kLoop>, RowsAvx2<11, kLanes, kLoop>};
  else
    return {RowsPlain<0, kLanes, kLoop>, RowsPlain<1, kLanes, kLoop>,  RowsPlain<2, kLanes, kLoop>,
            RowsPlain<3, kLanes, kLoop>, RowsPlain<4, kLanes, kLoop>,  RowsPlain<5, kLanes, kLoop>,
            RowsPlain<6, kLanes, kLoop>, nullptr,                      RowsPlain<8, kLanes, kLoop>,
            RowsPlain<9, kLanes, kLoop>, RowsPlain<10, kLanes, kLoop>, RowsPlain<11, kLanes, kLoop>};
}

// [lanes: 4, 8, 16, 32][LOOP][shape] in one flat row, one table per build:
// a kernel's place is then a sum, not three scaled indices.
template <bool kAvx2>
struct KernelTable {
  static constexpr std::array<RowsKernel, 8 * kWaveShapeCount> kKernels = [] {
    const std::array<RowsKernel, kWaveShapeCount> rows[8] = {
        ShapeKernels<4, false, kAvx2>(),  ShapeKernels<4, true, kAvx2>(),  ShapeKernels<8, false, kAvx2>(),
        ShapeKernels<8, true, kAvx2>(),   ShapeKernels<16, false, kAvx2>(), ShapeKernels<16, true, kAvx2>(),
        ShapeKernels<kVoices, false, kAvx2>(), ShapeKernels<kVoices, true, kAvx2>()};
    std::array<RowsKernel, 8 * kWaveShapeCount> flat{};
    for (int32_t r = 0; r < 8; ++r)
      for (int32_t k = 0; k < kWaveShapeCount; ++k) flat[r * kWaveShapeCount + k] = rows[r][k];
    return flat;
  }();
};
// The build's table, settled with gAvx2 before the program starts.
const RowsKernel* const gKernels = gAvx2 ? KernelTable<true>::kKernels.data() : KernelTable<false>::kKernels.data();

// Some port reads the module's own outputs (ports 0 .. kOscDuty).
inline bool ReadsOwnOutputs(const ModuleRecord& m) {
  bool own = false;
  for (int32_t p = 0; p <= kOscDuty; ++p) own |= m.PortSources[p].LoadSettled() == &m;
  return own;
}

// The rows' kernel for the module, when the voices side by side give what
// one after the other gives: the shape's settings are shared and no port
// reads the module's own outputs while they are being written (the kernel
// itself checks that every voice has its own state). Null otherwise.
inline RowsKernel RowsKernelFor(const ModuleRecord& m, int32_t voices, int32_t shape) {
  // White noise (a null entry) is settled first: it never runs as rows, and
  // so skips the checks.
  if (shape == 7 || !ShapeSettingsShared(m) || ReadsOwnOutputs(m)) return nullptr;
  // 4, 8, 16 or 32 lanes by the voice count (0 .. 32), as the first entry of
  // their rows in the table; a few voices take four lanes: one vector of
  // floats even without AVX2, and one of doubles with it.
  constexpr uint8_t k4 = 0;
  constexpr uint8_t k8 = 2 * kWaveShapeCount;
  constexpr uint8_t k16 = 4 * kWaveShapeCount;
  constexpr uint8_t k32 = 6 * kWaveShapeCount;
  static constexpr uint8_t kLaneRows[kVoices + 1] = {k4,  k4,  k4,  k4,  k4,  k8,  k8,  k8,  k8,  k16, k16,
                                                     k16, k16, k16, k16, k16, k16, k32, k32, k32, k32, k32,
                                                     k32, k32, k32, k32, k32, k32, k32, k32, k32, k32, k32};
  const int32_t loop = SwitchOn(m, kSwitchLoop) ? kWaveShapeCount : 0;
  return gKernels[kLaneRows[voices] + loop + shape];
}

// Runs body(shape) with the shape of channel ch: the direct Sawtooth when it
// applies, else the table's function reading its ports per voice. Always
// inlined: kept out of line, the voice loop would lose its AVX2 variant.
template <typename Body>
[[gnu::always_inline]] inline void WithShape(const ModuleRecord& m, WaveFunction fn, const OscillatorPorts& in,
                                             int32_t ch, const Body& body) {
  SharedShape s;
  if (fn == WaveSawtooth && SharedShapeOf(m, ch, s)) {
    body([&s](float* phase, float a, float f, int32_t) { return SharedSawtooth(phase, a, f, s); });
  } else {
    body([fn, &in](float* phase, float a, float f, int32_t v) {
      return fn(phase, a, f, in.phase(v), in.period(v), in.duty(v));
    });
  }
}

// Voice-mix divisor of the single-voice slots: a plain average, unless the
// amplitude comes from an envelope or the voices come from a chain that
// publishes per voice; then 1 + the sum of the amplitudes weights them.
inline bool WeightedMix(const ModuleRecord& m) {
  return m.PortSources[kOscAmplitude].LoadSettled()->ModuleSwitches[kSwitchEnvelope].Load() != 0 ||
         m.PortSources[m.VoiceMapSourcePort.Load()].LoadSettled()->PerVoiceOutput != 0;
}

// Sine wave phase step: advance by a quarter of the normalized frequency, then
// wrap once. The phase is p + rest (kept beside it, VoiceStateRest): the
// float alone rounds every step the same way over a stretch of the cycle, so
// a 0.5-Hz wave ran 0.1 % fast and a 440-Hz one strayed 2 ms an hour.
inline float SineAdvance(float p, float& rest, float f) {
  const float kept = KeptRest(p, rest);
  double exact = (static_cast<double>(p) + static_cast<double>(kept)) + 0.25 * static_cast<double>(f);
  float q = static_cast<float>(exact);
  if (!(1.0f > std::fabs(q))) {
    exact = exact - static_cast<double>(SgnF(q));
    q = static_cast<float>(exact);
  }
  // A rest that is not a number fits no phase: the next frame drops it.
  rest = static_cast<float>(exact - static_cast<double>(q));
  return q;
}

inline double SineProduct(float a, float p) {
  return static_cast<double>(a) * std::sin(kTwoPi * static_cast<double>(p));
}

// The per-voice slot one voice after the other, for what the rows
// leaves: kept out of line, so that the rows' path keeps a small frame.
TARVELO_KERNEL_BUILDS(void, VoiceByVoice, (ModuleRecord& mr, const OscillatorSwitches& sw, int32_t channels,
                                            int32_t voices, WaveFunction shape)) {
  ModuleRecord* m = &mr;
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  for (int32_t ch = 0; ch < channels; ++ch) {
    const OscillatorPorts in = OpenOscillator(*m, ch);
    WithShape(*m, shape, in, ch, [&](const auto& run) {
      for (int32_t v = 0; v < voices; ++v) {
        const int32_t w = VoiceIdAt(owner, v);
        bool shaped;
        float y = OscillatorVoice(*m, run, sw, in, ch, v, w, in.amplitude(v), shaped);
        y = ClipValue(y, m->ClipFlag);
        m->Outputs[ch][v] = OutputElement{y, y};
      }
    });
  }
}

}  // namespace

int32_t OscillatorShape(const ModuleRecord& m) {
  const int32_t s = m.MidiDeviceBinding.Load();
  return static_cast<uint32_t>(s) < static_cast<uint32_t>(kWaveShapeCount) ? s : 0;
}

void SetOscillatorShape(ModuleRecord& m, int32_t shape) {
  m.MidiDeviceBinding.Store(static_cast<uint32_t>(shape) < static_cast<uint32_t>(kWaveShapeCount) ? shape : 0);
}

namespace {
// The Oscillator's phases kept in time. The kernels step a voice's phase in
// single precision, which rounds every step the same way over a stretch of
// the cycle: alone, a 0.5-Hz wave ran 0.1 % fast and a 440-Hz one strayed
// 2 ms an hour. Every kAnchorFrames calls the phases are set to the exact
// ones: the anchor the last time left (OscillatorAnchor, what it held beyond
// single precision in VoiceStateRest) advanced by those frames at the
// frequency the voice plays now. That holds where the float phase lies
// within the steps' rounding of it (each step rounds by at most 2^-24 while
// the phase is below 2 in size): the voice played every frame at that
// frequency. Anywhere else (a frequency that moved, a voice that waited or
// ended, a reset, a rewind or a load) the float phase stands and anchors
// anew, so a phase never moves by more than that rounding, and the frames
// between keep the kernels' float steps untouched. 256 frames keep that
// rounding below 2e-5 of a cycle and spread the anchoring over as many
// frames.
constexpr int32_t kAnchorFrames = kOscillatorAnchorFrames;
constexpr double kAnchorSlack = (kAnchorFrames + 1) * 0x1p-24;

// True once every kAnchorFrames calls, the first time after kAnchorFrames
// frames from the phases and anchors a reset leaves (all 0).
[[gnu::always_inline]] inline bool AnchorDue(ModuleRecord& m) {
  const uint32_t n = m.OscillatorCalls;
  const bool due = n >= kAnchorFrames;
  m.OscillatorCalls = due ? 1 : n + 1;
  return due;
}

// Out of line: it runs once in kAnchorFrames calls. owner and voices are
// the frame's, as its kernel reads them.
[[gnu::noinline]] void AnchorPhases(ModuleRecord& m, const ModuleRecord* owner, int32_t voices) {
  const bool doubled = SwitchOn(m, kSwitch2);
  const int32_t channels = KernelChannels(m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor frequency = OpenPlain(m, kOscFrequency, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      float f = frequency(v);
      if (doubled) f = f + f;
      float& phase = m.VoiceState[ch][w];
      float& rest = m.VoiceStateRest[ch][w];
      float& anchor = m.OscillatorAnchor[ch][w];
      // A rest that does not fit its anchor (a reset wrote there) is not taken.
      const float kept = KeptRest(anchor, rest);
      const double exact = (static_cast<double>(anchor) + static_cast<double>(kept)) +
                           static_cast<double>(kAnchorFrames) * 0.25 * static_cast<double>(f);
      // The float phase wraps where the exact one may not yet: whole turns apart.
      const double apart = exact - static_cast<double>(phase);
      const double turns = std::nearbyint(apart);
      if (m.VoicePlaying[w] == -1 && std::fabs(apart - turns) <= kAnchorSlack) {
        const double at = exact - turns;
        phase = static_cast<float>(at);
        rest = static_cast<float>(at - static_cast<double>(phase));
      } else {
        rest = 0.0f;
      }
      anchor = phase;
    }
  }
}

// Out of line, so that the choice of kernel keeps no stack frame (in two
// builds too, as the slot's entry is).
[[gnu::noinline]] TARVELO_KERNEL_BUILDS(void, AllVoiceByVoice, (ModuleRecord& m, int32_t voices, int32_t shape)) {
  VoiceByVoice(m, SwitchesOf(m), KernelChannels(m), voices, ShapeFunction(shape));
  m.ActiveVoices.Store(voices);
}
}  // namespace

namespace {
[[gnu::always_inline]] inline void PolyFrame(ModuleRecord& m, int32_t voices) {
  const int32_t shape = OscillatorShape(m);
  const RowsKernel rows = RowsKernelFor(m, voices, shape);
  if (rows != nullptr) {
    rows(m, voices);
    return;
  }
  AllVoiceByVoice(m, voices, shape);
}

// The phases anchored before the frame, as the last call left them. Out of
// line, as the frame's calls are then tail calls: the kernel's frames in
// between keep no stack frame.
[[gnu::noinline]] void AnchoredPolyFrame(ModuleRecord& m, int32_t voices) {
  AnchorPhases(m, m.TriggerOwner.LoadSettled(), voices);
  PolyFrame(m, voices);
}
}  // namespace

TARVELO_KERNEL_BUILDS(void, ProcessOscillatorPoly, (ModuleRecord* m, uint64_t, int32_t, int32_t)) {
  const int32_t voices = KernelVoices(*m);
  if (AnchorDue(*m)) {
    AnchoredPolyFrame(*m, voices);
    return;
  }
  PolyFrame(*m, voices);
}

TARVELO_KERNEL_BUILDS(void, ProcessOscillatorMono, (ModuleRecord* m, uint64_t, int32_t, int32_t)) {
  const WaveFunction shape = ShapeFunction(OscillatorShape(*m));
  const OscillatorSwitches sw = SwitchesOf(*m);
  const ModuleRecord* owner = PortTriggerOwner(*m, m->VoiceMapSourcePort.Load());
  const bool weighted = WeightedMix(*m);
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  if (AnchorDue(*m)) AnchorPhases(*m, owner, voices);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const OscillatorPorts in = OpenOscillator(*m, ch);
    float sum = 0.0f;
    float d = 1.0f;
    WithShape(*m, shape, in, ch, [&](const auto& run) {
      for (int32_t v = 0; v < voices; ++v) {
        const int32_t w = VoiceIdAt(owner, v);
        const float a = in.amplitude(v);
        d = d + std::fabs(a);
        bool shaped;
        float y = OscillatorVoice(*m, run, sw, in, ch, v, w, a, shaped);
        if (shaped) y = ClipValue(y, m->ClipFlag);
        sum = sum + y;
      }
    });
    if (!weighted) d = static_cast<float>(voices);
    // The render callback runs the module only with a voice to compute; a
    // module woken without one publishes silence rather than 0 / 0.
    const float r = voices > 0 ? ClipValue(sum / d, m->ClipFlag) : 0.0f;
    m->Outputs[ch][0] = OutputElement{r, r};
  }
}

void ProcessSineWavePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const bool doubled = SwitchOn(*m, kSwitch2);
  const bool rewind = SwitchOn(*m, kSwitchRewind);
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor bias = OpenPlain(*m, kOscBias, ch);
    const PortCursor amplitude = OpenScaled(*m, kOscAmplitude, ch);
    const PortCursor frequency = OpenPlain(*m, kOscFrequency, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      const float b = bias(v);
      const float a = amplitude(v);
      float f = frequency(v);
      float& p = m->VoiceState[ch][w];
      if (doubled) f = f + f;
      if (f == 0.0f && rewind) p = 0.0f;
      float y = static_cast<float>(SineProduct(a, p) + static_cast<double>(b));
      p = SineAdvance(p, m->VoiceStateRest[ch][w], f);
      y = ClipValue(y, m->ClipFlag);
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices.Store(voices);
}

void ProcessSineWaveMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const bool doubled = SwitchOn(*m, kSwitch2);
  const bool rewind = SwitchOn(*m, kSwitchRewind);
  const ModuleRecord* owner = PortTriggerOwner(*m, m->VoiceMapSourcePort.Load());
  const bool weighted = WeightedMix(*m);
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor bias = OpenPlain(*m, kOscBias, ch);
    const PortCursor amplitude = OpenScaled(*m, kOscAmplitude, ch);
    const PortCursor frequency = OpenPlain(*m, kOscFrequency, ch);
    float sum = 0.0f;
    float d = 1.0f;
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      const float b = bias(v);
      const float a = amplitude(v);
      float f = frequency(v);
      float& p = m->VoiceState[ch][w];
      if (doubled) f = f + f;
      if (f == 0.0f && rewind) p = 0.0f;
      d = d + std::fabs(a);
      sum = static_cast<float>(static_cast<double>(sum) + SineProduct(a, p) + static_cast<double>(b));
      p = SineAdvance(p, m->VoiceStateRest[ch][w], f);
    }
    if (!weighted) d = static_cast<float>(voices);
    const float r = voices > 0 ? ClipValue(sum / d, m->ClipFlag) : 0.0f;
    m->Outputs[ch][0] = OutputElement{r, r};
  }
}

}  // namespace Tarvelo

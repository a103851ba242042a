#include "engine/dsp/sample.h"

#include <cmath>
#include <cstring>
#include <limits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "app/state/wave_library.h"
#include "audio/spectrum.h"
#include "basics/complex.h"
#include "engine/dsp/analysis.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/sequencer.h"
#include "engine/notes.h"
#include "platform/threads.h"

namespace Tarvelo {

void (*SampleListChanged)() = nullptr;

namespace {

// The pitch of a finished recording is found on the audio thread, which must
// not allocate: its spectrum goes here. The interface thread finishes the
// recordings that nothing renders (audio output off, the module out of the
// processing order) with a spectrum of its own, so the two never share one.
// one thread: audio
QUARLE_BASICS::Complex RecordingSpectrum[kPitchBlockFrames];
// one thread: interface
QUARLE_BASICS::Complex InterfaceRecordingSpectrum[kPitchBlockFrames];

inline bool HasSound(const ModuleRecord& m) { return m.SampleData != nullptr && m.SampleFrames > 0; }

inline bool Recording(const ModuleRecord& m) { return SwitchOn(m, kSwitchRecord) && HasSound(m); }

inline int32_t SoundChannels(const ModuleRecord& m) { return m.SampleChannels > 1 ? m.SampleChannels : 1; }

// Channels a recording stores per frame: those the module outputs, at most
// those the sound has.
inline int32_t RecordedChannels(const ModuleRecord& m) {
  int32_t n = m.OutputChannels.Load() < 1 ? 1 : (m.OutputChannels.Load() > 2 ? 2 : m.OutputChannels.Load());
  return n < SoundChannels(m) ? n : SoundChannels(m);
}

inline int32_t LeadPort(const ModuleRecord& m) {
  const int32_t p = m.VoiceMapSourcePort.Load();
  return (p >= 0 && p < m.PortCount && p < kModuleParams) ? p : 0;
}

// The input port passed through: its scaled read while a live module feeds
// it, else nothing.
inline float PassedInput(const ModuleRecord& m, int32_t ch, int32_t v) {
  return m.PortSources[kSampleInput].LoadSettled()->Role == kRoleLive ? ScaledRead(m, kSampleInput, ch, v) : 0.0f;
}

// Linear interpolation between frame i and the next of the sound's channel
// ch, at f (0..1) from frame i.
inline float ReadFrames(const ModuleRecord& m, int32_t ch, int32_t i, float f) {
  const int32_t length = m.SampleFrames;
  const int32_t channels = SoundChannels(m);
  const int32_t c = ch < channels ? ch : channels - 1;
  const int64_t k = c + static_cast<int64_t>(channels) * i;
  float s = (1.0f - f) * m.SampleData[k];
  if (i < length - 1) s = s + f * m.SampleData[k + channels];
  return s;
}

// The frame read for the read point u (its fraction, 0..1, of a sound of
// length frames, last = length - 1), and the fraction past that frame. The
// conditions are 0 or 1 in integers, so that the voice rows vectorize it.
template <typename Real>
[[gnu::always_inline]] inline int32_t ReadPoint(Real u, Real last, int32_t length, float& fraction) {
  const Real x0 = u - std::trunc(u);
  const Real x1 = x0 < Real(0) ? x0 + Real(1) : x0;
  const Real x = ((x1 >= Real(0) ? 1 : 0) & (x1 <= Real(1) ? 1 : 0)) != 0 ? x1 : Real(0);
  const Real r = last * x;
  const Real fl = std::floor(r);
  const int32_t i0 = static_cast<int32_t>(fl);
  // Single precision cannot hold every frame index of a long sound exactly.
  const int32_t over = i0 > length - 1 ? 1 : 0;
  const int32_t i1 = over != 0 ? length - 1 : i0;
  const Real fi = over != 0 ? last : fl;
  fraction = static_cast<float>(r - fi);
  return i1 < 0 ? 0 : i1;
}

// Sounds longer than this are read at the point the position and its rest
// give, in double precision: single precision places the read of a 30-s
// sound only within a tenth of a frame, and cannot tell the frames of one
// longer than 16,777,216 apart. Shorter sounds keep the single-precision read.
constexpr int32_t kFineReadFrames = 65536;

// A long sound's read point: from + rest + phase.
inline double FineReadPoint(float from, float rest, float phase) {
  return (static_cast<double>(from) + static_cast<double>(rest)) + static_cast<double>(phase);
}

// A long sound read, out of the usual sounds' way.
[[gnu::noinline, gnu::cold]] float ReadLongSound(const ModuleRecord& m, int32_t ch, float from, float rest,
                                                 float phase) {
  float fraction;
  const int32_t i = ReadPoint(FineReadPoint(from, rest, phase), static_cast<double>(m.SampleFrames - 1),
                              m.SampleFrames, fraction);
  return ReadFrames(m, ch, i, fraction);
}

// A position and its rest as the nearest float and what is left of it.
inline void SplitPosition(float& pos, float rest, float& kept) {
  const float whole = pos + rest;
  kept = rest - (whole - pos);
  pos = whole;
}

// SampleInterpolate, inlined into the process functions' voice loops.
[[gnu::always_inline]] inline float InterpolateVoice(ModuleRecord& m, float* position, int32_t ch, int32_t w,
                                                     int32_t v, float b, float a, float f, float p, float t) {
  if (!HasSound(m)) return a * PassedInput(m, ch, v) + b;

  // The position is pos + rest: one float alone loses a long sound's steps
  // (a 10-s sound at A3 plays half a semitone flat in its second half).
  float& pos = *position;
  float& kept = m.SamplePositionRest[ch][w];
  float rest = KeptRest(pos, kept);

  if (f == 0.0f) {
    // A zero frequency starts (or keeps) the voice.
    m.VoicePlaying[w] = -1;
    if (SwitchOn(m, kSwitchRewind)) pos = rest = 0.0f;
  } else if (SwitchOn(m, kSwitch2)) {
    f = f + f;
  }
  if (m.VoicePlaying[w] == 0) return 0.0f;

  // A position on the other side of 0 than the travel moves by one length.
  if (SgnF(f) + SgnF(pos) == 0.0f) pos = pos - SgnF(pos);
  const float old = pos;
  const float oldRest = rest;
  const float step = m.SampleStep * f + rest;
  pos = old + step;
  rest = step - (pos - old);  // what the sum rounded off
  if (!std::isfinite(pos)) pos = rest = 0.0f;

  const float period = std::fabs(t);
  if (period <= std::fabs(pos)) {
    const bool loop = SwitchOn(m, kSwitchLoop);
    m.VoicePlaying[w] = loop ? -1 : 0;
    if (!loop) {
      pos = SgnF(pos) * period;
      kept = 0.0f;
      return b;
    }
    pos = pos - SgnF(pos) * period;
    // A step longer than the period wraps as often as it must.
    if (period > 0.0f && !(std::fabs(pos) < period)) {
      pos = std::fmod(pos, period);
      rest = 0.0f;
    }
  }
  SplitPosition(pos, rest, kept);
  if (a == 0.0f || t == 0.0f) return b;

  if (m.SampleFrames > kFineReadFrames) [[unlikely]]
    return ReadLongSound(m, ch, old, oldRest, p) * a + b;
  float fraction;
  const int32_t i = ReadPoint(old + p, static_cast<float>(m.SampleFrames - 1), m.SampleFrames, fraction);
  return ReadFrames(m, ch, i, fraction) * a + b;
}

}  // namespace

float SampleInterpolate(ModuleRecord& m, float* position, int32_t ch, int32_t w, int32_t v, float b, float a,
                        float f, float p, float t) {
  return InterpolateVoice(m, position, ch, w, v, b, a, f, p, t);
}

float RecordSampleFrame(ModuleRecord& m, int32_t ch) {
  const float x = PassedInput(m, ch, 0);
  if (!Recording(m)) return x;
  const int32_t channels = SoundChannels(m);
  const int32_t last = RecordedChannels(m) - 1;
  WaveLibraryEntry* e = m.SampleEntry.LoadSettled();
  const int32_t frames = m.FramesRecorded;
  if (frames >= 0 && frames < m.SampleFrames && ch >= 0 && ch <= last) {
    float& window = m.VoiceState[ch][0];
    if (frames % 128 == 0) {
      // The window that just ended: its energy and where it started.
      if (e != nullptr && window > e->LoudestValue[ch]) {
        e->LoudestValue[ch] = window;
        e->LoudestPosition[ch] = static_cast<float>(static_cast<int64_t>(frames - 128) * channels);
      }
      window = 0.0f;
    }
    const float energy = x * x;
    window = window + energy;
    if (e != nullptr) e->MeanLevel[ch] = e->MeanLevel[ch] + energy;
    m.SampleData[static_cast<int64_t>(frames) * channels + ch] = x;
    if (ch == last) m.FramesRecorded = frames + 1;
  }
  if (m.FramesRecorded >= m.SampleFrames) m.RecordDone.Store(-1);
  if (m.RecordDone.Load() != 0) FinishSampleRecording(m);
  return x;
}

void FinishSampleRecording(ModuleRecord& m) {
  WaveLibraryEntry* e = m.SampleEntry.LoadSettled();
  const int32_t channels = SoundChannels(m);
  int32_t frames = m.FramesRecorded;
  if (frames < 0) frames = 0;
  const float rate = static_cast<float>(RateWhole);
  if (frames == 0) {
    // Stopped before a whole frame: nothing to analyse or play. The module
    // keeps its frequency and step and lets go of the sound, which is left
    // empty and idle and handed to the interface thread to discard.
    if (e != nullptr) {
      e->Sound.dataSize = 0;
      e->Sound.frameCount = 0;
      e->Duration.Store(0.0f);
      e->State.Store(kWaveIdle, std::memory_order_release);
    }
    m.SampleEntry.Store(nullptr);
    m.SampleData = nullptr;
    m.SampleFrames = 0;
    m.OutputChannels.Store(1);
    ModuleResetVoices(m);
    m.ModuleSwitches[kSwitchRecord].Store(0);
    m.RecordDone.Store(0, std::memory_order_release);
    SampleRecordingDiscarded(e);
    return;
  }
  if (frames < m.SampleFrames) {
    // Stopped early: the sound ends where the recording stopped.
    m.SampleFrames = frames;
    if (e != nullptr) {
      e->Sound.dataSize = static_cast<uint32_t>(frames) * static_cast<uint32_t>(channels) * 4u;
      e->Sound.frameCount = static_cast<uint32_t>(frames);
      e->Duration.Store(static_cast<float>(frames) / rate);
    }
  }
  if (e != nullptr) {
    const int32_t analysed = channels < 2 ? channels : 2;
    for (int32_t c = 0; c < analysed; ++c) {
      const float mean =
          frames > 0 ? QUARLE_AUDIO::AmplitudeToDb(e->MeanLevel[c] / static_cast<float>(frames)) : QUARLE_AUDIO::kSilenceDb;
      e->MeanLevel[c] = mean;
      e->LoudestValue[c] = frames > 127 ? QUARLE_AUDIO::AmplitudeToDb(e->LoudestValue[c] / 128.0f) : mean;
    }
    QUARLE_BASICS::Complex* spectrum =
        platform::OnInterfaceThread() ? InterfaceRecordingSpectrum : RecordingSpectrum;
    std::memset(static_cast<void*>(spectrum), 0, sizeof(RecordingSpectrum));
    const int32_t r = frames > 0 ? DetectSamplePitchInto(e, 0, spectrum) : -1;
    const int32_t length = m.SampleFrames;
    if (r == 0) {
      const double d = 4.0 * static_cast<double>(length) * static_cast<double>(e->Pitch[0]);
      if (d > 0.0) m.SampleStep = static_cast<float>(static_cast<double>(rate) / d);
    } else {
      e->Pitch[0] = length > 0 ? 4.0f / static_cast<float>(length) : 0.0f;
    }
    ModuleSetParamValue(m, kSampleFrequency, e->Pitch[0] * FrequencyNorm);
    RefreshParamControl(&m);
    e->State.Store(kWaveIdle, std::memory_order_release);
  }
  ModuleResetVoices(m);
  // The request is cleared after the switch, with release: a stop the page
  // asks on seeing it cleared finds the switch off and takes its ask back.
  m.ModuleSwitches[kSwitchRecord].Store(0);
  m.RecordDone.Store(0, std::memory_order_release);
  m.ModuleSwitches[kSwitchPower].Store(-1);  // a delete switches it off meanwhile
  m.ModuleSwitches[kSwitchPlay].Store(-1);
  if (SampleListChanged != nullptr) SampleListChanged();
}

namespace {

// The playing voices of one channel side by side: SampleInterpolate's steps
// for kLanes voices at once (every branch computed for every voice and the
// results selected, so each voice ends with what it gets alone), with only
// the reads of the sound taken by index. Lanes past the last voice start
// stopped, compute on whatever their port columns hold and are never
// published.
// one thread: value
struct SampleRows {
  alignas(32) float bias[kVoices];
  alignas(32) float amplitude[kVoices];
  alignas(32) float frequency[kVoices];
  alignas(32) float phase[kVoices];
  alignas(32) float period[kVoices];
  alignas(32) float position[kVoices];   // in and out, for voices whose ids leave their positions
  alignas(32) float rest[kVoices];       // the positions' rests, the same way
  alignas(32) float from[kVoices];       // a long sound's: the position read (before the step) and its rest
  alignas(32) float fromRest[kVoices];
  alignas(32) int32_t playing[kVoices];  // in: 1 where VoicePlaying is set; out: 0 keep, 1 set -1, 2 set 0
  alignas(32) int32_t wrap[kVoices];     // out: 1 where a step longer than the period must wrap again
  alignas(32) int32_t index[kVoices];    // the frame read, -1 where the sound is not read
  alignas(32) float fraction[kVoices];
  alignas(32) float first[kVoices];      // the frame read and the next one of the same channel
  alignas(32) float next[kVoices];
};

// one thread: value
struct SampleSwitches {
  bool doubled;  // SW2
  bool loop;     // LOOP
  bool rewind;   // ARWD
};

inline float Sign(float x) { return x > 0.0f ? 1.0f : (x < 0.0f ? -1.0f : 0.0f); }

// A step longer than the period wraps as often as it must, and keeps no rest.
inline void WrapAgain(float& pos, float& rest, float period) {
  pos = std::fmod(pos, std::fabs(period));
  rest = 0.0f;
}

// The lanes' conditions are kept as 0 or 1 in 32-bit integers: combined as
// bools, GCC 12 finds no vector type for some of them and leaves the loop
// scalar.
// The switches are template arguments, so that each module's choice drops
// the selects it never takes out of the voice loop.
// The positions and their rests are read and written in place (the module's
// rows, or the rows' own copies): a lane past the last voice keeps both. The
// values start in ys: the bias where the voice plays, else 0.
template <int32_t kLanes, bool kDoubled, bool kLoop, bool kRewind, bool kLong>
[[gnu::always_inline]] inline void PositionRows(SampleRows& r, float* __restrict positions,
                                                float* __restrict rests, float* __restrict ys, int32_t voices,
                                                float step, int32_t length) {
  const float last = static_cast<float>(length - 1);
  constexpr int32_t doubled = kDoubled ? 1 : 0;
  constexpr int32_t loop = kLoop ? 1 : 0;
  constexpr int32_t rewind = kRewind ? 1 : 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float f0 = r.frequency[v];
    const float pos = positions[v];
    const float rest = rests[v];
    const int32_t armed = f0 == 0.0f ? 1 : 0;
    const int32_t live = (v < voices ? 1 : 0) & (armed | r.playing[v]);
    const int32_t zero = armed & rewind;
    const float p0 = zero != 0 ? 0.0f : pos;
    const float e0 = zero != 0 ? 0.0f : KeptRest(pos, rest);
    const float f = ((armed ^ 1) & doubled) != 0 ? f0 + f0 : f0;
    const float sp0 = Sign(p0);
    const float p1 = Sign(f) + sp0 == 0.0f ? p0 - sp0 : p0;
    const float s = step * f + e0;
    const float p2s = p1 + s;
    const int32_t finite = std::fabs(p2s) <= std::numeric_limits<float>::max() ? 1 : 0;
    const float p2 = finite != 0 ? p2s : 0.0f;
    const float e2 = finite != 0 ? s - (p2s - p1) : 0.0f;
    const float period = std::fabs(r.period[v]);
    const int32_t hit = period <= std::fabs(p2) ? 1 : 0;
    const float sp2 = Sign(p2);
    const float wrapped = p2 - sp2 * period;
    const float stopped = sp2 * period;
    const float p3 = hit != 0 ? (loop != 0 ? wrapped : stopped) : p2;
    const int32_t again = (period > 0.0f ? 1 : 0) & (std::fabs(wrapped) < period ? 0 : 1);
    r.wrap[v] = live & hit & loop & again;
    // SplitPosition; a stop, and a wrap to be done again, keep no rest.
    const float e3 = (hit & ((loop ^ 1) | again)) != 0 ? 0.0f : e2;
    const float whole = p3 + e3;
    positions[v] = live != 0 ? whole : pos;
    rests[v] = live != 0 ? e3 - (whole - p3) : rest;
    const int32_t code = hit != 0 ? 2 - loop : armed;
    r.playing[v] = live != 0 ? code : 0;
    const int32_t quiet = (hit & (loop ^ 1)) | (r.amplitude[v] == 0.0f ? 1 : 0) | (r.period[v] == 0.0f ? 1 : 0);
    // The read point: the position before this frame's step plus the phase.
    if constexpr (kLong) {
      r.from[v] = p1;
      r.fromRest[v] = e0;
    }
    const int32_t i = ReadPoint(p1 + r.phase[v], last, length, r.fraction[v]);
    r.index[v] = (live & (quiet ^ 1)) != 0 ? i : -1;
    ys[v] = live != 0 ? r.bias[v] : 0.0f;
  }
}

template <int32_t kLanes>
[[gnu::always_inline]] inline void ValueRows(const SampleRows& r, float* __restrict ys, int32_t length) {
  for (int32_t v = 0; v < kLanes; ++v) {
    const float f = r.fraction[v];
    const float s0 = (1.0f - f) * r.first[v];
    const float s = r.index[v] < length - 1 ? s0 + f * r.next[v] : s0;
    const float y = s * r.amplitude[v] + r.bias[v];
    ys[v] = r.index[v] >= 0 ? y : ys[v];
  }
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TARVELO_SAMPLE_GATHERS 1
// Settled once before the program starts.
const bool gAvx2 = CpuHasAvx2();

// ValueRows with the sound's frames read by vector gathers (the compiler
// makes none by itself), for sounds whose every sample index fits 32 bits.
// Every lane reads at a safe index (0 where the sound is not read, the same
// frame where there is no next one); the lanes that read nothing keep y.
[[gnu::target("avx2")]] void GatherValueRows(const SampleRows& r, float* ys, const float* data, int32_t c,
                                             int32_t channels, int32_t length, int32_t lanes) {
  const __m256i none = _mm256_set1_epi32(-1);
  const __m256i last = _mm256_set1_epi32(length - 1);
  const __m256i first = _mm256_set1_epi32(c);
  const __m256i stride = _mm256_set1_epi32(channels);
  const __m256 one = _mm256_set1_ps(1.0f);
  for (int32_t v = 0; v < lanes; v += 8) {
    const __m256i i = _mm256_load_si256(reinterpret_cast<const __m256i*>(r.index + v));
    const __m256i read = _mm256_cmpgt_epi32(i, none);
    const __m256i more = _mm256_cmpgt_epi32(last, i);
    const __m256i k = _mm256_and_si256(read, _mm256_add_epi32(first, _mm256_mullo_epi32(stride, i)));
    const __m256i kn = _mm256_add_epi32(k, _mm256_and_si256(_mm256_and_si256(read, more), stride));
    const __m256 a = _mm256_i32gather_ps(data, k, 4);
    const __m256 b = _mm256_i32gather_ps(data, kn, 4);
    const __m256 f = _mm256_load_ps(r.fraction + v);
    const __m256 s0 = _mm256_mul_ps(_mm256_sub_ps(one, f), a);
    const __m256 s = _mm256_blendv_ps(s0, _mm256_add_ps(s0, _mm256_mul_ps(f, b)), _mm256_castsi256_ps(more));
    const __m256 y = _mm256_add_ps(_mm256_mul_ps(s, _mm256_load_ps(r.amplitude + v)), _mm256_load_ps(r.bias + v));
    _mm256_storeu_ps(ys + v, _mm256_blendv_ps(_mm256_loadu_ps(ys + v), y, _mm256_castsi256_ps(read)));
  }
}
#endif

// The read points of a long sound's lanes (those that read it), as
// ReadLongSound places them, side by side.
template <int32_t kLanes>
[[gnu::always_inline]] inline void FineReadRows(SampleRows& r, int32_t length) {
  const double last = static_cast<double>(length - 1);
  for (int32_t v = 0; v < kLanes; ++v) {
    float fraction;
    const int32_t i = ReadPoint(FineReadPoint(r.from[v], r.fromRest[v], r.phase[v]), last, length, fraction);
    const int32_t read = r.index[v] >= 0 ? 1 : 0;
    r.fraction[v] = read != 0 ? fraction : r.fraction[v];
    r.index[v] = read != 0 ? i : -1;
  }
}

template <bool kDoubled, bool kLoop, bool kRewind, bool kLong>
[[gnu::always_inline]] inline void PositionLanes(SampleRows& r, float* positions, float* rests, float* ys,
                                                 int32_t voices, int32_t lanes, float step, int32_t length) {
  switch (lanes) {
    case 8: PositionRows<8, kDoubled, kLoop, kRewind, kLong>(r, positions, rests, ys, voices, step, length); break;
    case 16: PositionRows<16, kDoubled, kLoop, kRewind, kLong>(r, positions, rests, ys, voices, step, length); break;
    default: PositionRows<kVoices, kDoubled, kLoop, kRewind, kLong>(r, positions, rests, ys, voices, step, length);
  }
  if constexpr (kLong) {
    switch (lanes) {
      case 8: FineReadRows<8>(r, length); break;
      case 16: FineReadRows<16>(r, length); break;
      default: FineReadRows<kVoices>(r, length); break;
    }
  }
}

typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int8 __attribute__((vector_size(32)));

// ReadRow over whole rows of 8 lanes, with no scalar tail: the lanes past
// the last voice read the source's unpublished columns (a module's outputs
// have a column more than the voices, so the pairs of the last 8 stay inside
// them) and are never published.
[[gnu::always_inline]] inline void ReadLanes(const PortCursor& c, int32_t lanes, float* row) {
  if (c.stride == 0) {
    const float x = c(0);
    for (int32_t v = 0; v < lanes; ++v) row[v] = x;
    return;
  }
  const Float8 gain = Float8{} + c.gain;
  for (int32_t v = 0; v < lanes; v += 8) {
    Float8 a, b;
    std::memcpy(&a, c.values + 2 * v, sizeof(a));
    std::memcpy(&b, c.values + 2 * v + 8, sizeof(b));
#if defined(__clang__)
    const Float8 y = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14) * gain;
#else
    const Float8 y = __builtin_shuffle(a, b, Int8{0, 2, 4, 6, 8, 10, 12, 14}) * gain;
#endif
    std::memcpy(row + v, &y, sizeof(y));
  }
}

inline int32_t SampleLanes(int32_t n) { return n <= 8 ? 8 : (n <= 16 ? 16 : kVoices); }

// One channel of rows: positions, then the sound's frames voice by voice,
// then the values.
TARVELO_KERNEL_BUILDS(void, SampleChannelRows, (SampleRows& r, float* positions, float* rests, float* ys,
                                                 const ModuleRecord& m, int32_t ch, int32_t voices,
                                                 const SampleSwitches& sw)) {
  const int32_t length = m.SampleFrames;
  const int32_t channels = SoundChannels(m);
  const int32_t c = ch < channels ? ch : channels - 1;
  const int32_t n = SampleLanes(voices);
  const int32_t choice =
      (length > kFineReadFrames ? 8 : 0) | (sw.doubled ? 4 : 0) | (sw.loop ? 2 : 0) | (sw.rewind ? 1 : 0);
  const float step = m.SampleStep;
  switch (choice) {
    case 0: PositionLanes<false, false, false, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 1: PositionLanes<false, false, true, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 2: PositionLanes<false, true, false, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 3: PositionLanes<false, true, true, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 4: PositionLanes<true, false, false, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 5: PositionLanes<true, false, true, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 6: PositionLanes<true, true, false, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 7: PositionLanes<true, true, true, false>(r, positions, rests, ys, voices, n, step, length); break;
    case 8: PositionLanes<false, false, false, true>(r, positions, rests, ys, voices, n, step, length); break;
    case 9: PositionLanes<false, false, true, true>(r, positions, rests, ys, voices, n, step, length); break;
    case 10: PositionLanes<false, true, false, true>(r, positions, rests, ys, voices, n, step, length); break;
    case 11: PositionLanes<false, true, true, true>(r, positions, rests, ys, voices, n, step, length); break;
    case 12: PositionLanes<true, false, false, true>(r, positions, rests, ys, voices, n, step, length); break;
    case 13: PositionLanes<true, false, true, true>(r, positions, rests, ys, voices, n, step, length); break;
    case 14: PositionLanes<true, true, false, true>(r, positions, rests, ys, voices, n, step, length); break;
    default: PositionLanes<true, true, true, true>(r, positions, rests, ys, voices, n, step, length); break;
  }
#ifdef TARVELO_SAMPLE_GATHERS
  if (gAvx2 && static_cast<int64_t>(length) * channels <= std::numeric_limits<int32_t>::max()) {
    GatherValueRows(r, ys, m.SampleData, c, channels, length, n);
    return;
  }
#endif
  for (int32_t v = 0; v < voices; ++v) {
    const int32_t i = r.index[v];
    const int64_t k = c + static_cast<int64_t>(channels) * i;
    r.first[v] = i >= 0 ? m.SampleData[k] : 0.0f;
    r.next[v] = i >= 0 && i < length - 1 ? m.SampleData[k + channels] : 0.0f;
  }
  switch (n) {
    case 8: ValueRows<8>(r, ys, length); break;
    case 16: ValueRows<16>(r, ys, length); break;
    default: ValueRows<kVoices>(r, ys, length); break;
  }
}

// Below a full row of 8 the rows' fixed cost is more than they save; asked
// before the call, which alone costs a few voices' work.
inline bool RowsPay(const ModuleRecord& m, int32_t voices) { return voices >= 8 && HasSound(m); }

// The voices of a playing Sample side by side, when that gives what one after
// the other gives: 8 voices or more and a sound to play (RowsPay), every
// voice its own state (distinct ids) and no port reading the module's own
// outputs while they are written. Fills y[ch][v] (unclipped) for every
// channel. False leaves everything untouched.
TARVELO_KERNEL_BUILDS(bool, SampleSideBySide, (ModuleRecord& m, const ModuleRecord* owner, int32_t channels,
                                               int32_t voices, float (&y)[2][kVoices])) {
  for (int32_t p = kSampleBias; p <= kSamplePeriod; ++p)
    if (m.PortSources[p].LoadSettled() == &m) return false;
  int32_t ids[kVoices];
  const bool inPlace = VoicesInPlace(owner, voices);
  if (!inPlace && !DistinctVoiceIds(owner, voices, ids)) return false;
  if (inPlace)
    for (int32_t v = 0; v < voices; ++v) ids[v] = v;
  const SampleSwitches sw{SwitchOn(m, kSwitch2), SwitchOn(m, kSwitchLoop), SwitchOn(m, kSwitchRewind)};
  SampleRows r;
  const int32_t n = SampleLanes(voices);
  for (int32_t v = voices; v < n; ++v) {
    r.bias[v] = r.amplitude[v] = r.frequency[v] = r.phase[v] = r.period[v] = r.position[v] = r.rest[v] = 0.0f;
    r.first[v] = r.next[v] = 0.0f;
    r.playing[v] = 0;
  }
  for (int32_t ch = 0; ch < channels; ++ch) {
    ReadLanes(OpenPlain(m, kSampleBias, ch), n, r.bias);
    ReadLanes(OpenScaled(m, kSampleAmplitude, ch), n, r.amplitude);
    ReadLanes(OpenPlain(m, kSampleFrequency, ch), n, r.frequency);
    ReadLanes(OpenPlain(m, kSamplePhase, ch), n, r.phase);
    ReadLanes(OpenPlain(m, kSamplePeriod, ch), n, r.period);
    float* positions = m.VoiceState[ch];
    float* rests = m.SamplePositionRest[ch];
    if (inPlace) {
      // Voices at their ids: their positions move in the module's rows, and
      // the rare wraps of a step longer than the period are redone after.
      for (int32_t v = 0; v < voices; ++v) r.playing[v] = m.VoicePlaying[v] != 0 ? 1 : 0;
      SampleChannelRows(r, positions, rests, y[ch], m, ch, voices, sw);
      int32_t wraps = 0;
      int32_t codes = 0;
      for (int32_t v = 0; v < voices; ++v) {
        wraps |= r.wrap[v];
        codes |= r.playing[v];
      }
      // Held voices mostly keep their playing flags.
      if (codes != 0)
        for (int32_t v = 0; v < voices; ++v) {
          const int32_t code = r.playing[v];
          const int64_t playing = m.VoicePlaying[v];
          m.VoicePlaying[v] = code == 0 ? playing : (code == 1 ? int64_t{-1} : int64_t{0});
        }
      if (wraps != 0)
        for (int32_t v = 0; v < voices; ++v)
          if (r.wrap[v] != 0) WrapAgain(positions[v], rests[v], r.period[v]);
      continue;
    }
    for (int32_t v = 0; v < voices; ++v) {
      r.position[v] = positions[ids[v]];
      r.rest[v] = rests[ids[v]];
      r.playing[v] = m.VoicePlaying[ids[v]] != 0 ? 1 : 0;
    }
    SampleChannelRows(r, r.position, r.rest, y[ch], m, ch, voices, sw);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = ids[v];
      positions[w] = r.position[v];
      rests[w] = r.rest[v];
      if (r.wrap[v] != 0) WrapAgain(positions[w], rests[w], r.period[v]);
      if (r.playing[v] != 0) m.VoicePlaying[w] = r.playing[v] == 1 ? -1 : 0;
    }
  }
  return true;
}

// A channel's values clipped into its outputs; non-zero when one clipped.
TARVELO_KERNEL_BUILDS(int32_t, ClipRowOut, (const float* row, OutputElement* out, int32_t voices)) {
  int32_t clipped = 0;
  for (int32_t v = 0; v < voices; ++v) {
    const float y = row[v];
    // The clip rule.
    const int32_t clip = 1.0f >= std::fabs(y) ? 0 : 1;
    clipped |= clip;
    const float z = clip != 0 ? Sign(y) : y;
    out[v] = OutputElement{z, z};
  }
  return clipped;
}

}  // namespace

void ProcessSamplePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  if (Recording(*m)) {
    const int32_t channels = RecordedChannels(*m);
    for (int32_t ch = 0; ch < channels; ++ch) {
      const float x = RecordSampleFrame(*m, ch);
      const PortCursor bias = OpenPlain(*m, kSampleBias, ch);
      const PortCursor amplitude = OpenScaled(*m, kSampleAmplitude, ch);
      for (int32_t v = 0; v < voices; ++v) {
        const float y = ClipValue(x * amplitude(v) + bias(v), m->ClipFlag);
        m->Outputs[ch][v] = OutputElement{y, y};
      }
    }
    m->ActiveVoices.Store(voices);
    return;
  }
  const ModuleRecord* owner = m->TriggerOwner.LoadSettled();
  const int32_t channels = KernelChannels(*m);
  float rows[2][kVoices];
  if (RowsPay(*m, voices) && SampleSideBySide(*m, owner, channels, voices, rows)) {
    for (int32_t ch = 0; ch < channels; ++ch)
      if (ClipRowOut(rows[ch], m->Outputs[ch], voices) != 0) m->ClipFlag.Store(-1);
    m->ActiveVoices.Store(voices);
    return;
  }
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor bias = OpenPlain(*m, kSampleBias, ch);
    const PortCursor amplitude = OpenScaled(*m, kSampleAmplitude, ch);
    const PortCursor frequency = OpenPlain(*m, kSampleFrequency, ch);
    const PortCursor phase = OpenPlain(*m, kSamplePhase, ch);
    const PortCursor period = OpenPlain(*m, kSamplePeriod, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      float y = InterpolateVoice(*m, &m->VoiceState[ch][w], ch, w, v, bias(v), amplitude(v), frequency(v),
                                  phase(v), period(v));
      y = ClipValue(y, m->ClipFlag);
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices.Store(voices);
}

void ProcessSampleMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  const bool recording = Recording(*m);
  const int32_t lead = LeadPort(*m);
  const ModuleRecord* owner = PortTriggerOwner(*m, lead);
  // Voices are averaged, unless an envelope drives the amplitude or the
  // voices come from a chain that publishes per voice: then they are weighted.
  const bool weighted = m->PortSources[kSampleAmplitude].LoadSettled()->ModuleSwitches[kSwitchEnvelope].Load() != 0 ||
                        m->PortSources[lead].LoadSettled()->PerVoiceOutput != 0;
  const int32_t channels = recording ? RecordedChannels(*m) : KernelChannels(*m);
  float rows[2][kVoices];
  if (!recording && RowsPay(*m, voices) && SampleSideBySide(*m, owner, channels, voices, rows)) {
    for (int32_t ch = 0; ch < channels; ++ch) {
      const PortCursor amplitude = OpenScaled(*m, kSampleAmplitude, ch);
      float sum = 0.0f;
      float d = 1.0f;
      for (int32_t v = 0; v < voices; ++v) {
        sum = sum + rows[ch][v];
        d = d + std::fabs(amplitude(v));
      }
      if (!weighted) d = static_cast<float>(voices);
      const float y = voices > 0 ? ClipValue(sum / d, m->ClipFlag) : 0.0f;
      m->Outputs[ch][0] = OutputElement{y, y};
    }
    return;
  }
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float x = recording ? RecordSampleFrame(*m, ch) : 0.0f;
    const PortCursor bias = OpenPlain(*m, kSampleBias, ch);
    const PortCursor amplitude = OpenScaled(*m, kSampleAmplitude, ch);
    const PortCursor frequency = OpenPlain(*m, kSampleFrequency, ch);
    const PortCursor phase = OpenPlain(*m, kSamplePhase, ch);
    const PortCursor period = OpenPlain(*m, kSamplePeriod, ch);
    float sum = 0.0f;
    float d = 1.0f;
    for (int32_t v = 0; v < voices; ++v) {
      const float a = amplitude(v);
      if (recording) {
        sum = sum + (x * a + bias(v));
      } else {
        const int32_t w = VoiceIdAt(owner, v);
        sum = sum + InterpolateVoice(*m, &m->VoiceState[ch][w], ch, w, v, bias(v), a, frequency(v), phase(v),
                                      period(v));
      }
      d = d + std::fabs(a);
    }
    if (!weighted) d = static_cast<float>(voices);
    const float y = voices > 0 ? ClipValue(sum / d, m->ClipFlag) : 0.0f;
    m->Outputs[ch][0] = OutputElement{y, y};
  }
}

}  // namespace Tarvelo

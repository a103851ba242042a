#include "engine/dsp/convolution.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

int32_t VocoderWindow(float windowSize) {
  const double s = static_cast<double>(windowSize) + 1e-6;
  if (!(s >= 1.0)) return 1;
  if (s >= 127.0) return 127;
  return static_cast<int32_t>(std::floor(s));
}

namespace {

// Per-voice fields: the tail stage and the latched port-1 values live in the
// voice record, the frames drained in VoiceState, the ring position in
// AuxVoiceState, and the source position a fed voice reads its input from in
// the voice record's index.
inline int32_t& StageOf(ModuleRecord& m, int32_t w) { return m.SequencerVoices[w].State; }
inline float* LatchedOf(ModuleRecord& m, int32_t w) { return m.SequencerVoices[w].A; }
inline int32_t& FeedPositionOf(ModuleRecord& m, int32_t w) { return m.SequencerVoices[w].Index; }

// The ring position of (ch, w), within 0..limit-1 (a position restored from
// anywhere else starts the ring over).
inline int32_t RingPosition(const ModuleRecord& m, int32_t ch, int32_t w, int32_t limit) {
  const float p = m.AuxVoiceState[ch][w];
  return (p >= 0.0f && p < static_cast<float>(limit)) ? static_cast<int32_t>(p) : 0;
}
inline void SetRingPosition(ModuleRecord& m, int32_t ch, int32_t w, int32_t p) {
  m.AuxVoiceState[ch][w] = static_cast<float>(p);
}

inline void MarkBoth(ModuleRecord& owner, ModuleRecord& m, int32_t parity, int32_t w) {
  MarkVoice(owner, parity, w);
  MarkVoice(m, parity, w);
}

inline bool Sounding(int32_t stage) { return stage >= kTailFed && stage <= kTailDraining; }

// The filter: per call, its taps and the attenuation of each channel.
// one thread: value
struct FilterKernel {
  const float* taps = nullptr;
  int32_t count = 0;   // N
  int32_t stride = 1;  // channels of the attached sound: taps come from the first
  float gain[2] = {1.0f, 1.0f};  // 1 - attenuation

  explicit FilterKernel(const ModuleRecord& m) {
    if (m.SampleData == nullptr || m.SampleFrames <= 0) return;
    taps = m.SampleData;
    // The ring holds 128 frames: a longer sound gives its first 128 taps.
    count = m.SampleFrames < kConvRingFrames ? m.SampleFrames : kConvRingFrames;
    stride = m.SampleChannels > 1 ? m.SampleChannels : 1;
    for (int32_t ch = 0; ch < 2; ++ch) gain[ch] = 1.0f - SettingRead(m, kConvAttenuation, ch);
  }
  bool Computes(const ModuleRecord&) const { return count > 0; }
  static constexpr int32_t kFloatsNeeded = 2 * kConvRingFrames;
  float TailLength() const { return static_cast<float>(kConvRingFrames); }
  static float Latch(const ModuleRecord& m, int32_t ch, int32_t v) {
    return std::fabs(PlainRead(m, kConvResonance, ch, v));
  }

  void Step(ModuleRecord& m, int32_t ch, int32_t w, int32_t v, float x) const {
    float* ring = m.WorkBuffers[w];
    const int32_t p = RingPosition(m, ch, w, kConvRingFrames);
    // Tap t multiplies the frame t places before p; tap 0 meets frame p
    // itself, which still holds the value written 128 frames ago.
    int32_t i = p - count + 1;
    if (i < 0) i += kConvRingFrames;
    float acc = 0.0f;
    for (int32_t t = count - 1; t >= 0; --t) {
      acc = acc + ring[2 * i + ch] * taps[static_cast<int64_t>(t) * stride];
      if (++i == kConvRingFrames) i = 0;
    }
    const float y = ClipValue(gain[ch] * acc, m.ClipFlag);
    ring[2 * p + ch] = x - y * LatchedOf(m, w)[ch];
    m.Outputs[ch][v] = OutputElement{y, y};
    SetRingPosition(m, ch, w, p + 1 == kConvRingFrames ? 0 : p + 1);
  }
};

// The vocoder: per call, its window and the Voice port's set value on each
// channel.
// one thread: value
struct VocoderKernel {
  int32_t window;     // L
  float inverse;      // 1 / L, rounded to single
  float voiceGain[2];
  static constexpr int32_t kVoiceRing = 512;  // float index of the voice ring
  static constexpr int32_t kFloatsNeeded = kVoiceRing + 4 * 127;

  explicit VocoderKernel(const ModuleRecord& m) {
    window = VocoderWindow(m.Params[kConvWindow].Value.LoadSettled());
    inverse = static_cast<float>(1.0 / static_cast<double>(window));
    for (int32_t ch = 0; ch < 2; ++ch) voiceGain[ch] = SettingRead(m, kConvVoice, ch);
  }
  static bool Computes(const ModuleRecord& m) { return m.PortSources[kConvVoice].LoadSettled()->Role == kRoleLive; }
  float TailLength() const { return static_cast<float>(window); }
  static float Latch(const ModuleRecord& m, int32_t ch, int32_t v) { return PlainRead(m, kConvVoice, ch, v); }

  void Step(ModuleRecord& m, int32_t ch, int32_t w, int32_t v, float x) const {
    float* in = m.WorkBuffers[w];
    float* voice = in + kVoiceRing;
    const int32_t span = 2 * window;
    const float k = LatchedOf(m, w)[ch] * voiceGain[ch];
    // A window made shorter pulls a position beyond the new ring to its end.
    int32_t p = RingPosition(m, ch, w, kVoiceRing / 2);
    if (p > span - 1) p = span - 1;
    int32_t q = p + window;
    if (q >= span) q -= span;
    in[2 * q + ch] = x;
    voice[2 * q + ch] = k;
    float acc = 0.0f;
    int32_t j = p;
    for (int32_t n = 0; n < window; ++n) {
      acc = acc + in[2 * j + ch] * voice[2 * j + ch];
      if (++j == span) j = 0;
    }
    const float y = ClipValue(acc * inverse, m.ClipFlag);
    m.Outputs[ch][v] = OutputElement{y, y};
    SetRingPosition(m, ch, w, p + 1 == span ? 0 : p + 1);
  }
};

// The input passed through unchanged while there is nothing to convolve: the
// module's voices are then exactly those of its source.
template <bool kMarks>
void PassThroughMono(ModuleRecord& m, ModuleRecord& owner, int32_t parity) {
  if (KernelVoices(m) == 0) {
    // Nothing is stored that could ring on.
    StageOf(m, 0) = kTailIdle;
    m.ActiveVoices.Store(0);
    return;
  }
  m.ActiveVoices.Store(1);
  const int32_t channels = KernelChannels(m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float x = ScaledRead(m, kConvInput, ch, 0);
    m.Outputs[ch][0] = OutputElement{x, x};
  }
  if (kMarks) MarkBoth(owner, m, parity, 0);
}

void PassThroughPoly(ModuleRecord& m, const ModuleRecord& owner) {
  const int32_t voices = KernelVoices(m);
  for (int32_t w = 0; w < kVoices; ++w)
    if (StageOf(m, w) != kTailFed) StageOf(m, w) = kTailIdle;
  for (int32_t k = 0; k < voices; ++k) m.VoiceIds[k] = VoiceIdAt(&owner, k);
  m.ActiveVoices.Store(voices);
  const int32_t channels = KernelChannels(m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenScaled(m, kConvInput, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float x = input(v);
      m.Outputs[ch][v] = OutputElement{x, x};
    }
  }
}

// A sounding voice's input for this frame: silence while it drains (counting
// the frames drained, and finishing past the tail), else the source's value.
inline float TailInput(ModuleRecord& m, int32_t ch, int32_t w, int32_t position, float tail) {
  int32_t& stage = StageOf(m, w);
  if (stage == kTailDraining) {
    float& drained = m.VoiceState[ch][w];
    drained = drained + 1.0f;
    if (!(drained <= tail)) stage = kTailFinished;
    return 0.0f;
  }
  return ScaledRead(m, kConvInput, ch, position);
}

template <class Kernel, bool kPassMarks>
void RunMono(ModuleRecord* m, int32_t parity, int32_t previousParity) {
  ModuleRecord& owner = *m->PortSources[kConvInput].LoadSettled()->TriggerOwner.LoadSettled();
  m->VoiceIds[0] = 0;
  int32_t& stage = StageOf(*m, 0);
  if (Sounding(stage) || VoiceMarked(owner, previousParity, 0)) {
    if (stage == kTailFed) stage = kTailDraining;
    m->ActiveVoices.Store(1);
  } else {
    stage = kTailIdle;
    m->ActiveVoices.Store(0);
  }
  if (KernelVoices(*m) > 0) {
    m->ActiveVoices.Store(1);
    stage = kTailFed;
    for (int32_t ch = 0; ch < 2; ++ch) {
      m->VoiceState[ch][0] = 0.0f;
      LatchedOf(*m, 0)[ch] = Kernel::Latch(*m, ch, 0);
    }
  }
  if (m->ActiveVoices.LoadSettled() <= 0) return;
  const Kernel kernel(*m);
  if (!kernel.Computes(*m) || m->WorkBuffers[0] == nullptr || m->WorkBufferSize < Kernel::kFloatsNeeded) {
    PassThroughMono<kPassMarks>(*m, owner, parity);
    return;
  }
  const float tail = kernel.TailLength();
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    if (!Sounding(stage)) continue;
    MarkBoth(owner, *m, parity, 0);
    const float x = TailInput(*m, ch, 0, 0, tail);
    kernel.Step(*m, ch, 0, 0, x);
  }
}

template <class Kernel>
void RunPoly(ModuleRecord* m, int32_t parity, int32_t previousParity) {
  ModuleRecord& owner = *m->PortSources[kConvInput].LoadSettled()->TriggerOwner.LoadSettled();
  // Keep: the voices of the previous frame that still sound or are marked.
  int32_t before = m->ActiveVoices.LoadSettled();
  if (before < 0) before = 0;
  if (before > kVoices) before = kVoices;
  int32_t n = 0;
  for (int32_t k = 0; k < before; ++k) {
    const int32_t w = VoiceIdAt(m, k);
    int32_t& stage = StageOf(*m, w);
    if (Sounding(stage) || VoiceMarked(owner, previousParity, w)) {
      if (stage == kTailFed) stage = kTailDraining;
      m->VoiceIds[n++] = w;
    } else {
      stage = kTailIdle;
    }
  }
  // Feed: the source's voices, appended when new; each remembers the source
  // position it reads.
  const int32_t voices = KernelVoices(*m);
  for (int32_t k = 0; k < voices; ++k) {
    const int32_t w = VoiceIdAt(&owner, k);
    int32_t& stage = StageOf(*m, w);
    if (stage == kTailIdle && n < kVoices) m->VoiceIds[n++] = w;
    stage = kTailFed;
    FeedPositionOf(*m, w) = k;
    for (int32_t ch = 0; ch < 2; ++ch) {
      m->VoiceState[ch][w] = 0.0f;
      LatchedOf(*m, w)[ch] = Kernel::Latch(*m, ch, k);
    }
  }
  m->ActiveVoices.Store(n);
  if (n == 0) return;
  const Kernel kernel(*m);
  if (!kernel.Computes(*m) || m->WorkBufferSize < Kernel::kFloatsNeeded) {
    PassThroughPoly(*m, owner);
    return;
  }
  const float tail = kernel.TailLength();
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    for (int32_t j = 0; j < n; ++j) {
      const int32_t w = m->VoiceIds[j];
      if (!Sounding(StageOf(*m, w)) || m->WorkBuffers[w] == nullptr) {
        // A finished tail is silence until the voice drops out of the list.
        m->Outputs[ch][j] = OutputElement{0.0f, 0.0f};
        continue;
      }
      MarkBoth(owner, *m, parity, w);
      const int32_t position = FeedPositionOf(*m, w);
      const float x = TailInput(*m, ch, w, static_cast<uint32_t>(position) < kVoices ? position : 0, tail);
      kernel.Step(*m, ch, w, j, x);
    }
  }
}

}  // namespace

void ProcessConvolutiveFilterMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  RunMono<FilterKernel, true>(m, parity, previousParity);
}

void ProcessConvolutiveFilterPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  RunPoly<FilterKernel>(m, parity, previousParity);
}

void ProcessConvolutiveVocoderMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  RunMono<VocoderKernel, false>(m, parity, previousParity);
}

void ProcessConvolutiveVocoderPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  RunPoly<VocoderKernel>(m, parity, previousParity);
}

}  // namespace Tarvelo

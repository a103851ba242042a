#include "engine/dsp/delay.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/tails.h"

namespace Tarvelo {

namespace {

// The interleaved history of a voice: frame f of channel ch at float 2f + ch,
// over the whole work buffer.
// one thread: value
struct Ring {
  int32_t size;       // floats used (even)
  int32_t maxFrames;  // the longest delay it holds
};

inline Ring RingOf(const ModuleRecord& m) {
  Ring r{m.WorkBufferSize & ~1, 0};
  if (r.size < 2) r.size = 0;
  // A period linked to a live signal beyond 1.0 would ask for more than the
  // buffer holds: the delay is clamped to it.
  r.maxFrames = r.size / 2 - 1;
  if (r.maxFrames > RateWhole) r.maxFrames = RateWhole;
  if (r.maxFrames < 0) r.maxFrames = 0;
  return r;
}

// What a fed voice takes from the ports, per channel: its delay length and,
// for the Echo, its feedback factor; frozen while the voice drains. A
// one-channel module would read the same values on both channels, so it
// latches channel 0 and copies it.
// A port that every voice reads at the same element (unlinked, or linked to a
// single-voice source) gives every fed voice the same values: they are worked
// out once per frame.
// As the Mobile average's latch, it leaves no field unset: a one-channel
// module's second half repeats the first, and a Delay's decay is shared and 0.
// Each half is written once, from the values worked out for it: copying the
// first half back out of the latch would make every frame wait for the stores
// it has just made.
// one thread: value
struct DelayLatch {
  int32_t maxFrames;
  bool echo;
  bool stereo;
  PortCursor period[2];
  PortCursor decay[2];
  bool sharedPeriod[2];
  bool sharedDecay[2];
  float frames[2];
  float factor[2];
  bool uniform;  // every value shared: each voice latches the same
  DelayLatch(const ModuleRecord& m, int32_t limit, bool isEcho)
      : maxFrames(limit), echo(isEcho), stereo(KernelChannels(m) == 2), uniform(true) {
    for (int32_t ch = 0; ch < (stereo ? 2 : 1); ++ch) {
      const PortCursor p = OpenPlain(m, kDelayPeriod, ch);
      const bool sp = p.stride == 0;
      const float f = sp ? PeriodFrames(p(0), maxFrames) : 0.0f;
      PortCursor d{};
      bool sd = true;
      float g = 0.0f;
      if (echo) {
        d = OpenPlain(m, kEchoDecay, ch);
        sd = d.stride == 0;
        g = sd ? Factor(d(0)) : 0.0f;
      }
      uniform = uniform && sp && sd;
      period[ch] = p;
      sharedPeriod[ch] = sp;
      frames[ch] = f;
      decay[ch] = d;
      sharedDecay[ch] = sd;
      factor[ch] = g;
      if (!stereo) {
        period[1] = p;
        sharedPeriod[1] = sp;
        frames[1] = f;
        decay[1] = d;
        sharedDecay[1] = sd;
        factor[1] = g;
      }
    }
  }
  static float Factor(float decay) {
    const float g = 1.0f - std::fabs(decay);
    // A decay that is not a number stops the repetitions instead of
    // silencing the echo for good.
    return std::isfinite(g) ? g : 0.0f;
  }
  void operator()(SequencerVoice& r, int32_t k) const {
    if (uniform) {
      r.A[0] = frames[0];
      r.A[1] = frames[1];
      if (echo) {
        r.B[0] = factor[0];
        r.B[1] = factor[1];
      } else if (!stereo) {
        r.B[1] = r.B[0];
      }
      return;
    }
    for (int32_t ch = 0; ch < (stereo ? 2 : 1); ++ch) {
      r.A[ch] = sharedPeriod[ch] ? frames[ch] : PeriodFrames(period[ch](k), maxFrames);
      if (echo) r.B[ch] = sharedDecay[ch] ? factor[ch] : Factor(decay[ch](k));
    }
    if (!stereo) {
      r.A[1] = r.A[0];
      r.B[1] = r.B[0];
    }
  }
};

// When every voice was fed this frame with one shared period, their length.
inline int32_t FedLength(const DelayLatch& latch, int32_t ch, const Ring& ring) {
  const int32_t c = latch.stereo ? ch : 0;
  return latch.sharedPeriod[c] ? WholeFrames(latch.frames[c], 0, ring.maxFrames) : -1;
}

// The position of the current frame in a voice's ring, advanced after use.
inline float* Frame(ModuleRecord& m, const Ring& ring, int32_t ch, int32_t w, int32_t& i) {
  float* b = m.WorkBuffers[w];
  const int32_t pos = BufferPosition(m, ch, w, ring.size);
  i = pos + ch;
  const int32_t next = pos + 2;
  SetBufferPosition(m, ch, w, next >= ring.size ? 0 : next);
  return b;
}

inline int32_t Behind(const Ring& ring, int32_t i, int32_t frames) {
  int32_t j = i - 2 * frames;
  if (j < 0) j += ring.size;
  return j;
}

// one thread: value
struct DelayStep {
  Ring ring;
  int32_t fed = -1;  // the length every voice was fed with this frame, or -1
  void Channel(ModuleRecord&, int32_t) {}
  void Fed(const DelayLatch& latch, int32_t ch) { fed = FedLength(latch, ch, ring); }
  int32_t Length(const SequencerVoice& r, int32_t ch) const {
    return fed >= 0 ? fed : WholeFrames(r.A[ch], 0, ring.maxFrames);
  }
  float TailFrames(const SequencerVoice& r, int32_t ch) const { return static_cast<float>(Length(r, ch)); }
  float operator()(ModuleRecord& m, SequencerVoice& r, int32_t ch, int32_t w, float x) const {
    int32_t i;
    float* b = Frame(m, ring, ch, w, i);
    if (b == nullptr || ring.size == 0) return 0.0f;
    b[i] = x;
    // The input of E frames ago; for E = 0 the sample just written.
    const int32_t j = Behind(ring, i, Length(r, ch));
    PrefetchHistory(b, j, ring.size);
    return b[j];
  }
};

// one thread: value
struct EchoStep {
  Ring ring;
  int32_t fed = -1;  // the length every voice was fed with this frame, or -1
  void Channel(ModuleRecord&, int32_t) {}
  void Fed(const DelayLatch& latch, int32_t ch) { fed = FedLength(latch, ch, ring); }
  int32_t Length(const SequencerVoice& r, int32_t ch) const {
    return fed >= 0 ? fed : WholeFrames(r.A[ch], 0, ring.maxFrames);
  }
  float TailFrames(const SequencerVoice& r, int32_t ch) const {
    return static_cast<float>(kEchoTailPeriods * Length(r, ch));
  }
  float operator()(ModuleRecord& m, SequencerVoice& r, int32_t ch, int32_t w, float x) const {
    int32_t i;
    float* b = Frame(m, ring, ch, w, i);
    if (b == nullptr || ring.size == 0) return 0.0f;
    // Read before the write: with E = 0 this is the output of one whole
    // buffer earlier.
    const int32_t j = Behind(ring, i, Length(r, ch));
    PrefetchHistory(b, j, ring.size);
    const float s = r.B[ch] * b[j] + x;
    float y = static_cast<float>(static_cast<double>(s) * 0.7071067811865476);
    y = ClipValue(y, m.ClipFlag);
    // The buffer holds the output, so each repetition is scaled again.
    b[i] = y;
    return y;
  }
};

}  // namespace

void ProcessDelayMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  const Ring ring = RingOf(*m);
  DelayLatch latch(*m, ring.maxFrames, false);
  DelayStep step{ring};
  TailFrameMono(m, parity, previousParity, latch, step);
}

void ProcessDelayPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  const Ring ring = RingOf(*m);
  DelayLatch latch(*m, ring.maxFrames, false);
  DelayStep step{ring};
  TailFramePoly(m, parity, previousParity, latch, step);
}

void ProcessEchoMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  const Ring ring = RingOf(*m);
  DelayLatch latch(*m, ring.maxFrames, true);
  EchoStep step{ring};
  TailFrameMono(m, parity, previousParity, latch, step);
}

void ProcessEchoPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  const Ring ring = RingOf(*m);
  DelayLatch latch(*m, ring.maxFrames, true);
  EchoStep step{ring};
  TailFramePoly(m, parity, previousParity, latch, step);
}

}  // namespace Tarvelo

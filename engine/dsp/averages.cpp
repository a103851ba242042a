#include "engine/dsp/averages.h"

#include <cmath>
#include <limits>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"
#include "engine/dsp/tails.h"

namespace Tarvelo {

namespace {

// --- Mobile average.

// one thread: value
struct AverageRing {
  int32_t size;       // floats of history (even); the sums follow
  int32_t maxFrames;  // the longest window it holds
};

inline AverageRing AverageRingOf(const ModuleRecord& m) {
  AverageRing r{(m.WorkBufferSize - 2) & ~1, 0};
  if (r.size < 4) r.size = 0;
  r.maxFrames = r.size / 2 - 1;
  if (r.maxFrames > RateWhole) r.maxFrames = RateWhole;
  if (r.maxFrames < 1) r.maxFrames = 1;
  return r;
}

// The window a fed voice asks for, per channel (a one-channel module reads
// the same on both).
// A period that every voice reads at the same element gives every fed voice
// the same window: it is worked out once per frame.
// A one-channel module's latch holds channel 0 in both halves: the optimizer
// may test the second half's fields before it tests `stereo`, so none of them
// is left unset. Each half is written once, from the values worked out for
// it, not copied back out of the latch (a wait on the stores just made).
// one thread: value
struct AverageLatch {
  int32_t maxFrames;
  bool stereo;
  PortCursor period[2];
  bool shared[2];
  float frames[2];
  bool uniform = true;  // every window shared: each voice latches the same
  AverageLatch(const ModuleRecord& m, int32_t limit) : maxFrames(limit), stereo(KernelChannels(m) == 2) {
    for (int32_t ch = 0; ch < (stereo ? 2 : 1); ++ch) {
      const PortCursor p = OpenPlain(m, kAveragePeriod, ch);
      const bool s = p.stride == 0;
      const float f = s ? PeriodFrames(p(0), maxFrames) : 0.0f;
      uniform = uniform && s;
      period[ch] = p;
      shared[ch] = s;
      frames[ch] = f;
      if (!stereo) {
        period[1] = p;
        shared[1] = s;
        frames[1] = f;
      }
    }
  }
  float Frames(int32_t ch, int32_t k) const { return shared[ch] ? frames[ch] : PeriodFrames(period[ch](k), maxFrames); }
  void operator()(SequencerVoice& r, int32_t k) const {
    if (uniform) {
      r.A[0] = frames[0];
      r.A[1] = frames[1];
      return;
    }
    r.A[0] = Frames(0, k);
    r.A[1] = stereo ? Frames(1, k) : r.A[0];
  }
};

inline float AverageSample(float x) {
  if (!(std::fabs(x) <= kAverageInputLimit)) {
    if (std::isnan(x)) return 0.0f;
    return x > 0.0f ? kAverageInputLimit : -kAverageInputLimit;
  }
  return x;
}

// one thread: value
struct AverageStep {
  AverageRing ring;
  int32_t fed = -1;  // the window every voice was fed with this frame, or -1
  void Channel(ModuleRecord&, int32_t) {}
  void Fed(const AverageLatch& latch, int32_t ch) {
    const int32_t c = latch.stereo ? ch : 0;
    fed = latch.shared[c] ? WholeFrames(latch.frames[c], 1, ring.maxFrames) : -1;
  }
  int32_t Window(const SequencerVoice& r, int32_t ch) const {
    return fed >= 0 ? fed : WholeFrames(r.A[ch], 1, ring.maxFrames);
  }
  float TailFrames(const SequencerVoice& r, int32_t ch) const { return static_cast<float>(Window(r, ch)); }
  int32_t Behind(int32_t i, int32_t frames) const {
    int32_t j = i - 2 * frames;
    if (j < 0) j += ring.size;
    return j;
  }
  float operator()(ModuleRecord& m, SequencerVoice& r, int32_t ch, int32_t w, float x) const {
    float* b = m.WorkBuffers[w];
    if (b == nullptr || ring.size == 0) return 0.0f;
    const int32_t e = Window(r, ch);
    const int32_t pos = BufferPosition(m, ch, w, ring.size);
    const int32_t i = pos + ch;
    float& sum = b[ring.size + ch];
    // The sum covers the `covered` frames before this one. Moving it to a
    // changed window adds or removes the frames at its old end, so that it
    // stays the sum of what the history holds.
    int32_t covered = WholeFrames(r.B[ch], 0, ring.maxFrames);
    if (covered == 0) sum = 0.0f;
    // At most kAverageWindowSlew frames a call, walked along the history in
    // runs between its wraps (the frame `covered` back lies at i - 2 x covered).
    if (covered < e) {
      int32_t steps = e - covered < kAverageWindowSlew ? e - covered : kAverageWindowSlew;
      int32_t j = Behind(i, covered + 1);
      covered += steps;
      while (steps > 0) {
        const int32_t run = steps < j / 2 + 1 ? steps : j / 2 + 1;
        for (int32_t s = 0; s < run; ++s, j -= 2) sum = sum + b[j];
        steps -= run;
        if (j < 0) j += ring.size;
      }
    } else if (covered > e) {
      int32_t steps = covered - e < kAverageWindowSlew ? covered - e : kAverageWindowSlew;
      int32_t j = Behind(i, covered);
      covered -= steps;
      while (steps > 0) {
        const int32_t room = (ring.size - j + 1) / 2;
        const int32_t run = steps < room ? steps : room;
        for (int32_t s = 0; s < run; ++s, j += 2) sum = sum - b[j];
        steps -= run;
        if (j >= ring.size) j -= ring.size;
      }
    }
    r.B[ch] = static_cast<float>(covered);
    x = AverageSample(x);
    b[i] = x;
    const int32_t j = Behind(i, covered);
    PrefetchHistory(b, j, ring.size);
    sum = x + sum - b[j];
    const int32_t next = pos + 2;
    SetBufferPosition(m, ch, w, next >= ring.size ? 0 : next);
    // The published mean is held within -1..1; the sum itself is not, so it
    // comes back exactly once louder samples leave the window.
    const float fe = static_cast<float>(e);
    float s = sum;
    if (!(fe >= std::fabs(s))) s = SgnF(s) * fe;
    return static_cast<float>(static_cast<double>(s) / static_cast<double>(e));
  }
};

// --- Envelope follower.

// The follower takes nothing when fed.
struct FollowerLatch {
  void operator()(SequencerVoice&, int32_t) const {}
};

// one thread: value
struct FollowerStep {
  float half;     // half the Period, in frames
  float k;        // 1 / half
  float keep;     // half - 1
  float gain;
  void Channel(ModuleRecord& m, int32_t ch) {
    half = std::fabs(SettingRead(m, kFollowerPeriod, ch)) * 0.5f;
    k = 1.0f / half;
    keep = half - 1.0f;
    gain = SettingRead(m, kFollowerGain, ch);
  }
  // The envelope ends its own tail.
  float TailFrames(const SequencerVoice&, int32_t) const { return std::numeric_limits<float>::infinity(); }
  float operator()(ModuleRecord& m, SequencerVoice& r, int32_t ch, int32_t w, float x) const {
    float* b = m.WorkBuffers[w];
    if (b == nullptr || m.WorkBufferSize < 2) return 0.0f;
    const float e = b[ch];
    // The mean of x squared and e squared, weighted 1 : (P - 1).
    float next = std::sqrt(x * x * k + k * e * e * keep);
    if (r.State == kTailStageDraining && static_cast<double>(next) < 1e-6) {
      r.State = kTailStageDone;
      next = 0.0f;
    }
    // A period below one frame or an input that is not a number would keep
    // the envelope undefined for good: it starts again from 0.
    if (!std::isfinite(next)) next = 0.0f;
    b[ch] = next;
    float y = next;
    if (!(1.0f >= gain)) y = gain * next;
    return ClipValue(y, m.ClipFlag);
  }
};

}  // namespace

void ProcessMobileAverageMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  const AverageRing ring = AverageRingOf(*m);
  AverageLatch latch(*m, ring.maxFrames);
  AverageStep step{ring};
  TailFrameMono(m, parity, previousParity, latch, step);
}

void ProcessMobileAveragePoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  const AverageRing ring = AverageRingOf(*m);
  AverageLatch latch(*m, ring.maxFrames);
  AverageStep step{ring};
  TailFramePoly(m, parity, previousParity, latch, step);
}

void ProcessEnvelopeFollowerMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  FollowerLatch latch;
  FollowerStep step{};
  TailFrameMono(m, parity, previousParity, latch, step);
}

void ProcessEnvelopeFollowerPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  FollowerLatch latch;
  FollowerStep step{};
  TailFramePoly(m, parity, previousParity, latch, step);
}

}  // namespace Tarvelo

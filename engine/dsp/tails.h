// Modules that play on after their input stops (Delay, Echo, Mobile average,
// Envelope follower) run every voice through a small stage machine: a voice is
// fed while its source sounds, then drains silence through the module's
// history until its tail has played out, and marks itself to its voice owner
// meanwhile so that the owner does not free it. The kernels supply only what
// they latch when a voice is fed, how long a tail lasts and the sample step.
//
// Per voice id w the machine keeps, in the module record:
//   SequencerVoices[w].State     the tail stage (below)
//   SequencerVoices[w].Position  the source's voice position the voice was fed from
//   SequencerVoices[w].A, .B     values the kernel latches while the voice is fed
//   VoiceState[ch][w]            the drain counter: frames of silence fed so far
//   AuxVoiceState[ch][w]         the float index of the current frame in the
//                                voice's work buffer, held as integer bits
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/dsp/contract.h"
#include "engine/module.h"

namespace Tarvelo {

enum TailStageValue : int32_t {
  kTailStageIdle = 0,      // not listed
  kTailStageFed = 1,       // the source sounds: the input is read
  kTailStageDraining = 2,  // silence is fed through the history
  kTailStageDone = 3,      // played out; listed, silent, until nobody marks it
};

// The work-buffer position of voice id w on channel ch: an even float index
// below limit (anything else, as from a cleared or foreign state, reads 0).
inline int32_t BufferPosition(const ModuleRecord& m, int32_t ch, int32_t w, int32_t limit) {
  int32_t pos;
  std::memcpy(&pos, &m.AuxVoiceState[ch][w], sizeof pos);
  return (pos >= 0 && pos < limit && (pos & 1) == 0) ? pos : 0;
}
inline void SetBufferPosition(ModuleRecord& m, int32_t ch, int32_t w, int32_t pos) {
  std::memcpy(&m.AuxVoiceState[ch][w], &pos, sizeof pos);
}

// Frames that a period in seconds gives: floor(|p| x rate + 1e-6), within
// 0..limit, worked in single precision as every kernel works it: the product
// rounds to the nearest float first, so 0.01 s gives 480 frames (in double
// precision it stays a little below and loses a frame). A value that is not
// a number gives 0.
inline float PeriodFrames(float p, int32_t limit) {
  const float d = std::fabs(p) * static_cast<float>(RateWhole) + 1e-6f;
  if (!(d >= 0.0f)) return 0.0f;
  if (d >= static_cast<float>(limit)) return static_cast<float>(limit);
  // Truncation is the floor of a non-negative value.
  return static_cast<float>(static_cast<int32_t>(d));
}

// A latched frame count as a whole number within lo..hi.
inline int32_t WholeFrames(float frames, int32_t lo, int32_t hi) {
  // Latched counts are whole already: skip the rounding call for them.
  if (frames >= static_cast<float>(lo) && frames <= static_cast<float>(hi)) {
    const int32_t n = static_cast<int32_t>(frames);
    if (static_cast<float>(n) == frames) return n;
  }
  const float r = std::nearbyint(frames);
  if (!(r >= static_cast<float>(lo))) return lo;
  if (!(r <= static_cast<float>(hi))) return hi;
  return static_cast<int32_t>(r);
}

// The history a voice reads lies far behind what it writes, in a buffer per
// voice: with many voices the hardware loses track of the read streams, so
// the line a few frames ahead of the read is asked for now.
inline void PrefetchHistory(const float* b, int32_t j, int32_t size) {
  int32_t ahead = j + 64;
  if (ahead >= size) ahead -= size;
  if (static_cast<uint32_t>(ahead) < static_cast<uint32_t>(size)) __builtin_prefetch(b + ahead);
}

// The voice owner of the module's voices: the trigger owner of port 0's source.
inline ModuleRecord& TailOwner(const ModuleRecord& m) { return *m.PortSources[0].LoadSettled()->TriggerOwner.LoadSettled(); }

// A voice stays while it is fed or draining, or while anyone kept it alive in
// the previous frame.
inline bool TailAlive(const SequencerVoice& r, const ModuleRecord& owner, int32_t previousParity, int32_t w) {
  return (r.State >= kTailStageFed && r.State <= kTailStageDraining) || VoiceMarked(owner, previousParity, w);
}

// Feeding a voice: stage 1, drain counters back to 0, and the kernel's latch,
// latch(r, k), of what it reads at the source's voice position k, for both
// channels.
template <class Latch>
inline void TailFeed(ModuleRecord& m, int32_t w, int32_t k, Latch& latch) {
  SequencerVoice& r = m.SequencerVoices[w];
  r.State = kTailStageFed;
  r.Position = k;
  m.VoiceState[0][w] = 0.0f;
  m.VoiceState[1][w] = 0.0f;
  latch(r, k);
}

// Slot 0: the one voice (id 0) is kept while alive and fed while the source
// sounds. Sets ActiveVoices to 1 or 0 and returns it.
template <class Latch>
inline int32_t TailKeepAndFeedMono(ModuleRecord& m, const ModuleRecord& owner, int32_t previousParity,
                                   Latch& latch) {
  m.VoiceIds[0] = 0;
  SequencerVoice& r = m.SequencerVoices[0];
  int32_t n = 0;
  if (TailAlive(r, owner, previousParity, 0)) {
    if (r.State == kTailStageFed) r.State = kTailStageDraining;
    n = 1;
  } else {
    r.State = kTailStageIdle;
  }
  if (m.VoicesToCompute > 0) {
    n = 1;
    TailFeed(m, 0, 0, latch);
  }
  m.ActiveVoices.Store(n);
  return n;
}

// Slot 1: the voices of the previous frame that are still alive keep their
// order; then every voice the source sounds is fed, and appended when it is
// not listed yet. Sets ActiveVoices to the list's length and returns it.
template <class Latch>
inline int32_t TailKeepAndFeedPoly(ModuleRecord& m, const ModuleRecord& owner, int32_t previousParity,
                                Latch& latch) {
  int32_t* ids = m.VoiceIds;
  uint32_t listed = 0;
  int32_t n = 0;
  int32_t previous = m.ActiveVoices.LoadSettled();
  if (previous < 0) previous = 0;
  if (previous > kVoices) previous = kVoices;
  for (int32_t k = 0; k < previous; ++k) {
    const int32_t w = VoiceIdAt(&m, k);
    const uint32_t bit = 1u << w;
    if ((listed & bit) != 0) continue;
    SequencerVoice& r = m.SequencerVoices[w];
    if (TailAlive(r, owner, previousParity, w)) {
      if (r.State == kTailStageFed) r.State = kTailStageDraining;
      ids[n++] = w;
      listed |= bit;
    } else {
      r.State = kTailStageIdle;
    }
  }
  // Membership, not the stage, decides whether a fed voice is appended: a
  // voice can only ever be listed once, whatever state a reset left behind.
  const int32_t fed = KernelVoices(m);
  for (int32_t k = 0; k < fed; ++k) {
    const int32_t w = VoiceIdAt(&owner, k);
    const uint32_t bit = 1u << w;
    if ((listed & bit) == 0) {
      ids[n++] = w;
      listed |= bit;
    }
    TailFeed(m, w, k, latch);
  }
  m.ActiveVoices.Store(n);
  return n;
}

// The computing part, for the n listed voices (slot 0: the one voice at
// position 0); n is what keeping and feeding just stored. Per channel, a voice that is fed or draining marks itself to
// its owner and to the module, gets its input (silence while draining; the
// drain counter then grows and the tail ends once it passes the kernel's tail
// length) and publishes the kernel's step at its list position. A listed voice
// whose tail is over publishes silence, so that it never repeats an old value
// or one that an earlier voice left at its position.
//
// Step supplies:
//   void Channel(ModuleRecord& m, int32_t ch)          once per channel
//   float TailFrames(const SequencerVoice& r, int32_t ch) const
//   float operator()(ModuleRecord& m, SequencerVoice& r, int32_t ch, int32_t w, float x)
//     the published value; it may end the tail itself by setting r.State.
template <class Step>
inline void TailCompute(ModuleRecord& m, ModuleRecord& owner, int32_t parity, Step& step, int32_t n) {
  if (n <= 0) return;
  const int32_t channels = KernelChannels(m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(m, 0, ch);
    step.Channel(m, ch);
    for (int32_t j = 0; j < n; ++j) {
      const int32_t w = VoiceIdAt(&m, j);
      SequencerVoice& r = m.SequencerVoices[w];
      if (r.State < kTailStageFed || r.State > kTailStageDraining) {
        m.Outputs[ch][j] = OutputElement{0.0f, 0.0f};
        continue;
      }
      MarkVoice(owner, parity, w);
      MarkVoice(m, parity, w);
      float x = 0.0f;
      if (r.State == kTailStageDraining) {
        float& drained = m.VoiceState[ch][w];
        drained = drained + 1.0f;
        if (drained > step.TailFrames(r, ch)) r.State = kTailStageDone;
      } else {
        const int32_t k = r.Position;
        x = in(static_cast<uint32_t>(k) < static_cast<uint32_t>(kVoices) ? k : 0);
      }
      const float y = step(m, r, ch, w, x);
      m.Outputs[ch][j] = OutputElement{y, y};
    }
  }
}

// The steady frame of slot 1: the list holds exactly the voices the source
// sounds, in its order, each fed or draining. Keeping and feeding then leave
// the list as it is and feed every voice at its own position, and no voice can
// end during the frame (only a draining one can): this is what the general
// path does for it, without its per-voice membership and stage checks.
// The voices are fed (and marked) while the list is checked: should a later
// voice break it, the general path runs after all and finds the voices fed so
// far listed, sounding and kept, as they were before; it feeds them again the
// same way.
template <class Latch>
inline bool TailFeedSteady(ModuleRecord& m, ModuleRecord& owner, int32_t parity, Latch& latch) {
  const int32_t fed = KernelVoices(m);
  if (fed <= 0 || m.ActiveVoices.LoadSettled() != fed) return false;
  uint32_t listed = 0;
  for (int32_t k = 0; k < fed; ++k) {
    const int32_t w = m.VoiceIds[k];
    if (static_cast<uint32_t>(w) >= static_cast<uint32_t>(kVoices) || w != owner.VoiceIds[k]) return false;
    const uint32_t bit = 1u << w;
    const int32_t state = m.SequencerVoices[w].State;
    if ((listed & bit) != 0 || state < kTailStageFed || state > kTailStageDraining) return false;
    listed |= bit;
    TailFeed(m, w, k, latch);
    MarkVoice(owner, parity, w);
    MarkVoice(m, parity, w);
  }
  return true;
}

template <class Step>
inline void TailSteadyCompute(ModuleRecord& m, Step& step, const auto& latch) {
  const int32_t n = KernelVoices(m);  // the listed voices: TailFeedSteady found them all fed
  const int32_t* ids = m.VoiceIds;
  const int32_t channels = KernelChannels(m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenScaled(m, 0, ch);
    step.Channel(m, ch);
    // Every voice was fed just now: a kernel may take what they all latched.
    if constexpr (requires { step.Fed(latch, ch); }) step.Fed(latch, ch);
    OutputElement* out = m.Outputs[ch];
    for (int32_t j = 0; j < n; ++j) {
      const int32_t w = ids[j];
      const float y = step(m, m.SequencerVoices[w], ch, w, in(j));
      out[j] = OutputElement{y, y};
    }
  }
}

// A whole frame of slot 0 and of slot 1.
template <class Latch, class Step>
inline void TailFrameMono(ModuleRecord* m, int32_t parity, int32_t previousParity, Latch& latch, Step& step) {
  ModuleRecord& owner = TailOwner(*m);
  const int32_t n = TailKeepAndFeedMono(*m, owner, previousParity, latch);
  TailCompute(*m, owner, parity, step, n);
}
template <class Latch, class Step>
inline void TailFramePoly(ModuleRecord* m, int32_t parity, int32_t previousParity, Latch& latch, Step& step) {
  ModuleRecord& owner = TailOwner(*m);
  if (TailFeedSteady(*m, owner, parity, latch)) {
    TailSteadyCompute(*m, step, latch);
    return;
  }
  const int32_t n = TailKeepAndFeedPoly(*m, owner, previousParity, latch);
  TailCompute(*m, owner, parity, step, n);
}

}  // namespace Tarvelo

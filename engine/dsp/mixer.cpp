#include "engine/dsp/mixer.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/lanes8.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

namespace {

// The inputs driven by live modules, in ascending port order, and whether
// one of them is the Mixer itself.
// one thread: value
struct LiveInputs {
  int32_t ports[kMixerInputs];
  int32_t count;
  bool own;
};

// Fills the list and returns the most voices any listed source has.
inline int32_t ListLiveInputs(const ModuleRecord& m, LiveInputs& list) {
  list.count = 0;
  list.own = false;
  int32_t most = 0;
  for (int32_t p = kMixerFirstInput; p < kMixerFirstInput + kMixerInputs; ++p) {
    const ModuleRecord* s = m.PortSources[p].LoadSettled();
    if (s->Role != kRoleLive) continue;
    list.ports[list.count++] = p;
    list.own |= s == &m;
    if (s->ActiveVoices.LoadSettled() > most) most = s->ActiveVoices.LoadSettled();
  }
  return most > kVoices ? kVoices : most;
}

// Input p opened for one channel on its source s: its plain read times its
// set value.
inline PortCursor OpenInputOn(const ModuleRecord& m, const ModuleRecord* s, int32_t p, int32_t ch) {
  PortCursor c = OpenPortOn(m, s, p, ch, false);
  c.gain = SettingRead(m, p, ch);
  return c;
}
inline PortCursor OpenInput(const ModuleRecord& m, int32_t p, int32_t ch) {
  return OpenInputOn(m, m.PortSources[p].LoadSettled(), p, ch);
}

// 1 / n computed in double precision, kept in single.
inline float MeanFactor(int32_t n) { return static_cast<float>(1.0 / static_cast<double>(n)); }

// A Mixer that published and now has nothing to publish clears itself once.
inline void ResetWhenSilent(ModuleRecord* m) {
  if (m->ActiveVoices.LoadSettled() == 0 && m->MixerWord != 0) {
    ModuleReset(*m);
    m->MixerWord = 0;
  }
}

// One channel of the per-voice mix, eight lanes at a time (kChunks of them),
// input by input, each voice's sum taking its inputs in the same order. A
// lane past an input's voices adds +0, which leaves every sum as it is: a sum
// that starts at +0 is never -0.
template <int32_t kChunks>
[[gnu::always_inline]] inline void MixChunks(ModuleRecord& m, int32_t ch, const LiveInputs& list, int32_t voices,
                                             float k) {
  const Mask8 lane0 = {0, 1, 2, 3, 4, 5, 6, 7};
  Lanes8 sum[kChunks];
  for (int32_t c = 0; c < kChunks; ++c) sum[c] = Lanes8{};
  for (int32_t i = 0; i < list.count; ++i) {
    const PortCursor in = OpenInput(m, list.ports[i], ch);
    // An input with fewer voices adds nothing past them but still counts in k.
    const int32_t n = m.PortSources[list.ports[i]].LoadSettled()->ActiveVoices.LoadSettled();
    for (int32_t c = 0; c < kChunks; ++c) sum[c] = sum[c] + Blend8(ReadChunk(in, c), Lanes8{}, (lane0 + 8 * c) < n);
  }
  const PortCursor master = OpenPlain(m, kMixerMasterVolume, ch);
  const Mask8 absBits = ~Mask8{} & 0x7FFFFFFF;
  const Mask8 one = reinterpret_cast<Mask8>(Splat8(1.0f));
  const Mask8 minusOne = reinterpret_cast<Mask8>(Splat8(-1.0f));
  alignas(32) float y[kVoices];
  Mask8 clipped = {};
  for (int32_t c = 0; c < kChunks; ++c) {
    const Lanes8 v = Splat8(k) * sum[c] * ReadChunk(master, c);
    // The clip rule.
    const Mask8 clip = ~(Splat8(1.0f) >= reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(v) & absBits));
    const Lanes8 sign = reinterpret_cast<Lanes8>(((v > 0.0f) & one) | ((v < 0.0f) & minusOne));
    clipped |= clip & ((lane0 + 8 * c) < voices);
    Store8(y + 8 * c, Blend8(sign, v, clip));
  }
  if (AnyLane(clipped)) m.ClipFlag.Store(-1);
  PublishPairs(m.Outputs[ch], y, voices);
}

TARVELO_KERNEL_BUILDS(void, MixChannel, (ModuleRecord& m, int32_t ch, const LiveInputs& list, int32_t voices,
                                          float k)) {
  if (voices <= 8)
    MixChunks<1>(m, ch, list, voices, k);
  else if (voices <= 16)
    MixChunks<2>(m, ch, list, voices, k);
  else
    MixChunks<4>(m, ch, list, voices, k);
}

// The per-voice mix of a one-channel Mixer in a single walk of its inputs:
// the list, the count and the sums of MixChunks together, kChunks chunks
// wide. False, with nothing written, where it does not apply: an input with
// more voices than the chunks hold, or the Mixer reading its own outputs
// (then the list and the mix go their separate ways).
template <int32_t kChunks>
[[gnu::always_inline]] inline bool MixInOneWalk(ModuleRecord& m) {
  const Mask8 lane0 = {0, 1, 2, 3, 4, 5, 6, 7};
  Lanes8 sum[kChunks];
  for (int32_t c = 0; c < kChunks; ++c) sum[c] = Lanes8{};
  int32_t count = 0;
  int32_t most = 0;
  // Each port's source is read once for the frame. Reading its own outputs,
  // the Mixer is a live source on one of its ports (compared as a row, which
  // the compiler does as vectors).
  const ModuleRecord* sources[kMixerFirstInput + kMixerInputs];
  int64_t own = 0;
  for (int32_t p = kMixerMasterVolume; p < kMixerFirstInput + kMixerInputs; ++p) sources[p] = m.PortSources[p].LoadSettled();
  for (int32_t p = kMixerMasterVolume; p < kMixerFirstInput + kMixerInputs; ++p)
    own |= -static_cast<int64_t>(sources[p] == &m);
  for (int32_t p = kMixerFirstInput; p < kMixerFirstInput + kMixerInputs; ++p) {
    const ModuleRecord* s = sources[p];
    if (s->Role != kRoleLive) continue;
    ++count;
    const int32_t n = s->ActiveVoices.LoadSettled();
    most = n > most ? n : most;
    if (n >= 8 * kChunks) {
      const PortCursor in = OpenInputOn(m, s, p, 0);
      for (int32_t c = 0; c < kChunks; ++c) sum[c] = sum[c] + ReadChunkScaled(in, c);
    } else if (n > 0) {  // (without voices it adds +0 to every lane: nothing)
      const PortCursor in = OpenInputOn(m, s, p, 0);
      for (int32_t c = 0; c < kChunks; ++c)
        sum[c] = sum[c] + Blend8(ReadChunkScaled(in, c), Lanes8{}, (lane0 + 8 * c) < n);
    }
  }
  if (most <= 0) {
    // Nothing to publish or clip (own outputs or not): what the general way
    // leaves.
    if (count >= 1) m.MixerWord = -1;
    ResetWhenSilent(&m);
    return true;
  }
  if (own != 0 || most > 8 * kChunks) return false;
  const float k = MeanFactor(count);
  const PortCursor master = OpenPortOn(m, sources[kMixerMasterVolume], kMixerMasterVolume, 0, false);
  const Lanes8 one = Splat8(1.0f);
  const Lanes8 minusOne = Splat8(-1.0f);
  alignas(32) float y[8 * kChunks];
  Mask8 clipped = {};
  for (int32_t c = 0; c < kChunks; ++c) {
    const Lanes8 v = k * sum[c] * ReadChunkScaled(master, c);
    // The clip rule: within -1 .. 1 the value, beyond it its sign, for a NaN
    // 0 (v is itself exactly where it is within).
    const Lanes8 upper = v < one ? v : one;
    const Lanes8 limited = upper > minusOne ? upper : minusOne;
    clipped |= OutsideUnit(v) & ((lane0 + 8 * c) < most);
    Store8(y + 8 * c, reinterpret_cast<Lanes8>(reinterpret_cast<Mask8>(limited) & (v == v)));
  }
  if (AnyLaneSet(clipped)) m.ClipFlag.Store(-1);
  if (most == 8 * kChunks)
    for (int32_t c = 0; c < kChunks; ++c) PublishChunk(m.Outputs[0] + 8 * c, Load8(y + 8 * c));
  else
    PublishPairs(m.Outputs[0], y, most);
  m.ActiveVoices.Store(most);
  m.MixerWord = -1;
  return true;
}

// Voice by voice, for a Mixer that reads its own outputs, which it writes as
// it goes.
[[gnu::noinline]] void MixVoiceByVoice(ModuleRecord* m, int32_t ch, const LiveInputs& list, int32_t voices, float k) {
  const PortCursor master = OpenPlain(*m, kMixerMasterVolume, ch);
  PortCursor in[kMixerInputs];
  int32_t sourceVoices[kMixerInputs];
  for (int32_t i = 0; i < list.count; ++i) {
    in[i] = OpenInput(*m, list.ports[i], ch);
    sourceVoices[i] = m->PortSources[list.ports[i]].LoadSettled()->ActiveVoices.LoadSettled();
  }
  for (int32_t v = 0; v < voices; ++v) {
    float sum = 0.0f;
    for (int32_t i = 0; i < list.count; ++i)
      if (sourceVoices[i] > v) sum = sum + in[i](v);
    const float y = ClipValue(k * sum * master(v), m->ClipFlag);
    m->Outputs[ch][v] = OutputElement{y, y};
  }
}

}  // namespace

void ProcessMixerMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  m->ActiveVoices.Store(0);
  if (m->PortSources[kMixerMasterVolume].LoadSettled()->ActiveVoices.LoadSettled() == 0) return;
  LiveInputs list;
  if (ListLiveInputs(*m, list) > 0) m->ActiveVoices.Store(1);
  if (m->ActiveVoices.LoadSettled() > 0 && list.count >= 1) {
    const float k = MeanFactor(list.count);
    const int32_t channels = KernelChannels(*m);
    for (int32_t ch = 0; ch < channels; ++ch) {
      float sum = 0.0f;
      for (int32_t i = 0; i < list.count; ++i) {
        const int32_t p = list.ports[i];
        if (m->PortSources[p].LoadSettled()->ActiveVoices.LoadSettled() > 0) sum = sum + OpenInput(*m, p, ch)(0);
      }
      const float y = ClipValue(k * sum * PlainRead(*m, kMixerMasterVolume, ch, 0), m->ClipFlag);
      m->Outputs[ch][0] = OutputElement{y, y};
    }
    m->MixerWord = -1;
  }
  ResetWhenSilent(m);
}

// One call per frame: the one-channel mix in a single walk inlined here, the
// AVX2 variant chosen once when the program starts (the catalog holds the
// chosen function's address). Its width is last frame's voice count, which
// rarely changes; when it no longer covers them the frame takes the general
// way.
TARVELO_KERNEL_BUILDS(void, ProcessMixerPoly, (ModuleRecord* m, uint64_t, int32_t, int32_t)) {
  const int32_t last = m->ActiveVoices.LoadSettled();
  m->ActiveVoices.Store(0);
  if (m->PortSources[kMixerMasterVolume].LoadSettled()->ActiveVoices.LoadSettled() == 0) return;
  if (m->ChannelsProcessed.LoadSettled() == 1) {
    if (last <= 8) {
      if (MixInOneWalk<1>(*m)) return;
    } else if (last <= 16) {
      if (MixInOneWalk<2>(*m)) return;
    } else if (MixInOneWalk<4>(*m)) {
      return;
    }
  }
  LiveInputs list;
  const int32_t voices = ListLiveInputs(*m, list);
  m->ActiveVoices.Store(voices);
  if (list.count >= 1) {
    const float k = MeanFactor(list.count);
    const int32_t channels = KernelChannels(*m);
    // Input by input over rows of voices, each voice's sum taking its inputs
    // in the same order; voice by voice when the Mixer reads its own outputs,
    // which it writes as it goes.
    const bool own = list.own || m->PortSources[kMixerMasterVolume].LoadSettled() == m;
    for (int32_t ch = 0; ch < channels; ++ch) {
      if (own)
        MixVoiceByVoice(m, ch, list, voices, k);
      else if (voices > 0)  // without voices there is nothing to publish or clip
        MixChannel(*m, ch, list, voices, k);
    }
    m->MixerWord = -1;
  }
  ResetWhenSilent(m);
}

}  // namespace Tarvelo

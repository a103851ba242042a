#include "engine/dsp/mixer.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

namespace {

// The inputs driven by live modules, in ascending port order.
struct LiveInputs {
  int32_t ports[kMixerInputs];
  int32_t count;
};

// Fills the list and returns the most voices any listed source has.
inline int32_t ListLiveInputs(const ModuleRecord& m, LiveInputs& list) {
  list.count = 0;
  int32_t most = 0;
  for (int32_t p = kMixerFirstInput; p < kMixerFirstInput + kMixerInputs; ++p) {
    const ModuleRecord* s = m.PortSources[p];
    if (s->Role != kRoleLive) continue;
    list.ports[list.count++] = p;
    if (s->ActiveVoices > most) most = s->ActiveVoices;
  }
  return most > kVoices ? kVoices : most;
}

// Input p opened for one channel: its plain read times its set value.
inline PortCursor OpenInput(const ModuleRecord& m, int32_t p, int32_t ch) {
  PortCursor c = OpenPlain(m, p, ch);
  c.gain = SettingRead(m, p, ch);
  return c;
}

// 1 / n computed in double precision, kept in single.
inline float MeanFactor(int32_t n) { return static_cast<float>(1.0 / static_cast<double>(n)); }

// A Mixer that published and now has nothing to publish clears itself once.
inline void ResetWhenSilent(ModuleRecord* m) {
  if (m->ActiveVoices == 0 && m->MixerWord != 0) {
    ModuleReset(*m);
    m->MixerWord = 0;
  }
}

// One channel of the per-voice mix over 8, 16 or 32 lanes (loops of known
// length the compiler vectorizes whole), input by input, each voice's sum
// taking its inputs in the same order. A lane past an input's voices adds
// +0, which leaves every sum as it is: a sum that starts at +0 is never -0.
template <int32_t kLanes>
[[gnu::always_inline]] inline void MixLanes(ModuleRecord& m, int32_t ch, const LiveInputs& list, int32_t voices,
                                            float k) {
  alignas(32) float sum[kVoices];
  alignas(32) float row[kVoices];
  for (int32_t v = 0; v < kLanes; ++v) sum[v] = 0.0f;
  for (int32_t i = 0; i < list.count; ++i) {
    ReadLanes<kLanes>(OpenInput(m, list.ports[i], ch), row);
    const int32_t n = m.PortSources[list.ports[i]]->ActiveVoices;
    // An input with fewer voices adds nothing past them but still counts in k.
    for (int32_t v = 0; v < kLanes; ++v) sum[v] = sum[v] + (kLaneNumbers[v] < n ? row[v] : 0.0f);
  }
  ReadLanes<kLanes>(OpenPlain(m, kMixerMasterVolume, ch), row);
  int32_t clipped = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float y = k * sum[v] * row[v];
    // The clip rule.
    const bool clip = !(1.0f >= std::fabs(y));
    const float ySign = y > 0.0f ? 1.0f : (y < 0.0f ? -1.0f : 0.0f);
    clipped |= static_cast<int32_t>(clip) & LaneMask(v, voices);
    sum[v] = clip ? ySign : y;
  }
  if (clipped != 0) m.ClipFlag = -1;
  OutputElement* out = m.Outputs[ch];
  for (int32_t v = 0; v < voices; ++v) out[v] = OutputElement{sum[v], sum[v]};
}

TARVELO_AVX2_VARIANT void MixChannel(ModuleRecord& m, int32_t ch, const LiveInputs& list, int32_t voices, float k) {
  const int32_t lanes = LanesFor(voices);
  if (lanes == 8)
    MixLanes<8>(m, ch, list, voices, k);
  else if (lanes == 16)
    MixLanes<16>(m, ch, list, voices, k);
  else
    MixLanes<kVoices>(m, ch, list, voices, k);
}

}  // namespace

void ProcessMixerMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  m->ActiveVoices = 0;
  if (m->PortSources[kMixerMasterVolume]->ActiveVoices == 0) return;
  LiveInputs list;
  if (ListLiveInputs(*m, list) > 0) m->ActiveVoices = 1;
  if (m->ActiveVoices > 0 && list.count >= 1) {
    const float k = MeanFactor(list.count);
    const int32_t channels = KernelChannels(*m);
    for (int32_t ch = 0; ch < channels; ++ch) {
      float sum = 0.0f;
      for (int32_t i = 0; i < list.count; ++i) {
        const int32_t p = list.ports[i];
        if (m->PortSources[p]->ActiveVoices > 0) sum = sum + OpenInput(*m, p, ch)(0);
      }
      const float y = ClipValue(k * sum * PlainRead(*m, kMixerMasterVolume, ch, 0), m->ClipFlag);
      m->Outputs[ch][0] = OutputElement{y, y};
    }
    m->MixerWord = -1;
  }
  ResetWhenSilent(m);
}

void ProcessMixerPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  m->ActiveVoices = 0;
  if (m->PortSources[kMixerMasterVolume]->ActiveVoices == 0) return;
  LiveInputs list;
  const int32_t voices = ListLiveInputs(*m, list);
  m->ActiveVoices = voices;
  if (list.count >= 1) {
    const float k = MeanFactor(list.count);
    const int32_t channels = KernelChannels(*m);
    // Input by input over rows of voices, each voice's sum taking its inputs
    // in the same order; voice by voice when the Mixer reads its own outputs,
    // which it writes as it goes.
    bool own = m->PortSources[kMixerMasterVolume] == m;
    for (int32_t i = 0; i < list.count; ++i) own |= m->PortSources[list.ports[i]] == m;
    for (int32_t ch = 0; ch < channels; ++ch) {
      const PortCursor master = OpenPlain(*m, kMixerMasterVolume, ch);
      if (!own) {
        MixChannel(*m, ch, list, voices, k);
        continue;
      }
      PortCursor in[kMixerInputs];
      int32_t sourceVoices[kMixerInputs];
      for (int32_t i = 0; i < list.count; ++i) {
        in[i] = OpenInput(*m, list.ports[i], ch);
        sourceVoices[i] = m->PortSources[list.ports[i]]->ActiveVoices;
      }
      for (int32_t v = 0; v < voices; ++v) {
        float sum = 0.0f;
        for (int32_t i = 0; i < list.count; ++i)
          if (sourceVoices[i] > v) sum = sum + in[i](v);
        const float y = ClipValue(k * sum * master(v), m->ClipFlag);
        m->Outputs[ch][v] = OutputElement{y, y};
      }
    }
    m->MixerWord = -1;
  }
  ResetWhenSilent(m);
}

}  // namespace Tarvelo

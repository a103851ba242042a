#include "engine/dsp/logic.h"

#include "engine/dsp/contract.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

namespace {

// The Gate's input is always weighted by its port's set value, also when the
// port is unlinked.
inline PortCursor OpenGateInput(const ModuleRecord& m, int32_t ch) {
  PortCursor c = OpenPlain(m, kGateInput, ch);
  c.gain = SettingRead(m, kGateInput, ch);
  return c;
}

// Equality always shuts the gate; without SW1 so does an input below the
// threshold. Comparisons with a NaN are false, so a NaN never shuts it.
inline float GateVoice(float x, float t, bool equalityOnly) {
  if (x == t) return 0.0f;
  if (!equalityOnly && t > x) return 0.0f;
  return x;
}

inline void GateVoices(ModuleRecord* m, int32_t voices) {
  const bool equalityOnly = SwitchOn(*m, kSwitch1);
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenGateInput(*m, ch);
    const PortCursor threshold = OpenPlain(*m, kGateThreshold, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const float y = GateVoice(in(v), threshold(v), equalityOnly);
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
}

// The port whose element passes: below also when either value is not a number.
inline int32_t ChosenPort(float in, float t) {
  if (in == t) return kLogicEqual;
  if (in > t) return kLogicAbove;
  return kLogicBelow;
}

// The element a chosen port passes for channel ch and voice position v: the
// source's element as it stands (both members), without the port's set value.
inline const OutputElement& PassedElement(const ModuleRecord& m, int32_t p, int32_t ch, int32_t v) {
  const ModuleRecord* s = m.PortSources[p].LoadSettled();
  return s->Outputs[SourceChannel(*s, ch)][VoiceMap[m.Params[p].VoiceMapRow & 1][v]];
}

// Nothing is compared while the input or the threshold brings no voice.
inline bool ComparedSourcesSilent(const ModuleRecord& m) {
  return m.PortSources[kLogicInput].LoadSettled()->ActiveVoices.LoadSettled() == 0 || m.PortSources[kLogicThreshold].LoadSettled()->ActiveVoices.LoadSettled() == 0;
}

}  // namespace

void ProcessGateMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { GateVoices(m, 1); }

void ProcessGatePoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  GateVoices(m, voices);
  m->ActiveVoices.Store(voices);
}

void ProcessLogicSwitchMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  m->ActiveVoices.Store(0);
  if (m->VoiceIds != nullptr) m->VoiceIds[0] = 0;
  // Silent inputs leave the outputs as they were.
  if (ComparedSourcesSilent(*m)) return;
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const float in = ScaledRead(*m, kLogicInput, ch, 0);
    const float t = ScaledRead(*m, kLogicThreshold, ch, 0);
    const int32_t p = ChosenPort(in, t);
    if (m->PortSources[p].LoadSettled()->ActiveVoices.LoadSettled() == 0) {
      m->Outputs[ch][0] = OutputElement{0.0f, 0.0f};
    } else {
      m->Outputs[ch][0] = PassedElement(*m, p, ch, 0);
      m->ActiveVoices.Store(1);
    }
  }
}

namespace {

// The port each voice of one channel chooses, for 8, 16 or 32 lanes at once
// (lanes past the voices are never read).
template <int32_t kLanes>
[[gnu::always_inline]] inline void ChoiceLanes(const float* in, const float* t, int32_t* choice) {
  for (int32_t v = 0; v < kLanes; ++v) {
    const int32_t above = in[v] > t[v] ? kLogicAbove : kLogicBelow;
    choice[v] = in[v] == t[v] ? kLogicEqual : above;
  }
}

TARVELO_KERNEL_BUILDS(void, ChoiceRow, (const float* in, const float* t, int32_t* choice, int32_t n)) {
  if (n == 8) return ChoiceLanes<8>(in, t, choice);
  if (n == 16) return ChoiceLanes<16>(in, t, choice);
  ChoiceLanes<kVoices>(in, t, choice);
}

// A choice port opened for one channel: the row it passes elements from (null
// while its source is silent) and the step from voice to voice (0 or 1).
// one thread: value
struct PassedRow {
  const OutputElement* elements;
  int32_t step;
};

inline PassedRow OpenPassed(const ModuleRecord& m, int32_t p, int32_t ch) {
  const ModuleRecord* s = m.PortSources[p].LoadSettled();
  if (s->ActiveVoices.LoadSettled() == 0) return PassedRow{nullptr, 0};
  return PassedRow{s->Outputs[SourceChannel(*s, ch)], VoiceMap[m.Params[p].VoiceMapRow & 1][1]};
}

}  // namespace

void ProcessLogicSwitchPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  m->ActiveVoices.Store(0);
  if (ComparedSourcesSilent(*m)) return;
  const int32_t channels = KernelChannels(*m);
  const int32_t voices = KernelVoices(*m);
  PortCursor in[2] = {}, threshold[2] = {};
  for (int32_t ch = 0; ch < channels; ++ch) {
    in[ch] = OpenScaled(*m, kLogicInput, ch);
    threshold[ch] = OpenScaled(*m, kLogicThreshold, ch);
  }
  // With 8 voices or more and no port reading the module's own outputs (which
  // the voices one after the other would see change), the choices are made
  // as rows and the chosen elements copied from rows opened once.
  bool rows = voices >= 8;
  for (int32_t p = kLogicInput; p <= kLogicAbove; ++p) rows = rows && m->PortSources[p].LoadSettled() != m;
  if (rows) {
    alignas(32) float x[kVoices];
    alignas(32) float t[kVoices];
    alignas(32) int32_t choice[2][kVoices];
    PassedRow passed[2][kLogicAbove + 1];
    const int32_t lanes = voices <= 8 ? 8 : (voices <= 16 ? 16 : kVoices);
    for (int32_t v = voices; v < lanes; ++v) x[v] = t[v] = 0.0f;
    for (int32_t ch = 0; ch < channels; ++ch) {
      ReadRow(in[ch], voices, x);
      ReadRow(threshold[ch], voices, t);
      ChoiceRow(x, t, choice[ch], lanes);
      for (int32_t p = kLogicBelow; p <= kLogicAbove; ++p) passed[ch][p] = OpenPassed(*m, p, ch);
    }
    int32_t n = 0;
    for (int32_t v = 0; v < voices; ++v) {
      bool copied = false;
      for (int32_t ch = 0; ch < channels; ++ch) {
        const PassedRow& r = passed[ch][choice[ch][v]];
        if (r.elements == nullptr) {
          m->Outputs[ch][n] = OutputElement{0.0f, 0.0f};
        } else {
          m->Outputs[ch][n] = r.elements[r.step * v];
          copied = true;
        }
      }
      if (copied) {
        if (m->VoiceIds != nullptr) m->VoiceIds[n] = v;
        ++n;
      }
    }
    m->ActiveVoices.Store(n);
    return;
  }
  // Positions whose chosen sources are all silent are left out: the next
  // published position closes the gap, and VoiceIds tells which input
  // position each published one came from.
  int32_t n = 0;
  for (int32_t v = 0; v < voices; ++v) {
    bool copied = false;
    for (int32_t ch = 0; ch < channels; ++ch) {
      const int32_t p = ChosenPort(in[ch](v), threshold[ch](v));
      if (m->PortSources[p].LoadSettled()->ActiveVoices.LoadSettled() == 0) {
        m->Outputs[ch][n] = OutputElement{0.0f, 0.0f};
      } else {
        m->Outputs[ch][n] = PassedElement(*m, p, ch, v);
        copied = true;
      }
    }
    if (copied) {
      if (m->VoiceIds != nullptr) m->VoiceIds[n] = v;
      ++n;
    }
  }
  m->ActiveVoices.Store(n);
}

}  // namespace Tarvelo

#include "engine/dsp/voices.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/control_common.h"
#include "engine/dsp/settings.h"

namespace Tarvelo {

void ProcessVoiceSelector(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t s = WholeSetting(SettingRead(*m, kSelectorVoice, 0), -1, kVoices);
  const ModuleRecord* source = m->PortSources[kSelectorFrequency].LoadSettled();
  const ModuleRecord* owner = source->TriggerOwner.LoadSettled() != nullptr ? source->TriggerOwner.LoadSettled() : source;
  m->ActiveVoices.Store(0);
  const int32_t n = KernelVoices(*m);
  int32_t found = -1;
  for (int32_t p = 0; p < n; ++p) {
    if (owner->VoiceIds[p] == s) {
      found = p;
      break;
    }
  }
  // A voice that is not sounding leaves the outputs as they were.
  if (found < 0) return;
  m->ActiveVoices.Store(1);
  const int32_t channels = KernelChannels(*m);
  // The channel row is taken as it is, not through the channel map.
  for (int32_t ch = 0; ch < channels; ++ch) m->Outputs[ch][0] = source->Outputs[ch][found];
}

void ProcessVoiceMixer(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const ModuleRecord* input = m->PortSources[kVoiceMixerInput].LoadSettled();
  const ModuleRecord* scaling = m->PortSources[kVoiceMixerScaling].LoadSettled();
  m->ActiveVoices.Store(0);
  int32_t n = input->ActiveVoices.LoadSettled();
  if (n <= 0) return;
  if (n > kVoices) n = kVoices;
  m->ActiveVoices.Store(1);
  const bool scaled = scaling->Role == kRoleLive;
  // Dividing by the voices to compute keeps a full chord at the level of one
  // voice. Outside the render path that count can be 0; the voices summed
  // stand in for it then rather than dividing by zero.
  const int32_t count = m->VoicesToCompute > 0 ? m->VoicesToCompute : n;
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor in = OpenPlain(*m, kVoiceMixerInput, ch);
    const PortCursor sc = OpenPlain(*m, kVoiceMixerScaling, ch);
    float sum = 0.0f;
    float scale = 1.0f;
    for (int32_t v = 0; v < n; ++v) {
      sum = sum + in(v);
      scale = scale + sc(v);
    }
    if (scaled) {
      sum = sum / scale;
    } else if (input->PerVoiceOutput == 0) {
      sum = static_cast<float>(static_cast<double>(sum) / static_cast<double>(count));
    }
    const float out = ClipValue(sum * SettingRead(*m, kVoiceMixerInput, ch), m->ClipFlag);
    m->Outputs[ch][0] = OutputElement{out, out};
  }
}

void ProcessMultiplexer(ModuleRecord* m, uint64_t, int32_t parity, int32_t) {
  const int32_t channels = KernelChannels(*m);
  int32_t n = 0;
  for (int32_t k = 0; k < kMultiplexerInputs; ++k) {
    const ModuleRecord* s = m->PortSources[k].LoadSettled();
    const bool live = s->Role == kRoleLive;
    bool counted = false;
    for (int32_t ch = 0; ch < channels; ++ch) {
      m->Outputs[ch][k] = OutputElement{0.0f, 0.0f};
      const OutputElement& e = s->Outputs[SourceChannel(*s, ch)][0];
      const bool counts = live ? s->ActiveVoices.LoadSettled() >= 1 : e.Level != 0.0f;
      if (counts) {
        m->Outputs[ch][n] = OutputElement{e.Level, e.Frequency};
        counted = true;
      }
    }
    if (counted) {
      m->VoiceIds[n] = k;
      MarkVoice(*m, parity, k);
      n += 1;
    }
  }
  m->ActiveVoices.Store(n);
}

}  // namespace Tarvelo

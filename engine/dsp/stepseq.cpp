#include "engine/dsp/stepseq.h"

#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/dsp/control_common.h"
#include "engine/dsp/settings.h"
#include "engine/tuning.h"

namespace Tarvelo {

namespace {

// What the pattern settings say on one channel, read once per channel.
struct StepPattern {
  int32_t length;
  uint32_t bits[kStepPatternWords];
};

inline StepPattern PatternOf(const ModuleRecord& m, int32_t ch) {
  StepPattern s;
  s.length = WholeSetting(SettingRead(m, kStepLength, ch), INT32_MIN / 2, INT32_MAX / 2);
  for (int32_t q = 0; q < kStepPatternWords; ++q) s.bits[q] = WholeBits(SettingRead(m, kStepPattern + q, ch));
  return s;
}

// One step-sequencer element. t is the elapsed time of the channel (and voice
// id); the element is {V, F} while the step sounds, else {0, 0}.
inline OutputElement StepElement(const StepPattern& s, float& t, float f, float vel, float tempo, float duty,
                                 bool rewind) {
  float x = std::fabs(tempo * RateQuarter * t);
  float step = std::floor(x);
  t = t + RateInverse;
  const float length = static_cast<float>(s.length);
  // Past the last step (or lost, as a NaN) the pattern starts again.
  if (!(step < length)) {
    step = 0.0f;
    x = 0.0f;
    t = 0.0f;
  }
  x = x - step;
  if (duty < 0.0f) {
    x = -x;
    duty = -1.0f - duty;
  }
  bool sounds = false;
  if (x < duty) {
    // step is a whole number below length here.
    int32_t index = static_cast<int32_t>(step);
    if (tempo < 0.0f) index = s.length - index - 1;
    // Steps outside the five pattern words have no bit and stay silent.
    if (index >= 0 && index < kMaxSteps)
      sounds = ((s.bits[index / kStepsPerWord] >> (index % kStepsPerWord)) & 1u) != 0;
  }
  if (f == 0.0f && rewind) t = 0.0f;
  return sounds ? OutputElement{vel, f} : OutputElement{0.0f, 0.0f};
}

// The Mapper's element for one input: the key frequency y (Hz) of the input,
// with a one-frame gap when island mode is on and the key changed.
inline OutputElement MapperElement(float input, float& stored, int32_t a, int32_t b, bool logarithmic,
                                   bool islands) {
  const float y = logarithmic ? TuningQuantizeLogPitch(EngineTuning, input, a, b)
                              : TuningQuantizePitch(EngineTuning, input, a, b);
  float f = y * FrequencyNorm;
  if (islands && y != stored) f = 0.0f;
  stored = y;
  return OutputElement{f != 0.0f ? 1.0f : 0.0f, f};
}

// Octave settings beyond any tuning's reach are held at +-1024.
inline int32_t OctaveSetting(const ModuleRecord& m, int32_t p, int32_t ch) {
  return WholeSetting(SettingRead(m, p, ch), -1024, 1024);
}

}  // namespace

void ProcessStepSequencerMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const bool rewind = SwitchOn(*m, kSwitchRewind);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const StepPattern s = PatternOf(*m, ch);
    m->Outputs[ch][0] =
        StepElement(s, m->VoiceState[ch][0], PlainRead(*m, kStepFrequency, ch, 0), PlainRead(*m, kStepVelocity, ch, 0),
                    PlainRead(*m, kStepTempo, ch, 0), PlainRead(*m, kStepDuty, ch, 0), rewind);
  }
  if (m->VoicesToCompute > 0) {
    ModuleRecord* owner = m->TriggerOwner != nullptr ? m->TriggerOwner : m;
    MarkVoice(*owner, parity, 0);
    MarkVoice(*m, parity, 0);
  }
}

void ProcessStepSequencerPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t n = KernelVoices(*m);
  const bool rewind = SwitchOn(*m, kSwitchRewind);
  ModuleRecord* owner = m->TriggerOwner != nullptr ? m->TriggerOwner : m;
  for (int32_t v = 0; v < n; ++v) {
    const int32_t w = VoiceIdAt(owner, v);
    m->VoiceIds[v] = w;
    MarkVoice(*owner, parity, w);
    MarkVoice(*m, parity, w);
  }
  for (int32_t ch = 0; ch < channels; ++ch) {
    const StepPattern s = PatternOf(*m, ch);
    const PortCursor f = OpenPlain(*m, kStepFrequency, ch);
    const PortCursor vel = OpenPlain(*m, kStepVelocity, ch);
    const PortCursor tempo = OpenPlain(*m, kStepTempo, ch);
    const PortCursor duty = OpenPlain(*m, kStepDuty, ch);
    for (int32_t v = 0; v < n; ++v) {
      m->Outputs[ch][v] = StepElement(s, m->VoiceState[ch][m->VoiceIds[v]], f(v), vel(v), tempo(v), duty(v), rewind);
    }
  }
  m->ActiveVoices = n;
}

void ProcessMapperMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const bool logarithmic = SwitchOn(*m, kSwitch1);
  const bool islands = SwitchOn(*m, kSwitchZeroOut);
  for (int32_t ch = 0; ch < channels; ++ch) {
    m->Outputs[ch][0] = MapperElement(PlainRead(*m, kMapperInput, ch, 0), m->VoiceState[ch][0],
                                      OctaveSetting(*m, kMapperOctaveMin, ch),
                                      OctaveSetting(*m, kMapperOctaveRange, ch), logarithmic, islands);
  }
}

void ProcessMapperPoly(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t channels = KernelChannels(*m);
  const int32_t n = KernelVoices(*m);
  const bool logarithmic = SwitchOn(*m, kSwitch1);
  const bool islands = SwitchOn(*m, kSwitchZeroOut);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor input = OpenPlain(*m, kMapperInput, ch);
    const int32_t a = OctaveSetting(*m, kMapperOctaveMin, ch);
    const int32_t b = OctaveSetting(*m, kMapperOctaveRange, ch);
    for (int32_t v = 0; v < n; ++v)
      m->Outputs[ch][v] = MapperElement(input(v), m->VoiceState[ch][v], a, b, logarithmic, islands);
  }
  m->ActiveVoices = n;
}

}  // namespace Tarvelo

#include "engine/dsp/sample.h"

#include <cmath>
#include <cstring>

#include "app/state/wave_library.h"
#include "audio/spectrum.h"
#include "basics/complex.h"
#include "engine/dsp/analysis.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/sequencer.h"
#include "engine/notes.h"

namespace Tarvelo {

void (*SampleListChanged)() = nullptr;

namespace {

// The pitch of a finished recording is found on the audio thread, which must
// not allocate: its spectrum goes here (only the audio thread finishes
// recordings).
QUARLE_BASICS::Complex RecordingSpectrum[kPitchBlockFrames];

inline bool HasSound(const ModuleRecord& m) { return m.SampleData != nullptr && m.SampleFrames > 0; }

inline bool Recording(const ModuleRecord& m) { return SwitchOn(m, kSwitchRecord) && HasSound(m); }

inline int32_t SoundChannels(const ModuleRecord& m) { return m.SampleChannels > 1 ? m.SampleChannels : 1; }

// Channels a recording stores per frame: those the module outputs, at most
// those the sound has.
inline int32_t RecordedChannels(const ModuleRecord& m) {
  int32_t n = m.OutputChannels < 1 ? 1 : (m.OutputChannels > 2 ? 2 : m.OutputChannels);
  return n < SoundChannels(m) ? n : SoundChannels(m);
}

inline int32_t LeadPort(const ModuleRecord& m) {
  const int32_t p = m.VoiceMapSourcePort;
  return (p >= 0 && p < m.PortCount && p < kModuleParams) ? p : 0;
}

// The input port passed through: its scaled read while a live module feeds
// it, else nothing.
inline float PassedInput(const ModuleRecord& m, int32_t ch, int32_t v) {
  return m.PortSources[kSampleInput]->Role == kRoleLive ? ScaledRead(m, kSampleInput, ch, v) : 0.0f;
}

// Linear interpolation at fraction x (0..1) of the sound's channel ch.
inline float ReadSound(const ModuleRecord& m, int32_t ch, float x) {
  const int32_t length = m.SampleFrames;
  const int32_t channels = SoundChannels(m);
  const float r = static_cast<float>(length - 1) * x;
  float fi = std::floor(r);
  int32_t i = static_cast<int32_t>(fi);
  // Single precision cannot hold every frame index of a long sound exactly.
  if (i > length - 1) {
    i = length - 1;
    fi = static_cast<float>(i);
  }
  if (i < 0) i = 0;
  const float f = r - fi;
  const int32_t c = ch < channels ? ch : channels - 1;
  const int64_t k = c + static_cast<int64_t>(channels) * i;
  float s = (1.0f - f) * m.SampleData[k];
  if (i < length - 1) s = s + f * m.SampleData[k + channels];
  return s;
}

}  // namespace

float SampleInterpolate(ModuleRecord& m, float* position, int32_t ch, int32_t w, int32_t v, float b, float a,
                        float f, float p, float t) {
  if (!HasSound(m)) return a * PassedInput(m, ch, v) + b;

  float& pos = *position;
  if (f == 0.0f) {
    // A zero frequency starts (or keeps) the voice.
    m.VoicePlaying[w] = -1;
    if (SwitchOn(m, kSwitchRewind)) pos = 0.0f;
  } else if (SwitchOn(m, kSwitch2)) {
    f = f + f;
  }
  if (m.VoicePlaying[w] == 0) return 0.0f;

  // A position on the other side of 0 than the travel moves by one length.
  if (SgnF(f) + SgnF(pos) == 0.0f) pos = pos - SgnF(pos);
  const float old = pos;
  pos = m.SampleStep * f + pos;
  if (!std::isfinite(pos)) pos = 0.0f;

  const float period = std::fabs(t);
  if (period <= std::fabs(pos)) {
    const bool loop = SwitchOn(m, kSwitchLoop);
    m.VoicePlaying[w] = loop ? -1 : 0;
    if (!loop) {
      pos = SgnF(pos) * period;
      return b;
    }
    pos = pos - SgnF(pos) * period;
    // A step longer than the period wraps as often as it must.
    if (period > 0.0f && !(std::fabs(pos) < period)) pos = std::fmod(pos, period);
  }
  if (a == 0.0f || t == 0.0f) return b;

  const float u = old + p;
  float x = u - std::trunc(u);
  if (x < 0.0f) x = x + 1.0f;
  if (!(x >= 0.0f && x <= 1.0f)) x = 0.0f;
  return ReadSound(m, ch, x) * a + b;
}

float RecordSampleFrame(ModuleRecord& m, int32_t ch) {
  const float x = PassedInput(m, ch, 0);
  if (!Recording(m)) return x;
  const int32_t channels = SoundChannels(m);
  const int32_t last = RecordedChannels(m) - 1;
  WaveLibraryEntry* e = m.SampleEntry;
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
  if (m.FramesRecorded >= m.SampleFrames) m.RecordDone = -1;
  if (m.RecordDone != 0) FinishSampleRecording(m);
  return x;
}

void FinishSampleRecording(ModuleRecord& m) {
  WaveLibraryEntry* e = m.SampleEntry;
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
      e->Duration = 0.0f;
      e->State = kWaveIdle;
    }
    m.SampleEntry = nullptr;
    m.SampleData = nullptr;
    m.SampleFrames = 0;
    m.OutputChannels = 1;
    ModuleResetVoices(m);
    m.ModuleSwitches[kSwitchRecord] = 0;
    m.RecordDone = 0;
    SampleRecordingDiscarded(e);
    return;
  }
  if (frames < m.SampleFrames) {
    // Stopped early: the sound ends where the recording stopped.
    m.SampleFrames = frames;
    if (e != nullptr) {
      e->Sound.dataSize = static_cast<uint32_t>(frames) * static_cast<uint32_t>(channels) * 4u;
      e->Sound.frameCount = static_cast<uint32_t>(frames);
      e->Duration = static_cast<float>(frames) / rate;
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
    std::memset(static_cast<void*>(RecordingSpectrum), 0, sizeof(RecordingSpectrum));
    const int32_t r = frames > 0 ? DetectSamplePitchInto(e, 0, RecordingSpectrum) : -1;
    const int32_t length = m.SampleFrames;
    if (r == 0) {
      const double d = 4.0 * static_cast<double>(length) * static_cast<double>(e->Pitch[0]);
      if (d > 0.0) m.SampleStep = static_cast<float>(static_cast<double>(rate) / d);
    } else {
      e->Pitch[0] = length > 0 ? 4.0f / static_cast<float>(length) : 0.0f;
    }
    ModuleSetParamValue(m, kSampleFrequency, e->Pitch[0] * FrequencyNorm);
    RefreshParamControl(&m);
    e->State = kWaveIdle;
  }
  ModuleResetVoices(m);
  m.ModuleSwitches[kSwitchRecord] = 0;
  m.RecordDone = 0;
  m.ModuleSwitches[kSwitchPower] = -1;
  m.ModuleSwitches[kSwitchPlay] = -1;
  if (SampleListChanged != nullptr) SampleListChanged();
}

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
    m->ActiveVoices = voices;
    return;
  }
  const ModuleRecord* owner = m->TriggerOwner;
  const int32_t channels = KernelChannels(*m);
  for (int32_t ch = 0; ch < channels; ++ch) {
    const PortCursor bias = OpenPlain(*m, kSampleBias, ch);
    const PortCursor amplitude = OpenScaled(*m, kSampleAmplitude, ch);
    const PortCursor frequency = OpenPlain(*m, kSampleFrequency, ch);
    const PortCursor phase = OpenPlain(*m, kSamplePhase, ch);
    const PortCursor period = OpenPlain(*m, kSamplePeriod, ch);
    for (int32_t v = 0; v < voices; ++v) {
      const int32_t w = VoiceIdAt(owner, v);
      float y = SampleInterpolate(*m, &m->VoiceState[ch][w], ch, w, v, bias(v), amplitude(v), frequency(v),
                                  phase(v), period(v));
      y = ClipValue(y, m->ClipFlag);
      m->Outputs[ch][v] = OutputElement{y, y};
    }
  }
  m->ActiveVoices = voices;
}

void ProcessSampleMono(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const int32_t voices = KernelVoices(*m);
  const bool recording = Recording(*m);
  const int32_t lead = LeadPort(*m);
  const ModuleRecord* owner = PortTriggerOwner(*m, lead);
  // Voices are averaged, unless an envelope drives the amplitude or the
  // voices come from a chain that publishes per voice: then they are weighted.
  const bool weighted = m->PortSources[kSampleAmplitude]->ModuleSwitches[kSwitchEnvelope] != 0 ||
                        m->PortSources[lead]->PerVoiceOutput != 0;
  const int32_t channels = recording ? RecordedChannels(*m) : KernelChannels(*m);
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
        sum = sum + SampleInterpolate(*m, &m->VoiceState[ch][w], ch, w, v, bias(v), a, frequency(v), phase(v),
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

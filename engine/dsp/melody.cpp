#include "engine/dsp/melody.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/state/wave_library.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/control_common.h"
#include "engine/dsp/sequencer.h"
#include "engine/dsp/settings.h"
#include "engine/tuning.h"

namespace Tarvelo {

namespace {

constexpr int32_t kNoteLengths = 5;
constexpr int32_t kNoteLengthSteps[kNoteLengths] = {1, 2, 4, 8, 16};
constexpr float kNoteLengthWeights[kNoteLengths] = {0.05f, 0.2f, 0.5f, 0.2f, 0.05f};
constexpr int32_t kHistory = 18;  // measures looked back
constexpr float kSelfInfluenceWeights[kHistory] = {1.0f,    0.667f,  0.444f,  0.296f,  0.1975f, 0.1317f,
                                                   0.0878f, 0.0585f, 0.039f,  0.026f,  0.0173f, 0.0116f,
                                                   0.0077f, 0.0051f, 0.0034f, 0.0023f, 0.0015f, 0.001f};
constexpr int32_t kRest = 99999;
constexpr int32_t kNoHistory = 100000;  // before the start of the buffer
constexpr int32_t kMaxCandidates = 2 * kTuningMaxKeys + 1;
constexpr int32_t kKeyLimit = 1 << 24;

inline float& State(ModuleRecord& m, int32_t slot) { return m.VoiceState[0][slot]; }

// The kernel is the flag's only writer: it reads its own word settled and
// stores it whole for the interface's readers (LOOP, the selection, the tick).
inline bool ReplayMode(const ModuleRecord& m) { return m.StateWord21.LoadSettled() != 0; }
inline void SetReplayMode(ModuleRecord& m) { m.StateWord21.Store(m.ModuleSwitches[kSwitchLoop].Load() != 0 ? -1 : 0); }

// The level the source of port p publishes on channel 0, voice 0.
inline float SourceLevel(const ModuleRecord& m, int32_t p) { return m.PortSources[p].LoadSettled()->Outputs[0][0].Level; }

inline void ClearVoiceState(ModuleRecord& m) { std::memset(m.VoiceState, 0, sizeof m.VoiceState); }

// one thread: value
struct MelodyBuffer {
  float* data;
  int32_t length;
};

inline MelodyBuffer BufferOf(const ModuleRecord& m) {
  if (m.WorkBuffers[0] == nullptr || m.WorkBufferSize <= 0) return MelodyBuffer{nullptr, 0};
  return MelodyBuffer{m.WorkBuffers[0], m.WorkBufferSize};
}

inline int32_t KeyOf(float x) { return WholeSetting(x, -kKeyLimit, kKeyLimit); }

// The octave of key k in a tuning of n keys.
inline int32_t OctaveOfKey(double k, int32_t n) {
  const double o = std::floor(k / static_cast<double>(n) + 0.000001);
  return static_cast<int32_t>(std::clamp(o, -static_cast<double>(kKeyLimit), static_cast<double>(kKeyLimit)));
}

inline float KeyFrequency(int32_t key) { return FrequencyNorm * TuningKeyFrequency(EngineTuning, key); }

// The melody the module records into, when one is attached and the recording
// switch is on.
inline bool Recording(const ModuleRecord& m) {
  return m.ModuleSwitches[kSwitchRecord].LoadSettled() != 0 && m.SampleEntry.LoadSettled() != nullptr && m.SampleData != nullptr;
}

// The notes the attached entry's data has room for.
inline int32_t MelodyRoom(const ModuleRecord& m) {
  const int64_t floats = static_cast<int64_t>(m.SampleEntry.LoadSettled()->Sound.dataSize / 4u);
  if (floats < kMelodyHead) return -1;
  return static_cast<int32_t>(std::min<int64_t>((floats - kMelodyHead) / kMelodyNoteFloats, INT32_MAX));
}

// Closes a phrase for replay: everything written since entry 0 is kept.
inline void ClosePhrase(ModuleRecord& m, int32_t writePosition) {
  SetMelodyInt(m, kMelPhraseLength, writePosition);
  SetMelodyInt(m, kMelWritePosition, 0);
  ClearVoiceState(m);
  m.MelodyRestart = -1;
}

// A stop asked while no phrase runs (no root, or waiting for a trigger):
// no phrase end would come to serve it, so the take ends at this frame.
inline void EndIdleTake(ModuleRecord& m) {
  if (m.RecordDone.Load() != 0) FinishMelodyRecording(m);
}

}  // namespace

int32_t MelodyInt(const ModuleRecord& m, int32_t slot) { return IntField(m.AuxVoiceState[0][slot]); }

void SetMelodyInt(ModuleRecord& m, int32_t slot, int32_t value) { SetIntField(m.AuxVoiceState[0][slot], value); }

void NormaliseSlice(int32_t start, int32_t count, float* weights) {
  float sum = 0.0f;
  for (int32_t i = 0; i < count; ++i) sum = sum + weights[start + i];
  for (int32_t i = 0; i < count; ++i) weights[start + i] = weights[start + i] / sum;
}

int32_t PickByWeight(int32_t start, int32_t count, float x, const float* weights) {
  float sum = 0.0f;
  for (int32_t i = 0; i < count; ++i) {
    sum = sum + weights[start + i];
    if (sum > x) return i;
  }
  return count - 1;
}

namespace {

// A note just set starts what the last one ran over (over, at most a frame's
// steps) early; a note shorter than that keeps its whole length.
inline void CarryOver(float& countdown, float& rest, double over) {
  const double left = static_cast<double>(countdown) + over;
  if (!(countdown > 0.0f) || !(over < 0.0) || !(left > 0.0)) {
    rest = 0.0f;
    return;
  }
  countdown = static_cast<float>(left);
  rest = static_cast<float>(left - static_cast<double>(countdown));
}

}  // namespace

void ProcessMelodyGenerator(ModuleRecord* m, uint64_t, int32_t, int32_t) {
  const MelodyBuffer b = BufferOf(*m);
  m->VoiceIds[0] = 0;
  if (b.data == nullptr) {
    m->ActiveVoices.Store(0);
    m->Outputs[0][0] = OutputElement{0.0f, 0.0f};
    return;
  }
  // After a reset the buffer is empty: start from nothing, waiting for a root.
  if (m->MelodyRestart != 0 && b.data[0] == 0.0f) {
    ClearVoiceState(*m);
    std::memset(m->AuxVoiceState, 0, sizeof m->AuxVoiceState);
    m->StateWord21.Store(0);
  }

  // The lowest non-zero input frequency is the root; a new one is a trigger.
  const ModuleRecord* fs = m->PortSources[kMelFrequency].LoadSettled();
  if (fs->Role == kRoleLive && fs->ActiveVoices.LoadSettled() >= 1) {
    const int32_t n = std::min(fs->ActiveVoices.LoadSettled(), kVoices);
    const PortCursor input = OpenPlain(*m, kMelFrequency, 0);
    float lowest = 1.0f;
    for (int32_t v = 0; v < n; ++v) {
      const float f = input(v);
      if (f != 0.0f && f < lowest) lowest = f;
    }
    if (lowest < 1.0f && lowest != State(*m, kMelLastInput)) {
      SetMelodyInt(*m, kMelRootKey, TuningFrequencyToNote(EngineTuning, lowest * RateQuarter));
      State(*m, kMelLastInput) = lowest;
      m->GateWasOpen = -1;
    }
  }

  if (MelodyInt(*m, kMelRootKey) == 0) {
    EndIdleTake(*m);
  } else {
    // The countdown is countdown + rest: one float alone cannot take a
    // frame's part of a step from a note's steps (notes at 8 steps a second
    // ran 0.6 % short), and a new note carries what the last one ran over,
    // so the notes keep the tempo however long the melody plays.
    float& countdown = State(*m, kMelCountdown);
    float& rest = m->VoiceStateRest[0][kMelCountdown];
    rest = KeptRest(countdown, rest);
    if (countdown > 0.0f) {
      float tempo = std::fabs(SourceLevel(*m, kMelTempo));
      if (!std::isfinite(tempo)) tempo = 0.0f;
      const float d = rest - tempo;
      const float left = countdown + d;
      rest = d - (left - countdown);
      countdown = left;
    }
    if (!(countdown > 0.0f)) {
      const double over = static_cast<double>(countdown) + static_cast<double>(rest);
      if (!ReplayMode(*m)) ComposeMelodyStep(*m);
      if (ReplayMode(*m)) ReplayMelodyStep(*m);
      CarryOver(countdown, rest, over);
    }
  }

  float& frequency = State(*m, kMelNoteFrequency);
  if (frequency == 0.0f) {
    m->ActiveVoices.Store(0);
    m->Outputs[0][0] = OutputElement{0.0f, 0.0f};
  } else {
    m->ActiveVoices.Store(1);
    if (State(*m, kMelCountdown) > State(*m, kMelNoteOffPoint)) {
      m->Outputs[0][0] = OutputElement{1.0f, frequency};
    } else {
      frequency = 0.0f;
      m->Outputs[0][0] = OutputElement{0.0f, 0.0f};
    }
  }
}

void ComposeMelodyStep(ModuleRecord& m) {
  const MelodyBuffer b = BufferOf(m);
  if (b.data == nullptr) return;
  const int32_t steps = WholeSetting(4.0f * SettingRead(m, kMelBeats, 0), 1, kKeyLimit);

  // Phrase bookkeeping.
  bool start = false;
  if (m.MelodyRestart != 0) {
    if (m.GateWasOpen == 0) {  // waiting for a trigger
      EndIdleTake(m);
      return;
    }
    m.MelodyRestart = 0;
    m.GateWasOpen = 0;
    SetMelodyInt(m, kMelWritePosition, 0);
    SetMelodyInt(m, kMelPhraseLength, 0);
    start = true;
  } else if (State(m, kMelMeasureStep) >= static_cast<float>(steps)) {
    const int32_t phrase = WholeSetting(SettingRead(m, kMelMeasures, 0), -1, kKeyLimit);
    State(m, kMelMeasureStep) = 0.0f;
    State(m, kMelMeasureCount) += 1.0f;
    const bool ends = (phrase == 0 && m.GateWasOpen != 0) ||
                      (phrase > 0 && State(m, kMelMeasureCount) >= static_cast<float>(phrase));
    if (ends) {
      State(m, kMelMeasureCount) = 0.0f;
      if (m.RecordDone.Load() != 0) FinishMelodyRecording(m);
      SetReplayMode(m);
      if (ReplayMode(m)) {
        ClosePhrase(m, MelodyInt(m, kMelWritePosition));
        return;
      }
      start = true;
    }
    m.GateWasOpen = 0;
  }

  const int32_t write = std::clamp(MelodyInt(m, kMelWritePosition), 0, b.length);
  // What sounded at this place in each of the last 18 measures.
  int32_t history[kHistory + 1];
  for (int32_t k = 1; k <= kHistory; ++k) {
    const int64_t i = static_cast<int64_t>(write) - static_cast<int64_t>(k) * steps;
    history[k] = (i < 0 || i >= b.length) ? kNoHistory : KeyOf(b.data[i]);
  }

  const int32_t n = std::clamp(TuningGetNoteCount(EngineTuning), 1, kTuningMaxKeys);
  const int32_t lo = WholeSetting(SettingRead(m, kMelOctaveMin, 0), -1024, 1024);
  const int32_t hi =
      std::min(WholeSetting(static_cast<float>(lo) + SettingRead(m, kMelOctaves, 0) - 1.0f, -1024, 1024), 8);
  const float variability = std::fabs(SourceLevel(m, kMelVariability));
  const float remaining = std::nearbyint(static_cast<float>(steps) - State(m, kMelMeasureStep));

  // A key that left the octave range is moved back into it.
  float& current = State(m, kMelCurrentKey);
  int32_t octave = OctaveOfKey(static_cast<double>(current), n);
  if (octave < lo || octave > hi) {
    if (octave < lo) octave = lo;
    if (octave > hi) octave = hi;
    current = static_cast<float>(KeyOf(current) % n + n * octave);
  }

  // Length: only lengths that fit the rest of the measure.
  float lengthWeights[kNoteLengths];
  for (int32_t k = 0; k < kNoteLengths; ++k) {
    lengthWeights[k] = remaining < static_cast<float>(kNoteLengthSteps[k])
                           ? 0.0f
                           : (1.0f - variability) * kNoteLengthWeights[k] + variability;
  }
  const float lengthDraw = RandomUnit();
  NormaliseSlice(0, kNoteLengths, lengthWeights);
  const int32_t length = kNoteLengthSteps[PickByWeight(0, kNoteLengths, lengthDraw, lengthWeights)];

  // Pitch.
  float& frequency = State(m, kMelNoteFrequency);
  if (start) {
    current = static_cast<float>(MelodyInt(m, kMelRootKey));
    frequency = KeyFrequency(KeyOf(current));
  } else if (std::fabs(SourceLevel(m, kMelDensity)) < RandomUnit()) {
    frequency = 0.0f;  // a rest
  } else {
    const float harmony = SettingRead(m, kMelHarmony, 0);
    const float self = SettingRead(m, kMelSelfInfluence, 0);
    const float* consonance = EngineTuning.ConsonanceWeights;
    const int32_t pattern = MelodyScalePattern(m);  // the scale list changes it while playing
    float weights[kMaxCandidates];
    bool allowed = false;
    for (int32_t d = -n; d <= n; ++d) {
      float& w = weights[d + n];
      const int32_t key = KeyOf(current + static_cast<float>(d));
      const int32_t o = OctaveOfKey(static_cast<double>(key), n);
      if (o < lo || o > hi || TuningPatternHasKey(EngineTuning, key, pattern) == 0) {
        w = 0.0f;
        continue;
      }
      const float c = consonance != nullptr ? consonance[d >= 0 ? d : n + d] : 1.0f;
      float x = harmony * c + 1.0f - harmony;
      float seen = 0.0f;
      for (int32_t k = 1; k <= kHistory; ++k)
        if (history[k] == key || (d == 0 && history[k] == kRest)) seen = seen + kSelfInfluenceWeights[k - 1];
      x = (1.0f - self) * x + self * seen;
      w = x;
      allowed = true;
    }
    int32_t step = 0;
    if (allowed) {
      const float draw = RandomUnit();
      NormaliseSlice(0, 2 * n + 1, weights);
      step = PickByWeight(0, 2 * n + 1, draw, weights) - n;
    }
    current = current + static_cast<float>(step);
    frequency = KeyFrequency(KeyOf(current));
  }

  State(m, kMelCountdown) = static_cast<float>(length);
  State(m, kMelNoteOffPoint) = (1.0f - std::fabs(SourceLevel(m, kMelDuty))) * static_cast<float>(length);

  if (length + write < b.length) {
    const float value = static_cast<float>(frequency == 0.0f ? kRest : KeyOf(current));
    for (int32_t i = write; i < write + length; ++i) b.data[i] = value;
    SetMelodyInt(m, kMelWritePosition, write + length);
    State(m, kMelMeasureStep) += static_cast<float>(length);
    if (Recording(m)) RecordMelodyNote(m, 0);
  } else {
    // The buffer is full: the phrase closes as at a phrase end.
    ClosePhrase(m, write);
    SetReplayMode(m);
  }
}

void ReplayMelodyStep(ModuleRecord& m) {
  const MelodyBuffer b = BufferOf(m);
  if (b.data == nullptr) return;
  int32_t write = std::clamp(MelodyInt(m, kMelWritePosition), 0, b.length - 1);
  if (write >= MelodyInt(m, kMelPhraseLength)) {
    if (m.RecordDone.Load() != 0) FinishMelodyRecording(m);
    m.MelodyRestart = -1;
  }
  if (m.MelodyRestart != 0) {
    write = 0;
    ClearVoiceState(m);
    SetReplayMode(m);
    if (!ReplayMode(m)) {
      // Looping was switched off: silent until a new input frequency.
      SetMelodyInt(m, kMelWritePosition, 0);
      SetMelodyInt(m, kMelRootKey, 0);
      return;
    }
    m.MelodyRestart = 0;
    m.GateWasOpen = 0;
  }

  float& current = State(m, kMelCurrentKey);
  current = b.data[write];
  float& frequency = State(m, kMelNoteFrequency);
  if (KeyOf(current) == kRest) {
    frequency = 0.0f;
  } else {
    // Entry 0 holds the root the kept notes began on: they move to the present root.
    const float shift = std::nearbyint(static_cast<float>(MelodyInt(m, kMelRootKey)) - b.data[0]);
    frequency = KeyFrequency(KeyOf(shift + current));
  }
  int32_t count = 0;
  for (int32_t i = write; i < b.length && b.data[i] == current; ++i) ++count;
  write += count;
  if (write >= b.length) write -= b.length;
  SetMelodyInt(m, kMelWritePosition, write);

  State(m, kMelCountdown) = static_cast<float>(count);
  State(m, kMelNoteOffPoint) = (1.0f - std::fabs(SourceLevel(m, kMelDuty))) * static_cast<float>(count);
  m.GateWasOpen = 0;
  if (Recording(m)) RecordMelodyNote(m, 0);
}

void RecordMelodyNote(ModuleRecord& m, int64_t finish) {
  if (m.SampleEntry.LoadSettled() == nullptr || m.SampleData == nullptr) return;
  float* data = m.SampleData;
  const int32_t room = MelodyRoom(m);
  if (room < 0) return;
  const int32_t limit = std::min(kMelodyMaxNotes, room);
  const int32_t notes = WholeSetting(data[kMelodyNoteCount], 0, room);
  if (notes >= limit) {
    m.RecordDone.Store(-1);
    finish = -1;
  }
  if (m.RecordDone.Load() != 0 && finish != 0) {
    FinishMelodyRecording(m);
    return;
  }
  const float countdown = State(m, kMelCountdown);
  const int32_t position = MelodyInt(m, kMelRecordPosition);
  const float frequency = State(m, kMelNoteFrequency);
  if (frequency != 0.0f) {
    // Times in beats: a step is a quarter beat.
    float* note = data + kMelodyHead + kMelodyNoteFloats * notes;
    note[0] = countdown / 4.0f;
    note[1] = frequency;
    note[2] = 1.0f;
    note[3] = static_cast<float>(position) / 4.0f;
    data[kMelodyNoteCount] += 1.0f;
    data[kMelodyGroupCount] += 1.0f;
    data[kMelodyDurationSum] += countdown / 4.0f;
  }
  const double next = std::nearbyint(static_cast<double>(position) + static_cast<double>(countdown));
  SetMelodyInt(m, kMelRecordPosition, static_cast<int32_t>(std::clamp(next, 0.0, static_cast<double>(INT32_MAX))));
}

void FinishMelodyRecording(ModuleRecord& m) {
  WaveLibraryEntry* e = m.SampleEntry.LoadSettled();
  WaveLibraryEntry* discard = nullptr;
  float* data = m.SampleData;
  if (e != nullptr && data != nullptr && MelodyRoom(m) >= 0) {
    const float beats = static_cast<float>(MelodyInt(m, kMelRecordPosition)) * 0.25f;
    const int32_t notes = WholeSetting(data[kMelodyNoteCount], 0, MelodyRoom(m));
    e->Sound.dataSize = static_cast<uint32_t>((kMelodyNoteFloats * notes + kMelodyHead) * 4);
    data[kMelodyLength] = beats;
    data[kMelodyBeatFrequency] = 1.0f;
    e->Duration.Store(beats);
    e->Pitch[0] = FrequencyNorm;
    if (e->Sound.dataSize != 0 && beats > 0.0f && data[kMelodyNoteCount] > 0.0f)
      e->State.Store(kWaveIdle, std::memory_order_release);
    else
      discard = e;
  }
  m.SampleEntry.Store(nullptr);
  m.SampleData = nullptr;
  SetMelodyInt(m, kMelRecordPosition, 0);
  // The request is cleared after the switch, with release: a stop the page
  // asks on seeing it cleared finds the switch off and takes its ask back.
  m.ModuleSwitches[kSwitchRecord].Store(0);
  m.RecordDone.Store(0, std::memory_order_release);
  MelodyRecordingFinished(discard);
}

void BeginMelodyGeneratorRecording(ModuleRecord& m, WaveLibraryEntry* entry) {
  m.SampleData = entry != nullptr ? entry->Sound.samples : nullptr;
  m.SampleEntry.Store(entry);
  SetMelodyInt(m, kMelRecordPosition, 0);
  m.ModuleSwitches[kSwitchRecord].Store(entry != nullptr ? -1 : 0);
}

}  // namespace Tarvelo

#include "engine/dsp/adsr.h"

#include <cmath>

#include "engine/dsp/contract.h"

namespace Tarvelo {

namespace {

struct Env {
  SequencerVoice& r;
  float& t;  // StageTime
  int32_t& held() { return r.State; }
  int32_t& stage() { return r.Index; }
  float& releaseStart() { return r.A[0]; }
  float& peak() { return r.B[0]; }
  float& sustainInput() { return r.C[0]; }
};

inline Env EnvOf(ModuleRecord& m, int32_t w) { return Env{m.SequencerVoices[w], m.VoiceState[0][w]}; }

// What every voice of a frame reads from the module's settings.
struct AdsrSettings {
  float length[5];     // stage s (1..4) lasts the set value of parameter s + 2, in seconds
  float sustain;       // the sustain port's set value
  bool sustainLive;    // the sustain port reads a live module: it modulates the level
  bool repeat;         // SW1: a finished envelope starts again while the note is held
  float attack;        // the attack length's value module level, for retriggers
  float retrigger;     // the retrigger factor's value module level
};

inline AdsrSettings SettingsOf(const ModuleRecord& m) {
  AdsrSettings s{};
  for (int32_t stage = 1; stage <= 4; ++stage) s.length[stage] = m.Params[stage + 2].Value;
  s.sustain = PortValueLevel(m, kAdsrSustain);
  s.sustainLive = m.PortSources[kAdsrSustain]->Role == kRoleLive;
  s.repeat = SwitchOn(m, kSwitch1);
  s.attack = PortValueLevel(m, kAdsrAttack);
  s.retrigger = PortValueLevel(m, kAdsrRetrigger);
  return s;
}

inline float SustainLevel(const AdsrSettings& s, float sustainInput) {
  if (!s.sustainLive) return s.sustain;
  return static_cast<float>(static_cast<double>(sustainInput) * static_cast<double>(s.sustain) * 0.5 +
                            static_cast<double>(s.sustain));
}

// Level published at the voice's position in the last frame.
inline float PublishedLevel(const ModuleRecord& m, const Env& e) {
  const int32_t pos = e.r.Position;
  return static_cast<uint32_t>(pos) < static_cast<uint32_t>(kVoiceColumns) ? m.Outputs[0][pos].Level : 0.0f;
}

inline void ReleaseFromPublished(const ModuleRecord& m, Env& e) {
  e.t = 0.0f;
  e.stage() = kAdsrReleasing;
  e.releaseStart() = PublishedLevel(m, e);
}

// Release on note end: only an attack, decay or sustain goes to release.
inline void NoteEnded(const ModuleRecord& m, Env& e) {
  const int32_t s = e.stage();
  if (s >= kAdsrAttacking && s <= kAdsrSustaining) ReleaseFromPublished(m, e);
  e.held() = 0;
}

// Start on note. Returns true when the attack started from idle.
inline bool NoteHeld(const ModuleRecord& m, const AdsrSettings& set, Env& e, float frequency, float velocity,
                     float sustain) {
  e.r.Frequency = frequency;
  e.peak() = velocity;
  e.sustainInput() = sustain;
  const int32_t stage = e.stage();
  bool fromIdle = false;
  const bool due = e.held() == 0 || (set.repeat && stage > kAdsrReleasing);
  if (due && (stage == kAdsrIdle || stage > kAdsrSustaining)) {
    float t = 0.0f;
    if (stage > kAdsrIdle) {
      // A retrigger resumes the attack where it meets the present level,
      // scaled by the retrigger factor.
      const float peak = e.peak();
      t = PublishedLevel(m, e);
      if (peak < t) t = peak;
      if (peak > 0.0f) t = t / peak;
      t = set.attack * t * set.retrigger;
    }
    fromIdle = stage == kAdsrIdle;
    e.t = t;
    e.stage() = kAdsrAttacking;
  }
  e.held() = 1;
  return fromIdle;
}

// Computes and publishes the level of a voice in stages 1 to 4 at position
// pos, then advances its time and stage. A stage of length 0 or less never
// ends by time; it holds the level it leads to instead of dividing by zero.
inline void StageStep(ModuleRecord& m, const AdsrSettings& set, Env& e, int32_t pos) {
  const int32_t stage = e.stage();
  const float length = set.length[stage];
  const float t = e.t;
  float level;
  switch (stage) {
    case kAdsrAttacking:
      level = length > 0.0f ? t * e.peak() / length : e.peak();
      break;
    case kAdsrDecaying: {
      const float s = SustainLevel(set, e.sustainInput());
      level = length > 0.0f ? (s - e.peak()) * t / length + e.peak() : s;
      break;
    }
    case kAdsrSustaining:
      level = SustainLevel(set, e.sustainInput());
      break;
    default:
      level = length > 0.0f ? -e.releaseStart() * t / length + e.releaseStart() : 0.0f;
      break;
  }
  // Capped at 1 (a NaN too); there is no lower bound and no clip flag.
  if (!(level <= 1.0f)) level = 1.0f;
  m.Outputs[0][pos] = OutputElement{level, e.r.Frequency};
  float next = t + RateInverse;
  if (next > length && length > 0.0f) {
    next = 0.0f;
    e.stage() = stage + 1;
    if (stage + 1 == kAdsrReleasing) e.releaseStart() = level;
  }
  e.t = next;
}

// Stage 5: the voice's outputs go silent once, then it is silent.
inline void EndStep(ModuleRecord& m, Env& e, int32_t pos) {
  m.Outputs[0][pos] = OutputElement{0.0f, 0.0f};
  m.Outputs[1][pos] = OutputElement{0.0f, 0.0f};
  e.stage() = kAdsrSilent;
}

inline bool Sounding(int32_t stage) { return stage >= kAdsrAttacking && stage <= kAdsrReleasing; }

// The voices stay as they were: the module's positions hold the owner's voice
// ids in the same order, each published at its position last frame, all in
// stages 1 to 5, and no input is the module's own output. Then the keep pass
// keeps every voice where it is, no note appends one, and a voice's note step
// reads only its own position's output, which no earlier voice's stage step
// writes: one pass per voice, note then stage, takes the same steps.
bool VoicesSteady(const ModuleRecord& m, const ModuleRecord* owner, int32_t voices) {
  if (voices <= 0 || m.ActiveVoices != voices || m.PortSources[kAdsrFrequency] == &m ||
      m.PortSources[kAdsrVelocity] == &m || m.PortSources[kAdsrSustain] == &m)
    return false;
  bool steady = true;
  for (int32_t i = 0; i < voices; ++i) {
    const int32_t w = m.VoiceIds[i];
    const bool inRange = static_cast<uint32_t>(w) < static_cast<uint32_t>(kVoices);
    const SequencerVoice& r = m.SequencerVoices[inRange ? w : 0];
    steady &= inRange && owner->VoiceIds[i] == w && r.Position == i && r.Index >= kAdsrAttacking &&
              r.Index <= kAdsrEnded;
  }
  return steady;
}

// The three passes of ProcessAdsrPoly in one when VoicesSteady holds.
void SteadyPass(ModuleRecord& m, ModuleRecord* owner, const AdsrSettings& set, int32_t voices, int32_t parity) {
  const PortCursor frequency = OpenPlain(m, kAdsrFrequency, 0);
  const PortCursor velocities = OpenPlain(m, kAdsrVelocity, 0);
  const PortCursor sustains = OpenPlain(m, kAdsrSustain, 0);
  for (int32_t i = 0; i < voices; ++i) {
    const int32_t w = m.VoiceIds[i];
    const float f = frequency(i);
    Env e = EnvOf(m, w);
    if (f == 0.0f)
      NoteEnded(m, e);
    else
      NoteHeld(m, set, e, f, velocities(i), sustains(i));
    const int32_t stage = e.stage();
    if (Sounding(stage)) {
      MarkVoice(*owner, parity, w);
      MarkVoice(m, parity, w);
      StageStep(m, set, e, i);
    } else if (stage == kAdsrEnded) {
      EndStep(m, e, i);
    }
  }
  // The note pass leaves the last voice id one past the voices.
  m.VoiceIds[voices] = m.VoiceIds[voices - 1];
  m.GateWasOpen = -1;
}

// The steady pass when every voice is held in a sustain that does not end by
// time (length 0 or less, the usual held note) and no note starts again: per
// voice the note's values are taken, the voice is marked and the sustain
// level published, and its stage time grows. False (nothing written) when any
// voice is elsewhere or its note ended.
// It also proves VoicesSteady (a sustaining voice is in stages 1 to 5), in
// the same single look at each voice.
bool SustainPass(ModuleRecord& m, ModuleRecord* owner, const AdsrSettings& set, int32_t voices, int32_t parity) {
  if (set.repeat || set.length[kAdsrSustaining] > 0.0f) return false;
  if (voices <= 0 || m.ActiveVoices != voices || m.PortSources[kAdsrFrequency] == &m ||
      m.PortSources[kAdsrVelocity] == &m || m.PortSources[kAdsrSustain] == &m)
    return false;
  const PortCursor frequency = OpenPlain(m, kAdsrFrequency, 0);
  const int32_t* ids = m.VoiceIds;
  const int32_t* ownerIds = owner->VoiceIds;
  SequencerVoice* records = m.SequencerVoices;
  // Integer reductions over rows, which the compiler vectorizes, then one
  // look at each voice's record.
  alignas(32) float notes[kVoices];
  ReadRow(frequency, voices, notes);
  int32_t differ = 0;
  for (int32_t i = 0; i < voices; ++i)
    differ |= (ids[i] ^ ownerIds[i]) | (ids[i] & ~(kVoices - 1)) | static_cast<int32_t>(notes[i] == 0.0f);
  if (differ != 0) return false;
  for (int32_t i = 0; i < voices; ++i) {
    const SequencerVoice& r = records[ids[i]];
    differ |= (r.Position ^ i) | (r.Index ^ kAdsrSustaining);
  }
  if (differ != 0) return false;
  const PortCursor velocities = OpenPlain(m, kAdsrVelocity, 0);
  const PortCursor sustains = OpenPlain(m, kAdsrSustain, 0);
  uint32_t* ownerMarks = owner->TriggerBuffers[parity & 1];
  uint32_t* ownMarks = m.TriggerBuffers[parity & 1];
  float* times = m.VoiceState[0];
  OutputElement* out = m.Outputs[0];
  const float step = RateInverse;
  const float shared = set.sustain;
  const bool live = set.sustainLive;
  for (int32_t i = 0; i < voices; ++i) {
    const int32_t w = ids[i];
    SequencerVoice& r = records[w];
    const float f = notes[i];
    const float sustain = sustains(i);
    r.Frequency = f;
    r.B[0] = velocities(i);
    r.C[0] = sustain;
    r.State = 1;
    ownerMarks[w] = kVoiceMark;
    ownMarks[w] = kVoiceMark;
    float level = live ? SustainLevel(set, sustain) : shared;
    if (!(level <= 1.0f)) level = 1.0f;
    out[i] = OutputElement{level, f};
    times[w] = times[w] + step;
  }
  m.VoiceIds[voices] = m.VoiceIds[voices - 1];
  m.GateWasOpen = -1;
  return true;
}

}  // namespace

void ProcessAdsrMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  ModuleRecord* owner = m->PortSources[kAdsrFrequency]->TriggerOwner;
  const AdsrSettings set = SettingsOf(*m);
  Env e = EnvOf(*m, 0);
  if (m->VoicesToCompute <= 0) {
    if (m->ActiveVoices >= 1 && m->GateWasOpen != 0) {
      if (e.stage() < kAdsrReleasing) ReleaseFromPublished(*m, e);
      m->GateWasOpen = 0;
      m->ActiveVoices = 1;
      e.held() = 0;
    } else if (e.stage() > kAdsrReleasing && !VoiceMarked(*owner, previousParity, 0)) {
      m->ActiveVoices = 0;
      e.releaseStart() = 0.0f;
    }
  } else {
    const float f = PlainRead(*m, kAdsrFrequency, 0, 0);
    m->VoiceIds[0] = 0;
    if (f == 0.0f) {
      NoteEnded(*m, e);
    } else {
      NoteHeld(*m, set, e, f, std::fabs(PlainRead(*m, kAdsrVelocity, 0, 0)), PlainRead(*m, kAdsrSustain, 0, 0));
    }
    m->GateWasOpen = -1;
    m->ActiveVoices = 1;
  }
  const int32_t stage = e.stage();
  if (Sounding(stage)) {
    MarkVoice(*owner, parity, 0);
    MarkVoice(*m, parity, 0);
    StageStep(*m, set, e, 0);
  } else if (stage == kAdsrEnded) {
    EndStep(*m, e, 0);
  }
}

void ProcessAdsrPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  ModuleRecord* owner = m->PortSources[kAdsrFrequency]->TriggerOwner;
  const AdsrSettings set = SettingsOf(*m);
  int32_t* ids = m->VoiceIds;
  if (m->VoicesToCompute > 0) {
    const int32_t voices = KernelVoices(*m);
    if (SustainPass(*m, owner, set, voices, parity)) return;
    if (VoicesSteady(*m, owner, voices)) {
      SteadyPass(*m, owner, set, voices, parity);
      return;
    }
  }

  // Keep pass: a voice that is not sounding stays only while its owner's
  // voice is still kept alive by someone.
  int32_t n = 0;
  int32_t active = m->ActiveVoices;
  if (active > kVoices) active = kVoices;
  for (int32_t i = 0; i < active; ++i) {
    const int32_t w = VoiceIdAt(m, i);
    Env e = EnvOf(*m, w);
    const int32_t stage = e.stage();
    if ((stage >= kAdsrAttacking && stage <= kAdsrEnded) || VoiceMarked(*owner, previousParity, w)) {
      ids[n++] = w;
    } else {
      e.stage() = kAdsrIdle;
      e.releaseStart() = 0.0f;
    }
  }

  if (m->VoicesToCompute <= 0) {
    if (n >= 1 && m->GateWasOpen != 0) {
      for (int32_t i = 0; i < n; ++i) {
        Env e = EnvOf(*m, ids[i]);
        if (e.stage() < kAdsrReleasing) ReleaseFromPublished(*m, e);
        e.held() = 0;
      }
      m->GateWasOpen = 0;
    }
  } else {
    const int32_t voices = KernelVoices(*m);
    const PortCursor frequency = OpenPlain(*m, kAdsrFrequency, 0);
    const PortCursor velocities = OpenPlain(*m, kAdsrVelocity, 0);
    const PortCursor sustains = OpenPlain(*m, kAdsrSustain, 0);
    for (int32_t i = 0; i < voices; ++i) {
      const int32_t w = VoiceIdAt(owner, i);
      const float f = frequency(i);
      const float velocity = velocities(i);
      const float sustain = sustains(i);
      Env e = EnvOf(*m, w);
      ids[n] = w;
      if (f == 0.0f) {
        NoteEnded(*m, e);
      } else if (NoteHeld(*m, set, e, f, velocity, sustain) && n < kVoices) {
        n += 1;
      }
    }
    m->GateWasOpen = -1;
  }
  m->ActiveVoices = n;

  for (int32_t i = 0; i < n; ++i) {
    const int32_t w = VoiceIdAt(m, i);
    Env e = EnvOf(*m, w);
    e.r.Position = i;
    const int32_t stage = e.stage();
    if (Sounding(stage)) {
      MarkVoice(*owner, parity, w);
      MarkVoice(*m, parity, w);
      StageStep(*m, set, e, i);
    } else if (stage == kAdsrEnded) {
      EndStep(*m, e, i);
    }
  }
}

}  // namespace Tarvelo

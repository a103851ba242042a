#include "engine/dsp/adsr.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "engine/dsp/contract.h"
#include "engine/dsp/keyboards.h"
#include "engine/dsp/lanes8.h"

namespace Tarvelo {

namespace {

struct Env {
  SequencerVoice& r;
  float& t;     // StageTime
  float& rest;  // what the time holds beyond single precision, past kFineTime
  int32_t& held() { return r.State; }
  int32_t& stage() { return r.Index; }
  float& releaseStart() { return r.A[0]; }
  float& peak() { return r.B[0]; }
  float& sustainInput() { return r.C[0]; }
};

inline Env EnvOf(ModuleRecord& m, int32_t w) {
  return Env{m.SequencerVoices[w], m.VoiceState[0][w], m.VoiceStateRest[0][w]};
}

// From this stage time on, in a stage longer than it, a frame's length is
// added with the rest the float sum rounds off (kept in VoiceStateRest), as
// the float alone would stop the time at 512 s and run it 9 % fast past 64 s.
// Below it the float sum alone strays less than 0.4 ms at any usual rate and
// keeps its bits. The one-stage rows leave a frame with a voice past it
// (LongStage) to the rows of stages per voice, which take those sums.
constexpr float kFineTime = 0.5f;

// A stage time past kFineTime a frame later, its rest kept; a rest that does
// not fit the time (a reset or a load wrote it) is not taken.
inline float FineLater(float t, float& rest) {
  const float kept = KeptRest(t, rest);
  const float step = RateInverse + kept;
  const float later = t + step;
  rest = step - (later - t);
  return later;
}

// A stage of this length may reach kFineTime, and one of the first `voices`
// times of the row has.
template <int32_t kLanes>
[[gnu::always_inline]] inline bool LongStage(const float* times, int32_t voices, float length) {
  if (!(length > kFineTime)) return false;
  const Mask8 count = Mask8{} + voices;
  const Lanes8 fine = Splat8(kFineTime);
  Mask8 far = {};
  for (int32_t c = 0; c < kLanes / 8; ++c) {
    Mask8 lanes;
    std::memcpy(&lanes, kLaneNumbers + 8 * c, sizeof(lanes));
    far |= (Load8(times + 8 * c) >= fine) & (lanes < count);
  }
  return AnyLane(far);
}

// What every voice of a frame reads from the module's settings.
// one thread: value
struct AdsrSettings {
  float length[5];     // stage s (1..4) lasts the set value of parameter s + 2, in seconds
  float watch[5];      // a stage time past this may end the stage or reach kFineTime
  float sustain;       // the sustain port's set value
  bool sustainLive;    // the sustain port reads a live module: it modulates the level
  bool repeat;         // SW1: a finished envelope starts again while the note is held
  float attack;        // the attack length's value module level, for retriggers
  float retrigger;     // the retrigger factor's value module level
};

inline AdsrSettings SettingsOf(const ModuleRecord& m) {
  AdsrSettings s{};
  for (int32_t stage = 1; stage <= 4; ++stage) {
    const float length = m.Params[stage + 2].Value.LoadSettled();
    s.length[stage] = length;
    s.watch[stage] = length > kFineTime ? kFineTime : (length > 0.0f ? length : INFINITY);
  }
  s.sustain = PortValueLevel(m, kAdsrSustain);
  s.sustainLive = m.PortSources[kAdsrSustain].LoadSettled()->Role == kRoleLive;
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
  // One comparison in the usual frame: the stage goes on below kFineTime.
  if (!(next <= set.watch[stage])) {
    if (next > length && length > 0.0f) {
      next = 0.0f;
      e.stage() = stage + 1;
      if (stage + 1 == kAdsrReleasing) e.releaseStart() = level;
    } else if (t >= kFineTime && length > kFineTime) {
      next = FineLater(t, e.rest);
    }
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
  if (voices <= 0 || m.ActiveVoices.LoadSettled() != voices || m.PortSources[kAdsrFrequency].LoadSettled() == &m ||
      m.PortSources[kAdsrVelocity].LoadSettled() == &m || m.PortSources[kAdsrSustain].LoadSettled() == &m)
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

// Rows by voice position for the steady frames, copies of the voice records
// taken when the voices settle: the stage word (stage + 8 while the note is
// held), peak, release start, sustain input and frequency. The stage times
// stay in VoiceState[0] by voice id. Column 32 of the rows and the record's
// Adsr key say that the copies are armed: any reset of the module's state
// clears them, and every other path through the module disarms them first.
// Adsr also keeps the voice count armed for (plus 256 when the voice ids are
// the positions) and the set of voice ids as bits, and the proof of the
// usual frame: the publish stamp of the keyboard that gives the notes, the
// sustain input and, when the velocity is one value for every voice (a set
// or global value) rather than the keyboard's, that value as both sides of
// the element it is read from, under
// which every voice's note, velocity and sustain input were last found as
// the rows hold them, with every voice in one stage. Only the usual frame
// keeps it; every other path through the armed rows drops it.
constexpr float kRowsArmed = 1.0e6f;
constexpr float kEndedStage = static_cast<float>(kAdsrEnded);

inline float* StageRow(ModuleRecord& m) { return m.AuxVoiceState[0]; }
inline float* PeakRow(ModuleRecord& m) { return m.AuxVoiceState[1]; }
inline float* ReleaseRow(ModuleRecord& m) { return m.AuxVoiceState[2]; }
inline float* SustainRow(ModuleRecord& m) { return m.VoiceState[1]; }
inline float* FrequencyRow(ModuleRecord& m) { return m.VoiceState[2]; }
inline int32_t ArmedKey(const ModuleRecord& m) {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(&m) >> 4) | 1;
}

inline void Disarm(ModuleRecord& m) { m.Adsr.Key = 0; }

// An element's two sides as one word.
inline uint64_t PairBits(const OutputElement& e) {
  uint64_t b;
  std::memcpy(&b, &e, sizeof(b));
  return b;
}
inline void SetProof(ModuleRecord& m, uint32_t stamp, float sustainInput, bool velocitySet, float velocity) {
  AdsrRows& k = m.Adsr;
  k.Stamp = stamp;
  k.SustainInput = sustainInput;
  k.VelocitySet = velocitySet;
  k.VelocityPair = PairBits(OutputElement{velocity, velocity});
}
inline void DropProof(ModuleRecord& m) { m.Adsr.Stamp = 0; }

inline bool RowsArmed(const ModuleRecord& m, int32_t voices) {
  const AdsrRows& k = m.Adsr;
  return k.Key == ArmedKey(m) && (k.Voices & 255) == voices && m.AuxVoiceState[0][kVoices] == kRowsArmed &&
         m.VoiceState[1][kVoices] == kRowsArmed;
}

// Takes the rows from the records once VoicesSteady holds, when the voice
// ids are distinct and every voice is in stages 1 to 4. False (nothing armed)
// otherwise.
bool ArmRows(ModuleRecord& m, int32_t voices) {
  uint32_t seen = 0;
  bool inPlace = true;
  for (int32_t i = 0; i < voices; ++i) {
    const int32_t w = m.VoiceIds[i];
    const SequencerVoice& r = m.SequencerVoices[w];
    if ((seen >> w) & 1u || r.Index > kAdsrReleasing || (r.State != 0 && r.State != 1)) return false;
    seen |= 1u << w;
    inPlace = inPlace && w == i;
    StageRow(m)[i] = static_cast<float>(r.Index + 8 * r.State);
    PeakRow(m)[i] = r.B[0];
    ReleaseRow(m)[i] = r.A[0];
    SustainRow(m)[i] = r.C[0];
    FrequencyRow(m)[i] = r.Frequency;
  }
  AdsrRows& k = m.Adsr;
  k.Key = ArmedKey(m);
  k.Voices = voices | (inPlace ? 256 : 0);
  k.Ids = seen;
  DropProof(m);
  m.AuxVoiceState[0][kVoices] = kRowsArmed;
  m.VoiceState[1][kVoices] = kRowsArmed;
  return true;
}

inline uint32_t FloatBits(float x) { return std::bit_cast<uint32_t>(x); }

constexpr uint32_t kLaneBits[kVoices] = {
    1u << 0,  1u << 1,  1u << 2,  1u << 3,  1u << 4,  1u << 5,  1u << 6,  1u << 7,  1u << 8,  1u << 9,  1u << 10,
    1u << 11, 1u << 12, 1u << 13, 1u << 14, 1u << 15, 1u << 16, 1u << 17, 1u << 18, 1u << 19, 1u << 20, 1u << 21,
    1u << 22, 1u << 23, 1u << 24, 1u << 25, 1u << 26, 1u << 27, 1u << 28, 1u << 29, 1u << 30, 1u << 31};

// What the stage step of a frame reads and leaves, as rows over the lanes.
// one thread: value
struct LaneRows {
  const float* notes;
  const float* velocities;
  const float* sustains;
  float* stages;
  float* peaks;
  float* releases;
  float* sustainInputs;
  float* frequencies;
  float* t;
  float* levels;
};

// NoteHeld (a voice whose note is on is held: nothing starts) and StageStep
// of every lane, with the choices of the stage word kWord (stage + 8 when
// held) when every voice has it, or per lane when kWord is 0; kTimed 0 when
// the stage's length is 0 or less for every voice (it never ends by time), 1
// when it is more, 2 per lane. Returns the lanes whose stage ended, and sets
// changed when a voice's frequency, velocity or sustain input is not what its
// record holds (the rows then take them); kSame when they are known to be.
template <int32_t kLanes, bool kLive, int32_t kWord, int32_t kTimed, bool kSame = false>
[[gnu::always_inline]] inline int32_t StageLanes(const LaneRows& r, const AdsrSettings& set, int32_t voices,
                                                 uint32_t& changed) {
  constexpr bool kAny = kWord == 0;
  constexpr int32_t kStage = kWord & 7;
  constexpr bool kHeld = kWord >= 8;
  const float l1 = set.length[kAdsrAttacking];
  const float l2 = set.length[kAdsrDecaying];
  const float l3 = set.length[kAdsrSustaining];
  const float l4 = set.length[kAdsrReleasing];
  const float shared = set.sustain;
  const double sharedWide = static_cast<double>(set.sustain);
  const float step = RateInverse;
  int32_t ended = 0;
  uint32_t differ = 0;
  // Selects as blends of bits (masks of all ones or 0), which stay vector
  // operations.
  for (int32_t v = 0; v < kLanes; ++v) {
    const int32_t voice = LaneMask(v, voices);
    const float sw = r.stages[v];
    const float stage = kAny ? BlendLane(sw - 8.0f, sw, -static_cast<int32_t>(sw >= 8.0f)) : float{kStage};
    const int32_t on = kAny ? -static_cast<int32_t>(r.notes[v] != 0.0f) : (kHeld ? -1 : 0);
    const float peak = BlendLane(r.velocities[v], r.peaks[v], on);
    const float sustainInput = BlendLane(r.sustains[v], r.sustainInputs[v], on);
    if (!kSame && (kAny || kHeld)) {
      const float frequency = BlendLane(r.notes[v], r.frequencies[v], on);
      differ |= ((FloatBits(peak) ^ FloatBits(r.peaks[v])) | (FloatBits(frequency) ^ FloatBits(r.frequencies[v])) |
                 (FloatBits(sustainInput) ^ FloatBits(r.sustainInputs[v]))) &
                static_cast<uint32_t>(voice);
    }
    const int32_t s1 = kAny ? -static_cast<int32_t>(stage == 1.0f) : -static_cast<int32_t>(kStage == 1);
    const int32_t s2 = kAny ? -static_cast<int32_t>(stage == 2.0f) : -static_cast<int32_t>(kStage == 2);
    const int32_t s3 = kAny ? -static_cast<int32_t>(stage == 3.0f) : -static_cast<int32_t>(kStage == 3);
    const float release = r.releases[v];
    const float length = BlendLane(l1, BlendLane(l2, BlendLane(l3, l4, s3), s2), s1);
    const float time = r.t[v];
    const int32_t timed = kTimed == 2 ? -static_cast<int32_t>(length > 0.0f) : -kTimed;
    float s = shared;
    if (kLive && (kAny || kStage == 2 || kStage == 3))
      s = static_cast<float>(static_cast<double>(sustainInput) * sharedWide * 0.5 + sharedWide);
    float level;
    if (kAny) {
      const float attack = BlendLane(time * peak / length, peak, timed);
      const float decay = BlendLane((s - peak) * time / length + peak, s, timed);
      const float fall = BlendLane(-release * time / length + release, 0.0f, timed);
      level = BlendLane(attack, BlendLane(decay, BlendLane(s, fall, s3), s2), s1);
    } else if (kStage == 1) {
      level = kTimed == 0 ? peak : time * peak / length;
    } else if (kStage == 2) {
      level = kTimed == 0 ? s : (s - peak) * time / length + peak;
    } else if (kStage == 3) {
      level = s;
    } else {
      level = kTimed == 0 ? 0.0f : -release * time / length + release;
    }
    level = BlendLane(1.0f, level, -static_cast<int32_t>(!(level <= 1.0f)));
    r.levels[v] = level;
    const float later = time + step;
    if (kTimed == 0) {
      // A lane past the voices keeps its time: in place it is another id's.
      r.t[v] = BlendLane(later, time, voice);
    } else {
      const int32_t ends = -static_cast<int32_t>(later > length) & timed;
      ended |= ends & voice;
      r.t[v] = BlendLane(BlendLane(0.0f, later, ends), time, voice);
      r.stages[v] = BlendLane(sw + 1.0f, sw, ends);
      if (kAny || kStage == 3) r.releases[v] = BlendLane(level, release, ends & s3);
    }
  }
  if (!kSame && (kAny || kHeld) && differ != 0) {
    changed = differ;
    for (int32_t v = 0; v < kLanes; ++v) {
      const int32_t on = kAny ? -static_cast<int32_t>(r.notes[v] != 0.0f) : -1;
      r.peaks[v] = BlendLane(r.velocities[v], r.peaks[v], on);
      r.frequencies[v] = BlendLane(r.notes[v], r.frequencies[v], on);
      r.sustainInputs[v] = BlendLane(r.sustains[v], r.sustainInputs[v], on);
    }
  }
  return ended;
}

// StageLanes for one stage word, its length's sign chosen once.
template <int32_t kLanes, bool kLive, int32_t kWord, bool kSame = false>
[[gnu::always_inline]] inline int32_t WordLanes(const LaneRows& r, const AdsrSettings& set, int32_t voices,
                                                uint32_t& changed) {
  if (set.length[kWord & 7] > 0.0f) return StageLanes<kLanes, kLive, kWord, 1, kSame>(r, set, voices, changed);
  return StageLanes<kLanes, kLive, kWord, 0, kSame>(r, set, voices, changed);
}

// For the rows of stages per voice: each voice's plain time a frame later,
// and where it is past kFineTime in a stage longer than it (far), the time
// and rest StageStep takes instead. rests are the voices' own, by position.
template <int32_t kLanes>
[[gnu::always_inline]] inline void FineRows(const float* times, const float* rests, const float* stages,
                                            const AdsrSettings& set, int32_t voices, float* plain, float* fineTimes,
                                            float* fineRests, int32_t* far) {
  const float step = RateInverse;
  for (int32_t v = 0; v < kLanes; ++v) {
    const float t = times[v];
    const float sw = stages[v];
    const float stage = sw >= 8.0f ? sw - 8.0f : sw;
    const float length = stage == 1.0f   ? set.length[kAdsrAttacking]
                         : stage == 2.0f ? set.length[kAdsrDecaying]
                         : stage == 3.0f ? set.length[kAdsrSustaining]
                         : stage == 4.0f ? set.length[kAdsrReleasing]
                                         : 0.0f;
    plain[v] = t + step;
    // FineLater's steps.
    const float taken = KeptRest(t, rests[v]);
    const float fineStep = step + taken;
    const float later = t + fineStep;
    fineTimes[v] = later;
    fineRests[v] = fineStep - (later - t);
    far[v] = -static_cast<int32_t>(t >= kFineTime && length > kFineTime) & LaneMask(v, voices);
  }
}

// One armed frame over kLanes lanes: what SteadyPass does, side by side. A
// frame where a note ends or starts again on a voice (its frequency turned 0
// or non-zero since the last), or a voice reaches stage 5, is left to
// SteadyPass: false, nothing written. The rows and the records stay alike:
// a stage that ends, and a note's frequency, velocity or sustain input that
// changes, are written back to the records.
template <int32_t kLanes, bool kLive>
[[gnu::always_inline]] inline bool RowLanes(ModuleRecord& m, ModuleRecord* owner, const AdsrSettings& set,
                                            int32_t voices, int32_t parity) {
  const int32_t* ids = m.VoiceIds;
  const int32_t* ownerIds = owner->VoiceIds;
  float* stages = StageRow(m);
  alignas(32) float notes[kLanes];
  alignas(32) float velocities[kLanes];
  alignas(32) float sustains[kLanes];
  ReadLanes<kLanes>(OpenPlain(m, kAdsrFrequency, 0), notes);
  ReadLanes<kLanes>(OpenPlain(m, kAdsrVelocity, 0), velocities);
  ReadLanes<kLanes>(OpenPlain(m, kAdsrSustain, 0), sustains);
  float* peaks = PeakRow(m);
  float* sustainInputs = SustainRow(m);
  float* frequencies = FrequencyRow(m);
  // The usual frame in one integer reduction, which the compiler vectorizes:
  // the voices stay, all in one stage, every note on and its frequency,
  // velocity and sustain input as the records hold them.
  const uint32_t first = FloatBits(stages[0]);
  uint32_t any = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    any |= (static_cast<uint32_t>(ids[v] ^ ownerIds[v]) | (FloatBits(stages[v]) ^ first) |
            static_cast<uint32_t>(-static_cast<int32_t>(notes[v] == 0.0f)) |
            (FloatBits(notes[v]) ^ FloatBits(frequencies[v])) | (FloatBits(velocities[v]) ^ FloatBits(peaks[v])) |
            (FloatBits(sustains[v]) ^ FloatBits(sustainInputs[v]))) &
           static_cast<uint32_t>(LaneMask(v, voices));
  }
  int32_t word = static_cast<int32_t>(stages[0]);
  const bool same = any == 0 && word >= kAdsrAttacking + 8 && word <= kAdsrSustaining + 8;
  if (!same) {
    int32_t moved = 0;
    uint32_t mixed = 0;
    int32_t silent = 0;
    int32_t sounding = 0;
    for (int32_t v = 0; v < kLanes; ++v) {
      const int32_t voice = LaneMask(v, voices);
      moved |= (ids[v] ^ ownerIds[v]) & voice;
      mixed |= (FloatBits(stages[v]) ^ first) & static_cast<uint32_t>(voice);
      silent |= -static_cast<int32_t>(notes[v] == 0.0f) & voice;
      sounding |= -static_cast<int32_t>(notes[v] != 0.0f) & voice;
    }
    if (moved != 0) return false;
    int32_t event = 0;
    if (mixed == 0) {
      // One stage word: a note ending or starting shows as a frequency of 0
      // where the voice is held, or not 0 where it is not.
      if ((word & 7) == kAdsrEnded) return false;
      event = word >= 8 ? silent : sounding;
    } else {
      word = 0;
      for (int32_t v = 0; v < kLanes; ++v) {
        const float sw = stages[v];
        const bool held = sw >= 8.0f;
        const bool on = notes[v] != 0.0f;
        const bool ends = on != held || (held ? sw - 8.0f : sw) == kEndedStage;
        event |= -static_cast<int32_t>(ends) & LaneMask(v, voices);
      }
    }
    if (event != 0) return false;
  }

  alignas(32) float levels[kLanes];
  alignas(32) float gathered[kLanes];
  const bool inPlace = (m.Adsr.Voices & 256) != 0;
  float* times = m.VoiceState[0];
  if (!inPlace) {
    for (int32_t v = 0; v < kLanes; ++v) gathered[v] = 0.0f;
    for (int32_t v = 0; v < voices; ++v) gathered[v] = times[ids[v]];
  }
  // A voice past kFineTime in a stage longer than it: its time a frame later
  // as StageStep takes it, put in after the rows' step where its stage goes on.
  const float longest = std::fmax(std::fmax(set.length[kAdsrAttacking], set.length[kAdsrDecaying]),
                                  std::fmax(set.length[kAdsrSustaining], set.length[kAdsrReleasing]));
  const bool fine = LongStage<kLanes>(inPlace ? times : gathered, voices, longest);
  alignas(32) float plain[kLanes];
  alignas(32) float fineTimes[kLanes];
  alignas(32) float fineRests[kLanes];
  alignas(32) float keptRests[kLanes];
  alignas(32) int32_t far[kLanes];
  float* rests = m.VoiceStateRest[0];
  if (fine) [[unlikely]] {
    if (!inPlace) {
      for (int32_t v = 0; v < kLanes; ++v) keptRests[v] = 0.0f;
      for (int32_t v = 0; v < voices; ++v) keptRests[v] = rests[ids[v]];
    }
    FineRows<kLanes>(inPlace ? times : gathered, inPlace ? rests : keptRests, stages, set, voices, plain, fineTimes,
                     fineRests, far);
  }
  const LaneRows rows{notes,         velocities,  sustains, stages, peaks, ReleaseRow(m),
                      sustainInputs, frequencies, inPlace ? times : gathered, levels};
  uint32_t changed = 0;
  int32_t ended;
  if (same) {
    switch (word) {
      case kAdsrAttacking + 8:
        ended = WordLanes<kLanes, kLive, kAdsrAttacking + 8, true>(rows, set, voices, changed);
        break;
      case kAdsrDecaying + 8:
        ended = WordLanes<kLanes, kLive, kAdsrDecaying + 8, true>(rows, set, voices, changed);
        break;
      default:
        ended = WordLanes<kLanes, kLive, kAdsrSustaining + 8, true>(rows, set, voices, changed);
        break;
    }
  } else {
    switch (word) {
      case kAdsrAttacking + 8:
        ended = WordLanes<kLanes, kLive, kAdsrAttacking + 8>(rows, set, voices, changed);
        break;
      case kAdsrDecaying + 8:
        ended = WordLanes<kLanes, kLive, kAdsrDecaying + 8>(rows, set, voices, changed);
        break;
      case kAdsrSustaining + 8:
        ended = WordLanes<kLanes, kLive, kAdsrSustaining + 8>(rows, set, voices, changed);
        break;
      case kAdsrReleasing:
        ended = WordLanes<kLanes, kLive, kAdsrReleasing>(rows, set, voices, changed);
        break;
      case kAdsrReleasing + 8:
        ended = WordLanes<kLanes, kLive, kAdsrReleasing + 8>(rows, set, voices, changed);
        break;
      default:
        ended = StageLanes<kLanes, kLive, 0, 2>(rows, set, voices, changed);
        break;
    }
  }
  if (fine) [[unlikely]] {
    // Where the stage went on (the time is the plain one), the fine time.
    float* t = inPlace ? times : gathered;
    float* r = inPlace ? rests : keptRests;
    for (int32_t v = 0; v < kLanes; ++v) {
      const int32_t taken = far[v] & -static_cast<int32_t>(t[v] == plain[v]);
      t[v] = BlendLane(fineTimes[v], t[v], taken);
      r[v] = BlendLane(fineRests[v], r[v], taken);
    }
    if (!inPlace)
      for (int32_t v = 0; v < voices; ++v) rests[ids[v]] = keptRests[v];
  }
  if (!inPlace)
    for (int32_t v = 0; v < voices; ++v) times[ids[v]] = gathered[v];
  OutputElement* out = m.Outputs[0];
  for (int32_t v = 0; v < voices; ++v) out[v] = OutputElement{levels[v], frequencies[v]};
  SequencerVoice* records = m.SequencerVoices;
  if (ended != 0) {
    const float* releases = ReleaseRow(m);
    for (int32_t v = 0; v < voices; ++v) {
      SequencerVoice& r = records[ids[v]];
      const float sw = stages[v];
      r.Index = static_cast<int32_t>(sw >= 8.0f ? sw - 8.0f : sw);
      r.A[0] = releases[v];
    }
  }
  if (changed != 0) {
    for (int32_t v = 0; v < voices; ++v) {
      SequencerVoice& r = records[ids[v]];
      r.Frequency = frequencies[v];
      r.B[0] = peaks[v];
      r.C[0] = sustainInputs[v];
    }
  }
  // Every voice sounds: each id is marked in both buffers.
  uint32_t* ownerMarks = owner->TriggerBuffers[parity & 1];
  uint32_t* ownMarks = m.TriggerBuffers[parity & 1];
  if (inPlace) {
    for (int32_t w = 0; w < kLanes; ++w) ownerMarks[w] |= static_cast<uint32_t>(LaneMask(w, voices));
    for (int32_t w = 0; w < kLanes; ++w) ownMarks[w] |= static_cast<uint32_t>(LaneMask(w, voices));
  } else {
    const uint32_t marked = m.Adsr.Ids;
    for (int32_t w = 0; w < kVoices; ++w) {
      const uint32_t mark = (marked & kLaneBits[w]) != 0 ? kVoiceMark : 0u;
      ownerMarks[w] |= mark;
      ownMarks[w] |= mark;
    }
  }
  m.VoiceIds[voices] = m.VoiceIds[voices - 1];
  m.GateWasOpen = -1;
  return true;
}

// Marks ids 0 .. kLanes - 1 with plain stores written out, where a string
// store (what the compiler makes of a loop of stores) would start slowly.
template <int32_t kLanes>
[[gnu::always_inline]] inline void MarkLanes(uint32_t* t) {
#if defined(__SSE2__)
  const __m128i mark = _mm_set1_epi32(-1);
  for (int32_t i = 0; i < kLanes; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(t + i), mark);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(t + i + 4), mark);
    asm volatile("" ::: "memory");  // keeps the stores as they are
  }
#else
  for (int32_t i = 0; i < kLanes; ++i) t[i] = kVoiceMark;
#endif
}

// A lane's mask when every lane is a voice (kFull), or LaneMask.
template <bool kFull>
[[gnu::always_inline]] inline int32_t Lane(int32_t lane, int32_t voices) {
  return kFull ? -1 : LaneMask(lane, voices);
}

// Level and frequency rows into the published elements of kLanes voices.
template <int32_t kLanes>
[[gnu::always_inline]] inline void Publish(OutputElement* __restrict out, const float* __restrict levels,
                                           const float* __restrict frequencies) {
  for (int32_t v = 0; v < kLanes; ++v) out[v] = OutputElement{levels[v], frequencies[v]};
}

// Level and frequency rows into the published elements of voices 0 .. n - 1;
// the elements of the lanes past them stay as they are.
template <int32_t kLanes>
[[gnu::always_inline]] inline void Publish(OutputElement* __restrict out, const float* __restrict levels,
                                           const float* __restrict frequencies, int32_t n) {
  for (int32_t v = 0; v < kLanes; ++v) {
    const int32_t voice = LaneMask(v, n);
    out[v] = OutputElement{BlendLane(levels[v], out[v].Level, voice),
                           BlendLane(frequencies[v], out[v].Frequency, voice)};
  }
}

// The voices whose stage ended (ends[v] set; their time went back to 0) go
// on to the next stage; a sustain's end is where the release starts.
template <int32_t kStage>
inline void EndStages(ModuleRecord& m, const int32_t* ends, const float* levels, int32_t voices) {
  float* stages = StageRow(m);
  float* releases = ReleaseRow(m);
  for (int32_t v = 0; v < voices; ++v) {
    if (ends[v] == 0) continue;
    stages[v] = static_cast<float>(kStage + 8 + 1);
    if (kStage == kAdsrSustaining) releases[v] = levels[v];
    SequencerVoice& r = m.SequencerVoices[v];
    r.Index = kStage + 1;
    if (kStage == kAdsrSustaining) r.A[0] = levels[v];
  }
}

// What the usual frame reads as one value for every voice: the sustain's
// set value and its input, and the velocity when it is not the keyboard's
// (byVoice 0; -1 when every voice reads its own from the keyboard).
// one thread: value
struct OneValues {
  float sustain;
  float sustainInput;
  float velocity;
  int32_t byVoice;
};

// The usual frame of held notes: every voice held in stage kStage (attack,
// decay or sustain) and, with the sustain port not live and the voice ids the
// positions, each voice's note, velocity and sustain input as its record
// holds them. The stage step of every voice side by side; false (nothing
// written) when that does not hold. Where it holds, it leaves the proof in
// the record's Adsr that lets ProvenPass take the next frames without looking.
template <int32_t kLanes, int32_t kStage, bool kTimed, bool kSustainRow, bool kFull>
[[gnu::always_inline]] inline bool SameLanes(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity,
                                             float length, const OneValues& one) {
  // The notes (and the velocities, by voice) are the two sides of one
  // source's elements, read whole (no float past the row). A value read here
  // is compared with the record's bit for bit before it is used.
  const float sustain = one.sustain;
  const float sustainInput = one.sustainInput;
  const ModuleRecord* source = m.PortSources[kAdsrFrequency].LoadSettled();
  const OutputElement* notes = source->Outputs[0];
  const OutputElement* sustainRow = m.PortSources[kAdsrSustain].LoadSettled()->Outputs[0];
  const bool sustainSide = m.Params[kAdsrSustain].OutputSide.LoadSettled() == 1;
  const int32_t* ids = m.VoiceIds;
  const int32_t* ownerIds = owner->VoiceIds;
  float* stages = StageRow(m);
  const float* peaks = PeakRow(m);
  const float* sustainInputs = SustainRow(m);
  const float* frequencies = FrequencyRow(m);
  const uint32_t word = FloatBits(static_cast<float>(kStage + 8));
  alignas(32) float published[kLanes];
  alignas(32) float velocities[kLanes];
  uint32_t any = 0;
  for (int32_t v = 0; v < kLanes; ++v) {
    const OutputElement e = notes[v];
    const float y = kSustainRow ? (sustainSide ? sustainRow[v].Frequency : sustainRow[v].Level) : sustainInput;
    const float velocity = BlendLane(e.Level, one.velocity, one.byVoice);
    published[v] = e.Frequency;
    if (kStage != kAdsrSustaining) velocities[v] = velocity;
    any |= (static_cast<uint32_t>(ids[v] ^ ownerIds[v]) | (FloatBits(stages[v]) ^ word) |
            static_cast<uint32_t>(-static_cast<int32_t>(e.Frequency == 0.0f)) |
            (FloatBits(e.Frequency) ^ FloatBits(frequencies[v])) | (FloatBits(velocity) ^ FloatBits(peaks[v])) |
            (FloatBits(y) ^ FloatBits(sustainInputs[v]))) &
           static_cast<uint32_t>(Lane<kFull>(v, voices));
  }
  if (any != 0) return false;
  float* times = m.VoiceState[0];
  const float step = RateInverse;
  alignas(32) float levels[kLanes];
  alignas(32) int32_t ends[kLanes];
  int32_t ended = 0;
  // The sustain level is every voice's, capped at 1 (a NaN too).
  const float held = !(sustain <= 1.0f) ? 1.0f : sustain;
  if constexpr (kStage == kAdsrSustaining && !kTimed) {
    // Only the stage times move.
    for (int32_t v = 0; v < kLanes; ++v)
      times[v] = kFull ? times[v] + step : BlendLane(times[v] + step, times[v], Lane<kFull>(v, voices));
    for (int32_t v = 0; v < kLanes; ++v) levels[v] = held;
  } else {
    for (int32_t v = 0; v < kLanes; ++v) {
      const int32_t voice = Lane<kFull>(v, voices);
      const float time = times[v];
      float level = held;
      if constexpr (kStage == kAdsrAttacking) {
        const float peak = velocities[v];
        level = kTimed ? time * peak / length : peak;
      } else if constexpr (kStage == kAdsrDecaying) {
        const float peak = velocities[v];
        level = kTimed ? (sustain - peak) * time / length + peak : sustain;
      }
      if constexpr (kStage != kAdsrSustaining)
        level = BlendLane(1.0f, level, -static_cast<int32_t>(!(level <= 1.0f)));
      levels[v] = level;
      const float later = time + step;
      float next = later;
      if (kTimed) {
        ends[v] = -static_cast<int32_t>(later > length) & voice;
        ended |= ends[v];
        next = BlendLane(0.0f, later, ends[v]);
      }
      times[v] = kFull ? next : BlendLane(next, time, voice);
    }
  }
  if (kFull) {
    Publish<kLanes>(m.Outputs[0], levels, published);
  } else {
    Publish<kLanes>(m.Outputs[0], levels, published, voices);
  }
  if (kTimed && ended != 0) {
    EndStages<kStage>(m, ends, levels, voices);
    // The voices are no longer in one stage.
    DropProof(m);
  } else {
    // The inputs were found as the rows hold them: while the keyboard that
    // gives the notes (and owns the voices, and may give the velocities)
    // publishes nothing new and the sustain input and a velocity set as one
    // value, one element each, stay, they still are.
    const bool board = source->Type == kTypeKeyboard || source->Type == kTypeOctaveBoard;
    const bool proof = !kSustainRow && board && owner == source && source->ActiveVoices.LoadSettled() == voices;
    SetProof(m, proof ? PublishStamp(*source) : 0, sustainInput, one.byVoice == 0, one.velocity);
  }
  uint32_t* ownerMarks = owner->TriggerBuffers[parity & 1];
  uint32_t* ownMarks = m.TriggerBuffers[parity & 1];
  if (kFull) {
    MarkLanes<kLanes>(ownerMarks);
    MarkLanes<kLanes>(ownMarks);
  } else {
    for (int32_t w = 0; w < kLanes; ++w) ownerMarks[w] |= static_cast<uint32_t>(LaneMask(w, voices));
    for (int32_t w = 0; w < kLanes; ++w) ownMarks[w] |= static_cast<uint32_t>(LaneMask(w, voices));
  }
  m.VoiceIds[voices] = m.VoiceIds[voices - 1];
  m.GateWasOpen = -1;
  return true;
}

template <int32_t kLanes, int32_t kStage, bool kFull>
[[gnu::always_inline]] inline bool SameStage(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity,
                                             float length, const OneValues& one) {
  const bool row = (m.Params[kAdsrSustain].VoiceMapRow & 1) != 0;
  if (length > 0.0f) {
    if (row) return SameLanes<kLanes, kStage, true, true, kFull>(m, owner, voices, parity, length, one);
    return SameLanes<kLanes, kStage, true, false, kFull>(m, owner, voices, parity, length, one);
  }
  if (row) return SameLanes<kLanes, kStage, false, true, kFull>(m, owner, voices, parity, length, one);
  return SameLanes<kLanes, kStage, false, false, kFull>(m, owner, voices, parity, length, one);
}

// The proven usual frame (see ProvenPass) of voices 0 .. voices - 1 in kStage,
// in chunks of eight lanes: what SameLanes computes, without looking at the
// inputs, which are the rows.
template <int32_t kChunks, int32_t kStage, bool kTimed, bool kFull>
[[gnu::always_inline]] inline void ProvenLanes(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity,
                                               float length, float sustain) {
  float* times = m.VoiceState[0];
  const float* peaks = PeakRow(m);
  const float* frequencies = FrequencyRow(m);
  OutputElement* out = m.Outputs[0];
  uint32_t* ownerMarks = owner->TriggerBuffers[parity & 1];
  uint32_t* ownMarks = m.TriggerBuffers[parity & 1];
  const Lanes8 step = Splat8(RateInverse);
  const Lanes8 one = Splat8(1.0f);
  const Lanes8 lengths = Splat8(length);
  const Lanes8 sustains = Splat8(sustain);
  // The sustain level is every voice's, capped at 1 (a NaN too).
  const Lanes8 held = Splat8(!(sustain <= 1.0f) ? 1.0f : sustain);
  const Mask8 count = Mask8{} + voices;
  float levels[8 * kChunks];
  int32_t ends[8 * kChunks];
  Mask8 ended = {};
  for (int32_t c = 0; c < kChunks; ++c) {
    Mask8 lanes;
    std::memcpy(&lanes, kLaneNumbers + 8 * c, sizeof(lanes));
    const Mask8 voice = kFull ? Mask8{} - 1 : lanes < count;
    const Lanes8 time = Load8(times + 8 * c);
    Lanes8 level = held;
    if constexpr (kStage == kAdsrAttacking) {
      const Lanes8 peak = Load8(peaks + 8 * c);
      level = kTimed ? time * peak / lengths : peak;
    } else if constexpr (kStage == kAdsrDecaying) {
      const Lanes8 peak = Load8(peaks + 8 * c);
      level = kTimed ? (sustains - peak) * time / lengths + peak : sustains;
    }
    if constexpr (kStage != kAdsrSustaining) level = Blend8(one, level, ~(level <= one));
    const Lanes8 later = time + step;
    Lanes8 next = later;
    if constexpr (kTimed) {
      const Mask8 end = (later > lengths) & voice;
      ended |= end;
      std::memcpy(ends + 8 * c, &end, sizeof(end));
      Store8(levels + 8 * c, level);
      next = Blend8(Splat8(0.0f), later, end);
    }
    Store8(times + 8 * c, kFull ? next : Blend8(next, time, voice));
    // {level, frequency} pairs, the lanes past the voices as they were.
    const Lanes8 frequency = Load8(frequencies + 8 * c);
    Lanes8 low = __builtin_shufflevector(level, frequency, 0, 8, 1, 9, 2, 10, 3, 11);
    Lanes8 high = __builtin_shufflevector(level, frequency, 4, 12, 5, 13, 6, 14, 7, 15);
    float* pairs = &out[8 * c].Level;
    if (!kFull && 8 * c + 8 > voices) {
      low = Blend8(low, Load8(pairs), __builtin_shufflevector(voice, voice, 0, 0, 1, 1, 2, 2, 3, 3));
      high = Blend8(high, Load8(pairs + 8), __builtin_shufflevector(voice, voice, 4, 4, 5, 5, 6, 6, 7, 7));
    }
    Store8(pairs, low);
    Store8(pairs + 8, high);
    // Every voice sounds: each id (its position) is marked in both buffers.
    for (uint32_t* marks : {ownerMarks, ownMarks}) {
      Mask8 mark = voice;
      if (!kFull) {
        std::memcpy(&mark, marks + 8 * c, sizeof(mark));
        mark |= voice;
      }
      std::memcpy(marks + 8 * c, &mark, sizeof(mark));
    }
  }
  if (kTimed && AnyLane(ended)) {
    EndStages<kStage>(m, ends, levels, voices);
    DropProof(m);
  }
  m.VoiceIds[voices] = m.VoiceIds[voices - 1];
  m.GateWasOpen = -1;
}

template <int32_t kChunks, int32_t kStage>
[[gnu::always_inline]] inline void ProvenStage(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity,
                                               float length, float sustain) {
  const bool full = voices == 8 * kChunks;
  if (length > 0.0f) {
    if (full) return ProvenLanes<kChunks, kStage, true, true>(m, owner, voices, parity, length, sustain);
    return ProvenLanes<kChunks, kStage, true, false>(m, owner, voices, parity, length, sustain);
  }
  if (full) return ProvenLanes<kChunks, kStage, false, true>(m, owner, voices, parity, length, sustain);
  return ProvenLanes<kChunks, kStage, false, false>(m, owner, voices, parity, length, sustain);
}

template <int32_t kChunks>
[[gnu::always_inline]] inline bool ProvenChunks(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity,
                                                float sustain) {
  const float* times = m.VoiceState[0];
  switch (static_cast<int32_t>(StageRow(m)[0])) {
    case kAdsrAttacking + 8: {
      const float length = m.Params[kAdsrAttack].Value.LoadSettled();
      if (LongStage<8 * kChunks>(times, voices, length)) return false;
      ProvenStage<kChunks, kAdsrAttacking>(m, owner, voices, parity, length, sustain);
      return true;
    }
    case kAdsrDecaying + 8: {
      const float length = m.Params[kAdsrDecay].Value.LoadSettled();
      if (LongStage<8 * kChunks>(times, voices, length)) return false;
      ProvenStage<kChunks, kAdsrDecaying>(m, owner, voices, parity, length, sustain);
      return true;
    }
    case kAdsrSustaining + 8: {
      const float length = m.Params[kAdsrSustainLength].Value.LoadSettled();
      if (LongStage<8 * kChunks>(times, voices, length)) return false;
      ProvenStage<kChunks, kAdsrSustaining>(m, owner, voices, parity, length, sustain);
      return true;
    }
    default:
      return false;
  }
}

template <int32_t kLanes, int32_t kStage>
[[gnu::always_inline]] inline bool SameWord(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity,
                                            float length, const OneValues& one) {
  // All 32 lanes voices: no lane to keep. (With fewer lanes the compiler
  // leaves some of these loops scalar; the masked ones it does not.)
  if (kLanes == kVoices && voices == kLanes)
    return SameStage<kLanes, kStage, kLanes == kVoices>(m, owner, voices, parity, length, one);
  return SameStage<kLanes, kStage, false>(m, owner, voices, parity, length, one);
}

// A plain read of position 0 of port p, the side it reads of its source's
// element 0 on channel 0: what every voice reads where the port's voice-map
// row is 0.
inline float FirstRead(const ModuleRecord& m, int32_t p) {
  const OutputElement& e = m.PortSources[p].LoadSettled()->Outputs[0][0];
  return m.Params[p].OutputSide.LoadSettled() == 1 ? e.Frequency : e.Level;
}

// The velocity port reads the keyboard that gives the notes by voice (its
// level side), or one value for every voice: a value module (set or global)
// whose element holds it on both sides, as every value set does, so that
// the side read does not matter.
inline bool VelocityByVoice(const ModuleRecord& m, const ModuleRecord* source) {
  const ModuleParam& v = m.Params[kAdsrVelocity];
  return m.PortSources[kAdsrVelocity].LoadSettled() == source && (v.VoiceMapRow & 1) != 0 && v.OutputSide.LoadSettled() != 1;
}
inline bool VelocitySet(const ModuleRecord& m) {
  const ModuleRecord* s = m.PortSources[kAdsrVelocity].LoadSettled();
  const OutputElement& e = s->Outputs[0][0];
  return s->Role != kRoleLive && (m.Params[kAdsrVelocity].VoiceMapRow & 1) == 0 &&
         FloatBits(e.Level) == FloatBits(e.Frequency);
}

// SameLanes when the notes come by voice from one source (a keyboard) on
// its frequency side, and the velocities by voice from its level side or as
// one set value.
template <int32_t kLanes>
[[gnu::always_inline]] inline bool SameFrame(ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity) {
  const ModuleParam& f = m.Params[kAdsrFrequency];
  const ModuleRecord* source = m.PortSources[kAdsrFrequency].LoadSettled();
  if ((f.VoiceMapRow & 1) == 0 || f.OutputSide.LoadSettled() != 1) return false;
  OneValues one{PortValueLevel(m, kAdsrSustain), FirstRead(m, kAdsrSustain), 0.0f, -1};
  if (!VelocityByVoice(m, source)) {
    if (!VelocitySet(m)) return false;
    one.velocity = m.PortSources[kAdsrVelocity].LoadSettled()->Outputs[0][0].Level;
    one.byVoice = 0;
  }
  const float* times = m.VoiceState[0];
  float length;
  switch (static_cast<int32_t>(StageRow(m)[0])) {
    case kAdsrAttacking + 8:
      length = m.Params[kAdsrAttack].Value.LoadSettled();
      if (LongStage<kLanes>(times, voices, length)) return false;
      return SameWord<kLanes, kAdsrAttacking>(m, owner, voices, parity, length, one);
    case kAdsrDecaying + 8:
      length = m.Params[kAdsrDecay].Value.LoadSettled();
      if (LongStage<kLanes>(times, voices, length)) return false;
      return SameWord<kLanes, kAdsrDecaying>(m, owner, voices, parity, length, one);
    case kAdsrSustaining + 8:
      length = m.Params[kAdsrSustainLength].Value.LoadSettled();
      if (LongStage<kLanes>(times, voices, length)) return false;
      return SameWord<kLanes, kAdsrSustaining>(m, owner, voices, parity, length, one);
    default:
      return false;
  }
}

// SameLanes, tried first on an armed frame that ProvenPass did not take (a
// function of its own: the frames that it does not take either do not pay
// for its registers).
TARVELO_KERNEL_BUILDS(bool, SamePass, (ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity)) {
  if (m.ActiveVoices.LoadSettled() != voices || m.PortSources[kAdsrFrequency].LoadSettled() == &m || m.PortSources[kAdsrVelocity].LoadSettled() == &m ||
      m.PortSources[kAdsrSustain].LoadSettled() == &m || (m.Adsr.Voices & 256) == 0 ||
      m.PortSources[kAdsrSustain].LoadSettled()->Role == kRoleLive)
    return false;
  if (voices <= 8) return SameFrame<8>(m, owner, voices, parity);
  if (voices <= 16) return SameFrame<16>(m, owner, voices, parity);
  return SameFrame<kVoices>(m, owner, voices, parity);
}

// The usual frame while the proof that SameLanes left in Adsr holds:
// the rows are armed for these voices at their positions, the ports read as
// SamePass and SameFrame ask, the keyboard that gives the notes (and the
// velocities by voice) published nothing since (so they and the voice ids
// stay), it still owns the voices, and the sustain input and a velocity set
// as one value, each read from one element, are the proof's. False (nothing
// written) otherwise. (Armed rows hold at least one voice, and the module
// is live: the checks of the voices above 0 and of a sustain port linked to
// the module itself are made within the others.)
[[gnu::always_inline]] inline bool ProvenPass(ModuleRecord& m, int32_t parity) {
  const int32_t voices = KernelVoices(m);
  const AdsrRows& k = m.Adsr;
  const uint32_t stamp = k.Stamp;
  if (stamp == 0 || k.Key != ArmedKey(m) || k.Voices != (voices | 256) ||
      FloatBits(m.AuxVoiceState[0][kVoices]) != FloatBits(kRowsArmed) ||
      FloatBits(m.VoiceState[1][kVoices]) != FloatBits(kRowsArmed) || m.ActiveVoices.LoadSettled() != voices)
    return false;
  ModuleRecord* source = m.PortSources[kAdsrFrequency].LoadSettled();
  const ModuleRecord* sustainSource = m.PortSources[kAdsrSustain].LoadSettled();
  const ModuleParam& f = m.Params[kAdsrFrequency];
  const ModuleParam& s = m.Params[kAdsrSustain];
  if (stamp != PublishStamp(*source) || source->TriggerOwner.LoadSettled() != source || source->ActiveVoices.LoadSettled() != voices ||
      (source->Type != kTypeKeyboard && source->Type != kTypeOctaveBoard) || (source->PolyphonyMode.Load() & 1) == 0 ||
      sustainSource->Role == kRoleLive || (f.VoiceMapRow & 1) == 0 || f.OutputSide.LoadSettled() != 1 || (s.VoiceMapRow & 1) != 0)
    return false;
  if (k.VelocitySet) {
    // Every voice reads element 0 (row 0), which holds the proven value on
    // both sides: whatever it belongs to, each voice reads that value.
    if ((m.Params[kAdsrVelocity].VoiceMapRow & 1) != 0 ||
        PairBits(m.PortSources[kAdsrVelocity].LoadSettled()->Outputs[0][0]) != k.VelocityPair)
      return false;
  } else if (!VelocityByVoice(m, source)) {
    return false;
  }
  if (FloatBits(k.SustainInput) != FloatBits(FirstRead(m, kAdsrSustain))) return false;
  const float sustain = PortValueLevel(m, kAdsrSustain);
  if (voices <= 8) return ProvenChunks<1>(m, source, voices, parity, sustain);
  if (voices <= 16) return ProvenChunks<2>(m, source, voices, parity, sustain);
  return ProvenChunks<4>(m, source, voices, parity, sustain);
}

TARVELO_KERNEL_BUILDS(bool, RowPass, (ModuleRecord& m, ModuleRecord* owner, int32_t voices, int32_t parity)) {
  if (m.ActiveVoices.LoadSettled() != voices || m.PortSources[kAdsrFrequency].LoadSettled() == &m || m.PortSources[kAdsrVelocity].LoadSettled() == &m ||
      m.PortSources[kAdsrSustain].LoadSettled() == &m)
    return false;
  // What it may change in the rows is not the usual frame's to know.
  DropProof(m);
  const AdsrSettings set = SettingsOf(m);
  if (set.sustainLive) {
    if (voices <= 8) return RowLanes<8, true>(m, owner, set, voices, parity);
    if (voices <= 16) return RowLanes<16, true>(m, owner, set, voices, parity);
    return RowLanes<kVoices, true>(m, owner, set, voices, parity);
  }
  if (voices <= 8) return RowLanes<8, false>(m, owner, set, voices, parity);
  if (voices <= 16) return RowLanes<16, false>(m, owner, set, voices, parity);
  return RowLanes<kVoices, false>(m, owner, set, voices, parity);
}

}  // namespace

void ProcessAdsrMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity) {
  ModuleRecord* owner = m->PortSources[kAdsrFrequency].LoadSettled()->TriggerOwner.LoadSettled();
  const AdsrSettings set = SettingsOf(*m);
  Disarm(*m);
  Env e = EnvOf(*m, 0);
  if (m->VoicesToCompute <= 0) {
    if (m->ActiveVoices.LoadSettled() >= 1 && m->GateWasOpen != 0) {
      if (e.stage() < kAdsrReleasing) ReleaseFromPublished(*m, e);
      m->GateWasOpen = 0;
      m->ActiveVoices.Store(1);
      e.held() = 0;
    } else if (e.stage() > kAdsrReleasing && !VoiceMarked(*owner, previousParity, 0)) {
      m->ActiveVoices.Store(0);
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
    m->ActiveVoices.Store(1);
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

namespace {

// Every frame that the rows do not take.
[[gnu::noinline]] void VoiceByVoice(ModuleRecord* m, ModuleRecord* owner, int32_t parity, int32_t previousParity,
                                    bool tried) {
  const AdsrSettings set = SettingsOf(*m);
  int32_t* ids = m->VoiceIds;
  Disarm(*m);
  if (m->VoicesToCompute > 0) {
    const int32_t voices = KernelVoices(*m);
    if (VoicesSteady(*m, owner, voices)) {
      // A live sustain input moves every frame: for a few voices the records
      // are cheaper to walk than rows to keep alike.
      const bool rows = !tried && !(set.sustainLive && voices < 4);
      if (rows && ArmRows(*m, voices) && RowPass(*m, owner, voices, parity)) return;
      Disarm(*m);
      SteadyPass(*m, owner, set, voices, parity);
      return;
    }
  }

  // Keep pass: a voice that is not sounding stays only while its owner's
  // voice is still kept alive by someone.
  int32_t n = 0;
  int32_t active = m->ActiveVoices.LoadSettled();
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
  m->ActiveVoices.Store(n);

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

// Every frame that the proven pass does not take.
[[gnu::noinline]] TARVELO_KERNEL_BUILDS(void, OtherFrames, (ModuleRecord* m, int32_t parity, int32_t previousParity)) {
  ModuleRecord* owner = m->PortSources[kAdsrFrequency].LoadSettled()->TriggerOwner.LoadSettled();
  bool tried = false;
  const int32_t voices = KernelVoices(*m);
  if (voices > 0 && RowsArmed(*m, voices)) {
    if (SamePass(*m, owner, voices, parity) || RowPass(*m, owner, voices, parity)) return;
    tried = true;
  }
  VoiceByVoice(m, owner, parity, previousParity, tried);
}

}  // namespace

TARVELO_KERNEL_BUILDS(void, ProcessAdsrPoly, (ModuleRecord* m, uint64_t, int32_t parity, int32_t previousParity)) {
  if (ProvenPass(*m, parity)) return;
  OtherFrames(m, parity, previousParity);
}

}  // namespace Tarvelo

#include "engine/dsp/sequencer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/state/wave_library.h"
#include "engine/dsp/contract.h"
#include "engine/dsp/melody.h"
#include "engine/dsp/sample.h"
#include "engine/dsp/control_common.h"
#include "engine/dsp/settings.h"
#include "platform/threads.h"

namespace Tarvelo {

namespace {

void NoMelodyList() {}

}  // namespace

void (*PublishMelodyList)() = NoMelodyList;
bool (*WakeInterfaceForMelodies)() = nullptr;

namespace {

void RemoveMelodyAt(int32_t index, const WaveLibraryEntry* expected);

// Empty recordings (melodies and samples) the audio thread hands to the
// interface thread: freeing one takes its library's lock, which the interface
// holds through file I/O. One producer (the audio thread) and one consumer
// (the interface thread).
// one thread: value
struct Discard {
  WaveLibraryEntry* Entry;
  bool Sample;
};
constexpr uint32_t kDiscardSlots = 64;
// one thread: maker, a slot is filled before the tail publishes it and not written until the head passed it
Discard g_discards[kDiscardSlots] = {};
std::atomic<uint32_t> g_discardHead{0};  // next to take (consumer)
std::atomic<uint32_t> g_discardTail{0};  // next to fill (producer)
std::atomic<bool> g_wakePosted{false};

void HandOverDiscard(WaveLibraryEntry* discard, bool sample) {
  if (discard != nullptr) {
    const uint32_t tail = g_discardTail.load(std::memory_order_relaxed);
    // With every slot taken the entry stays in the library, empty: kept rather
    // than freed where it must not be.
    if (tail - g_discardHead.load(std::memory_order_acquire) < kDiscardSlots) {
      g_discards[tail % kDiscardSlots] = Discard{discard, sample};
      g_discardTail.store(tail + 1, std::memory_order_release);
    }
  }
  if (!g_wakePosted.exchange(true) && (WakeInterfaceForMelodies == nullptr || !WakeInterfaceForMelodies()))
    g_wakePosted.store(false);
}

}  // namespace

void MelodyRecordingFinished(WaveLibraryEntry* discard) {
  if (platform::OnInterfaceThread()) {
    if (discard != nullptr) RemoveMelodyEntryOf(discard);
    PublishMelodyList();
    return;
  }
  HandOverDiscard(discard, false);
}

void SampleRecordingDiscarded(WaveLibraryEntry* discard) {
  if (platform::OnInterfaceThread()) {
    if (discard != nullptr) DiscardEmptyRecording(discard);
    if (SampleListChanged != nullptr) SampleListChanged();
    return;
  }
  HandOverDiscard(discard, true);
}

void FinishRecording(ModuleRecord& m) {
  if (m.Type == kTypeSample)
    FinishSampleRecording(m);
  else if (m.Type == kTypeSequencer)
    FinishSequencerRecording(m);
  else if (m.Type == kTypeMelodyGenerator)
    FinishMelodyRecording(m);
}

void TakeFinishedRecordings() {
  g_wakePosted.store(false);
  bool samples = false;
  const uint32_t tail = g_discardTail.load(std::memory_order_acquire);
  for (uint32_t head = g_discardHead.load(std::memory_order_relaxed); head != tail; ++head) {
    // Found by address only: the interface may have removed it meanwhile.
    const Discard d = g_discards[head % kDiscardSlots];
    if (d.Sample) {
      DiscardEmptyRecording(d.Entry);
      samples = true;
    } else {
      RemoveMelodyAt(-1, d.Entry);
    }
    g_discardHead.store(head + 1, std::memory_order_release);
  }
  PublishMelodyList();
  if (samples && SampleListChanged != nullptr) SampleListChanged();
}

namespace {

// Where the module keeps its state besides the voice records:
// - VoiceState[0][w]: the remaining duration of voice w while playing.
// - VoiceState row 2: the playback position (double, two slots), the next note,
//   the note at which the pass started and the end-of-pass flag. A reset with
//   the rewind switch clears it together with the voices, so playback starts
//   over; a pause keeps it.
// - AuxVoiceState row 0: the recording clock, counted in frames so that long
//   recordings keep their timing (a float of seconds stops advancing after
//   about nine minutes), and the notes recorded. Attaching a melody clears it.
// - WorkBuffers[0]: per voice id w the note's frequency, velocity and start
//   time at 4w + 1 .. 4w + 3.
constexpr int32_t kPlayRow = 2;
constexpr int32_t kPlayPosition = 0;  // and 1: a double
constexpr int32_t kNextNote = 2;
constexpr int32_t kPassStart = 3;
constexpr int32_t kPassEnded = 4;

constexpr int32_t kRecordFrames = 0;
constexpr int32_t kSinceGroupFrames = 1;
constexpr int32_t kSilenceFrames = 2;
constexpr int32_t kNotesRecorded = 3;

constexpr int32_t kVoiceTableSize = 4 * kVoices;

inline double PlayPosition(const ModuleRecord& m) {
  double p;
  std::memcpy(&p, &m.VoiceState[kPlayRow][kPlayPosition], sizeof p);
  return p;
}
inline void SetPlayPosition(ModuleRecord& m, double p) {
  std::memcpy(&m.VoiceState[kPlayRow][kPlayPosition], &p, sizeof p);
}
inline int32_t PlayInt(const ModuleRecord& m, int32_t slot) { return IntField(m.VoiceState[kPlayRow][slot]); }
inline void SetPlayInt(ModuleRecord& m, int32_t slot, int32_t v) { SetIntField(m.VoiceState[kPlayRow][slot], v); }
inline int32_t RecordInt(const ModuleRecord& m, int32_t slot) { return IntField(m.AuxVoiceState[0][slot]); }
inline void SetRecordInt(ModuleRecord& m, int32_t slot, int32_t v) { SetIntField(m.AuxVoiceState[0][slot], v); }

inline float FramesToSeconds(int32_t frames) {
  return static_cast<float>(static_cast<double>(frames) / static_cast<double>(SampleRate));
}

// The attached melody as the kernel may use it: the data, the notes it claims
// (never more than the data holds) and the notes it has room for.
// one thread: value
struct Melody {
  WaveLibraryEntry* entry;
  float* data;
  int32_t notes;
  int32_t room;
};

inline bool MelodyOf(const ModuleRecord& m, Melody& out) {
  WaveLibraryEntry* e = m.SampleEntry.LoadSettled();
  float* data = m.SampleData;
  if (e == nullptr || data == nullptr) return false;
  const int64_t floats = static_cast<int64_t>(e->Sound.dataSize / 4u);
  if (floats < kMelodyHead) return false;
  const int64_t room = (floats - kMelodyHead) / kMelodyNoteFloats;
  out.entry = e;
  out.data = data;
  out.room = static_cast<int32_t>(std::min<int64_t>(room, INT32_MAX));
  out.notes = WholeSetting(data[kMelodyNoteCount], 0, out.room);
  return true;
}

inline float* VoiceTable(ModuleRecord& m) {
  return m.WorkBufferSize >= kVoiceTableSize ? m.WorkBuffers[0] : nullptr;
}

inline int32_t NoteBase(int32_t k) { return kMelodyHead + kMelodyNoteFloats * k; }

// x minus its whole part taken toward zero, moved into [0, 1).
inline double Frac(double x) {
  double f = x - std::trunc(x);
  if (f < 0.0) f = f + 1.0;
  return f;
}

inline ModuleRecord& OwnerOfPort0(ModuleRecord& m) {
  ModuleRecord* s = m.PortSources[kSeqFrequency].LoadSettled();
  return s->TriggerOwner.LoadSettled() != nullptr ? *s->TriggerOwner.LoadSettled() : *s;
}

inline int32_t ClampedActive(ModuleRecord& m) {
  if (m.ActiveVoices.LoadSettled() < 0) m.ActiveVoices.Store(0);
  if (m.ActiveVoices.LoadSettled() > kVoices) m.ActiveVoices.Store(kVoices);
  return m.ActiveVoices.LoadSettled();
}

// Steps 1 to 4 of playback: the time in the melody this frame, and the note
// search after a jump or at the start of a pass.
// one thread: value
struct PlayFrame {
  float step;  // melody seconds per frame, signed
  float t;     // melody time of this frame
  int32_t k;
  int32_t passStart;
  bool ended;
};

inline PlayFrame BeginPlayback(ModuleRecord& m, const Melody& mel, float step, float length) {
  PlayFrame f{};
  f.step = step;
  const bool backward = step < 0.0f;
  double p = PlayPosition(m);
  const double sp = step > 0.0f ? 1.0 : (step < 0.0f ? -1.0 : 0.0);
  const double pp = p > 0.0 ? 1.0 : (p < 0.0 ? -1.0 : 0.0);
  bool jump = false;
  if (sp + pp == 0.0) {
    p = p - pp;
    jump = true;
  }
  SetPlayPosition(m, p);
  const double offset = static_cast<double>(SettingRead(m, kSeqOffset, 0));
  float t = static_cast<float>(Frac(offset + p) * static_cast<double>(length));
  if (backward && t == 0.0f) t = length;
  f.t = t;
  f.k = PlayInt(m, kNextNote);
  f.passStart = PlayInt(m, kPassStart);
  f.ended = PlayInt(m, kPassEnded) != 0;
  if (jump || p == 0.0) {
    f.k = FindSequencerNote(m, t, backward);
    f.passStart = f.k;
  }
  // Indexes kept from another melody (or a stored state) are brought into range.
  if (mel.notes > 0) {
    f.k = std::clamp(f.k, 0, mel.notes - 1);
    f.passStart = std::clamp(f.passStart, 0, mel.notes - 1);
  }
  return f;
}

// Step 5: every note whose span holds t starts, in the direction of travel,
// until the pass comes back to where it started. onStart(k) starts note k.
template <typename Start>
inline void StartNotes(const Melody& mel, PlayFrame& f, Start onStart) {
  const int32_t n = mel.notes;
  if (n <= 0) return;
  const int32_t dir = f.step > 0.0f ? 1 : (f.step < 0.0f ? -1 : 0);
  // At most one pass over the notes per frame.
  for (int32_t guard = 0; !f.ended && guard < n; ++guard) {
    const float* note = mel.data + NoteBase(f.k);
    const float start = note[3];
    if (!(start <= f.t && f.t <= start + note[0])) break;
    onStart(f.k);
    int32_t k = f.k + dir;
    if (k < 0) k += n;
    if (k >= n) k -= n;
    f.k = k;
    f.ended = k == f.passStart;
    if (f.step == 0.0f) break;
  }
}

// Step 7: a live frequency input that differs from the F setting transposes
// the melody; the setting follows it and shows that it moved.
inline void FollowTransposition(ModuleRecord& m) {
  const ModuleRecord* s = m.PortSources[kSeqFrequency].LoadSettled();
  if (s->Role != kRoleLive || s->ActiveVoices.LoadSettled() <= 0) return;
  const float f = s->Outputs[0][0].Frequency;
  if (f > 0.0f && f != m.Params[kSeqFrequency].Value.LoadSettled()) {
    ModuleSetParamValue(m, kSeqFrequency, f);
    m.Params[kSeqFrequency].MidiMoved.Store(-1);
  }
}

// F over the melody's reference frequency (its first note); 1 for a melody
// whose first note has none or that has no notes at all.
inline float TranspositionFactor(const ModuleRecord& m, const Melody& mel) {
  if (mel.notes <= 0) return 1.0f;
  const float reference = mel.data[NoteBase(0) + 1];
  const float factor = m.Params[kSeqFrequency].Value.LoadSettled() / reference;
  return std::isfinite(factor) ? factor : 1.0f;
}

// Step 9: the position advances; past either end, once every voice is gone,
// the pass ends and playback stops unless it loops.
inline void EndPlayFrame(ModuleRecord& m, PlayFrame& f, float length) {
  double p = PlayPosition(m);
  if (std::fabs(p) <= 1.0) {
    p = p + static_cast<double>(f.step) / static_cast<double>(length);
  } else if (m.ActiveVoices.LoadSettled() == 0) {
    p = 0.0;
    f.k = 0;
    // The page and the system bar read the switch meanwhile; the page stores
    // LOOP whole.
    m.ModuleSwitches[kSwitchPlay].Store(m.ModuleSwitches[kSwitchPlay].LoadSettled() & m.ModuleSwitches[kSwitchLoop].Load());
    f.ended = false;
  }
  SetPlayPosition(m, p);
  SetPlayInt(m, kNextNote, f.k);
  SetPlayInt(m, kPassStart, f.passStart);
  SetPlayInt(m, kPassEnded, f.ended ? -1 : 0);
}

void PlaybackPoly(ModuleRecord& m, const Melody& mel, float* table, int32_t parity, float step, float length) {
  PlayFrame f = BeginPlayback(m, mel, step, length);
  ClampedActive(m);
  StartNotes(mel, f, [&](int32_t k) { StartSequencerVoice(m, NoteBase(k)); });

  // Aging: a released voice goes, a voice whose note ran out is released.
  const float age = std::fabs(step);
  int32_t i = 0;
  while (i < m.ActiveVoices.LoadSettled()) {
    const int32_t w = VoiceIdAt(&m, i);
    m.VoiceState[0][w] -= age;
    const int32_t state = m.SequencerVoices[w].State;
    // A free record still listed (its list was cleared by a rewind) goes too.
    if (state != kSeqVoiceOn) {
      RemoveSequencerVoice(m, i, w);
      continue;
    }
    if (m.VoiceState[0][w] <= 0.0f) ReleaseSequencerVoice(m, w);
    ++i;
  }

  FollowTransposition(m);
  const float factor = TranspositionFactor(m, mel);
  ModuleRecord& owner = OwnerOfPort0(m);
  for (int32_t v = 0; v < m.ActiveVoices.LoadSettled(); ++v) {
    const int32_t w = VoiceIdAt(&m, v);
    MarkVoice(m, parity, w);
    MarkVoice(owner, parity, w);
    m.Outputs[0][v] = OutputElement{table[4 * w + 2], factor * table[4 * w + 1]};
  }
  EndPlayFrame(m, f, length);
}

void PlaybackMono(ModuleRecord& m, const Melody& mel, float* table, int32_t parity, float step, float length) {
  PlayFrame f = BeginPlayback(m, mel, step, length);
  SequencerVoice& r = m.SequencerVoices[0];
  const float factor = TranspositionFactor(m, mel);
  bool started = false;
  // Each note that starts takes voice 0 over.
  StartNotes(mel, f, [&](int32_t k) {
    const float* note = mel.data + NoteBase(k);
    table[1] = factor * note[1];
    table[2] = note[2];
    table[3] = note[3];
    m.VoiceState[0][0] = note[0];
    started = true;
  });
  if (started) {
    r.State = kSeqVoiceOn;
    m.ActiveVoices.Store(1);
    m.VoiceIds[0] = 0;
  } else if (m.ActiveVoices.LoadSettled() > 0) {
    m.VoiceState[0][0] -= std::fabs(step);
    if (r.State == kSeqVoiceReleased) {
      r.State = kSeqVoiceFree;
      m.ActiveVoices.Store(0);
    } else if (m.VoiceState[0][0] <= 0.0f) {
      r.State = kSeqVoiceReleased;
      table[1] = 0.0f;
      table[2] = 0.0f;
    }
  }
  FollowTransposition(m);
  OutputElement& out = m.Outputs[0][0];
  if (started && out.Frequency != 0.0f) {
    // One frame of silence before every new note, so followers retrigger.
    out = OutputElement{0.0f, 0.0f};
  } else if (out.Frequency != table[1]) {
    out = OutputElement{table[2], table[1]};
  }
  if (m.ActiveVoices.LoadSettled() > 0) {
    MarkVoice(m, parity, 0);
    MarkVoice(OwnerOfPort0(m), parity, 0);
  }
  EndPlayFrame(m, f, length);
}

// The recording clock after a frame: it runs once the first note exists.
inline void AdvanceRecordClock(ModuleRecord& m, bool groupStarted) {
  if (RecordInt(m, kNotesRecorded) <= 0) return;
  SetRecordInt(m, kRecordFrames, RecordInt(m, kRecordFrames) + 1);
  if (!groupStarted) SetRecordInt(m, kSinceGroupFrames, RecordInt(m, kSinceGroupFrames) + 1);
  SetRecordInt(m, kSilenceFrames, m.ActiveVoices.LoadSettled() > 0 ? 0 : RecordInt(m, kSilenceFrames) + 1);
}

inline void CheckRecordingEnd(ModuleRecord& m, int32_t limit) {
  const float length = SettingRead(m, kSeqLength, 0);
  if (RecordInt(m, kNotesRecorded) >= limit ||
      (length > 0.0f && FramesToSeconds(RecordInt(m, kRecordFrames)) >= length) || m.RecordDone.Load() != 0)
    FinishSequencerRecording(m);
}

// A new note at voice id w: its start goes into the voice table, its index
// into the record. Returns false when the melody is full.
inline bool BeginRecordedNote(ModuleRecord& m, const Melody& mel, float* table, int32_t w, float f, float vel) {
  const int32_t notes = RecordInt(m, kNotesRecorded);
  mel.data[kMelodyNoteCount] += 1.0f;
  table[4 * w + 1] = f;
  table[4 * w + 2] = vel;
  table[4 * w + 3] = FramesToSeconds(RecordInt(m, kRecordFrames));
  m.SequencerVoices[w].State = kSeqVoiceOn;
  m.SequencerVoices[w].Index = notes;
  SetRecordInt(m, kNotesRecorded, notes + 1);
  return true;
}

inline void NewOnsetGroup(ModuleRecord& m, const Melody& mel) {
  SetRecordInt(m, kSinceGroupFrames, 0);
  mel.data[kMelodyGroupCount] += 1.0f;
}

inline int32_t NoteLimit(const Melody& mel) { return std::min(kMelodyMaxNotes, mel.room); }

// Ends every note still held: the listed positions first, then any record
// that is on without a position.
void EndAllRecordedNotes(ModuleRecord& m) {
  const int32_t n = ClampedActive(m);
  for (int32_t i = 0; i < n; ++i) EndRecordedNote(m, VoiceIdAt(&m, i), i);
  for (int32_t w = 0; w < kVoices; ++w)
    if (m.SequencerVoices[w].State == kSeqVoiceOn) EndRecordedNote(m, w, -1);
}

// Removes the entry at index from the melody library under its lock; when
// expected is given, only that entry is removed (looked up again should the
// index have gone stale).
void RemoveMelodyAt(int32_t index, const WaveLibraryEntry* expected) {
  WaveLibraryList& list = MelodyLibrary;
  if (list.entries == nullptr) return;
  platform::MutexGuard guard(list.header.lock);
  const int32_t count = list.header.count;
  if (expected != nullptr && (index < 0 || index >= count || list.entries[index] != expected)) {
    index = -1;
    for (int32_t i = 0; i < count; ++i) {
      if (list.entries[i] == expected) {
        index = i;
        break;
      }
    }
  }
  WaveLibraryEntryDelete(WaveLibraryListTake(list, index));
}

}  // namespace

int32_t FindFreeSequencerVoice(const ModuleRecord& m) {
  if (m.ActiveVoices.LoadSettled() > kVoices - 1) return -1;
  for (int32_t w = 0; w < kVoices; ++w)
    if (m.SequencerVoices[w].State == kSeqVoiceFree) return w;
  return -1;
}

int32_t StartSequencerVoice(ModuleRecord& m, int32_t base) {
  Melody mel;
  float* table = VoiceTable(m);
  if (table == nullptr || !MelodyOf(m, mel)) return -1;
  if (base < kMelodyHead || base + 3 >= kMelodyHead + kMelodyNoteFloats * mel.room) return -1;
  const int32_t w = FindFreeSequencerVoice(m);
  if (w < 0) return -1;
  const int32_t position = ClampedActive(m);
  m.VoiceIds[position] = w;
  m.ActiveVoices.Store(position + 1);
  m.VoiceState[0][w] = mel.data[base];
  table[4 * w + 1] = mel.data[base + 1];
  table[4 * w + 2] = mel.data[base + 2];
  table[4 * w + 3] = mel.data[base + 3];
  m.SequencerVoices[w].State = kSeqVoiceOn;
  return w;
}

void ReleaseSequencerVoice(ModuleRecord& m, int32_t w) {
  if (static_cast<uint32_t>(w) >= static_cast<uint32_t>(kVoices)) return;
  m.SequencerVoices[w].State = kSeqVoiceReleased;
  float* table = VoiceTable(m);
  if (table == nullptr) return;
  table[4 * w + 1] = 0.0f;
  table[4 * w + 2] = 0.0f;
}

void RemoveSequencerVoice(ModuleRecord& m, int32_t position, int32_t w) {
  if (static_cast<uint32_t>(w) < static_cast<uint32_t>(kVoices)) m.SequencerVoices[w].State = kSeqVoiceFree;
  const int32_t n = ClampedActive(m);
  if (position < 0 || position >= n) return;
  for (int32_t j = position; j + 1 < n; ++j) std::swap(m.VoiceIds[j], m.VoiceIds[j + 1]);
  m.ActiveVoices.Store(n - 1);
}

int32_t FindSequencerNote(const ModuleRecord& m, float t, bool searchBackward) {
  Melody mel;
  if (!MelodyOf(m, mel)) return 0;
  const int32_t n = mel.notes;
  if (searchBackward) {
    for (int32_t k = n - 1; k >= 0; --k) {
      const float* note = mel.data + NoteBase(k);
      if (note[3] + note[0] <= t) return k;
    }
    return n > 0 ? n - 1 : 0;
  }
  for (int32_t k = 0; k < n; ++k)
    if (mel.data[NoteBase(k) + 3] >= t) return k;
  return 0;
}

void EndRecordedNote(ModuleRecord& m, int32_t w, int32_t position) {
  if (static_cast<uint32_t>(w) >= static_cast<uint32_t>(kVoices)) return;
  m.VoiceState[0][w] = 0.0f;
  SequencerVoice& r = m.SequencerVoices[w];
  if (r.State == kSeqVoiceOn) {
    r.State = kSeqVoiceFree;
    Melody mel;
    float* table = VoiceTable(m);
    if (table != nullptr && MelodyOf(m, mel) && r.Index >= 0 && r.Index < mel.room) {
      float* note = mel.data + NoteBase(r.Index);
      const float start = table[4 * w + 3];
      note[1] = table[4 * w + 1];
      note[2] = table[4 * w + 2];
      note[3] = start;
      const float duration = FramesToSeconds(RecordInt(m, kRecordFrames)) - start;
      note[0] = duration;
      mel.data[kMelodyDurationSum] += duration;
    }
  }
  if (position >= 0 && position < kVoices) m.Outputs[0][position] = OutputElement{0.0f, 0.0f};
}

void RecordSequencerPoly(ModuleRecord& m, int32_t parity) {
  Melody mel;
  float* table = VoiceTable(m);
  if (table == nullptr || !MelodyOf(m, mel)) return;
  ModuleRecord* fs = m.PortSources[kSeqFrequency].LoadSettled();
  const ModuleRecord* vs = m.PortSources[kSeqVelocity].LoadSettled();
  ModuleRecord& owner = OwnerOfPort0(m);
  const int32_t limit = NoteLimit(mel);
  bool groupStarted = false;
  if (fs->ActiveVoices.LoadSettled() <= 0 && vs->ActiveVoices.LoadSettled() <= 0) {
    EndAllRecordedNotes(m);
  } else {
    const int32_t n = std::clamp(fs->ActiveVoices.LoadSettled(), 0, kVoices);
    const int32_t* row = VoiceMap[m.Params[kSeqVelocity].VoiceMapRow & 1];
    const int32_t previousActive = m.ActiveVoices.LoadSettled();
    for (int32_t v = 0; v < n; ++v) {
      const int32_t w = VoiceIdAt(&owner, v);
      const float f = fs->Outputs[0][v].Frequency;
      SequencerVoice& r = m.SequencerVoices[w];
      bool full = false;
      if (f != 0.0f && r.State == kSeqVoiceFree) {
        if (RecordInt(m, kNotesRecorded) >= limit) {
          m.RecordDone.Store(-1);
          break;
        }
        const float vel = vs->Outputs[0][row[v]].Level;
        if (FramesToSeconds(RecordInt(m, kSinceGroupFrames)) > kOnsetGroupWindow || previousActive == 1) {
          NewOnsetGroup(m, mel);
          groupStarted = true;
        }
        m.VoiceIds[v] = w;
        BeginRecordedNote(m, mel, table, w, f, vel);
        m.Outputs[0][v] = OutputElement{vel, f};
        if (RecordInt(m, kNotesRecorded) >= limit) {
          m.RecordDone.Store(-1);
          full = true;
        }
      } else if (f == 0.0f) {
        EndRecordedNote(m, w, v);
      } else if (r.State == kSeqVoiceOn) {
        // A held note keeps its place in the published voices, which shift
        // when the source's voices before it end.
        m.VoiceIds[v] = w;
        m.Outputs[0][v] = OutputElement{table[4 * w + 2], table[4 * w + 1]};
      }
      if (r.State == kSeqVoiceOn) {
        MarkVoice(m, parity, w);
        MarkVoice(owner, parity, w);
      }
      if (full) break;
    }
  }
  m.ActiveVoices.Store(std::clamp(fs->ActiveVoices.LoadSettled(), 0, kVoices));
  AdvanceRecordClock(m, groupStarted);
  CheckRecordingEnd(m, limit);
}

void RecordSequencerMono(ModuleRecord& m, int32_t parity) {
  Melody mel;
  float* table = VoiceTable(m);
  if (table == nullptr || !MelodyOf(m, mel)) return;
  const ModuleRecord* fs = m.PortSources[kSeqFrequency].LoadSettled();
  const ModuleRecord* vs = m.PortSources[kSeqVelocity].LoadSettled();
  ModuleRecord& owner = OwnerOfPort0(m);
  const int32_t limit = NoteLimit(mel);
  bool groupStarted = false;
  if (fs->ActiveVoices.LoadSettled() <= 0 && vs->ActiveVoices.LoadSettled() <= 0) {
    EndRecordedNote(m, 0, 0);
    m.ActiveVoices.Store(0);
  } else {
    const float f = fs->Outputs[0][0].Frequency;
    SequencerVoice& r = m.SequencerVoices[0];
    if (f != 0.0f && r.State == kSeqVoiceFree) {
      if (RecordInt(m, kNotesRecorded) >= limit) {
        m.RecordDone.Store(-1);
      } else {
        const float vel = vs->Outputs[0][0].Level;
        // Every note is its own onset group.
        NewOnsetGroup(m, mel);
        groupStarted = true;
        m.VoiceIds[0] = 0;
        BeginRecordedNote(m, mel, table, 0, f, vel);
        m.Outputs[0][0] = OutputElement{vel, f};
        if (RecordInt(m, kNotesRecorded) >= limit) m.RecordDone.Store(-1);
      }
    } else if (f == 0.0f) {
      EndRecordedNote(m, 0, 0);
    }
    if (r.State == kSeqVoiceOn) {
      MarkVoice(m, parity, 0);
      MarkVoice(owner, parity, VoiceIdAt(&owner, 0));
    }
    m.ActiveVoices.Store(1);
  }
  AdvanceRecordClock(m, groupStarted);
  CheckRecordingEnd(m, limit);
}

void FinishSequencerRecording(ModuleRecord& m) {
  Melody mel;
  if (!MelodyOf(m, mel)) {
    m.ModuleSwitches[kSwitchRecord].Store(0);
    m.RecordDone.Store(0, std::memory_order_release);
    return;
  }
  EndAllRecordedNotes(m);
  const int32_t notes = std::clamp(RecordInt(m, kNotesRecorded), 0, mel.room);
  WaveLibraryEntry* e = mel.entry;
  WaveLibraryEntry* discard = nullptr;
  e->Sound.dataSize = static_cast<uint32_t>((kMelodyNoteFloats * notes + kMelodyHead) * 4);
  mel.data[kMelodyLength] =
      FramesToSeconds(RecordInt(m, kRecordFrames)) - FramesToSeconds(RecordInt(m, kSilenceFrames));
  ModuleResetVoices(m);
  const float length = AnalyseMelodyTempo(e, 0);
  if (length > 0.0f && e->Sound.dataSize != 0 && mel.data[kMelodyNoteCount] > 0.0f) {
    m.SampleStep = FrequencyNorm * mel.data[kMelodyBeatFrequency];
    ModuleSetParamValue(m, kSeqTempo, WithinParamRange(m.Params[kSeqTempo], m.SampleStep));
    ModuleSetParamValue(m, kSeqLength, length);
    ModuleSetParamValue(m, kSeqFrequency, mel.data[NoteBase(0) + 1]);
    SetRecordInt(m, kRecordFrames, 0);
    // Last: an entry seen idle holds its size and the analysed melody.
    e->State.Store(kWaveIdle, std::memory_order_release);
  } else {
    // Nothing usable was recorded: the melody goes and the module passes its
    // inputs through again.
    discard = e;
    m.SampleEntry.Store(nullptr);
    m.SampleData = nullptr;
  }
  // The request is cleared after the switch, with release: a stop the page
  // asks on seeing it cleared finds the switch off and takes its ask back.
  m.ModuleSwitches[kSwitchRecord].Store(0);
  m.RecordDone.Store(0, std::memory_order_release);
  MelodyRecordingFinished(discard);
}

void SequencerPassThrough(ModuleRecord& m, int32_t parity, bool perVoice) {
  ModuleRecord* fs = m.PortSources[kSeqFrequency].LoadSettled();
  const ModuleRecord* vs = m.PortSources[kSeqVelocity].LoadSettled();
  ModuleRecord& owner = OwnerOfPort0(m);
  const int32_t n = perVoice ? KernelVoices(m) : (m.VoicesToCompute > 0 ? 1 : 0);
  m.ActiveVoices.Store(n);
  const int32_t* row = VoiceMap[m.Params[kSeqVelocity].VoiceMapRow & 1];
  uint32_t* own = m.TriggerBuffers[parity & 1];
  uint32_t* theirs = owner.TriggerBuffers[parity & 1];
  for (int32_t v = 0; v < n; ++v) {
    const int32_t w = VoiceIdAt(&owner, v);
    m.VoiceIds[v] = w;
    const uint32_t marks = own[w] | theirs[w];
    own[w] = marks;
    theirs[w] = marks;
    m.Outputs[0][v] = OutputElement{vs->Outputs[0][row[v]].Level, fs->Outputs[0][v].Frequency};
  }
}

namespace {

// Which path a frame takes; false when the module has nothing to do.
void ProcessSequencer(ModuleRecord* m, int32_t parity, bool perVoice) {
  Melody mel;
  float* table = VoiceTable(*m);
  if (table == nullptr || !MelodyOf(*m, mel)) {
    SequencerPassThrough(*m, parity, perVoice);
    return;
  }
  if (m->ModuleSwitches[kSwitchRecord].LoadSettled() != 0) {
    if (perVoice)
      RecordSequencerPoly(*m, parity);
    else
      RecordSequencerMono(*m, parity);
    return;
  }
  if (m->ModuleSwitches[kSwitchPlay].LoadSettled() == 0) return;
  const float length = SettingRead(*m, kSeqLength, 0);
  const float tempo = m->PortSources[kSeqTempo].LoadSettled()->Outputs[0][0].Level;
  if (length == 0.0f || tempo == 0.0f) return;
  const float step = tempo / (SampleRate * m->SampleStep);
  // A melody without a beat (or an unusable length) cannot be timed.
  if (!std::isfinite(step) || !std::isfinite(length)) return;
  if (perVoice)
    PlaybackPoly(*m, mel, table, parity, step, length);
  else
    PlaybackMono(*m, mel, table, parity, step, length);
}

}  // namespace

void ProcessSequencerMono(ModuleRecord* m, uint64_t, int32_t parity, int32_t) { ProcessSequencer(m, parity, false); }

void ProcessSequencerPoly(ModuleRecord* m, uint64_t, int32_t parity, int32_t) { ProcessSequencer(m, parity, true); }

void SortPairsByValue(KeyValuePair* pairs, int32_t lo, int32_t hi) {
  while (lo < hi) {
    const float pivot = pairs[lo + (hi - lo) / 2].Value;
    int32_t i = lo;
    int32_t j = hi;
    while (i <= j) {
      while (pairs[i].Value < pivot) ++i;
      while (pairs[j].Value > pivot) --j;
      if (i <= j) {
        std::swap(pairs[i], pairs[j]);
        ++i;
        --j;
      }
    }
    // Both parts are sorted; the smaller one by recursion keeps the depth
    // logarithmic.
    if (j - lo < hi - i) {
      if (lo < j) SortPairsByValue(pairs, lo, j);
      lo = i;
    } else {
      if (i < hi) SortPairsByValue(pairs, i, hi);
      hi = j;
    }
  }
}

namespace {

// Closeness of a ratio to a whole number: (frac(r) - 0.5)^2 with frac taken
// toward zero; 0.25 on a whole number, 0 halfway.
inline float Wholeness(float r) {
  const float f = r - std::trunc(r);
  const float d = f - 0.5f;
  return d * d;
}

}  // namespace

float AnalyseMelodyTempo(WaveLibraryEntry* entry, int32_t mode) {
  if (entry == nullptr || entry->Sound.samples == nullptr) return -19.0f;
  float* data = entry->Sound.samples;
  const uint32_t size = entry->Sound.dataSize;
  if (size < static_cast<uint32_t>(kMelodyHead * 4)) return -28.0f;
  const int32_t room = static_cast<int32_t>((size / 4u - kMelodyHead) / kMelodyNoteFloats);
  data[kMelodyGroupCount] = std::max(data[kMelodyGroupCount], 1.0f);
  const float r = data[kMelodyLength];
  // The data must hold exactly the notes it claims: more bytes than N notes
  // is foreign content, fewer would be read past.
  const float claimed = std::nearbyint(data[kMelodyNoteCount]);
  if (r == 0.0f || !(claimed >= 1.0f) || !(claimed <= static_cast<float>(room))) return -28.0f;
  const int32_t n = static_cast<int32_t>(claimed);
  if (size != static_cast<uint32_t>(16 * n + 24)) return -28.0f;
  const int32_t groups = WholeSetting(data[kMelodyGroupCount], 1, INT32_MAX);
  const int32_t count = mode == 0 ? std::min(n, 128) : n;

  float period;
  float beats;
  if (data[kMelodyGroupCount] == 1.0f) {
    period = data[kMelodyDurationSum];
    beats = 2.0f;
  } else {
    // Up to 128 notes fit the stack; longer analyses (not the audio thread's)
    // take the heap.
    float onsetsSmall[128];
    float intervalsSmall[256];
    KeyValuePair pairsSmall[128];
    std::vector<float> onsetsBig, intervalsBig;
    std::vector<KeyValuePair> pairsBig;
    float* s = onsetsSmall;
    float* d = intervalsSmall;
    KeyValuePair* pairs = pairsSmall;
    if (count > 128) {
      onsetsBig.assign(count, 0.0f);
      intervalsBig.assign(2 * count, 0.0f);
      pairsBig.assign(count, KeyValuePair{0, 0.0f});
      s = onsetsBig.data();
      d = intervalsBig.data();
      pairs = pairsBig.data();
    } else {
      std::fill(intervalsSmall, intervalsSmall + 256, 0.0f);
    }
    for (int32_t i = 0; i < count; ++i) s[i] = data[NoteBase(i) + 3];
    for (int32_t i = 0; i + 1 < count; ++i) {
      d[i] = std::fabs(s[i + 1] - s[i]);
      if (i + 2 < count)
        d[count - 1 + i] = std::fabs(s[i + 2] - s[i]);
      else
        d[count - 1 + i] = n > count ? std::fabs(data[NoteBase(count) + 3] - s[i]) : 0.0f;
    }
    const int32_t intervals = 2 * count - 2;

    // How well each onset divides the later ones.
    const int32_t pairCount = count - 1;
    for (int32_t i = 0; i < pairCount; ++i) {
      float score = 0.0f;
      for (int32_t j = i + 1; j < count; ++j)
        if (s[i] > 0.0f && s[j] > 0.0f) score = score + Wholeness(s[j] / s[i]);
      pairs[i] = KeyValuePair{i, score};
    }

    // The interval that divides the others best is the beat.
    int32_t best = 0;
    float bestScore = 0.0f;
    for (int32_t i = 0; i < count; ++i) {
      float e = 0.0f;
      for (int32_t j = 0; j < intervals; ++j)
        if (0.0f < d[i] && d[i] < d[j]) e = e + Wholeness(d[j] / d[i]);
      if (e > bestScore) {
        bestScore = e;
        best = i;
      }
    }
    period = d[best];
    if (!(period > 0.0f)) period = data[kMelodyDurationSum] / static_cast<float>(groups);

    // The bar: the best-scored onset that falls on a whole number of beats
    // above one.
    float bar = period;
    if (pairCount > 0) {
      SortPairsByValue(pairs, 0, pairCount - 1);
      for (int32_t q = pairCount - 1; q >= 0; --q) {
        const float x = s[pairs[q].Key] / period;
        if (Wholeness(x) > 0.15f && std::floor(x + 0.5f) > 1.0f) {
          bar = s[pairs[q].Key];
          break;
        }
      }
    }
    beats = std::floor(bar / period + 0.5f);
    period = bar / beats;
  }
  // No positive beat, no melody: the caller discards it rather than store a
  // tempo of infinity.
  if (!(period > 0.0f) || !std::isfinite(period) || !(beats >= 1.0f)) return -28.0f;
  const float barLength = beats * period;
  float bars = r / barLength;
  bars = std::ceil(bars);
  const float length = bars * barLength;
  if (!(length > 0.0f) || !std::isfinite(length)) return -28.0f;

  data[kMelodyBeatFrequency] = 1.0f / period;
  entry->LoudestPosition[0] = beats;
  entry->LoudestPosition[1] = bars;
  entry->LoudestValue[0] = period;
  entry->Pitch[0] = FrequencyNorm * data[kMelodyBeatFrequency];
  entry->Duration.Store(length);
  return length;
}

void RemoveMelodyEntry(int32_t index) { RemoveMelodyAt(index, nullptr); }

void RemoveMelodyEntryOf(WaveLibraryEntry* entry) {
  if (entry != nullptr) RemoveMelodyAt(entry->ListIndex, entry);
}

int32_t SequencerNotesRecorded(const ModuleRecord& m) { return RecordInt(m, kNotesRecorded); }

float SequencerRecordTime(const ModuleRecord& m) { return FramesToSeconds(RecordInt(m, kRecordFrames)); }

float SequencerPlayPosition(const ModuleRecord& m) { return static_cast<float>(PlayPosition(m)); }

}  // namespace Tarvelo

#include "engine/dsp/keyboards.h"

#include <atomic>
#include <bit>
#include <cmath>

#include "engine/dsp/contract.h"
#include "engine/keyboard.h"

namespace Tarvelo {

namespace {

// one thread: value
struct Board {
  KeyboardState* state;
  const Shared<KeyboardState*>* bank;
  platform::Mutex* const* locks;
  int32_t entry;  // where the state was found; a removal may move it on
};

// Instance n plays bank entry n - 1; a module without a valid instance has no
// state and publishes nothing. A removal renumbers the keyboards behind the
// deleted one and swaps their entries with them: the number and the entry are
// trusted together only when no renumbering began or ended in between, else
// the state found last is played (it moved along with the module).
inline Board BoardOf(ModuleRecord& m, bool octave) {
  const Shared<KeyboardState*>* bank = octave ? OctaveBoardStates : KeyboardStates;
  platform::Mutex* const* locks = octave ? OctaveBoardVoiceLocks : KeyboardVoiceLocks;
  const uint32_t before = KeyboardRenumbering.load(std::memory_order_acquire);
  if ((before & 1) == 0) {
    // Acquire: the count read again below is read after them, and a number or
    // entry that a renumbering stored brings its odd count along.
    const int32_t k = m.InstanceNumber.Load(std::memory_order_acquire) - 1;
    KeyboardState* state = static_cast<uint32_t>(k) < static_cast<uint32_t>(kKeyboardBankSize)
                               ? bank[k].Load(std::memory_order_acquire)
                               : nullptr;
    if (KeyboardRenumbering.load(std::memory_order_relaxed) == before) {
      m.PlayedState = state;
      return Board{state, bank, locks, k};
    }
  }
  return Board{m.PlayedState, bank, locks, -1};
}

inline bool ValidVoice(int32_t s) { return static_cast<uint32_t>(s) < static_cast<uint32_t>(kVoicesUsed); }

// A copy of a voice slot: the interface and the MIDI thread write slots under
// the voices lock, which processing does not take for reading.
// one thread: value
struct SlotWords {
  float Frequency;
  float Velocity;
  int32_t State;
};
inline SlotWords ReadSlot(const KeyboardState& state, int32_t s) {
  const VoiceSlot& v = state.Voices[s];
  return SlotWords{v.Frequency.Load(), v.Velocity.Load(), v.State.Load()};
}

// An octave board's slot frequency is a multiplier of its base frequency: the
// level the source of parameter 0 publishes (the set value while unlinked).
inline float BaseFrequency(const ModuleRecord& m) {
  const ModuleRecord* s = m.PortSources[0].LoadSettled() != nullptr ? m.PortSources[0].LoadSettled() : m.PortValueModules[0];
  return s != nullptr ? s->Outputs[0][0].Level : 1.0f;
}

inline float PublishedFrequency(bool octave, float base, float hertz) {
  if (!octave) return hertz * FrequencyNorm;
  return LimitValue(base * hertz * FrequencyNorm);
}

// The Keyboard's single setting is parameter 0, the Octave board's parameter 1.
inline int32_t MaxKeys(const ModuleRecord& m, bool octave) {
  return WholeSetting(PortValueLevel(m, octave ? 1 : 0), INT32_MIN, INT32_MAX);
}

inline uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

inline void SetStamp(ModuleRecord& m, uint32_t stamp) { m.Outputs[2][kVoices].Level = std::bit_cast<float>(stamp); }

// Publishes are stamped from one count for every board: a follower that
// switches boards cannot meet the stamp it knew. Relaxed: it only has to be
// unique, and publishes are rare.
std::atomic<uint32_t> PublishCount{0};

inline uint32_t NextStamp() {
  uint32_t s = PublishCount.fetch_add(1, std::memory_order_relaxed) + 1;
  // 0 is "nothing known"; after a wrap the next number serves.
  if (s == 0) s = PublishCount.fetch_add(1, std::memory_order_relaxed) + 1;
  return s;
}

void ProcessMono(ModuleRecord* m, bool octave) {
  const Board b = BoardOf(*m, octave);
  if (b.state == nullptr) {
    m->ActiveVoices.Store(0);
    return;
  }
  KeyboardState& state = *b.state;
  const int32_t last = state.LastVoice.Load();
  // Read and clear in one step (a note-on between the two must not be lost),
  // and only when set: most frames start no note.
  int32_t newNote = state.NewNote.Load();
  if (newNote != 0) newNote = state.NewNote.Exchange(0);
  m->VoiceIds[0] = 0;
  m->ActiveVoices.Store(1);
  OutputElement e{0.0f, 0.0f};
  if (!ValidVoice(last)) {
    m->ActiveVoices.Store(0);
  } else {
    const SlotWords slot = ReadSlot(state, last);
    if (slot.State == kVoiceFree) {
      m->ActiveVoices.Store(0);
    } else if (newNote == 0 && slot.State == kVoiceOn) {
      // A released voice and the first frame of a new note publish {0, 0}:
      // followers see velocity 0 for one frame before every note.
      e = OutputElement{slot.Velocity, PublishedFrequency(octave, BaseFrequency(*m), slot.Frequency)};
    }
  }
  m->Outputs[0][0] = e;
  // What the per-voice function published is gone.
  SetStamp(*m, 0);
  // In single-voice mode a released note never lingers.
  KillReleasedVoices(state, b.bank, b.locks, b.entry);
}

// Takes the state's changed mark; the acquire pairs with KbMarkChanged.
inline void TakeChangedMark(KeyboardState& state) {
  state.Changed.Exchange(0, std::memory_order_acquire);
}

// Frees a released voice unless a follower kept it alive during the previous
// frame (or the kill-released switch is on, or every key is in use). True
// when it was freed.
inline bool FreeReleased(ModuleRecord& m, const Board& b, int32_t id, int32_t n, int32_t maxKeys, bool killAll,
                         int32_t previousParity) {
  if (!(killAll || n >= maxKeys || !VoiceMarked(m, previousParity, id))) return false;
  platform::Mutex* lock = LockEntryOf(b.bank, b.locks, b.state, b.entry);
  if (lock == nullptr) return false;  // freed in a later frame
  // Checked again under the lock; the list without it is rebuilt at the
  // start of the next frame, so it is still published this frame.
  if (b.state->Voices[id].State.Load() == kVoiceReleased) KillVoice(*b.state, id);
  platform::MutexUnlock(lock);
  return true;
}

// The outputs and voice ids still hold what the last full pass published.
// Every reset of the outputs clears the stamp, and so does the single-voice
// function; what else writes them (the voice ids of a module that is not per
// voice, a feedback reader's seed while the board has no voices, a load) does
// it in a frame the board does not run in: the frame before this one must be
// the board's last.
inline bool StillPublished(const ModuleRecord& m, uint64_t lastFrame, uint64_t frameCounter) {
  return PublishStamp(m) != 0 && lastFrame + 1 == frameCounter;
}

// Released voices of a frame in which nothing else changed.
[[gnu::noinline]] void FreeKeptReleased(ModuleRecord& m, const Board& b, int32_t previousParity, bool octave) {
  KeyboardPublished& kept = m.Published;
  const int32_t maxKeys = MaxKeys(m, octave);
  const bool killAll = SwitchOn(m, kSwitchKillReleased);
  bool freed = false;
  for (uint32_t r = kept.Released; r != 0; r &= r - 1) {
    const int32_t id = kept.VoiceIds[std::countr_zero(r)];
    if (b.state->Voices[id].State.Load() != kVoiceReleased) continue;
    freed |= FreeReleased(m, b, id, kept.Voices, maxKeys, killAll, previousParity);
  }
  // A freed voice leaves the list next frame: published afresh then.
  if (freed) kept.State = nullptr;
}

// Every voice read from the state and published; what was published, and
// from what, is kept.
[[gnu::noinline]] void PublishVoices(ModuleRecord& m, const Board& b, int32_t changedWord, float base, float norm,
                                     int32_t previousParity, bool octave) {
  KeyboardState& state = *b.state;
  KeyboardPublished& kept = m.Published;
  const int32_t maxKeys = MaxKeys(m, octave);
  int32_t n = state.ActiveCount.Load();
  if (n < 0) n = 0;
  if (n > kVoicesUsed) n = kVoicesUsed;
  m.ActiveVoices.Store(n);
  const bool killAll = SwitchOn(m, kSwitchKillReleased);
  OutputElement* out = m.Outputs[0];
  int32_t* ids = m.VoiceIds;
  uint32_t released = 0;
  bool freed = false;
  for (int32_t i = 0; i < n; ++i) {
    int32_t id = state.ActiveList[i].Load();
    if (!ValidVoice(id)) id = 0;
    const VoiceSlot& slot = state.Voices[id];
    const int32_t voiceState = slot.State.Load();
    const float velocity = slot.Velocity.Load();
    float f;
    if (voiceState == kVoiceReleased) {
      f = 0.0f;
      released |= uint32_t{1} << i;
      freed |= FreeReleased(m, b, id, n, maxKeys, killAll, previousParity);
    } else {
      const float hertz = slot.Frequency.Load();
      f = octave ? LimitValue(base * hertz * norm) : hertz * norm;
    }
    const OutputElement e{velocity, f};
    out[i] = e;
    ids[i] = id;
    kept.Outputs[i] = e;
    kept.VoiceIds[i] = id;
  }
  // A mark other than -1 is never taken, and a freed voice leaves the list:
  // the next frame reads the state again.
  kept.State = (changedWord == 0 || changedWord == -1) && !freed ? &state : nullptr;
  kept.Voices = n;
  kept.Released = released;
  kept.Norm = Bits(norm);
  kept.Base = Bits(base);
  SetStamp(m, NextStamp());
}

[[gnu::always_inline]] inline void ProcessPoly(ModuleRecord* m, uint64_t frameCounter, int32_t previousParity,
                                               bool octave) {
  const Board b = BoardOf(*m, octave);
  KeyboardPublished& kept = m->Published;
  const uint64_t lastFrame = kept.Frame;
  kept.Frame = frameCounter;
  if (b.state == nullptr) {
    m->ActiveVoices.Store(0);
    kept.State = nullptr;
    return;
  }
  KeyboardState& state = *b.state;
  const int32_t changedWord = state.Changed.Load();
  const bool stateChanged = changedWord == -1;
  const int32_t active = m->ActiveVoices.LoadSettled();
  if (!(active > 0 || stateChanged || (octave && m->Changed.Load() != 0))) return;
  if (stateChanged) TakeChangedMark(state);

  const float base = octave ? BaseFrequency(*m) : 1.0f;
  // Loaded once: the stores of the voices could otherwise be taken to change it.
  const float norm = FrequencyNorm;
  // Nothing the voices are published from changed: every writer of the
  // voices and the list marks the state changed, so only released voices
  // (freed by what followers did in the previous frame) need a look.
  if (changedWord == 0 && kept.State == &state && kept.Voices == active && kept.Norm == Bits(norm) &&
      kept.Base == Bits(base) && StillPublished(*m, lastFrame, frameCounter)) {
    if (kept.Released != 0) FreeKeptReleased(*m, b, previousParity, octave);
    return;
  }
  PublishVoices(*m, b, changedWord, base, norm, previousParity, octave);
}

}  // namespace

void ProcessKeyboardMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessMono(m, false); }

void ProcessKeyboardPoly(ModuleRecord* m, uint64_t frameCounter, int32_t, int32_t previousParity) {
  ProcessPoly(m, frameCounter, previousParity, false);
}

void ProcessOctaveBoardMono(ModuleRecord* m, uint64_t, int32_t, int32_t) { ProcessMono(m, true); }

void ProcessOctaveBoardPoly(ModuleRecord* m, uint64_t frameCounter, int32_t, int32_t previousParity) {
  ProcessPoly(m, frameCounter, previousParity, true);
}

}  // namespace Tarvelo

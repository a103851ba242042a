// Keyboard states: held keys, voice slots and the active voice list.
#include "engine/keyboard.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

#include "basics/errors.h"

namespace Tarvelo {

using platform::Mutex;
using platform::MutexGuard;

std::atomic<uint32_t> KeyboardPendingCount{0};
std::atomic<uint32_t> KeyboardRenumbering{0};
KeyboardState* KeyboardStates[kKeyboardBankSize] = {};
KeyboardState* OctaveBoardStates[kKeyboardBankSize] = {};
Mutex* KeyboardVoiceLocks[kKeyboardBankSize] = {};
Mutex* KeyboardKeyLocks[kKeyboardBankSize] = {};
Mutex* OctaveBoardVoiceLocks[kKeyboardBankSize] = {};
Mutex* OctaveBoardKeyLocks[kKeyboardBankSize] = {};

namespace {

// A keyboard starts three octaves up so that its first on-screen key sounds
// low but audible with the default tuning.
constexpr int32_t kKeyboardStartOctave = 3;
constexpr int32_t kDefaultNotesPerOctave = 12;
// Largest key offset that can make sense: 8 octaves of the largest tuning.
constexpr int32_t kKeyOffsetLimit = 8 * 64;

bool ValidSlot(int32_t slot) { return slot >= 0 && slot < kVoicesUsed; }

void ClearSlot(VoiceSlot& v) {
  KbStore(v.Velocity, 0.0f);
  KbStore(v.Frequency, 0.0f);
  KbStore(v.State, static_cast<int32_t>(kVoiceFree));
}

}  // namespace

void BeginKeyboardRenumbering() {
  KeyboardRenumbering.store(KeyboardRenumbering.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // The odd count is seen before any number or entry it covers.
  std::atomic_thread_fence(std::memory_order_release);
}

void EndKeyboardRenumbering() {
  KeyboardRenumbering.store(KeyboardRenumbering.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

Mutex* LockEntryOf(KeyboardState* const* bank, Mutex* const* locks, const KeyboardState* state, int32_t hint) {
  if (state == nullptr) return nullptr;
  // A removal moves each state once or twice at most: a few looks find it.
  for (int32_t tries = 0; tries < 4; ++tries) {
    int32_t k = hint >= 0 && hint < kKeyboardBankSize && KbLoad(bank[hint]) == state ? hint : -1;
    for (int32_t i = 0; i < kKeyboardBankSize && k < 0; ++i)
      if (KbLoad(bank[i]) == state) k = i;
    if (k < 0) return nullptr;
    platform::MutexLock(locks[k]);
    if (KbLoad(bank[k]) == state) return locks[k];
    platform::MutexUnlock(locks[k]);
    hint = -1;
  }
  return nullptr;
}

int32_t InitKeyboardStates() {
  if (KeyboardStates[0] != nullptr) return 0;
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    OctaveBoardVoiceLocks[i] = platform::MutexCreate();
    OctaveBoardKeyLocks[i] = platform::MutexCreate();
    KeyboardVoiceLocks[i] = platform::MutexCreate();
    KeyboardKeyLocks[i] = platform::MutexCreate();
    if (!OctaveBoardVoiceLocks[i] || !OctaveBoardKeyLocks[i] || !KeyboardVoiceLocks[i] ||
        !KeyboardKeyLocks[i]) {
      FreeKeyboardStates();
      return -QUARLE_BASICS::kErrMutexCreate;
    }
  }
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    OctaveBoardStates[i] = new (std::nothrow) KeyboardState;
    KeyboardStates[i] = new (std::nothrow) KeyboardState;
    if (!OctaveBoardStates[i] || !KeyboardStates[i]) {
      FreeKeyboardStates();
      return -QUARLE_BASICS::kErrAllocation;
    }
    KeyboardStateInit(*OctaveBoardStates[i]);
    KeyboardStateInit(*KeyboardStates[i]);
    KeyboardStates[i]->Octave = kKeyboardStartOctave;
    KeyboardStates[i]->KeyOffset = kDefaultNotesPerOctave * kKeyboardStartOctave;
  }
  return 0;
}

void FreeKeyboardStates() {
  for (int32_t i = 0; i < kKeyboardBankSize; ++i) {
    platform::MutexDestroy(OctaveBoardVoiceLocks[i]);
    platform::MutexDestroy(OctaveBoardKeyLocks[i]);
    platform::MutexDestroy(KeyboardVoiceLocks[i]);
    platform::MutexDestroy(KeyboardKeyLocks[i]);
    OctaveBoardVoiceLocks[i] = OctaveBoardKeyLocks[i] = nullptr;
    KeyboardVoiceLocks[i] = KeyboardKeyLocks[i] = nullptr;
    for (KeyboardState** bank : {OctaveBoardStates, KeyboardStates}) {
      if (bank[i]) KeyboardStateFree(*bank[i]);
      delete bank[i];
      bank[i] = nullptr;
    }
  }
}

void KeyboardStateInit(KeyboardState& state) {
  std::memset(&state, 0, sizeof state);
  for (HeldKey& h : state.HeldKeys) h.Voice = kHeldKeyFree;
  state.Reserved1 = -1;
  state.LastVoice = -1;
}

void KeyboardStateFree(KeyboardState&) {}

void CopyVoiceSlot(VoiceSlot& destination, const VoiceSlot& source) {
  KbStore(destination.Frequency, KbLoad(source.Frequency));
  KbStore(destination.Velocity, KbLoad(source.Velocity));
  KbStore(destination.State, KbLoad(source.State));
  KbStore(destination.Index, KbLoad(source.Index));
}

int32_t HeldKeyReserve(KeyboardState& state, Mutex* heldKeysLock) {
  MutexGuard guard(heldKeysLock);
  for (int32_t h = 0; h < kHeldKeyCount; ++h) {
    if (KbLoad(state.HeldKeys[h].Voice) == kHeldKeyFree) {
      KbStore(state.HeldKeys[h].Voice, kHeldKeyReserved);
      return h;
    }
  }
  return -1;
}

int32_t FindHeldKey(const KeyboardState& state, uint32_t key) {
  return FindOtherHeldKey(state, key, -1);
}

int32_t FindOtherHeldKey(const KeyboardState& state, uint32_t key, int32_t except) {
  for (int32_t h = 0; h < kHeldKeyCount; ++h) {
    if (h == except) continue;
    const HeldKey& e = state.HeldKeys[h];
    if (KbLoad(e.Voice) >= 0 && KbLoad(e.Key) == key) return h;
  }
  return -1;
}

void ReleaseHeldKeys(KeyboardState& state, Mutex* heldKeysLock) {
  MutexGuard guard(heldKeysLock);
  for (HeldKey& e : state.HeldKeys) {
    const int32_t voice = KbLoad(e.Voice);
    if (voice < 0) continue;
    NoteOff(state, voice);
    KbStore(e.Voice, kHeldKeyFree);
  }
}

int32_t FindFreeVoiceSlot(const KeyboardState& state) {
  if (KbLoad(state.ActiveCount) > kVoicesUsed - 1) return -1;
  for (int32_t s = 0; s < kVoicesUsed; ++s) {
    if (KbLoad(state.Voices[s].State) == kVoiceFree) return s;
  }
  return -1;
}

int32_t NoteOn(KeyboardState& state, float frequency, float velocity) {
  // A silent pitch starts no voice; callers take any negative result as failure.
  if (frequency == 0.0f || std::isnan(frequency)) return -1;
  const int32_t s = FindFreeVoiceSlot(state);
  if (s < 0) return -1;
  VoiceSlot& v = state.Voices[s];
  KbStore(v.Frequency, frequency);
  KbStore(v.Velocity, velocity);
  KbStore(v.Index, s);
  KbStore(v.State, static_cast<int32_t>(kVoiceOn));
  KbStore(state.LastVoice, s);
  KbStore(state.NewNote, 1);
  KbStore(state.VoicesOn, KbLoad(state.VoicesOn) + 1);
  KbPostPending(state, kPendingRebuild);
  return s;
}

int32_t SlideVoice(KeyboardState& state, int32_t slot, float frequency, float velocity) {
  if (!ValidSlot(slot)) return 0;
  KbStore(state.Voices[slot].Frequency, frequency);
  KbStore(state.Voices[slot].Velocity, velocity);
  KbMarkChanged(state);
  return 0;
}

int32_t NoteOff(KeyboardState& state, int32_t slot) {
  if (!ValidSlot(slot)) return 0;
  VoiceSlot& v = state.Voices[slot];
  // Only a sounding voice is released: a released or free one is left alone, so
  // a late release can never touch a voice that was freed and started again.
  if (KbLoad(v.State) != kVoiceOn) return 0;
  KbStore(v.Velocity, 0.0f);
  int32_t expected = kVoiceOn;
  std::atomic_ref<int32_t>(v.State).compare_exchange_strong(expected, kVoiceReleased,
                                                            std::memory_order_relaxed);
  KbMarkChanged(state);
  return 0;
}

void KillVoice(KeyboardState& state, int32_t slot) {
  if (!ValidSlot(slot)) return;
  VoiceSlot& v = state.Voices[slot];
  if (KbLoad(v.State) == kVoiceFree) return;
  ClearSlot(v);
  if (KbLoad(state.LastVoice) == slot) KbStore(state.LastVoice, -1);
  const int32_t on = KbLoad(state.VoicesOn);
  KbStore(state.VoicesOn, on > 0 ? on - 1 : 0);
  KbPostPending(state, kPendingRebuild);
}

void VoiceListRebuild(KeyboardState& state, Mutex* heldKeysLock) {
  if (KbLoad(state.Pending) == kPendingReset) {
    ResetKeyboardState(state, heldKeysLock);
    return;
  }
  const int32_t want = KbLoad(state.VoicesOn);
  int32_t n = 0;
  for (int32_t s = 0; s < kVoicesUsed && n < want; ++s) {
    if (KbLoad(state.Voices[s].State) > kVoiceFree) KbStore(state.ActiveList[n++], s);
  }
  // n differs from VoicesOn only if the counts went wrong; the list must never
  // name slots that were not found.
  KbStore(state.ActiveCount, n);
  KbStore(state.VoicesOn, n);
  KbStore(state.Pending, kPendingTaken);
  KbMarkChanged(state);
}

void ResetKeyboardState(KeyboardState& state, Mutex* heldKeysLock) {
  ReleaseHeldKeys(state, heldKeysLock);
  for (VoiceSlot& v : state.Voices) {
    ClearSlot(v);
    KbStore(v.Index, 0);
  }
  KbStore(state.ActiveCount, 0);
  KbStore(state.VoicesOn, 0);
  KbStore(state.LastVoice, -1);
  KbStore(state.NewNote, 0);
  KbStore(state.Pending, kPendingTaken);
  KbMarkChanged(state);
}

void SanitizeKeyboardState(KeyboardState& state) {
  // Only slots that are on survive: a released voice would otherwise never be
  // freed (it is not listed), and a stored count of 0 means nothing sounds.
  int32_t count = state.ActiveCount;
  if (count < 0) count = 0;
  if (count > kVoicesUsed) count = kVoicesUsed;
  int32_t listed = 0;
  for (int32_t s = 0; s < kVoiceSlotCount; ++s) {
    VoiceSlot& v = state.Voices[s];
    v.Index = s;
    const bool keep = count > 0 && s < kVoicesUsed && v.State == kVoiceOn &&
                      std::isfinite(v.Frequency) && v.Frequency != 0.0f &&
                      std::isfinite(v.Velocity);
    if (keep) {
      state.ActiveList[listed++] = s;
    } else {
      v.Frequency = 0.0f;
      v.Velocity = 0.0f;
      v.State = kVoiceFree;
    }
  }
  for (int32_t i = listed; i < kVoiceSlotCount; ++i) state.ActiveList[i] = 0;
  state.ActiveCount = listed;
  if (!ValidSlot(state.LastVoice) || state.Voices[state.LastVoice].State != kVoiceOn) {
    state.LastVoice = -1;
    state.NewNote = 0;
  } else {
    state.NewNote = state.NewNote != 0 ? 1 : 0;
  }
  state.VoicesOn = listed;
  state.Pending = kPendingTaken;
  state.Changed = -1;

  // Each held key names a distinct sounding voice, or none.
  bool claimed[kVoicesUsed] = {};
  for (HeldKey& e : state.HeldKeys) {
    const int32_t voice = e.Voice;
    if (!ValidSlot(voice) || state.Voices[voice].State != kVoiceOn || claimed[voice]) {
      e.Voice = kHeldKeyFree;
    } else {
      claimed[voice] = true;
    }
  }
  if (state.KeyOffset > kKeyOffsetLimit) state.KeyOffset = kKeyOffsetLimit;
  if (state.KeyOffset < -kKeyOffsetLimit) state.KeyOffset = -kKeyOffsetLimit;
  state.Reserved2 = 0;
}

void KillReleasedVoices(KeyboardState& state, Mutex* voicesLock) {
  const int32_t n = KbLoad(state.ActiveCount);
  for (int32_t i = 0; i < n && i < kVoiceSlotCount; ++i) {
    const int32_t s = KbLoad(state.ActiveList[i]);
    if (!ValidSlot(s) || KbLoad(state.Voices[s].State) != kVoiceReleased) continue;
    MutexGuard guard(voicesLock);
    // Checked again under the lock: a reset and a new note may have reused it.
    if (KbLoad(state.Voices[s].State) == kVoiceReleased) KillVoice(state, s);
  }
}

void KillReleasedVoices(KeyboardState& state, KeyboardState* const* bank, Mutex* const* locks, int32_t hint) {
  const int32_t n = KbLoad(state.ActiveCount);
  for (int32_t i = 0; i < n && i < kVoiceSlotCount; ++i) {
    const int32_t s = KbLoad(state.ActiveList[i]);
    if (!ValidSlot(s) || KbLoad(state.Voices[s].State) != kVoiceReleased) continue;
    Mutex* lock = LockEntryOf(bank, locks, &state, hint);
    if (lock == nullptr) return;  // freed in a later frame
    if (KbLoad(state.Voices[s].State) == kVoiceReleased) KillVoice(state, s);
    platform::MutexUnlock(lock);
  }
}

namespace {
// Every field of the state is a 4-byte word.
constexpr size_t kStateWords = sizeof(KeyboardState) / sizeof(int32_t);
static_assert(kStateWords * sizeof(int32_t) == sizeof(KeyboardState));
}  // namespace

void KeyboardStateCopyIn(KeyboardState& live, const KeyboardState& copy) {
  int32_t words[kStateWords];
  std::memcpy(words, &copy, sizeof words);
  auto* out = reinterpret_cast<int32_t*>(&live);
  constexpr size_t kChangedWord = offsetof(KeyboardState, Changed) / sizeof(int32_t);
  for (size_t i = 0; i < kStateWords; ++i)
    if (i != kChangedWord) KbStore(out[i], words[i]);
  // Every voice may differ now: marked last, whatever the copy held.
  KbMarkChanged(live);
}

void KeyboardStateCopyOut(KeyboardState& copy, const KeyboardState& live) {
  int32_t words[kStateWords];
  const auto* in = reinterpret_cast<const int32_t*>(&live);
  for (size_t i = 0; i < kStateWords; ++i) words[i] = KbLoad(in[i]);
  std::memcpy(static_cast<void*>(&copy), words, sizeof words);
}

}  // namespace Tarvelo

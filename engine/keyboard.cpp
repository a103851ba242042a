// Keyboard states: held keys, voice slots and the active voice list.
#include "engine/keyboard.h"

#include <algorithm>
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
Shared<KeyboardState*> KeyboardStates[kKeyboardBankSize] = {};
Shared<KeyboardState*> OctaveBoardStates[kKeyboardBankSize] = {};
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

// The states the banks were made with: a removal moves a state between
// entries but never elsewhere, so a state is known by its address.
// one thread: start-up
const KeyboardState* StateHomes[2 * kKeyboardBankSize] = {};
// The generations of each made state's held keys, moved on under its
// held-keys lock as an entry takes a note. Never set back: a press kept
// across the banks' free and a new start matches nothing.
Shared<uint32_t> HeldKeyGenerations[2 * kKeyboardBankSize][kHeldKeyCount];

Shared<uint32_t>* GenerationsOf(const KeyboardState& state) {
  for (int32_t i = 0; i < 2 * kKeyboardBankSize; ++i)
    if (StateHomes[i] == &state) return HeldKeyGenerations[i];
  return nullptr;
}

void ClearSlot(VoiceSlot& v) {
  v.Velocity.Store(0.0f);
  v.Frequency.Store(0.0f);
  v.State.Store(static_cast<int32_t>(kVoiceFree));
}

}  // namespace

void BeginKeyboardRenumbering() {
  // The numbers and entries it covers are stored with release: a reader that
  // sees one of them sees this odd count too.
  KeyboardRenumbering.store(KeyboardRenumbering.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void EndKeyboardRenumbering() {
  KeyboardRenumbering.store(KeyboardRenumbering.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

Mutex* LockEntryOf(const Shared<KeyboardState*>* bank, Mutex* const* locks, const KeyboardState* state, int32_t hint) {
  if (state == nullptr) return nullptr;
  // A removal moves each state once or twice at most: a few looks find it.
  for (int32_t tries = 0; tries < 4; ++tries) {
    int32_t k = hint >= 0 && hint < kKeyboardBankSize && bank[hint].Load() == state ? hint : -1;
    for (int32_t i = 0; i < kKeyboardBankSize && k < 0; ++i)
      if (bank[i].Load() == state) k = i;
    if (k < 0) return nullptr;
    platform::MutexLock(locks[k]);
    if (bank[k].Load() == state) return locks[k];
    platform::MutexUnlock(locks[k]);
    hint = -1;
  }
  return nullptr;
}

int32_t InitKeyboardStates() {
  if (KeyboardStates[0].Load() != nullptr) return 0;
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
    OctaveBoardStates[i].Store(new (std::nothrow) KeyboardState);
    KeyboardStates[i].Store(new (std::nothrow) KeyboardState);
    if (!OctaveBoardStates[i].Load() || !KeyboardStates[i].Load()) {
      FreeKeyboardStates();
      return -QUARLE_BASICS::kErrAllocation;
    }
    KeyboardStateInit(*OctaveBoardStates[i].Load());
    KeyboardStateInit(*KeyboardStates[i].Load());
    StateHomes[2 * i] = OctaveBoardStates[i].Load();
    StateHomes[2 * i + 1] = KeyboardStates[i].Load();
    KeyboardStates[i].Load()->Octave.Store(kKeyboardStartOctave);
    KeyboardStates[i].Load()->KeyOffset.Store(kDefaultNotesPerOctave * kKeyboardStartOctave);
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
    for (Shared<KeyboardState*>* bank : {OctaveBoardStates, KeyboardStates}) {
      KeyboardState* state = bank[i].Exchange(nullptr);
      if (state) KeyboardStateFree(*state);
      delete state;
    }
  }
  for (const KeyboardState*& home : StateHomes) home = nullptr;
}

void KeyboardStateInit(KeyboardState& state) {
  std::memset(static_cast<void*>(&state), 0, sizeof state);
  for (HeldKey& h : state.HeldKeys) h.Voice.Store(kHeldKeyFree);
  state.Reserved1.Store(-1);
  state.LastVoice.Store(-1);
}

void KeyboardStateFree(KeyboardState&) {}

void CopyVoiceSlot(VoiceSlot& destination, const VoiceSlot& source) {
  CopyShared(destination.Frequency, source.Frequency);
  CopyShared(destination.Velocity, source.Velocity);
  CopyShared(destination.State, source.State);
  CopyShared(destination.Index, source.Index);
}

int32_t HeldKeyReserve(KeyboardState& state, Mutex* heldKeysLock) {
  MutexGuard guard(heldKeysLock);
  for (int32_t h = 0; h < kHeldKeyCount; ++h) {
    if (state.HeldKeys[h].Voice.Load() == kHeldKeyFree) {
      state.HeldKeys[h].Voice.Store(kHeldKeyReserved);
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
    if (e.Voice.Load() >= 0 && e.Key.Load() == key) return h;
  }
  return -1;
}

namespace {

void LetHeldKeysGo(KeyboardState& state) {
  for (HeldKey& e : state.HeldKeys) {
    const int32_t voice = e.Voice.Load();
    if (voice < 0) continue;
    NoteOff(state, voice);
    e.Voice.Store(kHeldKeyFree);
  }
}

// What a reset leaves once the held keys let their voices go.
void ClearVoices(KeyboardState& state) {
  for (VoiceSlot& v : state.Voices) {
    ClearSlot(v);
    v.Index.Store(0);
  }
  state.ActiveCount.Store(0);
  state.VoicesOn.Store(0);
  state.LastVoice.Store(-1);
  state.NewNote.Store(0);
  state.Pending.Store(kPendingTaken);
  KbMarkChanged(state);
}

}  // namespace

void ReleaseHeldKeys(KeyboardState& state, Mutex* heldKeysLock) {
  MutexGuard guard(heldKeysLock);
  LetHeldKeysGo(state);
}

uint32_t HeldKeyGeneration(const KeyboardState& state, int32_t entry) {
  const Shared<uint32_t>* g = GenerationsOf(state);
  return g && entry >= 0 && entry < kHeldKeyCount ? g[entry].Load() : 0;
}

uint32_t NextHeldKeyGeneration(KeyboardState& state, int32_t entry) {
  Shared<uint32_t>* g = GenerationsOf(state);
  if (!g || entry < 0 || entry >= kHeldKeyCount) return 0;
  g[entry].Store(g[entry].Load() + 1);
  return g[entry].Load();
}

void LetGoOfHeldKeys(KeyboardState& copy) { LetHeldKeysGo(copy); }

int32_t FindFreeVoiceSlot(const KeyboardState& state) {
  if (state.ActiveCount.Load() > kVoicesUsed - 1) return -1;
  for (int32_t s = 0; s < kVoicesUsed; ++s) {
    if (state.Voices[s].State.Load() == kVoiceFree) return s;
  }
  return -1;
}

int32_t NoteOn(KeyboardState& state, float frequency, float velocity) {
  // A silent pitch starts no voice; callers take any negative result as failure.
  if (frequency == 0.0f || std::isnan(frequency)) return -1;
  const int32_t s = FindFreeVoiceSlot(state);
  if (s < 0) return -1;
  VoiceSlot& v = state.Voices[s];
  v.Frequency.Store(frequency);
  v.Velocity.Store(velocity);
  v.Index.Store(s);
  v.State.Store(static_cast<int32_t>(kVoiceOn));
  state.LastVoice.Store(s);
  state.NewNote.Store(1);
  state.VoicesOn.Store(state.VoicesOn.Load() + 1);
  KbPostPending(state, kPendingRebuild);
  return s;
}

int32_t SlideVoice(KeyboardState& state, int32_t slot, float frequency, float velocity) {
  if (!ValidSlot(slot)) return 0;
  state.Voices[slot].Frequency.Store(frequency);
  state.Voices[slot].Velocity.Store(velocity);
  KbMarkChanged(state);
  return 0;
}

int32_t NoteOff(KeyboardState& state, int32_t slot) {
  if (!ValidSlot(slot)) return 0;
  VoiceSlot& v = state.Voices[slot];
  // Only a sounding voice is released: a released or free one is left alone, so
  // a late release can never touch a voice that was freed and started again.
  if (v.State.Load() != kVoiceOn) return 0;
  v.Velocity.Store(0.0f);
  int32_t expected = kVoiceOn;
  v.State.CompareExchange(expected, kVoiceReleased);
  KbMarkChanged(state);
  return 0;
}

void KillVoice(KeyboardState& state, int32_t slot) {
  if (!ValidSlot(slot)) return;
  VoiceSlot& v = state.Voices[slot];
  if (v.State.Load() == kVoiceFree) return;
  ClearSlot(v);
  if (state.LastVoice.Load() == slot) state.LastVoice.Store(-1);
  const int32_t on = state.VoicesOn.Load();
  state.VoicesOn.Store(on > 0 ? on - 1 : 0);
  KbPostPending(state, kPendingRebuild);
}

void VoiceListRebuild(KeyboardState& state, Mutex* heldKeysLock) {
  if (state.Pending.Load() == kPendingReset) {
    ResetKeyboardState(state, heldKeysLock);
    return;
  }
  const int32_t want = state.VoicesOn.Load();
  int32_t n = 0;
  for (int32_t s = 0; s < kVoicesUsed && n < want; ++s) {
    if (state.Voices[s].State.Load() > kVoiceFree) (state.ActiveList[n++]).Store(s);
  }
  // n differs from VoicesOn only if the counts went wrong; the list must never
  // name slots that were not found.
  state.ActiveCount.Store(n);
  state.VoicesOn.Store(n);
  state.Pending.Store(kPendingTaken);
  KbMarkChanged(state);
}

void ResetKeyboardState(KeyboardState& state, Mutex* heldKeysLock) {
  ReleaseHeldKeys(state, heldKeysLock);
  ClearVoices(state);
}

void ApplyPendingReset(KeyboardState& copy) {
  if (copy.Pending.Load() != kPendingReset) return;
  LetHeldKeysGo(copy);
  ClearVoices(copy);
}

void SanitizeKeyboardState(KeyboardState& state) {
  // Only slots that are on survive: a released voice would otherwise never be
  // freed (it is not listed), and a stored count of 0 means nothing sounds.
  int32_t count = state.ActiveCount.Load();
  if (count < 0) count = 0;
  if (count > kVoicesUsed) count = kVoicesUsed;
  int32_t listed = 0;
  for (int32_t s = 0; s < kVoiceSlotCount; ++s) {
    VoiceSlot& v = state.Voices[s];
    v.Index.Store(s);
    const float frequency = v.Frequency.Load();
    const bool keep = count > 0 && s < kVoicesUsed && v.State.Load() == kVoiceOn && std::isfinite(frequency) &&
                      frequency != 0.0f && std::isfinite(v.Velocity.Load());
    if (keep) {
      state.ActiveList[listed++].Store(s);
    } else {
      v.Frequency.Store(0.0f);
      v.Velocity.Store(0.0f);
      v.State.Store(kVoiceFree);
    }
  }
  for (int32_t i = listed; i < kVoiceSlotCount; ++i) state.ActiveList[i].Store(0);
  state.ActiveCount.Store(listed);
  const int32_t last = state.LastVoice.Load();
  if (!ValidSlot(last) || state.Voices[last].State.Load() != kVoiceOn) {
    state.LastVoice.Store(-1);
    state.NewNote.Store(0);
  } else {
    state.NewNote.Store(state.NewNote.Load() != 0 ? 1 : 0);
  }
  state.VoicesOn.Store(listed);
  state.Pending.Store(kPendingTaken);
  state.Changed.Store(-1);

  // Each held key names a distinct sounding voice, or none.
  bool claimed[kVoicesUsed] = {};
  for (HeldKey& e : state.HeldKeys) {
    const int32_t voice = e.Voice.Load();
    if (!ValidSlot(voice) || state.Voices[voice].State.Load() != kVoiceOn || claimed[voice]) {
      e.Voice.Store(kHeldKeyFree);
    } else {
      claimed[voice] = true;
    }
  }
  state.KeyOffset.Store(std::clamp(state.KeyOffset.Load(), -kKeyOffsetLimit, kKeyOffsetLimit));
  state.Reserved2.Store(0);
}

void SanitizeLoadedKeyboardState(KeyboardState& state) {
  // A state saved before the render took its reset plays what the reset left.
  ApplyPendingReset(state);
  SanitizeKeyboardState(state);
  // Every note-on takes a held key and its release lets both go: a voice on
  // that no held key names would sound with nobody holding it.
  bool named[kVoicesUsed] = {};
  for (const HeldKey& e : state.HeldKeys)
    if (ValidSlot(e.Voice.Load())) named[e.Voice.Load()] = true;
  bool dropped = false;
  for (int32_t s = 0; s < kVoicesUsed; ++s) {
    if (named[s] || state.Voices[s].State.Load() == kVoiceFree) continue;
    ClearSlot(state.Voices[s]);
    dropped = true;
  }
  // The counts, the list and the last voice follow the slots again.
  if (dropped) SanitizeKeyboardState(state);
}

void KillReleasedVoices(KeyboardState& state, Mutex* voicesLock) {
  const int32_t n = state.ActiveCount.Load();
  for (int32_t i = 0; i < n && i < kVoiceSlotCount; ++i) {
    const int32_t s = state.ActiveList[i].Load();
    if (!ValidSlot(s) || state.Voices[s].State.Load() != kVoiceReleased) continue;
    MutexGuard guard(voicesLock);
    // Checked again under the lock: a reset and a new note may have reused it.
    if (state.Voices[s].State.Load() == kVoiceReleased) KillVoice(state, s);
  }
}

void KillReleasedVoices(KeyboardState& state, const Shared<KeyboardState*>* bank, Mutex* const* locks, int32_t hint) {
  const int32_t n = state.ActiveCount.Load();
  for (int32_t i = 0; i < n && i < kVoiceSlotCount; ++i) {
    const int32_t s = state.ActiveList[i].Load();
    if (!ValidSlot(s) || state.Voices[s].State.Load() != kVoiceReleased) continue;
    Mutex* lock = LockEntryOf(bank, locks, &state, hint);
    if (lock == nullptr) return;  // freed in a later frame
    if (state.Voices[s].State.Load() == kVoiceReleased) KillVoice(state, s);
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
  auto* out = reinterpret_cast<Shared<int32_t>*>(&live);
  constexpr size_t kChangedWord = offsetof(KeyboardState, Changed) / sizeof(int32_t);
  for (size_t i = 0; i < kStateWords; ++i)
    if (i != kChangedWord) out[i].Store(words[i]);
  // Whatever the held keys held before is gone: no press may end what the
  // copy brought into its entries.
  for (int32_t h = 0; h < kHeldKeyCount; ++h) NextHeldKeyGeneration(live, h);
  // Every voice may differ now: marked last, whatever the copy held.
  KbMarkChanged(live);
}

void KeyboardStateCopyOut(KeyboardState& copy, const KeyboardState& live) {
  // Word by word into the copy too: a plain copy of a record of shared words
  // goes through CopyShared only.
  const auto* in = reinterpret_cast<const Shared<int32_t>*>(&live);
  auto* out = reinterpret_cast<Shared<int32_t>*>(&copy);
  for (size_t i = 0; i < kStateWords; ++i) out[i].Store(in[i].Load());
}

}  // namespace Tarvelo

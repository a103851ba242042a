// Keyboard and octave-board states: the keys held down and the voices they sound.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/threads.h"

namespace Tarvelo {

constexpr int32_t kKeyboardBankSize = 16;  // keyboard (and octave-board) states
constexpr int32_t kHeldKeyCount = 10;      // keys held down at once
constexpr int32_t kVoiceSlotCount = 33;    // slots stored; 0..31 are used
constexpr int32_t kVoicesUsed = 32;

enum VoiceState : int32_t {
  kVoiceFree = 0,
  kVoiceOn = 1,
  kVoiceReleased = 2,
};

// Held-key entry Voice values below 0.
constexpr int32_t kHeldKeyFree = -1;
constexpr int32_t kHeldKeyReserved = -2;  // a note-on is under way

// Pending word values.
constexpr int32_t kPendingTaken = 0;
constexpr int32_t kPendingRebuild = -1;
constexpr int32_t kPendingReset = -2;

struct VoiceSlot {
  float Frequency;  // hertz (an octave board's frequency is a multiplier)
  float Velocity;
  int32_t State;    // VoiceState
  int32_t Index;    // the slot's own number, set at note-on
};
static_assert(sizeof(VoiceSlot) == 16);

struct HeldKey {
  uint32_t Stamp;  // the state's slide word at note-on
  uint32_t Key;
  int32_t Voice;   // sounding slot; kHeldKeyFree, kHeldKeyReserved
};
static_assert(sizeof(HeldKey) == 12);

// Stored whole (828 bytes) in synth files, so the layout is fixed. The voices
// lock and the held-keys lock of a state live outside it.
struct KeyboardState {
  int32_t LockFlag;   // key lock: 0 off, -1 on (released keys stay held)
  int32_t Stamp;      // slide word (0 island keys, 1 slide); copied into each held key
  int32_t Octave;     // keyboards: KeyOffset / notes per octave; octave boards: first key
  int32_t KeyOffset;  // added to every key of the on-screen keyboard
  HeldKey HeldKeys[kHeldKeyCount];
  VoiceSlot Voices[kVoiceSlotCount];
  int32_t NewNote;    // 1 after a note-on; single-voice processing reads and clears it
  int32_t LastVoice;  // slot of the latest note-on; -1 none
  int32_t ActiveCount;                  // entries of ActiveList, 0..32
  int32_t ActiveList[kVoiceSlotCount];  // sounding slots (on or released), ascending
  int32_t VoicesOn;   // slots that are not free
  int32_t Reserved1;  // -1 after construction
  int32_t Changed;    // -1 after any change of a voice
  int32_t Pending;    // kPendingRebuild, kPendingTaken, kPendingReset
  int32_t Reserved2;  // zero; keeps the stored size
};
static_assert(sizeof(KeyboardState) == 828, "KeyboardState is stored as 828 bytes");

// The state's words are shared between the interface, the MIDI thread and the audio
// thread, partly without a lock (processing reads the voices unlocked): every access
// from more than one thread goes through these relaxed atomic helpers.
template <class T>
inline T KbLoad(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <class T>
inline void KbStore(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// Sets the Changed word after the words of a change: the release pairs with
// the processing's acquire when it takes the mark, so a frame that sees the
// mark reads the changed words (the per-voice Keyboard reads the voices only
// then).
inline void KbMarkChanged(KeyboardState& state) {
  std::atomic_ref<int32_t>(state.Changed).store(-1, std::memory_order_release);
}

// The two banks (instance n uses entry n - 1) and their locks.
// Advanced after every change of a state's Pending word: the audio thread
// looks through the banks only when it moved.
extern std::atomic<uint32_t> KeyboardPendingCount;

// Sets a state's Pending word and tells the audio thread.
inline void KbPostPending(KeyboardState& state, int32_t value) {
  KbStore(state.Pending, value);
  KeyboardPendingCount.fetch_add(1, std::memory_order_release);
}

extern KeyboardState* KeyboardStates[kKeyboardBankSize];
extern KeyboardState* OctaveBoardStates[kKeyboardBankSize];
extern platform::Mutex* KeyboardVoiceLocks[kKeyboardBankSize];
extern platform::Mutex* KeyboardKeyLocks[kKeyboardBankSize];
extern platform::Mutex* OctaveBoardVoiceLocks[kKeyboardBankSize];
extern platform::Mutex* OctaveBoardKeyLocks[kKeyboardBankSize];

// Odd while a removal renumbers the keyboards (or octave boards) behind the
// deleted one and swaps their bank entries with them; advanced on each side.
// Written by the interface thread only (RemoveModule, under the module list's
// lock and MT_MIDIMAPS); read by the render, which reads a module's number and
// its bank entry without a lock and trusts the pair only when no renumbering
// began or ended meanwhile.
extern std::atomic<uint32_t> KeyboardRenumbering;
void BeginKeyboardRenumbering();
void EndKeyboardRenumbering();

// The voices lock of the bank entry that now holds state, taken: a removal
// moves a state to another entry only under both entries' locks, so it stays
// there until the lock is let go. hint is the entry to try first. Null (and
// nothing held) when no entry holds the state or it kept moving.
platform::Mutex* LockEntryOf(KeyboardState* const* bank, platform::Mutex* const* locks, const KeyboardState* state,
                             int32_t hint);

// Creates the locks (per index: octave-board voices, octave-board keys, keyboard
// voices, keyboard keys) and the 32 states; keyboards start at octave 3 (key offset
// 36). 0, -26 when a lock cannot be created, -21 when a state cannot be allocated;
// on failure everything made so far is freed again. A second call does nothing.
int32_t InitKeyboardStates();
void FreeKeyboardStates();

void KeyboardStateInit(KeyboardState& state);
void KeyboardStateFree(KeyboardState& state);  // owns nothing
void CopyVoiceSlot(VoiceSlot& destination, const VoiceSlot& source);

// Lock order: a state's voices lock before its held-keys lock.
int32_t HeldKeyReserve(KeyboardState& state, platform::Mutex* heldKeysLock);
int32_t FindHeldKey(const KeyboardState& state, uint32_t key);
int32_t FindOtherHeldKey(const KeyboardState& state, uint32_t key, int32_t except);
void ReleaseHeldKeys(KeyboardState& state, platform::Mutex* heldKeysLock);

// The voice operations expect the voices lock held (NoteOff also stays sound
// without it: it only ever turns a sounding voice into a released one).
int32_t FindFreeVoiceSlot(const KeyboardState& state);
int32_t NoteOn(KeyboardState& state, float frequency, float velocity);
int32_t SlideVoice(KeyboardState& state, int32_t slot, float frequency, float velocity);
int32_t NoteOff(KeyboardState& state, int32_t slot);
void KillVoice(KeyboardState& state, int32_t slot);

// Render callback, under the voices lock, when the pending word is not 0.
void VoiceListRebuild(KeyboardState& state, platform::Mutex* heldKeysLock);
void ResetKeyboardState(KeyboardState& state, platform::Mutex* heldKeysLock);
// After a state was read from a synth file: every count, list and held key
// agrees with the voice slots afterwards, whatever the file held.
void SanitizeKeyboardState(KeyboardState& state);
// Whole-state copies between a live state and a copy of it, word by word
// through the helpers above (the render callback reads the live words
// meanwhile). The caller holds the state's locks.
void KeyboardStateCopyIn(KeyboardState& live, const KeyboardState& copy);
void KeyboardStateCopyOut(KeyboardState& copy, const KeyboardState& live);
// Single-voice processing: frees every released voice, one lock each.
void KillReleasedVoices(KeyboardState& state, platform::Mutex* voicesLock);
// The same under the lock of whichever entry of the bank holds the state.
void KillReleasedVoices(KeyboardState& state, KeyboardState* const* bank, platform::Mutex* const* locks,
                        int32_t hint);

}  // namespace Tarvelo

// Keyboard and octave-board states: the keys held down and the voices they sound.
#pragma once
#include <atomic>
#include <cstdint>
#include <type_traits>

#include "basics/shared_word.h"

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

// Every word of a state is shared: the interface and the MIDI thread write
// them under the state's voices and held-keys locks, and the render reads the
// voices, the list and the counts without a lock (and writes the pending word,
// the list and the counts under the voices lock), so each is a shared word.
// The layout is the stored one: a shared word is the plain word.
using QUARLE_BASICS::Shared;

// Written by NoteOn/SlideVoice/NoteOff/KillVoice (interface, MIDI thread,
// under the voices lock; the render frees released voices under it too); read
// by the render without the lock and by the keyboard draws.
struct VoiceSlot {
  Shared<float> Frequency;  // hertz (an octave board's frequency is a multiplier)
  Shared<float> Velocity;
  Shared<int32_t> State;    // VoiceState
  Shared<int32_t> Index;    // the slot's own number, set at note-on
};
static_assert(sizeof(VoiceSlot) == 16);

// Written by the interface and the MIDI thread under the held-keys lock (a
// reset on the render too); read by the keyboard draws (video thread) without it.
struct HeldKey {
  Shared<uint32_t> Stamp;  // the state's slide word at note-on
  Shared<uint32_t> Key;
  Shared<int32_t> Voice;   // sounding slot; kHeldKeyFree, kHeldKeyReserved
};
static_assert(sizeof(HeldKey) == 12);

// A whole held key, its voice last (a reader without the lock takes a held key
// by its voice).
inline void StoreHeldKey(HeldKey& h, uint32_t stamp, uint32_t key, int32_t voice) {
  h.Stamp.Store(stamp);
  h.Key.Store(key);
  h.Voice.Store(voice);
}

// Stored whole (828 bytes) in synth files, so the layout is fixed. The voices
// lock and the held-keys lock of a state live outside it.
struct KeyboardState {
  // The switches and offsets: written by the interface (its panel, the tuning
  // editor's Set, the octave board's layout), read by the MIDI thread, the
  // render and the draws.
  Shared<int32_t> LockFlag;   // key lock: 0 off, -1 on (released keys stay held)
  Shared<int32_t> Stamp;      // slide word (0 island keys, 1 slide); copied into each held key
  Shared<int32_t> Octave;     // keyboards: KeyOffset / notes per octave; octave boards: first key
  Shared<int32_t> KeyOffset;  // added to every key of the on-screen keyboard
  HeldKey HeldKeys[kHeldKeyCount];
  VoiceSlot Voices[kVoiceSlotCount];
  // Set at note-on (interface, MIDI thread); taken by single-voice processing (render).
  Shared<int32_t> NewNote;    // 1 after a note-on; single-voice processing reads and clears it
  Shared<int32_t> LastVoice;  // slot of the latest note-on; -1 none
  // The voice list: rebuilt by the render (or a reset with playback off)
  // under the voices lock; read by the render and the draws without it.
  Shared<int32_t> ActiveCount;                  // entries of ActiveList, 0..32
  Shared<int32_t> ActiveList[kVoiceSlotCount];  // sounding slots (on or released), ascending
  Shared<int32_t> VoicesOn;   // slots that are not free (every voice writer)
  Shared<int32_t> Reserved1;  // -1 after construction
  // Raised by every voice writer (release), taken by the render (acquire).
  Shared<int32_t> Changed;    // -1 after any change of a voice
  // Posted by the voice writers, taken by the render's rebuild.
  Shared<int32_t> Pending;    // kPendingRebuild, kPendingTaken, kPendingReset
  Shared<int32_t> Reserved2;  // zero; keeps the stored size
};
static_assert(sizeof(KeyboardState) == 828, "KeyboardState is stored as 828 bytes");
static_assert(std::is_trivially_copyable_v<KeyboardState>, "KeyboardState is stored as it lies");

// Sets the Changed word after the words of a change: the release pairs with
// the processing's acquire when it takes the mark, so a frame that sees the
// mark reads the changed words (the per-voice Keyboard reads the voices only
// then).
inline void KbMarkChanged(KeyboardState& state) { state.Changed.Store(-1, std::memory_order_release); }

// The two banks (instance n uses entry n - 1) and their locks.
// Advanced after every change of a state's Pending word: the audio thread
// looks through the banks only when it moved.
extern std::atomic<uint32_t> KeyboardPendingCount;

// Sets a state's Pending word and tells the audio thread.
inline void KbPostPending(KeyboardState& state, int32_t value) {
  state.Pending.Store(value);
  KeyboardPendingCount.fetch_add(1, std::memory_order_release);
}

// The bank entries: set at start-up; swapped by the interface when a keyboard
// is removed (under both entries' voices locks); read by the render, the MIDI
// thread and the draws without those locks.
extern Shared<KeyboardState*> KeyboardStates[kKeyboardBankSize];
extern Shared<KeyboardState*> OctaveBoardStates[kKeyboardBankSize];
// one thread: start-up (made and destroyed; the locks themselves are shared)
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
platform::Mutex* LockEntryOf(const Shared<KeyboardState*>* bank, platform::Mutex* const* locks, const KeyboardState* state,
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
// Each held-key entry of a bank's state has a generation, moved on whenever
// the entry takes a note (a note-on, a load into the state): a press that
// keeps its entry with the generation of its note-on can tell the note it
// started from one a later note-on started in the same entry. A note-off or
// a reset (the render's too) only frees the entry. 0 for a state no bank
// made. Read and moved under the state's held-keys lock.
uint32_t HeldKeyGeneration(const KeyboardState& state, int32_t entry);
// Moves the entry's generation on as it takes a note; the new generation.
uint32_t NextHeldKeyGeneration(KeyboardState& state, int32_t entry);
// A copy of a state that no other thread reaches, as it stands once every
// held key is let go: their voices released, the entries free.
void LetGoOfHeldKeys(KeyboardState& copy);

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
// What a load makes of a stored state: SanitizeKeyboardState, and a load
// starts no note nobody holds: only a voice on that a held key names is kept,
// none when the state was stored with a reset pending.
void SanitizeLoadedKeyboardState(KeyboardState& state);
// A copy of a state that no other thread reaches, as the render leaves the
// state once it took the reset pending in it (none pending: unchanged). A
// save writes the state the render is about to play.
void ApplyPendingReset(KeyboardState& copy);
// Whole-state copies between a live state and a copy of it, word by word (the render callback reads the live words
// meanwhile). The caller holds the state's locks.
void KeyboardStateCopyIn(KeyboardState& live, const KeyboardState& copy);
void KeyboardStateCopyOut(KeyboardState& copy, const KeyboardState& live);
// Single-voice processing: frees every released voice, one lock each.
void KillReleasedVoices(KeyboardState& state, platform::Mutex* voicesLock);
// The same under the lock of whichever entry of the bank holds the state.
void KillReleasedVoices(KeyboardState& state, const Shared<KeyboardState*>* bank, platform::Mutex* const* locks,
                        int32_t hint);

}  // namespace Tarvelo

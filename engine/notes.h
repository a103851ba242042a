// Note entry: keys to frequencies and note on, slide and off on the keyboards and
// the on-screen octave board, from the interface and from MIDI input.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"
#include "engine/keyboard.h"

namespace Tarvelo {

// State index (0..15) of the on-screen keyboard and of the on-screen octave
// board: set by the interface (its selectors, a load); read by the MIDI thread's
// notes and the keyboard draws.
extern Shared<int32_t> CurrentKeyboardIndex;
extern Shared<int32_t> CurrentOctaveBoardIndex;

// Octave-board number bases and the selected one (0, 1, 2 for bases 2, 3, 5).
extern const int32_t TimeBases[4];
// Set by the interface (the tuning editor's Set, the settings); read by the
// MIDI thread's octave-board notes and the octave board's draw.
extern Shared<int32_t> TimeBaseIndex;
// Per base: {number of board keys, how many of them lie below 1 Hz}.
// one thread: value
struct OctaveBoardKeyRange {
  int32_t Count;
  int32_t Below;
};
extern OctaveBoardKeyRange OctaveBoardKeyRanges[3];  // one thread: start-up

// Per MIDI input device slot: a MIDI note plays key note + KeyOffset +
// OctaveShift x notes per octave; the key offset starts at -21 (note 21 is key 0).
// one thread: value
struct MidiKeyPair {
  int32_t OctaveShift;
  int32_t KeyOffset;
};
extern MidiKeyPair MidiKeyMapping[kKeyboardBankSize];  // one thread: start-up
// Keyboard key of a MIDI note, from the pair of slot 0 and the active tuning
// (takes MT_TUNINGS 1). Negative keys are not played.
int32_t MidiNoteToKey(int32_t note);

// key + the on-screen keyboard's KeyOffset, folded back by 17 octaves beyond +-8.
int32_t WrapKeyIndex(int32_t key);
// Frequency of a keyboard key through the active tuning (takes MT_TUNINGS 1),
// capped at MaxFrequency (RateQuarter).
float KeyToFrequency(int32_t key);
// Frequency of an octave-board key: a power of the selected base, capped likewise.
float OctaveKeyToFrequency(int32_t key);

// instance n > 0 plays keyboard state n - 1; 0 (or less, for the release) the
// on-screen keyboard. Results: held-key index or -1; KeyNoteOff -1 when a voice was
// released, else 0. Each takes the state's voices lock, then its held-keys lock.
int32_t KeyNoteOn(int32_t key, float velocity, int32_t instance);
// KeyNoteOn with the key's frequency already taken (KeyToFrequency): takes no
// tuning lock, so it may run where the MIDI maps' lock is held. With held, the
// note it started (HeldNote below; no state when none started).
struct HeldNote;
int32_t KeyNoteOnAt(int32_t key, float frequency, float velocity, int32_t instance, HeldNote* held = nullptr);
int32_t KeyNoteSlide(int32_t heldKey, int32_t key, float velocity);
int32_t KeyNoteOff(int32_t heldKey, int32_t key, int32_t instance);
int32_t OctaveNoteOn(int32_t key, float velocity);
int32_t OctaveNoteSlide(int32_t heldKey, int32_t key, float velocity);
int32_t OctaveNoteOff(int32_t heldKey, int32_t key);

// What a press keeps of the note it started: the state itself (a removal
// moves it to another bank entry with its keyboard, which plays on), its
// held-key entry and that entry's generation at the note-on. The note is
// still the press's while the entry keeps that generation.
// one thread: value
struct HeldNote {
  KeyboardState* state = nullptr;
  int32_t entry = -1;
  uint32_t generation = 0;
  bool board = false;  // a state of OctaveBoardStates, else of KeyboardStates
};
// KeyNoteOn on the on-screen keyboard and OctaveNoteOn, keeping the note;
// no state when nothing started.
HeldNote KeyNoteOnHeld(int32_t key, float velocity);
HeldNote OctaveNoteOnHeld(int32_t key, float velocity);
// How a press's release treats a locked state's note.
enum class LockedNote : int32_t {
  kRelease,       // ends it all the same
  kKeep,          // it sounds on
  kDropDuplicate  // it sounds on unless another entry holds its key too
};
// Ends the kept note if its entry still holds it, in whichever bank entry
// holds its state now; -1 when a voice was released, else 0. The press keeps
// nothing afterwards.
int32_t NoteOffHeld(HeldNote& note, LockedNote locked);
// Tests only: called when a release's (or slide's) unlocked look missed its
// state, before it takes every voices lock: a test moves the state there.
extern std::atomic<void (*)()> HeldNoteLookMissed;
// Moves the kept note to another key; nothing when its entry holds another
// note by now.
void NoteSlideHeld(const HeldNote& note, int32_t key, float velocity);

// Every state of both banks: marked for reset by the render callback while
// playback runs, else reset at once.
void ReleaseAllKeys();
// Every one of the 16 MIDI controller maps loses its bindings.
void ResetMidiMaps();

struct ModuleRecord;

// One row per parameter of the selected module, for the module page's port list
// (also called PortTable; its count PortListRowCount or PortTableCount).
// one thread: holder of PortListLock
struct PortListRow {
  int64_t NoValueEditor;       // hidden: no value editor
  int64_t ReadsValueModule;    // -1: the port is unlinked or global (no cable)
  int64_t IsInputPort;         // -1 for p < PortCount
  int64_t ChannelCountExempt;  // fixed-channel flag
  QUARLE_BASICS::DynZString LongName;
  float Value;                 // value x scale, as displayed
};
static_assert(sizeof(PortListRow) == 48);
constexpr int32_t kPortListRows = 33;
// Written by the interface thread only (CopyPortTable, under PortListLock);
// other threads read a row through ReadPortListRow.
// one thread: holder of PortListLock
extern PortListRow PortListRows[kPortListRows];
extern std::atomic<int32_t> PortListCount;
// Refills the rows from the module's parameters under PortListLock; a null
// module changes nothing.
void CopyPortTable(const ModuleRecord* module);
// A row as it stands, copied under PortListLock (the video thread draws the
// list while the interface refills it). false when there is no row item.
// one thread: value
struct PortListRowCopy {
  int64_t NoValueEditor = 0;
  int64_t ReadsValueModule = 0;
  int64_t IsInputPort = 0;
  int64_t ChannelCountExempt = 0;
  std::string LongName;
  float Value = 0.0f;
};
bool ReadPortListRow(int32_t item, PortListRowCopy& out);
// Shows the number ParamEditMode selects of the module's selected parameter in
// that parameter's value field (under the field's lock): its range low, range
// high or step, or (mode 0) the value its port value module publishes, which also
// becomes the parameter's value.
void RefreshParamControl(ModuleRecord* module);

}  // namespace Tarvelo

// The tuning editor TNG: the user edits a private copy of the tuning
// (EditedTuning, under MT_TUNINGS 0) and then either saves it into the tuning in
// use (ActiveTuning, MT_TUNINGS 1), which also writes its ".tng" file and hands
// it to the engine, or cancels, which copies the tuning in use back over the
// edits. Nothing reaches the engine or the keyboards before a save (or a new
// tuning). Also here: the scale list SCALELIST of the module panel, which gives
// a Melody Generator its scale pattern, and the number base of the octave-board
// multipliers (TSTB with its apply and reset buttons).
//
// Main thread only. Save takes MT_TUNINGS 1 then 0 (and releases 0 first);
// cancel takes 0 then 1 (and releases 1 first); no other callback holds two
// tuning locks, and a value hook never holds the tuning lock together with a
// second value's lock.
#pragma once
#include <cstdint>
#include <string>

namespace Tarvelo {

// Number bases of the octave-board multipliers; the selector offers the first three.
extern const int32_t BasePrimes[16];

// Key under window x on the key grid or the pattern switches (control id):
// -1 when x is outside the keys.
int32_t TuningKeyAt(int32_t id, int32_t x);

// Event callbacks; each returns 0.
int32_t OnTuningKeyGrid(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnScalePatternSwitches(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningEqualTemperament(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningGeometric(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningKeysMinus(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningKeysPlus(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningSetFirstKey(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningRenameKey(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnScalePatternList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnScalePatternAdd(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnScalePatternDelete(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnScalePatternRename(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningNew(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningSave(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnTuningCancel(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnScaleList(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
// SCALELIST selects the scale pattern of the Melody Generator the module page
// shows (after a tuning load fitted it to the new tuning); published. Called
// once the tuning in use was replaced: the editor's copy is that tuning again.
void ShowSelectedScalePattern();
int32_t OnNumberBaseSelect(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnNumberBaseSet(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);
int32_t OnNumberBaseReset(uint32_t bits, int32_t x, int32_t y, int32_t id, int32_t source);

// Value hooks of the editor's three value fields: the value (in base units)
// is applied to the edited tuning and replaced by what the tuning kept. 0.
int32_t OnReferenceFrequencyValue(float* value);
int32_t OnAbsoluteKeyValue(float* value);
int32_t OnRelativeKeyValue(float* value);
// Their range hooks: the limits the tuning holds a number to (the selected
// key's, for the key fields).
void OnReferenceFrequencyRange(float* low, float* high);
void OnAbsoluteKeyRange(float* low, float* high);
void OnRelativeKeyRange(float* low, float* high);

}  // namespace Tarvelo

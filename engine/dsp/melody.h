// The Melody Generator composes a single-voice melody in real time. A note on
// its frequency input sets the root key; from then on it writes notes step by
// step into its melody buffer (a step is a quarter beat), choosing each
// note's length from a small weighted table and its pitch among the keys of a
// scale pattern of the engine tuning, weighted by the tuning's consonance and
// by what sounded at the same place in earlier measures. It can loop the last
// phrase transposed to a new root and record what it plays into a melody
// library entry (times in beats).
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum MelodyGeneratorParam : int32_t {
  kMelFrequency = 0,     // port: the lowest non-zero input sets the root key
  kMelTempo = 1,         // port: steps that elapse per frame
  kMelDuty = 2,          // port: part of a note's length that sounds
  kMelVariability = 3,   // port: flattens the note-length weights
  kMelDensity = 4,       // port: chance that a note (not a rest) is composed
  kMelHarmony = 5,       // port: weight of the tuning's consonance
  kMelSelfInfluence = 6, // port: weight of the melody's own history
  kMelBeats = 7,         // setting: beats per measure (4 steps each)
  kMelMeasures = 8,      // setting: measures per phrase; 0 ends a phrase on a trigger
  kMelOctaveMin = 9,     // setting: lowest octave of a composed key
  kMelOctaves = 10,      // setting: number of octaves
};

constexpr int32_t kMelodyBufferLength = 2304;
constexpr float kRestMark = 99999.0f;

// The module's state: VoiceState row 0 holds the floats below; the four whole
// numbers are the first entries of AuxVoiceState row 0; ReplayMode is the
// module's StateWord21; the scale pattern index is the MidiDeviceBinding word.
enum MelodyStateSlot : int32_t {
  kMelCountdown = 0,      // steps left of the present note
  kMelNoteOffPoint = 1,   // the note sounds while Countdown > NoteOffPoint
  kMelNoteFrequency = 2,  // normalized; 0 = rest or silent
  kMelMeasureStep = 3,    // steps composed in the present measure
  kMelMeasureCount = 4,   // measures completed in the present phrase
  kMelCurrentKey = 6,     // key of the last composed note (the buffer value while replaying)
  kMelLastInput = 7,      // the lowest input frequency last taken
};
enum MelodyIntSlot : int32_t {
  kMelWritePosition = 0,
  kMelPhraseLength = 1,
  kMelRootKey = 2,        // 0 = no root: the module stays idle
  kMelRecordPosition = 3, // steps since the recording started
};

void ProcessMelodyGenerator(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ComposeMelodyStep(ModuleRecord& m);
void ReplayMelodyStep(ModuleRecord& m);
void RecordMelodyNote(ModuleRecord& m, int64_t finish);
void FinishMelodyRecording(ModuleRecord& m);
// Divides weights[start .. start + count - 1] by their sum.
void NormaliseSlice(int32_t start, int32_t count, float* weights);
// The offset (from start) of the first element at which the running sum of
// the weights exceeds x; count - 1 when none does.
int32_t PickByWeight(int32_t start, int32_t count, float x, const float* weights);

// State access for the interface and tests.
int32_t MelodyInt(const ModuleRecord& m, int32_t slot);
void SetMelodyInt(ModuleRecord& m, int32_t slot, int32_t value);
inline int32_t MelodyScalePattern(const ModuleRecord& m) { return m.MidiDeviceBinding.Load(); }
inline void SetMelodyScalePattern(ModuleRecord& m, int32_t pattern) { m.MidiDeviceBinding.Store(pattern); }
// A pattern the tuning of `patterns` patterns does not have becomes pattern 0.
inline void FitMelodyScalePattern(ModuleRecord& m, int32_t patterns) {
  const int32_t p = MelodyScalePattern(m);
  if (p < 0 || p >= patterns) SetMelodyScalePattern(m, 0);
}

// What the recording switch of the interface does to the module when it
// starts a recording: the new entry and its zeroed data become the module's
// melody, the recording counters start at 0 and the recording switch turns on.
void BeginMelodyGeneratorRecording(ModuleRecord& m, WaveLibraryEntry* entry);

}  // namespace Tarvelo

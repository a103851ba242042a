// The tuning: keys per octave, their frequency ratios and names, and the scale
// patterns that say which keys of an octave belong to a scale.
#pragma once
#include <cstdint>
#include <string>

#include "basics/dynzstring.h"
#include "platform/threads.h"

namespace Tarvelo {

constexpr int32_t kTuningMinKeys = 2;
constexpr int32_t kTuningMaxKeys = 64;
constexpr int32_t kScalePatternMax = 128;
constexpr int32_t kScalePatternSlots = 129;
constexpr int32_t kScalePatternNameSize = 33;  // 32 characters and the terminator
constexpr float kTuningMinPitch = 220.0f;
constexpr float kTuningMaxPitch = 880.0f;
constexpr double kSmallestKeyStep = 1.0025;  // the smallest ratio between two keys

// Fields in the order the record has always had (the tuning file follows it).
// one thread: holder of MT_TUNINGS, the lock of its index
struct Tuning {
  QUARLE_BASICS::DynZString FileName;  // with its ".tng" extension
  QUARLE_BASICS::DynZString Folder;    // no trailing separator
  uint64_t PatternMasks[kScalePatternSlots];  // bit i set: key i is in the pattern
  char PatternNames[kScalePatternSlots][kScalePatternNameSize];
  int32_t NoteCount;      // N, keys per octave, 2..64
  int32_t PatternCount;   // P, 0..128
  float ReferencePitch;   // Hz, 220..880: the frequency of key 4N
  float BaseFrequency;    // ReferencePitch / 16: the frequency of key 0
  float* RelativeRatios;  // N: key i over key i-1; key 0: 2 / AbsoluteRatios[N-1]
  float* AbsoluteRatios;  // N: key i over key 0; 1.0 for key 0, rising below 2
  float* ConsonanceWeights;  // N + 1 (the octave last), each in (0, 1]
  char** NoteNames;       // N owned texts; a missing one reads as ""
  int64_t Modified;       // -1 after a change through the setters
};

// The three instances: 0 the editor's copy, 1 the tuning in use by the interface
// and the keyboards, 2 the copy the process functions read. Each is guarded by the
// MT_TUNINGS lock of its index; the program main creates and destroys the locks.
// The records are constructed with InitTuning before main runs and freed at exit.
constexpr int32_t kEditedTuning = 0;
constexpr int32_t kActiveTuning = 1;
constexpr int32_t kEngineTuning = 2;
// one thread: holder of MT_TUNINGS, each instance under its own (the render
// reads the engine copy without it: it is that copy's only writer while playing)
extern Tuning Tunings[3];
extern Tuning& EditedTuning;
extern Tuning& ActiveTuning;
extern Tuning& EngineTuning;
extern platform::Mutex* MT_TUNINGS[3];  // one thread: start-up

// None of these lock: the caller holds the lock of the instance it works on.
// Per-key operations bring any key into 0..N-1 (-1 is key N-1, N is key 0).
void InitTuning(Tuning& tuning);  // on a raw record: the default 12-key tuning
void FreeTuning(Tuning& tuning);
void CopyTuning(Tuning& destination, const Tuning& source);

float TuningGetReferencePitch(const Tuning& tuning);
void TuningSetReferencePitch(Tuning& tuning, float hz);
int32_t TuningGetNoteCount(const Tuning& tuning);
void TuningSetNoteCount(Tuning& tuning, int32_t n);

float TuningGetRatio(const Tuning& tuning, int32_t key);        // relative ratio
float TuningGetSecondValue(const Tuning& tuning, int32_t key);  // absolute ratio
// Same as TuningGetSecondValue, under the name the interface uses.
inline float TuningGetAbsoluteRatio(const Tuning& tuning, int32_t key) {
  return TuningGetSecondValue(tuning, key);
}
void TuningSetRatio(Tuning& tuning, int32_t key, float value);
void TuningSetSecondValue(Tuning& tuning, int32_t key, float value);
std::string TuningGetNoteName(const Tuning& tuning, int32_t key);
void TuningSetNoteName(Tuning& tuning, int32_t key, const char* text);
void TuningRotateNotes(Tuning& tuning, int32_t key);
void TuningSetEqualTemperament(Tuning& tuning);
void TuningSetGeometric(Tuning& tuning);

void TuningNewScalePattern(Tuning& tuning, int32_t pattern);
// reverse = -1: the mask is written with key 0 as the most significant of N bits.
void TuningAddScalePattern(Tuning& tuning, uint64_t mask, const char* name, int64_t reverse);
// -1 when the key belongs to the pattern; 0 otherwise and for a pattern not in use.
int32_t TuningPatternHasKey(const Tuning& tuning, int32_t key, int32_t pattern);

float TuningKeyFrequency(const Tuning& tuning, int32_t key);
float TuningOctaveKeyFrequency(const Tuning& tuning, int32_t octave, int32_t key);
int32_t TuningFrequencyToNote(const Tuning& tuning, float frequency);
float TuningQuantizePitch(const Tuning& tuning, float x, int32_t a, int32_t b);
float TuningQuantizeLogPitch(const Tuning& tuning, float x, int32_t a, int32_t b);
void TuningComputeConsonance(Tuning& tuning);
int32_t TuningRatioMultiplier(const Tuning& tuning, float ratio);

}  // namespace Tarvelo

// Two control modules that turn a continuous input into notes. The Step
// Sequencer gates a note (its frequency and velocity inputs) on and off by a
// pattern of up to 100 steps, held as bits in five settings, at a tempo given
// by an input. The Mapper maps an input level onto the keys of the engine
// tuning within a range of octaves and outputs the key's frequency as a note.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum StepSequencerParam : int32_t {
  kStepFrequency = 0,  // port: frequency passed while a step sounds
  kStepVelocity = 1,   // port: level passed while a step sounds
  kStepTempo = 2,      // port: steps per second, normalized like a frequency
  kStepDuty = 3,       // port: part of each step that sounds
  kStepLength = 4,     // setting: number of steps
  kStepPattern = 5,    // settings 5..9: 20 step bits each
};

constexpr int32_t kStepPatternWords = 5;
constexpr int32_t kStepsPerWord = 20;
constexpr int32_t kMaxSteps = kStepPatternWords * kStepsPerWord;

enum MapperParam : int32_t {
  kMapperInput = 0,        // port: level to map, -1..1
  kMapperOctaveMin = 1,    // setting: octave of input 0
  kMapperOctaveRange = 2,  // setting: octaves spanned by input 1
};

void ProcessStepSequencerMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessStepSequencerPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessMapperMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessMapperPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

// Pitch bend and Harmonic: two modules that scale a frequency. The pitch bend
// multiplies it by a factor between 1/range and range steered by its bend
// input; the harmonic by a set factor, so that one note can drive a second
// source at a harmonic of its pitch.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum PitchBendParam : int32_t {
  kBendFrequency = 0,  // port: frequency to bend
  kBendPitch = 1,      // port: bend amount, -1..1
  kBendRange = 2,      // setting: factor reached at a bend of 1
};

enum HarmonicParam : int32_t {
  kHarmonicFrequency = 0,  // port: frequency to multiply
  kHarmonicFactor = 1,     // setting: multiplier
};

void ProcessPitchBendMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessPitchBendPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessHarmonicMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessHarmonicPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

// The bend factor for a bend input p and a range R: (R - 1) |p| + 1, inverted
// when p is negative or not a number.
float PitchBendFactor(float p, float range);

}  // namespace Tarvelo

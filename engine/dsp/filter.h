// The Filter: one to seven identical sections in cascade, each a one-pole low
// pass followed by the subtraction of a slower one-pole copy of it (a high
// pass), with one frame of delay per section.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum FilterParam : int32_t {
  kFilterInput = 0,
  kFilterLowPass = 1,   // L: 0 follows the input at once, near 1 slowly, 1 freezes
  kFilterHighPass = 2,  // H, squared: 0 turns the high pass off
  kFilterPasses = 3,    // setting: sections, 1..7
};

constexpr int32_t kFilterMaxSections = 7;

// Sections a Passes value gives: floor(value + 1e-6) within 1..7.
int32_t FilterSections(float passes);

// For section j and channel ch the low state is state 4j + ch and the high
// state 4j + 2 + ch. A per-voice filter keeps each state as a row across the
// 32 voice ids in its one block of work buffers, so that voices side by side
// are computed together; one with a single buffer keeps voice id 0's states
// in a row of 28.
float& FilterState(ModuleRecord& m, int32_t w, int32_t state);
void ProcessFilterMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessFilterPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

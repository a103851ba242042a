// The 4-in-1 Randomizer: a timed sample-and-hold. Every refresh period it
// draws a new value (a uniform random number while its input is unlinked, the
// input's value while it is linked), scales it by the input port's set value,
// adds the bias and quantizes it to steps of the resolution; in between, and
// while held, the value stays.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum RandomizerPort : int32_t {
  kRandomInput = 0,
  kRandomBias = 1,
  kRandomResolution = 2,
  kRandomPeriod = 3,  // seconds
};

void ProcessRandomizerMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessRandomizerPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

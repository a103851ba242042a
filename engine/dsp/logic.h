// Comparison modules. The Gate passes its input while it lies above a
// threshold (with SW1 set: while it differs from it) and publishes 0
// otherwise. The Logic switch compares its input with a threshold and passes
// the element of one of three further ports, for below, equal and above.
// Neither clips nor keeps state.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum GatePort : int32_t {
  kGateInput = 0,
  kGateThreshold = 1,
};

enum LogicSwitchPort : int32_t {
  kLogicInput = 0,
  kLogicThreshold = 1,
  kLogicBelow = 2,  // passed when In < T, or when either is not a number
  kLogicEqual = 3,  // passed when In = T
  kLogicAbove = 4,  // passed when In > T
};

void ProcessGateMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessGatePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessLogicSwitchMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessLogicSwitchPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

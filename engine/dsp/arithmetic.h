// Arithmetic and shaping modules: sums, differences and products of two
// signals, and the one-input shapers (inverter, absolute value, derivative,
// rectifier, level with bias, clipper). All are signal types: each published
// value goes into both members of the output element. Only the Derivative
// keeps state (the previous input per channel and voice id).
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

// Port 0 and 1 of the two-input types.
enum TwoInputPort : int32_t {
  kInputA = 0,
  kInputB = 1,
};

// Level's parameters, in order.
enum LevelParam : int32_t {
  kLevelInput = 0,
  kLevelLevel = 1,     // port
  kLevelBias = 2,      // setting
  kLevelMaxInput = 3,  // setting: gain on a live level signal
};

// Clipper's ports.
enum ClipperPort : int32_t {
  kClipperInput = 0,
  kClipperThreshold = 1,
};

void ProcessAdditionMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessAdditionPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessDifferenceMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessDifferencePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessProductMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessProductPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessInverterMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessInverterPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessAbsoluteMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessAbsolutePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessDerivativeMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessDerivativePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessRectifierMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessRectifierPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessLevelMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessLevelPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessClipperMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessClipperPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

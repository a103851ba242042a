// The Distortion: a stateless soft saturation along a logistic curve,
// y = 2 / (1 + e^(-k x)) - 1 = tanh(k x / 2), with k = 20 |Factor| + 2, then
// scaled by |1 - Attenuation|.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum DistortionPort : int32_t {
  kDistortionInput = 0,
  kDistortionFactor = 1,
  kDistortionAttenuation = 2,
};

// The curve for an input x and a factor port value (before the attenuation).
float DistortionCurve(float x, float factor);

void ProcessDistortionMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessDistortionPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

// Stereo tools. Merge Stereo mixes both channels of its input into one;
// Join Stereo puts a left input into channel 0 and a right input into
// channel 1; Balance attenuates one channel of its input by a position from
// -1 (right silent) to +1 (left silent). They address channels 0 and 1 by
// number instead of looping over the processed channels; none clips or keeps
// state.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

constexpr int32_t kStereoInput = 0;     // Merge Stereo and Balance
constexpr int32_t kJoinLeft = 0;
constexpr int32_t kJoinRight = 1;
constexpr int32_t kBalancePosition = 1;

void ProcessMergeStereoMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessMergeStereoPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessJoinStereoMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessJoinStereoPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessBalanceMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessBalancePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

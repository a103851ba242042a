// The Mixer: the mean of up to sixteen inputs driven by live modules, each
// weighted by its port's set value, times a master volume. Unlinked inputs
// neither add nor count. In per-voice mode it publishes as many voice
// positions as its busiest live input has. When it falls silent after having
// published, it resets itself.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

constexpr int32_t kMixerMasterVolume = 0;  // port 0; read plain
constexpr int32_t kMixerFirstInput = 1;    // ports 1..16
constexpr int32_t kMixerInputs = 16;

// The Mixer keeps its "outputs written" word (-1 after publishing, 0 after
// it reset itself) in the record's Mixer word.
void ProcessMixerMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessMixerPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

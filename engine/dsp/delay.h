// Delay (the input repeated after a period) and Echo (a feedback comb: the
// output comes back after a period, scaled by 1 - Decay and by 1/sqrt 2 at
// every pass). Both keep every voice sounding after its input stops: a Delay
// for one period more, an Echo for twenty.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum DelayPort : int32_t {
  kDelayInput = 0,
  kDelayPeriod = 1,  // seconds, at most the buffer's one second
  kEchoDecay = 2,    // Echo only
};

// Repetitions an Echo plays after its input stops, counted in periods.
constexpr int32_t kEchoTailPeriods = 20;

// Latched per voice id w while it is fed: SequencerVoices[w].A[ch] holds the
// delay length in frames, .B[ch] the Echo's feedback factor (tails.h has the
// rest of the per-voice state).
void ProcessDelayMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessDelayPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessEchoMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessEchoPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo

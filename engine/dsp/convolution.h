// The Convolutive filter (the input convolved with the taps of an attached
// filter sound, with an optional feedback of the output) and the Convolutive
// vocoder (the moving average of the input times a voice signal). Both keep
// each voice sounding until its tail has played out: a voice that is no
// longer fed drains silence through its ring for 128 frames (filter) or one
// window (vocoder) and marks itself to its voice owner meanwhile.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum ConvolutionPort : int32_t {
  kConvInput = 0,
  kConvResonance = 1,   // filter
  kConvVoice = 1,       // vocoder
  kConvAttenuation = 2, // filter setting
  kConvWindow = 2,      // vocoder setting "Window Size"
};

// Frames of the filter's ring, and so the most taps it applies.
constexpr int32_t kConvRingFrames = 128;
// Stages of a voice's tail.
enum TailStage : int32_t { kTailIdle = 0, kTailFed = 1, kTailDraining = 2, kTailFinished = 3 };

void ProcessConvolutiveFilterMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                                  int32_t previousParity);
void ProcessConvolutiveFilterPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                                  int32_t previousParity);
void ProcessConvolutiveVocoderMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                                   int32_t previousParity);
void ProcessConvolutiveVocoderPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity,
                                   int32_t previousParity);

// The vocoder's window L in frames from its "Window Size" value: floor of the
// value (plus 1e-6), kept within 1..127 so both rings of 2L frames fit.
int32_t VocoderWindow(float windowSize);

}  // namespace Tarvelo

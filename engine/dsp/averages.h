// Mobile average (the running mean of the input over a window of frames) and
// Envelope follower (a root-mean-square envelope with an exponential memory
// and an optional makeup gain). Both keep every voice sounding after its input
// stops: the average until its window has emptied, the envelope until it has
// decayed below 1e-6.
#pragma once
#include <cstdint>

#include "engine/module.h"

namespace Tarvelo {

enum MobileAverageParam : int32_t {
  kAverageInput = 0,
  kAveragePeriod = 1,  // port; seconds (shown in frames)
};

enum EnvelopeFollowerParam : int32_t {
  kFollowerInput = 0,
  kFollowerPeriod = 1,  // setting; frames
  kFollowerGain = 2,    // setting; makeup gain
};

// A Mobile average voice's work buffer holds its history in all but the last
// two floats; float (size - 2 + ch) holds channel ch's running sum. Per voice
// id w, SequencerVoices[w].A[ch] holds the window asked for and .B[ch] the
// window the running sum covers: after a change of period the sum moves to
// the new window by at most this many frames per frame.
constexpr int32_t kAverageWindowSlew = 64;
// Input samples count at most this much, so that the running sum keeps its
// precision; a sample that is not a number counts as 0.
constexpr float kAverageInputLimit = 1000.0f;

void ProcessMobileAverageMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessMobileAveragePoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessEnvelopeFollowerMono(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);
void ProcessEnvelopeFollowerPoly(ModuleRecord* m, uint64_t frameCounter, int32_t parity, int32_t previousParity);

}  // namespace Tarvelo
